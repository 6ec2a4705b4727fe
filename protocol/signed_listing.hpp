// The signed listing: the manifest's header and records, each file record
// with the SHA-256 of its content, closed by an Ed25519 signature over a
// short statement. The statement names the share, its manifest hash, the
// listing's sequence and the SHA-256 of every listing byte before the
// signature line, so the host can stream a listing of any length and sign
// it at its end.
#pragma once

#include "ed25519.hpp"
#include "sha256.hpp"

namespace dircast {

namespace wire {
// "GET signed" begins with neither older prefix: an older host answers it
// with its full archive, which a pinned mirror refuses at its first line.
constexpr const char SIGNED_REQUEST[] = "GET signed DC-SHARE/1\n\n";
constexpr const char SIGNED_PREFIX[] = "GET signed";
constexpr const char SIGNED_MAGIC[] = "DC-SHARE-SIGNED/1";
constexpr const char SEQUENCE_KEY[] = "sequence=";
constexpr const char SHA256_FIELD[] = " sha256=";
constexpr const char SIGNATURE_KEY[] = "signature=";
// What a host without a signing key sends where the signature would stand.
constexpr const char UNSIGNED_LINE[] = "signature=none";
constexpr const char STATEMENT_MAGIC[] = "DC-SHARE-STATEMENT/1";
} // namespace wire

constexpr int SHA256_HEX_SIZE = 2 * SHA256_SIZE;
constexpr int SIGNATURE_HEX_SIZE = 2 * ED25519_SIGNATURE_SIZE;
// " sha256=" and 64 hex digits behind a file record.
constexpr int DIGEST_FIELD_SIZE = sizeof wire::SHA256_FIELD - 1 + SHA256_HEX_SIZE;
// The statement: its magic line, a name of up to 1018 bytes (the longest
// line a mirror reads, less "name="), a hash of 10 digits, a sequence of 20
// and the listing's digest, with their keys and line breaks.
constexpr int STATEMENT_NAME_LIMIT = 1018;
constexpr int STATEMENT_SIZE = 1200;

// Lower-case hex; parse_hex takes exactly 2 * count lower-case digits and
// nothing may follow them but the end of the text.
void append_hex(char *out, int *cursor, const unsigned char *bytes, int count);
int parse_hex(const char *text, unsigned char *bytes, int count);
// The digest at the end of a file record line: 1 with it in digest.
int record_digest(const char *line, int length, unsigned char digest[SHA256_SIZE]);
// The statement's bytes at out (STATEMENT_SIZE); their count, or 0 for a
// name too long to state.
int compose_statement(char *out, const char *name, int name_length, unsigned hash, unsigned long long sequence,
		      const unsigned char listing_digest[SHA256_SIZE]);

} // namespace dircast
