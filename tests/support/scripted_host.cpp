#include "scripted_host.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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

void ScriptedHost::serve()
{
	while (!stop_) {
		pollfd p = {listener_, POLLIN, 0};

		if (poll(&p, 1, 50) <= 0)
			continue;
		int fd = accept(listener_, nullptr, nullptr);
		if (fd >= 0) {
			answer_one(fd);
			close(fd);
		}
	}
}

// Requests end with a blank line; a client that sends less is read until it
// pauses for a second.
void ScriptedHost::answer_one(int fd)
{
	std::string request;
	char buf[1024];
	int index;

	while (request.find("\n\n") == std::string::npos) {
		pollfd p = {fd, POLLIN, 0};
		if (poll(&p, 1, 1000) <= 0)
			break;
		ssize_t n = recv(fd, buf, sizeof buf, 0);
		if (n <= 0)
			break;
		request.append(buf, n);
	}
	{
		std::lock_guard<std::mutex> lock(mutex_);
		index = (int)requests_.size();
		requests_.push_back(request);
	}
	ScriptedReply reply = answer_(request, index);
	send(fd, reply.head.data(), reply.head.size(), MSG_NOSIGNAL);
	if (!reply.tail.empty()) {
		pollfd p = {fd, POLLIN, 0};
		poll(&p, 1, 1000);
		send(fd, reply.tail.data(), reply.tail.size(), MSG_NOSIGNAL);
	}
}

unsigned content_hash(const std::string &bytes)
{
	unsigned h = 2166136261u;

	for (unsigned char c : bytes)
		h = (h ^ c) * 16777619u;
	return h;
}

std::string manifest_text(unsigned hash, const std::vector<Entry> &entries)
{
	std::string out = "DC-SHARE-MANIFEST/1\nname=scripted\nhash=" + std::to_string(hash) +
			  "\nentries=recursive\n\n";

	for (const Entry &e : entries) {
		if (e.dir)
			out += "dir path=" + e.path + "\n";
		else
			out += "file path=" + e.path + " size=" + std::to_string(e.content.size()) +
			       " hash=" + std::to_string(content_hash(e.content)) + "\n";
	}
	return out + "END\n";
}

std::string archive_text(const std::vector<Entry> &entries)
{
	std::string out = "DC-SHARE-ARCHIVE/1\nname=scripted\nroot=/r\ndrive=c\npath=host\n"
			  "mode=read-only\nentries=recursive\n\n";

	for (const Entry &e : entries) {
		if (e.dir)
			out += "dir path=" + e.path + "\n";
		else
			out += "file path=" + e.path + " size=" + std::to_string(e.content.size()) + "\n" +
			       e.content + "\nendfile\n";
	}
	return out + "END\n";
}

} // namespace dircast_test
