// The path index against a plain reading of the manifest: a record lists its
// own path, with its kind, and nothing else; keys are only kept, so a
// listed path must always be found.
#include "client/manifest_index.hpp"

#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>

namespace {

// Paths from a tiny alphabet, so that many are prefixes of others and spaces
// abound, each asked both ways, with some that no record names.
TEST(PathIndex, AgreesWithThePlainReading)
{
	std::mt19937 random(7);
	const char alphabet[] = "ab /";
	std::set<std::pair<std::string, bool>> listed;
	std::vector<std::string> candidates;
	int found = 0;

	dircast::clear_path_index();
	for (int i = 0; i < 20000; i++) {
		std::string path;
		for (int n = 1 + random() % 12; n > 0; n--)
			path += alphabet[random() % 4];
		bool dir = random() % 2;
		std::string line = dir ? "dir path=" + path : "file path=" + path + " size=1 hash=2";
		dircast::index_record_line(line.c_str());
		listed.insert({path, dir});
		candidates.push_back(path);
		candidates.push_back(path + "a");
	}
	int collisions = 0;
	for (const std::string &c : candidates) {
		for (bool dir : {false, true}) {
			bool expected = listed.count({c, dir}) > 0, answer = dircast::path_index_lists(c.c_str(), dir);
			found += expected;
			// A listed path is always found; an unlisted one may share a
			// listed 32-bit key (about one in 10^5 here), and is then kept.
			ASSERT_TRUE(answer || !expected) << "'" << c << "' as " << dir << " is listed";
			collisions += answer && !expected;
		}
	}
	EXPECT_GT(found, 10000);
	EXPECT_LT(collisions, 5);
	EXPECT_FALSE(dircast::path_index_overflowed());
}

TEST(PathIndex, RecordsKinds)
{
	dircast::clear_path_index();
	for (const char *line : {"DC-SHARE-MANIFEST/1", "hash=1", "file path=a b size=1 hash=2", "dir path=d",
				 "file path=nosize", "file path= size=1", "END"})
		dircast::index_record_line(line);
	EXPECT_TRUE(dircast::path_index_lists("a b", false));
	EXPECT_FALSE(dircast::path_index_lists("a", false));
	EXPECT_FALSE(dircast::path_index_lists("a b", true));
	EXPECT_TRUE(dircast::path_index_lists("d", true));
	EXPECT_FALSE(dircast::path_index_lists("d", false));
	EXPECT_FALSE(dircast::path_index_lists("nosize", false));
	EXPECT_FALSE(dircast::path_index_lists("", false));
	dircast::clear_path_index();
	EXPECT_FALSE(dircast::path_index_lists("d", true)) << "a cleared index lists nothing";
}

} // namespace
