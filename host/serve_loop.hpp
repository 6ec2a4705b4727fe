// The host's sockets and its endless loop: beacon on time, accept into free
// slots, and each connection a share of every turn.
#pragma once

namespace dircast {

struct BeaconTimer {
	long socket;
	unsigned long next;  // monotonic ms of the next beacon
};

long open_listener();
long open_beacon_socket();
long send_beacon(long beacon_socket);
// One turn: waits (at most until the next beacon) for something to do, takes
// pending connections and gives every connection that can go on its share.
// listener -1 takes none; beacon null sends none.
void serve_turn(long listener, BeaconTimer *beacon);
[[noreturn]] void serve_loop(long listener, long beacon_socket);

} // namespace dircast
