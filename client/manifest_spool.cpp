// The manifest's spool file. Lines go in whole, so reading back needs no
// framing beyond the line breaks: the reader is a manifest stream over it.
#include "manifest_spool.hpp"
#include "settings.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

using namespace kernel;

// The mirror root (at most 766 bytes), ".dircast-manifest" and the NUL.
constexpr int SPOOL_PATH_SIZE = MIRROR_ROOT_LIMIT + 18;
constexpr char SPOOL_SUFFIX[] = ".dircast-manifest";

static char spool_path_buffer[SPOOL_PATH_SIZE];

const char *spool_path()
{
	int cursor = 0;

	append_text(spool_path_buffer, &cursor, client_settings.mirror_root);
	append_text(spool_path_buffer, &cursor, SPOOL_SUFFIX);
	spool_path_buffer[cursor] = 0;
	return spool_path_buffer;
}

// Lines are gathered and written in large pieces: a manifest of a quarter
// of a million files is that many lines.
struct SpoolWriter {
	long fd;
	long length;
	int ok;
	char buffer[SPOOL_READ_SIZE];
};

static SpoolWriter spool_writer;

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

// O_NOFOLLOW: a link planted at the state file's name is refused, not
// written through.
int begin_spool()
{
	SpoolWriter *w = &spool_writer;

	w->fd = sys::open(spool_path(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
	w->length = 0;
	w->ok = w->fd >= 0;
	return w->ok;
}

int spool_line(const char *line, long length)
{
	SpoolWriter *w = &spool_writer;

	if (w->length + length + 1 > SPOOL_READ_SIZE)
		flush_spool(w);
	copy_span(w->buffer + w->length, line, (int)length);
	w->length += length;
	w->buffer[w->length++] = '\n';
	return w->ok;
}

int end_spool()
{
	SpoolWriter *w = &spool_writer;

	if (w->fd < 0)
		return 0;
	flush_spool(w);
	sys::close(w->fd);
	w->fd = -1;
	return w->ok;
}

int open_spool(SpoolReader *reader)
{
	reader->fd = sys::open(spool_path(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
	reader->cursor = reader->end = reader->buffer;
	start_stream(&reader->stream, MANIFEST_STREAM);
	return reader->fd >= 0;
}

const char *next_spool_line(SpoolReader *reader)
{
	StreamPiece piece;

	for (;;) {
		if (next_piece(&reader->stream, &reader->cursor, reader->end, &piece)) {
			if (piece.cut)  // no record is this long: read as no line at all
				continue;
			return piece.bytes;
		}
		long n = sys::read(reader->fd, reader->buffer, SPOOL_READ_SIZE);

		if (n <= 0)
			return nullptr;
		reader->cursor = reader->buffer;
		reader->end = reader->buffer + n;
	}
}

void close_spool(SpoolReader *reader)
{
	if (reader->fd >= 0)
		sys::close(reader->fd);
	reader->fd = -1;
}

} // namespace dircast
