// Where a walk of the share stands: one open directory per level, from the
// share root down to the directory being read, and the paths of the entry
// last reached. It lives in a connection's slot rather than on the call
// stack, so an answer can stop at any entry and go on in a later turn.
#pragma once

#include "../protocol/wire.hpp"
#include "../runtime/dir.hpp"

namespace dircast {

// Walk path buffers: 511 bytes of path and the NUL.
constexpr int WALK_PATH_SIZE = 512;

struct WalkLevel {
	DirScan scan;
	int pass;             // two-pass walks list each directory twice: 1, then 2
	int relative_length;  // the directory's own paths: these prefixes of the buffers
	int full_length;
};

struct WalkCursor {
	int depth;         // of the innermost open level; -1 once the walk is over
	const char *name;  // the entry last reached, inside the innermost batch
	char relative[WALK_PATH_SIZE];
	char full[WALK_PATH_SIZE];
	WalkLevel levels[wire::WALK_DEPTH_LIMIT];
};

// What one entry of a walk counts against a turn's budget: a few system
// calls, about as dear as reading this many bytes.
constexpr long WALK_ENTRY_COST = 512;

// A relative path that a reader would split wrongly or refuse: readers find
// a record's fields by the first " size=" and " hash=" on its line.
int path_carried(const char *relative);

// Opens the share root as level 0; 0 when it cannot be opened.
int walk_start(WalkCursor *w);
// Moves to the innermost directory's next entry that the protocol can carry,
// its paths in relative and full; 0 at the end of the listing.
int walk_next(WalkCursor *w);
int walk_entry_is_directory(const WalkCursor *w);
// Opens the entry last reached as the new innermost level, at pass 1; 0 when
// it lies at the depth limit or cannot be opened: nothing below it is walked.
int walk_descend(WalkCursor *w);
// Lists the innermost directory afresh for its second pass; 0 when it can no
// longer be opened (the level is then closed).
int walk_rewind(WalkCursor *w);
int walk_listing_failed(const WalkCursor *w);
// The innermost open directory, by which its entries are reached.
inline long walk_directory_fd(const WalkCursor *w) { return w->levels[w->depth].scan.fd; }
// Closes the innermost level; the walk is over when depth is back at -1.
void walk_ascend(WalkCursor *w);
void walk_close(WalkCursor *w);

} // namespace dircast
