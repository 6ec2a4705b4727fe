// dircast-serve end to end: peers that vanish, stall or misbehave, and a
// host started in an unusual way. The host must keep beaconing and serving.
#include "support/documents.hpp"
#include "support/loopback.hpp"
#include "support/serve_runner.hpp"
#include "support/temp_dir.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace dircast_test;

namespace {

const std::string EMPTY_SHARE_MANIFEST = manifest_head(3241883111u) + "END\n";

void make_sparse(const std::string &path, off_t size)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
	ASSERT_EQ(ftruncate(fd, size), 0);
	close(fd);
}

// A host over a share of sparse files, asked through small-window sockets.
class ServePeersShare : public ::testing::Test {
protected:
	TempDir tmp;
	std::string root = tmp / "share";
	ServeRun host;

	void serve_sparse_files(int count, off_t size, const std::string &prefix = "f")
	{
		make_dirs(root);
		for (int i = 0; i < count; i++)
			make_sparse(root + "/" + prefix + (count > 1 ? std::to_string(i) : ""), size);
		ASSERT_TRUE(start_serve(host, root, tmp / "serve.log"));
	}
	int request_archive()
	{
		int fd = connect_within(host.port, 10000, true);
		send(fd, ARCHIVE_REQUEST.data(), ARCHIVE_REQUEST.size(), 0);
		return fd;
	}
};

TEST(ServePeers, ClosedStandardDescriptorsNeverCarryLogLines)
{
	TempDir tmp;
	make_dirs(tmp / "empty");
	int port = free_tcp_port();
	Process p;

	p.start({program_path("dircast-serve"), "--root", tmp / "empty", "--port", std::to_string(port),
		 "--beacon-port", std::to_string(free_udp_port()), "--broadcast", "127.0.0.1"},
		tmp / "serve.log", {0, 1, 2});
	for (int i = 0; i < 3; i++)
		EXPECT_EQ(tcp_exchange(port, MANIFEST_REQUEST), EMPTY_SHARE_MANIFEST);
	EXPECT_TRUE(p.running());
}

TEST(ServePeers, AStandardOutputWithoutReaderDoesNotEndTheHost)
{
	TempDir tmp;
	make_dirs(tmp / "empty");
	int port = free_tcp_port();
	int pipe_fds[2];
	Process p;

	ASSERT_EQ(pipe(pipe_fds), 0);
	p.start({program_path("dircast-serve"), "--root", tmp / "empty", "--port", std::to_string(port), "--beacon-port",
		 std::to_string(free_udp_port()), "--broadcast", "127.0.0.1"},
		tmp / "serve.log", {}, pipe_fds[1]);
	close(pipe_fds[0]);
	close(pipe_fds[1]);
	for (int i = 0; i < 3; i++)
		EXPECT_EQ(tcp_exchange(port, MANIFEST_REQUEST), EMPTY_SHARE_MANIFEST);
	EXPECT_TRUE(p.running()) << "the host ended";
}

TEST(ServePeers, PeersThatResetOrCloseEarlyAreSurvived)
{
	TempDir tmp;
	ServeRun host;
	std::string root = tmp / "share";

	make_dirs(root);
	make_sparse(root + "/big", 8 << 20);
	write_file(root + "/small", "s");
	ASSERT_TRUE(start_serve(host, root, tmp / "serve.log"));
	for (int i = 0; i < 3; i++) {
		int fd = connect_within(host.port, 10000, true);
		linger hard = {1, 0};
		send(fd, ARCHIVE_REQUEST.data(), ARCHIVE_REQUEST.size(), 0);
		char some[100];
		recv(fd, some, sizeof some, 0);
		setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
		close(fd);  // reset in the middle of the answer
	}
	std::string answer = tcp_exchange(host.port, file_request("small"));
	EXPECT_NE(answer.find("file path=small size=1\ns\nendfile\nEND\n"), std::string::npos);
	EXPECT_TRUE(host.process.running());
}

TEST(ServePeers, ASilentPeerIsDroppedAfterFiveSeconds)
{
	TempDir tmp;
	make_dirs(tmp / "empty");
	ServeRun host;

	ASSERT_TRUE(start_serve(host, tmp / "empty", tmp / "serve.log"));
	auto connected = std::chrono::steady_clock::now();
	int silent = tcp_connect(host.port);
	bool closed;
	EXPECT_EQ(read_until_close(silent, 15000, &closed), "");
	EXPECT_TRUE(closed);
	EXPECT_GE(std::chrono::steady_clock::now() - connected, std::chrono::milliseconds(4990)) << "dropped too soon";
	close(silent);
	EXPECT_EQ(tcp_exchange(host.port, MANIFEST_REQUEST), EMPTY_SHARE_MANIFEST);
	EXPECT_NE(host.process.output().find("dircast-serve: client connected\ndircast-serve: request timed out\n"
					     "dircast-serve: client connected\ndircast-serve: manifest sent\n"),
		  std::string::npos);
}

// A peer that stops reading holds nobody up: the next client is served at
// once while the stalled one keeps its socket, and once it has taken nothing
// for the reader window its answer is given up, cut short of its end.
TEST_F(ServePeersShare, AStalledReaderIsGivenUpAndTheHostServesOn)
{
	serve_sparse_files(40, 1 << 20);
	auto asked = std::chrono::steady_clock::now();
	int stalled = request_archive();
	EXPECT_EQ(tcp_exchange(host.port, file_request("none"), 120000).substr(0, 19), "DC-SHARE-ARCHIVE/1\n");
	EXPECT_EQ(host.process.output().find("dircast-serve: archive sent\n"), std::string::npos)
		<< "the next client waited for the stalled one";
	ASSERT_TRUE(host.process.wait_for_output("dircast-serve: archive sent\n", 120000));
	EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::seconds(30)) << "given up too soon";
	bool closed;
	std::string partial = read_until_close(stalled, 5000, &closed);
	EXPECT_TRUE(closed);
	EXPECT_LT(partial.size(), 40u << 20);
	EXPECT_NE(partial.substr(partial.size() - 4), "END\n");
	close(stalled);
}

TEST_F(ServePeersShare, ASlowButSteadyReaderWithExtraBytesGetsTheWholeAnswer)
{
	serve_sparse_files(1, 2 << 20, "big");
	int fd = connect_within(host.port, 10000, true);
	// Bytes beyond what the host reads of a request: closed over them, its
	// socket would reset and drop the tail of the answer still queued.
	std::string request = ARCHIVE_REQUEST + std::string(4000, 'x');
	send(fd, request.data(), request.size(), 0);
	std::string answer = read_until_close(fd, 10000, nullptr, SIZE_MAX, 2);

	close(fd);
	EXPECT_TRUE(answer == archive_head(root) + "file path=big size=2097152\n" + std::string(2 << 20, '\0') +
				     "\nendfile\nEND\n") << answer.size() << " bytes";
}

// A file that shrinks under the host while it is sent: the answer stops
// without its end marker instead of carrying fewer bytes than announced.
TEST_F(ServePeersShare, AFileThatShrinksWhileSentCutsTheAnswer)
{
	serve_sparse_files(1, 64 << 20, "shrinking");
	int fd = request_archive();
	ASSERT_EQ(read_until_close(fd, 10000, nullptr, 1 << 20).size() >> 20, 1u) << "well into the content";
	ASSERT_EQ(truncate((root + "/shrinking").c_str(), 0), 0);
	bool closed;
	std::string rest = read_until_close(fd, 10000, &closed);
	close(fd);
	EXPECT_TRUE(closed);
	EXPECT_LT(rest.size(), 64u << 20);
	EXPECT_EQ(rest.find("END\n"), std::string::npos);
	EXPECT_NE(tcp_exchange(host.port, MANIFEST_REQUEST).find("file path=shrinking size=0 hash=2166136261\n"),
		  std::string::npos);
}

TEST(ServePeers, ARestartRebindsAtOnceButABusyPortIsRefused)
{
	TempDir tmp;
	make_dirs(tmp / "empty");
	ServeRun first;

	ASSERT_TRUE(start_serve(first, tmp / "empty", tmp / "first.log"));
	for (int i = 0; i < 3; i++)
		tcp_exchange(first.port, MANIFEST_REQUEST);  // the host closes first: its side waits out TIME_WAIT
	first.process.stop();
	Process second;
	second.start({program_path("dircast-serve"), "--root", tmp / "empty", "--port", std::to_string(first.port),
		      "--beacon-port", std::to_string(first.beacon_port), "--broadcast", "127.0.0.1"},
		     tmp / "second.log");
	ASSERT_TRUE(second.wait_for_output("advertising share")) << second.output();
	EXPECT_EQ(tcp_exchange(first.port, MANIFEST_REQUEST), EMPTY_SHARE_MANIFEST);

	Process third;
	third.start({program_path("dircast-serve"), "--root", tmp / "empty", "--port", std::to_string(first.port),
		     "--beacon-port", std::to_string(first.beacon_port), "--broadcast", "127.0.0.1"},
		    tmp / "third.log");
	ASSERT_TRUE(third.wait_exit());
	EXPECT_EQ(third.exit_status, 1);
	EXPECT_EQ(third.output(), "dircast-serve: start\ndircast-serve: sharing " + (tmp / "empty") +
					  "\ndircast-serve: listen failed\n");
}

// Loopback's broadcast address is refused to a socket without broadcast
// permission; these beacons arrive, about four a second.
TEST(ServePeers, BeaconsReachABroadcastAddress)
{
	TempDir tmp;
	ServeRun host;
	UdpReceiver beacons(free_udp_port(), "0.0.0.0");

	ASSERT_TRUE(start_serve(host, tmp / "empty", tmp / "serve.log",
				{"--beacon-port", std::to_string(beacons.port), "--broadcast", "127.255.255.255"}));
	int received = 0;
	for (int i = 0; i < 4; i++)
		received += beacons.receive(2000).rfind("DC-SHARE/1 name=c-host ", 0) == 0;
	EXPECT_EQ(received, 4);
}

} // namespace

namespace {

// One abusive peer: what it sends (or not), and whether it reads the answer,
// resets in the middle of it or closes at once.
enum class Abuse { garbage, full_request, oversize, manifest, reset, unsafe_file, close_at_once, half_request };
constexpr int ABUSES = 8;
const char *const UNSAFE_PATHS[] = {"../secret", "a.txt/../../secret", "..", ".", "", "/", "/etc/passwd", "a.txt/",
				    "./a.txt", "sub/../a.txt", "a.txt\\..\\..\\secret", "//a.txt", "a.txt\x01", "a\x7f",
				    "sub", "sub/"};
constexpr int UNSAFE_COUNT = sizeof UNSAFE_PATHS / sizeof UNSAFE_PATHS[0];

struct PeerCounts {
	std::atomic<int> answered{0}, unanswered{0};
	std::mutex mutex;
	std::vector<std::string> wrong;  // peers whose answer broke the protocol
};

// Peer i abuses the host in way i % ABUSES; an answer is checked when it
// came. A peer the kernel never handed to the host counts as unanswered, and
// so does one whose request the overflowing listen queue delayed past the
// host's five seconds.
void abuse(int i, int port, int timeout_ms, const std::string &secret, const std::string &manifest,
	   PeerCounts &counts)
{
	Abuse kind = Abuse(i % ABUSES);
	int fd = connect_within(port, timeout_ms, kind == Abuse::reset);
	std::string request;

	if (fd < 0) {
		counts.unanswered++;
		return;
	}
	if (kind == Abuse::garbage)
		for (int k = 0; k < 200; k++)
			request += (char)((i * 131 + k * 31) & 0xff);
	else if (kind == Abuse::full_request)
		request = file_request(std::string(767 - 14, 'a')).substr(0, 767);
	else if (kind == Abuse::oversize)
		request = MANIFEST_REQUEST + std::string(4000, 'x');
	else if (kind == Abuse::manifest)
		request = MANIFEST_REQUEST;
	else if (kind == Abuse::reset)
		request = ARCHIVE_REQUEST;
	else if (kind == Abuse::unsafe_file)
		request = file_request(UNSAFE_PATHS[(i / ABUSES) % UNSAFE_COUNT]);
	else if (kind == Abuse::half_request)
		request = "GET fi";
	send(fd, request.data(), request.size(), MSG_NOSIGNAL);
	if (kind == Abuse::reset) {
		char some[100];
		linger hard = {1, 0};
		recv(fd, some, sizeof some, 0);
		setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
	} else if (kind != Abuse::close_at_once && kind != Abuse::half_request) {
		bool closed;
		std::string answer = read_until_close(fd, timeout_ms, &closed);
		bool manifest_asked = kind == Abuse::manifest || kind == Abuse::oversize;
		bool right = answer.find(secret) == std::string::npos &&
			     (manifest_asked ? answer == manifest
					     : answer.rfind("DC-SHARE-ARCHIVE/1\n", 0) == 0 &&
						       answer.substr(answer.size() - 4) == "END\n" &&
						       (kind == Abuse::garbage) == (answer.find("file path=") != std::string::npos));
		if (answer.empty()) {
			counts.unanswered++;
		} else if (right && closed) {
			counts.answered++;
		} else {
			std::lock_guard<std::mutex> lock(counts.mutex);
			counts.wrong.push_back("peer " + std::to_string(i) + ": " + request.substr(0, 40) + " -> " +
					       answer.substr(0, 200));
		}
	}
	close(fd);
}

// Hundreds of peers at once, one silent among them, the others sending
// garbage, a request of exactly 767 bytes, oversize requests, half requests,
// single-file requests for every unsafe form, or resetting in the middle of
// an answer; then each abuse once more, one peer after the other, so that
// every form is surely answered. Whatever came back is the protocol's
// answer and never the file beside the share; afterwards the host still
// beacons and serves a well-behaved client the right bytes.
TEST(ServePeers, AStormOfAbusivePeersLeavesTheHostBeaconingAndServing)
{
	TempDir tmp;
	ServeRun host;
	std::string root = tmp / "share", secret = "beside the share, never served";
	PeerCounts storm, one_by_one;
	std::vector<std::thread> peers;

	make_dirs(root + "/sub");
	write_file(root + "/a.txt", "abc");
	make_sparse(root + "/big", 256 << 10);
	write_file(tmp / "secret", secret);
	ASSERT_TRUE(start_serve(host, root, tmp / "serve.log"));
	UdpReceiver beacons(host.beacon_port);
	std::string manifest = tcp_exchange(host.port, MANIFEST_REQUEST);
	ASSERT_NE(manifest.find("file path=a.txt size=3 hash=440920331\n"), std::string::npos);

	int silent = tcp_connect(host.port);
	for (int i = 0; i < 300; i++)
		peers.emplace_back(abuse, i, host.port, 10000, secret, manifest, std::ref(storm));
	for (std::thread &peer : peers)
		peer.join();
	// The silent peer holds only its own slot, until its request time runs out.
	EXPECT_TRUE(host.process.wait_for_output("dircast-serve: request timed out\n", 15000));
	close(silent);
	for (int i = 0; i < ABUSES * UNSAFE_COUNT; i++)
		abuse(i, host.port, 30000, secret, manifest, one_by_one);
	while (!beacons.receive(0).empty())
		;  // those sent during the storm
	int beacons_after = 0;
	for (int i = 0; i < 3; i++)
		beacons_after += beacons.receive(5000).rfind("DC-SHARE/1 name=c-host ", 0) == 0;

	EXPECT_EQ(storm.wrong, std::vector<std::string>{});
	EXPECT_EQ(one_by_one.wrong, std::vector<std::string>{});
	EXPECT_EQ(one_by_one.answered, ABUSES * UNSAFE_COUNT * 5 / 8);
	// The storm itself was served, not merely outlasted: some of its peers
	// were answered while it raged.
	EXPECT_GE(storm.answered, 10);
	EXPECT_GE(count_of(host.process.output(), "dircast-serve: request timed out\n"), 1);
	EXPECT_EQ(beacons_after, 3);
	EXPECT_TRUE(host.process.running());
	EXPECT_EQ(tcp_exchange(host.port, MANIFEST_REQUEST), manifest);
	EXPECT_NE(tcp_exchange(host.port, file_request("a.txt")).find("\n\nfile path=a.txt size=3\nabc\nendfile\nEND\n"),
		  std::string::npos);
}

} // namespace
