// SHA-256 (FIPS 180-4): buffering, padding, the choice between the CPU's
// extensions and the portable rounds, and the portable rounds themselves.
#include "sha256.hpp"
#include "sha256_rounds.hpp"

namespace dircast {

alignas(16) const unsigned SHA256_K[64] = {
	0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u, 0xab1c5ed5u,
	0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u,
	0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau,
	0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u, 0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u,
	0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u,
	0xa2bfe8a1u, 0xa81a664bu, 0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u,
	0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
	0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u,
};

namespace {

// FIPS 180-4 5.3.3: the first 32 bits of the fractional parts of the square
// roots of the first 8 primes.
constexpr unsigned SHA256_H0[8] = {
	0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au, 0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u,
};

enum : int { ROUNDS_UNCHOSEN, ROUNDS_PORTABLE, ROUNDS_HARDWARE };

// Chosen at first use rather than at start-up: there is no constructor to run
// cpuid before main, and a zero-initialized choice costs nothing to keep.
constinit int rounds_choice = ROUNDS_UNCHOSEN;

int choose_rounds()
{
	if (rounds_choice == ROUNDS_UNCHOSEN)
		rounds_choice = sha256_cpu_has_extensions() ? ROUNDS_HARDWARE : ROUNDS_PORTABLE;
	return rounds_choice;
}

void compress(unsigned state[8], const unsigned char *blocks, unsigned long count)
{
	if (choose_rounds() == ROUNDS_HARDWARE)
		sha256_blocks_x86(state, blocks, count);
	else
		sha256_blocks_portable(state, blocks, count);
}

inline unsigned rotr(unsigned x, int n)
{
	return (x >> n) | (x << (32 - n));
}

inline unsigned load_be32(const unsigned char *p)
{
	return (unsigned)p[0] << 24 | (unsigned)p[1] << 16 | (unsigned)p[2] << 8 | p[3];
}

// The message schedule is kept as a ring of 16 words (FIPS 180-4 6.2.2 step 1
// needs only W[t-16..t-1]).
unsigned schedule(unsigned w[16], int t)
{
	unsigned w15 = w[(t - 15) & 15], w2 = w[(t - 2) & 15];
	unsigned s0 = rotr(w15, 7) ^ rotr(w15, 18) ^ (w15 >> 3);
	unsigned s1 = rotr(w2, 17) ^ rotr(w2, 19) ^ (w2 >> 10);

	w[t & 15] += s0 + w[(t - 7) & 15] + s1;
	return w[t & 15];
}

// One round (FIPS 180-4 6.2.2 step 3) with the working variables named by
// their role: instead of moving all eight along, the caller rotates the names,
// and only d and h take new values.
__attribute__((always_inline)) inline void round(unsigned a, unsigned b, unsigned c, unsigned &d,
	unsigned e, unsigned f, unsigned g, unsigned &h, unsigned k_plus_w)
{
	unsigned t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k_plus_w;

	d += t1;
	h = t1 + (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
}

void compress_block(unsigned state[8], const unsigned char *block)
{
	unsigned w[16];
	unsigned a = state[0], b = state[1], c = state[2], d = state[3];
	unsigned e = state[4], f = state[5], g = state[6], h = state[7];

	for (int t = 0; t < 16; t++)
		w[t] = load_be32(block + 4 * t);
	for (int t = 0; t < 64; t += 8) {
		auto kw = [&](int i) { return SHA256_K[t + i] + (t < 16 ? w[i + (t & 8)] : schedule(w, t + i)); };

		round(a, b, c, d, e, f, g, h, kw(0));
		round(h, a, b, c, d, e, f, g, kw(1));
		round(g, h, a, b, c, d, e, f, kw(2));
		round(f, g, h, a, b, c, d, e, kw(3));
		round(e, f, g, h, a, b, c, d, kw(4));
		round(d, e, f, g, h, a, b, c, kw(5));
		round(c, d, e, f, g, h, a, b, kw(6));
		round(b, c, d, e, f, g, h, a, kw(7));
	}
	state[0] += a, state[1] += b, state[2] += c, state[3] += d;
	state[4] += e, state[5] += f, state[6] += g, state[7] += h;
}

} // namespace

void sha256_blocks_portable(unsigned state[8], const unsigned char *blocks, unsigned long count)
{
	for (unsigned long i = 0; i < count; i++)
		compress_block(state, blocks + i * SHA256_BLOCK);
}

int sha256_hardware()
{
	return choose_rounds() == ROUNDS_HARDWARE;
}

void sha256_select(int use_hardware)
{
	rounds_choice = use_hardware ? ROUNDS_UNCHOSEN : ROUNDS_PORTABLE;
}

void sha256_start(Sha256 *h)
{
	for (int i = 0; i < 8; i++)
		h->state[i] = SHA256_H0[i];
	h->length = 0;
	h->used = 0;
}

// Copies into the block buffer up to its end, compressing it when full;
// returns the bytes taken.
static unsigned long fill_block(Sha256 *h, const unsigned char *p, unsigned long size)
{
	unsigned long n = SHA256_BLOCK - h->used;

	if (n > size)
		n = size;
	for (unsigned long i = 0; i < n; i++)
		h->block[h->used + i] = p[i];
	h->used += n;
	if (h->used == SHA256_BLOCK) {
		compress(h->state, h->block, 1);
		h->used = 0;
	}
	return n;
}

// Whole blocks go straight from the caller's bytes to the rounds; only a
// partial block at either end is copied.
void sha256_update(Sha256 *h, const void *data, unsigned long size)
{
	const unsigned char *p = (const unsigned char *)data;
	unsigned long whole;

	h->length += size;
	if (h->used > 0) {
		unsigned long n = fill_block(h, p, size);

		p += n;
		size -= n;
	}
	whole = size / SHA256_BLOCK;
	if (whole > 0)
		compress(h->state, p, whole);
	p += whole * SHA256_BLOCK;
	size -= whole * SHA256_BLOCK;
	if (size > 0)
		fill_block(h, p, size);
}

// FIPS 180-4 5.1.1: a 1 bit, zeros up to 56 bytes into a block, then the
// length in bits as a big-endian 64-bit number.
void sha256_finish(Sha256 *h, unsigned char digest[SHA256_SIZE])
{
	unsigned long long bits = h->length << 3;

	h->block[h->used++] = 0x80;
	if (h->used > SHA256_BLOCK - 8) {
		while (h->used < SHA256_BLOCK)
			h->block[h->used++] = 0;
		compress(h->state, h->block, 1);
		h->used = 0;
	}
	while (h->used < SHA256_BLOCK - 8)
		h->block[h->used++] = 0;
	for (int i = 0; i < 8; i++)
		h->block[SHA256_BLOCK - 1 - i] = (unsigned char)(bits >> (8 * i));
	compress(h->state, h->block, 1);
	for (int i = 0; i < SHA256_SIZE; i++)
		digest[i] = (unsigned char)(h->state[i / 4] >> (24 - 8 * (i % 4)));
}

void sha256(const void *data, unsigned long size, unsigned char digest[SHA256_SIZE])
{
	Sha256 h;

	sha256_start(&h);
	sha256_update(&h, data, size);
	sha256_finish(&h, digest);
}

} // namespace dircast
