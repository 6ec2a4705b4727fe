// i386 system-call entry: the int $0x80 trap, the call numbers, the socketcall
// multiplexer and the kernel record layouts this architecture hands back.
//
// Register convention of the trap: eax = call number and result; arguments in
// ebx, ecx, edx, esi, edi, ebp. We build without PIC, so ebx is a plain register.
//
// Calls are made through kernel_entry: the vDSO's __kernel_vsyscall when the
// kernel offers one (AT_SYSINFO in the auxiliary vector), which enters by
// sysenter and costs a fraction of int $0x80 on many machines and virtual
// machines; otherwise a stub of our own around int $0x80. Both take the
// trap's registers and preserve every register but eax.
#pragma once

extern "C" void dircast_int80();

namespace dircast::arch {

using KernelEntry = void (*)();
inline constinit KernelEntry kernel_entry = dircast_int80;

constexpr long AT_NULL = 0;
constexpr long AT_SYSINFO = 32;

inline void use_auxiliary_vector(const long *auxv)
{
	for (; auxv[0] != AT_NULL; auxv += 2) {
		if (auxv[0] == AT_SYSINFO && auxv[1])
			kernel_entry = (KernelEntry)auxv[1];
	}
}

constexpr long NR_exit = 1;
constexpr long NR_read = 3;
constexpr long NR_write = 4;
constexpr long NR_open = 5;
constexpr long NR_close = 6;
constexpr long NR_unlink = 10;
constexpr long NR_dup = 41;
constexpr long NR_lseek = 19;
constexpr long NR_ioctl = 54;
constexpr long NR_flock = 143;
constexpr long NR_mkdir = 39;
constexpr long NR_rmdir = 40;
constexpr long NR_fcntl = 55;
constexpr long NR_symlink = 83;
constexpr long NR_socketcall = 102;
// getdents64, never the old getdents (141): that one fails with EOVERFLOW
// once an inode number needs more than 32 bits (XFS inode64, overlayfs xino,
// some NFS servers), and a listing that fails reads as an empty directory.
constexpr long NR_getdents64 = 220;
constexpr long NR_poll = 168;
constexpr long NR_nanosleep = 162;
constexpr long NR_rt_sigaction = 174;
constexpr long NR_fstat = 197;  // fstat64: the only form with a 64-bit size
constexpr long NR_clock_gettime = 265;
constexpr long NR_openat = 295;
constexpr long NR_prlimit64 = 340;

// Without O_LARGEFILE an open of a file of 2 GiB or more fails with
// EOVERFLOW here; x86_64 implies it.
constexpr long OPEN_LARGE_FILES = 0100000;
constexpr long NR_fstatat = 300;  // fstatat64, filling the same struct stat64
constexpr long NR_mkdirat = 296;
constexpr long NR_unlinkat = 301;
constexpr long NR_readlinkat = 305;
constexpr long NR_renameat = 302;
constexpr long NR_inotify_add_watch = 292;
constexpr long NR_utimensat = 320;  // two timespecs of 32-bit words, as our timespec is here
constexpr long NR_inotify_init1 = 332;
constexpr long NR_fstatfs64 = 269;  // struct statfs64, whose f_type leads it as a 32-bit word
constexpr long NR_getrandom = 355;

inline long syscall(long nr)
{
	long r;
	asm volatile("call *%[entry]" : "=a"(r) : "a"(nr), [entry] "m"(kernel_entry) : "memory");
	return r;
}

inline long syscall(long nr, long a)
{
	long r;
	asm volatile("call *%[entry]" : "=a"(r) : "a"(nr), "b"(a), [entry] "m"(kernel_entry) : "memory");
	return r;
}

inline long syscall(long nr, long a, long b)
{
	long r;
	asm volatile("call *%[entry]" : "=a"(r) : "a"(nr), "b"(a), "c"(b), [entry] "m"(kernel_entry) : "memory");
	return r;
}

inline long syscall(long nr, long a, long b, long c)
{
	long r;
	asm volatile("call *%[entry]" : "=a"(r) : "a"(nr), "b"(a), "c"(b), "d"(c), [entry] "m"(kernel_entry) : "memory");
	return r;
}

inline long syscall(long nr, long a, long b, long c, long d)
{
	long r;
	asm volatile("call *%[entry]"
		     : "=a"(r)
		     : "a"(nr), "b"(a), "c"(b), "d"(c), "S"(d), [entry] "m"(kernel_entry)
		     : "memory");
	return r;
}

// Every socket operation goes through socketcall (102) with its arguments in a
// word block; the operation codes are <linux/net.h>'s SYS_* values.
inline long socket_op(long op, long a, long b, long c, long d = 0, long e = 0, long f = 0)
{
	long block[6] = {a, b, c, d, e, f};

	return syscall(NR_socketcall, op, (long)block);
}

// The kernel's struct stat64; long long members sit on 4-byte boundaries here.
// Time fields carry a _sec suffix: libc headers in hosted test builds
// define st_atime, st_mtime and st_ctime as macros.
struct kernel_stat {
	unsigned long long st_dev;
	unsigned char pad0[4];
	unsigned long st_ino32;
	unsigned int st_mode;
	unsigned int st_nlink;
	unsigned long st_uid;
	unsigned long st_gid;
	unsigned long long st_rdev;
	unsigned char pad3[4];
	long long st_size;
	unsigned long st_blksize;
	unsigned long long st_blocks;
	unsigned long st_atime_sec;
	unsigned long st_atime_nsec;
	unsigned long st_mtime_sec;
	unsigned long st_mtime_nsec;
	unsigned long st_ctime_sec;
	unsigned long st_ctime_nsec;
	unsigned long long st_ino;
};
static_assert(sizeof(kernel_stat) == 96, "struct stat64 is 96 bytes on i386");
static_assert(__builtin_offsetof(kernel_stat, st_size) == 44, "stat64 st_size offset");
static_assert(__builtin_offsetof(kernel_stat, st_mtime_sec) == 72, "stat64 st_mtime offset");

// The kernel's struct sigaction for rt_sigaction: handler, flags, restorer, mask.
struct kernel_sigaction {
	unsigned long handler;
	unsigned long flags;
	unsigned long restorer;
	unsigned long mask[2];
};


// The filesystem's magic number, the first word of struct statfs64; the
// kernel wants the record's size as an argument.
inline long fstatfs_type(long fd, unsigned long *type)
{
	unsigned long record[21];  // struct statfs64 is 84 bytes here
	long r = syscall(NR_fstatfs64, fd, sizeof record, (long)record);

	*type = record[0];
	return r;
}

} // namespace dircast::arch

// Entry: hand the initial stack pointer (argc, argv..., 0, envp...) to C++.
// The stack is realigned so start_main sees the 16-byte alignment GCC assumes.
#define DIRCAST_ENTRY_STUB                                                           \
	asm(".text\n.global _start\n_start:\n"                                       \
	    "\txorl %ebp, %ebp\n\tmovl %esp, %eax\n\tandl $-16, %esp\n"          \
	    "\tsubl $12, %esp\n\tpushl %eax\n\tcall start_main\n\thlt\n"       \
	    ".global dircast_int80\ndircast_int80:\n\tint $0x80\n\tret\n");
