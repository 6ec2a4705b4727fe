// The content-hash cache. A hit needs the same device, inode, size and
// modification and status-change times to the nanosecond. A request trusts an
// entry hashed before it began only if both times were at least RACY_SECONDS
// older than the moment hashing began: a rewrite within one timestamp tick of
// the hash would otherwise keep the old times and go unseen. ctime cannot be set from
// user space, so a rewrite that restores the old mtime still misses.
#include "hash_cache.hpp"
#include "../runtime/fnv1a.hpp"

namespace dircast {

constexpr long RACY_SECONDS = 2;
// A full neighbourhood means the file is simply read, not that an entry goes.
constexpr unsigned PROBE_LIMIT = 16;

static CacheEntry hash_cache[HASH_CACHE_CAPACITY];
static unsigned cache_generation = 1;

unsigned begin_cache_request()
{
	if (++cache_generation == 0)
		cache_generation = 1;
	return cache_generation;
}

// Generations wrap after 2^32 requests; the signed difference orders any two
// that are less than 2^31 apart, which requests that overlap always are.
static int hashed_since(const CacheEntry *e, unsigned since_generation)
{
	return (int)(e->generation - since_generation) >= 0;
}

static unsigned home_slot(unsigned long long dev, unsigned long long ino)
{
	unsigned h = fnv1a_update(FNV1A_BASIS, &dev, sizeof dev);

	return fnv1a_update(h, &ino, sizeof ino) & (HASH_CACHE_CAPACITY - 1);
}

static CacheEntry *find_slot(const kernel_stat *st, int for_store)
{
	unsigned slot = home_slot(st->st_dev, st->st_ino);

	for (unsigned i = 0; i < PROBE_LIMIT; i++) {
		CacheEntry *e = &hash_cache[(slot + i) & (HASH_CACHE_CAPACITY - 1)];

		if (e->generation != 0 && e->dev == st->st_dev && e->ino == st->st_ino)
			return e;
		if (e->generation == 0)
			return for_store ? e : nullptr;
	}
	return nullptr;
}

static int same_state(const CacheEntry *e, const kernel_stat *st)
{
	return e->size == (long long)st->st_size && e->mtime == st->st_mtime_sec && e->mtime_nsec == st->st_mtime_nsec &&
	       e->ctime == st->st_ctime_sec && e->ctime_nsec == st->st_ctime_nsec;
}

int cached_content_hash(const kernel_stat *st, unsigned since_generation, unsigned *content_hash,
			unsigned char *digest)
{
	const CacheEntry *e = find_slot(st, 0);

	if (!e || !same_state(e, st) || (!e->stable && !hashed_since(e, since_generation)))
		return 0;
	if (digest && !e->has_digest)
		return 0;
	if (digest)
		__builtin_memcpy(digest, e->digest, sizeof e->digest);
	*content_hash = e->content_hash;
	return 1;
}

static int safely_older(unsigned long seconds, const timespec *hashed_at)
{
	return (long)seconds + RACY_SECONDS < hashed_at->tv_sec;
}

void remember_content_hash(const kernel_stat *st, unsigned content_hash, const timespec *hashed_at,
			   const unsigned char *digest)
{
	CacheEntry *e = find_slot(st, 1);

	if (!e)
		return;
	e->dev = st->st_dev;
	e->ino = st->st_ino;
	e->size = st->st_size;
	e->mtime = st->st_mtime_sec;
	e->mtime_nsec = st->st_mtime_nsec;
	e->ctime = st->st_ctime_sec;
	e->ctime_nsec = st->st_ctime_nsec;
	e->content_hash = content_hash;
	e->generation = cache_generation;
	e->stable = safely_older(st->st_mtime_sec, hashed_at) && safely_older(st->st_ctime_sec, hashed_at);
	e->has_digest = digest != nullptr;
	if (digest)
		__builtin_memcpy(e->digest, digest, sizeof e->digest);
}

} // namespace dircast
