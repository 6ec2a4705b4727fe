// Where a walk of the share stands: every level from the share root down to
// the directory being read, and the paths of the entry last reached. It
// lives in a connection's slot rather than on the call stack, so an answer
// can stop at any entry and go on in a later turn.
#pragma once

#include "../protocol/wire.hpp"
#include "../runtime/dir.hpp"

namespace dircast {

// Walk path buffers: 511 bytes of path and the NUL.
constexpr int WALK_PATH_SIZE = 512;
// Only this many innermost levels keep their directory open with its
// getdents batch; a level above them is closed, and reopened by its path
// when the walk comes back to it. Each open level costs a descriptor and a
// batch, so these few bound both whatever the depth; a closed level costs
// its WalkLevel alone.
constexpr int OPEN_LEVELS = 4;

struct WalkLevel {
	unsigned long long dev;  // the directory's identity: the loop check, and
	unsigned long long ino;  // the proof that a reopened path is still it
	long long position;      // where a closed level's listing goes on
	short relative_length;   // the directory's own paths: these prefixes of the buffers
	short full_length;
	char pass;               // two-pass walks list each directory twice: 1, then 2
	char closed;             // its scan was given to a deeper level
};

struct WalkCursor {
	int depth;          // of the innermost level; -1 once the walk is over
	int loop_log_pass;  // the pass whose left-out loops are logged, or 0
	const char *name;   // the entry last reached, inside the innermost batch
	char relative[WALK_PATH_SIZE];
	char full[WALK_PATH_SIZE];
	DirScan scans[OPEN_LEVELS];  // level n's while open: scans[n % OPEN_LEVELS]
	WalkLevel levels[wire::WALK_DEPTH_LIMIT];
};

// What one entry of a walk counts against a turn's budget: a few system
// calls, about as dear as reading this many bytes.
constexpr long WALK_ENTRY_COST = 512;

// How the walks take an entry. Left out: a link that the --links mode does
// not follow; a loop: a link (or mount) into the share root, one of its
// ancestors or a directory on the walk's own path. Neither is listed.
enum EntryKind { ENTRY_FILE, ENTRY_DIRECTORY, ENTRY_LEFT_OUT, ENTRY_LOOP };

// A relative path that a reader would split wrongly or refuse: readers find
// a record's fields by the first " size=" and " hash=" on its line.
int path_carried(const char *relative);

// Opens the share root as level 0; 0 when it cannot be opened.
int walk_start(WalkCursor *w);
// Moves to the innermost directory's next entry that the protocol can carry,
// its paths in relative and full; 0 at the end of the listing.
int walk_next(WalkCursor *w);
// Logs a loop once per walk pass that asks for it (loop_log_pass).
EntryKind walk_entry_kind(const WalkCursor *w);
// Opens the entry last reached as the new innermost level, at pass 1; 0 when
// it lies at the depth limit or cannot be opened: nothing below it is walked.
int walk_descend(WalkCursor *w);
// Lists the innermost directory afresh for its second pass; 0 when it can no
// longer be opened (the level is then closed).
int walk_rewind(WalkCursor *w);
int walk_listing_failed(const WalkCursor *w);
// The innermost directory, by which its entries are reached.
inline long walk_directory_fd(const WalkCursor *w) { return w->scans[w->depth % OPEN_LEVELS].fd; }
// Closes the innermost level; the walk is over when depth is back at -1.
// A closed parent is reopened: if it is gone or another directory now, its
// listing reads as failed.
void walk_ascend(WalkCursor *w);
void walk_close(WalkCursor *w);
// Walks from the share root to the file at the relative path (which it
// cuts into components), as the listing would reach it; 1 when the listing
// would list it as a file, the walk then standing at it.
int walk_to_file(WalkCursor *w, char *relative);

} // namespace dircast
