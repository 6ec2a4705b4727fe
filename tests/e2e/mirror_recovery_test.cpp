// dircast-mirror end to end against a scripted host: a reply that stalls in
// the middle, and what an interrupted earlier run left in the mirror.
#include "support/mirror_runner.hpp"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace dircast_test;

namespace {

const std::vector<Entry> SHARE = {{"top", ""}, {"d", "", true}, {"d/f", "x"}};

// A host that stops in the middle of its manifest. The mirror's socket must
// carry the 120-second idle limit, read here through a duplicate of that
// socket since the limit itself is too long to wait out. Shortened to a
// second on the same socket, it ends the stalled reply at the next receive
// (a byte every two seconds, so one receive surely starts after the change):
// the manifest counts as incomplete and the turn goes on to the archive.
TEST(MirrorRecovery, AReplyThatStallsEndsAtTheIdleLimit)
{
	std::string manifest = manifest_text(1, SHARE);
	ScriptedHost host([&](const std::string &r, int) {
		if (r != MANIFEST_REQUEST)
			return publish(r, SHARE, 1);
		ScriptedReply reply{manifest.substr(0, 30)};
		for (size_t at = 30; at < 35; at++)
			reply.pieces.push_back(manifest.substr(at, 1));
		reply.pause_ms = 2000;
		reply.hold_ms = 60000;
		return reply;
	});
	Mirror m;
	timeval limit = {};
	socklen_t length = sizeof limit;

	m.process.start(m.args(host.port(), "--once"), m.tmp / "mirror.log");
	ASSERT_TRUE(m.process.wait_for_output("dircast-mirror: manifest request sent\n")) << m.process.output();
	int socket = m.process.borrow_socket();
	ASSERT_GE(socket, 0) << "pidfd_getfd: " << strerror(errno);
	ASSERT_EQ(getsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, &length), 0);
	EXPECT_EQ(limit.tv_sec, 120);
	EXPECT_EQ(limit.tv_usec, 0);
	limit = {1, 0};
	setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
	close(socket);

	ASSERT_TRUE(m.process.wait_exit(30000)) << "the stalled reply never ended";
	EXPECT_EQ(m.process.exit_status, 0);
	EXPECT_NE(m.process.output().find("dircast-mirror: manifest incomplete\ndircast-mirror: connecting to "
					  "advertised host:" + std::to_string(host.port()) +
					  "\ndircast-mirror: connect ok\ndircast-mirror: archive request sent\n"),
		  std::string::npos)
		<< m.process.output();
	EXPECT_EQ(list_tree(m.root), (std::vector<std::string>{"d d/", "f d/f 1", "f top 0"}));
}

// A run stopped in the middle of a write leaves its partial file beside the
// leaf; the next write in that directory must clear it, not fail on it. It
// is planted during a delta turn, after the prune and before the changed
// file arrives.
TEST(MirrorRecovery, APartialFileLeftBehindIsClearedByTheNextWrite)
{
	Mirror m;
	std::string partial = m.root + "/d/:dircast-partial";
	ScriptedHost host([&](const std::string &r, int turn) {
		std::vector<Entry> share = {{"top", ""}, {"d", "", true}, {"d/f", turn == 1 ? "x" : "new"}};
		if (r == file_request("d/f"))
			write_file(partial, "left by an interrupted run");
		return publish(r, share, turn == 1 ? 1 : 2);
	});
	std::string log = m.run_turns(host.port(), 2);

	EXPECT_EQ(count_of(log, "dircast-mirror: fetching changed file d/f\n"), 1) << log;
	EXPECT_EQ(count_of(log, "dircast-mirror: mirrored file d/f\n"), 2) << log;
	EXPECT_EQ(list_tree(m.root), (std::vector<std::string>{"d d/", "f d/f 3", "f top 0"}));
	EXPECT_EQ(read_file(m.root + "/d/f"), "new");
}

} // namespace
