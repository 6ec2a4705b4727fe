// Reply framing: reads a reply the way the archive and manifest readers
// will, line by line and over file content by its declared size, without
// touching the bytes, so the receive loop can tell the end marker from
// content that merely looks like it.
#include "reply_frame.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/text.hpp"

namespace dircast {

enum FrameStage { FIRST_LINE, HEADER, RECORDS, CONTENT, TRAILER_NEWLINE, TRAILER_LINE };

void start_frame(ReplyFrame *frame, FrameKind kind)
{
	frame->kind = kind;
	frame->stage = kind == ARCHIVE_FRAME ? FIRST_LINE : RECORDS;
	frame->line_start = 0;
	frame->search = 0;
	frame->content_end = 0;
	frame->last_line = -1;
}

// Offset of pattern in the line [line, end), or -1. The buffer holds no NUL
// guarantee, so the search is bounded by the line's '\n'.
static long find_in_line(const char *line, const char *end, const char *pattern)
{
	for (const char *p = line; p < end; p++) {
		int i = 0;

		while (pattern[i] && p + i < end && p[i] == pattern[i])
			i++;
		if (!pattern[i])
			return p - line;
	}
	return -1;
}

// A record line that the archive reader will follow with content: returns
// the declared size through *size. The digits stop at the line's '\n'.
static int content_follows(const char *line, const char *end, unsigned long long *size)
{
	long p;

	if (!starts_with(line, wire::FILE_RECORD))
		return 0;
	p = find_in_line(line, end, wire::SIZE_FIELD);
	if (p <= 10)
		return 0;
	*size = parse_size(line + p + 6);
	return 1;
}

// One whole line from line_start: moves past it and returns its start, or -1
// when its '\n' has not arrived yet.
static long take_line(ReplyFrame *frame, const char *buffer, long total)
{
	long start = frame->line_start;

	for (; frame->search < total; frame->search++) {
		if (buffer[frame->search] == '\n') {
			frame->line_start = frame->search + 1;
			frame->search = frame->line_start;
			return start;
		}
	}
	return -1;
}

static void read_line(ReplyFrame *frame, const char *buffer, long start)
{
	const char *line = buffer + start;
	const char *end = buffer + frame->line_start - 1;
	unsigned long long size;

	if (frame->stage != TRAILER_LINE)
		frame->last_line = start;
	if (frame->stage == FIRST_LINE) {
		frame->stage = HEADER;
	} else if (frame->stage == HEADER) {
		if (line == end)
			frame->stage = RECORDS;
	} else if (frame->stage == TRAILER_LINE) {
		frame->stage = RECORDS;
	} else if (frame->kind == ARCHIVE_FRAME && content_follows(line, end, &size)) {
		// No reply holds more than the archive limit, so a larger size can
		// never be satisfied; capping it keeps the sum inside a long.
		if (size > (unsigned long long)wire::ARCHIVE_LIMIT)
			size = (unsigned long long)wire::ARCHIVE_LIMIT + 1;
		frame->stage = CONTENT;
		frame->content_end = frame->line_start + (long)size;
	}
}

// Steps over content and the newline that ends it; 0 while bytes are missing.
static int pass_content(ReplyFrame *frame, const char *buffer, long total)
{
	if (frame->stage == CONTENT) {
		if (total < frame->content_end)
			return 0;
		frame->line_start = frame->content_end;
		frame->search = frame->line_start;
		frame->stage = TRAILER_NEWLINE;
	}
	if (frame->line_start >= total)
		return 0;
	if (buffer[frame->line_start] == '\n')
		frame->search = ++frame->line_start;
	frame->stage = TRAILER_LINE;
	return 1;
}

int frame_complete(ReplyFrame *frame, const char *buffer, long total)
{
	for (;;) {
		long start;

		if (frame->stage == CONTENT || frame->stage == TRAILER_NEWLINE) {
			if (!pass_content(frame, buffer, total))
				break;
			continue;
		}
		start = take_line(frame, buffer, total);
		if (start < 0)
			break;
		read_line(frame, buffer, start);
	}
	return has_end_marker(buffer, total) && frame->last_line == total - 4 &&
	       frame->line_start == total;
}

} // namespace dircast
