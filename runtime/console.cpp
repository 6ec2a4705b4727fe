// Console log. Pieces are gathered into whole lines and each line is one
// write: a sync logs a line for every file, and a write for every piece of
// it was a large part of a small share's first sync. A line longer than the
// buffer goes out in pieces. A failed write is dropped: logging never stops
// a program.
#include "console.hpp"
#include "sys.hpp"
#include "text.hpp"

namespace dircast {

constexpr int LOG_LINE_SIZE = 2048;

static char log_line[LOG_LINE_SIZE];
static int log_used;

void flush_log()
{
	if (log_used > 0)
		sys::write(1, log_line, log_used);
	log_used = 0;
}

void log_text(const char *text)
{
	for (; *text; text++) {
		if (log_used == LOG_LINE_SIZE)
			flush_log();
		log_line[log_used++] = *text;
		if (*text == '\n')
			flush_log();
	}
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
