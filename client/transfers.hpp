// The client's network requests: one fresh connection per request, the whole
// reply read into a static buffer, then judged.
#pragma once

#include "../runtime/net.hpp"
#include "reply_frame.hpp"

namespace dircast {

// 262143 received bytes and the NUL written after them.
constexpr long MANIFEST_BUFFER_SIZE = 262144;
constexpr long ARCHIVE_BUFFER_SIZE = 8388608;

extern char manifest_buffer[MANIFEST_BUFFER_SIZE];
extern long manifest_length;
extern char archive_buffer[ARCHIVE_BUFFER_SIZE];

// How long a connect may take, and how long a reply may bring no data, before
// the transfer counts as failed. Fixed in the programs; tests shorten them.
struct TransferLimits {
	long connect_ms;
	long idle_seconds;
};
extern TransferLimits transfer_limits;

long connect_to_host(sockaddr_in *host);
// Receives until the frame is complete, the peer closes, the buffer holds
// limit bytes or the idle limit passes; returns the byte count and sets
// *complete when the reply arrived whole.
long receive_reply(long socket, char *buffer, long limit, FrameKind kind, int *complete);
long fetch_manifest(sockaddr_in *host, unsigned *hash);
long fetch_stream(sockaddr_in *host, const char *request, const char *sent_message);
long fetch_archive(sockaddr_in *host);
long fetch_file(sockaddr_in *host, const char *relative_path);

} // namespace dircast
