// Arithmetic modulo p = 2^255 - 19, the field of Ed25519's curve, in ten
// signed 32-bit limbs so every product fits a 64-bit integer on i386 (no
// 128-bit type, no division).
#pragma once

namespace dircast {

// value = sum of limb[i] * 2^ceil(25.5 i): limbs alternate 26 and 25 bits.
// Every function returns limbs carried to at most 2^26 + 2^16 in magnitude,
// the bound fe_mul's 64-bit sums are derived from, and accepts such limbs.
struct Fe {
	int limb[10];
};

void fe_from_bytes(Fe *out, const unsigned char bytes[32]);  // bit 255 ignored
void fe_to_bytes(unsigned char bytes[32], const Fe *f);     // fully reduced
void fe_set(Fe *out, int small);
void fe_add(Fe *out, const Fe *f, const Fe *g);
void fe_sub(Fe *out, const Fe *f, const Fe *g);
void fe_neg(Fe *out, const Fe *f);
void fe_mul(Fe *out, const Fe *f, const Fe *g);
void fe_square(Fe *out, const Fe *f);
void fe_invert(Fe *out, const Fe *z);
void fe_pow_p58(Fe *out, const Fe *z);  // z^((p-5)/8), for square roots
int fe_is_zero(const Fe *f);
int fe_is_negative(const Fe *f);        // the low bit of the reduced value
int fe_equal(const Fe *f, const Fe *g);
// out = g where mask is all ones, left as it is where mask is 0, without a
// branch on the mask (it may come from a secret).
void fe_select(Fe *out, const Fe *g, unsigned mask);

} // namespace dircast
