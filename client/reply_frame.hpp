// Where a reply's end marker may stand. Archive content is raw, so "END\n" at
// the tail of what has arrived may be the last bytes of a file rather than
// the end of the reply; the frame follows the records' sizes to know where
// lines begin, and only an end line that starts a line closes the reply.
#pragma once

namespace dircast {

enum FrameKind { MANIFEST_FRAME, ARCHIVE_FRAME };

struct ReplyFrame {
	FrameKind kind;
	int stage;
	long line_start;   // first byte not yet understood
	long search;       // where the hunt for the current line's '\n' resumes
	long content_end;  // while inside a file's content: the offset just past it
	long last_line;    // start of the last line read outside content, or -1
};

void start_frame(ReplyFrame *frame, FrameKind kind);
// Follows the first total bytes of buffer (which only ever grows between
// calls); 1 when they end with an end marker standing where a line begins.
int frame_complete(ReplyFrame *frame, const char *buffer, long total);

} // namespace dircast
