// The signed listing on the mirror: checked line by line as it arrives
// (every byte before the signature line goes into its digest), spooled as
// the manifest is, and taken only when the pinned key signed its statement.
#include "signed_listing.hpp"
#include "manifest_spool.hpp"
#include "mirror_store.hpp"
#include "reply_stream.hpp"
#include "settings.hpp"
#include "transfers.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/clock.hpp"
#include "../runtime/console.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

void start_listing_check(ListingCheck *c)
{
	__builtin_memset(c, 0, sizeof *c);
	c->in_header = 1;
	sha256_start(&c->listing);
}

static void take_header_line(ListingCheck *c, const char *line, long length)
{
	if (line[0] == 0) {
		c->in_header = 0;
	} else if (!c->name_found && starts_with(line, "name=")) {
		c->name_found = length - 5 <= STATEMENT_NAME_LIMIT;
		c->name_length = c->name_found ? (int)length - 5 : 0;
		copy_span(c->name, line + 5, c->name_length);
	} else if (!c->hash_found && starts_with(line, "hash=")) {
		c->hash_found = line[5] >= '0' && line[5] <= '9';
		c->hash = parse_decimal(line + 5);
	} else if (!c->sequence_found && starts_with(line, wire::SEQUENCE_KEY)) {
		c->sequence_found = 1;
		c->sequence = parse_size(line + sizeof wire::SEQUENCE_KEY - 1);
	}
}

// Every file record carries its digest; the signature line is the last
// line before the end line, and holds 128 hex digits or "none".
static void take_body_line(ListingCheck *c, const char *line, long length)
{
	unsigned char digest[SHA256_SIZE];
	unsigned long long size;

	if (starts_with(line, wire::SIGNATURE_KEY)) {
		if (text_equals(line, wire::UNSIGNED_LINE))
			c->signature = -1;
		else if (parse_hex(line + sizeof wire::SIGNATURE_KEY - 1, c->signature_bytes, ED25519_SIGNATURE_SIZE))
			c->signature = 1;
		else
			c->malformed = 1;
		return;
	}
	if (record_content_size(line, &size)) {
		c->malformed |= !record_digest(line, (int)length, digest);
		c->content_total += size;
	}
}

void take_listing_line(ListingCheck *c, const char *line, long length, int cut)
{
	if (c->ended)
		return;
	if (cut || c->signature != 0) {
		c->ended = starts_with(line, "END") && !cut;
		c->malformed |= !c->ended;
		return;
	}
	if (c->lines++ == 0)
		c->magic = text_equals(line, wire::SIGNED_MAGIC);
	else if (starts_with(line, "END") && !c->in_header)
		c->ended = 1;
	else if (c->in_header)
		take_header_line(c, line, length);
	if (c->ended)
		return;
	if (!c->in_header && line[0])
		take_body_line(c, line, length);
	if (c->signature == 0) {
		sha256_update(&c->listing, line, length);
		sha256_update(&c->listing, "\n", 1);
	}
}

ListingVerdict listing_verdict(ListingCheck *c, const unsigned char public_key[ED25519_PUBLIC_SIZE])
{
	char statement[STATEMENT_SIZE];
	unsigned char digest[SHA256_SIZE];
	int n;

	if (!c->magic || !c->ended || c->malformed || !c->signature || !c->name_found || !c->hash_found ||
	    !c->sequence_found)
		return LISTING_NOT_SIGNED_LISTING;
	if (c->signature < 0)
		return LISTING_UNSIGNED;
	sha256_finish(&c->listing, digest);
	n = compose_statement(statement, c->name, c->name_length, c->hash, c->sequence, digest);
	if (n == 0 || !ed25519_verify(c->signature_bytes, public_key, statement, n))
		return LISTING_FORGED;
	return LISTING_VERIFIED;
}

// Blank lines after the header say nothing to the spool's readers, and the
// end line is left out of the spool as the manifest's fetch leaves it in.
static int take_signed_piece(void *context, const StreamPiece *piece)
{
	ListingCheck *c = (ListingCheck *)context;
	int after_header = !c->in_header;

	take_listing_line(c, piece->bytes, piece->length, piece->cut);
	if (c->lines == 1 && !c->magic)
		return 0;  // an older host's archive, or anything else: not read on
	if (piece->cut || (after_header && piece->bytes[0] == 0))
		return 1;
	return spool_line(piece->bytes, piece->length);
}

static void log_refusal(const sockaddr_in *host, const char *why)
{
	log_text("dircast-mirror: host ");
	for (int i = 0; i < 4; i++) {
		if (i)
			log_text(".");
		log_number(host->sin_addr[i]);
	}
	log_text(" refused: ");
	log_text(why);
	log_text("\n");
}

static const char *refusal_reason(ListingVerdict verdict)
{
	if (verdict == LISTING_UNSIGNED)
		return "listing unsigned";
	if (verdict == LISTING_FORGED)
		return "not signed by the pinned key";
	return "no signed listing";
}

// The sequence of the newest listing this process took.
static int have_sequence;
static unsigned long long accepted_sequence;

// One check at a time: discovery's, then each turn's.
static ListingCheck listing_check;

enum Receipt { RECEIPT_FAILED = -1, RECEIPT_OK = 0, RECEIPT_REFUSED = 1 };

// Fetches and checks; a refusal's reason through *why, unlogged.
static Receipt receive_signed_listing(sockaddr_in *host, ListingCheck *check, const char **why)
{
	ReplySink sink = {take_signed_piece, check, 0};
	long socket = send_request(host, wire::SIGNED_REQUEST, "dircast-mirror: listing connect failed\n",
				   "dircast-mirror: signed listing request sent\n");
	ListingVerdict verdict;
	int complete;

	if (socket < 0)
		return RECEIPT_FAILED;
	start_listing_check(check);
	complete = receive_into_spool(socket, &sink);
	if (check->lines > 0 && !check->magic)
		complete = 1;  // refused below, not merely cut
	if (!complete) {
		log_text("dircast-mirror: signed listing incomplete\n");
		return RECEIPT_FAILED;
	}
	verdict = listing_verdict(check, client_settings.host_public_key);
	*why = refusal_reason(verdict);
	return verdict == LISTING_VERIFIED ? RECEIPT_OK : RECEIPT_REFUSED;
}

long fetch_signed_listing(sockaddr_in *host, unsigned *hash, unsigned long long *content_total,
			  int mirror_hash_known, unsigned mirror_hash)
{
	ListingCheck &check = listing_check;
	const char *why = nullptr;
	Receipt receipt = receive_signed_listing(host, &check, &why);

	if (receipt == RECEIPT_FAILED)
		return -1;
	if (receipt == RECEIPT_OK && have_sequence && check.sequence < accepted_sequence &&
	    !(mirror_hash_known && check.hash == mirror_hash)) {
		receipt = RECEIPT_REFUSED;
		why = "listing older than one already taken";
	}
	if (receipt == RECEIPT_REFUSED) {
		log_refusal(host, why);
		return -1;
	}
	if (!have_sequence || check.sequence > accepted_sequence)
		accepted_sequence = check.sequence;
	have_sequence = 1;
	*hash = check.hash;
	*content_total = check.content_total;
	log_text("dircast-mirror: manifest hash ");
	log_number(*hash);
	log_text("\n");
	return 0;
}

// Hosts refused during discovery: each is said once, and asked again only
// after a minute (its key may have been put right), so a host beaconing
// four times a second does not cost a listing each time.
constexpr int REFUSED_HOSTS = 32;
constexpr unsigned long REFUSED_RETRY_MS = 60000;

struct RefusedHost {
	unsigned char address[4];
	unsigned long at;
};

static RefusedHost refused_hosts[REFUSED_HOSTS];
static int refused_count;

static RefusedHost *find_refused(const sockaddr_in *host)
{
	for (int i = 0; i < refused_count && i < REFUSED_HOSTS; i++) {
		if (__builtin_memcmp(refused_hosts[i].address, host->sin_addr, 4) == 0)
			return &refused_hosts[i];
	}
	return nullptr;
}

static void remember_refused(const sockaddr_in *host, const char *why)
{
	RefusedHost *r = &refused_hosts[refused_count++ % REFUSED_HOSTS];

	__builtin_memcpy(r->address, host->sin_addr, 4);
	r->at = monotonic_ms();
	log_refusal(host, why);
}

int vet_discovered_host(sockaddr_in *host)
{
	RefusedHost *refused = find_refused(host);
	const char *why = nullptr;
	Receipt receipt;

	if (refused && monotonic_ms() - refused->at < REFUSED_RETRY_MS)
		return 0;
	receipt = receive_signed_listing(host, &listing_check, &why);
	if (receipt == RECEIPT_REFUSED && refused)
		refused->at = monotonic_ms();
	else if (receipt == RECEIPT_REFUSED)
		remember_refused(host, why);
	return receipt == RECEIPT_OK;
}

} // namespace dircast
