// Typed system-call wrappers, each named after its call and returning the raw
// kernel result: a value, or a negated errno. No errno variable, no retries.
#pragma once

#include "arch.hpp"

namespace dircast {

// Time records: two native words on both architectures.
struct timespec {
	long tv_sec;
	long tv_nsec;
};

struct timeval {
	long tv_sec;
	long tv_usec;
};

// prlimit64's record: the same two 64-bit words on both architectures.
struct rlimit64 {
	unsigned long long rlim_cur;
	unsigned long long rlim_max;
};

struct pollfd {
	int fd;
	short events;
	short revents;
};

using kernel_stat = arch::kernel_stat;

namespace sys {

using arch::syscall;

[[noreturn]] inline void exit(long status)
{
	for (;;)
		syscall(arch::NR_exit, status);
}

inline long read(long fd, void *buf, long n) { return syscall(arch::NR_read, fd, (long)buf, n); }
inline long write(long fd, const void *buf, long n) { return syscall(arch::NR_write, fd, (long)buf, n); }
inline long open(const char *path, long flags, long mode = 0)
{
	return syscall(arch::NR_open, (long)path, flags | arch::OPEN_LARGE_FILES, mode);
}
inline long close(long fd) { return syscall(arch::NR_close, fd); }
inline long dup(long fd) { return syscall(arch::NR_dup, fd); }
inline long lseek(long fd, long offset, long whence) { return syscall(arch::NR_lseek, fd, offset, whence); }
inline long unlink(const char *path) { return syscall(arch::NR_unlink, (long)path); }
inline long mkdir(const char *path, long mode) { return syscall(arch::NR_mkdir, (long)path, mode); }
inline long rmdir(const char *path) { return syscall(arch::NR_rmdir, (long)path); }
inline long fcntl(long fd, long cmd, long arg) { return syscall(arch::NR_fcntl, fd, cmd, arg); }
inline long flock(long fd, long operation) { return syscall(arch::NR_flock, fd, operation); }
inline long ioctl(long fd, long request, void *arg) { return syscall(arch::NR_ioctl, fd, request, (long)arg); }
inline long symlink(const char *target, const char *link) { return syscall(arch::NR_symlink, (long)target, (long)link); }
inline long getdents64(long fd, void *buf, long n) { return syscall(arch::NR_getdents64, fd, (long)buf, n); }
inline long fstat(long fd, kernel_stat *st) { return syscall(arch::NR_fstat, fd, (long)st); }
inline long poll(pollfd *fds, long n, long timeout_ms) { return syscall(arch::NR_poll, (long)fds, n, timeout_ms); }
inline long nanosleep(const timespec *t) { return syscall(arch::NR_nanosleep, (long)t, 0); }
inline long clock_gettime(long clock, timespec *t) { return syscall(arch::NR_clock_gettime, clock, (long)t); }
inline long prlimit64(long pid, long resource, const rlimit64 *limit, rlimit64 *old)
{
	return syscall(arch::NR_prlimit64, pid, resource, (long)limit, (long)old);
}
inline long openat(long dirfd, const char *name, long flags, long mode = 0)
{
	return syscall(arch::NR_openat, dirfd, (long)name, flags | arch::OPEN_LARGE_FILES, mode);
}
inline long fstatat(long dirfd, const char *path, kernel_stat *st, long flags)
{
	return syscall(arch::NR_fstatat, dirfd, (long)path, (long)st, flags);
}
inline long mkdirat(long dirfd, const char *name, long mode) { return syscall(arch::NR_mkdirat, dirfd, (long)name, mode); }
inline long unlinkat(long dirfd, const char *name, long flags) { return syscall(arch::NR_unlinkat, dirfd, (long)name, flags); }
inline long readlinkat(long dirfd, const char *name, char *out, long size)
{
	return syscall(arch::NR_readlinkat, dirfd, (long)name, (long)out, size);
}
inline long renameat(long olddir, const char *oldname, long newdir, const char *newname)
{
	return syscall(arch::NR_renameat, olddir, (long)oldname, newdir, (long)newname);
}

// times: access, then modification; a null path sets the times of dirfd.
inline long utimensat(long dirfd, const char *path, const timespec *times, long flags)
{
	return syscall(arch::NR_utimensat, dirfd, (long)path, (long)times, flags);
}
inline long inotify_init1(long flags) { return syscall(arch::NR_inotify_init1, flags); }
inline long inotify_add_watch(long fd, const char *path, unsigned mask)
{
	return syscall(arch::NR_inotify_add_watch, fd, (long)path, (long)mask);
}
// Bytes from the kernel's random pool; blocks only until the pool is first
// seeded at boot.
inline long getrandom(void *buf, long n, long flags) { return syscall(arch::NR_getrandom, (long)buf, n, flags); }
// fstatfs, reduced to the one field we read: the filesystem's type.
inline long fstatfs_type(long fd, unsigned long *type) { return arch::fstatfs_type(fd, type); }

// rt_sigaction with the kernel's own record; sigsetsize is the kernel's 8 bytes.
inline long rt_sigaction(long sig, const arch::kernel_sigaction *act)
{
	return syscall(arch::NR_rt_sigaction, sig, (long)act, 0, 8);
}

// Socket operation codes of <linux/net.h>: socketcall subcodes on i386, mapped
// onto the separate calls on x86_64 (arch file).
constexpr long SYS_SOCKET = 1, SYS_BIND = 2, SYS_CONNECT = 3, SYS_LISTEN = 4, SYS_ACCEPT = 5,
	       SYS_SEND = 9, SYS_RECV = 10, SYS_SENDTO = 11, SYS_RECVFROM = 12,
	       SYS_SETSOCKOPT = 14, SYS_GETSOCKOPT = 15, SYS_ACCEPT4 = 18;

inline long socket(long domain, long type, long protocol) { return arch::socket_op(SYS_SOCKET, domain, type, protocol); }
inline long bind(long fd, const void *addr, long len) { return arch::socket_op(SYS_BIND, fd, (long)addr, len); }
inline long connect(long fd, const void *addr, long len) { return arch::socket_op(SYS_CONNECT, fd, (long)addr, len); }
inline long listen(long fd, long backlog) { return arch::socket_op(SYS_LISTEN, fd, backlog, 0); }
inline long accept(long fd) { return arch::socket_op(SYS_ACCEPT, fd, 0, 0); }
inline long accept4(long fd, long flags) { return arch::socket_op(SYS_ACCEPT4, fd, 0, 0, flags); }
inline long accept4(long fd, void *addr, void *len, long flags)
{
	return arch::socket_op(SYS_ACCEPT4, fd, (long)addr, (long)len, flags);
}
inline long send(long fd, const void *buf, long n, long flags) { return arch::socket_op(SYS_SEND, fd, (long)buf, n, flags); }
inline long recv(long fd, void *buf, long n, long flags) { return arch::socket_op(SYS_RECV, fd, (long)buf, n, flags); }
inline long sendto(long fd, const void *buf, long n, long flags, const void *addr, long len)
{
	return arch::socket_op(SYS_SENDTO, fd, (long)buf, n, flags, (long)addr, len);
}
inline long recvfrom(long fd, void *buf, long n, long flags, void *addr, void *len)
{
	return arch::socket_op(SYS_RECVFROM, fd, (long)buf, n, flags, (long)addr, (long)len);
}
inline long setsockopt(long fd, long level, long name, const void *value, long len)
{
	return arch::socket_op(SYS_SETSOCKOPT, fd, level, name, (long)value, len);
}
inline long getsockopt(long fd, long level, long name, void *value, void *len)
{
	return arch::socket_op(SYS_GETSOCKOPT, fd, level, name, (long)value, (long)len);
}

} // namespace sys
} // namespace dircast
