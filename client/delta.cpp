// Delta sync in two passes over the manifest: prune what it does not list
// with the same kind, then create its directories and fetch its changed
// files one single-file request each.
#include "delta.hpp"
#include "archive.hpp"
#include "drive_link.hpp"
#include "manifest_index.hpp"
#include "manifest_spool.hpp"
#include "mirror_store.hpp"
#include "settings.hpp"
#include "signed_listing.hpp"
#include "transfers.hpp"
#include "../protocol/signed_listing.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/console.hpp"
#include "../runtime/dir.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/path.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

// Depth 0 is the mirror root. A relative path of 511 bytes has at most 256
// components, the last of them listed at depth 255: every entry a manifest
// can name is examined.
constexpr int PRUNE_DEPTH_LIMIT = (wire::PATH_LIMIT + 1) / 2 - 1;
constexpr int FILE_PATH_AT = 10;
constexpr int DIR_PATH_AT = 9;
constexpr int FIELD_DIGITS_AT = 6;  // " size=" and " hash=" alike

// The spool is read twice, never at once: one reader serves both passes.
static SpoolReader spool_reader;

// One batch and one path serve every level of the prune, so that its stack
// stays small at any depth: a level keeps only its descriptor and, while a
// directory below it is pruned, the position its listing goes on from.
static DirScan prune_scan;
static char prune_relative[RELATIVE_PATH_SIZE];

struct DeltaCounts {
	unsigned changed;
	unsigned skipped;
};

static void prune_level(long parent, const char *name, int length, int depth);

// Entries are reached from their directory's descriptor, never by a path
// from the mirror root, so a link swapped in during the walk is not followed.
// 1 when the walk went below the entry and the shared scan is another's.
static int prune_entry(long dirfd, const char *name, int length, int depth)
{
	int is_directory = !entry_is_regular(&prune_scan) && probe_directory_at(dirfd, name, NO_LINKS);

	if (!path_index_lists(prune_relative, is_directory)) {
		remove_tree(dirfd, name, 0);
		log_text("dircast-mirror: pruned ");
		log_text(prune_relative);
		log_text("\n");
		return 0;
	}
	if (!is_directory)
		return 0;
	prune_level(dirfd, name, length, depth + 1);
	return 1;
}

// The bound of join_name, on the shared path cut back to length.
static int extend_relative(int length, const char *child)
{
	int n = text_length(child);

	if (length + n + 1 >= RELATIVE_PATH_SIZE)
		return -1;
	if (length > 0)
		prune_relative[length++] = '/';
	copy_span(prune_relative + length, child, n);
	return length + n;
}

// Entries are removed while the same directory is still being listed; there
// is no second pass. length: of the directory's own relative path.
static void prune_level(long parent, const char *name, int length, int depth)
{
	const char *child;
	long fd;

	if (depth > PRUNE_DEPTH_LIMIT || open_scan_at(&prune_scan, parent, name, NO_LINKS) < 0)
		return;
	fd = prune_scan.fd;
	while ((child = next_entry(&prune_scan))) {
		long long position = prune_scan.position;
		int child_length = extend_relative(length, child);

		if (child_length < 0)
			continue;
		if (prune_entry(fd, child, child_length, depth) && resume_scan(&prune_scan, fd, position) < 0)
			break;
	}
	sys::close(fd);
}

void prune_listed(const char *root)
{
	prune_relative[0] = 0;
	prune_level(kernel::AT_FDCWD, root, 0, 0);
}

// The index is built from the spooled manifest, read through once; nothing
// is pruned by a manifest that cannot be read back to its end line or that
// lists more than the index holds.
int index_spooled_manifest()
{
	SpoolReader *reader = &spool_reader;
	const char *line;
	int ended;

	clear_path_index();
	if (!open_spool(reader))
		return 0;
	while ((line = next_spool_line(reader)))
		index_record_line(line);
	ended = reader->ended;
	close_spool(reader);
	return ended && !path_index_overflowed();
}

// Every failure here counts as a change, so the file is fetched. Only a
// proved stamp spares the read: one taken on trust is read and proved here.
int file_unchanged(const char *relative, unsigned long long size, unsigned hash)
{
	kernel_stat st;
	long fd;
	int unchanged;

	if (!check_mirror_path(relative, text_length(relative)))
		return 0;
	if (confined_stat(client_settings.mirror_root, relative, &st) == 0 &&
	    (st.st_mode & kernel::S_IFMT) == kernel::S_IFREG && stamp_shows(&st, size, hash) && !stamp_trusted(&st))
		return 1;
	// Non-blocking, so that a FIFO in the mirror cannot hold the turn; only a
	// regular file can be a copy of the share's file.
	fd = confined_open_file(client_settings.mirror_root, relative, kernel::O_RDONLY | kernel::O_NONBLOCK, 0);
	if (fd < 0)
		return 0;
	if (sys::fstat(fd, &st) < 0 || (st.st_mode & kernel::S_IFMT) != kernel::S_IFREG) {
		sys::close(fd);
		return 0;
	}
	// Read through once; a copy that proves whole is stamped for next time.
	unchanged = prove_file(fd, size, hash) == PROOF_MATCHES;
	sys::close(fd);
	return unchanged;
}

static void update_dir(const char *relative)
{
	if (check_mirror_path(relative, text_length(relative)) && mirror_can_hold(relative) &&
	    confined_mkdir(client_settings.mirror_root, relative) < 0)
		note_mirror_fault();
}

int read_file_record(const char *line, char *relative, unsigned long long *size, unsigned *hash)
{
	int s = find_text(line, wire::SIZE_FIELD);
	int h = find_text(line, wire::HASH_FIELD);

	if (!starts_with(line, wire::FILE_RECORD) || s <= FILE_PATH_AT || h <= s)
		return 0;
	if (!check_protocol_path(line + FILE_PATH_AT, s - FILE_PATH_AT))
		return -1;
	copy_span(relative, line + FILE_PATH_AT, s - FILE_PATH_AT);
	*size = parse_size(line + s + FIELD_DIGITS_AT);
	*hash = parse_decimal(line + h + FIELD_DIGITS_AT);
	return mirror_can_hold(relative);
}

// An empty file needs nothing from the host. The host lists entries it
// cannot send (unreadable files, broken links, FIFOs) so too, and never
// sends them: asking would fail the delta on every turn, for ever.
static int make_empty_file(const char *relative)
{
	IncomingFile file;

	if (begin_mirror_file(&file, relative))
		end_mirror_file(&file);
	return 0;
}

// A file record line: -1 when its fetch failed, else 0.
static int update_file(sockaddr_in *host, const char *line, DeltaCounts *counts)
{
	char relative[RELATIVE_PATH_SIZE];
	unsigned long long size;
	unsigned hash;
	ArchiveApply apply;
	ReplySink sink = {apply_piece, &apply, 0};
	long fetched;
	int record = read_file_record(line, relative, &size, &hash);

	if (record < 0)
		log_text("dircast-mirror: rejected unsafe path\n");
	if (record <= 0)
		return 0;
	if (file_unchanged(relative, size, hash)) {
		counts->skipped++;
		return 0;
	}
	counts->changed++;
	if (size == 0)
		return make_empty_file(relative);
	sink.expected = size;
	start_archive(&apply, relative);
	apply.wanted_record = line;
	fetched = fetch_file(host, relative, &sink);
	if (!finish_archive(&apply) && fetched >= 0) {
		log_text("dircast-mirror: changed file not in reply ");
		log_text(relative);
		log_text("\n");
		return -1;
	}
	return fetched < 0 ? -1 : 0;
}

static void log_summary(const DeltaCounts *counts)
{
	log_text("dircast-mirror: delta changed files ");
	log_number(counts->changed);
	log_text(" skipped ");
	log_number(counts->skipped);
	log_text("\n");
}

// The update pass reads the spool a second time, once it is known to hold
// the manifest from its magic to its end line.
static int update_from_spool(sockaddr_in *host, DeltaCounts *counts)
{
	SpoolReader *reader = &spool_reader;
	const char *line;
	int failed = 0;

	if (!open_spool(reader)) {
		log_text("dircast-mirror: manifest header missing\n");
		return 0;
	}
	while ((line = next_spool_line(reader)) && line[0])
		;
	begin_mirror_pass();
	while (!failed && (line = next_spool_line(reader))) {
		if (starts_with(line, wire::DIR_RECORD))
			update_dir(line + DIR_PATH_AT);
		else if (starts_with(line, wire::FILE_RECORD))
			failed = update_file(host, line, counts) < 0;
	}
	end_mirror_pass();
	close_spool(reader);
	return !failed;
}

int delta_sync(sockaddr_in *host)
{
	const char *root = client_settings.mirror_root;
	DeltaCounts counts = {0, 0};

	make_dir(c_drive_path());
	make_parent_dirs(root);
	make_dir(root);
	if (!pinned_mirror() && index_spooled_manifest())
		prune_listed(root);
	if (!update_from_spool(host, &counts))
		return 0;
	// A pinned mirror prunes only once every file it fetched verified: a
	// turn that met a forged file leaves the mirror as it was.
	if (pinned_mirror() && !verification_failed() && index_spooled_manifest())
		prune_listed(root);
	map_drive();
	log_summary(&counts);
	return 1;
}

} // namespace dircast
