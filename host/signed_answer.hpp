// The parts of the signed listing that the manifest answer lacks: its
// sequence, each file's digest field, and the signature line at its end.
#pragma once

#include "reply.hpp"
#include "../protocol/sha256.hpp"

namespace dircast {

// Takes the listing's sequence and starts its digest; 0 when the share name
// is too long for the signed header to fit a line (the answer is then cut).
int start_signed_answer(unsigned long long *sequence, Sha256 *listing);
void append_digest_field(char *out, int *cursor, const unsigned char digest[SHA256_SIZE]);
// "signature=" and the statement's signature, or "signature=none" without a
// key; the listing's digest is finished here.
void gather_signature(Reply *reply, Sha256 *listing, unsigned hash, unsigned long long sequence);

} // namespace dircast
