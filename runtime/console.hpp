// Console log: progress lines on standard output, each line one write.
#pragma once

namespace dircast {

void log_text(const char *text);
void log_number(unsigned long long value);
// Writes out a line not yet ended; the process exit does.
void flush_log();

} // namespace dircast
