// The monotonic clock in milliseconds, for timers and rates.
#pragma once

namespace dircast {

// Milliseconds that wrap (after 49 days on i386); only differences are used.
unsigned long monotonic_ms();

} // namespace dircast
