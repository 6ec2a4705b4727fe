#include "fetch_seam.hpp"
#include "client/transfers.hpp"

namespace fuzz {

std::string_view fetch_reply;

} // namespace fuzz

namespace dircast {

// The reply goes to the sink in one piece after another, as the receive loop
// hands them over; whole only when the stream ends with its end line.
long fetch_file(sockaddr_in *, const char *, const ReplySink *sink)
{
	ReplyStream stream;
	StreamPiece piece;
	const char *p = fuzz::fetch_reply.data(), *end = p + fuzz::fetch_reply.size();

	if (fuzz::fetch_reply.empty())
		return -1;
	start_stream(&stream, ARCHIVE_STREAM);
	while (next_piece(&stream, &p, end, &piece))
		if (!sink->handle(sink->context, &piece))
			return -1;
	return stream_ended(&stream) ? 1 : -1;
}

} // namespace dircast
