// Texts of the signed listing shared by the host that writes it and the
// mirror that checks it.
#include "signed_listing.hpp"
#include "../runtime/text.hpp"

namespace dircast {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

void append_hex(char *out, int *cursor, const unsigned char *bytes, int count)
{
	for (int i = 0; i < count; i++) {
		append_char(out, cursor, HEX_DIGITS[bytes[i] >> 4]);
		append_char(out, cursor, HEX_DIGITS[bytes[i] & 15]);
	}
}

static int hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	return -1;
}

// One spelling per value: upper case is refused, so a listing's bytes, and
// the digest the signature covers, have one form.
int parse_hex(const char *text, unsigned char *bytes, int count)
{
	for (int i = 0; i < count; i++) {
		int high = hex_value(text[2 * i]);
		int low = high < 0 ? -1 : hex_value(text[2 * i + 1]);

		if (low < 0)
			return 0;
		bytes[i] = (unsigned char)(high << 4 | low);
	}
	return text[2 * count] == 0;
}

int record_digest(const char *line, int length, unsigned char digest[SHA256_SIZE])
{
	const char *field = line + length - DIGEST_FIELD_SIZE;

	return length > DIGEST_FIELD_SIZE && starts_with(field, wire::SHA256_FIELD) &&
	       parse_hex(field + sizeof wire::SHA256_FIELD - 1, digest, SHA256_SIZE);
}

int compose_statement(char *out, const char *name, int name_length, unsigned hash, unsigned long long sequence,
		      const unsigned char listing_digest[SHA256_SIZE])
{
	int n = 0;

	if (name_length > STATEMENT_NAME_LIMIT)
		return 0;
	append_text(out, &n, wire::STATEMENT_MAGIC);
	append_text(out, &n, "\nname=");
	append_bytes(out, &n, name, name_length);
	append_text(out, &n, "\nhash=");
	append_decimal(out, &n, hash);
	append_text(out, &n, "\nsequence=");
	append_decimal(out, &n, sequence);
	append_text(out, &n, "\nlisting=");
	append_hex(out, &n, listing_digest, SHA256_SIZE);
	append_char(out, &n, '\n');
	return n;
}

} // namespace dircast
