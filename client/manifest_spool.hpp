// The manifest's spool: the manifest as received, kept in a state file beside
// the mirror root (never inside the tree that Wine programs see), so that a
// manifest of any length is read through in fixed memory, once for the
// prune's index and once for the updates.
#pragma once

#include "reply_stream.hpp"

namespace dircast {

// Reads the spool back line by line through a buffer of this size.
constexpr int SPOOL_READ_SIZE = 65536;

struct SpoolReader {
	long fd;
	const char *cursor;
	const char *end;
	ReplyStream stream;
	char buffer[SPOOL_READ_SIZE];
};

// The state file's path: the mirror root followed by ".dircast-manifest".
const char *spool_path();
// Starts a fresh, empty spool; 0 when it cannot be made.
int begin_spool();
// Appends one line (shorter than STREAM_LINE_SIZE) and its '\n'; 0 once a
// write has failed.
int spool_line(const char *line, long length);
// Writes out what is gathered and closes; 0 when any write failed.
int end_spool();
// 0 when there is no spool to read.
int open_spool(SpoolReader *reader);
// The next line, NUL-terminated without its '\n', or null at the end.
const char *next_spool_line(SpoolReader *reader);
void close_spool(SpoolReader *reader);

} // namespace dircast
