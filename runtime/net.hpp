// IPv4 socket addresses, the dotted-quad parser and whole-buffer sends.
#pragma once

namespace dircast {

// The kernel's struct sockaddr_in: family in host order, port and address in
// network order, eight zero bytes.
struct sockaddr_in {
	unsigned short sin_family;
	unsigned char sin_port[2];
	unsigned char sin_addr[4];
	unsigned char sin_zero[8];
};
static_assert(sizeof(sockaddr_in) == 16, "sockaddr_in is 16 bytes");

constexpr sockaddr_in IPV4_ANY = {2, {0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}};

int parse_ipv4(const char *text, unsigned char *out);
void store_port(sockaddr_in *address, unsigned port);

long send_all(long socket, const void *bytes, long length);
long send_text(long socket, const char *text);

long set_socket_flag(long socket, long option);
long set_socket_timeout(long socket, long option, long seconds);

} // namespace dircast
