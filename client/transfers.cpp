// Transfers: connect, send one request, receive the reply whole, close.
// Every path closes the socket it opened; no fetch retries.
#include "transfers.hpp"
#include "settings.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/console.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

using namespace kernel;

char manifest_buffer[MANIFEST_BUFFER_SIZE];
long manifest_length;
char archive_buffer[ARCHIVE_BUFFER_SIZE];

constinit TransferLimits transfer_limits = {10000, 120};

// "GET file path=", at most 511 path bytes, "\n\n" and the NUL.
constexpr int FILE_REQUEST_SIZE = wire::FILE_PREFIX_LENGTH + wire::PATH_LIMIT + 3;

// A blocking connect to an address that drops our SYNs waits minutes; a
// non-blocking one bounded by poll fails like a refused connection instead.
static long connect_within(long socket, sockaddr_in *host, long timeout_ms)
{
	long flags = sys::fcntl(socket, F_GETFL, 0);
	pollfd ready = {(int)socket, POLLOUT, 0};
	int error = 0;
	int length = sizeof error;
	long r;

	if (flags < 0 || sys::fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0)
		return -1;
	r = sys::connect(socket, host, sizeof *host);
	if (r == -EINPROGRESS) {
		if (sys::poll(&ready, 1, timeout_ms) <= 0)
			return -ETIMEDOUT;
		r = sys::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length);
		if (r == 0 && error)
			r = -error;
	}
	if (r < 0)
		return r;
	return sys::fcntl(socket, F_SETFL, flags);
}

long connect_to_host(sockaddr_in *host)
{
	long socket = sys::socket(AF_INET, SOCK_STREAM, 0);

	if (socket < 0)
		return socket;
	store_port(host, client_settings.connect_port);
	log_text("dircast-mirror: connecting to advertised host:");
	log_number(client_settings.connect_port);
	log_text("\n");
	if (connect_within(socket, host, transfer_limits.connect_ms) < 0) {
		sys::close(socket);
		return -1;
	}
	// A host that stops sending mid-reply ends the receive with -EAGAIN.
	set_socket_timeout(socket, SO_RCVTIMEO, transfer_limits.idle_seconds);
	log_text("dircast-mirror: connect ok\n");
	return socket;
}

// Only the frame may declare the reply whole, before the peer closes or
// after: a host that is killed, restarted or cuts an answer short closes
// just the same, and a tail of "END\n" inside file content or at the end of
// a record's path is no end marker. A reply that stalled past the idle
// limit, or that would not fit, is never whole.
long receive_reply(long socket, char *buffer, long limit, FrameKind kind, int *complete)
{
	ReplyFrame frame;
	long total = 0;

	start_frame(&frame, kind);
	*complete = 0;
	while (total < limit) {
		long r = sys::recv(socket, buffer + total, limit - total, 0);

		if (r <= 0)
			return total;
		total += r;
		if (frame_complete(&frame, buffer, total)) {
			*complete = 1;
			return total;
		}
	}
	return total;
}

// Connects and sends the request; a failed send shows later as an
// incomplete reply. -1, after the fetch's own message, when no connection.
static long send_request(sockaddr_in *host, const char *request, const char *failed_message,
			 const char *sent_message)
{
	long socket = connect_to_host(host);

	if (socket < 0) {
		log_text(failed_message);
		return -1;
	}
	send_all(socket, request, text_length(request));
	log_text(sent_message);
	return socket;
}

long fetch_manifest(sockaddr_in *host, unsigned *hash)
{
	long socket = send_request(host, wire::MANIFEST_REQUEST, "dircast-mirror: manifest connect failed\n",
				   "dircast-mirror: manifest request sent\n");
	int complete;
	int at;

	if (socket < 0)
		return -1;
	manifest_length = receive_reply(socket, manifest_buffer, wire::MANIFEST_LIMIT,
					MANIFEST_FRAME, &complete);
	sys::close(socket);
	manifest_buffer[manifest_length] = 0;
	if (!complete || !starts_with(manifest_buffer, wire::MANIFEST_MAGIC)) {
		log_text("dircast-mirror: manifest incomplete\n");
		return -1;
	}
	at = find_text(manifest_buffer, "hash=");
	if (at < 0) {
		log_text("dircast-mirror: manifest hash missing\n");
		return -1;
	}
	*hash = parse_decimal(manifest_buffer + at + 5);
	log_text("dircast-mirror: manifest hash ");
	log_number(*hash);
	log_text("\n");
	return 0;
}

long fetch_stream(sockaddr_in *host, const char *request, const char *sent_message)
{
	long socket = send_request(host, request, "dircast-mirror: connect failed\n", sent_message);
	long total;
	int complete;

	if (socket < 0)
		return -1;
	total = receive_reply(socket, archive_buffer, wire::ARCHIVE_LIMIT, ARCHIVE_FRAME, &complete);
	sys::close(socket);
	if (!complete) {
		log_text("dircast-mirror: archive incomplete or too large\n");
		return -1;
	}
	log_text("dircast-mirror: archive received\n");
	return total;
}

long fetch_archive(sockaddr_in *host)
{
	return fetch_stream(host, wire::ARCHIVE_REQUEST, "dircast-mirror: archive request sent\n");
}

// Callers pass only paths that passed the protocol path check (at most 511
// bytes), so the request always fits.
long fetch_file(sockaddr_in *host, const char *relative_path)
{
	char request[FILE_REQUEST_SIZE];
	int cursor = 0;

	append_text(request, &cursor, wire::FILE_PREFIX);
	append_text(request, &cursor, relative_path);
	append_text(request, &cursor, "\n\n");
	request[cursor] = 0;
	log_text("dircast-mirror: fetching changed file ");
	log_text(relative_path);
	log_text("\n");
	return fetch_stream(host, request, "dircast-mirror: file request sent\n");
}

} // namespace dircast
