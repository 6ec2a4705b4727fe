// The field and scalar arithmetic under Ed25519 at their edges: values at and
// above p reduced to their one encoding, limbs carried through negatives, and
// the reductions modulo the group order at the widest inputs.
#include "protocol/curve25519_field.hpp"
#include "protocol/ed25519_scalar.hpp"

#include "hex_bytes.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace dircast;
using dircast_test::Bytes;
using dircast_test::from_hex;

Bytes bytes_of(const Fe &f)
{
	Bytes out(32);

	fe_to_bytes(out.data(), &f);
	return out;
}

Fe fe_of(const std::string &hex)
{
	Fe f;

	fe_from_bytes(&f, from_hex(hex).data());
	return f;
}

const std::string P = "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f";
const std::string P_MINUS_1 = "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f";
const std::string ONE = "0100000000000000000000000000000000000000000000000000000000000000";
const std::string ZERO(64, '0');

TEST(Curve25519Field, EveryValueHasOneEncoding)
{
	Fe sum, difference, f = fe_of(P_MINUS_1), one = fe_of(ONE), zero = fe_of(ZERO);

	fe_add(&sum, &f, &one);
	fe_sub(&difference, &zero, &one);
	const struct {
		const char *name;
		Fe value;
		std::string encoding;
	} cases[] = {
		{"p", fe_of(P), ZERO},
		{"p + 1", fe_of("eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"), ONE},
		{"2^255 - 1", fe_of(std::string(62, 'f') + "7f"),
		 "1200000000000000000000000000000000000000000000000000000000000000"},
		{"p - 1 stays", fe_of(P_MINUS_1), P_MINUS_1},
		{"(p - 1) + 1", sum, ZERO},
		{"0 - 1", difference, P_MINUS_1},
		// Limbs at their bound: a negative top limb wraps to -19 in limb 0, a
		// carry out of the top limb lands on a full limb 0.
		{"-2^255 in limb 9", {{0, 0, 0, 0, 0, 0, 0, 0, 0, -(1 << 25)}},
		 "daffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"},
		{"2^255 + 2^230 - 1 in wide limbs", {{(1 << 26) - 1, (1 << 25) - 1, (1 << 26) - 1, (1 << 25) - 1,
			(1 << 26) - 1, (1 << 25) - 1, (1 << 26) - 1, (1 << 25) - 1, (1 << 26) - 1, 1 << 25}},
		 "1200000000000000000000000000000000000000000000000000000040000000"},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(bytes_of(c.value), from_hex(c.encoding));
	}
}

// Identities over values spread across the field, with limbs at their
// widest after each operation.
TEST(Curve25519Field, Identities)
{
	unsigned state = 1;
	Fe one = fe_of(ONE);

	for (int n = 0; n < 50; n++) {
		unsigned char raw[3][32];
		Fe a, b, c, t, u, v;

		for (auto &r : raw)
			for (auto &byte : r)
				byte = (unsigned char)((state = state * 1103515245u + 12345u) >> 16);
		fe_from_bytes(&a, raw[0]);
		fe_from_bytes(&b, raw[1]);
		fe_from_bytes(&c, raw[2]);
		fe_invert(&t, &a);
		fe_mul(&t, &t, &a);
		EXPECT_EQ(bytes_of(t), bytes_of(one)) << "a / a, round " << n;
		fe_add(&t, &b, &c);
		fe_mul(&t, &a, &t);
		fe_mul(&u, &a, &b);
		fe_mul(&v, &a, &c);
		fe_add(&u, &u, &v);
		EXPECT_EQ(bytes_of(t), bytes_of(u)) << "a (b + c), round " << n;
		fe_sub(&t, &a, &b);
		fe_add(&t, &t, &b);
		EXPECT_EQ(bytes_of(t), bytes_of(a)) << "a - b + b, round " << n;
	}
}

TEST(Ed25519Scalar, ReductionsAtTheWidestInputs)
{
	const std::string order = "edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010";
	const std::string order_minus_1 = "ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010";
	const std::string all_ones(64, 'f');
	const struct {
		const char *name;
		std::string a, b, c, expected;  // (a b + c) mod L
	} cases[] = {
		{"L", ONE, order, ZERO, ZERO},
		{"L - 1", ONE, order_minus_1, ZERO, order_minus_1},
		{"(L - 1)^2 + L - 1", order_minus_1, order_minus_1, order_minus_1, ZERO},
		{"2^256", all_ones, ONE, ONE, "1d95988d7431ecd670cf7d73f45befc6feffffffffffffffffffffffffffff0f"},
		{"(2^256 - 1)^2 + 2^256 - 1", all_ones, all_ones, all_ones,
		 "d14df91389432c25ad60ff9791b9fd1d67bef517d273ecce3d9a307c1b419903"},
	};
	Bytes out(32), wide(64, 0xff);

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		scalar_multiply_add(out.data(), from_hex(c.a).data(), from_hex(c.b).data(), from_hex(c.c).data());
		EXPECT_EQ(out, from_hex(c.expected));
	}
	scalar_reduce(out.data(), wide.data());
	EXPECT_EQ(out, from_hex("000f9c44e31106a447938568a71b0ed065bef517d273ecce3d9a307c1b419903")) << "2^512 - 1";
	EXPECT_FALSE(scalar_is_canonical(from_hex(order).data()));
	EXPECT_TRUE(scalar_is_canonical(from_hex(order_minus_1).data()));
}

} // namespace
