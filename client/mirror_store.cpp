// Mirror store: the confined walk, file writes, local hashing and removal.
#include "mirror_store.hpp"
#include "settings.hpp"
#include "../runtime/console.hpp"
#include "../runtime/dir.hpp"
#include "../runtime/fnv1a.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/path.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"
#include "../protocol/wire.hpp"

namespace dircast {

using namespace kernel;

char path_buffer[MIRROR_PATH_SIZE];
static int mirror_fault_count;

constexpr long DIRECTORY_MODE = 0777;
constexpr long FILE_MODE = 0666;
constexpr long DIRECTORY_NO_LINKS = O_DIRECTORY | O_NOFOLLOW;
// remove_tree descends this many levels below the entry it removes: as deep
// as the mirror can hold anything (a relative path has at most 256
// components), so a tree of any depth the share can have goes whole.
constexpr int REMOVE_DEPTH_LIMIT = (wire::PATH_LIMIT + 1) / 2;
constexpr int HASH_READ_SIZE = 65536;

// A file is written under this name beside its leaf and then renamed over
// it. The component check refuses ':', so no mirrored entry can be called so.
constexpr char PARTIAL_NAME[] = ":dircast-partial";

void note_mirror_fault() { mirror_fault_count++; }
void clear_mirror_faults() { mirror_fault_count = 0; }
int mirror_faulted() { return mirror_fault_count != 0; }

void make_dir(const char *path)
{
	sys::mkdir(path, DIRECTORY_MODE);
}

// Index 0 is never a cut point, so a leading '/' does not yield an empty path.
// Settings are refused at start-up unless the mirror root fits the copy.
void make_parent_dirs(const char *path)
{
	char copy[MIRROR_PATH_SIZE];
	int last = -1;
	int n = text_length(path);

	if (n >= MIRROR_PATH_SIZE)
		return;
	copy_span(copy, path, n);
	for (int i = 0; copy[i]; i++) {
		if (copy[i] == '/')
			last = i;
	}
	if (last <= 0)
		return;
	copy[last] = 0;
	for (int i = 1; copy[i]; i++) {
		if (copy[i] == '/') {
			copy[i] = 0;
			make_dir(copy);
			copy[i] = '/';
		}
	}
	make_dir(copy);
}

int check_mirror_path(const char *relative, int length)
{
	if (check_protocol_path(relative, length) &&
	    join_path(path_buffer, MIRROR_PATH_SIZE, client_settings.mirror_root, relative, length))
		return 1;
	log_text("dircast-mirror: rejected unsafe path\n");
	return 0;
}

// Copies the component at *relative into leaf and moves past it and its '/';
// returns 1 when that was the last component.
static int take_component(const char **relative, char *leaf)
{
	const char *p = *relative;
	int n = 0;

	while (p[n] && p[n] != '/')
		n++;
	copy_span(leaf, p, n);
	*relative = p[n] ? p + n + 1 : p + n;
	return p[n] == 0;
}

struct ParentCache {
	int passes;
	long fd;  // a duplicate kept for the pass, or -1
	const char *base;
	int length;
	char dir[RELATIVE_PATH_SIZE];
};

static ParentCache parent_cache = {0, -1, nullptr, 0, {}};

static void drop_parent_cache()
{
	if (parent_cache.fd >= 0)
		sys::close(parent_cache.fd);
	parent_cache.fd = -1;
}

void begin_mirror_pass()
{
	if (parent_cache.passes++ == 0)
		drop_parent_cache();
}

void end_mirror_pass()
{
	if (--parent_cache.passes == 0)
		drop_parent_cache();
}

// Length of the directory part of relative: up to its last '/', 0 for none.
static int directory_length(const char *relative)
{
	int n = 0;

	for (int i = 0; relative[i]; i++) {
		if (relative[i] == '/')
			n = i;
	}
	return n;
}

// The kept descriptor itself, still owned by the cache.
static long cached_parent(const char *base, const char *relative, int length, char *leaf)
{
	const char *name = length ? relative + length + 1 : relative;

	if (parent_cache.fd < 0 || parent_cache.base != base || parent_cache.length != length)
		return -1;
	for (int i = 0; i < length; i++) {
		if (parent_cache.dir[i] != relative[i])
			return -1;
	}
	copy_span(leaf, name, text_length(name));
	return parent_cache.fd;
}

static void keep_parent(const char *base, const char *relative, int length, long fd)
{
	if (parent_cache.passes == 0)
		return;
	drop_parent_cache();
	parent_cache.fd = sys::dup(fd);
	parent_cache.base = base;
	parent_cache.length = length;
	copy_span(parent_cache.dir, relative, length);
}

// The walk holds one descriptor at a time and opens each component relative
// to the last with O_NOFOLLOW, so a link anywhere below the base stops it.
static long walk_to_parent(const char *base, const char *relative, int create, char *leaf)
{
	long current = sys::open(base, DIRECTORY_NO_LINKS);

	while (current >= 0 && !take_component(&relative, leaf)) {
		long next = sys::openat(current, leaf, DIRECTORY_NO_LINKS);

		if (next == -ENOENT && create) {
			sys::mkdirat(current, leaf, DIRECTORY_MODE);
			next = sys::openat(current, leaf, DIRECTORY_NO_LINKS);
		}
		sys::close(current);
		current = next;
	}
	return current;
}

// The parent's descriptor, and through *kept whether it is the cache's (not
// to be closed) or the caller's own.
static long reach_parent(const char *base, const char *relative, int create, char *leaf, int *kept)
{
	int length;
	long parent;

	*kept = 0;
	if (!check_components(relative))
		return -EINVAL;
	length = directory_length(relative);
	parent = cached_parent(base, relative, length, leaf);
	*kept = parent >= 0;
	if (parent >= 0)
		return parent;
	parent = walk_to_parent(base, relative, create, leaf);
	if (parent >= 0)
		keep_parent(base, relative, length, parent);
	return parent;
}

long confined_open_parent(const char *base, const char *relative, int create, char *leaf)
{
	int kept;
	long parent = reach_parent(base, relative, create, leaf, &kept);

	return kept ? sys::dup(parent) : parent;
}

long confined_stat(const char *base, const char *relative, kernel_stat *st)
{
	char leaf[LEAF_SIZE];
	int kept;
	long parent = reach_parent(base, relative, 0, leaf, &kept);
	long r;

	if (parent < 0)
		return parent;
	r = sys::fstatat(parent, leaf, st, AT_SYMLINK_NOFOLLOW);
	if (!kept)
		sys::close(parent);
	return r;
}

// Whatever stands at the leaf and is not a directory (a file of an older
// share, a planted link) gives way; a link is removed itself, not followed.
// The directory made is kept for the pass: a directory's records follow it.
long confined_mkdir(const char *base, const char *relative)
{
	char leaf[LEAF_SIZE];
	int kept;
	long parent = reach_parent(base, relative, 1, leaf, &kept);
	long fd;

	if (parent < 0)
		return parent;
	sys::mkdirat(parent, leaf, DIRECTORY_MODE);
	fd = sys::openat(parent, leaf, DIRECTORY_NO_LINKS);
	if (fd < 0 && sys::unlinkat(parent, leaf, 0) == 0) {
		sys::mkdirat(parent, leaf, DIRECTORY_MODE);
		fd = sys::openat(parent, leaf, DIRECTORY_NO_LINKS);
	}
	if (!kept)
		sys::close(parent);
	if (fd < 0)
		return fd;
	keep_parent(base, relative, text_length(relative), fd);
	sys::close(fd);
	return 0;
}

long confined_open_file(const char *base, const char *relative, long flags, long mode)
{
	char leaf[LEAF_SIZE];
	long parent = confined_open_parent(base, relative, (flags & O_CREAT) != 0, leaf);
	long fd;

	if (parent < 0)
		return parent;
	fd = sys::openat(parent, leaf, flags | O_NOFOLLOW, mode);
	sys::close(parent);
	return fd;
}

static int write_all(long fd, const char *data, long size)
{
	long written = 0;

	while (written < size) {
		long r = sys::write(fd, data + written, size - written);

		if (r <= 0)
			return 0;
		written += r;
	}
	return 1;
}

// Readers through the drive see the old file or the new one, never a part:
// the content is written beside the leaf under a name no mirrored entry can
// have, and renamed over the leaf once whole. One partial entry per
// directory is enough: files arrive one at a time.
static long open_partial(long parent)
{
	long flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
	long fd = sys::openat(parent, PARTIAL_NAME, flags, FILE_MODE);

	if (fd == -EEXIST) {  // left behind by an interrupted run
		sys::unlinkat(parent, PARTIAL_NAME, 0);
		fd = sys::openat(parent, PARTIAL_NAME, flags, FILE_MODE);
	}
	return fd;
}

// The rename replaces a file or a link at the leaf (its target is never
// opened); a directory in the way, of an older share, is removed first.
static int rename_into_place(long parent, const char *leaf)
{
	if (sys::renameat(parent, PARTIAL_NAME, parent, leaf) == 0)
		return 1;
	remove_tree(parent, leaf, 0);
	return sys::renameat(parent, PARTIAL_NAME, parent, leaf) == 0;
}

// Names the mirror cannot hold (a colon, an over-long component) are passed
// over: they are the share's, not a fault of the mirror, and counting them
// as one would keep every later turn from ever finding the share unchanged.
int mirror_can_hold(const char *relative)
{
	return check_components(relative);
}

int begin_mirror_file(IncomingFile *file, const char *relative)
{
	file->parent = -1;
	file->parent_kept = 0;
	file->fd = -1;
	file->ok = 0;
	file->trusted = 0;
	file->hash = FNV1A_BASIS;
	if (!check_mirror_path(relative, text_length(relative)) || !mirror_can_hold(relative))
		return 0;
	copy_span(file->relative, relative, text_length(relative));
	file->parent = reach_parent(client_settings.mirror_root, relative, 1, file->leaf, &file->parent_kept);
	if (file->parent >= 0)
		file->fd = open_partial(file->parent);
	file->ok = file->fd >= 0;
	return 1;
}

void trust_manifest_hash(IncomingFile *file, unsigned hash)
{
	file->trusted = 1;
	file->hash = hash;
}

void write_mirror_bytes(IncomingFile *file, const char *data, long n)
{
	if (!file->trusted)
		file->hash = fnv1a_update(file->hash, data, n);
	if (file->ok && !write_all(file->fd, data, n))
		file->ok = 0;
}

// Seconds of the present moment (their parity the kind), nanoseconds of the
// hash: a time no writer but the mirror sets, short of one in a billion.
void stamp_content_hash(long fd, unsigned hash, StampKind kind)
{
	timespec times[2] = {{0, UTIME_OMIT}, {0, 0}};

	sys::clock_gettime(CLOCK_REALTIME, &times[1]);
	times[1].tv_sec = (times[1].tv_sec & ~1l) | kind;
	times[1].tv_nsec = (long)(hash % 1000000000u);
	sys::utimensat(fd, nullptr, times, 0);
}

int stamp_trusted(const kernel_stat *st)
{
	return (st->st_mtime_sec & 1) == STAMP_TRUSTED;
}

int stamp_shows(const kernel_stat *st, unsigned long long size, unsigned hash)
{
	return (unsigned long long)st->st_size == size && st->st_mtime_nsec == hash % 1000000000u;
}

// Nothing reaches another parent while a file is under way (its content
// comes whole before the next record), so a kept parent is still the cache's.
static void release_parent(IncomingFile *file)
{
	if (file->parent >= 0 && !file->parent_kept)
		sys::close(file->parent);
	file->parent = -1;
}

static void close_incoming(IncomingFile *file)
{
	if (file->ok)
		stamp_content_hash(file->fd, file->hash, file->trusted ? STAMP_TRUSTED : STAMP_PROVED);
	if (file->fd >= 0 && sys::close(file->fd) != 0)
		file->ok = 0;
	file->fd = -1;
}

void end_mirror_file(IncomingFile *file)
{
	close_incoming(file);
	if (file->ok && !rename_into_place(file->parent, file->leaf))
		file->ok = 0;
	if (!file->ok) {
		abandon_mirror_file(file);
		note_mirror_fault();
	}
	release_parent(file);
	log_text(file->ok ? "dircast-mirror: mirrored file " : "dircast-mirror: failed to write file ");
	log_text(file->relative);
	log_text("\n");
}

void abandon_mirror_file(IncomingFile *file)
{
	close_incoming(file);
	if (file->parent >= 0)
		sys::unlinkat(file->parent, PARTIAL_NAME, 0);
	release_parent(file);
	file->ok = 0;
}

// The size is what fstat says even when fewer bytes can be read; the hash
// covers the bytes actually read.
unsigned hash_local_file(long fd, unsigned long long *size)
{
	char block[HASH_READ_SIZE];
	unsigned hash = FNV1A_BASIS;
	unsigned long long remaining;
	kernel_stat st;

	*size = 0;
	if (fd < 0)
		return hash;
	if (sys::fstat(fd, &st) < 0)
		return hash;
	*size = (unsigned long long)st.st_size;
	for (remaining = *size; remaining > 0;) {
		long r = sys::read(fd, block, remaining < HASH_READ_SIZE ? (long)remaining : HASH_READ_SIZE);

		if (r <= 0)
			break;
		hash = fnv1a_update(hash, block, r);
		remaining -= (unsigned long long)r;
	}
	return hash;
}

// Size and both times: a write through a descriptor moves both times, a
// change of size or a rename at least the status change.
static int same_state(const kernel_stat *a, const kernel_stat *b)
{
	return a->st_size == b->st_size && a->st_mtime_sec == b->st_mtime_sec && a->st_mtime_nsec == b->st_mtime_nsec &&
	       a->st_ctime_sec == b->st_ctime_sec && a->st_ctime_nsec == b->st_ctime_nsec;
}

Proof prove_file(long fd, unsigned long long size, unsigned hash)
{
	unsigned long long local_size;
	unsigned local_hash;
	kernel_stat before, after;

	if (sys::fstat(fd, &before) < 0)
		return PROOF_MOVED;
	local_hash = hash_local_file(fd, &local_size);
	if (sys::fstat(fd, &after) < 0 || !same_state(&before, &after))
		return PROOF_MOVED;
	if (local_size != size || local_hash != hash)
		return PROOF_DIFFERS;
	stamp_content_hash(fd, hash, STAMP_PROVED);
	return PROOF_MATCHES;
}

// One batch serves every level of a removal, so that its stack stays small
// at any depth: a level keeps its descriptor and the name it went down by.
static DirScan remove_scan;

// Every step is taken from the descriptor of the directory above: each
// directory is opened relative to its parent with O_NOFOLLOW, listed
// through that descriptor and emptied by unlinkat relative to it. A link
// swapped in for a directory while this runs is then either refused at the
// open and removed itself, or comes too late to matter: the descriptor
// already held is the directory that was there. No path is looked up again
// from the mirror root, so nothing outside it can be reached. Below the
// depth limit only files and empty directories go.
static int remove_entry(long dirfd, const char *name, int depth);

// Removes what it can below the directory fd; 1 when anything went. Each
// directory below is removed whole before the listing goes on from the
// entry after it.
static int remove_entries(long fd, int depth)
{
	char child[LEAF_SIZE];
	const char *entry;
	int any = 0;

	resume_scan(&remove_scan, fd, 0);
	while ((entry = next_entry(&remove_scan))) {
		long long position = remove_scan.position;
		long r = sys::unlinkat(fd, entry, 0);

		if (r != -EISDIR) {
			any |= r == 0;
			continue;
		}
		copy_span(child, entry, text_length(entry));
		any |= remove_entry(fd, child, depth + 1);
		resume_scan(&remove_scan, fd, position);
	}
	return any;
}

// A directory still not empty after a listing that removed something is
// listed again: a filesystem whose positions shift as entries go may have
// skipped some. One that removed nothing ends it.
static int remove_entry(long dirfd, const char *name, int depth)
{
	long fd = sys::openat(dirfd, name, DIRECTORY_NO_LINKS);
	long r;

	if (fd < 0)
		return sys::unlinkat(dirfd, name, 0) == 0;
	while ((r = sys::unlinkat(dirfd, name, AT_REMOVEDIR)) == -ENOTEMPTY && depth <= REMOVE_DEPTH_LIMIT &&
	       remove_entries(fd, depth))
		;
	sys::close(fd);
	return r == 0;
}

void remove_tree(long dirfd, const char *name, int depth)
{
	remove_entry(dirfd, name, depth);
}

} // namespace dircast
