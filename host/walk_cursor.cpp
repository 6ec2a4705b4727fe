// The share walk's explicit stack of directory cursors. Directories are
// opened by full path and links are followed, as every answer walks them.
#include "settings.hpp"
#include "walk_cursor.hpp"
#include "../runtime/path.hpp"
#include "../runtime/text.hpp"

namespace dircast {

int path_carried(const char *relative)
{
	return check_protocol_path(relative, text_length(relative)) &&
	       find_text(relative, wire::SIZE_FIELD) < 0 && find_text(relative, wire::HASH_FIELD) < 0;
}

static WalkLevel *innermost(WalkCursor *w) { return &w->levels[w->depth]; }

// The bound of join_name on a path kept as a prefix: one separator is
// counted whether or not it is added, so the bound is the same for every
// base. A share root too long for the buffer is stored as its length alone,
// which no entry fits beside.
static int extend_path(char *buffer, int *length, const char *name)
{
	int n = text_length(name);

	if (*length + n + 1 >= WALK_PATH_SIZE)
		return 0;
	if (*length > 0 && buffer[*length - 1] != '/')
		buffer[(*length)++] = '/';
	copy_span(buffer + *length, name, n);
	*length += n;
	return 1;
}

static void cut_paths(WalkCursor *w, int relative_length, int full_length)
{
	w->relative[relative_length] = 0;
	if (full_length < WALK_PATH_SIZE)
		w->full[full_length] = 0;
}

static const char *directory_path(const WalkCursor *w)
{
	return w->depth == 0 ? host_settings.share_root : w->full;
}

static int open_level(WalkCursor *w, int relative_length, int full_length)
{
	WalkLevel *level = &w->levels[w->depth + 1];

	if (open_scan(&level->scan, w->depth < 0 ? host_settings.share_root : w->full, FOLLOW_LINKS) < 0)
		return 0;
	w->depth++;
	level->pass = 1;
	level->relative_length = relative_length;
	level->full_length = full_length;
	return 1;
}

int walk_start(WalkCursor *w)
{
	int root_length = text_length(host_settings.share_root);

	w->depth = -1;
	if (root_length >= WALK_PATH_SIZE)
		root_length = WALK_PATH_SIZE;
	else
		copy_span(w->full, host_settings.share_root, root_length);
	cut_paths(w, 0, root_length);
	return open_level(w, 0, root_length);
}

int walk_next(WalkCursor *w)
{
	WalkLevel *level = innermost(w);

	for (;;) {
		int relative_length = level->relative_length;
		int full_length = level->full_length;

		cut_paths(w, relative_length, full_length);
		if (!(w->name = next_entry(&level->scan)))
			return 0;
		if (extend_path(w->full, &full_length, w->name) &&
		    extend_path(w->relative, &relative_length, w->name)) {
			cut_paths(w, relative_length, full_length);
			if (path_carried(w->relative))
				return 1;
		}
	}
}

int walk_entry_is_directory(const WalkCursor *w)
{
	const WalkLevel *level = &w->levels[w->depth];

	return !entry_is_regular(&level->scan) && probe_directory(w->full, FOLLOW_LINKS);
}

int walk_descend(WalkCursor *w)
{
	if (w->depth + 1 >= wire::WALK_DEPTH_LIMIT)
		return 0;
	return open_level(w, text_length(w->relative), text_length(w->full));
}

int walk_rewind(WalkCursor *w)
{
	WalkLevel *level = innermost(w);

	cut_paths(w, level->relative_length, level->full_length);
	close_scan(&level->scan);
	if (open_scan(&level->scan, directory_path(w), FOLLOW_LINKS) < 0) {
		w->depth--;
		return 0;
	}
	level->pass = 2;
	return 1;
}

int walk_listing_failed(const WalkCursor *w) { return scan_failed(&w->levels[w->depth].scan); }

void walk_ascend(WalkCursor *w)
{
	close_scan(&innermost(w)->scan);
	w->depth--;
}

void walk_close(WalkCursor *w)
{
	while (w->depth >= 0)
		walk_ascend(w);
}

} // namespace dircast
