// Ed25519's group: addition, doubling, scalar multiplication by a 4-bit
// fixed window, and the encoding of points as 32 bytes (RFC 8032 5.1).
#include "ed25519_point.hpp"

namespace dircast {

namespace {

// d = -121665/121666, 2d, sqrt(-1) = 2^((p-1)/4), and the base point
// (y = 4/5, x even), as field limbs.
constexpr Fe D = {{56195235, 13857412, 51736253, 6949390, 114729, 24766616, 60832955, 30306712,
	48412415, 21499315}};
constexpr Fe D2 = {{45281625, 27714825, 36363642, 13898781, 229458, 15978800, 54557047, 27058993,
	29715967, 9444199}};
constexpr Fe SQRT_M1 = {{34513072, 25610706, 9377949, 3500415, 12389472, 33281959, 41962654, 31548777,
	326685, 11406482}};
constexpr Fe BASE_X = {{52811034, 25909283, 16144682, 17082669, 27570973, 30858332, 40966398, 8378388,
	20764389, 8758491}};
constexpr Fe BASE_Y = {{40265304, 26843545, 13421772, 20132659, 26843545, 6710886, 53687091, 13421772,
	40265318, 26843545}};

constexpr int WINDOW = 16;  // 4 bits of the scalar per addition

void point_identity(EdPoint *out)
{
	fe_set(&out->x, 0);
	fe_set(&out->y, 1);
	fe_set(&out->z, 1);
	fe_set(&out->t, 0);
}

// multiples[index], reading all 16 so the memory access does not follow a
// secret index.
void select_multiple(EdPoint *out, const EdPoint multiples[WINDOW], unsigned index)
{
	point_identity(out);
	for (unsigned i = 0; i < WINDOW; i++) {
		unsigned mask = 0u - (((i ^ index) - 1u) >> 31);

		fe_select(&out->x, &multiples[i].x, mask);
		fe_select(&out->y, &multiples[i].y, mask);
		fe_select(&out->z, &multiples[i].z, mask);
		fe_select(&out->t, &multiples[i].t, mask);
	}
}

// x^2 = (y^2 - 1) / (d y^2 + 1) = u / v; RFC 8032 5.1.3 step 3: the candidate
// u v^3 (u v^7)^((p-5)/8) is a root, or sqrt(-1) times one, or there is none.
int recover_x(Fe *x, const Fe *y)
{
	Fe one, u, v, v3, t, check;

	fe_set(&one, 1);
	fe_square(&t, y);
	fe_sub(&u, &t, &one);
	fe_mul(&v, &t, &D);
	fe_add(&v, &v, &one);
	fe_square(&v3, &v);
	fe_mul(&v3, &v3, &v);
	fe_square(&t, &v3);
	fe_mul(&t, &t, &v);
	fe_mul(&t, &t, &u);
	fe_pow_p58(&t, &t);
	fe_mul(&t, &t, &v3);
	fe_mul(x, &t, &u);
	fe_square(&check, x);
	fe_mul(&check, &check, &v);
	if (fe_equal(&check, &u))
		return 1;
	fe_neg(&u, &u);
	if (!fe_equal(&check, &u))
		return 0;
	fe_mul(x, x, &SQRT_M1);
	return 1;
}

} // namespace

void point_base(EdPoint *out)
{
	out->x = BASE_X;
	out->y = BASE_Y;
	fe_set(&out->z, 1);
	fe_mul(&out->t, &BASE_X, &BASE_Y);
}

// RFC 8032 5.1.4, the formula for a = -1; complete, so it also doubles and
// adds the identity, which the fixed window relies on.
void point_add(EdPoint *out, const EdPoint *p, const EdPoint *q)
{
	Fe a, b, c, d, e, f, g, h, s;

	fe_sub(&a, &p->y, &p->x);
	fe_sub(&s, &q->y, &q->x);
	fe_mul(&a, &a, &s);
	fe_add(&b, &p->y, &p->x);
	fe_add(&s, &q->y, &q->x);
	fe_mul(&b, &b, &s);
	fe_mul(&c, &p->t, &D2);
	fe_mul(&c, &c, &q->t);
	fe_add(&d, &p->z, &p->z);
	fe_mul(&d, &d, &q->z);
	fe_sub(&e, &b, &a);
	fe_sub(&f, &d, &c);
	fe_add(&g, &d, &c);
	fe_add(&h, &b, &a);
	fe_mul(&out->x, &e, &f);
	fe_mul(&out->y, &g, &h);
	fe_mul(&out->t, &e, &h);
	fe_mul(&out->z, &f, &g);
}

// RFC 8032 5.1.4 doubling: four squarings and four products.
void point_double(EdPoint *out, const EdPoint *p)
{
	Fe a, b, c, e, f, g, h;

	fe_square(&a, &p->x);
	fe_square(&b, &p->y);
	fe_square(&c, &p->z);
	fe_add(&c, &c, &c);
	fe_add(&h, &a, &b);
	fe_add(&e, &p->x, &p->y);
	fe_square(&e, &e);
	fe_sub(&e, &h, &e);
	fe_sub(&g, &a, &b);
	fe_add(&f, &c, &g);
	fe_mul(&out->x, &e, &f);
	fe_mul(&out->y, &g, &h);
	fe_mul(&out->t, &e, &h);
	fe_mul(&out->z, &f, &g);
}

void point_negate(EdPoint *out, const EdPoint *p)
{
	fe_neg(&out->x, &p->x);
	out->y = p->y;
	out->z = p->z;
	fe_neg(&out->t, &p->t);
}

// From the top nibble down: four doublings, then one addition of a multiple
// 0..15 chosen without a branch; the same work for every scalar.
void point_multiply(EdPoint *out, const unsigned char scalar[32], const EdPoint *p)
{
	EdPoint multiples[WINDOW], chosen;

	point_identity(&multiples[0]);
	multiples[1] = *p;
	for (int i = 2; i < WINDOW; i++)
		point_add(&multiples[i], &multiples[i - 1], p);
	point_identity(out);
	for (int i = 63; i >= 0; i--) {
		for (int k = 0; k < 4; k++)
			point_double(out, out);
		select_multiple(&chosen, multiples, (scalar[i / 2] >> (4 * (i & 1))) & 15);
		point_add(out, out, &chosen);
	}
}

// A decoded y that does not encode back to the same bytes was not below p.
int point_decode(EdPoint *out, const unsigned char encoding[32])
{
	unsigned char again[32];
	int sign = encoding[31] >> 7;

	fe_from_bytes(&out->y, encoding);
	fe_to_bytes(again, &out->y);
	for (int i = 0; i < 31; i++)
		if (again[i] != encoding[i])
			return 0;
	if (again[31] != (encoding[31] & 0x7f))
		return 0;
	if (!recover_x(&out->x, &out->y))
		return 0;
	if (fe_is_zero(&out->x) && sign)
		return 0;
	if (fe_is_negative(&out->x) != sign)
		fe_neg(&out->x, &out->x);
	fe_set(&out->z, 1);
	fe_mul(&out->t, &out->x, &out->y);
	return 1;
}

void point_encode(unsigned char encoding[32], const EdPoint *p)
{
	Fe inverse, x, y;

	fe_invert(&inverse, &p->z);
	fe_mul(&x, &p->x, &inverse);
	fe_mul(&y, &p->y, &inverse);
	fe_to_bytes(encoding, &y);
	encoding[31] |= (unsigned char)(fe_is_negative(&x) << 7);
}

int point_is_small_order(const EdPoint *p)
{
	EdPoint q;

	point_double(&q, p);
	point_double(&q, &q);
	point_double(&q, &q);
	return fe_is_zero(&q.x) && fe_equal(&q.y, &q.z);
}

} // namespace dircast
