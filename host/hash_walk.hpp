// The manifest hash's walk, a step at a time: a manifest answer takes it
// before its header, and the change watcher whenever the share changed.
#pragma once

#include "share_file.hpp"
#include "walk_cursor.hpp"

namespace dircast {

struct HashWalk {
	ContentHash content;
	int hashing;          // content is being read for the entry the walk stands at
	unsigned hash;        // the manifest hash folded so far
	unsigned generation;  // the request to the content-hash cache
};

enum HashStep { HASH_GOING, HASH_DONE, HASH_FAILED };

// A directory the walk goes into, by its full path (or null: nobody asks).
using EnteredDirectory = void (*)(const char *full);

// Folds the share name; the cursor must stand at the share root (walk_start).
void start_hash_walk(HashWalk *h, unsigned generation);
// One entry, or a piece of one file's content (charged to *budget). A
// listing that fails anywhere makes the hash meaningless: HASH_FAILED.
HashStep hash_walk_step(HashWalk *h, WalkCursor *w, long *budget, EnteredDirectory entered);
void abandon_hash_walk(HashWalk *h);

} // namespace dircast
