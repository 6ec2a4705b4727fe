// The line size: the beacon is composed in send_buffer, and the manifest
// header and every record line straight into a reply, which begins each of
// them only with this much room free.
#pragma once

namespace dircast {

// Longest use: the beacon, whose settings are refused at start-up unless it
// fits with its NUL. A record line is at most 10 + 511 + 6 + 20 + 6 + 10 + 1,
// and 72 more for a signed listing's digest field.
constexpr int SEND_BUFFER_SIZE = 768;

extern char send_buffer[SEND_BUFFER_SIZE];

} // namespace dircast
