// One answer on one connection.
#include "reply.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"

namespace dircast {

void open_reply(Reply *reply, long socket)
{
	reply->socket = socket;
	reply->status = 0;
	reply->start = 0;
	reply->end = 0;
}

int reply_room(Reply *reply)
{
	int pending = reply->end - reply->start;

	if (reply->start > 0) {
		__builtin_memmove(reply->bytes, reply->bytes + reply->start, pending);
		reply->start = 0;
		reply->end = pending;
	}
	return REPLY_BUFFER_SIZE - reply->end;
}

char *reply_tail(Reply *reply) { return reply->bytes + reply->end; }

void reply_commit(Reply *reply, int n) { reply->end += n; }

const char *reply_text(Reply *reply, const char *text)
{
	int room = reply_room(reply);
	int n = 0;

	while (text[n] && n < room)
		n++;
	__builtin_memcpy(reply_tail(reply), text, n);
	reply_commit(reply, n);
	return text[n] ? text + n : nullptr;
}

int reply_pending(const Reply *reply) { return reply->end > reply->start; }

// MSG_DONTWAIT: the peer's window decides how much goes, and the rest waits
// for the next turn. MSG_NOSIGNAL: a peer that went away is an error result.
long reply_send(Reply *reply)
{
	long n = sys::send(reply->socket, reply->bytes + reply->start, reply->end - reply->start,
			   kernel::MSG_DONTWAIT | kernel::MSG_NOSIGNAL);

	if (n == -kernel::EAGAIN)
		return n;
	if (n < 0) {
		reply->status = n;
		reply->start = reply->end = 0;
		return n;
	}
	reply->start += n;
	if (reply->start == reply->end)
		reply->start = reply->end = 0;
	return n;
}

void reply_cut(Reply *reply)
{
	if (reply->status == 0)
		reply->status = -kernel::EIO;
	reply->start = reply->end = 0;
}

int reply_broken(const Reply *reply) { return reply->status < 0; }

} // namespace dircast
