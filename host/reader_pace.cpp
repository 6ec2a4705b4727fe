// The floor a reader must keep. A window opens when the host finds the
// peer's window full: what went before filled the socket buffers and says
// nothing of how fast the peer reads. What the peer took is counted by what
// it acknowledged, not by what the host handed the kernel: a large send
// buffer may take nothing for minutes from a reader that reads steadily.
#include "reader_pace.hpp"

namespace dircast {

constexpr unsigned long WINDOW_MS = READER_WINDOW_SECONDS * 1000;

void start_pace(ReaderPace *pace)
{
	pace->waiting = 0;
	pace->window_open = 0;
}

void pace_wait(ReaderPace *pace, unsigned long now, unsigned long long taken)
{
	if (pace->waiting)
		return;
	if (!pace->window_open) {
		pace->window_open = 1;
		pace->waited_ms = 0;
		pace->taken_at_open = taken;
	}
	pace->waiting = 1;
	pace->waiting_since = now;
}

void pace_resume(ReaderPace *pace, unsigned long now)
{
	if (!pace->waiting)
		return;
	pace->waited_ms += now - pace->waiting_since;
	pace->waiting = 0;
}

int pace_window_over(const ReaderPace *pace, unsigned long now)
{
	unsigned long waited = pace->waited_ms + (pace->waiting ? now - pace->waiting_since : 0);

	return pace->window_open && waited >= WINDOW_MS;
}

int pace_too_slow(ReaderPace *pace, unsigned long now, unsigned long long taken)
{
	int waiting = pace->waiting;

	if (taken - pace->taken_at_open < READER_FLOOR_BYTES * READER_WINDOW_SECONDS)
		return 1;
	pace->window_open = 0;
	pace->waiting = 0;
	if (waiting)
		pace_wait(pace, now, taken);
	return 0;
}

} // namespace dircast
