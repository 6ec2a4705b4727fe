// dircast-serve end to end: peers that vanish, stall or misbehave, and a
// host started in an unusual way. The host must keep beaconing and serving.
#include "support/loopback.hpp"
#include "support/serve_runner.hpp"
#include "support/temp_dir.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace dircast_test;

namespace {

const std::string MANIFEST = "GET manifest DC-SHARE/1\n\n";
const std::string ARCHIVE = "GET archive DC-SHARE/1\n\n";

std::string expected_manifest_of_empty_share()
{
	return "DC-SHARE-MANIFEST/1\nname=c-host\nhash=3241883111\nentries=recursive\n\nEND\n";
}

// A connected socket with a small receive buffer, so that a large answer
// quickly fills the path and the host has to wait on us.
int small_window_connect(int port)
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	int size = 4096;
	sockaddr_in a{};

	setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
	a.sin_family = AF_INET;
	a.sin_port = htons(port);
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	if (connect(fd, (sockaddr *)&a, sizeof a) != 0) {
		close(fd);
		return -1;
	}
	return fd;
}

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
		int fd = small_window_connect(host.port);
		send(fd, ARCHIVE.data(), ARCHIVE.size(), 0);
		return fd;
	}
};

TEST(ServePeers, ClosedStandardDescriptorsNeverCarryLogLines)
{
	TempDir tmp;
	int port = free_tcp_port();
	Process p;

	p.start({program_path("dircast-serve"), "--root", tmp / "none", "--port", std::to_string(port),
		 "--beacon-port", std::to_string(free_udp_port()), "--broadcast", "127.0.0.1"},
		tmp / "serve.log", {0, 1, 2});
	for (int i = 0; i < 3; i++)
		EXPECT_EQ(tcp_exchange(port, MANIFEST), expected_manifest_of_empty_share());
	EXPECT_TRUE(p.running());
}

TEST(ServePeers, AStandardOutputWithoutReaderDoesNotEndTheHost)
{
	TempDir tmp;
	int port = free_tcp_port();
	int pipe_fds[2];

	ASSERT_EQ(pipe(pipe_fds), 0);
	pid_t pid = fork();
	if (pid == 0) {
		dup2(pipe_fds[1], 1);
		close(pipe_fds[0]);
		execl(program_path("dircast-serve").c_str(), "dircast-serve", "--root", (tmp / "none").c_str(), "--port",
		      std::to_string(port).c_str(), "--beacon-port", std::to_string(free_udp_port()).c_str(),
		      "--broadcast", "127.0.0.1", (char *)nullptr);
		_exit(127);
	}
	close(pipe_fds[0]);
	close(pipe_fds[1]);
	for (int i = 0; i < 3; i++)
		EXPECT_EQ(tcp_exchange(port, MANIFEST), expected_manifest_of_empty_share());
	int status;
	EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the host ended";
	kill(pid, SIGKILL);
	waitpid(pid, &status, 0);
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
		int fd = small_window_connect(host.port);
		linger hard = {1, 0};
		send(fd, ARCHIVE.data(), ARCHIVE.size(), 0);
		char some[100];
		recv(fd, some, sizeof some, 0);
		setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
		close(fd);  // reset in the middle of the answer
	}
	std::string answer = tcp_exchange(host.port, "GET file path=small\n\n");
	EXPECT_NE(answer.find("file path=small size=1\ns\nendfile\nEND\n"), std::string::npos);
	EXPECT_TRUE(host.process.running());
}

TEST(ServePeers, ASilentPeerIsDroppedAfterFiveSeconds)
{
	TempDir tmp;
	ServeRun host;

	ASSERT_TRUE(start_serve(host, tmp / "none", tmp / "serve.log"));
	int silent = tcp_connect(host.port);
	ASSERT_TRUE(host.process.wait_for_output("dircast-serve: request timed out\n", 15000));
	bool closed;
	EXPECT_EQ(read_until_close(silent, 2000, &closed), "");
	EXPECT_TRUE(closed);
	close(silent);
	EXPECT_EQ(tcp_exchange(host.port, MANIFEST), expected_manifest_of_empty_share());
	EXPECT_NE(host.process.output().find("dircast-serve: client connected\ndircast-serve: request timed out\n"
					     "dircast-serve: client connected\ndircast-serve: manifest sent\n"),
		  std::string::npos);
}

// A peer that stops reading is given up once, not once per record: the host
// then serves the next client while the stalled one still holds its socket.
TEST_F(ServePeersShare, AStalledReaderIsGivenUpAndTheHostServesOn)
{
	serve_sparse_files(40, 1 << 20);
	int stalled = request_archive();
	EXPECT_EQ(tcp_exchange(host.port, "GET file path=none\n\n", 120000).substr(0, 19), "DC-SHARE-ARCHIVE/1\n");
	EXPECT_TRUE(host.process.wait_for_output("dircast-serve: file archive sent\n", 1000));
	bool closed;
	std::string partial = read_until_close(stalled, 5000, &closed);
	EXPECT_TRUE(closed);
	EXPECT_LT(partial.size(), 40u << 20);
	EXPECT_NE(partial.substr(partial.size() - 4), "END\n");
	close(stalled);
}

TEST_F(ServePeersShare, ASlowButSteadyReaderGetsTheWholeAnswer)
{
	serve_sparse_files(1, 2 << 20, "big");
	int fd = request_archive();
	std::string answer;
	char chunk[32768];
	ssize_t n;
	while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0) {
		answer.append(chunk, n);
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	}
	close(fd);
	EXPECT_EQ(answer, "DC-SHARE-ARCHIVE/1\nname=c-host\nroot=" + root +
				  "\ndrive=c\npath=host\nmode=read-only\nentries=recursive\n\nfile path=big size=2097152\n" +
				  std::string(2 << 20, '\0') + "\nendfile\nEND\n");
}

// A file that shrinks under the host while it is sent: the answer stops
// without its end marker instead of carrying fewer bytes than announced.
TEST_F(ServePeersShare, AFileThatShrinksWhileSentCutsTheAnswer)
{
	serve_sparse_files(1, 64 << 20, "shrinking");
	int fd = request_archive();
	char chunk[65536];
	size_t received = 0;
	while (received < (1u << 20)) {  // well into the content
		ssize_t n = recv(fd, chunk, sizeof chunk, 0);
		ASSERT_GT(n, 0);
		received += n;
	}
	ASSERT_EQ(truncate((root + "/shrinking").c_str(), 0), 0);
	bool closed;
	std::string rest = read_until_close(fd, 10000, &closed);
	close(fd);
	EXPECT_TRUE(closed);
	EXPECT_LT(rest.size(), 64u << 20);
	EXPECT_EQ(rest.find("END\n"), std::string::npos);
	EXPECT_NE(tcp_exchange(host.port, MANIFEST).find("file path=shrinking size=0 hash=2166136261\n"),
		  std::string::npos);
}

TEST(ServePeers, ARestartRebindsAtOnceButABusyPortIsRefused)
{
	TempDir tmp;
	ServeRun first;

	ASSERT_TRUE(start_serve(first, tmp / "none", tmp / "first.log"));
	for (int i = 0; i < 3; i++)
		tcp_exchange(first.port, MANIFEST);  // the host closes first: its side waits out TIME_WAIT
	first.process.stop();
	Process second;
	second.start({program_path("dircast-serve"), "--root", tmp / "none", "--port", std::to_string(first.port),
		      "--beacon-port", std::to_string(first.beacon_port), "--broadcast", "127.0.0.1"},
		     tmp / "second.log");
	ASSERT_TRUE(second.wait_for_output("advertising share")) << second.output();
	EXPECT_EQ(tcp_exchange(first.port, MANIFEST), expected_manifest_of_empty_share());

	Process third;
	third.start({program_path("dircast-serve"), "--root", tmp / "none", "--port", std::to_string(first.port),
		     "--beacon-port", std::to_string(first.beacon_port), "--broadcast", "127.0.0.1"},
		    tmp / "third.log");
	ASSERT_TRUE(third.wait_exit());
	EXPECT_EQ(third.exit_status, 1);
	EXPECT_EQ(third.output(), "dircast-serve: start\ndircast-serve: sharing " + (tmp / "none") +
					  "\ndircast-serve: listen failed\n");
}

// Loopback's broadcast address is refused to a socket without broadcast
// permission; these beacons arrive, about four a second.
TEST(ServePeers, BeaconsReachABroadcastAddress)
{
	TempDir tmp;
	ServeRun host;
	UdpReceiver beacons(free_udp_port(), "0.0.0.0");

	ASSERT_TRUE(start_serve(host, tmp / "none", tmp / "serve.log",
				{"--beacon-port", std::to_string(beacons.port), "--broadcast", "127.255.255.255"}));
	int received = 0;
	for (int i = 0; i < 4; i++)
		received += beacons.receive(2000).rfind("DC-SHARE/1 name=c-host ", 0) == 0;
	EXPECT_EQ(received, 4);
}

} // namespace
