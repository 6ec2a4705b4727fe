// Kernel constants under the kernel's own names. Kept out of public headers so
// that hosted test code, whose libc defines the same names as macros, can use ours.
#pragma once

namespace dircast::kernel {

// errno values, as returned negated by every call
constexpr long ENOENT = 2;
constexpr long EINTR = 4;
constexpr long EIO = 5;
constexpr long EBADF = 9;
constexpr long EEXIST = 17;
constexpr long EISDIR = 21;
constexpr long EAGAIN = 11;
constexpr long EINVAL = 22;
constexpr long ENFILE = 23;
constexpr long EMFILE = 24;
constexpr long ENOSPC = 28;
constexpr long EINPROGRESS = 115;
constexpr long ETIMEDOUT = 110;
constexpr long ENOTEMPTY = 39;
constexpr long ESTALE = 116;

// open flags (octal, as the kernel writes them)
constexpr long O_RDONLY = 0;
constexpr long O_WRONLY = 01;
constexpr long O_RDWR = 02;
constexpr long O_CREAT = 0100;
constexpr long O_EXCL = 0200;
constexpr long O_NOCTTY = 0400;
constexpr long O_TRUNC = 01000;
constexpr long O_NONBLOCK = 04000;
constexpr long O_DIRECTORY = 0200000;
constexpr long O_NOFOLLOW = 0400000;
constexpr long O_CLOEXEC = 02000000;
constexpr long O_PATH = 010000000;
// An unnamed file in the directory opened: __O_TMPFILE with O_DIRECTORY, so
// that kernels without it refuse the call instead of opening the directory.
constexpr long O_TMPFILE = 020200000;

// flock
constexpr long LOCK_EX = 2;
constexpr long LOCK_NB = 4;

constexpr long SEEK_SET = 0;
constexpr long SEEK_END = 2;

constexpr long F_GETFD = 1;
constexpr long F_GETFL = 3;
constexpr long F_SETFL = 4;

constexpr unsigned S_IFMT = 0170000;
constexpr unsigned S_IFREG = 0100000;
constexpr unsigned S_IFDIR = 0040000;
constexpr unsigned S_IFLNK = 0120000;

constexpr long AT_FDCWD = -100;
constexpr long AT_SYMLINK_NOFOLLOW = 0x100;
constexpr long AT_REMOVEDIR = 0x200;

constexpr unsigned char DT_UNKNOWN = 0;  // d_type of a filesystem that does not say
constexpr unsigned char DT_REG = 8;  // d_type of a regular file
constexpr unsigned char DT_LNK = 10;

// struct linux_dirent64, as getdents64 fills it on every architecture:
// d_ino and d_off (8 bytes each), d_reclen (2), d_type (1), then the name.
constexpr int DIRENT64_OFF = 8;
constexpr int DIRENT64_RECLEN = 16;
constexpr int DIRENT64_TYPE = 18;
constexpr int DIRENT64_NAME = 19;

// sockets
constexpr long AF_INET = 2;
constexpr long SOCK_STREAM = 1;
constexpr long SOCK_DGRAM = 2;
constexpr long SOCK_NONBLOCK = 04000;    // accept4 flags, the open flags' values
constexpr long SOCK_CLOEXEC = 02000000;
constexpr long IPPROTO_UDP = 17;
constexpr long SOL_SOCKET = 1;
constexpr long SO_REUSEADDR = 2;
constexpr long SO_ERROR = 4;
constexpr long SO_BROADCAST = 6;
constexpr long SO_RCVTIMEO = 20;
constexpr long SO_SNDTIMEO = 21;
constexpr long SIOCOUTQ = 0x5411;  // bytes sent and not yet acknowledged, or not yet sent
constexpr long MSG_DONTWAIT = 0x40;
constexpr long MSG_NOSIGNAL = 0x4000;

// poll
constexpr short POLLIN = 0x001;
constexpr short POLLOUT = 0x004;
constexpr short POLLERR = 0x008;
constexpr short POLLHUP = 0x010;

constexpr long RLIMIT_NOFILE = 7;

// signals
constexpr long SIGPIPE = 13;
constexpr unsigned long SIG_IGN = 1;

constexpr long UTIME_OMIT = (1l << 30) - 2;  // utimensat: leave this time as it is
constexpr long UTIME_NOW = (1l << 30) - 1;   // utimensat: set this time to the present

constexpr long CLOCK_MONOTONIC = 1;
constexpr long CLOCK_REALTIME = 0;

// inotify: what a watched directory reports, and the record's layout
// (wd, mask, cookie, len: four 32-bit words, then len bytes of name).
constexpr unsigned IN_MODIFY = 0x2;
constexpr unsigned IN_ATTRIB = 0x4;
constexpr unsigned IN_CLOSE_WRITE = 0x8;
constexpr unsigned IN_MOVED_FROM = 0x40;
constexpr unsigned IN_MOVED_TO = 0x80;
constexpr unsigned IN_CREATE = 0x100;
constexpr unsigned IN_DELETE = 0x200;
constexpr unsigned IN_DELETE_SELF = 0x400;
constexpr unsigned IN_MOVE_SELF = 0x800;
constexpr unsigned IN_ONLYDIR = 0x01000000;
constexpr long IN_NONBLOCK = 04000;
constexpr long IN_CLOEXEC = 02000000;
constexpr int INOTIFY_EVENT_HEADER = 16;

} // namespace dircast::kernel
