// The manifest index against the plain reading it replaces: a line lists
// every prefix of its path text that a space or the line's end follows.
#include "client/manifest_index.hpp"
#include "client/transfers.hpp"
#include "support/documents.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

// The reading without an index: scan every line for the record.
bool listed_by_scan(const std::string &manifest, const std::string &relative, bool is_directory)
{
	const std::string prefix = is_directory ? "dir path=" : "file path=";
	size_t line = 0;

	while (line < manifest.size()) {
		size_t end = manifest.find('\n', line);
		std::string text = manifest.substr(line, end == std::string::npos ? std::string::npos : end - line);
		if (text.compare(0, prefix.size(), prefix) == 0 &&
		    text.compare(prefix.size(), relative.size(), relative) == 0 &&
		    (text.size() == prefix.size() + relative.size() || text[prefix.size() + relative.size()] == ' '))
			return true;
		if (end == std::string::npos)
			break;
		line = end + 1;
	}
	return false;
}

void load(const std::string &manifest)
{
	ASSERT_LT(manifest.size(), sizeof dircast::manifest_buffer);
	memcpy(dircast::manifest_buffer, manifest.c_str(), manifest.size() + 1);
	dircast::manifest_length = (long)manifest.size();
	dircast::index_manifest();
}

// A full-size manifest of paths built from a tiny alphabet (so that many
// paths are prefixes of others and spaces abound), every candidate asked
// both ways.
TEST(ManifestIndex, AgreesWithAScanOfAFullManifest)
{
	std::mt19937 random(7);
	const char alphabet[] = "ab /";
	std::string manifest = dircast_test::manifest_head(1, "x");
	std::vector<std::string> candidates;

	while (manifest.size() < dircast::MANIFEST_BUFFER_SIZE - 200) {
		std::string path;
		for (int n = 1 + random() % 12; n > 0; n--)
			path += alphabet[random() % 4];
		candidates.push_back(path);
		candidates.push_back(path + "a");
		if (random() % 2)
			manifest += "dir path=" + path + "\n";
		else
			manifest += "file path=" + path + " size=" + std::to_string(random() % 9) + " hash=1\n";
	}
	manifest += "END\n";
	load(manifest);
	int listed = 0;
	for (size_t i = 0; i < candidates.size(); i += 7) {
		for (bool dir : {false, true}) {
			bool expected = listed_by_scan(manifest, candidates[i], dir);
			listed += expected;
			ASSERT_EQ(dircast::manifest_index_lists(candidates[i].c_str(), dir), expected)
				<< "'" << candidates[i] << "' as " << (dir ? "dir" : "file");
		}
	}
	EXPECT_GT(listed, 100);
}

TEST(ManifestIndex, KindsPrefixesAndTheBufferEnd)
{
	load("DC-SHARE-MANIFEST/1\n\nfile path=a b size=1 hash=2\ndir path=d\nfile path=last");
	EXPECT_TRUE(dircast::manifest_index_lists("a", false));
	EXPECT_TRUE(dircast::manifest_index_lists("a b", false));
	EXPECT_FALSE(dircast::manifest_index_lists("a", true));
	EXPECT_FALSE(dircast::manifest_index_lists("a b s", false));
	EXPECT_TRUE(dircast::manifest_index_lists("d", true));
	EXPECT_FALSE(dircast::manifest_index_lists("d", false));
	EXPECT_TRUE(dircast::manifest_index_lists("last", false));
	EXPECT_FALSE(dircast::manifest_index_lists("", false));
	load("DC-SHARE-MANIFEST/1\n\nEND\n");
	EXPECT_FALSE(dircast::manifest_index_lists("d", true)) << "a new manifest replaces the old keys";
}

} // namespace
