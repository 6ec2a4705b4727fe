// Console log: what reaches standard output, and in how many writes.
#include "runtime/console.hpp"

#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Runs body in a child whose standard output is a packet socket, so every
// write arrives as one packet: the list is what was written, write by write.
template <typename Body>
std::vector<std::string> writes_of(Body body)
{
	std::vector<std::string> writes;
	int fds[2];
	char buf[4096];
	int status;

	if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0)
		return {"<socketpair failed>"};
	pid_t pid = fork();
	if (pid == 0) {
		dup2(fds[1], 1);
		body();
		_exit(0);
	}
	close(fds[1]);
	for (ssize_t n; (n = recv(fds[0], buf, sizeof buf, 0)) > 0;)
		writes.emplace_back(buf, n);
	close(fds[0]);
	waitpid(pid, &status, 0);
	if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
		writes.push_back("<child failed>");
	return writes;
}

using Writes = std::vector<std::string>;

// Pieces gather into one write a line; a line longer than the buffer goes
// out in pieces, none lost, and what is left unended goes at the flush.
TEST(Console, EachLineIsOneWrite)
{
	std::string path(3000, 'p');
	Writes writes = writes_of([&] {
		dircast::log_text("dircast-mirror: polling every ");
		dircast::log_number(30);
		dircast::log_text(" seconds\ndircast-mirror: mirrored file ");
		dircast::log_text(path.c_str());
		dircast::log_text("\nunended");
		dircast::flush_log();
	});
	std::string joined;

	ASSERT_GE(writes.size(), 4u);
	EXPECT_EQ(writes[0], "dircast-mirror: polling every 30 seconds\n");
	EXPECT_EQ(writes.back(), "unended");
	for (const std::string &w : writes)
		joined += w;
	EXPECT_EQ(joined, "dircast-mirror: polling every 30 seconds\ndircast-mirror: mirrored file " + path + "\nunended");
}

TEST(Console, ClosedStandardOutputIsIgnored)
{
	int status;
	pid_t pid = fork();

	ASSERT_GE(pid, 0);
	if (pid == 0) {
		close(1);
		dircast::log_text("dircast-serve: lost\n");
		dircast::log_number(7);
		_exit(3);
	}
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	ASSERT_TRUE(WIFEXITED(status));
	EXPECT_EQ(WEXITSTATUS(status), 3);
}

} // namespace
