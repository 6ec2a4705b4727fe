// Transfers: connect, send one request, hand the reply over piece by piece
// as it arrives, close. Every path closes the socket it opened; no fetch
// retries.
#include "transfers.hpp"
#include "manifest_spool.hpp"
#include "mirror_store.hpp"
#include "settings.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/clock.hpp"
#include "../runtime/console.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

using namespace kernel;

static char receive_buffer[RECEIVE_BUFFER_SIZE];

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

// Long transfers say how far they are, at most once a second.
struct Progress {
	unsigned long long received;
	unsigned long long expected;
	unsigned long started;
	unsigned long shown;
};

static void show_progress(Progress *progress)
{
	unsigned long now = monotonic_ms();

	if (now - progress->started < 1000 || now - progress->shown < 1000)
		return;
	progress->shown = now;
	log_text("dircast-mirror: received ");
	log_number(progress->received);
	if (progress->expected) {
		log_text(" of ");
		log_number(progress->expected);
	}
	log_text(" bytes\n");
}

// Hands every piece of bytes to the sink; 0 when it stopped the transfer.
static int hand_over(ReplyStream *stream, const char *bytes, long n, const ReplySink *sink, Progress *progress)
{
	const char *end = bytes + n;
	StreamPiece piece;

	while (next_piece(stream, &bytes, end, &piece)) {
		if (!sink->handle(sink->context, &piece))
			return 0;
		if (piece.kind == CONTENT)
			progress->received += (unsigned long long)piece.length;
	}
	return 1;
}

// Only the stream may declare the reply whole, before the peer closes or
// after: a host that is killed, restarted or cuts an answer short closes
// just the same, and "END\n" inside file content or at the end of a
// record's path is no end marker. A reply that stalls past the idle limit,
// or runs on past the limit outside content, is never whole.
int receive_reply(long socket, StreamKind kind, const ReplySink *sink)
{
	ReplyStream stream;
	unsigned long now = monotonic_ms();
	Progress progress = {0, sink->expected, now, now};

	start_stream(&stream, kind);
	for (;;) {
		long r = sys::recv(socket, receive_buffer, RECEIVE_BUFFER_SIZE, 0);

		if (r <= 0 || !hand_over(&stream, receive_buffer, r, sink, &progress))
			return 0;
		if (stream_ended(&stream))
			return 1;
		if (stream.outside_bytes > OUTSIDE_CONTENT_LIMIT)
			return 0;
		show_progress(&progress);
	}
}

// Connects and sends the request; a failed send shows later as an
// incomplete reply. -1, after the fetch's own message, when no connection.
long send_request(sockaddr_in *host, const char *request, const char *failed_message, const char *sent_message)
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

// The manifest's first line must be its magic and its header must hold
// "hash="; every line goes to the spool as it comes.
struct ManifestReceipt {
	int lines;
	int in_header;
	int magic;
	int hash_found;
	unsigned hash;
	unsigned long long content_total;
};

static void read_manifest_line(ManifestReceipt *m, const char *line)
{
	unsigned long long size;

	if (m->lines++ == 0) {
		m->magic = starts_with(line, wire::MANIFEST_MAGIC);
	} else if (m->in_header && line[0] == 0) {
		m->in_header = 0;
	} else if (m->in_header && !m->hash_found && starts_with(line, "hash=")) {
		m->hash = parse_decimal(line + 5);
		m->hash_found = 1;
	} else if (!m->in_header && record_content_size(line, &size)) {
		m->content_total += size;
	}
}

// Lines go to the spool but for those that can say nothing: a line too long
// for any record, and blank lines after the one that ends the header.
static int take_manifest_piece(void *context, const StreamPiece *piece)
{
	ManifestReceipt *m = (ManifestReceipt *)context;
	int after_header = !m->in_header;

	if (piece->cut || (after_header && piece->bytes[0] == 0))
		return m->magic;
	read_manifest_line(m, piece->bytes);
	return m->magic && spool_line(piece->bytes, piece->length);
}

int receive_into_spool(long socket, const ReplySink *sink)
{
	int complete = 0;

	make_parent_dirs(client_settings.mirror_root);
	make_dir(client_settings.mirror_root);
	if (begin_spool()) {
		complete = receive_reply(socket, MANIFEST_STREAM, sink);
		complete = end_spool() && complete;
	}
	sys::close(socket);
	return complete;
}

long fetch_manifest(sockaddr_in *host, unsigned *hash, unsigned long long *content_total)
{
	ManifestReceipt receipt = {0, 1, 0, 0, 0, 0};
	ReplySink sink = {take_manifest_piece, &receipt, 0};
	long socket = send_request(host, wire::MANIFEST_REQUEST, "dircast-mirror: manifest connect failed\n",
				   "dircast-mirror: manifest request sent\n");
	int complete;

	if (socket < 0)
		return -1;
	complete = receive_into_spool(socket, &sink);
	if (!complete || !receipt.magic) {
		log_text("dircast-mirror: manifest incomplete\n");
		return -1;
	}
	if (!receipt.hash_found) {
		log_text("dircast-mirror: manifest hash missing\n");
		return -1;
	}
	*hash = receipt.hash;
	*content_total = receipt.content_total;
	log_text("dircast-mirror: manifest hash ");
	log_number(*hash);
	log_text("\n");
	return 0;
}

static long fetch_stream(sockaddr_in *host, const char *request, const char *sent_message, const ReplySink *sink)
{
	long socket = send_request(host, request, "dircast-mirror: connect failed\n", sent_message);
	int complete;

	if (socket < 0)
		return -1;
	complete = receive_reply(socket, ARCHIVE_STREAM, sink);
	sys::close(socket);
	if (!complete) {
		log_text("dircast-mirror: archive incomplete or too large\n");
		return -1;
	}
	log_text("dircast-mirror: archive received\n");
	return 1;
}

long fetch_archive(sockaddr_in *host, const ReplySink *sink)
{
	return fetch_stream(host, wire::ARCHIVE_REQUEST, "dircast-mirror: archive request sent\n", sink);
}

// Callers pass only paths that passed the protocol path check (at most 511
// bytes), so the request always fits.
long fetch_file(sockaddr_in *host, const char *relative_path, const ReplySink *sink)
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
	return fetch_stream(host, request, "dircast-mirror: file request sent\n", sink);
}

} // namespace dircast
