// The mirror store over real trees: confinement against planted links,
// atomic replacement, and how deep removal goes.
#include "client/mirror_store.hpp"
#include "client_fixture.hpp"

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>

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

		dircast::IncomingFile file;

		if (dircast::begin_mirror_file(&file, relative.c_str())) {
			dircast::write_mirror_bytes(&file, data.data(), (long)data.size());
			dircast::end_mirror_file(&file);
		}
		return log.text();
	}
};

const struct {
	const char *name;
	void (*plant)(const std::string &root, const std::string &outside);
	const char *relative, *log;
	std::vector<std::string> tree;  // links left out
} WRITE_CASES[] = {
	{"missing directories are made", [](auto &, auto &) {}, "d1/d2/f", "mirrored file d1/d2/f",
	 {"d d1/", "d d1/d2/", "f d1/d2/f 4"}},
	{"a file on the way stops the walk", [](auto &r, auto &) { write_file(r + "/d1", ""); }, "d1/f",
	 "failed to write file d1/f", {"f d1 0"}},
	{"a link on the way stops the walk",
	 [](auto &r, auto &o) { symlink((o + "/dir").c_str(), (r + "/d").c_str()); }, "d/f", "failed to write file d/f", {}},
	{"a link at the leaf is replaced",
	 [](auto &r, auto &o) { symlink((o + "/file").c_str(), (r + "/f").c_str()); }, "f", "mirrored file f", {"f f 4"}},
	{"a directory at the leaf gives way", [](auto &r, auto &) { make_dirs(r + "/f/x"); }, "f", "mirrored file f",
	 {"f f 4"}},
	{"a mirror root that is a link", [](auto &r, auto &o) { rmdir(r.c_str()); symlink(o.c_str(), r.c_str()); },
	 "f", "failed to write file f", {"d dir/", "f file 6"}},  // listed through the link: the outside, unchanged
	{"a colon never reaches the disk", [](auto &, auto &) {}, "c:/x", "", {}},
	{"a traversal is rejected", [](auto &, auto &) {}, "../outside/file", "rejected unsafe path", {}},
};

TEST_F(MirrorStore, WritesStayBelowTheRootAndNeverFollowLinks)
{
	for (const auto &c : WRITE_CASES) {
		std::vector<std::string> tree;

		remove_tree(root);
		make_dirs(root);
		c.plant(root, outside);
		EXPECT_EQ(write(c.relative, "data"), *c.log ? std::string("dircast-mirror: ") + c.log + "\n" : "") << c.name;
		for (const std::string &e : list_tree(root))
			if (e[0] != 'l')
				tree.push_back(e);
		EXPECT_EQ(tree, c.tree) << c.name;
		EXPECT_EQ(list_tree(outside), (std::vector<std::string>{"d dir/", "f file 6"})) << c.name;
		EXPECT_EQ(read_file(outside + "/file"), "secret") << c.name;
		remove_tree(root);
	}
}

// A write cut short by the file-size limit (room for the log line, not the
// content): the old file stays whole, nothing is left beside it, and the
// mirror counts as damaged.
TEST_F(MirrorStore, FailedWriteKeepsTheOldFile)
{
	rlimit saved, small;

	write_file(root + "/f", "old");
	dircast::clear_mirror_faults();
	signal(SIGXFSZ, SIG_IGN);
	getrlimit(RLIMIT_FSIZE, &saved);
	small = {100, saved.rlim_max};  // a lowered hard limit could not be raised again
	setrlimit(RLIMIT_FSIZE, &small);
	std::string log = write("f", std::string(500, 'n'));
	setrlimit(RLIMIT_FSIZE, &saved);

	EXPECT_EQ(log, "dircast-mirror: failed to write file f\n");
	EXPECT_EQ(list_tree(root), (std::vector<std::string>{"f f 3"}));
	EXPECT_EQ(read_file(root + "/f"), "old");
	EXPECT_TRUE(dircast::mirror_faulted());
}

// Chains hang below root/c, removed from depth 0: 258 levels (deeper than
// any relative path reaches) go, 259 stay whole; a link goes itself and its
// target stays.
TEST_F(MirrorStore, RemoveTreeDepthAndLinks)
{
	for (int levels : {258, 259}) {
		std::string chain = root + "/c";

		for (int i = 1; i < levels; i++)
			chain += "/c";
		make_dirs(chain);
		dircast::remove_tree(AT_FDCWD, (root + "/c").c_str(), 0);
		EXPECT_EQ(exists(chain), levels == 259) << levels;
		remove_tree(root + "/c");
	}
	symlink(outside.c_str(), (root + "/link").c_str());
	dircast::remove_tree(AT_FDCWD, (root + "/link").c_str(), 0);
	EXPECT_FALSE(exists(root + "/link"));
	EXPECT_EQ(read_file(outside + "/file"), "secret");
}

} // namespace
