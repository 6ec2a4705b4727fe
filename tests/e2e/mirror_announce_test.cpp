// Changes announced by beacon. A mirror between turns listens to its host's
// beacons: one that announces a new manifest hash starts a turn at once,
// long before the poll interval; repeats, hashes already acted on and
// beacons from other addresses do not. A real host with --announce-changes
// sees every kind of change and brings it to a mirror within moments.
#include "support/mirror_runner.hpp"
#include "support/serve_runner.hpp"

#include <atomic>
#include <gtest/gtest.h>

using namespace dircast_test;

namespace {

const std::vector<Entry> SHARE = {{"top", ""}, {"d", "", true}, {"d/f", "x"}};
const std::vector<Entry> CHANGED = {{"top", "new"}, {"d", "", true}, {"d/f", "x"}};

std::string beacon(int port, unsigned hash)
{
	return "DC-SHARE/1 name=c-host root=/r port=" + std::to_string(port) + " mode=read-only hash=" +
	       std::to_string(hash) + "\n";
}

// Beacons, then a short while for any turn they wrongly start to show.
int turns_after(Mirror &m, const std::vector<std::pair<std::string, const char *>> &sent)
{
	for (const auto &[text, from] : sent)
		send_datagram(m.beacon_port, text, from);
	std::this_thread::sleep_for(std::chrono::milliseconds(600));
	return count_of(m.process.output(), "manifest request sent");
}

TEST(MirrorAnnounce, ANewHashStartsATurnAtOnceAndNothingElseDoes)
{
	std::atomic<unsigned> published{7};
	ScriptedHost host([&](const std::string &r, int) { return publish(r, published == 7 ? SHARE : CHANGED, published); });
	Mirror m;
	int port = host.port();

	m.process.start(m.args(port, "--poll", "300"), m.tmp / "mirror.log");
	ASSERT_TRUE(m.process.wait_for_output("sleeping 300 seconds"));
	EXPECT_EQ(turns_after(m, {{beacon(port, 7), "127.0.0.1"}, {beacon(port, 7), "127.0.0.1"},
				  {beacon(port, 8), "127.0.0.2"}, {"DC-SHARE/1 port=1 hash=\n", "127.0.0.1"}}),
		  1)
		<< "the synced hash, another sender and an empty hash start no turn";
	published = 8;
	send_datagram(m.beacon_port, beacon(port, 8));
	ASSERT_TRUE(m.process.wait_for_output("delta changed files 1", 20000)) << m.process.output();
	EXPECT_EQ(turns_after(m, {{beacon(port, 8), "127.0.0.1"}, {beacon(port, 8), "127.0.0.1"}}), 2)
		<< "a hash already synced starts no turn";
	EXPECT_EQ(read_file(m.root + "/top"), "new");
	EXPECT_EQ(count_of(m.process.output(), "dircast-mirror: host announced a change\n"), 1);
}

// Waits until the mirror holds the share; false after ten seconds, which is
// far inside the mirror's five-minute poll: only an announcement is that fast.
bool converges(const std::string &root, const std::string &share)
{
	return wait_until([&] { return snapshot(root) == snapshot(share); });
}

TEST(MirrorAnnounce, EveryKindOfChangeReachesTheMirrorAtOnce)
{
	TempDir tmp;
	std::string share = tmp / "share", outside = tmp / "outside";
	ServeRun host;
	Mirror m;
	const struct {
		const char *name;
		void (*change)(const std::string &share, const std::string &outside);
	} changes[] = {
		{"a file rewritten in place", [](auto &s, auto &) { write_file(s + "/a.txt", "rewritten"); }},
		{"a new file", [](auto &s, auto &) { write_file(s + "/sub/new.txt", "new"); }},
		{"a rename", [](auto &s, auto &) { rename((s + "/sub/new.txt").c_str(), (s + "/renamed.txt").c_str()); }},
		{"a delete", [](auto &s, auto &) { unlink((s + "/renamed.txt").c_str()); }},
		{"a new directory", [](auto &s, auto &) { make_dirs(s + "/sub/deeper"); write_file(s + "/sub/deeper/f", "f"); }},
		{"a directory moved in", [](auto &s, auto &o) { rename(o.c_str(), (s + "/moved").c_str()); }},
		{"a change in the moved directory", [](auto &s, auto &) { write_file(s + "/moved/inside", "seen"); }},
		{"a burst of a thousand files", [](auto &s, auto &) {
			 for (int i = 0; i < 1000; i++)
				 write_file(s + "/sub/burst" + std::to_string(i), std::to_string(i));
		 }},
	};

	make_dirs(share + "/sub");
	make_dirs(outside + "/nested");
	write_file(share + "/a.txt", "abc");
	write_file(outside + "/nested/g", "from outside");
	ASSERT_TRUE(start_serve(host, share, tmp / "serve.log", {"--announce-changes"})) << host.process.output();
	m.process.start(m.args({"--host", "127.0.0.1", "--port", std::to_string(host.port), "--beacon-port",
				std::to_string(host.beacon_port), "--poll", "300"}),
			m.tmp / "mirror.log");
	ASSERT_TRUE(converges(m.root, share)) << m.process.output();
	ASSERT_TRUE(m.process.wait_for_output("sleeping 300 seconds"));
	long long read_before = bytes_read(host.process.pid);
	std::this_thread::sleep_for(std::chrono::milliseconds(1500));
	EXPECT_EQ(bytes_read(host.process.pid), read_before) << "a share at rest is never read";

	for (const auto &c : changes) {
		int turns = count_of(m.process.output(), "manifest request sent");
		c.change(share, outside);
		EXPECT_TRUE(converges(m.root, share)) << c.name << "\n" << m.process.output();
		EXPECT_LE(count_of(m.process.output(), "manifest request sent") - turns, 5) << c.name << ": a handful of turns";
	}
}

// A share that never goes quiet (a file appended to every 100 ms) still has
// its other changes announced within moments: the settling time has a cap.
// The appender would go on for 20 s; only a capped wait brings the file in
// before that, the mirror's poll being five minutes.
TEST(MirrorAnnounce, ABusyShareStillAnnouncesItsChanges)
{
	TempDir tmp;
	std::string share = tmp / "share";
	ServeRun host;
	Mirror m;
	std::atomic<bool> stop{false};

	make_dirs(share);
	write_file(share + "/log", "");
	ASSERT_TRUE(start_serve(host, share, tmp / "serve.log", {"--announce-changes"})) << host.process.output();
	m.process.start(m.args({"--host", "127.0.0.1", "--port", std::to_string(host.port), "--beacon-port",
				std::to_string(host.beacon_port), "--poll", "300"}),
			m.tmp / "mirror.log");
	ASSERT_TRUE(m.process.wait_for_output("sleeping 300 seconds"));
	std::thread appender([&] {
		for (int i = 0; i < 200 && !stop; i++) {
			FILE *f = fopen((share + "/log").c_str(), "a");
			fputs("line\n", f);
			fclose(f);
			std::this_thread::sleep_for(std::chrono::milliseconds(100));
		}
	});
	std::this_thread::sleep_for(std::chrono::milliseconds(500));
	write_file(share + "/target", "arrived");
	bool arrived = false;
	for (int i = 0; i < 1000 && !arrived; i++) {
		arrived = exists(m.root + "/target") && read_file(m.root + "/target") == "arrived";
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	stop = true;
	appender.join();
	EXPECT_TRUE(arrived) << m.process.output();
}

} // namespace
