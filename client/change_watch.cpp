// Waiting for the next turn: the poll interval, cut short by a beacon that
// announces a new manifest hash. Beacons come four times a second, so all
// that queued up during a turn are read at once and only the newest counts.
#include "change_watch.hpp"
#include "discovery.hpp"
#include "../runtime/clock.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

using namespace kernel;

// poll takes an int of milliseconds: long intervals are waited in pieces.
constexpr unsigned WAIT_PIECE_SECONDS = 1000;
constexpr char HASH_FIELD[] = " hash=";

int announced_hash(const char *beacon, unsigned *hash)
{
	const char *last = nullptr;
	int at;

	for (const char *p = beacon; (at = find_text(p, HASH_FIELD)) >= 0; p += at + 1)
		last = p + at + sizeof HASH_FIELD - 1;
	if (!last || *last < '0' || *last > '9')
		return 0;
	*hash = parse_decimal(last);
	return 1;
}

static int from_host(const sockaddr_in *sender, const sockaddr_in *host)
{
	for (int i = 0; i < 4; i++) {
		if (sender->sin_addr[i] != host->sin_addr[i])
			return 0;
	}
	return 1;
}

// Reads every datagram waiting; 1 with the newest hash the host announced.
static int newest_announcement(const sockaddr_in *host, unsigned *hash)
{
	int found = 0;

	for (;;) {
		sockaddr_in sender = IPV4_ANY;
		int length = sizeof sender;
		long r = sys::recvfrom(beacon_listener, beacon_buffer, BEACON_BUFFER_SIZE - 1, MSG_DONTWAIT, &sender,
				       &length);

		if (r < 0)
			return found;
		beacon_buffer[r] = 0;
		if (from_host(&sender, host) && announced_hash(beacon_buffer, hash))
			found = 1;
	}
}

static int worth_a_turn(ChangeWatch *watch, unsigned hash)
{
	if ((watch->synced && hash == watch->synced_hash) || (watch->acted && hash == watch->acted_hash))
		return 0;
	watch->acted = 1;
	watch->acted_hash = hash;
	return 1;
}

static int wait_piece(const sockaddr_in *host, ChangeWatch *watch, unsigned long span)
{
	unsigned long started = monotonic_ms();
	unsigned hash;

	for (;;) {
		unsigned long waited = monotonic_ms() - started;
		pollfd ready = {(int)beacon_listener, POLLIN, 0};

		if (waited >= span)
			return 0;
		if (sys::poll(&ready, 1, (long)(span - waited)) > 0 && newest_announcement(host, &hash) &&
		    worth_a_turn(watch, hash))
			return 1;
	}
}

int change_announced(const sockaddr_in *host, ChangeWatch *watch)
{
	unsigned hash;

	return beacon_listener >= 0 && newest_announcement(host, &hash) && worth_a_turn(watch, hash);
}

// The milliseconds already spent come off the first second waited.
static void sleep_rest(unsigned seconds, unsigned long cut)
{
	timespec pause = {(long)seconds, 0};

	if (cut) {
		pause.tv_sec--;
		pause.tv_nsec = (long)(1000 - cut) * 1000000;
	}
	sys::nanosleep(&pause);
}

int wait_for_change(const sockaddr_in *host, ChangeWatch *watch, unsigned seconds, unsigned long spent_ms)
{
	unsigned long cut = spent_ms % 1000;

	if (spent_ms / 1000 >= seconds)
		return 0;
	seconds -= (unsigned)(spent_ms / 1000);
	if (beacon_listener < 0) {
		sleep_rest(seconds, cut);
		return 0;
	}
	if (change_announced(host, watch))
		return 1;
	while (seconds > 0) {
		unsigned piece = seconds < WAIT_PIECE_SECONDS ? seconds : WAIT_PIECE_SECONDS;

		if (wait_piece(host, watch, piece * 1000ul - cut))
			return 1;
		cut = 0;
		seconds -= piece;
	}
	return 0;
}

} // namespace dircast
