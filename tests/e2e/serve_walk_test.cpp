// dircast-serve end to end: what the tree walks publish for the awkward
// corners of a real tree (depth, links, special files, names the protocol
// cannot carry).
#include "support/documents.hpp"
#include "support/loopback.hpp"
#include "support/process.hpp"
#include "support/serve_runner.hpp"
#include "support/temp_dir.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace dircast_test;

namespace {

// A linkless tree's manifest and archive records, worked out from readdir's
// order as the walks keep it: a directory's files, then each subdirectory's
// record and all below it. hashed: the text the manifest hash folds, in
// readdir's order.
struct Answers {
	std::string manifest, archive;
};

void expect_walk(const std::string &dir, const std::string &rel, Answers &out, std::string &hashed)
{
	Answers files, dirs;
	DIR *d = opendir(dir.c_str());

	for (dirent *e; (e = readdir(d));) {
		std::string name = e->d_name, path = rel.empty() ? name : rel + "/" + name;
		Answers below;
		if (name == "." || name == "..")
			continue;
		if (e->d_type == DT_DIR) {
			hashed += "dir:" + path + "\n";
			expect_walk(dir + "/" + name, path, below, hashed);
			dirs.manifest += "dir path=" + path + "\n" + below.manifest;
			dirs.archive += "dir path=" + path + "\n" + below.archive;
			continue;
		}
		std::string content = read_file(dir + "/" + name), size = std::to_string(content.size());
		std::string hash = std::to_string(content_hash(content));
		hashed += "file:" + path + ":" + size + ":" + hash + "\n";
		files.manifest += "file path=" + path + " size=" + size + " hash=" + hash + "\n";
		files.archive += "file path=" + path + " size=" + size + "\n" + content + "\nendfile\n";
	}
	closedir(d);
	out.manifest += files.manifest + dirs.manifest;
	out.archive += files.archive + dirs.archive;
}

void grow(const std::string &dir, int level)
{
	write_file(dir + "/f" + std::to_string(level), std::string(level, 'x'));
	write_file(dir + "/g", "g");
	for (const std::string sub : {"/m", "/n"})
		if (level < 6)
			make_dirs(dir + sub), grow(dir + sub, level + 1);
}

class ServeWalk : public ::testing::TestWithParam<std::string> {
protected:
	TempDir tmp;
	std::string root = tmp / "share";
	ServeRun host;

	void SetUp() override { make_dirs(root); }
	void start(ServeRun &run, const std::string &share)
	{
		ASSERT_TRUE(start_serve(run, share, share + ".log", {}, GetParam())) << run.process.output();
	}
	std::string ask(const std::string &request) { return tcp_exchange(host.port, request); }
};

// Listings that fail (a bad sector, a dropped network filesystem) must not
// read as deletions at the mirrors: both answers are cut, no end marker.
TEST_P(ServeWalk, FailedListingsCutTheAnswers)
{
	write_file(root + "/a.txt", "abc");
	ASSERT_TRUE(start_serve(host, root, tmp / "serve.log", {}, GetParam(), {build_dir() + "/tests/failing_listings"}))
		<< host.process.output();
	EXPECT_EQ(ask(MANIFEST_REQUEST), "");
	EXPECT_EQ(ask(ARCHIVE_REQUEST), "");
	EXPECT_EQ(count_of(host.process.output(), "share root unavailable"), 0);
	// Nor may the share watch's walk announce a hash of what it could not list.
	ServeRun watched;
	ASSERT_TRUE(start_serve(watched, root, tmp / "watched.log", {"--announce-changes"}, GetParam(),
				{build_dir() + "/tests/failing_listings"}));
	UdpReceiver beacons(watched.beacon_port);
	for (int i = 0; i < 8; i++)
		EXPECT_EQ(beacons.receive().find(" hash="), std::string::npos);
}

// Inode numbers beyond 32 bits (overlayfs with xino here; XFS inode64 and
// some NFS servers too) must not empty the share on either build.
TEST_P(ServeWalk, InodeNumbersBeyond32BitsAreListed)
{
	std::string low = tmp / "low", up = tmp / "up", work = tmp / "work", inode = tmp / "inode";
	const std::string script =
		"mount -t tmpfs tmpfs \"$1\" && printf abc > \"$1/a.txt\" && "
		"mount -t overlay overlay -o \"lowerdir=$1,upperdir=$2,workdir=$3,xino=on\" \"$4\" && "
		"stat -c %i \"$4/a.txt\" > \"$5\" && shift 5 && exec \"$@\"";

	if (geteuid() != 0)
		GTEST_SKIP() << "needs root for an overlay mount in a private mount namespace";
	for (const std::string &dir : {low, up, work})
		make_dirs(dir);
	if (!start_serve(host, root, tmp / "serve.log", {}, GetParam(),
			 {"unshare", "-m", "sh", "-c", script, "sh", low, up, work, root, inode}))
		GTEST_SKIP() << "no overlay mount with xino here: " << host.process.output();
	if (std::stoull(read_file(inode)) <= 0xffffffffull)
		GTEST_SKIP() << "the overlay gave 32-bit inode numbers";
	EXPECT_EQ(ask(MANIFEST_REQUEST), manifest_head(3908593925u) + "file path=a.txt size=3 hash=440920331\nEND\n");
}

// A file beyond 2 GiB (an i386 open without O_LARGEFILE fails on it, and a
// signed 32-bit size goes negative) is measured, hashed and carried whole
// on both builds. The expected hash folds the sparse zeros as one power of
// the prime: zeros leave the xor step alone.
TEST_P(ServeWalk, FilesBeyondTwoGibibytesAreCarried)
{
	const unsigned long long zeros = 1ull << 31;
	unsigned hash = 2166136261u, power = 16777619u;

	for (unsigned long long n = zeros; n; n >>= 1, power *= power)
		if (n & 1)
			hash *= power;
	for (unsigned char c : std::string("abc"))
		hash = (hash ^ c) * 16777619u;
	int fd = open((root + "/big").c_str(), O_WRONLY | O_CREAT, 0644);
	ASSERT_EQ(pwrite(fd, "abc", 3, (off_t)zeros), 3);
	close(fd);
	start(host, root);
	EXPECT_NE(tcp_exchange(host.port, MANIFEST_REQUEST, 120000).find("\nfile path=big size=2147483651 hash=" + std::to_string(hash) + "\n"),
		  std::string::npos);
	int socket = tcp_connect(host.port);
	send(socket, file_request("big").data(), file_request("big").size(), 0);
	std::string answer = read_until_close(socket, 10000, nullptr, 4096);  // the head and the record line
	close(socket);
	EXPECT_NE(answer.find("\nfile path=big size=2147483651\n"), std::string::npos) << answer.substr(0, 300);
}

// Six levels of two subdirectories each, no links: every answer stays what
// it was, also where the walk reopens directories it went far below.
TEST_P(ServeWalk, TreesWithinTheOldLimitsKeepTheirAnswers)
{
	Answers expected;
	std::string hashed = "c-host\n";

	grow(root, 0);
	expect_walk(root, "", expected, hashed);
	start(host, root);
	EXPECT_EQ(ask(MANIFEST_REQUEST), manifest_head(content_hash(hashed)) + expected.manifest + "END\n");
	EXPECT_EQ(ask(ARCHIVE_REQUEST), archive_head(root) + expected.archive + "END\n");
}

TEST_P(ServeWalk, UnreadableEntriesAreEmptyFilesInTheManifestAndAbsentFromArchives)
{
	write_file(root + "/empty", "");
	ASSERT_EQ(symlink("nowhere", (root + "/dangling").c_str()), 0);
	ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0666), 0);
	ASSERT_EQ(symlink("pipe", (root + "/pipe-link").c_str()), 0);
	start(host, root);

	bool closed;
	std::string manifest = tcp_exchange(host.port, MANIFEST_REQUEST, 10000, &closed);
	ASSERT_TRUE(closed) << "the host blocked on a special file";
	for (const char *name : {"empty", "dangling", "pipe", "pipe-link"})
		EXPECT_NE(manifest.find(std::string("file path=") + name + " size=0 hash=2166136261\n"), std::string::npos)
			<< name;
	std::string archive = ask(ARCHIVE_REQUEST);
	EXPECT_NE(archive.find("file path=empty size=0\n\nendfile\n"), std::string::npos);
	EXPECT_EQ(count_of(archive, "file path="), 1);
	for (const char *name : {"pipe", "dangling"})
		EXPECT_EQ(ask(file_request(name)).find("file path="), std::string::npos) << name;
}

// Three loops on each of four levels (into the directory itself, its parent
// and the root's parent) would be walked 3^n times: each is left out, logged
// once per answer, and the rest (a link to another tree too) is listed as
// in a copy without them.
TEST_P(ServeWalk, LinkLoopsAreLeftOutInBoundedTime)
{
	std::string clean = tmp / "clean", other = tmp / "other", targets[] = {".", "..", tmp.path};
	ServeRun copy;

	make_dirs(other);
	write_file(other + "/o", "o");
	for (const std::string &top : {root, clean}) {
		make_dirs(top + "/a/b/c");
		write_file(top + "/a/b/c/f", "x");
		ASSERT_EQ(symlink(other.c_str(), (top + "/other").c_str()), 0);
	}
	for (const std::string &at : {"", "/a", "/a/b", "/a/b/c"})
		for (int i = 0; i < 3; i++)
			ASSERT_EQ(symlink(targets[i].c_str(), (root + at + "/loop" + std::to_string(i)).c_str()), 0);
	start(host, root);
	start(copy, clean);

	EXPECT_EQ(ask(MANIFEST_REQUEST), tcp_exchange(copy.port, MANIFEST_REQUEST));
	EXPECT_EQ(count_of(ask(ARCHIVE_REQUEST), "file path="), 2);
	ASSERT_TRUE(host.process.wait_for_output("dircast-serve: archive sent\n"));
	EXPECT_EQ(count_of(host.process.output(), "dircast-serve: link loop left out "), 2 * 12);
	EXPECT_EQ(count_of(host.process.output(), "link loop left out a/b/loop1\n"), 2);
}

// Inside: a link into the share; outside: one to another tree; and a
// broken one. Files through a link the mode leaves out are not served.
TEST_P(ServeWalk, EachLinksModeFollowsItsOwnLinks)
{
	std::string outside = root + "-beside";  // the root's path is a prefix of its path

	make_dirs(root + "/in/sub");
	make_dirs(outside);
	write_file(root + "/in/sub/f", "i");
	write_file(outside + "/o", "o");
	ASSERT_EQ(symlink((root + "/in/sub").c_str(), (root + "/inside").c_str()), 0);
	ASSERT_EQ(symlink(outside.c_str(), (root + "/out").c_str()), 0);
	ASSERT_EQ(symlink("nowhere", (root + "/broken").c_str()), 0);
	for (const std::string links : {"follow", "within", "none"}) {
		ServeRun run;
		ASSERT_TRUE(start_serve(run, root, tmp / links, {"--links=" + links}, GetParam())) << run.process.output();
		std::string manifest = tcp_exchange(run.port, MANIFEST_REQUEST);
		auto listed = [&](const std::string &path) { return manifest.find("path=" + path) != std::string::npos; };

		EXPECT_EQ(listed("inside/f "), links != "none") << links;
		EXPECT_EQ(listed("out/o "), links == "follow") << links;
		EXPECT_EQ(listed("broken size=0 "), links == "follow") << links;
		EXPECT_EQ(tcp_exchange(run.port, file_request("out/o")).find("path=out/o") != std::string::npos,
			  links == "follow") << links;
	}
}

// Names a reader would split wrongly or must refuse are left out, with all
// below them; the rest of the share is published exactly as without them.
TEST_P(ServeWalk, NamesTheProtocolCannotCarryAreLeftOut)
{
	std::string clean = tmp / "clean";
	make_dirs(clean);
	write_file(root + "/ok.txt", "fine");
	write_file(clean + "/ok.txt", "fine");
	for (const char *bad : {"line\nfeed", "carriage\rreturn", "back\\slash", "del\x7f", "a size=3", "b hash=1"})
		write_file(root + "/" + bad, "bad");
	make_dirs(root + "/ctl\x01dir");
	write_file(root + "/ctl\x01dir/inner", "hidden");
	ServeRun other;
	start(host, root);
	start(other, clean);

	EXPECT_EQ(ask(MANIFEST_REQUEST), tcp_exchange(other.port, MANIFEST_REQUEST));
	std::string archive = ask(ARCHIVE_REQUEST);
	EXPECT_EQ(count_of(archive, "file path="), 1);
	EXPECT_EQ(archive.find("inner"), std::string::npos);
	for (const char *bad : {"a size=3", "b hash=1"})
		EXPECT_EQ(ask(file_request(bad)).find("file path="), std::string::npos) << bad;
}

TEST_P(ServeWalk, LinkedDirectoriesAreWalkedAndLinkedFilesSent)
{
	std::string outside = tmp / "outside";
	make_dirs(outside);
	write_file(outside + "/o.txt", "out");
	ASSERT_EQ(symlink(outside.c_str(), (root + "/linked").c_str()), 0);
	ASSERT_EQ(symlink((outside + "/o.txt").c_str(), (root + "/file-link").c_str()), 0);
	start(host, root);
	std::string archive = ask(ARCHIVE_REQUEST);

	EXPECT_NE(archive.find("dir path=linked\nfile path=linked/o.txt size=3\nout\nendfile\n"), std::string::npos);
	EXPECT_NE(archive.find("file path=file-link size=3\nout\nendfile\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Arch, ServeWalk, ::testing::Values("i386", "x86_64"));

} // namespace
