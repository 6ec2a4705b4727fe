// Test-only launcher: runs a program with every directory listing failing
// with EIO (getdents and getdents64 on i386 and x86_64), as a disk with a bad
// sector or a dropped network filesystem makes them fail. Opens still work.
// Usage: failing_listings PROGRAM ARGS...
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr unsigned I386_GETDENTS = 141, I386_GETDENTS64 = 220;
constexpr unsigned X86_64_GETDENTS = 78, X86_64_GETDENTS64 = 217;

#define LOAD(field) BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, field))
#define IF_EQUAL(value, skip_true, skip_false) BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, skip_true, skip_false)
#define RETURN(value) BPF_STMT(BPF_RET | BPF_K, value)

sock_filter program[] = {
	LOAD(arch),
	IF_EQUAL(AUDIT_ARCH_I386, 0, 4),
	LOAD(nr),
	IF_EQUAL(I386_GETDENTS, 6, 0),
	IF_EQUAL(I386_GETDENTS64, 5, 0),
	RETURN(SECCOMP_RET_ALLOW),
	LOAD(nr),  // x86_64: the only other architecture these tests run
	IF_EQUAL(X86_64_GETDENTS, 2, 0),
	IF_EQUAL(X86_64_GETDENTS64, 1, 0),
	RETURN(SECCOMP_RET_ALLOW),
	RETURN(SECCOMP_RET_ERRNO | EIO),
};

} // namespace

int main(int argc, char **argv)
{
	sock_fprog filter = {sizeof program / sizeof program[0], program};

	if (argc < 2 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
	    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
		perror("failing_listings");
		return 127;
	}
	execv(argv[1], argv + 1);
	perror("failing_listings: exec");
	return 127;
}
