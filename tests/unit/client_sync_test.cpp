// Archive application and the prune against a manifest, over crafted
// documents: the readers' rules for records, content, paths and kinds.
#include "client/archive.hpp"
#include "client/manifest_index.hpp"
#include "client/manifest_lookup.hpp"
#include "client/delta.hpp"
#include "client/mirror_store.hpp"
#include "client/transfers.hpp"
#include "client_fixture.hpp"
#include "support/scripted_host.hpp"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

using namespace dircast_test;

// Content is taken by its size whatever it holds, however the bytes arrive;
// a rejected path still consumes its content and trailer; nothing after an
// END line is read; a file whose content never comes whole is dropped.
TEST_F(MirrorTest, ApplyArchiveFollowsSizesNotLines)
{
	std::string head = scripted_archive_head();
	std::string tricky("END\ndir path=x\nfile path=y size=1\n\0!", 36);
	std::string archive = head + "file path=t size=36\n" + tricky + "\nendfile\n" +
			      "file path=../up size=4\nEND\n\nendfile\n" + "file path= size=3\ndir path=e\n" +
			      "file path=n size=3\nabcendfile\n" + "dir path=after\nEND\ndir path=never\n" +
			      "file path=big size=999\nnot all of it";

	for (size_t split : {(size_t)0, head.size() + 30, archive.size() - 5}) {
		remove_tree(root);
		make_dirs(root);
		std::string log = apply(archive, nullptr, split);

		EXPECT_EQ(read_file(root + "/t"), tricky);
		EXPECT_EQ(list_tree(root), (std::vector<std::string>{"d after/", "d e/", "f n 3", "f t 36"})) << split;
		EXPECT_EQ(log, "dircast-mirror: mirror root " + root + "\ndircast-mirror: mirrored file t\n"
				       "dircast-mirror: rejected unsafe path\ndircast-mirror: mirrored dir e\n"
				       "dircast-mirror: mirrored file n\ndircast-mirror: mirrored dir after\n");
	}
	EXPECT_TRUE(is_dir(dos + "/c:"));
	int applied = -1;
	EXPECT_EQ(apply("DC-SHARE-MANIFEST/1\n\ndir path=x\nEND\n", nullptr, 0, &applied),
		  "dircast-mirror: archive header missing\n");
	EXPECT_EQ(applied, 0);
}

// A single-file reply writes the wanted file only, and only a record of it
// makes the fetch count.
TEST_F(MirrorTest, ASingleFileReplyTakesTheWantedRecordOnly)
{
	int applied = -1;

	apply(archive_text({{"other", "x"}, {"d", "", true}, {"want", "yz"}}), "want", 0, &applied);
	EXPECT_EQ(applied, 1);
	EXPECT_EQ(list_tree(root), (std::vector<std::string>{"f want 2"}));
	apply(archive_text({{"other", "x"}}), "want", 0, &applied);
	EXPECT_EQ(applied, 0);
}

// Kinds must agree, whichever way an entry was retyped; a listed path lists
// itself only ("a" is not listed by "a b", "ab" or "a/x"); a link counts as
// a file.
TEST_F(MirrorTest, PruneKeepsWhatTheManifestListsWithTheSameKind)
{
	std::string manifest = manifest_text(1, {{"now_dir", "", true}, {"now_file", "x"}, {"a b", "x"}, {"b/x", "x"},
						 {"keep", "", true}, {"keep/inner", "x"}, {"link", "x"}});
	size_t start = 0;

	dircast::clear_path_index();
	for (size_t end; (end = manifest.find('\n', start)) != std::string::npos; start = end + 1)
		dircast::index_record_line(manifest.substr(start, end - start).c_str());
	write_file(root + "/now_dir", "");
	make_dirs(root + "/now_file/sub");
	write_file(root + "/a", "");
	write_file(root + "/b", "");
	make_dirs(root + "/keep/gone");
	write_file(root + "/keep/inner", "");
	symlink("/", (root + "/link").c_str());
	symlink("/", (root + "/other").c_str());
	CapturedLog log;

	dircast::prune_listed(root.c_str());
	EXPECT_EQ(list_tree(root), (std::vector<std::string>{"d keep/", "f keep/inner 0", "l link -> /"}));
	EXPECT_NE(log.text().find("dircast-mirror: pruned keep/gone\n"), std::string::npos);
}

// A manifest listing more paths than the index holds lists too little to
// prune by: neither the manifest's prune nor the archive's deletes a file.
// The fetch of its first record fails, which ends the turn there.
TEST_F(MirrorTest, AListingLargerThanTheIndexPrunesNothing)
{
	std::string manifest = manifest_head(1, "s") + "file path=unfetched size=1 hash=1\n";

	for (int i = 0; i < 800000; i++)
		manifest += "dir path=" + std::to_string(i) + "\n";
	spool(manifest + "END\n");
	write_file(root + "/unlisted", "");
	CapturedLog log;
	dircast::sockaddr_in nowhere = dircast::IPV4_ANY;
	EXPECT_EQ(dircast::delta_sync(&nowhere), 0);
	EXPECT_TRUE(exists(root + "/unlisted")) << "pruned by the manifest";
	dircast::prune_mirror();
	EXPECT_TRUE(exists(root + "/unlisted")) << "pruned after the archive";
}

} // namespace

namespace {

// Names the mirror cannot hold are the share's business: passed over without
// marking the mirror damaged, so an unchanged share can read as unchanged.
TEST_F(MirrorTest, NamesTheMirrorCannotHoldAreNoFault)
{
	dircast::clear_mirror_faults();
	apply(archive_text({{"a:b", "", true}, {"c:d", "x"}, {std::string(256, 'n'), "x"}, {"ok", "y"}}));
	EXPECT_FALSE(dircast::mirror_faulted());
	EXPECT_EQ(list_tree(root), (std::vector<std::string>{"f ok 1"}));

	spool(manifest_text(1, {{"a:b", "", true}, {"c:d", "x"}, {"ok", "y"}}));
	dircast::sockaddr_in nowhere = dircast::IPV4_ANY;  // nothing is fetched: ok is unchanged
	EXPECT_EQ(dircast::delta_sync(&nowhere), 1);
	EXPECT_FALSE(dircast::mirror_faulted());
}

} // namespace

namespace {

// The spool gives lines a record can stand in: not one too long for any
// record, nothing after the end line, and nothing of a spool cut before it.
TEST_F(MirrorTest, TheSpoolGivesWholeRecordLinesOnly)
{
	static dircast::SpoolReader reader;
	const std::string head = "DC-SHARE-MANIFEST/1\nhash=1\n\n", ok = "file path=ok size=1 hash=2";
	std::vector<std::string> lines;

	spool(head + "file path=long size=1 hash=2" + std::string(1100, ' ') + "\n" + ok + "\nEND\n" + ok + "\nEND\n");
	ASSERT_TRUE(dircast::open_spool(&reader));
	while (const char *line = dircast::next_spool_line(&reader))
		lines.push_back(line);
	EXPECT_EQ(lines, (std::vector<std::string>{"hash=1", "", ok}));
	for (const std::string &cut : {ok + "\nEN", ok + "\n", ok}) {
		spool(head + cut);
		EXPECT_FALSE(dircast::open_spool(&reader)) << cut;
	}
}

// Only a regular file can be the share's file; a FIFO planted in the mirror
// must not hold the turn (it would block an ordinary open for reading).
TEST_F(MirrorTest, OnlyRegularFilesCountAsUnchanged)
{
	write_file(root + "/empty", "");
	make_dirs(root + "/dir");
	ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0666), 0);
	EXPECT_TRUE(dircast::file_unchanged("empty", 0, 2166136261u));
	EXPECT_FALSE(dircast::file_unchanged("dir", 0, 2166136261u));
	EXPECT_FALSE(dircast::file_unchanged("fifo", 0, 2166136261u));
}

// A file the mirror wrote carries its content hash in its modification time:
// later turns trust size and time, as rsync does, and read only files whose
// time says otherwise. A copy that reads right is stamped for next time.
TEST_F(MirrorTest, StampedFilesAreKnownUnchangedWithoutReading)
{
	const unsigned abc = 440920331u, abd = 524808426u;  // content hashes of "abc" and "abd"
	struct stat st;

	apply(archive_text({{"f", "abc"}}));
	EXPECT_TRUE(dircast::file_unchanged("f", 3, abc));
	EXPECT_FALSE(dircast::file_unchanged("f", 3, abd));
	stat((root + "/f").c_str(), &st);
	timespec stamp[2] = {st.st_atim, st.st_mtim};
	write_file(root + "/f", "abd");  // same size, new bytes, a time of its own
	EXPECT_FALSE(dircast::file_unchanged("f", 3, abc));
	EXPECT_TRUE(dircast::file_unchanged("f", 3, abd)) << "read, found right";
	stat((root + "/f").c_str(), &st);
	EXPECT_EQ(st.st_mtim.tv_nsec, abd % 1000000000u) << "and stamped";
	utimensat(AT_FDCWD, (root + "/f").c_str(), stamp, 0);  // "abd" under the stamp of "abc"
	EXPECT_TRUE(dircast::file_unchanged("f", 3, abc)) << "the stamp is trusted: the bytes are not read";

	// A full archive stamps a file on the manifest's word only where a
	// record names that very path: "ab" says nothing of "a".
	spool(manifest_text(1, {{"ab", "y"}}));
	dircast::open_manifest_lookup();
	apply(archive_text({{"a", "x"}}));
	dircast::close_manifest_lookup();
	EXPECT_FALSE(dircast::file_unchanged("a", 1, content_hash("y")));
}

} // namespace
