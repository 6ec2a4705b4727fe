// Content hashes remembered by file identity and state, so that a manifest
// of an unchanged share costs metadata reads only. Static, never on disk.
#pragma once

#include "../runtime/sys.hpp"

namespace dircast {

// 65536 entries: 3.5 MiB of static storage on i386, 4.5 MiB on x86_64.
constexpr unsigned HASH_CACHE_CAPACITY = 65536;

struct CacheEntry {
	unsigned long long dev;
	unsigned long long ino;
	long long size;
	unsigned long mtime, mtime_nsec, ctime, ctime_nsec;
	unsigned content_hash;
	unsigned generation;  // the manifest request that hashed it; 0 = free
	unsigned stable;      // timestamps were safely older than the hash
};

// Starts a new manifest request: entries hashed from here on are trusted
// for the rest of it whatever their age.
void begin_cache_request();
int cached_content_hash(const kernel_stat *st, unsigned *content_hash);
void remember_content_hash(const kernel_stat *st, unsigned content_hash, const timespec *hashed_at);

} // namespace dircast
