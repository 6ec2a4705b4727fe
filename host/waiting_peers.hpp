// Peers accepted while every slot was taken and none could be given up to
// them. They wait here, in order, rather than in the listen backlog, so that
// the listener stays open to peers of other addresses while they wait.
#pragma once

namespace dircast {

// 0 when every waiting place is taken: the caller closes the socket.
int wait_for_slot(long socket, unsigned address);
// Opens waiting peers in free slots, the longest waiting first.
void seat_waiting_peers(unsigned long now);

} // namespace dircast
