// Directory iteration and probe. Directories are always opened with
// O_DIRECTORY: a FIFO or device in a tree fails the open at once instead of
// blocking it, and a regular file fails as getdents64 would.
#include "dir.hpp"
#include "kernel.hpp"
#include "path.hpp"
#include "sys.hpp"

namespace dircast {

static long directory_flags(LinkPolicy links)
{
	long flags = kernel::O_RDONLY | kernel::O_DIRECTORY;

	return links == NO_LINKS ? flags | kernel::O_NOFOLLOW : flags;
}

long open_scan_at(DirScan *scan, long dirfd, const char *name, LinkPolicy links)
{
	scan->fd = sys::openat(dirfd, name, directory_flags(links));
	scan->length = 0;
	scan->offset = 0;
	scan->error = 0;
	scan->position = 0;
	return scan->fd;
}

long open_scan(DirScan *scan, const char *path, LinkPolicy links)
{
	return open_scan_at(scan, kernel::AT_FDCWD, path, links);
}

// Record length read bytewise: the batch carries no alignment promise.
static unsigned record_length(const char *record)
{
	const unsigned char *p = (const unsigned char *)record + kernel::DIRENT64_RECLEN;

	return p[0] | (unsigned)p[1] << 8;
}

// The 64-bit d_off read bytewise, like the record length. A 32-bit
// process is given positions that fit a long (the kernel keeps them so for
// the 32-bit lseek), and a larger one is refused rather than cut.
static long long record_position(const char *record)
{
	const unsigned char *p = (const unsigned char *)record + kernel::DIRENT64_OFF;
	unsigned long long position = 0;

	for (int i = 7; i >= 0; i--)
		position = position << 8 | p[i];
	return (long long)position;
}

long resume_scan(DirScan *scan, long fd, long long position)
{
	long r;

	scan->fd = fd;
	scan->length = 0;
	scan->offset = 0;
	scan->error = 0;
	scan->position = position;
	if ((long long)(long)position != position)
		r = -kernel::EINVAL;
	else
		r = sys::lseek(fd, (long)position, kernel::SEEK_SET);
	if (r < 0)
		scan->error = r;
	return r;
}

void fail_scan(DirScan *scan, long error)
{
	close_scan(scan);
	scan->length = 0;
	scan->offset = 0;
	scan->error = error;
}

// Next entry name, dot entries skipped. A record length of 0 would never
// advance, so it ends its batch. Once the listing has failed it stays failed.
const char *next_entry(DirScan *scan)
{
	for (;;) {
		if (scan->offset >= scan->length) {
			if (scan->error)
				return nullptr;
			scan->length = sys::getdents64(scan->fd, scan->batch, SCAN_BATCH);
			scan->offset = 0;
			if (scan->length < 0)
				scan->error = scan->length;
			if (scan->length <= 0)
				return nullptr;
		}

		const char *record = scan->batch + scan->offset;
		unsigned reclen = record_length(record);

		if (reclen == 0) {
			scan->offset = scan->length;
			continue;
		}
		scan->offset += reclen;
		scan->position = record_position(record);
		scan->type = (unsigned char)record[kernel::DIRENT64_TYPE];
		if (!is_dot_entry(record + kernel::DIRENT64_NAME))
			return record + kernel::DIRENT64_NAME;
	}
}

int scan_failed(const DirScan *scan)
{
	return scan->error != 0;
}

int entry_is_regular(const DirScan *scan)
{
	return scan->type == kernel::DT_REG;
}

void close_scan(DirScan *scan)
{
	if (scan->fd >= 0)
		sys::close(scan->fd);
	scan->fd = -1;
}

int probe_directory_at(long dirfd, const char *name, LinkPolicy links)
{
	// Large enough for one record of a 255-byte name, so a long first name
	// cannot make getdents64 refuse the buffer and a directory read as a file.
	char batch[512];
	long fd = sys::openat(dirfd, name, directory_flags(links));
	long r;

	if (fd < 0)
		return 0;
	r = sys::getdents64(fd, batch, sizeof batch);
	sys::close(fd);
	return r >= 0;
}

int probe_directory(const char *path, LinkPolicy links)
{
	return probe_directory_at(kernel::AT_FDCWD, path, links);
}

} // namespace dircast
