// Points of Ed25519's twisted Edwards curve -x^2 + y^2 = 1 + d x^2 y^2 in
// extended coordinates (RFC 8032 5.1.4): x = X/Z, y = Y/Z, x y = T/Z.
#pragma once

#include "curve25519_field.hpp"

namespace dircast {

struct EdPoint {
	Fe x, y, z, t;
};

void point_base(EdPoint *out);
void point_add(EdPoint *out, const EdPoint *p, const EdPoint *q);
void point_double(EdPoint *out, const EdPoint *p);
void point_negate(EdPoint *out, const EdPoint *p);
// [scalar]p, scalar 32 bytes little-endian; constant time in the scalar.
void point_multiply(EdPoint *out, const unsigned char scalar[32], const EdPoint *p);
// 0 for a y that is not below p, a y with no x on the curve, or x = 0 given
// with its sign bit set: each of those has no canonical encoding.
int point_decode(EdPoint *out, const unsigned char encoding[32]);
void point_encode(unsigned char encoding[32], const EdPoint *p);
// 1 when [8]p is the identity: p lies in the torsion subgroup of order 8.
int point_is_small_order(const EdPoint *p);

} // namespace dircast
