// The Wine side: the drive link that points a letter at the mirror root, and
// the "c:" directory of the same dosdevices directory.
#pragma once

namespace dircast {

// The dosdevices directory (at most 252 bytes), "/", letter, ":" and the NUL.
constexpr int LINK_PATH_SIZE = 256;

extern char link_buffer[LINK_PATH_SIZE];

void build_link_path();
// dosdevices "/c:", composed afresh on each call into a buffer of its own.
const char *c_drive_path();
void map_drive();

} // namespace dircast
