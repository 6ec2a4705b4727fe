// The floor a reader must keep: an answer whose peer takes less than
// READER_FLOOR_BYTES a second, over READER_WINDOW_SECONDS spent waiting on
// it, is dropped. Only time spent waiting for the peer to make room counts,
// never time the host spends on other work, so a reader that keeps up with
// the host is never cut, however busy the host is.
#pragma once

namespace dircast {

constexpr unsigned long READER_WINDOW_SECONDS = 30;
constexpr unsigned long READER_FLOOR_BYTES = 1024;

struct ReaderPace {
	int waiting;                  // the peer's window was full at the last send
	int window_open;              // a window opens at the first wait after the last one closed
	unsigned long waiting_since;  // ms, while waiting
	unsigned long waited_ms;      // in the open window, before the current wait
	unsigned long long taken_at_open;
};

// taken: how many bytes of the answer the peer has taken so far; now: ms.
void start_pace(ReaderPace *pace);
void pace_wait(ReaderPace *pace, unsigned long now, unsigned long long taken);
void pace_resume(ReaderPace *pace, unsigned long now);
// 1 when the open window has lasted its time: pace_too_slow then judges it.
int pace_window_over(const ReaderPace *pace, unsigned long now);
// 1 when the peer took too little in the window; a window that passed is
// closed, and the next wait (or this one, if it goes on) opens another.
int pace_too_slow(ReaderPace *pace, unsigned long now, unsigned long long taken);

} // namespace dircast
