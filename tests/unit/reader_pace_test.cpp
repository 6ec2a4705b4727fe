// The reader floor: which peers lose their answer, and which never do.
#include "host/reader_pace.hpp"

#include <gtest/gtest.h>

using namespace dircast;

namespace {

// A peer reading steadily at bytes_per_second while the host waits on it for
// wait_ms and then does other work for busy_ms, over and over; the answer
// began with a burst that filled the socket buffers. Returns the second at
// which the answer was dropped, or 0 if it never was within twenty minutes.
struct Peer {
	const char *name;
	unsigned long long bytes_per_second;
	unsigned long wait_ms;
	unsigned long busy_ms;
	unsigned long earliest, latest;  // s, when it must be dropped; 0, 0: never
	unsigned long stops_at = 0;      // s after which it takes nothing, or 0
};

unsigned long long taken_by(const Peer &peer, unsigned long now)
{
	unsigned long reading = peer.stops_at && now - 1000 > peer.stops_at * 1000 ? peer.stops_at * 1000 : now - 1000;

	return (4 << 20) + peer.bytes_per_second * reading / 1000;
}

unsigned long drop_second(const Peer &peer)
{
	ReaderPace pace;
	unsigned long now = 1000;

	start_pace(&pace);
	while (now < 1200000) {
		pace_wait(&pace, now, taken_by(peer, now));
		for (unsigned long waited = 0; waited < peer.wait_ms; waited += 250) {
			now += 250;
			if (pace_window_over(&pace, now) && pace_too_slow(&pace, now, taken_by(peer, now)))
				return (now - 1000) / 1000;
		}
		pace_resume(&pace, now);
		now += peer.busy_ms;
	}
	return 0;
}

const Peer PEERS[] = {
	{"takes nothing after the burst", 0, 1000000, 0, 30, 30},
	{"takes 512 B/s", 512, 1000000, 0, 30, 30},
	{"takes 1 KiB/s, the floor itself", 1024, 1000000, 0, 0, 0},
	{"takes 2 KiB/s", 2048, 1000000, 0, 0, 0},
	// Waiting 1 s in 21: its 30 s of waiting take ten minutes.
	{"takes nothing, in short waits between long busy spells", 0, 1000, 20000, 600, 630},
	{"fast, with the host waiting a moment now and then", 10 << 20, 250, 50, 0, 0},
	// Each window it passed closes; a new one opens on the stall.
	{"fast for a minute, then takes nothing", 10 << 20, 1000000, 0, 90, 90, 60},
};

TEST(ReaderPace, OnlyReadersBelowTheFloorAreDroppedAfterTheirWindow)
{
	for (const Peer &peer : PEERS) {
		unsigned long at = drop_second(peer);
		EXPECT_GE(at, peer.earliest) << peer.name;
		EXPECT_LE(at, peer.latest) << peer.name;
	}
}

} // namespace
