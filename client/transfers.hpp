// The client's network requests: one fresh connection per request, the reply
// taken apart as it arrives and handed, piece by piece, to whoever applies
// it, through one fixed receive buffer.
#pragma once

#include "../runtime/net.hpp"
#include "reply_stream.hpp"

namespace dircast {

constexpr long RECEIVE_BUFFER_SIZE = 262144;
// A reply may carry this much outside file content: headers and record
// lines of some 600,000 files, about what the prune's index holds. A reply
// that goes on past it without ending is cut. File content is bounded only
// by the disk.
constexpr unsigned long long OUTSIDE_CONTENT_LIMIT = 67108864;  // 64 MiB

// How long a connect may take, and how long a reply may bring no data, before
// the transfer counts as failed. Fixed in the programs; tests shorten them.
struct TransferLimits {
	long connect_ms;
	long idle_seconds;
};
extern TransferLimits transfer_limits;

// Takes one piece of a reply; 0 stops the transfer (the reply is then not
// whole).
using PieceHandler = int (*)(void *context, const StreamPiece *piece);

struct ReplySink {
	PieceHandler handle;
	void *context;
	unsigned long long expected;  // content bytes the manifest announced, or 0
};

long connect_to_host(sockaddr_in *host);
// Connects and sends the request; the socket, or -1 after failed_message.
long send_request(sockaddr_in *host, const char *request, const char *failed_message, const char *sent_message);
// Receives until the reply ends, the peer closes, the idle limit passes or
// the handler stops it; 1 when the reply arrived whole.
int receive_reply(long socket, StreamKind kind, const ReplySink *sink);
// Receives a listing's reply into a fresh spool in the mirror root and
// closes the socket; 1 when it came whole and all of it was written.
int receive_into_spool(long socket, const ReplySink *sink);
// 0 with the manifest spooled and its hash in *hash; -1 after its message.
long fetch_manifest(sockaddr_in *host, unsigned *hash, unsigned long long *content_total);
// 1 when the archive, or one file's archive, arrived whole; -1 after the
// message.
long fetch_archive(sockaddr_in *host, const ReplySink *sink);
long fetch_file(sockaddr_in *host, const char *relative_path, const ReplySink *sink);

} // namespace dircast
