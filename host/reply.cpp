// One answer on one accepted connection.
#include "reply.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/net.hpp"
#include "../runtime/text.hpp"

namespace dircast {

long reply_bytes(Reply *reply, const void *bytes, long length)
{
	long r;

	if (reply->status < 0)
		return reply->status;
	r = send_all(reply->socket, bytes, length);
	if (r < length)
		reply->status = r < 0 ? r : -kernel::EIO;
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
