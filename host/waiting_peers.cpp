// The waiting peers: a ring of accepted sockets, nothing read from them yet.
#include "waiting_peers.hpp"
#include "connection_slots.hpp"

namespace dircast {

struct WaitingPeer {
	long socket;
	unsigned address;
};

static WaitingPeer waiting[WAITING_PEERS];
static int first_waiting;
static int waiting_count;

int wait_for_slot(long socket, unsigned address)
{
	if (waiting_count == WAITING_PEERS)
		return 0;
	waiting[(first_waiting + waiting_count++) % WAITING_PEERS] = {socket, address};
	return 1;
}

void seat_waiting_peers(unsigned long now)
{
	Connection *c;

	while (waiting_count > 0 && (c = free_slot())) {
		WaitingPeer *peer = &waiting[first_waiting];

		open_connection(c, peer->socket, peer->address, now);
		first_waiting = (first_waiting + 1) % WAITING_PEERS;
		waiting_count--;
	}
}

} // namespace dircast
