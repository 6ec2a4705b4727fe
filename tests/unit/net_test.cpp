// IPv4 socket addresses, the dotted-quad parser and whole-buffer sends.
#include "runtime/net.hpp"
#include "kernel_result.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using dircast_test::result_name;

TEST(Net, ParseIpv4Accepts)
{
	const struct {
		const char *name;
		const char *text;
		unsigned char expected[4];
	} cases[] = {
		{"broadcast default", "10.0.3.255", {10, 0, 3, 255}},
		{"loopback", "127.0.0.1", {127, 0, 0, 1}},
		{"any", "0.0.0.0", {0, 0, 0, 0}},
		{"all ones", "255.255.255.255", {255, 255, 255, 255}},
		{"leading zeros", "001.002.003.004", {1, 2, 3, 4}},
		{"octal-looking octet is decimal", "010.0.0.1", {10, 0, 0, 1}},
		{"many leading zeros", "1.2.3.000000000255", {1, 2, 3, 255}},
	};

	for (const auto &c : cases) {
		unsigned char out[4] = {0xee, 0xee, 0xee, 0xee};

		SCOPED_TRACE(c.name);
		EXPECT_EQ(dircast::parse_ipv4(c.text, out), 1);
		EXPECT_EQ(std::vector<int>(out, out + 4), std::vector<int>(c.expected, c.expected + 4));
	}
}

TEST(Net, ParseIpv4Rejects)
{
	const struct {
		const char *name;
		const char *text;
	} cases[] = {
		{"empty", ""},
		{"octet above 255", "256.1.1.1"},
		{"last octet above 255", "1.2.3.256"},
		{"overflow by digits", "1.2.3.2550"},
		{"huge octet", "4294967296.1.1.1"},
		{"three octets", "1.2.3"},
		{"five octets", "1.2.3.4.5"},
		{"empty octet", "1..2.3"},
		{"leading dot", ".1.2.3"},
		{"trailing dot", "1.2.3.4."},
		{"three octets and a dot", "1.2.3."},
		{"leading space", " 1.2.3.4"},
		{"trailing space", "1.2.3.4 "},
		{"trailing newline", "1.2.3.4\n"},
		{"sign", "1.2.3.-4"},
		{"host name", "localhost"},
		{"dot alone", "."},
		{"high byte", "1.2.3.\xb4"},
	};

	for (const auto &c : cases) {
		unsigned char out[4];

		SCOPED_TRACE(c.name);
		EXPECT_EQ(dircast::parse_ipv4(c.text, out), 0);
	}
}

TEST(Net, ParseIpv4FailureKeepsClosedOctets)
{
	unsigned char out[4] = {9, 9, 9, 9};

	EXPECT_EQ(dircast::parse_ipv4("192.168.1", out), 0);
	EXPECT_EQ(std::vector<int>(out, out + 4), (std::vector<int>{192, 168, 9, 9}));
	out[2] = 7;
	EXPECT_EQ(dircast::parse_ipv4("10.20", out), 0);
	EXPECT_EQ(std::vector<int>(out, out + 4), (std::vector<int>{10, 168, 7, 9}));
}

// An address built the way the programs build one must reach a real listener:
// the kernel is the judge of the record's layout and the port's byte order.
TEST(Net, BuiltAddressConnectsOnLoopback)
{
	int listener = socket(AF_INET, SOCK_STREAM, 0);
	int client = socket(AF_INET, SOCK_STREAM, 0);
	::sockaddr_in bound{};
	socklen_t len = sizeof bound;
	dircast::sockaddr_in address = dircast::IPV4_ANY;

	ASSERT_GE(listener, 0);
	ASSERT_GE(client, 0);
	bound.sin_family = AF_INET;
	bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	ASSERT_EQ(bind(listener, (sockaddr *)&bound, sizeof bound), 0);
	ASSERT_EQ(listen(listener, 1), 0);
	ASSERT_EQ(getsockname(listener, (sockaddr *)&bound, &len), 0);

	ASSERT_EQ(dircast::parse_ipv4("127.0.0.1", address.sin_addr), 1);
	dircast::store_port(&address, ntohs(bound.sin_port));
	EXPECT_EQ(connect(client, (sockaddr *)&address, sizeof address), 0) << strerror(errno);
	close(client);
	close(listener);
}

struct SocketPair {
	int local = -1;
	int peer = -1;

	SocketPair()
	{
		int fds[2];

		if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
			local = fds[0];
			peer = fds[1];
		}
	}
	~SocketPair()
	{
		if (local >= 0)
			close(local);
		if (peer >= 0)
			close(peer);
	}
};

std::string read_all(int fd)
{
	std::string out;
	char buf[65536];
	ssize_t n;

	while ((n = read(fd, buf, sizeof buf)) > 0)
		out.append(buf, n);
	return out;
}

// What the peer receives, shut down after the send: every byte, nothing for
// nothing, a text without its NUL.
TEST(Net, SendDeliversExactlyTheBytes)
{
	const struct {
		const char *name;
		long (*send)(long fd);
		long result;
		const char *received;
	} cases[] = {
		{"every byte", [](long fd) { return dircast::send_all(fd, "file path=a size=3\nabc\nendfile\n", 31); }, 31,
		 "file path=a size=3\nabc\nendfile\n"},
		{"nothing", [](long fd) { return dircast::send_all(fd, "abc", 0); }, 0, ""},
		{"text without its NUL", [](long fd) { return dircast::send_text(fd, "END\n"); }, 4, "END\n"},
		{"empty text", [](long fd) { return dircast::send_text(fd, ""); }, 0, ""},
	};

	for (const auto &c : cases) {
		SocketPair pair;

		SCOPED_TRACE(c.name);
		ASSERT_GE(pair.local, 0);
		EXPECT_EQ(result_name(c.send(pair.local)), result_name(c.result));
		shutdown(pair.local, SHUT_WR);
		EXPECT_EQ(read_all(pair.peer), c.received);
	}
}

// Far more than a socket buffer holds, drained by a reader while a third
// thread keeps signalling the sender. A signal that lands while send waits
// for room cuts it short (SA_RESTART restarts it only when nothing was sent
// yet), so send_all has to carry on from each partial count.
TEST(Net, SendAllResumesAfterPartialSends)
{
	struct sigaction wake = {}, saved;
	SocketPair pair;
	std::string bytes(8 << 20, 0);
	std::string received;
	std::atomic<bool> done{false};
	pthread_t sender = pthread_self();

	ASSERT_GE(pair.local, 0);
	for (size_t i = 0; i < bytes.size(); i++)
		bytes[i] = (char)(i * 7 + i / 4096);
	wake.sa_handler = [](int) {};
	wake.sa_flags = SA_RESTART;
	sigaction(SIGUSR1, &wake, &saved);

	std::thread reader([&] { received = read_all(pair.peer); });
	std::thread interrupter([&] {
		while (!done) {
			pthread_kill(sender, SIGUSR1);
			usleep(100);
		}
	});
	long r = dircast::send_all(pair.local, bytes.data(), (long)bytes.size());
	done = true;
	interrupter.join();
	shutdown(pair.local, SHUT_WR);
	reader.join();
	sigaction(SIGUSR1, &saved, nullptr);

	EXPECT_EQ(result_name(r), result_name((long)bytes.size()));
	EXPECT_EQ(received.size(), bytes.size());
	EXPECT_TRUE(received == bytes) << "bytes arrived out of order";
}

// The programs' process frame ignores SIGPIPE; so does this process, and a
// vanished peer must then come back as the send's error, not as a short count.
TEST(Net, SendAllReportsTheFailingSend)
{
	struct sigaction ignore = {}, saved;
	SocketPair closed_peer, not_closed;
	int pipe_fds[2];

	ASSERT_EQ(pipe(pipe_fds), 0);
	ignore.sa_handler = SIG_IGN;
	sigaction(SIGPIPE, &ignore, &saved);
	close(closed_peer.peer);
	closed_peer.peer = -1;

	const struct {
		const char *name;
		long fd;
		long expected;
	} cases[] = {
		{"peer closed", closed_peer.local, -EPIPE},
		{"not a socket", pipe_fds[1], -ENOTSOCK},
		{"no such descriptor", -1, -EBADF},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(result_name(dircast::send_all(c.fd, "abc", 3)), result_name(c.expected));
	}
	sigaction(SIGPIPE, &saved, nullptr);
	close(pipe_fds[0]);
	close(pipe_fds[1]);
}

TEST(Net, SocketOptionsReachTheKernel)
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	int flag = 0;
	timeval limit = {};
	socklen_t len;

	ASSERT_GE(fd, 0);
	EXPECT_EQ(result_name(dircast::set_socket_flag(fd, SO_REUSEADDR)), "0");
	len = sizeof flag;
	ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &flag, &len), 0);
	EXPECT_NE(flag, 0);

	EXPECT_EQ(result_name(dircast::set_socket_timeout(fd, SO_RCVTIMEO, 7)), "0");
	len = sizeof limit;
	ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, &len), 0);
	EXPECT_EQ(limit.tv_sec, 7);
	EXPECT_EQ(limit.tv_usec, 0);

	EXPECT_EQ(result_name(dircast::set_socket_flag(-1, SO_REUSEADDR)), result_name(-EBADF));
	close(fd);
}

} // namespace
