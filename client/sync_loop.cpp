// The sync loop and its decision table. The hash is remembered only when the
// mirror was really brought to this turn's manifest.
#include "sync_loop.hpp"
#include "archive.hpp"
#include "change_watch.hpp"
#include "delta.hpp"
#include "drive_link.hpp"
#include "manifest_lookup.hpp"
#include "manifest_spool.hpp"
#include "mirror_store.hpp"
#include "settings.hpp"
#include "signed_listing.hpp"
#include "transfers.hpp"
#include "trust_check.hpp"
#include "../runtime/clock.hpp"
#include "../runtime/console.hpp"
#include "../runtime/dir.hpp"
#include "../runtime/sys.hpp"

namespace dircast {

static void remember_hash(SyncState *state, int manifest_ok, unsigned hash)
{
	state->have_last_hash = manifest_ok && !mirror_faulted();
	state->last_hash = hash;
}

// A pinned mirror's turn that met a file failing verification: whatever it
// wrote was verified, but the mirror is not the listing's.
static int fail_verified_turn(SyncState *state)
{
	state->have_last_hash = 0;
	return state->first_sync;
}

// The archive is applied as it arrives, file by file, over whatever the
// mirror holds; only a whole archive lets the mirror be pruned to it. A cut
// archive leaves the files it completed and everything else as it was.
// With this turn's manifest at hand, files it lists are stamped on its word.
static int run_archive_path(sockaddr_in *host, SyncState *state, int manifest_ok, unsigned hash,
			    unsigned long long content_total)
{
	ArchiveApply apply;
	ReplySink sink = {apply_piece, &apply, content_total};
	long fetched;
	int whole;

	// A pinned mirror got here only with a verified listing, which its
	// archive must be checked against even after a failed delta.
	if (manifest_ok || pinned_mirror())
		open_manifest_lookup();
	start_archive(&apply, nullptr);
	fetched = fetch_archive(host, &sink);
	whole = finish_archive(&apply);
	close_manifest_lookup();
	state->check_trust |= manifest_ok;
	if (!whole || fetched < 0)
		return state->first_sync;
	if (verification_failed())
		return fail_verified_turn(state);
	if (pinned_mirror())
		prune_to_listing();
	else
		prune_mirror();
	map_drive();
	log_text("dircast-mirror: sync complete\n");
	state->first_sync = 0;
	// The mirror is at the manifest only when the archive brought every file
	// it lists: entries the host never sends, and files that changed between
	// the two answers, are left to the next turn's delta.
	remember_hash(state, manifest_ok && apply.listed_placed == spooled_file_records(), hash);
	return 0;
}

// A mirror root that already holds entries is brought up to date by the
// delta, even on the first turn: a restart costs one manifest, not the
// whole share again.
static int mirror_root_has_entries()
{
	DirScan scan;
	int found;

	if (open_scan(&scan, client_settings.mirror_root, NO_LINKS) < 0)
		return 0;
	found = next_entry(&scan) != nullptr;
	close_scan(&scan);
	return found;
}

// A pinned mirror starts every turn from a verified listing, or not at all.
static long fetch_turn_manifest(sockaddr_in *host, const SyncState *state, unsigned *hash,
				unsigned long long *content_total)
{
	if (pinned_mirror())
		return fetch_signed_listing(host, hash, content_total, state->have_last_hash, state->last_hash);
	return fetch_manifest(host, hash, content_total);
}

int sync_turn(sockaddr_in *host, SyncState *state)
{
	unsigned hash = 0;
	unsigned long long content_total = 0;
	int manifest_ok = fetch_turn_manifest(host, state, &hash, &content_total) == 0;

	clear_mirror_faults();
	clear_verification_failures();
	if (pinned_mirror() && !manifest_ok)
		return state->first_sync;
	if (manifest_ok && (!state->first_sync || mirror_root_has_entries())) {
		if (state->have_last_hash && hash == state->last_hash) {
			log_text("dircast-mirror: no share changes\n");
			return 0;
		}
		if (delta_sync(host) && !verification_failed()) {
			log_text("dircast-mirror: sync complete\n");
			state->first_sync = 0;
			remember_hash(state, 1, hash);
			return 0;
		}
		if (verification_failed())
			return fail_verified_turn(state);
		log_text("dircast-mirror: delta failed, falling back to archive\n");
		manifest_ok = 0;
	}
	return run_archive_path(host, state, manifest_ok, hash, content_total);
}

// The first part of the pause proves trusted stamps, a slice at a time,
// once a turn has brought the mirror to its spooled manifest (a cut one
// would leave stamps unproved); a file found changed starts the next turn at
// once, without the remembered hash, so that the delta runs even if the
// share looks as it did.
// 1 when the turn is due now.
static int check_trusted_files(const sockaddr_in *host, SyncState *state, ChangeWatch *watch, unsigned long started)
{
	TrustCheckStep step = CHECK_GOING;

	start_trust_check();
	while ((step = trust_check_step()) == CHECK_GOING) {
		if (change_announced(host, watch)) {
			log_text("dircast-mirror: host announced a change\n");
			stop_trust_check();
			return 1;
		}
		if ((monotonic_ms() - started) / 1000 >= client_settings.poll_seconds) {
			stop_trust_check();
			return 1;
		}
	}
	state->check_trust = 0;
	if (step == CHECK_DONE_CHANGED) {
		state->have_last_hash = 0;
		return 1;
	}
	return 0;
}

// The poll interval, or less when the host announces a change by beacon;
// the proof of stamps in its first part counts towards it, to the
// millisecond. An interrupted or refused wait just ends the pause early.
static void wait_between_turns(const sockaddr_in *host, SyncState *state, ChangeWatch *watch)
{
	unsigned long started = monotonic_ms();

	watch->synced = state->have_last_hash;
	watch->synced_hash = state->last_hash;
	if (state->check_trust && state->have_last_hash && check_trusted_files(host, state, watch, started))
		return;
	if (wait_for_change(host, watch, client_settings.poll_seconds, monotonic_ms() - started))
		log_text("dircast-mirror: host announced a change\n");
}

int sync_loop(sockaddr_in *host)
{
	SyncState state = FRESH_SYNC_STATE;
	ChangeWatch watch = {0, 0, 0, 0};

	for (;;) {
		unsigned long started = monotonic_ms();

		if (sync_turn(host, &state))
			return 1;
		if (client_settings.run_once || client_settings.poll_seconds == 0)
			return 0;
		log_text("dircast-mirror: sleeping ");
		log_number(client_settings.poll_seconds);
		log_text(" seconds\n");
		wait_between_turns(host, &state, &watch);
		if (pinned_mirror())
			pace_pinned_turns(started);
	}
}

} // namespace dircast
