// A mirror between turns listens to its host's beacons: one that announces
// a new manifest hash starts a turn at once, long before the poll interval;
// repeats, hashes already acted on and beacons from other addresses do not.
#include "support/mirror_runner.hpp"

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

} // namespace
