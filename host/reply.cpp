// One answer on one accepted connection.
#include "reply.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

// Record lines are short and many: gathering them saves a system call per
// line. Large enough for many lines, small enough that a slow but steady
// reader takes one gathering well within the send time-out.
constexpr long REPLY_BUFFER_SIZE = 65536;

static char reply_buffer[REPLY_BUFFER_SIZE];

// One send per call. The connection blocks with a send time-out and no
// signal handler can cut a send short, so a short count means the time-out
// ran out with the peer not taking the rest: the reply is given up rather
// than waited on again.
static void send_now(Reply *reply, const void *bytes, long length)
{
	long r = sys::send(reply->socket, bytes, length, kernel::MSG_NOSIGNAL);

	if (r < length)
		reply->status = r < 0 ? r : -kernel::EAGAIN;
}

void reply_finish(Reply *reply)
{
	if (reply->status == 0 && reply->pending > 0)
		send_now(reply, reply_buffer, reply->pending);
	reply->pending = 0;
}

long reply_bytes(Reply *reply, const void *bytes, long length)
{
	if (reply->status < 0)
		return reply->status;
	if (reply->pending + length > REPLY_BUFFER_SIZE)
		reply_finish(reply);
	if (length >= REPLY_BUFFER_SIZE)
		send_now(reply, bytes, length);
	else if (length > 0) {
		__builtin_memcpy(reply_buffer + reply->pending, bytes, length);
		reply->pending += length;
	}
	return reply->status < 0 ? reply->status : length;
}

long reply_text(Reply *reply, const char *text)
{
	return reply_bytes(reply, text, text_length(text));
}

void reply_cut(Reply *reply)
{
	if (reply->status == 0)
		reply->status = -kernel::EIO;
	reply->pending = 0;
}

int reply_broken(const Reply *reply) { return reply->status < 0; }

} // namespace dircast
