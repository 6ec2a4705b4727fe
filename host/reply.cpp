// One answer on one accepted connection.
#include "reply.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

// One send per piece (at most a record line or a file_buffer's worth). The
// connection blocks with a send time-out, and no signal handler can cut a
// send short, so a short count means the time-out ran out with the peer
// not taking the rest: the reply is given up rather than waited on again.
long reply_bytes(Reply *reply, const void *bytes, long length)
{
	long r;

	if (reply->status < 0)
		return reply->status;
	if (length == 0)
		return 0;
	r = sys::send(reply->socket, bytes, length, kernel::MSG_NOSIGNAL);
	if (r < length)
		reply->status = r < 0 ? r : -kernel::EAGAIN;
	return r;
}

long reply_text(Reply *reply, const char *text)
{
	return reply_bytes(reply, text, text_length(text));
}

void reply_cut(Reply *reply)
{
	if (reply->status == 0)
		reply->status = -kernel::EIO;
}

int reply_broken(const Reply *reply) { return reply->status < 0; }

} // namespace dircast
