// The pinned mirror (--host-key): every turn starts from a listing signed by
// the pinned key, and every file it writes must match that listing's
// SHA-256 before it is renamed into place. The listing is spooled as the
// manifest is, so the delta, the prune and the archive read it the same way.
#pragma once

#include "../protocol/signed_listing.hpp"
#include "../runtime/net.hpp"

namespace dircast {

// The listing's check, line by line as it arrives, in fixed memory.
struct ListingCheck {
	int lines;
	int magic;          // the first line is the signed listing's magic
	int in_header;
	int name_found, hash_found, sequence_found;
	int malformed;      // a line no signed listing of ours holds
	int signature;      // 0: none yet; 1: signed; -1: the host has no key
	int ended;          // the end line came
	unsigned hash;
	unsigned long long sequence;
	unsigned long long content_total;
	int name_length;
	char name[STATEMENT_NAME_LIMIT];
	unsigned char signature_bytes[ED25519_SIGNATURE_SIZE];
	Sha256 listing;
};

enum ListingVerdict { LISTING_VERIFIED, LISTING_UNSIGNED, LISTING_FORGED, LISTING_NOT_SIGNED_LISTING };

void start_listing_check(ListingCheck *c);
// One line as the reply stream gives it: without its '\n', NUL-terminated,
// cut when longer than any line of a listing.
void take_listing_line(ListingCheck *c, const char *line, long length, int cut);
ListingVerdict listing_verdict(ListingCheck *c, const unsigned char public_key[ED25519_PUBLIC_SIZE]);

int pinned_mirror();
// The turn's listing: 0 with it verified, spooled, and its manifest hash
// and content total given back; -1 otherwise, after its line. A listing
// older than one this process took is refused unless it is the state the
// mirror already holds (mirror_hash, when mirror_hash_known).
long fetch_signed_listing(sockaddr_in *host, unsigned *hash, unsigned long long *content_total,
			  int mirror_hash_known, unsigned mirror_hash);
// Discovery: 1 when the beacon's sender serves a listing that verifies. A
// refused host is said once and not asked again for a minute.
int vet_discovered_host(sockaddr_in *host);

// Each file the pinned mirror writes is checked against its listing record.
struct ContentCheck {
	int active;
	unsigned char expected[SHA256_SIZE];
	Sha256 sha;
};

// Before a file's content: 1 when the listing names relative with this size
// (record: the listing's line for a single file, or null to look it up in
// the spooled listing, which then also gives its content hash), and the
// check is under way; 0, after its line, when the file must not be written.
int expect_listed_content(ContentCheck *check, const char *record, const char *relative,
			  unsigned long long size, unsigned *hash);
void check_content(ContentCheck *check, const char *bytes, long n);
// At the content's end: 1 when it matches; otherwise the failure is logged
// and counted for the turn.
int content_verified(ContentCheck *check, const char *relative);
void clear_verification_failures();
int verification_failed();
// Prunes the mirror to the spooled listing, not to what an archive carried.
void prune_to_listing();
// A beacon may start a turn early, but turns begin at most once a second.
void pace_pinned_turns(unsigned long last_turn_started);

} // namespace dircast
