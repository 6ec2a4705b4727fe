// The table of connection slots. Its size is set by the peers it must hold
// at once: a slow reader keeps its slot until the reader floor drops it, and
// a silent peer until its request time runs out.
#include "connection_slots.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"

namespace dircast {

// One connection holds at most its socket, the directories of the walk's
// open levels and the file it reads. A directory that cannot be opened for
// want of a descriptor would be left out of an answer as if it were gone,
// so the limit must cover every slot's worst case.
constexpr unsigned long DESCRIPTORS_PER_SLOT = 2 + OPEN_LEVELS;
// Standard streams, listener, beacon socket, the probe and root check that
// hold one briefly, the change watcher's inotify descriptor and its own walk
// (as many as a slot's), and room for a few inherited ones.
constexpr unsigned long RESERVED_DESCRIPTORS = 32;
// Each waiting peer holds its socket.
constexpr unsigned long HELD_APART = RESERVED_DESCRIPTORS + WAITING_PEERS;
constexpr unsigned long DESCRIPTORS_WANTED = HELD_APART + DESCRIPTORS_PER_SLOT * CONNECTION_SLOTS;

Connection connection_slots[CONNECTION_SLOTS];
int slots_usable = CONNECTION_SLOTS;

// A limit below what is wanted fits in a word, so no 64-bit division.
void fit_slots_to_descriptor_limit()
{
	rlimit64 limit;
	unsigned long have;

	if (sys::prlimit64(0, kernel::RLIMIT_NOFILE, nullptr, &limit) < 0)
		return;
	if (limit.rlim_cur < DESCRIPTORS_WANTED) {
		limit.rlim_cur = limit.rlim_max < DESCRIPTORS_WANTED ? limit.rlim_max : DESCRIPTORS_WANTED;
		sys::prlimit64(0, kernel::RLIMIT_NOFILE, &limit, nullptr);
		sys::prlimit64(0, kernel::RLIMIT_NOFILE, nullptr, &limit);
	}
	if (limit.rlim_cur >= DESCRIPTORS_WANTED)
		return;
	have = (unsigned long)limit.rlim_cur;
	slots_usable = have > HELD_APART + DESCRIPTORS_PER_SLOT ? (int)((have - HELD_APART) / DESCRIPTORS_PER_SLOT) : 1;
}

Connection *free_slot()
{
	for (int i = 0; i < slots_usable; i++) {
		if (!in_use(&connection_slots[i]))
			return &connection_slots[i];
	}
	return nullptr;
}

static int slots_held(unsigned address)
{
	int held = 0;

	for (int i = 0; i < slots_usable; i++)
		held += in_use(&connection_slots[i]) && connection_slots[i].peer == address;
	return held;
}

int slots_shared()
{
	for (int i = 0; i < slots_usable; i++) {
		for (int j = i + 1; in_use(&connection_slots[i]) && j < slots_usable; j++) {
			if (in_use(&connection_slots[j]) && connection_slots[j].peer == connection_slots[i].peer)
				return 1;
		}
	}
	return 0;
}

// Ties between addresses go to the oldest connection among them.
Connection *slot_to_take(unsigned address)
{
	Connection *oldest = nullptr;
	int most = 0;

	for (int i = 0; i < slots_usable; i++) {
		Connection *c = &connection_slots[i];
		int held = in_use(c) ? slots_held(c->peer) : 0;

		if (held > most || (held == most && held && (int)(c->serial - oldest->serial) < 0)) {
			most = held;
			oldest = c;
		}
	}
	return most >= slots_held(address) + 2 ? oldest : nullptr;
}

} // namespace dircast
