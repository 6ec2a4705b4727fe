// dircast-mirror end to end against a scripted host: the decision table,
// exit statuses, limits and every reply a real host never sends.
#include "support/loopback.hpp"
#include "support/process.hpp"
#include "support/scripted_host.hpp"
#include "support/temp_dir.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace dircast_test;

namespace {

const std::vector<Entry> SHARE = {{"top", ""}, {"d", "", true}, {"d/f", "x"}};

// Answers like a host that publishes entries under the manifest hash; a
// file request gets that file alone.
ScriptedReply publish(const std::string &request, const std::vector<Entry> &entries, unsigned hash)
{
	if (request.rfind("GET manifest", 0) == 0)
		return {manifest_text(hash, entries)};
	for (const Entry &e : entries) {
		if (request == "GET file path=" + e.path + "\n\n")
			return {archive_text({e})};
	}
	return {archive_text(entries)};
}

bool is_manifest(const std::string &request) { return request.rfind("GET manifest", 0) == 0; }

struct Mirror {
	TempDir tmp;
	std::string dos = tmp / "dos";
	std::string root = tmp / "dos/c:/mirror";
	Process process;

	std::vector<std::string> args(int port, const std::vector<std::string> &extra) const
	{
		std::vector<std::string> a = {program_path("dircast-mirror"), "--mirror-root", root,
					      "--dosdevices", dos, "--host", "127.0.0.1", "--port",
					      std::to_string(port)};
		a.insert(a.end(), extra.begin(), extra.end());
		return a;
	}
	RunResult once(int port, const std::vector<std::string> &extra = {"--once"})
	{
		return run_program(args(port, extra), tmp / "mirror.log");
	}
	// Polls every second until the log holds count lines of text, then stops.
	std::string turns(int port, const std::string &text, int count)
	{
		process.start(args(port, {"--poll", "1"}), tmp / "mirror.log");
		for (int i = 0; i < 600 && occurrences(process.output(), text) < count; i++)
			std::this_thread::sleep_for(std::chrono::milliseconds(50));
		process.stop();
		return process.output();
	}
	static int occurrences(const std::string &log, const std::string &text)
	{
		int n = 0;
		for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
			n++;
		return n;
	}
};

// The lines that tell the decisions of each turn apart, in order.
std::vector<std::string> decisions(const std::string &log)
{
	const std::vector<std::string> keys = {"no share changes", "sync complete", "delta failed",
					       "delta changed", "header missing", "incomplete"};
	std::vector<std::string> out;
	size_t start = 0;

	for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
		std::string line = log.substr(start, end - start);
		for (const std::string &k : keys)
			if (line.find(k) != std::string::npos)
				out.push_back(k);
	}
	return out;
}

TEST(MirrorScripted, FirstSyncLogsEveryLineAndSendsExactRequests)
{
	ScriptedHost host([](const std::string &r, int) { return publish(r, SHARE, 7); });
	Mirror m;
	RunResult run = m.once(host.port());
	std::string p = std::to_string(host.port());
	std::string connect = "dircast-mirror: connecting to advertised host:" + p +
			      "\ndircast-mirror: connect ok\n";

	EXPECT_EQ(run.status, 0);
	EXPECT_EQ(run.output, "dircast-mirror: start\ndircast-mirror: using direct host\n" + connect +
				      "dircast-mirror: manifest request sent\ndircast-mirror: manifest hash 7\n" +
				      connect + "dircast-mirror: archive request sent\n"
				      "dircast-mirror: archive received\ndircast-mirror: pruning mirror root\n"
				      "dircast-mirror: mirror root " + m.root + "\n"
				      "dircast-mirror: mirrored file top\ndircast-mirror: mirrored dir d\n"
				      "dircast-mirror: mirrored file d/f\n"
				      "dircast-mirror: mapped " + m.dos + "/y: to " + m.root + "\n"
				      "dircast-mirror: sync complete\n");
	EXPECT_EQ(host.requests(), (std::vector<std::string>{"GET manifest DC-SHARE/1\n\n",
							      "GET archive DC-SHARE/1\n\n"}));
	EXPECT_EQ(list_tree(m.root), (std::vector<std::string>{"d d/", "f d/f 1", "f top 0"}));
	EXPECT_TRUE(is_link(m.dos + "/y:"));
}

// Turns: first sync, same hash, new hash over an equal tree, failed manifest.
TEST(MirrorScripted, DecisionTableOverFourTurns)
{
	int manifests = 0;
	ScriptedHost host([&](const std::string &r, int) {
		int turn = is_manifest(r) ? ++manifests : manifests;
		if (is_manifest(r) && turn == 4)
			return ScriptedReply{"DC-SHARE-MANIFEST/1\nname=x\nhash=9\n"};
		return publish(r, SHARE, turn < 3 ? 7 : 8);
	});
	Mirror m;
	std::string log = m.turns(host.port(), "sleeping 1 seconds", 4);

	EXPECT_EQ(decisions(log), (std::vector<std::string>{"sync complete", "no share changes",
							    "delta changed", "sync complete",
							    "incomplete", "sync complete"}));
	EXPECT_NE(log.find("dircast-mirror: delta changed files 0 skipped 2\n"), std::string::npos);
}

// A failed file fetch falls back to the archive and forgets the hash, so the
// next unchanged turn runs a delta once more before reporting no changes.
TEST(MirrorScripted, DeltaFailureFallsBackAndForgetsTheHash)
{
	std::vector<Entry> changed = {{"top", "new"}, {"d", "", true}, {"d/f", "x"}};
	ScriptedHost host([&](const std::string &r, int i) {
		if (i == 3)  // the file request of turn 2: cut off before its end
			return ScriptedReply{archive_text({changed[0]}).substr(0, 60)};
		return i < 2 ? publish(r, SHARE, 7) : publish(r, changed, 8);
	});
	Mirror m;
	std::string log = m.turns(host.port(), "sleeping 1 seconds", 4);

	EXPECT_EQ(decisions(log),
		  (std::vector<std::string>{"sync complete", "incomplete", "delta failed", "sync complete",
					    "delta changed", "sync complete", "no share changes"}));
	EXPECT_EQ(read_file(m.root + "/top"), "new");
}

// A host that vanishes after the first sync costs each turn two failed
// connects; the mirror stays and the client keeps polling.
TEST(MirrorScripted, VanishedHostLeavesTheMirrorAndPollingGoesOn)
{
	auto host = std::make_unique<ScriptedHost>([](const std::string &r, int) { return publish(r, SHARE, 7); });
	Mirror m;

	m.process.start(m.args(host->port(), {"--poll", "1"}), m.tmp / "mirror.log");
	ASSERT_TRUE(m.process.wait_for_output("sleeping 1 seconds", 20000));
	host.reset();
	size_t mark = m.process.output().size();
	while (Mirror::occurrences(m.process.output().substr(mark), "sleeping") < 2 && m.process.running())
		std::this_thread::sleep_for(std::chrono::milliseconds(50));
	std::string later = m.process.output().substr(mark);

	EXPECT_TRUE(m.process.running());
	EXPECT_GE(Mirror::occurrences(later, "dircast-mirror: manifest connect failed\n"), 2);
	EXPECT_GE(Mirror::occurrences(later, "dircast-mirror: connect failed\n"), 2);
	EXPECT_EQ(later.find("sync complete"), std::string::npos);
	EXPECT_EQ(list_tree(m.root), (std::vector<std::string>{"d d/", "f d/f 1", "f top 0"}));
}

struct ExitCase {
	const char *name;
	std::string manifest, archive;
	int status;
	const char *last_line;
};

TEST(MirrorScripted, FirstTurnExitStatuses)
{
	std::string big(262144, 'x');
	const ExitCase cases[] = {
		{"manifest fails alone", "garbage", archive_text(SHARE), 0, "sync complete\n"},
		{"manifest over its limit", manifest_text(1, SHARE) + big + "\nEND\n", archive_text(SHARE), 0,
		 "sync complete\n"},
		{"manifest without hash", "DC-SHARE-MANIFEST/1\nname=a\n\nEND\n", archive_text(SHARE), 0,
		 "sync complete\n"},
		{"archive cut off", manifest_text(1, SHARE), archive_text(SHARE).substr(0, 90), 1,
		 "archive incomplete or too large\n"},
		{"archive over its limit", manifest_text(1, SHARE),
		 archive_text({{"big", std::string(8388608, 'E')}}), 1, "archive incomplete or too large\n"},
		{"archive header missing", manifest_text(1, SHARE), "file path=top size=0\n\nendfile\nEND\n", 1,
		 "archive header missing\n"},
	};
	for (const ExitCase &c : cases) {
		ScriptedHost host([&](const std::string &r, int) {
			return ScriptedReply{is_manifest(r) ? c.manifest : c.archive};
		});
		Mirror m;
		make_dirs(m.root);
		write_file(m.root + "/kept", "old");
		RunResult run = m.once(host.port());
		std::string tail = run.output.substr(run.output.rfind("dircast-mirror: ") + 16);

		EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.output;
		EXPECT_EQ(tail, c.last_line) << c.name;
		EXPECT_EQ(exists(m.root + "/kept"), c.status == 1) << c.name << ": pruned only when synced";
	}
}

TEST(MirrorScripted, RefusedConnectionAndBadSettingsExitWithOne)
{
	Mirror m;
	int closed = free_tcp_port();
	RunResult refused = m.once(closed, {"--poll", "0"});
	RunResult long_root = run_program({program_path("dircast-mirror"), "--mirror-root",
					   "/" + std::string(766, 'm'), "--host", "127.0.0.1"},
					  m.tmp / "a.log");
	RunResult long_dos = run_program({program_path("dircast-mirror"), "--dosdevices",
					  "/" + std::string(252, 'd'), "--host", "127.0.0.1"},
					 m.tmp / "b.log");

	EXPECT_EQ(refused.status, 1);
	EXPECT_NE(refused.output.find("manifest connect failed\n"), std::string::npos);
	EXPECT_EQ(refused.output.substr(refused.output.size() - 31), "dircast-mirror: connect failed\n");
	EXPECT_EQ(long_root.output, "dircast-mirror: start\ndircast-mirror: invalid setting --mirror-root\n");
	EXPECT_EQ(long_dos.output, "dircast-mirror: start\ndircast-mirror: invalid setting --dosdevices\n");
	EXPECT_EQ(long_root.status + long_dos.status, 2);
}

// File content that ends with the end marker, cut at exactly that point:
// the reply is only whole once the rest arrives.
TEST(MirrorScripted, EndMarkerInsideContentDoesNotEndTheReply)
{
	std::vector<Entry> share = {{"f", "hello\nEND\n"}, {"g", "x"}};
	std::string archive = archive_text(share);
	size_t cut = archive.find("END\n") + 4;
	ScriptedHost host([&](const std::string &r, int) {
		return is_manifest(r) ? ScriptedReply{manifest_text(1, share)}
				      : ScriptedReply{archive.substr(0, cut), archive.substr(cut)};
	});
	Mirror m;
	RunResult run = m.once(host.port());

	EXPECT_EQ(run.status, 0) << run.output;
	EXPECT_EQ(read_file(m.root + "/f"), "hello\nEND\n");
	EXPECT_EQ(read_file(m.root + "/g"), "x");
}

// Whatever the host names and whatever links sit in the mirror, nothing
// outside the mirror root changes, and the links themselves are replaced.
TEST(MirrorScripted, UnsafePathsAndPlantedLinksStayConfined)
{
	TempDir outside;
	std::vector<Entry> hostile = {{"../escape", "x"}, {"/abs", "x"}, {"a/../../b", "x"},
				      {"c:/x", "x"},     {"sub", "", true}, {"sub/f", "in"},
				      {"link", "mine"},  {"ok", "fine"}};
	ScriptedHost host([&](const std::string &r, int i) { return publish(r, hostile, i < 2 ? 1 : 2); });
	Mirror m;
	make_dirs(outside.path + "/dir");
	write_file(outside.path + "/file", "secret");
	std::vector<std::string> before = list_tree(outside.path);

	m.process.start(m.args(host.port(), {"--poll", "1"}), m.tmp / "mirror.log");
	ASSERT_TRUE(m.process.wait_for_output("sync complete", 20000));
	remove_tree(m.root + "/sub");
	symlink((outside.path + "/dir").c_str(), (m.root + "/sub").c_str());
	symlink((outside.path + "/file").c_str(), (m.root + "/link").c_str());
	ASSERT_TRUE(m.process.wait_for_output("delta changed files", 20000));
	m.process.stop();

	EXPECT_EQ(list_tree(outside.path), before);
	EXPECT_EQ(read_file(outside.path + "/file"), "secret");
	EXPECT_EQ(list_tree(m.root), (std::vector<std::string>{"d sub/", "f link 4", "f ok 4", "f sub/f 2"}));
	EXPECT_EQ(Mirror::occurrences(m.process.output(), "rejected unsafe path"), 6);
	std::vector<std::string> around;
	for (const std::string &e : list_tree(m.tmp.path))
		if (e == "d dos/c:/mirror/" || (e.find("c:/mirror/") == std::string::npos &&
						     e.find("mirror.log") == std::string::npos))
			around.push_back(e);
	EXPECT_EQ(around, (std::vector<std::string>{"d dos/", "d dos/c:/", "d dos/c:/mirror/",
						    "l dos/y: -> " + m.root}));
}

// A file that could not be written keeps the hash from being remembered: the
// next turn repairs the mirror by a delta instead of reporting no changes.
TEST(MirrorScripted, WriteFailureMakesTheNextTurnRepair)
{
	std::vector<Entry> first = {{"d", "blocks the directory"}, {"d", "", true}, {"d/f", "x"}};
	std::vector<Entry> share = {{"d", "", true}, {"d/f", "x"}};
	ScriptedHost host([&](const std::string &r, int i) {
		return publish(r, i == 1 ? first : share, 5);
	});
	Mirror m;
	std::string log = m.turns(host.port(), "sleeping 1 seconds", 3);

	EXPECT_EQ(decisions(log), (std::vector<std::string>{"sync complete", "delta changed", "sync complete",
							    "no share changes"}));
	EXPECT_EQ(read_file(m.root + "/d/f"), "x");
}

void send_datagram(int port, const std::string &text)
{
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	sockaddr_in a{};

	a.sin_family = AF_INET;
	a.sin_port = htons(port);
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	sendto(fd, text.data(), text.size(), 0, (sockaddr *)&a, sizeof a);
	close(fd);
}

// Runs a discovering mirror and offers it one datagram once it waits.
RunResult discover(Mirror &m, int beacon_port, const std::string &datagram,
		   const std::vector<std::string> &extra)
{
	std::vector<std::string> a = {program_path("dircast-mirror"), "--mirror-root", m.root, "--dosdevices",
				      m.dos, "--beacon-port", std::to_string(beacon_port), "--once"};

	a.insert(a.end(), extra.begin(), extra.end());
	m.process.start(a, m.tmp / "mirror.log");
	if (m.process.wait_for_output("waiting for share beacon on 0.0.0.0:" + std::to_string(beacon_port) + "\n"))
		send_datagram(beacon_port, datagram);
	m.process.wait_exit(30000);
	return {m.process.exit_status, m.process.output()};
}

TEST(MirrorScripted, DiscoveryTakesSenderAndPortField)
{
	ScriptedHost host([](const std::string &r, int) { return publish(r, SHARE, 3); });
	std::string port = std::to_string(host.port());
	std::string first_port = std::to_string(free_tcp_port());
	struct {
		std::string datagram;
		std::vector<std::string> extra;
		std::string connects_to;
	} cases[] = {
		{"DC-SHARE/1 name=c root=/r port=" + port + " mode=ro\n", {}, port},
		{"name= port=" + port + " later port=1\n", {}, port},
		{"DC-SHARE/1 port=1\n", {"--port", port}, port},
		{"port=" + first_port + "\n", {}, "19200"},
	};
	for (auto &c : cases) {
		Mirror m;
		RunResult run = discover(m, free_udp_port(), c.datagram, c.extra);

		EXPECT_NE(run.output.find("dircast-mirror: beacon received\n"
					  "dircast-mirror: connecting to advertised host:" + c.connects_to + "\n"),
			  std::string::npos) << c.datagram << run.output;
	}
}

TEST(MirrorScripted, DiscoveryFailures)
{
	Mirror m;
	int port = free_udp_port();
	UdpReceiver holder(port, "0.0.0.0");
	RunResult empty = discover(m, free_udp_port(), "", {});
	RunResult held = run_program({program_path("dircast-mirror"), "--beacon-port", std::to_string(port)},
				     m.tmp / "held.log");

	EXPECT_EQ(empty.status, 1);
	EXPECT_NE(empty.output.find("waiting for share beacon"), std::string::npos);
	EXPECT_EQ(empty.output.substr(empty.output.find('\n', empty.output.find("waiting")) + 1),
		  "dircast-mirror: discovery failed\n");
	EXPECT_EQ(held.status, 1);
	EXPECT_EQ(held.output, "dircast-mirror: start\ndircast-mirror: discovery failed\n");
}

// Started with standard descriptors closed, no socket may take the log's
// descriptor: the host must see exactly the protocol's requests.
TEST(MirrorScripted, ClosedStandardDescriptorsNeverReachTheHost)
{
	for (std::vector<int> closed : {std::vector<int>{1}, std::vector<int>{0, 1, 2}}) {
		ScriptedHost host([](const std::string &r, int) { return publish(r, SHARE, 3); });
		Mirror m;

		m.process.start(m.args(host.port(), {"--once"}), m.tmp / "mirror.log", closed);
		ASSERT_TRUE(m.process.wait_exit(30000));
		EXPECT_EQ(m.process.exit_status, 0);
		EXPECT_EQ(host.requests(), (std::vector<std::string>{"GET manifest DC-SHARE/1\n\n",
								      "GET archive DC-SHARE/1\n\n"}));
		EXPECT_EQ(read_file(m.root + "/d/f"), "x");
	}
}

} // namespace
