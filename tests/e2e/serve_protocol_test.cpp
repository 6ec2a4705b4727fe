// dircast-serve end to end: the exact bytes of beacon, manifest and archives
// from the real program, on both architectures, over temporary share roots.
#include "support/documents.hpp"
#include "support/loopback.hpp"
#include "support/serve_runner.hpp"
#include "support/temp_dir.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace dircast_test;

namespace {

// The order getdents hands out, which the host's walks follow.
std::vector<std::string> kernel_order(const std::string &dir)
{
	std::vector<std::string> names;
	DIR *d = opendir(dir.c_str());

	while (dirent *e = readdir(d)) {
		std::string n = e->d_name;
		if (n != "." && n != "..")
			names.push_back(n);
	}
	closedir(d);
	return names;
}

class ServeProtocol : public ::testing::TestWithParam<std::string> {
protected:
	TempDir tmp;
	std::string root = tmp / "share";
	ServeRun host;

	void SetUp() override { make_dirs(root); }
	void start(const std::vector<std::string> &extra = {})
	{
		ASSERT_TRUE(start_serve(host, root, tmp / "serve.log", extra, GetParam())) << host.process.output();
	}
	std::string ask(const std::string &request) { return tcp_exchange(host.port, request); }
};

// An empty root is an empty share; a root that cannot be listed (missing,
// or not a directory) would read as "every file deleted", so its answers
// are cut: nothing at all, and one log line per answer.
TEST_P(ServeProtocol, AnEmptyRootIsAnEmptyShareAnUnreadableOneIsCut)
{
	start();
	EXPECT_EQ(ask(MANIFEST_REQUEST), manifest_head(3241883111u) + "END\n");
	EXPECT_EQ(ask(ARCHIVE_REQUEST), archive_head(root) + "END\n");
	remove_tree(root);
	EXPECT_EQ(ask(MANIFEST_REQUEST), "");
	EXPECT_EQ(ask(ARCHIVE_REQUEST), "");
	write_file(root, "a file where the root should be");
	EXPECT_EQ(ask(MANIFEST_REQUEST), "");
	EXPECT_EQ(ask(ARCHIVE_REQUEST), "");
	EXPECT_TRUE(host.process.wait_for_output("archive sent\n"));
	EXPECT_EQ(count_of(host.process.output(), "dircast-serve: share root unavailable\n"), 4)
		<< host.process.output();
	remove_tree(root);
	make_dirs(root);
	EXPECT_EQ(ask(MANIFEST_REQUEST), manifest_head(3241883111u) + "END\n");
}

TEST_P(ServeProtocol, OneFileShareMatchesTheWorkedManifest)
{
	write_file(root + "/a.txt", "abc");
	start();
	EXPECT_EQ(ask(MANIFEST_REQUEST), manifest_head(3908593925u) + "file path=a.txt size=3 hash=440920331\nEND\n");
	EXPECT_EQ(ask(ARCHIVE_REQUEST), archive_head(root) + "file path=a.txt size=3\nabc\nendfile\nEND\n");
}

TEST_P(ServeProtocol, FilesComeBeforeDirectoriesAndTheHashFollowsKernelOrder)
{
	write_file(root + "/a.txt", "abc");
	make_dirs(root + "/sub");
	write_file(root + "/sub/b.txt", "");
	std::vector<std::string> order = kernel_order(root);
	unsigned expected = order[0] == "a.txt" ? 2994931705u : 4180802033u;

	start();
	EXPECT_EQ(ask(MANIFEST_REQUEST), manifest_head(expected) + "file path=a.txt size=3 hash=440920331\n"
							   "dir path=sub\nfile path=sub/b.txt size=0 hash=2166136261\nEND\n");
	EXPECT_EQ(ask(ARCHIVE_REQUEST), archive_head(root) + "file path=a.txt size=3\nabc\nendfile\ndir path=sub\n"
						       "file path=sub/b.txt size=0\n\nendfile\nEND\n");
}

TEST_P(ServeProtocol, FileContentIsRawBytes)
{
	std::string content("END\ndir path=x\n\0\xff", 17);

	write_file(root + "/raw", content);
	start();
	EXPECT_EQ(ask(ARCHIVE_REQUEST), archive_head(root) + "file path=raw size=17\n" + content + "\nendfile\nEND\n");
}

TEST_P(ServeProtocol, SingleFileRequests)
{
	make_dirs(root + "/d/e");
	write_file(root + "/d/e/f.txt", "hello");
	start();
	const std::string record = "file path=d/e/f.txt size=5\nhello\nendfile\n";
	EXPECT_EQ(ask(file_request("d/e/f.txt")), archive_head(root) + record + "END\n");
	EXPECT_EQ(ask("GET file path=d/e/f.txt\r\n\r\n"), archive_head(root) + record + "END\n");
	for (const char *unsafe : {"d/e", "d/../d/e/f.txt", "/d/e/f.txt", "", "d//e/f.txt", "d/e/f.txt/",
				   "./d/e/f.txt", "d\\e", "missing"})
		EXPECT_EQ(ask(file_request(unsafe)), archive_head(root) + "END\n")
			<< "path " << unsafe;
	EXPECT_TRUE(host.process.wait_for_output("dircast-serve: sending file d/e/f.txt\n"));
}

TEST_P(ServeProtocol, BeaconNamesTheShareAndPort)
{
	UdpReceiver beacons(free_udp_port());

	start({"--beacon-port", std::to_string(beacons.port)});
	EXPECT_EQ(beacons.receive(), "DC-SHARE/1 name=c-host root=" + root + " port=" + std::to_string(host.port) +
					     " mode=read-only\n");
}

INSTANTIATE_TEST_SUITE_P(Arch, ServeProtocol, ::testing::Values("i386", "x86_64"));

} // namespace
