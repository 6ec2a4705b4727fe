// dircast-mirror against the real dircast-serve on loopback: discovery by
// beacon, a byte-exact first sync, an unchanged share, and a delta that
// fetches only what changed, on both architectures of the client.
#include "support/serve_runner.hpp"
#include "support/temp_dir.hpp"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <thread>

using namespace dircast_test;

namespace {

std::set<std::string> sent_files(const std::string &log)
{
	const std::string key = "dircast-serve: sending file ";
	std::set<std::string> out;

	for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1))
		out.insert(log.substr(at + key.size(), log.find('\n', at) - at - key.size()));
	return out;
}

class MirrorHost : public ::testing::TestWithParam<std::string> {};

TEST_P(MirrorHost, DiscoversSyncsAndFollowsChanges)
{
	TempDir tmp;
	std::string share = tmp / "share", root = tmp / "mirror", dos = tmp / "dos";
	ServeRun host;
	Process mirror;

	make_dirs(dos);
	make_dirs(share + "/sub/deep");
	make_dirs(share + "/d2f/x");
	write_file(share + "/a.txt", "abc");
	write_file(share + "/sub/b.txt", "");
	write_file(share + "/sub/deep/c", std::string("\0END\nendfile\n", 13));
	write_file(share + "/gone", "bye");
	write_file(share + "/f2d", "file");
	write_file(share + "/keep", "same");
	ASSERT_TRUE(start_serve(host, share, tmp / "serve.log")) << host.process.output();
	mirror.start({program_path("dircast-mirror", GetParam()), "--beacon-port", std::to_string(host.beacon_port),
		      "--mirror-root", root, "--dosdevices", dos, "--poll", "1"},
		     tmp / "mirror.log");

	ASSERT_TRUE(mirror.wait_for_output("dircast-mirror: no share changes\n", 30000)) << mirror.output();
	EXPECT_EQ(mirror.output().substr(0, mirror.output().find("connect ok")),
		  "dircast-mirror: start\ndircast-mirror: waiting for share beacon on 0.0.0.0:" +
			  std::to_string(host.beacon_port) + "\ndircast-mirror: beacon received\n"
			  "dircast-mirror: connecting to advertised host:" + std::to_string(host.port) +
			  "\ndircast-mirror: ");
	EXPECT_EQ(snapshot(root), snapshot(share));
	EXPECT_TRUE(is_link(dos + "/y:"));
	std::string host_log = host.process.output();
	EXPECT_EQ(host_log.substr(host_log.rfind("archive sent\n")).find("file"), std::string::npos)
		<< "an unchanged share costs the manifest only";

	size_t mark = host.process.output().size();
	size_t mirror_mark = mirror.output().size();
	write_file(share + "/a.txt", "abcd");
	make_dirs(share + "/new");
	write_file(share + "/new/n.txt", "new");
	remove_tree(share + "/gone");
	remove_tree(share + "/f2d");
	make_dirs(share + "/f2d");
	write_file(share + "/f2d/in", "i");
	remove_tree(share + "/d2f");
	write_file(share + "/d2f", "now a file");

	EXPECT_TRUE(wait_until([&] {
		return snapshot(root) == snapshot(share) &&
		       mirror.output().find("delta changed files", mirror_mark) != std::string::npos;
	}, 30000)) << mirror.output().substr(mirror_mark);
	EXPECT_EQ(sent_files(host.process.output().substr(mark)),
		  (std::set<std::string>{"a.txt", "new/n.txt", "f2d/in", "d2f"}));
	EXPECT_EQ(mirror.output().find("archive request sent", mirror_mark), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Arch, MirrorHost, ::testing::Values("i386", "x86_64"));

} // namespace
