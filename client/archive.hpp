// Full sync: empty the mirror root, then write a received archive into it.
#pragma once

namespace dircast {

// 1 when the first line of the length bytes in archive_buffer starts with
// the archive magic; the mirror is only emptied for a reply that passes.
int archive_has_header(long length);
void prune_mirror();
// Without wanted: 1 once the archive was applied. With wanted (a relative
// path): 1 only when the archive held a file record for that path, so a
// single-file reply that came back empty is not taken for the file.
int apply_archive(long length, const char *wanted = nullptr);

} // namespace dircast
