#include "loopback.hpp"
#include "process.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace dircast_test {

static sockaddr_in loopback(int port, const char *address = "127.0.0.1")
{
	sockaddr_in a{};

	a.sin_family = AF_INET;
	a.sin_port = htons(port);
	inet_pton(AF_INET, address, &a.sin_addr);
	return a;
}

// A port the kernel picked (bind to 0) is free only until the next connect
// takes it as its local port. These come from below the kernel's ephemeral
// range (32768 and up) and from 10240 to 20479, away from the Wine check's
// ports; each process starts at its own offset, keyed by its pid, and a port
// another process holds fails the bind and is skipped.
static int free_port(int type)
{
	static int next = getpid() * 24;

	for (;;) {
		int fd = socket(AF_INET, type, 0);
		sockaddr_in a = loopback(10240 + next++ % 10240);
		bool taken = bind(fd, (sockaddr *)&a, sizeof a) != 0;

		close(fd);
		if (!taken)
			return ntohs(a.sin_port);
	}
}

int free_tcp_port() { return free_port(SOCK_STREAM); }
int free_udp_port() { return free_port(SOCK_DGRAM); }

int tcp_connect(int port, int timeout_ms, const char *from)
{
	int fd = -1;

	wait_until([&] { return (fd = connect_within(port, timeout_ms, false, from)) >= 0; }, timeout_ms);
	return fd;
}

int connect_within(int port, int timeout_ms, bool small_window, const char *from)
{
	int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
	int size = 4096, error = 0;
	socklen_t length = sizeof error;
	sockaddr_in a = loopback(port), source = loopback(0, from);
	pollfd p = {fd, POLLOUT, 0};
	timeval limit = {timeout_ms / 1000, timeout_ms % 1000 * 1000};

	bind(fd, (sockaddr *)&source, sizeof source);
	if (small_window)
		setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
	if (connect(fd, (sockaddr *)&a, sizeof a) != 0 &&
	    (errno != EINPROGRESS || poll(&p, 1, timeout_ms) != 1 ||
	     getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error)) {
		close(fd);
		return -1;
	}
	fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
	setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
	return fd;
}

std::string read_until_close(int fd, int timeout_ms, bool *closed, size_t stop_after, int pause_ms)
{
	std::string out;
	char buf[65536];

	if (closed)
		*closed = false;
	while (out.size() < stop_after) {
		pollfd p = {fd, POLLIN, 0};
		if (poll(&p, 1, timeout_ms) <= 0)
			break;
		ssize_t n = recv(fd, buf, sizeof buf, 0);
		if (n <= 0) {
			if (closed)
				*closed = true;
			break;
		}
		out.append(buf, n);
		std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
	}
	return out;
}

std::string tcp_exchange(int port, const std::string &request, int timeout_ms, bool *closed)
{
	int fd = tcp_connect(port, timeout_ms);
	std::string out;

	if (fd < 0)
		return "<connect failed>";
	if (!request.empty())
		send(fd, request.data(), request.size(), MSG_NOSIGNAL);
	out = read_until_close(fd, timeout_ms, closed);
	close(fd);
	return out;
}

UdpReceiver::UdpReceiver(int p, const char *address) : port(p)
{
	sockaddr_in a = loopback(p, address);
	int on = 1;
	timeval stamp;

	fd = socket(AF_INET, SOCK_DGRAM, 0);
	setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
	bind(fd, (sockaddr *)&a, sizeof a);
	ioctl(fd, SIOCGSTAMP, &stamp);  // the first asks the kernel to stamp arrivals
}

UdpReceiver::~UdpReceiver()
{
	if (fd >= 0)
		close(fd);
}

std::string UdpReceiver::receive(int timeout_ms, int *sender_port, timeval *arrived)
{
	char buf[2048];
	pollfd p = {fd, POLLIN, 0};
	sockaddr_in from{};
	socklen_t len = sizeof from;

	if (poll(&p, 1, timeout_ms) <= 0)
		return "";
	ssize_t n = recvfrom(fd, buf, sizeof buf, 0, (sockaddr *)&from, &len);
	if (sender_port)
		*sender_port = ntohs(from.sin_port);
	if (arrived)
		ioctl(fd, SIOCGSTAMP, arrived);
	return n > 0 ? std::string(buf, n) : "";
}

void send_datagram(int port, const std::string &text, const char *from)
{
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	sockaddr_in a{}, source{};

	source.sin_family = AF_INET;
	inet_pton(AF_INET, from, &source.sin_addr);
	bind(fd, (sockaddr *)&source, sizeof source);
	a.sin_family = AF_INET;
	a.sin_port = htons(port);
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	sendto(fd, text.data(), text.size(), 0, (sockaddr *)&a, sizeof a);
	close(fd);
}

long udp_queued(int port)
{
	std::ifstream table("/proc/net/udp");
	std::string line;
	unsigned local, queued;

	while (std::getline(table, line)) {
		if (sscanf(line.c_str(), "%*d: %*x:%x %*x:%*x %*x %*x:%x", &local, &queued) == 2 && (int)local == port)
			return queued;
	}
	return -1;
}

} // namespace dircast_test
