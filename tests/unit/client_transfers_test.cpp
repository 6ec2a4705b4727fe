// Reply framing and the bounded waits: where an end marker may stand, what a
// stalled or closed peer leaves, and a connect that never completes.
#include "client/reply_stream.hpp"
#include "client/transfers.hpp"
#include "client_fixture.hpp"
#include "support/scripted_host.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

using namespace dircast_test;
using dircast::ARCHIVE_STREAM;
using dircast::MANIFEST_STREAM;

const std::string HEAD = scripted_archive_head();
const std::string WHOLE = archive_text({{"f", "a\nEND\n"}, {"g", ""}});
const std::string CUT_AT_CONTENT = WHOLE.substr(0, WHOLE.find("END\n") + 4);

const struct {
	const char *name;
	dircast::StreamKind kind;
	std::string bytes;
	bool complete;
} FRAME_CASES[] = {
	{"whole archive", ARCHIVE_STREAM, WHOLE, true},
	{"cut where content ends in END", ARCHIVE_STREAM, CUT_AT_CONTENT, false},
	{"size larger than what follows", ARCHIVE_STREAM, HEAD + "file path=f size=99\nx\nendfile\nEND\n", false},
	{"empty file", ARCHIVE_STREAM, HEAD + "file path=e size=0\n\nendfile\nEND\n", true},
	{"content runs into endfile", ARCHIVE_STREAM, HEAD + "file path=f size=3\nabcendfile\nEND\n", true},
	{"empty path carries no content", ARCHIVE_STREAM, HEAD + "file path= size=4\nEND\n", true},
	{"end marker as the first line", ARCHIVE_STREAM, "END\n", false},
	{"bytes after the end marker", ARCHIVE_STREAM, WHOLE + "x", false},
	{"manifest", MANIFEST_STREAM, manifest_text(1, {{"a", "x"}}), true},
	{"manifest line ending in END", MANIFEST_STREAM, "DC-SHARE-MANIFEST/1\n\ndir path=aEND\n", false},
};

// Fed whole, and in two pieces split at every byte: the verdict must not
// depend on how the bytes arrive.
TEST(ReplyStream, EndMarkerOnlyWhereALineBegins)
{
	for (const auto &c : FRAME_CASES) {
		for (size_t split = 0; split <= c.bytes.size(); split++) {
			dircast::ReplyStream stream;
			dircast::StreamPiece piece;
			const char *p = c.bytes.data();

			dircast::start_stream(&stream, c.kind);
			while (dircast::next_piece(&stream, &p, c.bytes.data() + split, &piece))
				;
			while (dircast::next_piece(&stream, &p, c.bytes.data() + c.bytes.size(), &piece))
				;
			EXPECT_EQ(dircast::stream_ended(&stream), c.complete) << c.name << ", split at " << split;
		}
	}
}

int take_any(void *, const dircast::StreamPiece *) { return 1; }

// Only the stream decides, whether the peer is still there or has closed: a
// tail of "END\n" inside content is no end marker. A stall past the idle
// limit (one second here) is incomplete.
TEST(ReceiveReply, OnlyTheStreamDecides)
{
	const struct {
		std::string sent;
		bool close_peer;
		int complete;
	} cases[] = {{WHOLE, false, 1}, {WHOLE, true, 1}, {CUT_AT_CONTENT, false, 0}, {CUT_AT_CONTENT, true, 0},
		     {HEAD, true, 0}};

	for (const auto &c : cases) {
		int pair[2];
		dircast::ReplySink sink = {take_any, nullptr, 0};

		socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
		dircast::set_socket_timeout(pair[0], SO_RCVTIMEO, 1);
		write(pair[1], c.sent.data(), c.sent.size());
		if (c.close_peer)
			shutdown(pair[1], SHUT_WR);
		EXPECT_EQ(dircast::receive_reply(pair[0], ARCHIVE_STREAM, &sink), c.complete)
			<< c.sent << (c.close_peer ? " closed" : " open");
		close(pair[0]);
		close(pair[1]);
	}
}

// A listener whose one-place queue is full drops further SYNs, so a connect
// hangs until its limit; a connect that succeeds comes back blocking.
TEST_F(MirrorTest, ConnectIsBoundedAndLeavesTheSocketBlocking)
{
	int listener = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a{};
	socklen_t len = sizeof a;
	dircast::sockaddr_in host = {2, {0, 0}, {127, 0, 0, 1}, {}};
	CapturedLog log;

	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	bind(listener, (sockaddr *)&a, sizeof a);
	getsockname(listener, (sockaddr *)&a, &len);
	listen(listener, 0);
	dircast::client_settings.connect_port = ntohs(a.sin_port);
	dircast::transfer_limits.connect_ms = 300;

	long queued = dircast::connect_to_host(&host);
	long hung = dircast::connect_to_host(&host);
	dircast::transfer_limits.connect_ms = 10000;

	ASSERT_GE(queued, 0);
	EXPECT_EQ(fcntl((int)queued, F_GETFL) & O_NONBLOCK, 0);
	EXPECT_EQ(hung, -1);
	EXPECT_EQ(log.text().substr(log.text().rfind("connect ok\n")),
		  "connect ok\ndircast-mirror: connecting to advertised host:" + std::to_string(ntohs(a.sin_port)) + "\n");
	close((int)queued);
	close(listener);
}

} // namespace
