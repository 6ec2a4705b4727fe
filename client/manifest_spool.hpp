// The manifest's spool: the manifest as received, kept in a file private to
// the process, so that a manifest of any length is read through in fixed
// memory, once for the prune's index and once for the updates. The file has
// no name: nothing else can open, plant, truncate or link it, and it goes
// with the process.
#pragma once

#include "reply_stream.hpp"

namespace dircast {

// Reads the spool back line by line through a buffer of this size.
constexpr int SPOOL_READ_SIZE = 65536;

// Readers share the spool's one descriptor, each from the start: only one
// reads at a time.
struct SpoolReader {
	long fd;
	int ended;  // the end line was read: the manifest came whole
	const char *cursor;
	const char *end;
	ReplyStream stream;
	char buffer[SPOOL_READ_SIZE];
};

// Starts a fresh, empty spool in the mirror root, the last one dropped; 0
// when it cannot be made.
int begin_spool();
// Appends bytes as they are; 0 once a write has failed.
int spool_bytes(const char *data, long length);
// Appends one line (shorter than STREAM_LINE_SIZE, NUL-terminated) and its '\n'.
int spool_line(const char *line, long length);
// The file records among the lines this spool was given.
unsigned long spooled_file_records();
// Writes out what is gathered; 0 when any write failed.
int end_spool();
// 1 when the spool begins with the magic line of a manifest or a signed
// listing and ends with its end line: only then may a pass act on what it
// reads before its end.
int spool_whole();
// 0 when there is no spool or its first line is not the magic; the reader
// then stands after that line.
int open_spool(SpoolReader *reader);
// The next line, NUL-terminated without its '\n', or null after the end
// line or at the end of the file. A line cut short by the file's end, or
// too long for any record, is no line.
const char *next_spool_line(SpoolReader *reader);
void close_spool(SpoolReader *reader);
// The spool's descriptor, for a reader of its own; -1 when there is none.
long spool_descriptor();

} // namespace dircast
