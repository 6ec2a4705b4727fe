// Reply framing on a stream: a reply is taken apart piece by piece as it
// arrives (lines, and file content stepped over by its declared size), so
// that it can be applied as it comes in, in fixed memory, and the end
// marker is recognised only where a line begins outside content.
#pragma once

namespace dircast {

enum StreamKind { MANIFEST_STREAM, ARCHIVE_STREAM };

enum PieceKind {
	HEADER_LINE,   // a line of the header, the first line and the blank line included
	RECORD_LINE,   // a line where a record may stand (the end line included)
	CONTENT,       // bytes of the current file's content
	CONTENT_DONE,  // the current file's content is complete
};

// The longest line kept: record lines are at most 10 + 511 + 6 + 20 + 6 + 10
// bytes and header lines at most the host's 768-byte composition buffer.
// Longer lines are cut to this and marked, and are never records.
constexpr int STREAM_LINE_SIZE = 1024;

struct ReplyStream {
	StreamKind kind;
	int stage;
	int ended;                        // the last piece was an end line
	int line_length;
	int line_cut;                     // the line outgrew the buffer
	unsigned long long content_left;  // bytes of content still to come
	unsigned long long outside_bytes; // bytes read outside file content
	char line[STREAM_LINE_SIZE];
};

struct StreamPiece {
	PieceKind kind;
	const char *bytes;  // a line: NUL-terminated without its '\n'
	long length;
	int cut;            // a line longer than STREAM_LINE_SIZE - 1 bytes
};

void start_stream(ReplyStream *stream, StreamKind kind);
// Takes the next piece out of the bytes [*data, end) and moves *data past
// it; 0 when they are used up (a partial line is kept for the next call).
int next_piece(ReplyStream *stream, const char **data, const char *end, StreamPiece *piece);
// 1 when everything fed so far ends with an end line standing where a
// record line may: the reply is whole.
int stream_ended(const ReplyStream *stream);
// The declared size of a file record line whose content follows, through
// *size; 0 for any other line.
int record_content_size(const char *line, unsigned long long *size);

} // namespace dircast
