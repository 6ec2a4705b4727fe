// Reply framing on a stream. The readers follow the same rules: lines up to
// the blank line are the header (an archive's first line is its magic); then
// "file path=... size=N" lines in an archive are followed by exactly N bytes
// of content, one '\n' and a trailer line; any other line stands where a
// record may, and a line "END" there ends the reply.
#include "reply_stream.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/text.hpp"

namespace dircast {

enum StreamStage { FIRST_LINE, HEADER, RECORDS, IN_CONTENT, TRAILER_NEWLINE, TRAILER_LINE };

void start_stream(ReplyStream *stream, StreamKind kind)
{
	stream->kind = kind;
	stream->stage = kind == ARCHIVE_STREAM ? FIRST_LINE : RECORDS;
	stream->ended = 0;
	stream->line_length = 0;
	stream->line_cut = 0;
	stream->content_left = 0;
	stream->outside_bytes = 0;
}

int record_content_size(const char *line, unsigned long long *size)
{
	int p;

	if (!starts_with(line, wire::FILE_RECORD))
		return 0;
	p = find_text(line, wire::SIZE_FIELD);
	if (p <= (int)sizeof wire::FILE_RECORD - 1)
		return 0;
	*size = parse_size(line + p + sizeof wire::SIZE_FIELD - 1);
	return 1;
}

// Gathers bytes up to the next '\n'; 1 with the line complete in stream->line.
static int gather_line(ReplyStream *stream, const char **data, const char *end)
{
	while (*data < end) {
		char c = *(*data)++;

		stream->outside_bytes++;
		if (c == '\n') {
			stream->line[stream->line_length] = 0;
			return 1;
		}
		if (stream->line_length < STREAM_LINE_SIZE - 1)
			stream->line[stream->line_length++] = c;
		else
			stream->line_cut = 1;
	}
	return 0;
}

// The stage after a whole line, and the kind of piece it is.
static PieceKind take_line(ReplyStream *stream)
{
	const char *line = stream->line;
	int stage = stream->stage;
	unsigned long long size;

	stream->stage = stage == FIRST_LINE ? HEADER : stage == TRAILER_LINE ? RECORDS : stage;
	if (stage == FIRST_LINE)
		return HEADER_LINE;
	if (stage == HEADER) {
		if (stream->line_length == 0)
			stream->stage = RECORDS;
		return HEADER_LINE;
	}
	if (stage == TRAILER_LINE)
		return HEADER_LINE;  // the trailer's "endfile": nothing to read in it
	// The line's bytes, not its C string: "END\0" is no end line.
	stream->ended = stream->line_length == 3 && starts_with(line, "END");
	if (stream->kind == ARCHIVE_STREAM && !stream->line_cut && record_content_size(line, &size)) {
		stream->stage = IN_CONTENT;
		stream->content_left = size;
	}
	return RECORD_LINE;
}

static int next_content(ReplyStream *stream, const char **data, const char *end, StreamPiece *piece)
{
	unsigned long long available = (unsigned long long)(end - *data);
	long n = (long)(available < stream->content_left ? available : stream->content_left);

	if (stream->content_left == 0) {
		stream->stage = TRAILER_NEWLINE;
		piece->kind = CONTENT_DONE;
		piece->length = 0;
		return 1;
	}
	if (n == 0)
		return 0;
	piece->kind = CONTENT;
	piece->bytes = *data;
	piece->length = n;
	*data += n;
	stream->content_left -= (unsigned long long)n;
	return 1;
}

int next_piece(ReplyStream *stream, const char **data, const char *end, StreamPiece *piece)
{
	if (*data < end)
		stream->ended = 0;
	if (stream->stage == IN_CONTENT)
		return next_content(stream, data, end, piece);
	if (stream->stage == TRAILER_NEWLINE) {
		if (*data >= end)
			return 0;
		if (**data == '\n') {
			(*data)++;
			stream->outside_bytes++;
		}
		stream->stage = TRAILER_LINE;
	}
	if (!gather_line(stream, data, end))
		return 0;
	piece->kind = take_line(stream);
	piece->bytes = stream->line;
	piece->length = stream->line_length;
	piece->cut = stream->line_cut;
	stream->line_length = 0;
	stream->line_cut = 0;
	return 1;
}

int stream_ended(const ReplyStream *stream)
{
	return stream->ended;
}

} // namespace dircast
