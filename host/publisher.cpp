// The tree publisher: manifest, full archive and single-file archive. All
// three walk the share root with the same frame: depth-limited, links
// followed, entries the protocol cannot carry left out with all below them.
#include "hash_cache.hpp"
#include "publisher.hpp"
#include "send_buffer.hpp"
#include "settings.hpp"
#include "share_file.hpp"
#include "../protocol/share_hash.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/console.hpp"
#include "../runtime/dir.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/path.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

// Walk path buffers: 511 bytes of path and the NUL.
constexpr int WALK_PATH_SIZE = 512;
// A single-file request joins up to 511 request bytes under the share root.
constexpr int REQUEST_PATH_SIZE = 768;

// An entry of the directory being walked: reached by name from the
// directory's own descriptor (a short lookup), or by its full path.
struct ChildPaths {
	long dirfd;
	const char *name;
	char full[WALK_PATH_SIZE];
	char relative[WALK_PATH_SIZE];
};

// A relative path that a reader would split wrongly or refuse: readers find
// a record's fields by the first " size=" and " hash=" on its line.
static int path_carried(const char *relative)
{
	return check_protocol_path(relative, text_length(relative)) &&
	       find_text(relative, wire::SIZE_FIELD) < 0 && find_text(relative, wire::HASH_FIELD) < 0;
}

static int join_child(ChildPaths *child, const DirScan *scan, const char *full, const char *relative,
		      const char *name)
{
	child->dirfd = scan->fd;
	child->name = name;
	return join_name(child->full, WALK_PATH_SIZE, full, name) &&
	       join_name(child->relative, WALK_PATH_SIZE, relative, name) && path_carried(child->relative);
}

static int child_is_directory(const DirScan *scan, const ChildPaths *child)
{
	return !entry_is_regular(scan) && probe_directory(child->full, FOLLOW_LINKS);
}

// 0 when a listing failed on the way: the hash would then describe a share
// with entries missing. A directory that cannot be opened below the root is
// hashed as the file it is listed as.
static int hash_tree(unsigned *state, const char *full, const char *relative, int depth)
{
	DirScan scan;
	ChildPaths child;
	const char *name;
	int ok = 1;

	if (depth >= wire::WALK_DEPTH_LIMIT)
		return 1;
	if (open_scan(&scan, full, FOLLOW_LINKS) < 0)
		return depth > 0;
	if (relative[0])
		*state = hash_dir_entry(*state, relative);
	while (ok && (name = next_entry(&scan))) {
		unsigned long long size;
		unsigned content;

		if (!join_child(&child, &scan, full, relative, name))
			continue;
		if (child_is_directory(&scan, &child)) {
			ok = hash_tree(state, child.full, child.relative, depth + 1);
			continue;
		}
		content = hash_file_content(child.dirfd, child.name, &size);
		*state = hash_file_entry(*state, child.relative, size, content);
	}
	ok = ok && !scan_failed(&scan);
	close_scan(&scan);
	return ok;
}

int compute_manifest_hash(unsigned *hash)
{
	*hash = hash_share_name(host_settings.share_name);
	return hash_tree(hash, host_settings.share_root, "", 0);
}

// A share root that cannot be listed (a disk not mounted yet, a typo) would
// read at every mirror as a share whose files were all deleted, and a
// listing that fails half way as the loss of the rest: such answers are cut
// instead, without their end marker, so mirrors keep what they have. An
// existing empty root is an empty share.
static int share_root_available(Reply *reply)
{
	long fd = sys::open(host_settings.share_root, kernel::O_RDONLY | kernel::O_DIRECTORY);

	if (fd >= 0) {
		sys::close(fd);
		return 1;
	}
	log_text("dircast-serve: share root unavailable\n");
	reply_cut(reply);
	return 0;
}

static void send_line(Reply *reply, int length)
{
	send_buffer[length] = 0;
	reply_bytes(reply, send_buffer, length);
}

// "file path=<relative> size=<size>", the start of both kinds of file record.
static int compose_file_record(const char *relative, unsigned long long size)
{
	int n = 0;

	append_text(send_buffer, &n, wire::FILE_RECORD);
	append_text(send_buffer, &n, relative);
	append_text(send_buffer, &n, wire::SIZE_FIELD);
	append_decimal(send_buffer, &n, size);
	return n;
}

static void send_manifest_file_record(Reply *reply, const ChildPaths *child)
{
	unsigned long long size;
	unsigned content = hash_file_content(child->dirfd, child->name, &size);
	int n = compose_file_record(child->relative, size);

	append_text(send_buffer, &n, wire::HASH_FIELD);
	append_decimal(send_buffer, &n, content);
	append_char(send_buffer, &n, '\n');
	send_line(reply, n);
}

// Streams exactly size bytes. A file that yields fewer (shrunk, or a read
// error) would leave the reader misaligned on the next record, so the answer
// is cut there instead and the reader sees it incomplete.
static void send_file_content(Reply *reply, long fd, unsigned long long size)
{
	unsigned long long remaining = size;

	while (remaining > 0 && !reply_broken(reply)) {
		long want = remaining < FILE_BUFFER_SIZE ? remaining : FILE_BUFFER_SIZE;
		long n = sys::read(fd, file_buffer, want);

		if (n < 1) {
			reply_cut(reply);
			return;
		}
		reply_bytes(reply, file_buffer, n);
		remaining -= (unsigned long long)n;
	}
	reply_text(reply, wire::FILE_TRAILER);
}

static void send_file_record(Reply *reply, long dirfd, const char *name, const char *relative)
{
	kernel_stat st;
	long fd = open_share_file(dirfd, name, &st);
	unsigned long long size;
	int n;

	if (fd < 0)
		return;
	size = (unsigned long long)st.st_size;
	log_text("dircast-serve: sending file ");
	log_text(relative);
	log_text("\n");
	n = compose_file_record(relative, size);
	append_char(send_buffer, &n, '\n');
	send_line(reply, n);
	send_file_content(reply, fd, size);
	sys::close(fd);
}

static void send_archive_file_record(Reply *reply, const ChildPaths *child)
{
	send_file_record(reply, child->dirfd, child->name, child->relative);
}

using FileRecordSender = void (*)(Reply *, const ChildPaths *);

// Manifest and archive list a directory alike: its files first (pass 1), then
// each subdirectory's record followed at once by everything below it (pass 2).
// A listing that fails cuts the answer.
static void publish_tree(Reply *reply, FileRecordSender send_file, const char *full, const char *relative,
			 int depth)
{
	DirScan scan;
	ChildPaths child;
	const char *name;

	if (depth >= wire::WALK_DEPTH_LIMIT)
		return;
	for (int pass = 1; pass <= 2 && !reply_broken(reply); pass++) {
		if (open_scan(&scan, full, FOLLOW_LINKS) < 0) {
			if (depth == 0)
				reply_cut(reply);
			return;
		}
		while (!reply_broken(reply) && (name = next_entry(&scan))) {
			int n = 0;

			if (!join_child(&child, &scan, full, relative, name))
				continue;
			if (!child_is_directory(&scan, &child)) {
				if (pass == 1)
					send_file(reply, &child);
				continue;
			}
			if (pass == 1)
				continue;
			append_text(send_buffer, &n, wire::DIR_RECORD);
			append_text(send_buffer, &n, child.relative);
			append_char(send_buffer, &n, '\n');
			send_line(reply, n);
			publish_tree(reply, send_file, child.full, child.relative, depth + 1);
		}
		if (scan_failed(&scan))
			reply_cut(reply);
		close_scan(&scan);
	}
}

// The hash walk and the listing see each file once between them: the
// listing takes the content hashes that the hash walk just made.
void send_manifest(Reply *reply)
{
	unsigned hash;
	int n = 0;

	begin_cache_request();
	if (!share_root_available(reply))
		return;
	if (!compute_manifest_hash(&hash)) {
		reply_cut(reply);
		return;
	}
	append_text(send_buffer, &n, wire::MANIFEST_MAGIC);
	append_text(send_buffer, &n, "\nname=");
	append_text(send_buffer, &n, host_settings.share_name);
	append_text(send_buffer, &n, "\nhash=");
	append_decimal(send_buffer, &n, hash);
	append_text(send_buffer, &n, "\n");
	append_text(send_buffer, &n, wire::ENTRIES_LINE);
	append_text(send_buffer, &n, "\n");
	send_line(reply, n);
	publish_tree(reply, send_manifest_file_record, host_settings.share_root, "", 0);
	reply_text(reply, wire::END_MARKER);
}

static void send_archive_header(Reply *reply)
{
	const HostSettings *s = &host_settings;

	reply_text(reply, "DC-SHARE-ARCHIVE/1\nname=");
	reply_text(reply, s->share_name);
	reply_text(reply, "\nroot=");
	reply_text(reply, s->share_root);
	reply_text(reply, "\ndrive=");
	reply_text(reply, s->drive);
	reply_text(reply, "\npath=");
	reply_text(reply, s->path);
	reply_text(reply, "\nmode=");
	reply_text(reply, s->mode);
	reply_text(reply, "\nentries=recursive\n\n");
}

void send_full_archive(Reply *reply)
{
	if (!share_root_available(reply))
		return;
	send_archive_header(reply);
	publish_tree(reply, send_archive_file_record, host_settings.share_root, "", 0);
	reply_text(reply, wire::END_MARKER);
}

// The path runs to the first NUL, CR or LF, cut at 511 bytes. Links are
// followed and no depth limit applies: anything the path reaches is sent.
void send_file_archive(Reply *reply, const char *request_path)
{
	char relative[WALK_PATH_SIZE];
	char full[REQUEST_PATH_SIZE];
	int n = 0;

	while (n < wire::PATH_LIMIT && request_path[n] && request_path[n] != '\r' && request_path[n] != '\n')
		n++;
	copy_span(relative, request_path, n);
	send_archive_header(reply);
	if (path_carried(relative) && join_name(full, REQUEST_PATH_SIZE, host_settings.share_root, relative) &&
	    !probe_directory(full, FOLLOW_LINKS))
		send_file_record(reply, kernel::AT_FDCWD, full, relative);
	reply_text(reply, wire::END_MARKER);
}

} // namespace dircast
