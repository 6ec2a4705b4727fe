// Every filesystem effect below the mirror root. Paths come from the network,
// so each one is checked, then reached by a confined walk from the mirror
// root that never follows a symbolic link.
#pragma once

#include "../runtime/sys.hpp"

namespace dircast {

// Mirror root, "/" and a relative path of up to 511 bytes, with the NUL.
constexpr int MIRROR_PATH_SIZE = 768;
// A relative path of up to 511 bytes and its NUL.
constexpr int RELATIVE_PATH_SIZE = 512;
// One path component: at most 255 bytes (the component check) and the NUL.
constexpr int LEAF_SIZE = 256;

// The last path that check_mirror_path accepted, joined under the mirror root.
extern char path_buffer[MIRROR_PATH_SIZE];

void make_dir(const char *path);
void make_parent_dirs(const char *path);
int check_mirror_path(const char *relative, int length);
long confined_open_parent(const char *base, const char *relative, int create, char *leaf);
// Between these two, the walk to the last parent directory reached is kept
// and reused by the next record below the same directory. Nothing in a pass
// removes or replaces a directory, so the kept descriptor stays the one the
// confined walk found. Passes nest.
void begin_mirror_pass();
void end_mirror_pass();
long confined_mkdir(const char *base, const char *relative);
long confined_open_file(const char *base, const char *relative, long flags, long mode);
// The leaf's own metadata (a link is described, not followed), without
// opening it: the quick check of a restart over many small files is this.
long confined_stat(const char *base, const char *relative, kernel_stat *st);
int mirror_can_hold(const char *relative);
// A file arriving in pieces: written beside its leaf, renamed over it when
// whole. Nothing of it shows under its own name before end_mirror_file.
struct IncomingFile {
	long parent;
	int parent_kept;  // parent is the pass's kept descriptor, not to be closed
	long fd;
	int ok;  // every step so far succeeded
	int trusted;  // hash is the manifest's, not computed from the bytes
	unsigned hash;  // content hash of what was written so far, or trusted
	char leaf[LEAF_SIZE];
	char relative[RELATIVE_PATH_SIZE];
};

// 0 for a path the mirror refuses or cannot hold (logged, nothing opened);
// otherwise 1, and the file is under way (a failure to open shows at the end).
int begin_mirror_file(IncomingFile *file, const char *relative);
// The file is the one the manifest lists with this hash and the record's
// size: it is stamped with that hash, on trust, instead of hashing every
// byte as it arrives (see stamp_content_hash).
void trust_manifest_hash(IncomingFile *file, unsigned hash);
void write_mirror_bytes(IncomingFile *file, const char *data, long n);
// Renames the whole file into place and logs it, or counts a fault.
void end_mirror_file(IncomingFile *file);
// A file whose content never came whole: its partial entry goes.
void abandon_mirror_file(IncomingFile *file);
// Content hash of an open file, its size through *size; the descriptor stays
// open.
unsigned hash_local_file(long fd, unsigned long long *size);
// Reads the open file through and holds it against the manifest's size and
// hash; one that matches, and did not change while it was read, is stamped
// as proved. A file written meanwhile may hold anything: it proves nothing.
enum Proof { PROOF_MATCHES, PROOF_DIFFERS, PROOF_MOVED };
Proof prove_file(long fd, unsigned long long size, unsigned hash);
// Every file the mirror writes carries its content hash in its modification
// time's nanoseconds, so that a later turn can tell it unchanged from its
// metadata alone, as rsync's quick check does by size and time. Anything
// that writes the file afterwards sets a time of its own. An odd second marks
// a hash taken on trust from the manifest (a full sync writes a gigabyte
// faster than it could hash it): the share may have changed between the
// manifest and the archive, so such a stamp never passes a quick check. A
// running mirror reads such files back while it waits (trust_check), and
// the next delta of any run reads those still unproved; each is stamped
// again, even, once proved.
enum StampKind { STAMP_PROVED = 0, STAMP_TRUSTED = 1 };
void stamp_content_hash(long fd, unsigned hash, StampKind kind);
int stamp_shows(const kernel_stat *st, unsigned long long size, unsigned hash);
int stamp_trusted(const kernel_stat *st);
// name below the open directory dirfd (or AT_FDCWD), and all below it; a
// link is removed itself, never followed.
void remove_tree(long dirfd, const char *name, int depth);

// A file that could not be written or a directory that could not be made
// leaves the mirror short of the share; the sync loop must not then take the
// manifest hash as the mirror's state.
void note_mirror_fault();
void clear_mirror_faults();
int mirror_faulted();

} // namespace dircast
