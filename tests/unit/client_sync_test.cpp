// Archive application and delta sync over crafted documents: the readers'
// rules for records, content and paths, and the prune against a manifest.
#include "client/archive.hpp"
#include "client/delta.hpp"
#include "client/transfers.hpp"
#include "client_fixture.hpp"
#include "support/scripted_host.hpp"

#include <cstring>

namespace {

using namespace dircast_test;

class ClientSync : public MirrorTest {
protected:
	std::string apply(const std::string &archive)
	{
		CapturedLog log;

		memcpy(dircast::archive_buffer, archive.data(), archive.size());
		dircast::apply_archive((long)archive.size());
		return log.text();
	}
	void load_manifest(const std::string &manifest)
	{
		memcpy(dircast::manifest_buffer, manifest.data(), manifest.size() + 1);
		dircast::manifest_length = (long)manifest.size();
	}
};

const std::string HEAD = archive_text({}).substr(0, archive_text({}).size() - 4);

// Content is taken by its size, whatever it holds; a size that overruns the
// data makes the record a plain line; a rejected path still consumes its
// content and trailer.
TEST_F(ClientSync, ApplyArchiveFollowsSizesNotLines)
{
	std::string tricky("END\ndir path=x\nfile path=y size=1\n\0!", 36);
	std::string log = apply(HEAD + "file path=t size=36\n" + tricky + "\nendfile\n" +
				"file path=../up size=4\nEND\n\nendfile\n" +
				"file path= size=3\ndir path=e\n" +
				"file path=s size=0\n\nendfile\n" +
				"file path=n size=3\nabcendfile\n" +
				"file path=big size=999\ndir path=after\nEND\ndir path=never\n");

	EXPECT_EQ(read_file(root + "/t"), tricky);
	EXPECT_EQ(list_tree(root), (std::vector<std::string>{"d after/", "d e/", "f n 3", "f s 0", "f t 36"}));
	EXPECT_EQ(log, "dircast-mirror: mirror root " + root + "\n" +
			       "dircast-mirror: mirrored file t\ndircast-mirror: rejected unsafe path\n"
			       "dircast-mirror: mirrored dir e\ndircast-mirror: mirrored file s\n"
			       "dircast-mirror: mirrored file n\ndircast-mirror: mirrored dir after\n");
	EXPECT_TRUE(is_dir(dos + "/c:"));
}

TEST_F(ClientSync, ArchiveHeaderIsRequired)
{
	const struct {
		std::string reply;
		bool accepted;
	} cases[] = {{"DC-SHARE-ARCHIVE/1x\n\nEND\n", true}, {"DC-SHARE-MANIFEST/1\n\nEND\n", false},
		     {"END\n", false}, {"DC-SHARE-ARCH", false}};

	for (const auto &c : cases) {
		memcpy(dircast::archive_buffer, c.reply.data(), c.reply.size());
		EXPECT_EQ(dircast::archive_has_header((long)c.reply.size()), c.accepted) << c.reply;
	}
	EXPECT_EQ(apply("DC-SHARE-MANIFEST/1\n\ndir path=x\nEND\n"),
		  "dircast-mirror: mirror root " + root + "\ndircast-mirror: archive header missing\n");
}

TEST(RecordMatches, PathMustEndAtSpaceNewlineOrNul)
{
	const struct {
		const char *line, *prefix, *relative;
		int matches;
	} cases[] = {
		{"dir path=a\n", "dir path=", "a", 1},       {"dir path=a", "dir path=", "a", 1},
		{"file path=a b size=1", "file path=", "a", 1}, {"file path=ab size=1", "file path=", "a", 0},
		{"file path=a/b size=1", "file path=", "a", 0}, {"file path=a size=1", "dir path=", "a", 0},
		{"file path=a", "file path=", "ab", 0},
	};

	for (const auto &c : cases)
		EXPECT_EQ(dircast::record_matches(c.line, c.prefix, c.relative), c.matches) << c.line << " / " << c.relative;
}

// Kinds must agree: a retyped entry goes, whichever way it was retyped.
TEST_F(ClientSync, PruneKeepsOnlyWhatTheManifestListsWithTheSameKind)
{
	load_manifest(manifest_text(1, {{"file_now_dir", "", true}, {"dir_now_file", "x"}, {"a b", "x"},
					{"keep", "", true}, {"keep/inner", "x"}, {"ab", "x"}, {"link", "x"}}));
	write_file(root + "/file_now_dir", "");
	make_dirs(root + "/dir_now_file/sub");
	write_file(root + "/a", "");
	make_dirs(root + "/keep/gone");
	write_file(root + "/keep/inner", "");
	write_file(root + "/ab", "");
	symlink("/", (root + "/link").c_str());
	symlink("/", (root + "/other").c_str());
	{
		CapturedLog log;
		dircast::prune_against_manifest(root.c_str(), "", 0);
	}
	EXPECT_EQ(list_tree(root), (std::vector<std::string>{"d keep/", "f a 0", "f ab 0", "f keep/inner 0",
							     "l link -> /"}));
}

TEST_F(ClientSync, FileUnchangedComparesSizeAndHash)
{
	write_file(root + "/f", "abc");
	make_dirs(root + "/d");
	symlink((root + "/f").c_str(), (root + "/l").c_str());
	CapturedLog log;

	EXPECT_TRUE(dircast::file_unchanged("f", 3, 440920331u));
	EXPECT_FALSE(dircast::file_unchanged("f", 3, 440920332u));
	EXPECT_FALSE(dircast::file_unchanged("f", 4, 440920331u));
	EXPECT_FALSE(dircast::file_unchanged("d", 0, 2166136261u));
	EXPECT_FALSE(dircast::file_unchanged("l", 3, 440920331u));
	EXPECT_FALSE(dircast::file_unchanged("missing", 0, 2166136261u));
}

} // namespace
