// The host's sockets and its endless loop.
#include "publisher.hpp"
#include "send_buffer.hpp"
#include "serve_loop.hpp"
#include "settings.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/console.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/net.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

char send_buffer[SEND_BUFFER_SIZE];

// A peer gets this long to send its request, and each send of the answer
// this long to make progress; then it is given up and the next one served.
constexpr long REQUEST_SECONDS = 5;
constexpr long SEND_STALL_SECONDS = 30;

constexpr long BEACON_INTERVAL_MS = 250;

// Address reuse lets a restarted host bind while its previous run's
// connections still wait out their close; a live listener still holds the port.
long open_listener()
{
	sockaddr_in address = IPV4_ANY;
	long fd = sys::socket(kernel::AF_INET, kernel::SOCK_STREAM, 0);

	if (fd < 0)
		return fd;
	set_socket_flag(fd, kernel::SO_REUSEADDR);
	store_port(&address, host_settings.listen_port);
	if (sys::bind(fd, &address, sizeof address) < 0 || sys::listen(fd, 1) < 0)
		return -1;
	sys::fcntl(fd, kernel::F_SETFL, kernel::O_NONBLOCK);
	return fd;
}

// Without SO_BROADCAST the kernel refuses datagrams to a broadcast address.
long open_beacon_socket()
{
	long fd = sys::socket(kernel::AF_INET, kernel::SOCK_DGRAM, kernel::IPPROTO_UDP);

	if (fd >= 0)
		set_socket_flag(fd, kernel::SO_BROADCAST);
	return fd;
}

long send_beacon(long beacon_socket)
{
	const HostSettings *s = &host_settings;
	sockaddr_in to = IPV4_ANY;
	int n = 0;

	store_port(&to, s->beacon_port);
	for (int i = 0; i < 4; i++)
		to.sin_addr[i] = s->broadcast_address[i];
	append_text(send_buffer, &n, "DC-SHARE/1 name=");
	append_text(send_buffer, &n, s->share_name);
	append_text(send_buffer, &n, " root=");
	append_text(send_buffer, &n, s->share_root);
	append_text(send_buffer, &n, " port=");
	append_decimal(send_buffer, &n, s->listen_port);
	append_text(send_buffer, &n, " mode=");
	append_text(send_buffer, &n, s->mode);
	append_char(send_buffer, &n, '\n');
	send_buffer[n] = 0;
	return sys::sendto(beacon_socket, send_buffer, n, 0, &to, sizeof to);
}

// Each answer is sent in full before its line is logged.
static void answer_request(Reply *reply, const char *request)
{
	const char *line;

	if (starts_with(request, wire::MANIFEST_PREFIX)) {
		send_manifest(reply);
		line = "dircast-serve: manifest sent\n";
	} else if (starts_with(request, wire::FILE_PREFIX)) {
		send_file_archive(reply, request + wire::FILE_PREFIX_LENGTH);
		line = "dircast-serve: file archive sent\n";
	} else {
		send_full_archive(reply);
		line = "dircast-serve: archive sent\n";
	}
	reply_finish(reply);
	log_text(line);
}

// Request bytes left unread at close make the kernel reset the connection
// and drop the answer still queued for the peer; take them first.
static void drain_and_close(long connection)
{
	char scrap[256];

	while (sys::recv(connection, scrap, sizeof scrap, kernel::MSG_DONTWAIT) > 0)
		;
	sys::close(connection);
}

static void serve_connection(long connection)
{
	char request_buffer[wire::REQUEST_LIMIT + 1];
	Reply reply = {connection, 0, 0};
	long n;

	log_text("dircast-serve: client connected\n");
	set_socket_timeout(connection, kernel::SO_RCVTIMEO, REQUEST_SECONDS);
	set_socket_timeout(connection, kernel::SO_SNDTIMEO, SEND_STALL_SECONDS);
	n = sys::recv(connection, request_buffer, wire::REQUEST_LIMIT, 0);
	if (n == -kernel::EAGAIN) {
		log_text("dircast-serve: request timed out\n");
		sys::close(connection);
		return;
	}
	request_buffer[n > 0 ? n : 0] = 0;
	answer_request(&reply, request_buffer);
	drain_and_close(connection);
}

// Milliseconds that wrap (after 49 days on i386); only differences are used.
static unsigned long monotonic_ms()
{
	timespec now = {0, 0};

	sys::clock_gettime(kernel::CLOCK_MONOTONIC, &now);
	return (unsigned long)now.tv_sec * 1000 + (unsigned long)now.tv_nsec / 1000000;
}

// Waits on the listener until the next beacon is due, so a client is served
// the moment it connects while an idle host still beacons four times a
// second. Connections are still served one at a time, each to its end.
void serve_loop(long listener, long beacon_socket)
{
	unsigned long next_beacon = monotonic_ms();

	for (;;) {
		unsigned long now = monotonic_ms();
		long wait = (long)(next_beacon - now);
		pollfd waiting = {(int)listener, kernel::POLLIN, 0};
		long connection;

		if (wait <= 0) {
			send_beacon(beacon_socket);
			next_beacon = now + BEACON_INTERVAL_MS;
			wait = BEACON_INTERVAL_MS;
		}
		if (sys::poll(&waiting, 1, wait) <= 0)
			continue;
		connection = sys::accept(listener);
		if (connection >= 0)
			serve_connection(connection);
	}
}

} // namespace dircast
