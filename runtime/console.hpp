// Console log: progress lines on standard output, each piece one write.
#pragma once

namespace dircast {

void log_text(const char *text);
void log_number(unsigned long long value);

} // namespace dircast
