// Console log. A failed write is dropped: logging never stops a program.
#include "console.hpp"
#include "sys.hpp"
#include "text.hpp"

namespace dircast {

void log_text(const char *text)
{
	sys::write(1, text, text_length(text));
}

void log_number(unsigned long long value)
{
	char digits[21];
	int n = 0;

	append_decimal(digits, &n, value);
	digits[n] = 0;
	log_text(digits);
}

} // namespace dircast
