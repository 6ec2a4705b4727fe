// IPv4 socket addresses, the dotted-quad parser and whole-buffer sends.
#include "kernel.hpp"
#include "net.hpp"
#include "sys.hpp"
#include "text.hpp"

namespace dircast {

// Octets closed by a dot are stored at once, so a failed parse leaves them
// written; callers that must not use a half-parsed value check the result.
int parse_ipv4(const char *text, unsigned char *out)
{
	int k = 0;
	unsigned v = 0;
	int have_digit = 0;

	for (; *text; text++) {
		if (*text >= '0' && *text <= '9') {
			v = v * 10 + (unsigned)(*text - '0');
			if (v > 255)
				return 0;
			have_digit = 1;
		} else if (*text == '.' && have_digit && k < 3) {
			out[k++] = (unsigned char)v;
			v = 0;
			have_digit = 0;
		} else {
			return 0;
		}
	}
	if (!have_digit || k != 3)
		return 0;
	out[3] = (unsigned char)v;
	return 1;
}

void store_port(sockaddr_in *address, unsigned port)
{
	address->sin_port[0] = (unsigned char)((port >> 8) & 0xff);
	address->sin_port[1] = (unsigned char)(port & 0xff);
}

// MSG_NOSIGNAL as well as the process-wide SIGPIPE guard: a peer that went
// away is an error result here, never a signal.
// A send that times out or fails ends the loop: the result tells the caller,
// who decides whether the connection is still worth writing to.
long send_all(long socket, const void *bytes, long length)
{
	const char *p = (const char *)bytes;
	long sent = 0;

	while (sent < length) {
		long r = sys::send(socket, p + sent, length - sent, kernel::MSG_NOSIGNAL);

		if (r <= 0)
			return r;
		sent += r;
	}
	return sent;
}

long send_text(long socket, const char *text)
{
	return send_all(socket, text, text_length(text));
}

long set_socket_flag(long socket, long option)
{
	int on = 1;

	return sys::setsockopt(socket, kernel::SOL_SOCKET, option, &on, sizeof on);
}

// SO_RCVTIMEO / SO_SNDTIMEO: each blocking call waits at most this long
// without progress, then returns -EAGAIN (or the partial count it made).
long set_socket_timeout(long socket, long option, long seconds)
{
	timeval limit = {seconds, 0};

	return sys::setsockopt(socket, kernel::SOL_SOCKET, option, &limit, sizeof limit);
}

} // namespace dircast
