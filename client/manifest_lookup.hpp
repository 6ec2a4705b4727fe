// The manifest's word on each file of a full archive: the spool is read
// alongside the archive, which the host sends in the manifest's order, so
// the lookup moves forward through a window of lines instead of indexing
// the whole manifest.
#pragma once

namespace dircast {

// Lines looked through for one path before it counts as not listed; a path
// not found leaves the lookup where it was.
constexpr int LOOKUP_WINDOW_LINES = 64;

// Reads this turn's spool; without a whole one every lookup misses.
void open_manifest_lookup();
void close_manifest_lookup();
// 1 with the manifest's content hash through *hash when the manifest lists
// the file at relative with this size.
int manifest_lists_file(const char *relative, unsigned long long size, unsigned *hash);
// The line manifest_lists_file last found, NUL-terminated, until its next call.
const char *manifest_found_line();

} // namespace dircast
