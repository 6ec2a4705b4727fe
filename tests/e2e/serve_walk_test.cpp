// dircast-serve end to end: what the tree walks publish for the awkward
// corners of a real tree (depth, links, special files, names the protocol
// cannot carry).
#include "support/documents.hpp"
#include "support/loopback.hpp"
#include "support/process.hpp"
#include "support/serve_runner.hpp"
#include "support/temp_dir.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace dircast_test;

namespace {

std::string hash_line(const std::string &manifest)
{
	size_t at = manifest.find("hash=");
	return manifest.substr(at, manifest.find('\n', at) - at);
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

TEST_P(ServeWalk, NothingBelowDepthSevenIsPublished)
{
	std::string clean = tmp / "clean";
	std::string path = root, clean_path = clean;

	for (int level = 1; level <= 8; level++) {
		path += "/d" + std::to_string(level);
		clean_path += "/d" + std::to_string(level);
		make_dirs(path);
		write_file(path + "/f", "level " + std::to_string(level));
		if (level <= 7)
			make_dirs(clean_path);
		if (level <= 6)
			write_file(clean_path + "/f", "level " + std::to_string(level));
	}
	ServeRun other;
	start(host, root);
	start(other, clean);
	std::string manifest = ask(MANIFEST_REQUEST);

	EXPECT_NE(manifest.find("dir path=d1/d2/d3/d4/d5/d6/d7\n"), std::string::npos);
	EXPECT_NE(manifest.find("file path=d1/d2/d3/d4/d5/d6/f "), std::string::npos);
	EXPECT_EQ(manifest.find("d7/f"), std::string::npos);
	EXPECT_EQ(manifest.find("d7/d8"), std::string::npos);
	EXPECT_EQ(count_of(manifest, "dir path="), 7);
	// Nothing below the seventh level reaches the hash either.
	EXPECT_EQ(hash_line(manifest), hash_line(tcp_exchange(other.port, MANIFEST_REQUEST)));
	EXPECT_EQ(count_of(ask(ARCHIVE_REQUEST), "file path="), 6);
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

TEST_P(ServeWalk, ALinkToItsOwnDirectoryRepeatsUntilTheDepthLimit)
{
	write_file(root + "/f", "x");
	ASSERT_EQ(symlink(".", (root + "/loop").c_str()), 0);
	start(host, root);
	std::string manifest = ask(MANIFEST_REQUEST);

	EXPECT_EQ(count_of(manifest, "dir path="), 7);
	EXPECT_NE(manifest.find("dir path=loop/loop/loop/loop/loop/loop/loop\n"), std::string::npos);
	EXPECT_NE(manifest.find("file path=loop/loop/loop/loop/loop/loop/f "), std::string::npos);
	EXPECT_EQ(manifest.substr(manifest.size() - 4), "END\n");
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
