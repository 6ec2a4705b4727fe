// Field arithmetic modulo 2^255 - 19 in ten 25/26-bit limbs.
#include "curve25519_field.hpp"

namespace dircast {

namespace {

constexpr int LIMB_BITS[10] = {26, 25, 26, 25, 26, 25, 26, 25, 26, 25};
constexpr int LIMB_OFFSET[10] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};

// One pass of floor carries from limb 0 up; what leaves limb 9 is worth
// 2^255 = 19 (mod p) and re-enters at limb 0. Masking, not subtracting the
// shifted carry, keeps negative limbs well defined.
void carry_pass(long long h[10])
{
	for (int i = 0; i < 10; i++) {
		long long c = h[i] >> LIMB_BITS[i];

		h[i] &= (1ll << LIMB_BITS[i]) - 1;
		if (i < 9)
			h[i + 1] += c;
		else
			h[0] += 19 * c;
	}
}

// From sums of up to 2^62.4 (fe_mul) to limbs: after one pass limbs 1..9 are
// in range and limb 0 holds at most 19 * 2^37.4 more, whose carry leaves
// limb 1 within 2^16 of its range.
void carry(Fe *out, long long h[10])
{
	long long c;

	carry_pass(h);
	c = h[0] >> 26;
	h[0] &= (1 << 26) - 1;
	h[1] += c;
	for (int i = 0; i < 10; i++)
		out->limb[i] = (int)h[i];
}

unsigned load_le32(const unsigned char *p)
{
	return p[0] | (unsigned)p[1] << 8 | (unsigned)p[2] << 16 | (unsigned)p[3] << 24;
}

// z^(2^250 - 1), the common part of both exponentiations, by the chain
// z^(2^5-1), z^(2^10-1), z^(2^20-1), ... doubling the run of ones; z11 gets
// z^11 for fe_invert.
void pow_2_250_minus_1(Fe *out, Fe *z11, const Fe *z)
{
	Fe z2, z9, t, run5, run10, run50, acc;

	fe_square(&z2, z);
	fe_square(&t, &z2);
	fe_square(&t, &t);
	fe_mul(&z9, &t, z);
	fe_mul(z11, &z9, &z2);
	fe_square(&t, z11);
	fe_mul(&run5, &t, &z9);
	// run_n = z^(2^n - 1); run_(a+b) = run_a^(2^b) * run_b.
	auto extend = [](Fe *r, const Fe *run_a, int b, const Fe *run_b) {
		Fe s = *run_a;

		for (int i = 0; i < b; i++)
			fe_square(&s, &s);
		fe_mul(r, &s, run_b);
	};
	extend(&run10, &run5, 5, &run5);
	extend(&acc, &run10, 10, &run10);   // 20
	extend(&acc, &acc, 20, &acc);       // 40
	extend(&run50, &acc, 10, &run10);   // 50
	extend(&acc, &run50, 50, &run50);   // 100
	extend(&acc, &acc, 100, &acc);      // 200
	extend(out, &acc, 50, &run50);      // 250
}

} // namespace

void fe_from_bytes(Fe *out, const unsigned char bytes[32])
{
	for (int i = 0; i < 10; i++) {
		unsigned word = load_le32(bytes + LIMB_OFFSET[i] / 8) >> (LIMB_OFFSET[i] % 8);

		out->limb[i] = (int)(word & ((1u << LIMB_BITS[i]) - 1));
	}
}

// Three passes bring carried limbs into range, the value into [0, 2^255);
// q is then 1 exactly when value + 19 reaches 2^255, i.e. value >= p, and
// adding 19q while dropping bit 255 subtracts p.
void fe_to_bytes(unsigned char bytes[32], const Fe *f)
{
	long long h[10];
	long long q;
	unsigned long long acc = 0;
	int bits = 0, n = 0;

	for (int i = 0; i < 10; i++)
		h[i] = f->limb[i];
	for (int pass = 0; pass < 3; pass++)
		carry_pass(h);
	q = (h[0] + 19) >> 26;
	for (int i = 1; i < 10; i++)
		q = (h[i] + q) >> LIMB_BITS[i];
	h[0] += 19 * q;
	for (int i = 0; i < 9; i++) {
		h[i + 1] += h[i] >> LIMB_BITS[i];
		h[i] &= (1ll << LIMB_BITS[i]) - 1;
	}
	h[9] &= (1 << 25) - 1;
	for (int i = 0; i < 10; i++) {
		acc |= (unsigned long long)h[i] << bits;
		for (bits += LIMB_BITS[i]; bits >= 8; bits -= 8, acc >>= 8)
			bytes[n++] = (unsigned char)acc;
	}
	bytes[n] = (unsigned char)acc;
}

void fe_set(Fe *out, int small)
{
	out->limb[0] = small;
	for (int i = 1; i < 10; i++)
		out->limb[i] = 0;
}

void fe_add(Fe *out, const Fe *f, const Fe *g)
{
	long long h[10];

	for (int i = 0; i < 10; i++)
		h[i] = (long long)f->limb[i] + g->limb[i];
	carry(out, h);
}

void fe_sub(Fe *out, const Fe *f, const Fe *g)
{
	long long h[10];

	for (int i = 0; i < 10; i++)
		h[i] = (long long)f->limb[i] - g->limb[i];
	carry(out, h);
}

void fe_neg(Fe *out, const Fe *f)
{
	Fe zero;

	fe_set(&zero, 0);
	fe_sub(out, &zero, f);
}

// Limbs i and j meet at weight 2^(offset i + offset j), which is the offset
// of limb i+j, times 2 when both are odd (25.5-bit steps round up twice);
// past limb 9 the weight carries 2^255 = 19. With limbs under 2^26.01 every
// product is under 2^57.4 and each sum of ten under 2^61.
void fe_mul(Fe *out, const Fe *f, const Fe *g)
{
	long long h[10] = {};
	int f2[10], g19[10];

	for (int i = 0; i < 10; i++) {
		f2[i] = f->limb[i] * (1 + (i & 1));
		g19[i] = g->limb[i] * 19;
	}
	for (int i = 0; i < 10; i++) {
		for (int j = 0; j < 10; j++) {
			long long a = (j & 1) ? f2[i] : f->limb[i];
			int b = i + j < 10 ? g->limb[j] : g19[j];

			h[i + j < 10 ? i + j : i + j - 10] += a * b;
		}
	}
	carry(out, h);
}

void fe_square(Fe *out, const Fe *f)
{
	fe_mul(out, f, f);
}

// z^(p-2) = z^(2^255 - 21) = (z^(2^250 - 1))^(2^5) * z^11.
void fe_invert(Fe *out, const Fe *z)
{
	Fe t, z11;

	pow_2_250_minus_1(&t, &z11, z);
	for (int i = 0; i < 5; i++)
		fe_square(&t, &t);
	fe_mul(out, &t, &z11);
}

// z^((p-5)/8) = z^(2^252 - 3) = (z^(2^250 - 1))^4 * z.
void fe_pow_p58(Fe *out, const Fe *z)
{
	Fe t, z11;

	pow_2_250_minus_1(&t, &z11, z);
	fe_square(&t, &t);
	fe_square(&t, &t);
	fe_mul(out, &t, z);
}

int fe_is_zero(const Fe *f)
{
	unsigned char bytes[32];
	unsigned char any = 0;

	fe_to_bytes(bytes, f);
	for (int i = 0; i < 32; i++)
		any |= bytes[i];
	return any == 0;
}

int fe_is_negative(const Fe *f)
{
	unsigned char bytes[32];

	fe_to_bytes(bytes, f);
	return bytes[0] & 1;
}

int fe_equal(const Fe *f, const Fe *g)
{
	Fe d;

	fe_sub(&d, f, g);
	return fe_is_zero(&d);
}

void fe_select(Fe *out, const Fe *g, unsigned mask)
{
	for (int i = 0; i < 10; i++)
		out->limb[i] ^= (int)(mask & (unsigned)(out->limb[i] ^ g->limb[i]));
}

} // namespace dircast
