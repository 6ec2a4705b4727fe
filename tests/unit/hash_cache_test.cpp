// The host's content-hash cache: when a remembered hash may be trusted.
#include "host/hash_cache.hpp"

#include <gtest/gtest.h>
#include <vector>

using namespace dircast;

namespace {

constexpr long NOW = 1800000000;

kernel_stat file_state(unsigned long long ino, long mtime, long ctime)
{
	kernel_stat st = {};

	st.st_dev = 0x801;
	st.st_ino = ino;
	st.st_size = 4;
	st.st_mtime_sec = mtime;
	st.st_mtime_nsec = 5;
	st.st_ctime_sec = ctime;
	st.st_ctime_nsec = 7;
	return st;
}

const dircast::timespec hashed_at = {NOW, 0};

TEST(HashCache, SettledFilesAreTrustedAcrossRequests)
{
	kernel_stat st = file_state(100, NOW - 60, NOW - 60);
	unsigned hash = 0;

	begin_cache_request();
	remember_content_hash(&st, 1234, &hashed_at);
	ASSERT_TRUE(cached_content_hash(&st, begin_cache_request(), &hash));
	EXPECT_EQ(hash, 1234u);
}

// A file changed within a timestamp tick of its hash could change again
// without its times moving, so it is only trusted by requests that were
// already running when it was read: its own, and others under way then.
TEST(HashCache, RecentlyChangedFilesAreTrustedOnlyByRequestsRunningWhenHashed)
{
	unsigned hash;

	for (kernel_stat st : {file_state(200, NOW, NOW - 60), file_state(201, NOW - 60, NOW - 1),
			       file_state(202, NOW - 2, NOW - 2)}) {
		unsigned earlier = begin_cache_request();
		unsigned own = begin_cache_request();
		remember_content_hash(&st, 99, &hashed_at);
		EXPECT_TRUE(cached_content_hash(&st, own, &hash)) << st.st_ino;
		EXPECT_TRUE(cached_content_hash(&st, earlier, &hash)) << st.st_ino;
		EXPECT_FALSE(cached_content_hash(&st, begin_cache_request(), &hash)) << st.st_ino;
	}
}

TEST(HashCache, AnyChangeOfIdentityOrStateMisses)
{
	kernel_stat st = file_state(300, NOW - 60, NOW - 60);
	unsigned hash;

	begin_cache_request();
	remember_content_hash(&st, 1, &hashed_at);
	unsigned later = begin_cache_request();
	kernel_stat changed[] = {st, st, st, st, st, st};
	changed[0].st_dev++;
	changed[1].st_ino++;
	changed[2].st_size++;
	changed[3].st_mtime_nsec++;
	changed[4].st_ctime_nsec++;
	changed[5].st_ctime_sec++;
	for (kernel_stat &c : changed)
		EXPECT_FALSE(cached_content_hash(&c, later, &hash));
	EXPECT_TRUE(cached_content_hash(&st, later, &hash));
}

// Whether an entry was stored shows at once: within its own request any
// remembered hash is trusted. Twice the capacity is offered; every entry
// that was stored must still be there after the rest, and the entries that
// found no room are the ones dropped, mostly the late ones.
TEST(HashCache, AFullCacheDropsNewEntriesAndKeepsOld)
{
	const unsigned long long first = 1000, offered = 2 * HASH_CACHE_CAPACITY;
	std::vector<bool> stored;
	unsigned hash, early = 0, late = 0;
	unsigned own = begin_cache_request();

	for (unsigned long long ino = first; ino < first + offered; ino++) {
		kernel_stat st = file_state(ino, NOW - 60, NOW - 60);
		remember_content_hash(&st, (unsigned)ino, &hashed_at);
		stored.push_back(cached_content_hash(&st, own, &hash) && hash == (unsigned)ino);
		(ino - first < HASH_CACHE_CAPACITY ? early : late) += stored.back();
	}
	unsigned later = begin_cache_request();
	for (unsigned long long ino = first; ino < first + offered; ino++) {
		kernel_stat st = file_state(ino, NOW - 60, NOW - 60);
		bool hit = cached_content_hash(&st, later, &hash);
		ASSERT_EQ(hit, stored[ino - first]) << "inode " << ino;
		ASSERT_TRUE(!hit || hash == (unsigned)ino) << "inode " << ino;
	}
	EXPECT_LE(early + late, HASH_CACHE_CAPACITY);
	EXPECT_GT(early, HASH_CACHE_CAPACITY / 2);
	EXPECT_LT(late, early / 4);
}

} // namespace
