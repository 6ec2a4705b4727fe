// Many connections at once: the input picks up to eight requests and a
// schedule of when each connection starts, when the host takes a turn and
// how much each peer reads. The peers' windows are small and one file is
// large, so answers stop and resume in every order. Every answer must be,
// byte for byte, the answer the same request gets alone, and every
// connection must end with its slot free and its descriptors closed.
#include "host_share.hpp"
#include "host/connection_slots.hpp"
#include "host/serve_loop.hpp"
#include "host/settings.hpp"
#include "runtime/clock.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using dircast_fuzz::put;

namespace {

const char *const REQUESTS[] = {
	"GET manifest DC-SHARE/1\n\n",   "GET archive DC-SHARE/1\n\n", "GET file path=big.bin\n\n",
	"GET file path=sub/b.txt\r\n\r\n", "GET file path=sub\n\n",       "GET manifest",
	"\x01garbage",                    "",
};
constexpr int REQUEST_KINDS = sizeof REQUESTS / sizeof REQUESTS[0];
constexpr int MAX_PEERS = 8;
// Turns after the schedule until every answer must be complete.
constexpr int DRAIN_TURNS = 100000;

std::string alone[REQUEST_KINDS];

struct Peer {
	int kind;
	int fd = -1;          // our end; the host's end is in its slot
	bool started = false;
	bool closed = false;  // the host closed: the answer is complete
	std::string answer;
};

std::string pseudo_random(size_t n, unsigned seed)
{
	std::string s(n, 0);
	for (size_t i = 0; i < n; i++) {
		seed = seed * 1103515245 + 12345;
		s[i] = (char)(seed >> 16);
	}
	return s;
}

void make_share()
{
	std::string share = dircast_fuzz::make_base_directory("interleave") + "/share";
	mkdir(share.c_str(), 0777);
	mkdir((share + "/sub").c_str(), 0777);
	mkdir((share + "/sub/deep").c_str(), 0777);
	mkdir((share + "/other").c_str(), 0777);
	put(share + "/big.bin", pseudo_random(300000, 7));
	put(share + "/a.txt", "abc");
	put(share + "/sub/b.txt", "");
	put(share + "/sub/deep/c.bin", pseudo_random(40000, 9));
	for (int i = 0; i < 40; i++)
		put(share + "/other/f" + std::to_string(i), pseudo_random(i * 97, i));
	static std::string root = share;
	dircast::host_settings.share_root = root.c_str();
}

int open_descriptors()
{
	int n = 0;
	DIR *d = opendir("/proc/self/fd");

	while (readdir(d))
		n++;
	closedir(d);
	return n;
}

[[noreturn]] void fail(const char *what, const Peer &peer)
{
	fprintf(stderr, "interleave: %s\nrequest: %s\nanswer: %zu bytes, alone: %zu bytes\n", what,
		REQUESTS[peer.kind], peer.answer.size(), alone[peer.kind].size());
	abort();
}

// The host's end sends into a small buffer and ours takes little at a time,
// so the host finds the window full again and again.
void start_peer(Peer &peer)
{
	int pair[2];
	int small = 4096;
	const char *request = REQUESTS[peer.kind];
	dircast::Connection *slot = dircast::free_slot();

	if (!slot || socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
		abort();
	setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
	setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
	if (*request && write(pair[1], request, strlen(request)) < 0)
		abort();
	shutdown(pair[1], SHUT_WR);
	dircast::open_connection(slot, pair[0], 0, dircast::monotonic_ms());
	peer.fd = pair[1];
	peer.started = true;
}

void read_some(Peer &peer, size_t limit)
{
	char buf[8192];
	ssize_t n;

	if (!peer.started || peer.closed)
		return;
	n = recv(peer.fd, buf, limit < sizeof buf ? limit : sizeof buf, MSG_DONTWAIT);
	if (n > 0)
		peer.answer.append(buf, n);
	else if (n == 0)
		peer.closed = true;
}

// One schedule byte: start a peer, let the host take turns, or let one
// peer read 64 to 8192 bytes.
void play(uint8_t op, std::vector<Peer> &peers)
{
	Peer &peer = peers[(op >> 2) % peers.size()];

	switch (op & 3) {
	case 0:
		if (!peer.started)
			start_peer(peer);
		break;
	case 1:
		dircast::serve_turn(-1, nullptr);
		break;
	case 2:
		read_some(peer, (size_t)64 << ((op >> 5) & 7));
		break;
	case 3:
		for (int i = 0; i < 3; i++)
			dircast::serve_turn(-1, nullptr);
		break;
	}
}

bool all_closed(const std::vector<Peer> &peers)
{
	for (const Peer &peer : peers)
		if (!peer.closed)
			return false;
	return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	make_share();
	dircast_fuzz::quiet_host_log();
	for (int k = 0; k < REQUEST_KINDS; k++)
		alone[k] = dircast_fuzz::serve_alone(REQUESTS[k]);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const int descriptors = open_descriptors();
	size_t at = 0;
	std::vector<Peer> peers(size > 0 ? 2 + data[at++] % (MAX_PEERS - 1) : 2);

	for (Peer &peer : peers)
		peer.kind = at < size ? data[at++] % REQUEST_KINDS : 0;
	for (; at < size; at++)
		play(data[at], peers);
	for (Peer &peer : peers)
		if (!peer.started)
			start_peer(peer);
	for (int turn = 0; turn < DRAIN_TURNS && !all_closed(peers); turn++) {
		dircast::serve_turn(-1, nullptr);
		for (Peer &peer : peers)
			read_some(peer, 8192);
	}
	for (Peer &peer : peers) {
		if (!peer.closed)
			fail("an answer never ended", peer);
		if (peer.answer != alone[peer.kind])
			fail("an answer differs from the one it gets alone", peer);
		close(peer.fd);
	}
	for (int i = 0; i < dircast::CONNECTION_SLOTS; i++)
		if (dircast::connection_slots[i].state != dircast::CONNECTION_FREE)
			fail("a slot stayed in use", peers[0]);
	if (open_descriptors() != descriptors)
		fail("descriptors leaked", peers[0]);
	return 0;
}
