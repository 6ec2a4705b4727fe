// Scalars of Ed25519 modulo the group order
// L = 2^252 + 27742317777372353535851937790883648493, as 32 bytes little-endian.
#pragma once

namespace dircast {

// wide (64 bytes, a SHA-512 digest) mod L.
void scalar_reduce(unsigned char out[32], const unsigned char wide[64]);
// (a b + c) mod L, for a, b, c below 2^256 with a b + c below 2^512.
void scalar_multiply_add(unsigned char out[32], const unsigned char a[32], const unsigned char b[32],
	const unsigned char c[32]);
// 1 when s < L, the only form a signature's S may take.
int scalar_is_canonical(const unsigned char s[32]);

} // namespace dircast
