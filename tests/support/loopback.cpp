#include "loopback.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
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

static int free_port(int type)
{
	int fd = socket(AF_INET, type, 0);
	sockaddr_in a = loopback(0);
	socklen_t len = sizeof a;

	bind(fd, (sockaddr *)&a, sizeof a);
	getsockname(fd, (sockaddr *)&a, &len);
	close(fd);
	return ntohs(a.sin_port);
}

int free_tcp_port() { return free_port(SOCK_STREAM); }
int free_udp_port() { return free_port(SOCK_DGRAM); }

int tcp_connect(int port, int timeout_ms, const char *from)
{
	auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
	sockaddr_in a = loopback(port), source = loopback(0, from);

	while (std::chrono::steady_clock::now() < until) {
		int fd = socket(AF_INET, SOCK_STREAM, 0);
		bind(fd, (sockaddr *)&source, sizeof source);
		if (connect(fd, (sockaddr *)&a, sizeof a) == 0)
			return fd;
		close(fd);
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	return -1;
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

	fd = socket(AF_INET, SOCK_DGRAM, 0);
	setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
	bind(fd, (sockaddr *)&a, sizeof a);
}

UdpReceiver::~UdpReceiver()
{
	if (fd >= 0)
		close(fd);
}

std::string UdpReceiver::receive(int timeout_ms, int *sender_port)
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

} // namespace dircast_test
