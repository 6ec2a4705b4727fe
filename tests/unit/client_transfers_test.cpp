// Reply framing and the bounded waits of the transfers: where an end marker
// may stand, what a stalled or closed peer leaves, and a connect that hangs.
#include "client/reply_frame.hpp"
#include "client/transfers.hpp"
#include "client_fixture.hpp"
#include "support/scripted_host.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

using namespace dircast_test;
using dircast::ARCHIVE_FRAME;
using dircast::FrameKind;
using dircast::MANIFEST_FRAME;

const std::string HEAD = archive_text({}).substr(0, archive_text({}).size() - 4);
const std::string WHOLE = archive_text({{"f", "a\nEND\n"}, {"g", ""}});
const std::string CUT_AT_CONTENT = WHOLE.substr(0, WHOLE.find("END\n") + 4);

struct FrameCase {
	const char *name;
	FrameKind kind;
	std::string bytes;
	bool complete;
};

const FrameCase FRAME_CASES[] = {
	{"whole archive", ARCHIVE_FRAME, WHOLE, true},
	{"cut where content ends in END", ARCHIVE_FRAME, CUT_AT_CONTENT, false},
	{"content ends in END, trailer missing", ARCHIVE_FRAME, HEAD + "file path=f size=4\nEND\n", false},
	{"size larger than what follows", ARCHIVE_FRAME, HEAD + "file path=f size=99\nx\nendfile\nEND\n", false},
	{"empty file", ARCHIVE_FRAME, HEAD + "file path=e size=0\n\nendfile\nEND\n", true},
	{"content runs into endfile", ARCHIVE_FRAME, HEAD + "file path=f size=3\nabcendfile\nEND\n", true},
	{"empty path carries no content", ARCHIVE_FRAME, HEAD + "file path= size=4\nEND\n", true},
	{"end marker alone", ARCHIVE_FRAME, "END\n", true},
	{"end marker inside a header", ARCHIVE_FRAME, "DC-SHARE-ARCHIVE/1\nEND\n", true},
	{"whole manifest", MANIFEST_FRAME, manifest_text(1, {{"a", "x"}}), true},
	{"manifest line ending in END", MANIFEST_FRAME, "DC-SHARE-MANIFEST/1\n\ndir path=aEND\n", false},
	{"manifest file path ending in END", MANIFEST_FRAME, "x\nfile path=f size=4\nEND\n", true},
};

// Every case fed whole and fed in two pieces at every split: the frame must
// reach the same verdict however the bytes arrive.
TEST(ReplyFrame, EndMarkerOnlyWhereALineBegins)
{
	for (const FrameCase &c : FRAME_CASES) {
		for (size_t split = 0; split <= c.bytes.size(); split++) {
			dircast::ReplyFrame frame;

			dircast::start_frame(&frame, c.kind);
			dircast::frame_complete(&frame, c.bytes.data(), (long)split);
			EXPECT_EQ(dircast::frame_complete(&frame, c.bytes.data(), (long)c.bytes.size()), c.complete)
				<< c.name << ", split at " << split;
		}
	}
}

class Transfers : public MirrorTest {
protected:
	void SetUp() override
	{
		MirrorTest::SetUp();
		dircast::transfer_limits = {300, 1};
	}
	void TearDown() override
	{
		dircast::transfer_limits = {10000, 120};
		MirrorTest::TearDown();
	}
};

// What the client receives from a peer that wrote sent and then closed or
// stalled (the idle limit is one second here).
std::string receive(const std::string &sent, bool close_peer, int *complete)
{
	char buffer[4096];
	int pair[2];
	long n;

	socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
	dircast::set_socket_timeout(pair[0], SO_RCVTIMEO, 1);
	write(pair[1], sent.data(), sent.size());
	if (close_peer)
		shutdown(pair[1], SHUT_WR);
	n = dircast::receive_reply(pair[0], buffer, sizeof buffer, ARCHIVE_FRAME, complete);
	close(pair[0]);
	close(pair[1]);
	return std::string(buffer, n);
}

// Open: only the frame decides, and a stall past the idle limit is
// incomplete. Closed: the tail decides.
TEST(Receive, FrameDecidesWhileOpenAndTailOnceClosed)
{
	const struct {
		std::string sent;
		bool close_peer;
		int complete;
	} cases[] = {{WHOLE, false, 1}, {CUT_AT_CONTENT, false, 0}, {CUT_AT_CONTENT, true, 1},
		     {HEAD, true, 0}, {"", true, 0}};

	for (const auto &c : cases) {
		int complete = -1;

		EXPECT_EQ(receive(c.sent, c.close_peer, &complete), c.sent);
		EXPECT_EQ(complete, c.complete) << c.sent << (c.close_peer ? " closed" : " open");
	}
}

// A listener whose one-place queue is full drops further SYNs, so the
// connect hangs until its limit; a served connect comes back blocking.
TEST_F(Transfers, ConnectIsBoundedAndLeavesTheSocketBlocking)
{
	int listener = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a{};
	socklen_t len = sizeof a;
	dircast::sockaddr_in host = dircast::IPV4_ANY;
	long fd;

	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	bind(listener, (sockaddr *)&a, sizeof a);
	getsockname(listener, (sockaddr *)&a, &len);
	listen(listener, 0);
	host.sin_addr[0] = 127;
	host.sin_addr[3] = 1;
	dircast::client_settings.connect_port = ntohs(a.sin_port);

	{
		CapturedLog log;
		fd = dircast::connect_to_host(&host);
	}
	ASSERT_GE(fd, 0);
	EXPECT_EQ(fcntl((int)fd, F_GETFL) & O_NONBLOCK, 0);
	{
		CapturedLog log;

		EXPECT_EQ(dircast::connect_to_host(&host), -1);
		EXPECT_EQ(log.text(), "dircast-mirror: connecting to advertised host:" +
					      std::to_string(ntohs(a.sin_port)) + "\n");
	}
	close((int)fd);
	close(listener);
}

} // namespace
