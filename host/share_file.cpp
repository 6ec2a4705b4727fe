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

// The type is checked on the path's own state first, so that special files
// are never opened at all and an unchanged file is never read.
int start_content_hash(ContentHash *h, long dirfd, const char *name, unsigned generation)
{
	h->fd = -1;
	h->size = 0;
	h->hash = FNV1A_BASIS;
	if (h->with_digest)  // what is listed with size 0: no content
		sha256("", 0, h->digest);
	if (sys::fstatat(dirfd, name, &h->st, 0) < 0 || !carried_file(&h->st))
		return 1;
	if (cached_content_hash(&h->st, generation, &h->hash, h->with_digest ? h->digest : nullptr)) {
		h->size = (unsigned long long)h->st.st_size;
		return 1;
	}
	sys::clock_gettime(kernel::CLOCK_REALTIME, &h->hashed_at);
	h->fd = open_share_file(dirfd, name, &h->st);
	if (h->fd < 0)
		return 1;
	h->size = (unsigned long long)h->st.st_size;
	h->remaining = h->size;
	if (h->with_digest)
		sha256_start(&h->sha);
	return 0;
}

// A read that fails or ends early ends the content: the hash covers the
// bytes read, and is remembered as it is.
int continue_content_hash(ContentHash *h, long *budget)
{
	while (h->remaining > 0) {
		long want = h->remaining < FILE_BUFFER_SIZE ? h->remaining : FILE_BUFFER_SIZE;
		long n;

		if (*budget <= 0)
			return 0;
		n = sys::read(h->fd, file_buffer, want);
		if (n < 1)
			break;
		h->hash = fnv1a_update(h->hash, file_buffer, n);
		if (h->with_digest)
			sha256_update(&h->sha, file_buffer, n);
		h->remaining -= (unsigned long long)n;
		*budget -= n;
	}
	abandon_content_hash(h);
	if (h->with_digest)
		sha256_finish(&h->sha, h->digest);
	remember_content_hash(&h->st, h->hash, &h->hashed_at, h->with_digest ? h->digest : nullptr);
	return 1;
}

void abandon_content_hash(ContentHash *h)
{
	if (h->fd >= 0)
		sys::close(h->fd);
	h->fd = -1;
}

} // namespace dircast
