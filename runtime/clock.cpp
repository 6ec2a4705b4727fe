// The monotonic clock in milliseconds.
#include "clock.hpp"
#include "kernel.hpp"
#include "sys.hpp"

namespace dircast {

unsigned long monotonic_ms()
{
	timespec now = {0, 0};

	sys::clock_gettime(kernel::CLOCK_MONOTONIC, &now);
	return (unsigned long)now.tv_sec * 1000 + (unsigned long)now.tv_nsec / 1000000;
}

} // namespace dircast
