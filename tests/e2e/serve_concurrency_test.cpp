// dircast-serve end to end with many clients at once: no client waits for
// another, every answer is the one the same request gets alone, and a host
// whose slots are all taken queues new peers instead of losing them.
#include "support/documents.hpp"
#include "support/loopback.hpp"
#include "support/serve_runner.hpp"
#include "support/temp_dir.hpp"

#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace dircast_test;

namespace {

// A reader that has stopped for a moment keeps its answer: a second client's
// manifest is complete while that archive is still unfinished, and the
// archive then arrives whole.
TEST(ServeConcurrency, ASlowReaderDoesNotDelayAnotherClientsManifest)
{
	TempDir tmp;
	ServeRun host;
	std::string root = tmp / "share";
	std::string big = pseudo_random(12 << 20, 1);  // more than the socket buffers hold

	make_dirs(root + "/sub");
	write_file(root + "/big.bin", big);
	write_file(root + "/sub/small", "s");
	ASSERT_TRUE(start_serve(host, root, tmp / "serve.log"));
	std::string manifest = tcp_exchange(host.port, MANIFEST_REQUEST);
	ASSERT_EQ(manifest.substr(manifest.size() - 4), "END\n");

	int slow = connect_within(host.port, 10000, true);
	send(slow, ARCHIVE_REQUEST.data(), ARCHIVE_REQUEST.size(), 0);
	char first[100];
	ASSERT_GT(recv(slow, first, sizeof first, MSG_WAITALL), 0);
	EXPECT_EQ(tcp_exchange(host.port, MANIFEST_REQUEST), manifest);
	std::string log = host.process.output();
	EXPECT_EQ(count_of(log, "dircast-serve: manifest sent\n"), 2);
	EXPECT_EQ(count_of(log, "dircast-serve: archive sent\n"), 0) << "the archive ended first";

	bool closed;
	std::string archive = std::string(first, sizeof first) + read_until_close(slow, 10000, &closed);
	close(slow);
	EXPECT_TRUE(closed);
	EXPECT_EQ(archive, archive_head(root) + "file path=big.bin size=" +
				   std::to_string(big.size()) + "\n" + big + "\nendfile\ndir path=sub\n" +
				   "file path=sub/small size=1\ns\nendfile\nEND\n");
}

struct Client {
	std::string request;
	unsigned seed;
	std::string answer;
};

// Reads in pieces of random size with short random pauses, through a small
// window, so the host's answers stop and resume in no fixed order.
void read_unevenly(int port, Client *client)
{
	std::mt19937 random(client->seed);
	int fd = connect_within(port, 10000, true);
	char buf[65536];

	send(fd, client->request.data(), client->request.size(), MSG_NOSIGNAL);
	for (;;) {
		ssize_t n = recv(fd, buf, 1 + random() % sizeof buf, 0);
		if (n <= 0)
			break;
		client->answer.append(buf, n);
		if (random() % 4 == 0)
			std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
	}
	close(fd);
}

class ServeInterleaved : public ::testing::TestWithParam<std::string> {};

// Every request the protocol knows, many at once, each read unevenly: each
// answer is byte for byte the one the same request gets alone, and the log
// holds each answer's lines as often as alone.
TEST_P(ServeInterleaved, EveryAnswerIsTheOneItGetsAlone)
{
	TempDir tmp;
	ServeRun host;
	std::string root = tmp / "share";
	const std::vector<std::string> requests = {MANIFEST_REQUEST, ARCHIVE_REQUEST, file_request("big.bin"),
						   file_request("d1/d2/f2"), file_request("d1"), "GET manifest",
						   "something else"};

	make_dirs(root + "/d1/d2/d3");
	write_file(root + "/big.bin", pseudo_random(3 << 20, 2));
	for (int i = 0; i < 30; i++)
		write_file(root + "/d1/f" + std::to_string(i), pseudo_random(i * 1000, i));
	write_file(root + "/d1/d2/f2", pseudo_random(200000, 3));
	write_file(root + "/d1/d2/d3/f3", "three");
	ASSERT_TRUE(start_serve(host, root, tmp / "serve.log", {}, GetParam()));
	std::vector<std::string> alone;
	for (const std::string &request : requests)
		alone.push_back(tcp_exchange(host.port, request));
	std::string log_alone = host.process.output();

	// Three clients for each request, so each line is logged three times as often.
	std::vector<Client> clients;
	for (unsigned i = 0; i < 3 * requests.size(); i++)
		clients.push_back({requests[i % requests.size()], i});
	std::vector<std::thread> threads;
	for (Client &client : clients)
		threads.emplace_back(read_unevenly, host.port, &client);
	for (std::thread &thread : threads)
		thread.join();

	for (unsigned i = 0; i < clients.size(); i++)
		EXPECT_TRUE(clients[i].answer == alone[i % requests.size()])
			<< "client " << i << " asked " << clients[i].request << " and got " << clients[i].answer.size()
			<< " bytes instead of " << alone[i % requests.size()].size();
	std::string log = host.process.output().substr(log_alone.size());
	for (const char *line : {"client connected\n", "manifest sent\n", "file archive sent\n", ": archive sent\n",
				 "sending file big.bin\n", "sending file d1/d2/f2\n", "sending file d1/f7\n"})
		EXPECT_EQ(count_of(log, line), 3 * count_of(log_alone, line)) << line;
}

INSTANTIATE_TEST_SUITE_P(Arch, ServeInterleaved, ::testing::Values("i386", "x86_64"));

// More peers than slots, all silent: the ones beyond the table wait in the
// listen backlog, and a client behind them is taken as slots free up and
// answered. Afterwards the host holds no more descriptors than before.
TEST(ServeConcurrency, PeersBeyondTheSlotsWaitInTheBacklog)
{
	TempDir tmp;
	ServeRun host;
	std::string root = tmp / "share";

	make_dirs(root);
	write_file(root + "/a.txt", "abc");
	ASSERT_TRUE(start_serve(host, root, tmp / "serve.log"));
	std::string manifest = tcp_exchange(host.port, MANIFEST_REQUEST);
	int descriptors = open_descriptors(host.process.pid);
	int listener = host.process.borrow_socket();
	tcp_info info{};
	socklen_t length = sizeof info;
	ASSERT_EQ(getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &length), 0);
	close(listener);
	EXPECT_EQ(info.tcpi_sacked, 128u) << "a listener's most queued peers, its backlog";
	long ticks = cpu_ticks(host.process.pid);
	std::vector<int> silent;
	for (int i = 0; i < 300; i++)
		silent.push_back(tcp_connect(host.port, 5000));
	EXPECT_EQ(tcp_exchange(host.port, MANIFEST_REQUEST, 30000), manifest);
	std::string log = host.process.output();
	size_t answered = log.rfind("dircast-serve: manifest sent\n");
	EXPECT_GT(count_of(log.substr(0, answered), "dircast-serve: request timed out\n"), 0)
		<< "answered before any slot freed up: the table is larger than 300?";
	// Five seconds with every slot taken and peers queued: the host waits
	// for a slot to free up, not on a listener it cannot accept from.
	EXPECT_LT(cpu_ticks(host.process.pid) - ticks, sysconf(_SC_CLK_TCK)) << "processor seconds";
	for (int fd : silent)
		close(fd);
	wait_until([&] { return open_descriptors(host.process.pid) == descriptors; });
	EXPECT_EQ(open_descriptors(host.process.pid), descriptors);
	EXPECT_EQ(count_of(host.process.output(), "dircast-serve: client connected\n"), 302);
	EXPECT_EQ(tcp_exchange(host.port, MANIFEST_REQUEST), manifest);
}

} // namespace

namespace {

std::vector<int> stalled_readers(int port, int n)
{
	std::vector<int> fds;

	for (int i = 0; i < n; i++) {
		fds.push_back(connect_within(port, 10000, true));
		send(fds.back(), ARCHIVE_REQUEST.data(), ARCHIVE_REQUEST.size(), MSG_NOSIGNAL);
	}
	return fds;
}

// Every slot held by stalled readers from 127.0.0.1: a manifest from 127.0.0.2
// takes the oldest one's slot, another from 127.0.0.1 waits its turn.
TEST(ServeConcurrency, APeerOfAnotherAddressTakesTheBusiestAddressesOldestSlot)
{
	TempDir tmp;
	ServeRun host;
	bool oldest_closed, newest_closed;

	make_dirs(tmp / "share");
	write_file(tmp / "share/big.bin", pseudo_random(4 << 20, 5));
	ASSERT_TRUE(start_serve(host, tmp / "share", tmp / "serve.log"));
	std::string manifest = tcp_exchange(host.port, MANIFEST_REQUEST);
	std::vector<int> readers = stalled_readers(host.port, 256);
	wait_until([&] { return count_of(host.process.output(), "sending file") >= 256; }, 10000);
	int same = tcp_connect(host.port), other = tcp_connect(host.port, 5000, "127.0.0.2");
	for (int fd : {same, other})
		send(fd, MANIFEST_REQUEST.data(), MANIFEST_REQUEST.size(), MSG_NOSIGNAL);

	EXPECT_EQ(read_until_close(other, 5000), manifest);
	EXPECT_EQ(read_until_close(same, 5000), manifest) << "waited, then answered";
	read_until_close(readers.front(), 5000, &oldest_closed);
	read_until_close(readers.back(), 500, &newest_closed, 65536);
	EXPECT_TRUE(oldest_closed && !newest_closed);
	EXPECT_EQ(count_of(host.process.output(), "dircast-serve: slot given to a peer holding fewer\n"), 1);
	readers.insert(readers.end(), {same, other});
	for (int fd : readers)
		close(fd);
}

// A low descriptor limit narrows the table: walks stalled at the deepest level
// never miss a directory they could not open (left out as if it were gone).
TEST(ServeConcurrency, ALowDescriptorLimitNarrowsTheTableNotTheAnswers)
{
	TempDir tmp;
	ServeRun host;
	std::string deep = tmp / "share";

	// Deeper than the levels a walk keeps open, so each stalled walk holds
	// as many descriptors as a walk can.
	for (int level = 0; level < 8; level++, deep += "/d") {
		make_dirs(deep);
		write_file(deep + "/f", "at level " + std::to_string(level));
	}
	write_file(deep.substr(0, deep.size() - 2) + "/big.bin", pseudo_random(8 << 20, 6));
	ASSERT_TRUE(start_serve(host, tmp / "share", tmp / "serve.log", {}, "i386", {"prlimit", "--nofile=200"}));
	std::string alone = tcp_exchange(host.port, ARCHIVE_REQUEST);
	std::vector<int> readers = stalled_readers(host.port, 40);
	std::this_thread::sleep_for(std::chrono::seconds(1));
	for (int fd : readers) {
		std::string answer = read_until_close(fd);
		EXPECT_TRUE(answer == alone) << answer.size() << " bytes instead of " << alone.size();
		close(fd);
	}
}

} // namespace
