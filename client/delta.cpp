// Delta sync in two passes over the manifest: prune what it does not list
// with the same kind, then create its directories and fetch its changed
// files one single-file request each.
#include "delta.hpp"
#include "archive.hpp"
#include "drive_link.hpp"
#include "manifest_index.hpp"
#include "mirror_store.hpp"
#include "settings.hpp"
#include "transfers.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/console.hpp"
#include "../runtime/dir.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/path.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

// Depth 0 is the mirror root: entries of up to nine components are examined.
constexpr int PRUNE_DEPTH_LIMIT = 8;
constexpr int FILE_PATH_AT = 10;
constexpr int DIR_PATH_AT = 9;
constexpr int FIELD_DIGITS_AT = 6;  // " size=" and " hash=" alike

struct DeltaCounts {
	unsigned changed;
	unsigned skipped;
};

int manifest_lists(const char *relative, int is_directory)
{
	return manifest_index_lists(relative, is_directory);
}

static void prune_level(long parent, const char *name, const char *relative, int depth);

// Entries are reached from their directory's descriptor, never by a path
// from the mirror root, so a link swapped in during the walk is not followed.
static void prune_entry(const DirScan *scan, const char *name, const char *relative, int depth)
{
	int is_directory = !entry_is_regular(scan) && probe_directory_at(scan->fd, name, NO_LINKS);

	if (!manifest_lists(relative, is_directory)) {
		remove_tree(scan->fd, name, 0);
		log_text("dircast-mirror: pruned ");
		log_text(relative);
		log_text("\n");
	} else if (is_directory) {
		prune_level(scan->fd, name, relative, depth + 1);
	}
}

// Entries are removed while the same directory is still being listed; there
// is no second pass.
static void prune_level(long parent, const char *name, const char *relative, int depth)
{
	char child_relative[RELATIVE_PATH_SIZE];
	DirScan scan;
	const char *child;

	if (depth > PRUNE_DEPTH_LIMIT || open_scan_at(&scan, parent, name, NO_LINKS) < 0)
		return;
	while ((child = next_entry(&scan))) {
		if (join_name(child_relative, RELATIVE_PATH_SIZE, relative, child))
			prune_entry(&scan, child, child_relative, depth);
	}
	close_scan(&scan);
}

// The walk starts by indexing the manifest, which it reads untouched: one
// pass over the manifest and one over the mirror, whatever their sizes.
void prune_against_manifest(const char *root)
{
	index_manifest();
	prune_level(kernel::AT_FDCWD, root, "", 0);
}

// Every failure here counts as a change, so the file is fetched.
int file_unchanged(const char *relative, unsigned long long size, unsigned hash)
{
	unsigned local_size;
	unsigned local_hash;
	kernel_stat st;
	long fd;

	if (!check_mirror_path(relative, text_length(relative)))
		return 0;
	// Non-blocking, so that a FIFO in the mirror cannot hold the turn; only a
	// regular file can be a copy of the share's file.
	fd = confined_open_file(client_settings.mirror_root, relative, kernel::O_RDONLY | kernel::O_NONBLOCK, 0);
	if (fd < 0)
		return 0;
	if (sys::fstat(fd, &st) < 0 || (st.st_mode & kernel::S_IFMT) != kernel::S_IFREG) {
		sys::close(fd);
		return 0;
	}
	local_hash = hash_local_file(fd, &local_size);
	return local_size == size && local_hash == hash;
}

static void update_dir(const char *relative)
{
	if (check_mirror_path(relative, text_length(relative)) && mirror_can_hold(relative) &&
	    confined_mkdir(client_settings.mirror_root, relative) < 0)
		note_mirror_fault();
}

// A file record line: -1 when its fetch failed, else 0. Lines without
// " size=" after the path and " hash=" after that are not records.
static int update_file(sockaddr_in *host, const char *line, DeltaCounts *counts)
{
	char relative[RELATIVE_PATH_SIZE];
	int s = find_text(line, wire::SIZE_FIELD);
	int h = find_text(line, wire::HASH_FIELD);
	long length;

	if (s <= FILE_PATH_AT || h <= s)
		return 0;
	if (!check_protocol_path(line + FILE_PATH_AT, s - FILE_PATH_AT)) {
		log_text("dircast-mirror: rejected unsafe path\n");
		return 0;
	}
	copy_span(relative, line + FILE_PATH_AT, s - FILE_PATH_AT);
	if (!mirror_can_hold(relative))
		return 0;
	if (file_unchanged(relative, parse_size(line + s + FIELD_DIGITS_AT),
			   parse_decimal(line + h + FIELD_DIGITS_AT))) {
		counts->skipped++;
		return 0;
	}
	length = fetch_file(host, relative);
	if (length < 0)
		return -1;
	if (!apply_archive(length, relative)) {
		log_text("dircast-mirror: changed file not in reply ");
		log_text(relative);
		log_text("\n");
		return -1;
	}
	counts->changed++;
	return 0;
}

static void log_summary(const DeltaCounts *counts)
{
	log_text("dircast-mirror: delta changed files ");
	log_number(counts->changed);
	log_text(" skipped ");
	log_number(counts->skipped);
	log_text("\n");
}

int delta_sync(sockaddr_in *host)
{
	const char *root = client_settings.mirror_root;
	DeltaCounts counts = {0, 0};
	int failed = 0;
	char *cursor = manifest_buffer;
	char *end = manifest_buffer + manifest_length;
	char *line;

	make_dir(c_drive_path());
	make_parent_dirs(root);
	make_dir(root);
	prune_against_manifest(root);
	line = next_line(&cursor, end);
	if (!line || !starts_with(line, wire::MANIFEST_MAGIC)) {
		log_text("dircast-mirror: manifest header missing\n");
		return 0;
	}
	while ((line = next_line(&cursor, end)) && line[0])
		;
	begin_mirror_pass();
	while (!failed && (line = next_line(&cursor, end)) && !starts_with(line, "END")) {
		if (starts_with(line, wire::DIR_RECORD))
			update_dir(line + DIR_PATH_AT);
		else if (starts_with(line, wire::FILE_RECORD))
			failed = update_file(host, line, &counts) < 0;
	}
	end_mirror_pass();
	if (failed)
		return 0;
	map_drive();
	log_summary(&counts);
	return 1;
}

} // namespace dircast
