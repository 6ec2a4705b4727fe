// The pinned mirror's files: each is written only when the signed listing
// names it with the size its record carries, and renamed into place only
// when its content's SHA-256 is the listing's. The prune follows the
// listing, never an archive's records, so a reply cannot remove what the
// host still lists.
#include "signed_listing.hpp"
#include "delta.hpp"
#include "manifest_lookup.hpp"
#include "mirror_store.hpp"
#include "settings.hpp"
#include "../runtime/clock.hpp"
#include "../runtime/console.hpp"
#include "../runtime/dir.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

constexpr unsigned long TURN_SPACING_MS = 1000;

static int failures;

int pinned_mirror() { return client_settings.host_key != nullptr; }

static void log_path(const char *text, const char *relative)
{
	log_text(text);
	log_text(relative);
	log_text("\n");
}

// A single file's record is the line the delta read from the listing; in a
// full archive the listing is looked up as the archive goes.
static const char *listed_record(const char *record, const char *relative, unsigned long long size,
				 unsigned *hash)
{
	char listed[RELATIVE_PATH_SIZE];
	unsigned long long listed_size;

	if (!record)
		return manifest_lists_file(relative, size, hash) ? manifest_found_line() : nullptr;
	if (read_file_record(record, listed, &listed_size, hash) > 0 && text_equals(listed, relative) &&
	    listed_size == size)
		return record;
	return nullptr;
}

// A file the listing does not name is a share that moved on since the
// listing (or a reply that adds to it): it is left out and the turn does
// not count the mirror as the listing's.
int expect_listed_content(ContentCheck *check, const char *record, const char *relative,
			  unsigned long long size, unsigned *hash)
{
	const char *line = listed_record(record, relative, size, hash);

	check->active = 0;
	if (!line || !record_digest(line, text_length(line), check->expected)) {
		log_path("dircast-mirror: file not in the signed listing ", relative);
		note_mirror_fault();
		return 0;
	}
	sha256_start(&check->sha);
	check->active = 1;
	return 1;
}

void check_content(ContentCheck *check, const char *bytes, long n)
{
	if (check->active)
		sha256_update(&check->sha, bytes, (unsigned long)n);
}

int content_verified(ContentCheck *check, const char *relative)
{
	unsigned char digest[SHA256_SIZE];

	if (!check->active)
		return 1;
	check->active = 0;
	sha256_finish(&check->sha, digest);
	if (__builtin_memcmp(digest, check->expected, SHA256_SIZE) == 0)
		return 1;
	log_path("dircast-mirror: file failed verification ", relative);
	note_mirror_fault();
	failures++;
	return 0;
}

void clear_verification_failures() { failures = 0; }

int verification_failed() { return failures > 0; }

void prune_to_listing()
{
	const char *root = client_settings.mirror_root;

	if (!index_spooled_manifest() || !probe_directory(root, NO_LINKS))
		return;
	log_text("dircast-mirror: pruning mirror root\n");
	prune_listed(root);
}

void pace_pinned_turns(unsigned long last_turn_started)
{
	unsigned long since = monotonic_ms() - last_turn_started;
	timespec rest = {0, 0};

	if (since >= TURN_SPACING_MS)
		return;
	rest.tv_nsec = (long)(TURN_SPACING_MS - since) * 1000000;
	sys::nanosleep(&rest);
}

} // namespace dircast
