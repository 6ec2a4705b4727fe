// Opening and hashing files of the share.
#pragma once

#include "../protocol/sha256.hpp"
#include "../runtime/sys.hpp"

namespace dircast {

// Content hashing reads through this one buffer: a read is folded into the
// hash at once, so nothing of it outlives the call that read it.
constexpr int FILE_BUFFER_SIZE = 65536;
extern char file_buffer[FILE_BUFFER_SIZE];

// Files are named by a directory descriptor and a name below it (or
// AT_FDCWD and a path), links followed.
//
// Descriptor of a regular file of any size, its state in *st, or a negative
// value for anything that cannot be opened, measured or carried.
long open_share_file(long dirfd, const char *name, kernel_stat *st);

// A content hash for the manifest, read a piece at a time so that a large
// file never holds the other connections for long. Taken from the cache when
// the file is unchanged; size 0 and the FNV-1a basis when it cannot be read.
struct ContentHash {
	long fd;  // open while content remains to be read, else -1
	unsigned long long size;
	unsigned long long remaining;
	unsigned hash;
	kernel_stat st;
	timespec hashed_at;
	int with_digest;  // set by the owner: a signed listing wants the SHA-256 too
	Sha256 sha;
	unsigned char digest[SHA256_SIZE];
};

// 1 when the result is known at once, 0 when the content must be read by
// continue_content_hash. generation: the manifest request asking.
int start_content_hash(ContentHash *h, long dirfd, const char *name, unsigned generation);
// Reads until done (1) or until *budget bytes have been read (0).
int continue_content_hash(ContentHash *h, long *budget);
void abandon_content_hash(ContentHash *h);

} // namespace dircast
