// One connection slot: a peer from accept to close, its request, its answer
// and the bounds it must keep. A connection never waits on its peer: it does
// what it can, says what it waits for, and goes on when poll says so.
#pragma once

#include "publisher.hpp"
#include "reader_pace.hpp"
#include "reply.hpp"

namespace dircast {

// A peer gets this long from accept to send its request.
constexpr long REQUEST_SECONDS = 5;

enum ConnectionState { CONNECTION_FREE, CONNECTION_READING, CONNECTION_ANSWERING };

struct Connection {
	ConnectionState state;
	unsigned peer;                   // the peer's IPv4 address, as accept gave it
	unsigned serial;                 // order of opening: the oldest has the lowest
	unsigned long request_deadline;  // ms, while reading the request
	unsigned long long sent;         // bytes of the answer the kernel took
	ReaderPace pace;
	Reply reply;
	Answer answer;
};

inline int in_use(const Connection *c) { return c->state != CONNECTION_FREE; }
// now: monotonic milliseconds, as every call here takes them; peer: the
// address accept gave, by which a full table is shared.
void open_connection(Connection *c, long socket, unsigned peer, unsigned long now);
// POLLIN or POLLOUT, or 0 when the connection has work it can do at once.
short connection_events(const Connection *c);
// One turn's share of work; revents: what poll reported, 0 if it was not asked.
void serve_connection(Connection *c, short revents, unsigned long now);
// Ends a connection so that another peer's may have its slot: an answer
// under way ends as a cut one does.
void give_up_slot(Connection *c);
// Ends a connection whose peer broke a bound: no request in time, or a
// reader below the floor.
void check_connection_bounds(Connection *c, unsigned long now);

} // namespace dircast
