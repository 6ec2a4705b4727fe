// Full sync: empty the mirror root, then write a received archive into it.
#pragma once

namespace dircast {

// 1 when the first line of the length bytes in archive_buffer starts with
// the archive magic; the mirror is only emptied for a reply that passes.
int archive_has_header(long length);
void prune_mirror();
void apply_archive(long length);

} // namespace dircast
