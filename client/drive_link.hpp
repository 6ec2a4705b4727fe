// The Wine side: the drive link that points a letter at the mirror root, and
// the "c:" directory of the same dosdevices directory.
#pragma once

#include "settings.hpp"

namespace dircast {

// The dosdevices directory (at most 252 bytes), "/", letter, ":" and the NUL.
constexpr int LINK_PATH_SIZE = 256;

// The dosdevices directory, "/.dircast-link-", the letter and the NUL.
constexpr int TEMPORARY_LINK_SIZE = DOSDEVICES_LIMIT + 16 + 1;

extern char link_buffer[LINK_PATH_SIZE];

void build_link_path();
// dosdevices "/c:", composed afresh on each call into a buffer of its own.
const char *c_drive_path();
void map_drive();
// 1 when the mirror root is the dosdevices directory or one of its
// ancestors, however either is spelled; 0 also when either is missing.
int mirror_root_holds_dosdevices();

} // namespace dircast
