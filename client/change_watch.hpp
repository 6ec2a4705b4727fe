// Between turns the mirror listens to its host's beacons: a host that
// announces its manifest hash (" hash=" in the beacon) makes a change reach
// the mirror at once instead of at the next poll.
#pragma once

#include "../runtime/net.hpp"

namespace dircast {

struct ChangeWatch {
	int synced;           // the mirror holds the share at synced_hash
	unsigned synced_hash;
	int acted;            // a beacon already started a turn for acted_hash
	unsigned acted_hash;
};

// The hash after the last " hash=" of a beacon text, through *hash; 0 when
// the beacon announces none.
int announced_hash(const char *beacon, unsigned *hash);
// Waits on the beacon socket until seconds have passed since a moment
// spent_ms ago (the pause's start, to the millisecond); 1 as soon as a
// beacon from host announces a hash that is neither the synced one nor one
// already acted on (a burst of changes costs one turn, and one more if the
// hash moved on), 0 when the time is up. Without a beacon socket it sleeps.
int wait_for_change(const sockaddr_in *host, ChangeWatch *watch, unsigned seconds, unsigned long spent_ms);
// The same test on the beacons already waiting, without waiting.
int change_announced(const sockaddr_in *host, ChangeWatch *watch);

} // namespace dircast
