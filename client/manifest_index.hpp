// An index over the manifest's record paths, so that the prune walk asks
// "is this path listed, with this kind?" in constant time instead of
// scanning the whole manifest once per mirror entry.
#pragma once

namespace dircast {

// Indexes manifest_buffer as it stands; valid until the buffer changes.
void index_manifest();
// 1 when a "dir path=" (is_directory) or "file path=" line lists relative:
// the path follows the prefix in full and is followed by the line's end or
// a space, so "a b size=..." lists "a" as well as "a b".
int manifest_index_lists(const char *relative, int is_directory);

} // namespace dircast
