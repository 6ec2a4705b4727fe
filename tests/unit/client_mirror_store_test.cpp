// The mirror store over real trees: confinement against planted links,
// atomic replacement, hashing, removal depth and the drive link.
#include "client/drive_link.hpp"
#include "client/mirror_store.hpp"
#include "client_fixture.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

using namespace dircast_test;

class MirrorStore : public MirrorTest {
protected:
	std::string outside = tmp / "outside";

	void SetUp() override
	{
		MirrorTest::SetUp();
		make_dirs(outside + "/dir");
		write_file(outside + "/file", "secret");
	}
	std::string write(const std::string &relative, const std::string &data)
	{
		CapturedLog log;

		dircast::write_mirror_file(relative.c_str(), data.data(), (unsigned)data.size());
		return log.text();
	}
};

struct WriteCase {
	const char *name;
	void (*plant)(const std::string &root, const std::string &outside);
	const char *relative;
	const char *log;
	std::vector<std::string> tree;
};

const WriteCase WRITE_CASES[] = {
	{"missing directories are made", [](auto &, auto &) {}, "d1/d2/f", "mirrored file d1/d2/f",
	 {"d d1/", "d d1/d2/", "f d1/d2/f 4"}},
	{"a file on the way stops the walk", [](auto &r, auto &) { write_file(r + "/d1", ""); }, "d1/f", "",
	 {"f d1 0"}},
	{"a link on the way stops the walk", [](auto &r, auto &o) { symlink((o + "/dir").c_str(), (r + "/d").c_str()); },
	 "d/f", "", {}},
	{"a link at the leaf is replaced", [](auto &r, auto &o) { symlink((o + "/file").c_str(), (r + "/f").c_str()); },
	 "f", "mirrored file f", {"f f 4"}},
	{"a directory at the leaf stays", [](auto &r, auto &) { make_dirs(r + "/f/x"); }, "f", "failed to write file f",
	 {"d f/", "d f/x/"}},
	{"a colon never reaches the disk", [](auto &, auto &) {}, "c:/x", "", {}},
	{"a traversal is rejected", [](auto &, auto &) {}, "../outside/file", "rejected unsafe path", {}},
};

TEST_F(MirrorStore, WritesStayBelowTheRootAndNeverFollowLinks)
{
	for (const WriteCase &c : WRITE_CASES) {
		std::string expected_log = *c.log ? std::string("dircast-mirror: ") + c.log + "\n" : "";
		std::vector<std::string> tree;

		remove_tree(root);
		make_dirs(root);
		c.plant(root, outside);
		EXPECT_EQ(write(c.relative, "data"), expected_log) << c.name;
		for (const std::string &e : list_tree(root))
			if (e[0] != 'l')
				tree.push_back(e);
		EXPECT_EQ(tree, c.tree) << c.name;
		EXPECT_EQ(list_tree(outside), (std::vector<std::string>{"d dir/", "f file 6"})) << c.name;
		EXPECT_EQ(read_file(outside + "/file"), "secret") << c.name;
	}
}

// A write cut short by the file-size limit (room for the log line, not for
// the content): the old file stays whole and no partial entry is left.
TEST_F(MirrorStore, FailedWriteKeepsTheOldFile)
{
	rlimit saved, small;

	write_file(root + "/f", "old");
	dircast::clear_mirror_faults();
	signal(SIGXFSZ, SIG_IGN);
	getrlimit(RLIMIT_FSIZE, &saved);
	small = {100, saved.rlim_max};  // the hard limit could not be raised again
	setrlimit(RLIMIT_FSIZE, &small);
	std::string log = write("f", std::string(500, 'n'));
	setrlimit(RLIMIT_FSIZE, &saved);

	EXPECT_EQ(log, "dircast-mirror: failed to write file f\n");
	EXPECT_EQ(read_file(root + "/f"), "old");
	EXPECT_EQ(list_tree(root), (std::vector<std::string>{"f f 3"}));
	EXPECT_TRUE(dircast::mirror_faulted());
	dircast::clear_mirror_faults();
}

TEST_F(MirrorStore, ConfinedMkdirAndParents)
{
	write_file(root + "/file", "");
	EXPECT_EQ(kernel_result(dircast::confined_mkdir(root.c_str(), "a/b")), "0");
	EXPECT_EQ(kernel_result(dircast::confined_mkdir(root.c_str(), "a/b")), "0");
	EXPECT_EQ(kernel_result(dircast::confined_mkdir(root.c_str(), "file")), "-ENOTDIR");
	EXPECT_EQ(kernel_result(dircast::confined_mkdir(root.c_str(), "a:b")), "-EINVAL");
	dircast::make_parent_dirs((root + "/p/q/leaf").c_str());
	dircast::make_parent_dirs((root + "/s/t/").c_str());
	EXPECT_EQ(list_tree(root), (std::vector<std::string>{"d a/", "d a/b/", "d p/", "d p/q/", "d s/", "d s/t/",
							     "f file 0"}));
}

TEST_F(MirrorStore, HashLocalFile)
{
	unsigned size = 99;

	write_file(root + "/abc", "abc");
	write_file(root + "/empty", "");
	EXPECT_EQ(dircast::hash_local_file(open((root + "/abc").c_str(), O_RDONLY), &size), 440920331u);
	EXPECT_EQ(size, 3u);
	EXPECT_EQ(dircast::hash_local_file(open((root + "/empty").c_str(), O_RDONLY), &size), 2166136261u);
	EXPECT_EQ(size, 0u);
	EXPECT_EQ(dircast::hash_local_file(-1, &size), 2166136261u);
}

// Chains hang below root/c; remove_tree starts at depth 0 on root/c.
TEST_F(MirrorStore, RemoveTreeDepthAndLinks)
{
	for (int levels : {10, 11}) {
		std::string chain = root + "/c";

		for (int i = 1; i < levels; i++)
			chain += "/c";
		make_dirs(chain);
		dircast::remove_tree((root + "/c").c_str(), 0);
		EXPECT_EQ(exists(root + "/c"), levels == 11) << levels;
		remove_tree(root + "/c");
	}
	symlink(outside.c_str(), (root + "/link").c_str());
	dircast::remove_tree((root + "/link").c_str(), 0);
	EXPECT_FALSE(exists(root + "/link"));
	EXPECT_EQ(read_file(outside + "/file"), "secret");
}

TEST_F(MirrorStore, MapDriveReplacesTheLink)
{
	const struct {
		const char *drive, *root;
		bool mapped;
	} cases[] = {{"yz", "/m", true}, {"y", "rel/m", true}, {"", "/m", false}};

	symlink("/old", (dos + "/y:").c_str());
	for (const auto &c : cases) {
		CapturedLog log;

		dircast::client_settings.drive = c.drive;
		dircast::client_settings.mirror_root = c.root;
		dircast::map_drive();
		EXPECT_EQ(log.text(), c.mapped ? "dircast-mirror: mapped " + dos + "/y: to " + c.root + "\n"
					       : "dircast-mirror: failed to map drive\n");
	}
	EXPECT_EQ(list_tree(dos), (std::vector<std::string>{"l y: -> rel/m"}));
}

} // namespace
