// Reduction modulo Ed25519's group order by shift and conditional subtract:
// 260 steps of 512-bit arithmetic, well under a tenth of a scalar
// multiplication, with no division (none on i386 without libgcc) and the
// same steps for every value (the signing nonce is secret).
#include "ed25519_scalar.hpp"

namespace dircast {

namespace {

constexpr int WIDE_WORDS = 16;
constexpr unsigned char ORDER[32] = {
	0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
	0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10,
};

unsigned load_le32(const unsigned char *p)
{
	return p[0] | (unsigned)p[1] << 8 | (unsigned)p[2] << 16 | (unsigned)p[3] << 24;
}

void load_words(unsigned *words, const unsigned char *bytes, int n)
{
	for (int i = 0; i < n; i++)
		words[i] = load_le32(bytes + 4 * i);
}

// x - m into x when it does not go below zero, chosen by mask.
void subtract_if_not_below(unsigned x[WIDE_WORDS], const unsigned m[WIDE_WORDS])
{
	unsigned d[WIDE_WORDS];
	unsigned borrow = 0, keep;

	for (int i = 0; i < WIDE_WORDS; i++) {
		unsigned long long t = (unsigned long long)x[i] - m[i] - borrow;

		d[i] = (unsigned)t;
		borrow = (unsigned)(t >> 63);
	}
	keep = 0u - borrow;
	for (int i = 0; i < WIDE_WORDS; i++)
		x[i] = (x[i] & keep) | (d[i] & ~keep);
}

// x < 2^512 < 2 (L << 259), so subtracting L << s where it fits, for s from
// 259 down to 0, leaves x < L.
void reduce_words(unsigned char out[32], unsigned x[WIDE_WORDS])
{
	unsigned m[WIDE_WORDS] = {}, order[8];

	load_words(order, ORDER, 8);
	for (int i = 0; i < 8; i++)
		m[8 + i] = order[i] << 3 | (i > 0 ? order[i - 1] >> 29 : 0);
	for (int s = 259; s >= 0; s--) {
		subtract_if_not_below(x, m);
		for (int i = 0; i < WIDE_WORDS; i++)
			m[i] = m[i] >> 1 | (i + 1 < WIDE_WORDS ? m[i + 1] << 31 : 0);
	}
	for (int i = 0; i < 32; i++)
		out[i] = (unsigned char)(x[i / 4] >> (8 * (i % 4)));
}

} // namespace

void scalar_reduce(unsigned char out[32], const unsigned char wide[64])
{
	unsigned x[WIDE_WORDS];

	load_words(x, wide, WIDE_WORDS);
	reduce_words(out, x);
}

void scalar_multiply_add(unsigned char out[32], const unsigned char a[32], const unsigned char b[32],
	const unsigned char c[32])
{
	unsigned x[WIDE_WORDS] = {}, aw[8], bw[8], cw[8];
	unsigned long long t = 0;

	load_words(aw, a, 8);
	load_words(bw, b, 8);
	load_words(cw, c, 8);
	for (int i = 0; i < 8; i++) {
		unsigned carry = 0;

		for (int j = 0; j < 8; j++) {
			t = (unsigned long long)aw[i] * bw[j] + x[i + j] + carry;
			x[i + j] = (unsigned)t;
			carry = (unsigned)(t >> 32);
		}
		x[i + 8] = carry;
	}
	t = 0;
	for (int i = 0; i < WIDE_WORDS; i++) {
		t += (unsigned long long)x[i] + (i < 8 ? cw[i] : 0);
		x[i] = (unsigned)t;
		t >>= 32;
	}
	reduce_words(out, x);
}

int scalar_is_canonical(const unsigned char s[32])
{
	for (int i = 31; i >= 0; i--) {
		if (s[i] != ORDER[i])
			return s[i] < ORDER[i];
	}
	return 0;
}

} // namespace dircast
