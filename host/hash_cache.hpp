// Content hashes remembered by file identity and state, so that a manifest
// of an unchanged share costs metadata reads only. Static, never on disk.
#pragma once

#include "../runtime/sys.hpp"

namespace dircast {

// Room for a share of a quarter of a million files: a file the cache cannot
// hold is read twice for every manifest (its hash walk, then its listing).
// 262144 entries: 22 MiB of static storage on i386, 26 MiB on x86_64
// (9 MiB of either the SHA-256 digests of signed listings and their flag),
// resident only as far as it is filled.
constexpr unsigned HASH_CACHE_CAPACITY = 262144;

struct CacheEntry {
	unsigned long long dev;
	unsigned long long ino;
	long long size;
	unsigned long mtime, mtime_nsec, ctime, ctime_nsec;
	unsigned content_hash;
	unsigned generation;  // the newest manifest request when it was hashed; 0 = free
	unsigned stable;      // timestamps were safely older than the hash
	unsigned has_digest;  // digest holds the content's SHA-256 too
	unsigned char digest[32];
};

// Starts a new manifest request and returns its generation. Entries hashed
// from here on, for this request or any other, are trusted by it whatever
// their age: to the request they are as good as a read of its own.
unsigned begin_cache_request();
// A signed listing asks for the SHA-256 too (digest not null): an entry
// without one is a miss, and the file is read for both.
int cached_content_hash(const kernel_stat *st, unsigned since_generation, unsigned *content_hash,
			unsigned char *digest = nullptr);
void remember_content_hash(const kernel_stat *st, unsigned content_hash, const timespec *hashed_at,
			   const unsigned char *digest = nullptr);

} // namespace dircast
