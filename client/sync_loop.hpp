// The sync loop: each turn fetches the manifest and chooses between nothing,
// a delta sync and a full archive sync.
#pragma once

#include "../runtime/net.hpp"

namespace dircast {

// Lives for the process and is never stored: every run starts afresh.
struct SyncState {
	int first_sync;      // true until a sync has brought the mirror to a manifest
	int have_last_hash;  // last_hash is the share state the mirror holds
	unsigned last_hash;
	int check_trust;     // the mirror may hold files stamped on trust
};

// A new process checks trusted stamps an earlier one may have left.
constexpr SyncState FRESH_SYNC_STATE = {1, 0, 0, 1};

// One turn; returns 1 when the process must end with status 1 (the first
// archive could not be had), else 0.
int sync_turn(sockaddr_in *host, SyncState *state);
// Runs turns until --once, a poll interval of 0 or a fatal first turn;
// returns the exit status.
int sync_loop(sockaddr_in *host);

} // namespace dircast
