// The table of connection slots, in static storage: how many connections the
// host serves at once. Further peers wait until a slot frees up, unless the
// table is shared unevenly between peer addresses: then a peer whose address
// holds fewer slots takes one from the address that holds the most.
#pragma once

#include "connection.hpp"

namespace dircast {

constexpr int CONNECTION_SLOTS = 256;

extern Connection connection_slots[CONNECTION_SLOTS];
// Slots in use may be fewer than the table holds, when the descriptor limit
// is too low for every slot's worst case.
extern int slots_usable;

// Raises the soft descriptor limit as far as the slots need and the hard
// limit allows, and sets slots_usable to what the limit then covers.
void fit_slots_to_descriptor_limit();
// Peers accepted while no slot could be had wait, in order, this many at most.
constexpr int WAITING_PEERS = 64;

// A free slot among the usable ones, or null.
Connection *free_slot();
// 1 when some address holds two slots or more: a peer from another address
// could then have one of them.
int slots_shared();
// The slot a peer from address may take from another: that of the oldest
// connection of the address holding the most, when it holds at least two
// more than the peer's address (one fewer would only swap the two); or null.
Connection *slot_to_take(unsigned address);

} // namespace dircast
