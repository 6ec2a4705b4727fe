// Text, number and append-buffer operations.
#include "text.hpp"

namespace dircast {

int text_length(const char *text)
{
	int n = 0;

	while (text[n])
		n++;
	return n;
}

int starts_with(const char *text, const char *prefix)
{
	for (int i = 0; prefix[i]; i++) {
		if (text[i] != prefix[i])
			return 0;
	}
	return 1;
}

int text_equals(const char *a, const char *b)
{
	int i = 0;

	while (a[i] && a[i] == b[i])
		i++;
	return a[i] == b[i];
}

int find_text(const char *text, const char *pattern)
{
	for (int i = 0; text[i]; i++) {
		if (starts_with(text + i, pattern))
			return i;
	}
	return -1;
}

// Wraps modulo 2^32 by design: a hash written as ten digits reads back exactly.
unsigned parse_decimal(const char *text)
{
	unsigned value = 0;

	for (; *text >= '0' && *text <= '9'; text++)
		value = value * 10 + (unsigned)(*text - '0');
	return value;
}

// The largest file size a kernel reports is 2^63-1 = 922337203685477580 * 10
// + 7; larger values stop there, so overflowing digits never wrap round to
// a small size. Compared, not divided: see append_decimal.
constexpr unsigned long long SIZE_TENTH = 922337203685477580ull;
constexpr unsigned long long SIZE_MAX_VALUE = SIZE_TENTH * 10 + 7;

unsigned long long parse_size(const char *text)
{
	unsigned long long value = 0;

	for (; *text >= '0' && *text <= '9'; text++) {
		unsigned digit = (unsigned)(*text - '0');

		if (value > SIZE_TENTH || (value == SIZE_TENTH && digit > 7))
			return SIZE_MAX_VALUE;
		value = value * 10 + digit;
	}
	return value;
}

void append_char(char *out, int *cursor, char c)
{
	out[(*cursor)++] = c;
}

void append_text(char *out, int *cursor, const char *text)
{
	while (*text)
		out[(*cursor)++] = *text++;
}

void append_bytes(char *out, int *cursor, const char *bytes, int n)
{
	for (int i = 0; i < n; i++)
		out[(*cursor)++] = bytes[i];
}

// A 64-bit division on i386 is a call to libgcc's __udivdi3, which these
// programs do not link: values above 32 bits take their digits by
// subtracting powers of ten from a table; the rest (every hash, nearly every
// size, each a manifest line's worth) divide in hardware.
static constexpr unsigned long long POWERS_OF_TEN[] = {
	10000000000000000000ull, 1000000000000000000ull, 100000000000000000ull, 10000000000000000ull,
	1000000000000000ull, 100000000000000ull, 10000000000000ull, 1000000000000ull, 100000000000ull,
	10000000000ull, 1000000000ull, 100000000ull, 10000000ull, 1000000ull, 100000ull, 10000ull, 1000ull,
	100ull, 10ull,
};

static void append_wide_decimal(char *out, int *cursor, unsigned long long value)
{
	int started = 0;

	for (unsigned long long power : POWERS_OF_TEN) {
		char digit = '0';

		while (value >= power) {
			value -= power;
			digit++;
		}
		if (digit != '0' || started) {
			out[(*cursor)++] = digit;
			started = 1;
		}
	}
	out[(*cursor)++] = (char)('0' + value);
}

void append_decimal(char *out, int *cursor, unsigned long long value)
{
	char digits[10];
	int n = 0;
	unsigned narrow = (unsigned)value;

	if (value > 0xffffffffull) {
		append_wide_decimal(out, cursor, value);
		return;
	}
	do {
		digits[n++] = (char)('0' + narrow % 10);
		narrow /= 10;
	} while (narrow);
	while (n > 0)
		out[(*cursor)++] = digits[--n];
}

char *next_line(char **cursor, char *end)
{
	char *start = *cursor;

	if (start >= end)
		return nullptr;
	for (char *p = start; p < end; p++) {
		if (*p == '\n') {
			*p = 0;
			*cursor = p + 1;
			return start;
		}
	}
	*cursor = end;
	return start;
}

int has_end_marker(const char *buffer, long length)
{
	if (length < 4)
		return 0;
	buffer += length - 4;
	return buffer[0] == 'E' && buffer[1] == 'N' && buffer[2] == 'D' && buffer[3] == '\n';
}

void copy_span(char *out, const char *source, int n)
{
	for (int i = 0; i < n; i++)
		out[i] = source[i];
	out[n] = 0;
}

} // namespace dircast
