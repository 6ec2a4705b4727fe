// Test-only loopback networking: free ports, one-shot TCP exchanges and a
// UDP receiver for beacons.
#pragma once

#include <cstdint>
#include <sys/time.h>
#include <string>

namespace dircast_test {

// A port free on 127.0.0.1 (TCP or UDP), from a range no connect() takes
// its local port from and that no other test process hands out at once.
int free_tcp_port();
int free_udp_port();

// Connects to 127.0.0.1:port (retrying until timeout_ms while refused), sends
// request, reads until the peer closes or timeout_ms passes without data.
// Returns the bytes received; *closed tells whether the peer closed.
std::string tcp_exchange(int port, const std::string &request, int timeout_ms = 10000,
			 bool *closed = nullptr);

// Connects to 127.0.0.1:port from the loopback address from, retrying
// while refused; -1 on timeout.
int tcp_connect(int port, int timeout_ms = 10000, const char *from = "127.0.0.1");
// One connect that gives up after timeout_ms, like the client's own; each
// later receive and send is bounded alike. A small receive window makes a
// large answer fill the path quickly, so the host has to wait on us.
int connect_within(int port, int timeout_ms = 10000, bool small_window = false,
		   const char *from = "127.0.0.1");
// One datagram to 127.0.0.1:port, sent from the loopback address from.
void send_datagram(int port, const std::string &text, const char *from = "127.0.0.1");
// Reads until close, timeout_ms without data, or stop_after bytes; a pause
// between receives makes a slow reader.
std::string read_until_close(int fd, int timeout_ms = 10000, bool *closed = nullptr,
			     size_t stop_after = SIZE_MAX, int pause_ms = 0);

struct UdpReceiver {
	int fd = -1;
	int port = 0;
	explicit UdpReceiver(int port, const char *address = "127.0.0.1");
	~UdpReceiver();
	// One datagram or "" after timeout_ms; *sender_port gets its source port,
	// *arrived the kernel's time of its arrival.
	std::string receive(int timeout_ms = 5000, int *sender_port = nullptr, timeval *arrived = nullptr);
};

// Bytes waiting in the receive queue of the UDP socket bound to port: 0 once
// its program has read every datagram sent to it.
long udp_queued(int port);

} // namespace dircast_test
