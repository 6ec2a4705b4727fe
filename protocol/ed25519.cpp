// Ed25519 (RFC 8032 5.1, pure): key from seed, deterministic signing, and a
// verification that refuses every non-canonical input.
#include "ed25519.hpp"
#include "ed25519_point.hpp"
#include "ed25519_scalar.hpp"
#include "sha512.hpp"

namespace dircast {

namespace {

// RFC 8032 5.1.5: the seed's SHA-512; the first half, clamped (a multiple
// of 8, bit 254 set), is the secret scalar; the second half seeds the nonces.
void expand_seed(unsigned char scalar[32], unsigned char prefix[32], const unsigned char seed[32])
{
	Sha512 h;
	unsigned char digest[SHA512_SIZE];

	sha512_start(&h);
	sha512_update(&h, seed, ED25519_SEED_SIZE);
	sha512_finish(&h, digest);
	for (int i = 0; i < 32; i++) {
		scalar[i] = digest[i];
		prefix[i] = digest[32 + i];
	}
	scalar[0] &= 248;
	scalar[31] &= 127;
	scalar[31] |= 64;
}

// SHA-512(first || second || message) mod L: the nonce and the challenge.
void hash_to_scalar(unsigned char out[32], const unsigned char first[32], const unsigned char *second,
	const void *message, unsigned long size)
{
	Sha512 h;
	unsigned char digest[SHA512_SIZE];

	sha512_start(&h);
	sha512_update(&h, first, 32);
	if (second)
		sha512_update(&h, second, 32);
	sha512_update(&h, message, size);
	sha512_finish(&h, digest);
	scalar_reduce(out, digest);
}

void base_multiply(unsigned char encoding[32], const unsigned char scalar[32])
{
	EdPoint base, p;

	point_base(&base);
	point_multiply(&p, scalar, &base);
	point_encode(encoding, &p);
}

} // namespace

void ed25519_public_key(unsigned char public_key[ED25519_PUBLIC_SIZE],
	const unsigned char seed[ED25519_SEED_SIZE])
{
	unsigned char scalar[32], prefix[32];

	expand_seed(scalar, prefix, seed);
	base_multiply(public_key, scalar);
}

// RFC 8032 5.1.6: r = H(prefix || M), R = [r]B, k = H(R || A || M),
// S = (r + k s) mod L.
void ed25519_sign(unsigned char signature[ED25519_SIGNATURE_SIZE],
	const unsigned char seed[ED25519_SEED_SIZE], const unsigned char public_key[ED25519_PUBLIC_SIZE],
	const void *message, unsigned long size)
{
	unsigned char scalar[32], prefix[32], nonce[32], challenge[32];

	expand_seed(scalar, prefix, seed);
	hash_to_scalar(nonce, prefix, nullptr, message, size);
	base_multiply(signature, nonce);
	hash_to_scalar(challenge, signature, public_key, message, size);
	scalar_multiply_add(signature + 32, challenge, scalar, nonce);
}

// RFC 8032 5.1.7, checking [S]B = R + [k]A as [S]B + [k](-A) encoded against
// R's bytes: a point encodes to one canonical form only, so a non-canonical R
// never matches. A small-order key is refused: any signature made with it
// holds for many messages and keys.
int ed25519_verify(const unsigned char signature[ED25519_SIGNATURE_SIZE],
	const unsigned char public_key[ED25519_PUBLIC_SIZE], const void *message, unsigned long size)
{
	EdPoint key, base, sb, ka;
	unsigned char challenge[32], r[32];
	unsigned char differ = 0;

	if (!scalar_is_canonical(signature + 32))
		return 0;
	if (!point_decode(&key, public_key) || point_is_small_order(&key))
		return 0;
	hash_to_scalar(challenge, signature, public_key, message, size);
	point_base(&base);
	point_multiply(&sb, signature + 32, &base);
	point_negate(&key, &key);
	point_multiply(&ka, challenge, &key);
	point_add(&sb, &sb, &ka);
	point_encode(r, &sb);
	for (int i = 0; i < 32; i++)
		differ |= r[i] ^ signature[i];
	return differ == 0;
}

} // namespace dircast
