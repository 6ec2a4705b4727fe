// Ed25519 signatures (RFC 8032, pure variant): the host signs its listing
// statement with its secret seed; a pinned mirror verifies it with the host's
// public key.
#pragma once

namespace dircast {

constexpr int ED25519_SEED_SIZE = 32;
constexpr int ED25519_PUBLIC_SIZE = 32;
constexpr int ED25519_SIGNATURE_SIZE = 64;

void ed25519_public_key(unsigned char public_key[ED25519_PUBLIC_SIZE],
	const unsigned char seed[ED25519_SEED_SIZE]);
void ed25519_sign(unsigned char signature[ED25519_SIGNATURE_SIZE],
	const unsigned char seed[ED25519_SEED_SIZE], const unsigned char public_key[ED25519_PUBLIC_SIZE],
	const void *message, unsigned long size);
// 1 when the signature is valid for the message and key. Refused: S not below
// the group order, a public key or R that is not a canonical encoding of a
// curve point, and a public key of small order.
int ed25519_verify(const unsigned char signature[ED25519_SIGNATURE_SIZE],
	const unsigned char public_key[ED25519_PUBLIC_SIZE], const void *message, unsigned long size);

} // namespace dircast
