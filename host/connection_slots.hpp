// The table of connection slots, in static storage: how many connections the
// host serves at once. Further peers wait in the listen backlog until a slot
// frees up.
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
// A free slot among the usable ones, or null.
Connection *free_slot();

} // namespace dircast
