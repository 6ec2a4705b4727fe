// x86_64 system-call entry: the syscall instruction, the call numbers, the
// direct socket calls and the kernel record layouts of this architecture.
//
// Register convention: rax = call number and result; arguments in rdi, rsi,
// rdx, r10, r8, r9; the instruction itself clobbers rcx and r11.
#pragma once

namespace dircast::arch {

constexpr long NR_read = 0;
constexpr long NR_write = 1;
constexpr long NR_open = 2;
constexpr long NR_close = 3;
constexpr long NR_fstat = 5;
constexpr long NR_poll = 7;
constexpr long NR_dup = 32;
constexpr long NR_lseek = 8;
constexpr long NR_ioctl = 16;
constexpr long NR_rt_sigaction = 13;
constexpr long NR_nanosleep = 35;
constexpr long NR_socket = 41;
constexpr long NR_connect = 42;
constexpr long NR_accept = 43;
constexpr long NR_sendto = 44;
constexpr long NR_recvfrom = 45;
constexpr long NR_bind = 49;
constexpr long NR_listen = 50;
constexpr long NR_setsockopt = 54;
constexpr long NR_getsockopt = 55;
constexpr long NR_exit = 60;
constexpr long NR_fcntl = 72;
constexpr long NR_flock = 73;
constexpr long NR_mkdir = 83;
constexpr long NR_rmdir = 84;
constexpr long NR_unlink = 87;
constexpr long NR_symlink = 88;
constexpr long NR_getdents64 = 217;
constexpr long NR_clock_gettime = 228;
constexpr long NR_openat = 257;
constexpr long NR_accept4 = 288;
constexpr long NR_prlimit64 = 302;
constexpr long OPEN_LARGE_FILES = 0;  // implied by the kernel here
constexpr long NR_fstatat = 262;  // newfstatat
constexpr long NR_mkdirat = 258;
constexpr long NR_unlinkat = 263;
constexpr long NR_readlinkat = 267;
constexpr long NR_renameat = 264;
constexpr long NR_inotify_add_watch = 254;
constexpr long NR_utimensat = 280;
constexpr long NR_inotify_init1 = 294;
constexpr long NR_fstatfs = 138;  // struct statfs, whose f_type leads it as a long
constexpr long NR_getrandom = 318;

// The syscall instruction is the fast entry already: nothing to look up.
inline void use_auxiliary_vector(const long *) {}

inline long syscall6(long nr, long a, long b, long c, long d, long e, long f)
{
	long r;
	register long r10 asm("r10") = d;
	register long r8 asm("r8") = e;
	register long r9 asm("r9") = f;

	asm volatile("syscall"
		     : "=a"(r)
		     : "a"(nr), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
		     : "rcx", "r11", "memory");
	return r;
}

inline long syscall(long nr)
{
	long r;
	asm volatile("syscall" : "=a"(r) : "a"(nr) : "rcx", "r11", "memory");
	return r;
}

inline long syscall(long nr, long a)
{
	long r;
	asm volatile("syscall" : "=a"(r) : "a"(nr), "D"(a) : "rcx", "r11", "memory");
	return r;
}

inline long syscall(long nr, long a, long b)
{
	long r;
	asm volatile("syscall" : "=a"(r) : "a"(nr), "D"(a), "S"(b) : "rcx", "r11", "memory");
	return r;
}

inline long syscall(long nr, long a, long b, long c)
{
	long r;
	asm volatile("syscall"
		     : "=a"(r)
		     : "a"(nr), "D"(a), "S"(b), "d"(c)
		     : "rcx", "r11", "memory");
	return r;
}

inline long syscall(long nr, long a, long b, long c, long d)
{
	return syscall6(nr, a, b, c, d, 0, 0);
}

// x86_64 has no socketcall; the SYS_* operation codes of <linux/net.h> are
// mapped onto the separate calls so that neutral code names operations alike.
inline long socket_op(long op, long a, long b, long c, long d = 0, long e = 0, long f = 0)
{
	static constexpr long numbers[] = {
		-1, NR_socket, NR_bind, NR_connect, NR_listen, NR_accept, -1, -1, -1,
		NR_sendto, NR_recvfrom, NR_sendto, NR_recvfrom, -1, NR_setsockopt,
		NR_getsockopt, -1, -1, NR_accept4,
	};

	if (op < 1 || op > 18 || numbers[op] < 0)
		return -38;  // ENOSYS
	// send and recv are sendto/recvfrom without an address: the extra words are 0.
	return syscall6(numbers[op], a, b, c, d, e, f);
}

// The kernel's struct stat on x86_64.
// Time fields carry a _sec suffix: libc headers in hosted test builds
// define st_atime, st_mtime and st_ctime as macros.
struct kernel_stat {
	unsigned long st_dev;
	unsigned long st_ino;
	unsigned long st_nlink;
	unsigned int st_mode;
	unsigned int st_uid;
	unsigned int st_gid;
	unsigned int pad0;
	unsigned long st_rdev;
	long st_size;
	long st_blksize;
	long st_blocks;
	unsigned long st_atime_sec;
	unsigned long st_atime_nsec;
	unsigned long st_mtime_sec;
	unsigned long st_mtime_nsec;
	unsigned long st_ctime_sec;
	unsigned long st_ctime_nsec;
	long reserved[3];
};
static_assert(sizeof(kernel_stat) == 144, "struct stat is 144 bytes on x86_64");
static_assert(__builtin_offsetof(kernel_stat, st_size) == 48, "stat st_size offset");

struct kernel_sigaction {
	unsigned long handler;
	unsigned long flags;
	unsigned long restorer;
	unsigned long mask;
};

// The filesystem's magic number, the first word of struct statfs.
inline long fstatfs_type(long fd, unsigned long *type)
{
	unsigned long record[15];  // struct statfs is 120 bytes here
	long r = syscall(NR_fstatfs, fd, (long)record);

	*type = record[0];
	return r;
}

} // namespace dircast::arch

#define DIRCAST_ENTRY_STUB                                                           \
	asm(".text\n.global _start\n_start:\n"                                       \
	    "\txorl %ebp, %ebp\n\tmovq %rsp, %rdi\n\tandq $-16, %rsp\n"          \
	    "\tcall start_main\n\thlt\n");
