// The signed listing's own texts. The listing goes out as it is walked and
// its digest is taken along, so only the statement, a few hundred bytes,
// is held to be signed at the end.
#include "signed_answer.hpp"
#include "send_buffer.hpp"
#include "settings.hpp"
#include "signing_key.hpp"
#include "../protocol/signed_listing.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

// The signed header's fixed texts, a hash of 10 digits and a sequence of 20
// beside the name, must leave the line's NUL room.
constexpr int SIGNED_HEADER_FIXED = sizeof "DC-SHARE-SIGNED/1\nname=\nhash=\nsequence=\nentries=recursive\n\n" - 1 + 30;

// Milliseconds of the realtime clock: a later listing has a larger number
// as long as the clock is not set back (a mirror then still takes an
// unchanged share).
static unsigned long long realtime_ms()
{
	timespec now = {0, 0};

	sys::clock_gettime(kernel::CLOCK_REALTIME, &now);
	return (unsigned long long)now.tv_sec * 1000 + (unsigned long long)(now.tv_nsec / 1000000);
}

int start_signed_answer(unsigned long long *sequence, Sha256 *listing)
{
	if (text_length(host_settings.share_name) + SIGNED_HEADER_FIXED >= SEND_BUFFER_SIZE)
		return 0;
	*sequence = realtime_ms();
	sha256_start(listing);
	return 1;
}

void append_digest_field(char *out, int *cursor, const unsigned char digest[SHA256_SIZE])
{
	append_text(out, cursor, wire::SHA256_FIELD);
	append_hex(out, cursor, digest, SHA256_SIZE);
}

// Called with a line's room free: the signature line is 139 bytes.
void gather_signature(Reply *reply, Sha256 *listing, unsigned hash, unsigned long long sequence)
{
	char statement[STATEMENT_SIZE];
	unsigned char digest[SHA256_SIZE];
	unsigned char signature[ED25519_SIGNATURE_SIZE];
	const char *name = host_settings.share_name;
	char *out = reply_tail(reply);
	int n = 0;

	sha256_finish(listing, digest);
	if (!signing_key_loaded()) {
		append_text(out, &n, wire::UNSIGNED_LINE);
	} else {
		sign_statement(signature,
			       statement, compose_statement(statement, name, text_length(name), hash, sequence, digest));
		append_text(out, &n, wire::SIGNATURE_KEY);
		append_hex(out, &n, signature, ED25519_SIGNATURE_SIZE);
	}
	append_char(out, &n, '\n');
	reply_commit(reply, n);
}

} // namespace dircast
