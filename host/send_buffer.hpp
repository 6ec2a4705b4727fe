// The host's one line-composition buffer: beacon, manifest header and every
// record line are assembled here from offset 0 and sent whole. Shared safely
// only because the host runs one thing at a time.
#pragma once

namespace dircast {

// Longest use: the beacon, whose settings are refused at start-up unless it
// fits with its NUL. A record line is at most 10 + 511 + 6 + 20 + 6 + 10 + 1.
constexpr int SEND_BUFFER_SIZE = 768;

extern char send_buffer[SEND_BUFFER_SIZE];

} // namespace dircast
