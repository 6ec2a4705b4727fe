// The manifest's spool file. Lines go in whole, so reading back needs no
// framing beyond the line breaks: the reader is a manifest stream over it.
#include "manifest_spool.hpp"
#include "settings.hpp"
#include "../protocol/signed_listing.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

using namespace kernel;

constexpr long SPOOL_MODE = 0600;
// Where a filesystem has no unnamed files, the spool is made under this name
// and unlinked at once. The component check refuses ':', so no mirrored
// entry can be called so.
constexpr char NAMED_SPOOL[] = ":dircast-manifest";
constexpr char END_TAIL[] = "\nEND\n";
constexpr int MAGIC_LENGTH = sizeof wire::MANIFEST_MAGIC - 1;

// Lines are gathered and written in large pieces: a manifest of a quarter
// of a million files is that many lines.
struct SpoolWriter {
	int open;
	long fd;
	long length;
	int ok;
	unsigned long file_records;
	char buffer[SPOOL_READ_SIZE];
};

static SpoolWriter spool_writer;

// Only this process writes below its mirror root (it holds the root's
// lock), so a name left over from a run killed between create and unlink is
// its own, and goes.
static long make_named_spool(long dir)
{
	long flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
	long fd = sys::openat(dir, NAMED_SPOOL, flags, SPOOL_MODE);

	if (fd == -EEXIST) {
		sys::unlinkat(dir, NAMED_SPOOL, 0);
		fd = sys::openat(dir, NAMED_SPOOL, flags, SPOOL_MODE);
	}
	if (fd >= 0)
		sys::unlinkat(dir, NAMED_SPOOL, 0);
	return fd;
}

// In the mirror root, reached without following a link: an unnamed file
// there has no entry, so neither Wine programs nor the prune ever see it.
static long make_spool_file()
{
	long dir = sys::open(client_settings.mirror_root, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	long fd;

	if (dir < 0)
		return dir;
	fd = sys::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, SPOOL_MODE);
	if (fd < 0)
		fd = make_named_spool(dir);
	sys::close(dir);
	return fd;
}

static int write_all(long fd, const char *data, long length)
{
	while (length > 0) {
		long r = sys::write(fd, data, length);

		if (r <= 0)
			return 0;
		data += r;
		length -= r;
	}
	return 1;
}

static void flush_spool(SpoolWriter *w)
{
	w->ok = w->ok && write_all(w->fd, w->buffer, w->length);
	w->length = 0;
}

int begin_spool()
{
	SpoolWriter *w = &spool_writer;

	if (w->open)
		sys::close(w->fd);
	w->fd = make_spool_file();
	w->open = w->fd >= 0;
	w->length = 0;
	w->ok = w->open;
	w->file_records = 0;
	return w->ok;
}

int spool_bytes(const char *data, long length)
{
	SpoolWriter *w = &spool_writer;

	if (w->length + length > SPOOL_READ_SIZE)
		flush_spool(w);
	if (length > SPOOL_READ_SIZE)
		return w->ok = w->ok && write_all(w->fd, data, length);
	copy_span(w->buffer + w->length, data, (int)length);
	w->length += length;
	return w->ok;
}

int spool_line(const char *line, long length)
{
	if (starts_with(line, wire::FILE_RECORD))
		spool_writer.file_records++;
	spool_bytes(line, length);
	return spool_bytes("\n", 1);
}

int end_spool()
{
	SpoolWriter *w = &spool_writer;

	if (!w->open)
		return 0;
	flush_spool(w);
	return w->ok;
}

unsigned long spooled_file_records() { return spool_writer.file_records; }

long spool_descriptor()
{
	return spool_writer.open ? spool_writer.fd : -1;
}

// n bytes at offset from where, or 0.
static int read_at(long fd, long offset, long where, char *out, long n)
{
	if (sys::lseek(fd, offset, where) < 0)
		return 0;
	while (n > 0) {
		long r = sys::read(fd, out, n);

		if (r <= 0)
			return 0;
		out += r;
		n -= r;
	}
	return 1;
}

// A spool holds a manifest or, for a pinned mirror, a signed listing.
static int spooled_magic(const char *line)
{
	return starts_with(line, wire::MANIFEST_MAGIC) || starts_with(line, wire::SIGNED_MAGIC);
}

int spool_whole()
{
	char head[MAGIC_LENGTH + 1];
	char tail[sizeof END_TAIL - 1];
	long fd = spool_descriptor();

	if (fd < 0 || !read_at(fd, 0, SEEK_SET, head, MAGIC_LENGTH) ||
	    !read_at(fd, -(long)sizeof tail, SEEK_END, tail, sizeof tail))
		return 0;
	head[MAGIC_LENGTH] = 0;
	for (unsigned i = 0; i < sizeof tail; i++) {
		if (tail[i] != END_TAIL[i])
			return 0;
	}
	return spooled_magic(head);
}

int open_spool(SpoolReader *reader)
{
	const char *line;

	reader->fd = spool_descriptor();
	reader->ended = 0;
	reader->cursor = reader->end = reader->buffer;
	start_stream(&reader->stream, MANIFEST_STREAM);
	if (!spool_whole() || sys::lseek(reader->fd, 0, SEEK_SET) != 0)
		return 0;
	line = next_spool_line(reader);
	return line && spooled_magic(line);
}

const char *next_spool_line(SpoolReader *reader)
{
	StreamPiece piece;

	while (!reader->ended) {
		if (next_piece(&reader->stream, &reader->cursor, reader->end, &piece)) {
			if (piece.cut)  // no record is this long: read as no line at all
				continue;
			reader->ended = stream_ended(&reader->stream);
			return reader->ended ? nullptr : piece.bytes;
		}
		long n = sys::read(reader->fd, reader->buffer, SPOOL_READ_SIZE);

		if (n <= 0)
			return nullptr;
		reader->cursor = reader->buffer;
		reader->end = reader->buffer + n;
	}
	return nullptr;
}

// The descriptor is the spool's own and stays open for the next reader.
void close_spool(SpoolReader *reader)
{
	reader->fd = -1;
}

} // namespace dircast
