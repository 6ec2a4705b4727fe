// A window over the spool: the lines not yet passed, refilled from the file
// as the archive moves on, so memory stays one buffer for any manifest.
#include "manifest_lookup.hpp"
#include "delta.hpp"
#include "manifest_spool.hpp"
#include "mirror_store.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

using namespace kernel;

constexpr int FILE_PATH_AT = sizeof wire::FILE_RECORD - 1;
constexpr int SIZE_FIELD_LENGTH = sizeof wire::SIZE_FIELD - 1;

// All zero is closed, so the buffer stays out of the program file.
struct ManifestLookup {
	int open;
	long fd;
	int ended;  // the spool is read to its end
	int begin;  // the first line not yet passed
	int end;
	char buffer[SPOOL_READ_SIZE];
};

static ManifestLookup lookup;
static const char *found_line = "";

void open_manifest_lookup()
{
	close_manifest_lookup();
	lookup.fd = spool_whole() ? spool_descriptor() : -1;
	lookup.open = lookup.fd >= 0 && sys::lseek(lookup.fd, 0, SEEK_SET) == 0;
	lookup.ended = 0;
	lookup.begin = lookup.end = 0;
}

void close_manifest_lookup()
{
	lookup.open = 0;
	lookup.begin = lookup.end = 0;
}

// Keeps at least half a buffer of lines ahead, enough for the window.
static void refill()
{
	if (lookup.ended || lookup.end - lookup.begin >= SPOOL_READ_SIZE / 2)
		return;
	for (int i = lookup.begin; i < lookup.end; i++)
		lookup.buffer[i - lookup.begin] = lookup.buffer[i];
	lookup.end -= lookup.begin;
	lookup.begin = 0;
	while (lookup.end < SPOOL_READ_SIZE) {
		long r = sys::read(lookup.fd, lookup.buffer + lookup.end, SPOOL_READ_SIZE - lookup.end);

		if (r <= 0) {
			lookup.ended = 1;
			return;
		}
		lookup.end += (int)r;
	}
}

static int line_end(int at)
{
	while (at < lookup.end && lookup.buffer[at] != '\n')
		at++;
	return at < lookup.end ? at : -1;
}

// "file path=<relative> size=" opens the line; the path ends at the first
// " size=", as every reader of records takes it.
static int line_names(const char *line, int length, const char *relative, int relative_length)
{
	int size_at = FILE_PATH_AT + relative_length;

	if (size_at + SIZE_FIELD_LENGTH > length || !starts_with(line, wire::FILE_RECORD))
		return 0;
	for (int i = 0; i < relative_length; i++) {
		if (line[FILE_PATH_AT + i] != relative[i])
			return 0;
	}
	for (int i = 0; i < SIZE_FIELD_LENGTH; i++) {
		if (line[size_at + i] != wire::SIZE_FIELD[i])
			return 0;
	}
	return 1;
}

int manifest_lists_file(const char *relative, unsigned long long size, unsigned *hash)
{
	int relative_length = text_length(relative);
	int at, end;

	if (!lookup.open)
		return 0;
	refill();
	at = lookup.begin;
	for (int n = 0; n < LOOKUP_WINDOW_LINES && (end = line_end(at)) >= 0; n++, at = end + 1) {
		char *line = lookup.buffer + at;
		char listed[RELATIVE_PATH_SIZE];
		unsigned long long listed_size;

		if (!line_names(line, end - at, relative, relative_length))
			continue;
		lookup.buffer[end] = 0;
		lookup.begin = end + 1;
		found_line = line;
		return read_file_record(line, listed, &listed_size, hash) > 0 && listed_size == size;
	}
	return 0;
}

const char *manifest_found_line() { return found_line; }

} // namespace dircast
