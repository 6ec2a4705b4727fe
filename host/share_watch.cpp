// The share watch. Events only mark the share dirty; the walk that follows
// both computes the hash and (re)adds a watch on every directory it enters,
// so directories made, moved in or renamed are watched from then on without
// any bookkeeping of our own: the kernel drops the watches of directories
// that go, and adding one twice keeps the first.
#include "hash_cache.hpp"
#include "hash_walk.hpp"
#include "settings.hpp"
#include "share_watch.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"

namespace dircast {

using namespace kernel;

// Writers make bursts of events (a copy, an unpack, a save that writes
// twice); the hash is taken once they have been quiet this long.
constexpr long SETTLE_MS = 200;
// A share that never goes quiet (a log appended to ten times a second) is
// still walked this long after the first change not yet announced.
constexpr long SETTLE_LIMIT_MS = 1000;
// Without events, the share is walked this often.
constexpr long FALLBACK_WALK_MS = 5000;
// A walk's share of one loop turn, in bytes read (an entry counts 512).
constexpr long WALK_BUDGET_PER_TURN = 262144;
constexpr unsigned WATCHED_EVENTS = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
				    IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// Filesystems whose changes may be made by other machines, which inotify
// never hears of: NFS, SMB, SMB2, CIFS, FUSE, 9P, Ceph.
constexpr unsigned long REMOTE_FILESYSTEMS[] = {0x6969, 0x517B, 0xFE534D42, 0xFF534D42,
						0x65735546, 0x01021997, 0x00C36400};
constexpr int EVENT_BUFFER_SIZE = 16384;

struct ShareWatch {
	long fd;               // inotify, or -1
	int polling;           // no events to be had: walks on a timer
	int dirty;             // something changed since the last walk began
	unsigned long dirty_since;
	int walking;
	unsigned long due;     // when the next walk may start
	int known;
	unsigned hash;         // the last completed walk's
	HashWalk hashed;
	WalkCursor walk;
};

static ShareWatch watch = {-1, 0, 0, 0, 0, 0, 0, 0, {}, {}};

static void add_watch(const char *full)
{
	if (watch.fd >= 0 && sys::inotify_add_watch(watch.fd, full, WATCHED_EVENTS) == -ENOSPC)
		watch.polling = 1;  // the per-user limit: from now on, the timer
}

static int remote_filesystem(const char *root)
{
	long fd = sys::open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	unsigned long type = 0;
	int remote = 0;

	if (fd < 0)
		return 0;
	if (sys::fstatfs_type(fd, &type) == 0) {
		for (unsigned long magic : REMOTE_FILESYSTEMS)
			remote |= (type & 0xffffffffu) == magic;
	}
	sys::close(fd);
	return remote;
}

void start_share_watch()
{
	watch.fd = sys::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
	watch.polling = watch.fd < 0 || remote_filesystem(host_settings.share_root);
	watch.dirty = 1;
	watch.due = 0;
}

long share_watch_fd()
{
	return watch.fd;
}

// The timer's next walk is set as each walk begins; events set their own.
// A root that cannot be listed is looked at again on the timer.
static void begin_walk(unsigned long now)
{
	watch.dirty = 0;
	watch.due = now + FALLBACK_WALK_MS;
	add_watch(host_settings.share_root);
	if (!walk_start(&watch.walk)) {
		watch.dirty = 1;
		return;
	}
	start_hash_walk(&watch.hashed, begin_cache_request());
	watch.walking = 1;
}

// 1 when the walk ended with a hash other than the one announced.
static int continue_walk()
{
	long budget = WALK_BUDGET_PER_TURN;
	HashStep step = HASH_GOING;

	while (step == HASH_GOING && budget > 0)
		step = hash_walk_step(&watch.hashed, &watch.walk, &budget, add_watch);
	if (step == HASH_GOING)
		return 0;
	watch.walking = 0;
	abandon_hash_walk(&watch.hashed);
	walk_close(&watch.walk);
	if (step == HASH_FAILED || (watch.known && watch.hashed.hash == watch.hash))
		return 0;
	watch.known = 1;
	watch.hash = watch.hashed.hash;
	return 1;
}

// Only that something happened matters, not what: the events are read and
// dropped. An overflowed queue says the same.
static int drain_events()
{
	char events[EVENT_BUFFER_SIZE] __attribute__((aligned(8)));
	int any = 0;

	while (sys::read(watch.fd, events, sizeof events) > 0)
		any = 1;
	return any;
}

int tend_share_watch(short revents, unsigned long now)
{
	if ((revents & POLLIN) && drain_events()) {
		if (!watch.dirty)
			watch.dirty_since = now;
		watch.dirty = 1;
		watch.due = now + SETTLE_MS;
		if ((long)(watch.due - (watch.dirty_since + SETTLE_LIMIT_MS)) > 0)
			watch.due = watch.dirty_since + SETTLE_LIMIT_MS;
	}
	if (watch.polling && !watch.walking && (long)(now - watch.due) >= 0)
		watch.dirty = 1;
	if (!watch.walking && watch.dirty && (long)(now - watch.due) >= 0)
		begin_walk(now);
	return watch.walking && continue_walk();
}

long share_watch_wait(unsigned long now)
{
	long until = (long)(watch.due - now);

	if (watch.walking)
		return 0;
	if (!watch.dirty && !watch.polling)
		return -1;
	return until > 0 ? until : 0;
}

int announced_share_hash(unsigned *hash)
{
	*hash = watch.hash;
	return watch.known;
}

} // namespace dircast
