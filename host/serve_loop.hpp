// The host's sockets and its endless loop: beacon, accept, answer, pause.
#pragma once

namespace dircast {

long open_listener();
long open_beacon_socket();
long send_beacon(long beacon_socket);
[[noreturn]] void serve_loop(long listener, long beacon_socket);

} // namespace dircast
