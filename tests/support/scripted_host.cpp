#include "scripted_host.hpp"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace dircast_test {

ScriptedHost::ScriptedHost(Answer answer) : answer_(std::move(answer))
{
	sockaddr_in a{};
	socklen_t len = sizeof a;

	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	listener_ = socket(AF_INET, SOCK_STREAM, 0);
	bind(listener_, (sockaddr *)&a, sizeof a);
	listen(listener_, 4);
	getsockname(listener_, (sockaddr *)&a, &len);
	port_ = ntohs(a.sin_port);
	thread_ = std::thread([this] { serve(); });
}

ScriptedHost::~ScriptedHost()
{
	stop_ = true;
	thread_.join();
	close(listener_);
}

std::vector<std::string> ScriptedHost::requests()
{
	std::lock_guard<std::mutex> lock(mutex_);
	return requests_;
}

// True when fd has data or end of file within timeout_ms.
static bool readable(int fd, int timeout_ms)
{
	pollfd p = {fd, POLLIN, 0};
	return poll(&p, 1, timeout_ms) > 0;
}

// A request ends with a blank line; one that never does is taken as it stands
// after a second of silence.
void ScriptedHost::serve()
{
	while (!stop_) {
		std::string request;
		char buf[1024];
		ssize_t n;
		int fd = readable(listener_, 50) ? accept(listener_, nullptr, nullptr) : -1;

		if (fd < 0)
			continue;
		while (request.find("\n\n") == std::string::npos && readable(fd, 1000) &&
		       (n = recv(fd, buf, sizeof buf, 0)) > 0)
			request.append(buf, n);
		{
			std::lock_guard<std::mutex> lock(mutex_);
			requests_.push_back(request);
			turn_ += request.rfind(dircast::wire::MANIFEST_PREFIX, 0) == 0;
		}
		ScriptedReply reply = answer_(request, turn_);
		timeval stall = {10, 0};
		setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
		bool taken = send(fd, reply.head.data(), reply.head.size(), MSG_NOSIGNAL) >= 0;
		for (size_t i = 0; taken && i < reply.pieces.size(); i++) {
			std::this_thread::sleep_for(std::chrono::milliseconds(reply.pause_ms));
			taken = send(fd, reply.pieces[i].data(), reply.pieces[i].size(), MSG_NOSIGNAL) ==
				(ssize_t)reply.pieces[i].size();
		}
		// Bounded all the same (1 GiB), should a client never stop reading.
		for (long long sent = 0; taken && !reply.repeat.empty() && sent < (1ll << 30) && !stop_;) {
			ssize_t r = send(fd, reply.repeat.data(), reply.repeat.size(), MSG_NOSIGNAL);
			taken = r > 0;
			sent += r > 0 ? r : 0;
			repeated_ = sent;
			std::this_thread::sleep_for(std::chrono::milliseconds(reply.pause_ms));
		}
		if (!reply.tail.empty()) {
			readable(fd, 1000);
			send(fd, reply.tail.data(), reply.tail.size(), MSG_NOSIGNAL);
		}
		if (reply.hold_ms)
			readable(fd, reply.hold_ms);
		close(fd);
	}
}

} // namespace dircast_test
