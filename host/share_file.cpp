// Opening and hashing files of the share.
#include "hash_cache.hpp"
#include "share_file.hpp"
#include "../runtime/fnv1a.hpp"
#include "../runtime/kernel.hpp"

namespace dircast {

char file_buffer[FILE_BUFFER_SIZE];

// FIFOs, sockets and devices read as unopenable on every architecture. Any
// size is carried: sizes travel as decimals of up to 20 digits.
static int carried_file(const kernel_stat *st)
{
	return (st->st_mode & kernel::S_IFMT) == kernel::S_IFREG;
}

// O_NONBLOCK: a FIFO swapped in after the type check would otherwise hold
// the single thread until a writer shows up.
long open_share_file(long dirfd, const char *name, kernel_stat *st)
{
	long fd = sys::openat(dirfd, name, kernel::O_RDONLY | kernel::O_NONBLOCK | kernel::O_NOCTTY);

	if (fd < 0)
		return fd;
	if (sys::fstat(fd, st) < 0 || !carried_file(st)) {
		sys::close(fd);
		return -kernel::EINVAL;
	}
	return fd;
}

static unsigned read_content_hash(long fd, unsigned long long size)
{
	unsigned hash = FNV1A_BASIS;
	unsigned long long remaining = size;

	while (remaining > 0) {
		long want = remaining < FILE_BUFFER_SIZE ? remaining : FILE_BUFFER_SIZE;
		long n = sys::read(fd, file_buffer, want);

		if (n < 1)
			break;
		hash = fnv1a_update(hash, file_buffer, n);
		remaining -= (unsigned long long)n;
	}
	return hash;
}

// The type is checked on the path's own state first, so that special files
// are never opened at all and an unchanged file is never read.
unsigned hash_file_content(long dirfd, const char *name, unsigned long long *size)
{
	kernel_stat st;
	timespec hashed_at = {0, 0};
	unsigned hash;
	long fd;

	*size = 0;
	if (sys::fstatat(dirfd, name, &st, 0) < 0 || !carried_file(&st))
		return FNV1A_BASIS;
	if (cached_content_hash(&st, &hash)) {
		*size = (unsigned long long)st.st_size;
		return hash;
	}
	sys::clock_gettime(kernel::CLOCK_REALTIME, &hashed_at);
	fd = open_share_file(dirfd, name, &st);
	if (fd < 0)
		return FNV1A_BASIS;
	*size = (unsigned long long)st.st_size;
	hash = read_content_hash(fd, *size);
	sys::close(fd);
	remember_content_hash(&st, hash, &hashed_at);
	return hash;
}

} // namespace dircast
