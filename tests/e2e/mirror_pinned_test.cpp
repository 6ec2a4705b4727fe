// A mirror pinned to its host's key (--host-key) against real hosts on
// loopback: a rogue host that beacons first is refused, a proxy that forges
// one byte of a file or replays an older listing is refused with the mirror
// unchanged, and the real host's changes still arrive as deltas.
#include "support/mirror_runner.hpp"
#include "support/serve_runner.hpp"

using namespace dircast_test;

namespace {

const std::string SIGNED_REQUEST = "GET signed DC-SHARE/1\n\n";

// Makes a key file with the host itself; its public key.
std::string make_key(const std::string &path)
{
	RunResult made = run_program({program_path("dircast-serve"), "--make-key", path}, path + ".log");
	const std::string key = "dircast-serve: public key ";

	EXPECT_EQ(made.status, 0) << made.output;
	return made.output.substr(made.output.find(key) + key.size(), 64);
}

struct PinnedShare {
	TempDir tmp;
	std::string share = tmp / "share", key_file = tmp / "host.key", key = make_key(key_file);
	ServeRun host;

	PinnedShare(const std::vector<std::string> &extra = {})
	{
		make_dirs(share + "/sub");
		write_file(share + "/a.txt", "abc");
		write_file(share + "/sub/keep.bin", "kept");
		std::vector<std::string> args = {"--signing-key", key_file};
		args.insert(args.end(), extra.begin(), extra.end());
		EXPECT_TRUE(start_serve(host, share, tmp / "serve.log", args)) << host.process.output();
	}
};

TEST(MirrorPinned, TakesOnlyTheHostWithItsKeyAndFollowsItsChanges)
{
	TempDir tmp;
	std::string rogue_key = tmp / "rogue.key";
	ServeRun rogue;
	Mirror m;

	make_key(rogue_key);
	ASSERT_TRUE(start_serve(rogue, tmp.path, tmp / "rogue.log", {"--signing-key", rogue_key}));
	PinnedShare real({"--beacon-port", std::to_string(m.beacon_port)});
	m.process.start(m.args({"--poll", "1", "--host-key", real.key}), m.tmp / "mirror.log");
	ASSERT_TRUE(m.process.wait_for_output("waiting for share beacon"));
	for (int i = 0; i < 3; i++)
		send_datagram(m.beacon_port, "DC-SHARE/1 name=c-host port=" + std::to_string(rogue.port) + "\n", "127.0.0.2");

	ASSERT_TRUE(m.process.wait_for_output("dircast-mirror: no share changes\n", 30000)) << m.process.output();
	EXPECT_EQ(count_of(m.process.output(), "dircast-mirror: host 127.0.0.2 refused: not signed by the pinned key\n"), 1);
	EXPECT_EQ(snapshot(m.root), snapshot(real.share));
	write_file(real.share + "/a.txt", "changed on the host");
	ASSERT_TRUE(m.process.wait_for_output("delta changed files 1 skipped 1", 30000)) << m.process.output();
	EXPECT_EQ(snapshot(m.root), snapshot(real.share));
}

TEST(MirrorPinned, RefusesAForgedFileAndAReplayedListing)
{
	PinnedShare real;
	Mirror m;
	auto pinned = [&](int port, const std::string &mode) {
		return m.args({"--host", "127.0.0.1", "--port", std::to_string(port), mode, "--host-key", real.key});
	};
	RunResult first = run_program(pinned(real.host.port, "--once"), m.tmp / "first.log");
	std::vector<std::string> synced = snapshot(m.root);
	std::string old_listing = tcp_exchange(real.host.port, SIGNED_REQUEST);
	int listings = 0;

	ASSERT_EQ(first.status, 0) << first.output;
	write_file(real.share + "/a.txt", "the new text");
	ScriptedHost forger([&](const std::string &request, int) {
		std::string reply = tcp_exchange(real.host.port, request);
		size_t at = reply.find("the new text");
		if (request != SIGNED_REQUEST && at != std::string::npos)
			reply[at] ^= 1;
		return ScriptedReply{reply};
	});
	RunResult forged = run_program(pinned(forger.port(), "--once"), m.tmp / "forged.log");
	EXPECT_NE(forged.output.find("dircast-mirror: file failed verification a.txt\n"), std::string::npos);
	EXPECT_EQ(forged.status, 1) << forged.output;
	EXPECT_EQ(snapshot(m.root), synced);

	// Single files held back: the delta fails and the archive, checked
	// against the same listing, brings the mirror to the share.
	ScriptedHost withholder([&](const std::string &request, int) {
		bool single = request.rfind("GET file path=", 0) == 0;
		return ScriptedReply{tcp_exchange(real.host.port, single ? "GET file path=none\n\n" : request)};
	});
	RunResult fallback = run_program(pinned(withholder.port(), "--once"), m.tmp / "fallback.log");
	EXPECT_EQ(fallback.status, 0) << fallback.output;
	EXPECT_EQ(snapshot(m.root), snapshot(real.share));

	// The first listing is the host's own; every later one is the old one.
	ScriptedHost replayer([&](const std::string &request, int) {
		if (request == SIGNED_REQUEST && listings++ > 0)
			return ScriptedReply{old_listing};
		return ScriptedReply{tcp_exchange(real.host.port, request)};
	});
	m.process.start(pinned(replayer.port(), "--poll=1"), m.tmp / "replayed.log");
	ASSERT_TRUE(m.process.wait_for_output("refused: listing older than one already taken\n", 30000))
		<< m.process.output();
	EXPECT_EQ(snapshot(m.root), snapshot(real.share));
}

} // namespace
