// The sync loop and its decision table. The hash is remembered only when the
// mirror was really brought to this turn's manifest.
#include "sync_loop.hpp"
#include "archive.hpp"
#include "delta.hpp"
#include "drive_link.hpp"
#include "mirror_store.hpp"
#include "settings.hpp"
#include "transfers.hpp"
#include "../runtime/console.hpp"
#include "../runtime/sys.hpp"

namespace dircast {

static void remember_hash(SyncState *state, int manifest_ok, unsigned hash)
{
	state->have_last_hash = manifest_ok && !mirror_faulted();
	state->last_hash = hash;
}

// A reply without the archive header counts as a failed fetch: the mirror is
// emptied only for something that can refill it.
static long fetch_full_archive(sockaddr_in *host)
{
	long length = fetch_archive(host);

	if (length >= 0 && !archive_has_header(length)) {
		log_text("dircast-mirror: archive header missing\n");
		return -1;
	}
	return length;
}

static int run_archive_path(sockaddr_in *host, SyncState *state, int manifest_ok, unsigned hash)
{
	long length = fetch_full_archive(host);

	if (length < 0)
		return state->first_sync;
	prune_mirror();
	apply_archive(length);
	map_drive();
	log_text("dircast-mirror: sync complete\n");
	state->first_sync = 0;
	remember_hash(state, manifest_ok, hash);
	return 0;
}

int sync_turn(sockaddr_in *host, SyncState *state)
{
	unsigned hash = 0;
	int manifest_ok = fetch_manifest(host, &hash) == 0;

	clear_mirror_faults();
	if (!state->first_sync && manifest_ok) {
		if (state->have_last_hash && hash == state->last_hash) {
			log_text("dircast-mirror: no share changes\n");
			return 0;
		}
		if (delta_sync(host)) {
			log_text("dircast-mirror: sync complete\n");
			remember_hash(state, 1, hash);
			return 0;
		}
		log_text("dircast-mirror: delta failed, falling back to archive\n");
		manifest_ok = 0;
	}
	return run_archive_path(host, state, manifest_ok, hash);
}

// An interrupted or refused sleep just ends the pause early.
void sleep_poll_interval()
{
	timespec pause = {(long)client_settings.poll_seconds, 0};

	if (client_settings.poll_seconds)
		sys::nanosleep(&pause);
}

int sync_loop(sockaddr_in *host)
{
	SyncState state = FRESH_SYNC_STATE;

	for (;;) {
		if (sync_turn(host, &state))
			return 1;
		if (client_settings.run_once || client_settings.poll_seconds == 0)
			return 0;
		log_text("dircast-mirror: sleeping ");
		log_number(client_settings.poll_seconds);
		log_text(" seconds\n");
		sleep_poll_interval();
	}
}

} // namespace dircast
