// One connection slot, from accept to close.
#include "connection.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/console.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"

namespace dircast {

// About this many bytes of sending, reading or hashing per connection and
// turn, entries counted as a few hundred bytes each: enough to keep a lone
// reader fed, little enough that many connections take turns quickly.
constexpr long TURN_BUDGET = 65536;
// Leftover request bytes taken before close, at most: a peer that keeps
// sending must not hold the host there.
constexpr int DRAIN_READS = 64;

// Requests are read and sorted the moment they arrive, one at a time.
static char request_buffer[wire::REQUEST_LIMIT + 1];
static unsigned connections_opened;

void open_connection(Connection *c, long socket, unsigned peer, unsigned long now)
{
	log_text("dircast-serve: client connected\n");
	c->state = CONNECTION_READING;
	c->peer = peer;
	c->serial = connections_opened++;
	c->request_deadline = now + REQUEST_SECONDS * 1000;
	c->sent = 0;
	start_pace(&c->pace);
	open_reply(&c->reply, socket);
}

short connection_events(const Connection *c)
{
	if (c->state == CONNECTION_READING)
		return kernel::POLLIN;
	return c->pace.waiting ? kernel::POLLOUT : 0;
}

// Request bytes left unread at close make the kernel reset the connection
// and drop the answer still queued for the peer; take them first.
static void drain_and_close(long socket)
{
	char scrap[1024];

	for (int i = 0; i < DRAIN_READS; i++) {
		if (sys::recv(socket, scrap, sizeof scrap, kernel::MSG_DONTWAIT) <= 0)
			break;
	}
	sys::close(socket);
}

// The answer's line is logged when it ends, whatever became of its sends.
static void finish_answer(Connection *c)
{
	end_answer(&c->answer);
	log_text(answer_log_line(&c->answer));
	drain_and_close(c->reply.socket);
	c->state = CONNECTION_FREE;
}

// One receive, whatever arrived: an empty request (the peer closed, or the
// receive failed) is answered with the full archive.
static int read_request(Connection *c)
{
	long n = sys::recv(c->reply.socket, request_buffer, wire::REQUEST_LIMIT, kernel::MSG_DONTWAIT);

	if (n == -kernel::EAGAIN)
		return 0;
	request_buffer[n > 0 ? n : 0] = 0;
	start_answer(&c->answer, request_buffer);
	c->state = CONNECTION_ANSWERING;
	return 1;
}

// What the peer has acknowledged: sent, less what still waits in the socket.
// Unknown counts as all, so a socket that cannot say is never judged slow.
static unsigned long long bytes_taken(const Connection *c)
{
	int queued = 0;

	if (sys::ioctl(c->reply.socket, kernel::SIOCOUTQ, &queued) < 0 || queued < 0)
		return c->sent;
	return c->sent - (unsigned long long)queued;
}

// 0 when the peer's window is full: the connection then waits for room.
static int send_gathered(Connection *c, unsigned long now, long *budget)
{
	long n = reply_send(&c->reply);

	if (n == -kernel::EAGAIN) {
		pace_wait(&c->pace, now, bytes_taken(c));
		return 0;
	}
	if (n > 0) {
		c->sent += (unsigned long long)n;
		*budget -= n;
	}
	return 1;
}

// Sends and gathers in turn until the peer's window is full, the answer is
// over or the turn's budget is spent.
static void work_on_answer(Connection *c, unsigned long now)
{
	long budget = TURN_BUDGET;
	int complete = 0;

	for (;;) {
		if (reply_pending(&c->reply) && !send_gathered(c, now, &budget))
			return;
		if (reply_broken(&c->reply) || (complete && !reply_pending(&c->reply))) {
			finish_answer(c);
			return;
		}
		if (budget <= 0)
			return;
		complete = produce_answer(&c->answer, &c->reply, &budget);
	}
}

void serve_connection(Connection *c, short revents, unsigned long now)
{
	if (c->state == CONNECTION_READING) {
		if (!revents || !read_request(c))
			return;
	} else if (c->pace.waiting) {
		if (!revents)
			return;
		pace_resume(&c->pace, now);
	}
	work_on_answer(c, now);
}

void give_up_slot(Connection *c)
{
	log_text("dircast-serve: slot given to a peer holding fewer\n");
	if (c->state == CONNECTION_ANSWERING) {
		reply_cut(&c->reply);
		finish_answer(c);
		return;
	}
	sys::close(c->reply.socket);
	c->state = CONNECTION_FREE;
}

// A peer that sent nothing in time gets no answer. A reader below the floor
// loses the rest of its answer, which ends as any cut answer does.
void check_connection_bounds(Connection *c, unsigned long now)
{
	if (c->state == CONNECTION_READING && (long)(now - c->request_deadline) >= 0) {
		log_text("dircast-serve: request timed out\n");
		sys::close(c->reply.socket);
		c->state = CONNECTION_FREE;
	} else if (c->state == CONNECTION_ANSWERING && pace_window_over(&c->pace, now) &&
		   pace_too_slow(&c->pace, now, bytes_taken(c))) {
		reply_cut(&c->reply);
		finish_answer(c);
	}
}

} // namespace dircast
