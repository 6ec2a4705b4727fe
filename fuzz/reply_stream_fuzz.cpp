// Reply framing on a stream: the verdict must not depend on how the bytes
// arrive. The first input byte picks the kind and the chunking; the rest is
// the reply, fed in chunks as the receive loop does, and the verdict after
// each chunk is checked against a fresh stream fed the same bytes at once.
// Each chunk sits in a buffer of exactly its size, so a read past it is
// reported; a whole reply must end with an end line.
#include "client/reply_stream.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int feed(dircast::ReplyStream *stream, const char *bytes, size_t n)
{
	std::vector<char> chunk(bytes, bytes + n);
	const char *p = chunk.data();
	dircast::StreamPiece piece;

	// A line is kept to the buffer's size less its NUL, and a line cut
	// there is never a record that announces content.
	while (dircast::next_piece(stream, &p, chunk.data() + chunk.size(), &piece))
		if (piece.kind == dircast::CONTENT ? piece.length <= 0 || piece.bytes < chunk.data()
		    : piece.kind != dircast::CONTENT_DONE && (piece.length >= dircast::STREAM_LINE_SIZE ||
							      (piece.cut && stream->content_left)))
			abort();
	return dircast::stream_ended(stream);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	dircast::StreamKind kind = data[0] & 1 ? dircast::ARCHIVE_STREAM : dircast::MANIFEST_STREAM;
	unsigned chunking = data[0] >> 1;
	const char *reply = (const char *)data + 1;
	size_t length = size - 1, total = 0;
	unsigned state = chunking * 2654435761u + 1;
	size_t every = 1 + length / 256;
	dircast::ReplyStream stream;

	dircast::start_stream(&stream, kind);
	for (size_t steps = 0; total < length; steps++) {
		state = state * 1103515245u + 12345u;
		size_t step = chunking == 0 ? 1 : 1 + (state >> 16) % (chunking * 8 + 1);
		size_t end = total + step < length ? total + step : length;
		int growing = feed(&stream, reply + total, end - total);

		total = end;
		if (total < length && steps % every)
			continue;
		dircast::ReplyStream fresh;
		dircast::start_stream(&fresh, kind);
		int at_once = feed(&fresh, reply, total);
		if (growing != at_once || (growing && (total < 4 || memcmp(reply + total - 4, "END\n", 4) != 0))) {
			fprintf(stderr, "stream verdict %d fed in pieces, %d at once, at %zu bytes\n", growing, at_once,
				total);
			abort();
		}
	}
	return 0;
}
