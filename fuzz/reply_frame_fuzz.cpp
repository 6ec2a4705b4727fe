// Reply framing: the verdict must not depend on how the bytes arrive. The
// first input byte picks the kind and the chunking; the rest is the reply,
// fed in growing prefixes as the receive loop does, the verdicts checked
// against a fresh frame given the same prefix at once (at every step of a
// short reply, at every k-th of a long one, and always at the last). The reply sits in a buffer
// of exactly its size, so a read past the received bytes is reported.
#include "client/reply_frame.hpp"
#include "runtime/text.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	dircast::FrameKind kind = data[0] & 1 ? dircast::ARCHIVE_FRAME : dircast::MANIFEST_FRAME;
	unsigned chunking = data[0] >> 1;
	std::vector<char> reply(data + 1, data + size);
	dircast::ReplyFrame frame;
	long total = 0;
	unsigned state = chunking * 2654435761u + 1;
	long every = 1 + (long)reply.size() / 256;

	dircast::start_frame(&frame, kind);
	for (long steps = 0; total < (long)reply.size(); steps++) {
		state = state * 1103515245u + 12345u;
		long step = chunking == 0 ? 1 : 1 + (long)((state >> 16) % (chunking * 8 + 1));
		total = total + step < (long)reply.size() ? total + step : (long)reply.size();

		int growing = dircast::frame_complete(&frame, reply.data(), total);
		if (!growing && total < (long)reply.size() && steps % every)
			continue;
		dircast::ReplyFrame fresh;
		dircast::start_frame(&fresh, kind);
		int at_once = dircast::frame_complete(&fresh, reply.data(), total);

		if (growing != at_once || (growing && !dircast::has_end_marker(reply.data(), total))) {
			fprintf(stderr, "frame verdict %d fed in pieces, %d at once, at %ld bytes\n", growing,
				at_once, total);
			abort();
		}
		if (growing)
			break;
	}
	return 0;
}
