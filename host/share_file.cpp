// Opening and hashing files of the share.
#include "share_file.hpp"
#include "../runtime/fnv1a.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"

namespace dircast {

char file_buffer[FILE_BUFFER_SIZE];

// Sizes travel as 32-bit decimals and the reader's limits are far below this.
constexpr long long SIZE_LIMIT = 0x80000000LL;

// O_NONBLOCK: a FIFO (or a link to one) would otherwise hold the single
// thread until a writer shows up; fstat then keeps only regular files, so
// FIFOs, sockets and devices read as unopenable on every architecture.
long open_share_file(const char *path, unsigned *size)
{
	long fd = sys::open(path, kernel::O_RDONLY | kernel::O_NONBLOCK | kernel::O_NOCTTY);
	kernel_stat st;
	long end;

	*size = 0;
	if (fd < 0)
		return fd;
	if (sys::fstat(fd, &st) < 0 || (st.st_mode & kernel::S_IFMT) != kernel::S_IFREG ||
	    st.st_size >= SIZE_LIMIT) {
		sys::close(fd);
		return -kernel::EINVAL;
	}
	end = sys::lseek(fd, 0, kernel::SEEK_END);
	if (end < 0) {
		sys::close(fd);
		return end;
	}
	*size = (unsigned)end;
	sys::lseek(fd, 0, kernel::SEEK_SET);
	return fd;
}

unsigned hash_file_content(const char *path, unsigned *size)
{
	unsigned hash = FNV1A_BASIS;
	long fd = open_share_file(path, size);
	unsigned remaining = *size;

	if (fd < 0)
		return hash;
	while (remaining > 0) {
		long want = remaining < FILE_BUFFER_SIZE ? remaining : FILE_BUFFER_SIZE;
		long n = sys::read(fd, file_buffer, want);

		if (n < 1)
			break;
		hash = fnv1a_update(hash, file_buffer, n);
		remaining -= (unsigned)n;
	}
	sys::close(fd);
	return hash;
}

} // namespace dircast
