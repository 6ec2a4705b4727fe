// Host selection: the configured address, or the sender of the first beacon.
#pragma once

#include "../runtime/net.hpp"

namespace dircast {

// At most 1023 datagram bytes and the NUL.
constexpr int BEACON_BUFFER_SIZE = 1024;

extern char beacon_buffer[BEACON_BUFFER_SIZE];
// The beacon port, kept open after discovery (or opened beside a direct
// host when free), or -1.
extern long beacon_listener;

void set_host_address(sockaddr_in *host, const unsigned char *address);
long discover_host(sockaddr_in *host);
void take_port_from_beacon();
// 0 with the host's address filled in, or -1 after "discovery failed".
long select_host(sockaddr_in *host);

} // namespace dircast
