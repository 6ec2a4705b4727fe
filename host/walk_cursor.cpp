// The share walk's explicit stack of levels. Directories are opened by full
// path and links are followed as the --links mode allows. Only the
// innermost levels hold an open directory and its batch: a deep walk costs
// each slot a small record per level, and the descriptors of a few.
#include "link_policy.hpp"
#include "settings.hpp"
#include "walk_cursor.hpp"
#include "../runtime/console.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/path.hpp"
#include "../runtime/text.hpp"

namespace dircast {

static_assert(wire::PATH_LIMIT < WALK_PATH_SIZE, "walk paths hold the longest relative path");

int path_carried(const char *relative)
{
	return check_protocol_path(relative, text_length(relative)) &&
	       find_text(relative, wire::SIZE_FIELD) < 0 && find_text(relative, wire::HASH_FIELD) < 0;
}

static DirScan *scan_of(WalkCursor *w, int depth) { return &w->scans[depth % OPEN_LEVELS]; }
static const DirScan *innermost_scan(const WalkCursor *w) { return &w->scans[w->depth % OPEN_LEVELS]; }

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

static void cut_to_level(WalkCursor *w)
{
	const WalkLevel *level = &w->levels[w->depth];

	cut_paths(w, level->relative_length, level->full_length);
}

static const char *directory_path(const WalkCursor *w)
{
	return w->depth == 0 ? host_settings.share_root : w->full;
}

static int same_directory(const WalkLevel *level, const kernel_stat *st)
{
	return level->dev == st->st_dev && level->ino == st->st_ino;
}

// The level's scan goes to the level OPEN_LEVELS deeper; the level keeps
// the position after the entry the walk went down by.
static void close_outer_level(WalkCursor *w, int depth)
{
	WalkLevel *level = &w->levels[depth];
	DirScan *scan = scan_of(w, depth);

	level->position = scan->position;
	level->closed = 1;
	close_scan(scan);
}

static int open_level(WalkCursor *w, int relative_length, int full_length)
{
	int depth = w->depth + 1;
	WalkLevel *level = &w->levels[depth];
	DirScan *scan = scan_of(w, depth);
	kernel_stat st;

	if (depth >= OPEN_LEVELS && !w->levels[depth - OPEN_LEVELS].closed)
		close_outer_level(w, depth - OPEN_LEVELS);
	if (open_scan(scan, depth == 0 ? host_settings.share_root : w->full, FOLLOW_LINKS) < 0)
		return 0;
	if (sys::fstat(scan->fd, &st) < 0) {
		close_scan(scan);
		return 0;
	}
	w->depth = depth;
	*level = {st.st_dev, st.st_ino, 0, (short)relative_length, (short)full_length, 1, 0};
	return 1;
}

// The level's directory is opened again by its path and must be the one
// the walk left: a directory moved or swapped in the meantime makes the
// listing fail rather than list another tree in its place.
static void reopen_level(WalkCursor *w)
{
	WalkLevel *level = &w->levels[w->depth];
	DirScan *scan = scan_of(w, w->depth);
	kernel_stat st;

	cut_to_level(w);
	level->closed = 0;
	if (open_scan(scan, directory_path(w), FOLLOW_LINKS) >= 0 && sys::fstat(scan->fd, &st) == 0 &&
	    same_directory(level, &st) && resume_scan(scan, scan->fd, level->position) >= 0)
		return;
	fail_scan(scan, -kernel::ESTALE);
}

int walk_start(WalkCursor *w)
{
	int root_length = text_length(host_settings.share_root);

	w->depth = -1;
	w->loop_log_pass = 0;
	learn_share_root();
	if (root_length >= WALK_PATH_SIZE)
		root_length = WALK_PATH_SIZE;
	else
		copy_span(w->full, host_settings.share_root, root_length);
	cut_paths(w, 0, root_length);
	return open_level(w, 0, root_length);
}

int walk_next(WalkCursor *w)
{
	DirScan *scan = scan_of(w, w->depth);

	for (;;) {
		int relative_length = w->levels[w->depth].relative_length;
		int full_length = w->levels[w->depth].full_length;

		cut_paths(w, relative_length, full_length);
		if (!(w->name = next_entry(scan)))
			return 0;
		if (extend_path(w->full, &full_length, w->name) &&
		    extend_path(w->relative, &relative_length, w->name)) {
			cut_paths(w, relative_length, full_length);
			if (path_carried(w->relative))
				return 1;
		}
	}
}

static int on_walk_path(const WalkCursor *w, const kernel_stat *st)
{
	for (int i = 0; i <= w->depth; i++) {
		if (same_directory(&w->levels[i], st))
			return 1;
	}
	return 0;
}

static EntryKind report_loop(const WalkCursor *w)
{
	if (w->loop_log_pass == w->levels[w->depth].pass) {
		log_text("dircast-serve: link loop left out ");
		log_text(w->relative);
		log_text("\n");
	}
	return ENTRY_LOOP;
}

// A regular file by its record needs no look at all; a link is looked at
// only when the mode may leave it out. A directory that cannot be listed is
// taken for a file, as it always was.
EntryKind walk_entry_kind(const WalkCursor *w)
{
	const DirScan *scan = innermost_scan(w);
	kernel_stat st;

	if (entry_is_regular(scan))
		return ENTRY_FILE;
	if ((scan->type == kernel::DT_LNK || scan->type == kernel::DT_UNKNOWN) && !link_followed(scan->fd, w->name))
		return ENTRY_LEFT_OUT;
	if (!probe_directory_at(scan->fd, w->name, FOLLOW_LINKS) || sys::fstatat(scan->fd, w->name, &st, 0) < 0)
		return ENTRY_FILE;
	if (on_walk_path(w, &st) || root_or_ancestor(&st))
		return report_loop(w);
	return ENTRY_DIRECTORY;
}

int walk_descend(WalkCursor *w)
{
	if (w->depth + 1 >= wire::WALK_DEPTH_LIMIT)
		return 0;
	return open_level(w, text_length(w->relative), text_length(w->full));
}

int walk_rewind(WalkCursor *w)
{
	WalkLevel *level = &w->levels[w->depth];
	DirScan *scan = scan_of(w, w->depth);

	cut_to_level(w);
	close_scan(scan);
	if (open_scan(scan, directory_path(w), FOLLOW_LINKS) < 0) {
		w->depth--;
		if (w->depth >= 0 && w->levels[w->depth].closed)
			reopen_level(w);
		return 0;
	}
	level->pass = 2;
	return 1;
}

int walk_listing_failed(const WalkCursor *w) { return scan_failed(innermost_scan(w)); }

void walk_ascend(WalkCursor *w)
{
	close_scan(scan_of(w, w->depth));
	w->depth--;
	if (w->depth >= 0 && w->levels[w->depth].closed)
		reopen_level(w);
}

void walk_close(WalkCursor *w)
{
	while (w->depth >= 0) {
		if (!w->levels[w->depth].closed)
			close_scan(scan_of(w, w->depth));
		w->depth--;
	}
}

// The entry is named, not listed: its kind is looked up as for a
// filesystem that gives no d_type.
static int walk_enter(WalkCursor *w, const char *name)
{
	int relative_length = w->levels[w->depth].relative_length;
	int full_length = w->levels[w->depth].full_length;

	cut_paths(w, relative_length, full_length);
	if (!extend_path(w->full, &full_length, name) || !extend_path(w->relative, &relative_length, name))
		return 0;
	cut_paths(w, relative_length, full_length);
	w->name = name;
	scan_of(w, w->depth)->type = kernel::DT_UNKNOWN;
	return 1;
}

int walk_to_file(WalkCursor *w, char *relative)
{
	char *name = relative;

	if (!walk_start(w))
		return 0;
	for (;;) {
		int slash = find_text(name, "/");
		EntryKind kind;

		if (slash >= 0)
			name[slash] = 0;
		if (!walk_enter(w, name))
			return 0;
		kind = walk_entry_kind(w);
		if (slash < 0)
			return kind == ENTRY_FILE;
		if (kind != ENTRY_DIRECTORY || !walk_descend(w))
			return 0;
		name += slash + 1;
	}
}

} // namespace dircast
