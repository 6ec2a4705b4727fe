// The manifest hash's walk. A directory is folded when it opens, before its
// entries, and walked at once where it is listed; files are folded as the
// walk meets them, their content hashes read a piece at a time.
#include "hash_walk.hpp"
#include "settings.hpp"
#include "../protocol/share_hash.hpp"

namespace dircast {

void start_hash_walk(HashWalk *h, unsigned generation)
{
	h->hashing = 0;
	h->generation = generation;
	h->hash = hash_share_name(host_settings.share_name);
}

HashStep hash_walk_step(HashWalk *h, WalkCursor *w, long *budget, EnteredDirectory entered)
{
	int failed;

	if (h->hashing) {
		h->hashing = !continue_content_hash(&h->content, budget);
	} else if (walk_next(w)) {
		EntryKind kind = walk_entry_kind(w);

		*budget -= WALK_ENTRY_COST;
		if (kind == ENTRY_LEFT_OUT || kind == ENTRY_LOOP)
			return HASH_GOING;
		if (kind == ENTRY_DIRECTORY) {
			if (walk_descend(w)) {
				h->hash = hash_dir_entry(h->hash, w->relative);
				if (entered)
					entered(w->full);
			}
			return HASH_GOING;
		}
		h->hashing = !start_content_hash(&h->content, walk_directory_fd(w), w->name, h->generation);
	} else {
		failed = walk_listing_failed(w);
		walk_ascend(w);
		if (failed)
			return HASH_FAILED;
		return w->depth < 0 ? HASH_DONE : HASH_GOING;
	}
	if (!h->hashing)
		h->hash = hash_file_entry(h->hash, w->relative, h->content.size, h->content.hash);
	return HASH_GOING;
}

void abandon_hash_walk(HashWalk *h)
{
	if (h->hashing)
		abandon_content_hash(&h->content);
	h->hashing = 0;
}

} // namespace dircast
