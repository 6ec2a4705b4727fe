// SHA-512 (FIPS 180-4), portable: Ed25519 hashes only short statements and
// keys with it, so there is no fast path.
#include "sha512.hpp"

namespace dircast {

namespace {

// FIPS 180-4 4.2.3: the first 64 bits of the fractional parts of the cube
// roots of the first 80 primes.
constexpr unsigned long long SHA512_K[80] = {
	0x428a2f98d728ae22ull, 0x7137449123ef65cdull, 0xb5c0fbcfec4d3b2full, 0xe9b5dba58189dbbcull,
	0x3956c25bf348b538ull, 0x59f111f1b605d019ull, 0x923f82a4af194f9bull, 0xab1c5ed5da6d8118ull,
	0xd807aa98a3030242ull, 0x12835b0145706fbeull, 0x243185be4ee4b28cull, 0x550c7dc3d5ffb4e2ull,
	0x72be5d74f27b896full, 0x80deb1fe3b1696b1ull, 0x9bdc06a725c71235ull, 0xc19bf174cf692694ull,
	0xe49b69c19ef14ad2ull, 0xefbe4786384f25e3ull, 0x0fc19dc68b8cd5b5ull, 0x240ca1cc77ac9c65ull,
	0x2de92c6f592b0275ull, 0x4a7484aa6ea6e483ull, 0x5cb0a9dcbd41fbd4ull, 0x76f988da831153b5ull,
	0x983e5152ee66dfabull, 0xa831c66d2db43210ull, 0xb00327c898fb213full, 0xbf597fc7beef0ee4ull,
	0xc6e00bf33da88fc2ull, 0xd5a79147930aa725ull, 0x06ca6351e003826full, 0x142929670a0e6e70ull,
	0x27b70a8546d22ffcull, 0x2e1b21385c26c926ull, 0x4d2c6dfc5ac42aedull, 0x53380d139d95b3dfull,
	0x650a73548baf63deull, 0x766a0abb3c77b2a8ull, 0x81c2c92e47edaee6ull, 0x92722c851482353bull,
	0xa2bfe8a14cf10364ull, 0xa81a664bbc423001ull, 0xc24b8b70d0f89791ull, 0xc76c51a30654be30ull,
	0xd192e819d6ef5218ull, 0xd69906245565a910ull, 0xf40e35855771202aull, 0x106aa07032bbd1b8ull,
	0x19a4c116b8d2d0c8ull, 0x1e376c085141ab53ull, 0x2748774cdf8eeb99ull, 0x34b0bcb5e19b48a8ull,
	0x391c0cb3c5c95a63ull, 0x4ed8aa4ae3418acbull, 0x5b9cca4f7763e373ull, 0x682e6ff3d6b2b8a3ull,
	0x748f82ee5defb2fcull, 0x78a5636f43172f60ull, 0x84c87814a1f0ab72ull, 0x8cc702081a6439ecull,
	0x90befffa23631e28ull, 0xa4506cebde82bde9ull, 0xbef9a3f7b2c67915ull, 0xc67178f2e372532bull,
	0xca273eceea26619cull, 0xd186b8c721c0c207ull, 0xeada7dd6cde0eb1eull, 0xf57d4f7fee6ed178ull,
	0x06f067aa72176fbaull, 0x0a637dc5a2c898a6ull, 0x113f9804bef90daeull, 0x1b710b35131c471bull,
	0x28db77f523047d84ull, 0x32caab7b40c72493ull, 0x3c9ebe0a15c9bebcull, 0x431d67c49c100d4cull,
	0x4cc5d4becb3e42b6ull, 0x597f299cfc657e2aull, 0x5fcb6fab3ad6faecull, 0x6c44198c4a475817ull,
};

// FIPS 180-4 5.3.5: the same of the square roots of the first 8 primes.
constexpr unsigned long long SHA512_H0[8] = {
	0x6a09e667f3bcc908ull, 0xbb67ae8584caa73bull, 0x3c6ef372fe94f82bull, 0xa54ff53a5f1d36f1ull,
	0x510e527fade682d1ull, 0x9b05688c2b3e6c1full, 0x1f83d9abfb41bd6bull, 0x5be0cd19137e2179ull,
};

inline unsigned long long rotr(unsigned long long x, int n)
{
	return (x >> n) | (x << (64 - n));
}

unsigned long long load_be64(const unsigned char *p)
{
	unsigned long long x = 0;

	for (int i = 0; i < 8; i++)
		x = x << 8 | p[i];
	return x;
}

// The message schedule as a ring of 16 words, as in SHA-256.
unsigned long long schedule(unsigned long long w[16], int t)
{
	unsigned long long w15 = w[(t - 15) & 15], w2 = w[(t - 2) & 15];
	unsigned long long s0 = rotr(w15, 1) ^ rotr(w15, 8) ^ (w15 >> 7);
	unsigned long long s1 = rotr(w2, 19) ^ rotr(w2, 61) ^ (w2 >> 6);

	w[t & 15] += s0 + w[(t - 7) & 15] + s1;
	return w[t & 15];
}

void compress(unsigned long long state[8], const unsigned char *block)
{
	unsigned long long w[16], v[8];

	for (int t = 0; t < 16; t++)
		w[t] = load_be64(block + 8 * t);
	for (int i = 0; i < 8; i++)
		v[i] = state[i];
	for (int t = 0; t < 80; t++) {
		unsigned long long wt = t < 16 ? w[t] : schedule(w, t);
		unsigned long long e = v[4], a = v[0];
		unsigned long long t1 = v[7] + (rotr(e, 14) ^ rotr(e, 18) ^ rotr(e, 41)) +
			((e & v[5]) ^ (~e & v[6])) + SHA512_K[t] + wt;
		unsigned long long t2 = (rotr(a, 28) ^ rotr(a, 34) ^ rotr(a, 39)) +
			((a & v[1]) ^ (a & v[2]) ^ (v[1] & v[2]));

		for (int i = 7; i > 0; i--)
			v[i] = v[i - 1];
		v[4] += t1;
		v[0] = t1 + t2;
	}
	for (int i = 0; i < 8; i++)
		state[i] += v[i];
}

} // namespace

void sha512_start(Sha512 *h)
{
	for (int i = 0; i < 8; i++)
		h->state[i] = SHA512_H0[i];
	h->length = 0;
	h->used = 0;
}

void sha512_update(Sha512 *h, const void *data, unsigned long size)
{
	const unsigned char *p = (const unsigned char *)data;

	h->length += size;
	for (unsigned long i = 0; i < size; i++) {
		h->block[h->used++] = p[i];
		if (h->used == SHA512_BLOCK) {
			compress(h->state, h->block);
			h->used = 0;
		}
	}
}

// FIPS 180-4 5.1.2: a 1 bit, zeros up to 112 bytes into a block, then the
// length in bits as a big-endian 128-bit number, of which the top 61 bits
// are zero here since the byte count is 64 bits.
void sha512_finish(Sha512 *h, unsigned char digest[SHA512_SIZE])
{
	h->block[h->used++] = 0x80;
	if (h->used > SHA512_BLOCK - 16) {
		while (h->used < SHA512_BLOCK)
			h->block[h->used++] = 0;
		compress(h->state, h->block);
		h->used = 0;
	}
	while (h->used < SHA512_BLOCK)
		h->block[h->used++] = 0;
	for (int i = 0; i < 8; i++)
		h->block[SHA512_BLOCK - 1 - i] = (unsigned char)((h->length << 3) >> (8 * i));
	h->block[SHA512_BLOCK - 9] = (unsigned char)(h->length >> 61);
	compress(h->state, h->block);
	for (int i = 0; i < SHA512_SIZE; i++)
		digest[i] = (unsigned char)(h->state[i / 8] >> (56 - 8 * (i % 8)));
}

} // namespace dircast
