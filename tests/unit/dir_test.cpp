// Directory iteration and the directory probe, over real trees.
#include "runtime/dir.hpp"
#include "kernel_result.hpp"
#include "support/temp_dir.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using dircast::FOLLOW_LINKS;
using dircast::LinkPolicy;
using dircast::NO_LINKS;
using dircast_test::result_name;
using dircast_test::TempDir;

const LinkPolicy POLICIES[] = {FOLLOW_LINKS, NO_LINKS};

const char *policy_name(LinkPolicy links) { return links == FOLLOW_LINKS ? "FOLLOW_LINKS" : "NO_LINKS"; }

// Every name a scan yields, in its order; the open's result is returned.
long scan_names(const std::string &path, LinkPolicy links, std::vector<std::string> *names)
{
	dircast::DirScan scan;
	long r = dircast::open_scan(&scan, path.c_str(), links);

	if (r < 0)
		return r;
	while (const char *name = dircast::next_entry(&scan))
		names->push_back(name);
	dircast::close_scan(&scan);
	return r;
}

// The kernel's order as libc reads it, dot entries left out.
std::vector<std::string> readdir_names(const std::string &path)
{
	std::vector<std::string> names;
	DIR *d = opendir(path.c_str());

	while (dirent *e = d ? readdir(d) : nullptr) {
		std::string name = e->d_name;
		if (name != "." && name != "..")
			names.push_back(name);
	}
	if (d)
		closedir(d);
	return names;
}

// The number the next open would get: unchanged if nothing leaked.
int lowest_free_descriptor()
{
	int fd = open("/dev/null", O_RDONLY);

	close(fd);
	return fd;
}

std::string long_name(int i, int length)
{
	std::string name = std::to_string(i);

	return name + std::string(length - name.size(), 'L');
}

// Around 60 long records of 200-280 bytes each span several 4096-byte
// batches, and hundreds of short ones more; the dotted names are real entries.
TEST(Dir, ScanVisitsEveryEntryAcrossBatches)
{
	TempDir dir;
	std::set<std::string> created = {"...", ".hidden", "..a", "a."};

	for (int i = 0; i < 40; i++)
		created.insert(long_name(i, 255));
	for (int i = 0; i < 300; i++)
		created.insert("f" + std::to_string(i));
	for (const std::string &name : created)
		dircast_test::write_file(dir / name, "");
	for (int i = 0; i < 20; i++) {
		std::string name = long_name(i, 200);
		ASSERT_EQ(mkdir((dir / name).c_str(), 0777), 0);
		created.insert(name);
	}

	for (LinkPolicy links : POLICIES) {
		std::vector<std::string> names;

		SCOPED_TRACE(policy_name(links));
		ASSERT_GE(scan_names(dir.path, links, &names), 0);
		EXPECT_EQ(names.size(), created.size()) << "an entry was lost or repeated";
		EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), created);
		EXPECT_EQ(names, readdir_names(dir.path)) << "entries must come in the kernel's order";
	}
}

// A tree with one of each kind of entry the walks meet.
struct Tree {
	TempDir dir;

	Tree()
	{
		dircast_test::make_dirs(dir / "d");
		dircast_test::write_file(dir / "d/f", "x");
		dircast_test::make_dirs(dir / "empty");
		dircast_test::make_dirs(dir / "long");
		dircast_test::write_file(dir / ("long/" + std::string(255, 'n')), "");
		dircast_test::write_file(dir / "file", "abc");
		symlink("d", (dir / "link_dir").c_str());
		symlink((dir / "d").c_str(), (dir / "abs_link_dir").c_str());
		symlink("file", (dir / "link_file").c_str());
		symlink("missing", (dir / "broken").c_str());
		symlink("loop", (dir / "loop").c_str());
	}
};

TEST(Dir, ProbeDirectory)
{
	Tree tree;
	const struct {
		const char *name;
		int follow;
		int no_links;
	} cases[] = {
		{"d", 1, 1},
		{"empty", 1, 1},
		{"long", 1, 1},  // its only entry has a 255-byte name
		{"file", 0, 0},
		{"link_dir", 1, 0},
		{"abs_link_dir", 1, 0},
		{"link_file", 0, 0},
		{"broken", 0, 0},
		{"loop", 0, 0},
		{"missing", 0, 0},
	};

	for (const auto &c : cases) {
		std::string path = tree.dir / c.name;

		SCOPED_TRACE(c.name);
		EXPECT_EQ(dircast::probe_directory(path.c_str(), FOLLOW_LINKS), c.follow) << "FOLLOW_LINKS";
		EXPECT_EQ(dircast::probe_directory(path.c_str(), NO_LINKS), c.no_links) << "NO_LINKS";
	}
}

TEST(Dir, OpenScanFailsWithTheKernelsError)
{
	Tree tree;
	const struct {
		const char *name;
		LinkPolicy links;
		long expected;
	} cases[] = {
		{"missing", FOLLOW_LINKS, -ENOENT},
		{"missing", NO_LINKS, -ENOENT},
		{"file", FOLLOW_LINKS, -ENOTDIR},
		{"file", NO_LINKS, -ENOTDIR},
		{"link_file", FOLLOW_LINKS, -ENOTDIR},
		{"broken", FOLLOW_LINKS, -ENOENT},
		{"loop", FOLLOW_LINKS, -ELOOP},
	};

	for (const auto &c : cases) {
		std::vector<std::string> names;

		SCOPED_TRACE(std::string(c.name) + " " + policy_name(c.links));
		EXPECT_EQ(result_name(scan_names(tree.dir / c.name, c.links, &names)), result_name(c.expected));
	}
}

// The mirror's policy: no link is ever followed, whatever it points at.
TEST(Dir, OpenScanWithoutLinksRefusesEveryLink)
{
	Tree tree;

	for (const char *name : {"link_dir", "abs_link_dir", "link_file", "broken", "loop"}) {
		std::vector<std::string> names;

		SCOPED_TRACE(name);
		EXPECT_LT(scan_names(tree.dir / name, NO_LINKS, &names), 0);
		EXPECT_TRUE(names.empty());
	}
}

TEST(Dir, CloseScanReleasesTheDescriptorOnce)
{
	TempDir dir;
	dircast::DirScan scan;
	long fd = dircast::open_scan(&scan, dir.path.c_str(), FOLLOW_LINKS);

	ASSERT_GE(fd, 0);
	dircast::close_scan(&scan);
	EXPECT_EQ(scan.fd, -1);
	EXPECT_EQ(fcntl((int)fd, F_GETFD), -1);
	EXPECT_EQ(errno, EBADF);

	// The number is reused by the next open; a second close must leave it be.
	int reused = open("/dev/null", O_RDONLY);
	ASSERT_EQ(reused, fd);
	dircast::close_scan(&scan);
	EXPECT_NE(fcntl(reused, F_GETFD), -1) << "close_scan closed a descriptor it no longer owns";
	close(reused);
}

TEST(Dir, ProbesAndScansLeakNoDescriptor)
{
	Tree tree;
	int before = lowest_free_descriptor();

	for (const char *name : {"d", "file", "link_dir", "broken", "loop", "missing"}) {
		for (LinkPolicy links : POLICIES) {
			std::vector<std::string> names;

			dircast::probe_directory((tree.dir / name).c_str(), links);
			scan_names(tree.dir / name, links, &names);
		}
	}
	EXPECT_EQ(lowest_free_descriptor(), before);
}

// Opening a FIFO for reading waits for a writer; the probe and the scan must
// refuse it instead. The child's alarm turns a hang into a reported failure.
TEST(Dir, FifoIsRefusedWithoutBlocking)
{
	TempDir dir;
	std::string fifo = dir / "fifo";
	int status = 0;

	ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		dircast::DirScan scan;
		int found = 0;

		alarm(60);
		found |= dircast::probe_directory(fifo.c_str(), FOLLOW_LINKS);
		found |= dircast::probe_directory(fifo.c_str(), NO_LINKS) << 1;
		found |= (dircast::open_scan(&scan, fifo.c_str(), FOLLOW_LINKS) >= 0) << 2;
		found |= (dircast::open_scan(&scan, fifo.c_str(), NO_LINKS) >= 0) << 3;
		_exit(found);
	}
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	ASSERT_TRUE(WIFEXITED(status)) << "opening the FIFO blocked (signal " << WTERMSIG(status) << ")";
	EXPECT_EQ(WEXITSTATUS(status), 0) << "bits: 1 probe follow, 2 probe no-links, 4 scan follow, 8 scan no-links";
}

TEST(Dir, UnreadableDirectoryIsNotADirectory)
{
	TempDir dir;
	std::string locked = dir / "locked";
	std::vector<std::string> names;

	if (geteuid() == 0)
		GTEST_SKIP() << "root reads any directory";
	ASSERT_EQ(mkdir(locked.c_str(), 0777), 0);
	dircast_test::write_file(locked + "/inside", "");
	ASSERT_EQ(chmod(locked.c_str(), 0), 0);
	for (LinkPolicy links : POLICIES) {
		SCOPED_TRACE(policy_name(links));
		EXPECT_EQ(dircast::probe_directory(locked.c_str(), links), 0);
		EXPECT_EQ(result_name(scan_names(locked, links, &names)), result_name(-EACCES));
	}
	chmod(locked.c_str(), 0700);
}

} // namespace
