// The prune's index of listed paths: "is this path listed, with this kind?"
// in constant time, in fixed memory, for shares of any size. Records are
// added one line at a time, from a manifest or from an archive as it is
// applied, and the index only ever answers for the last set it was given.
#pragma once

namespace dircast {

void clear_path_index();
// A "dir path=" line, or a "file path=" line with " size=" after its path.
// Other lines are no records and list nothing.
void index_record_line(const char *line);
// 1 when a record listed relative with this kind, and also, rarely, when an
// unlisted path shares a listed one's 32-bit key: a collision can only keep
// a stale entry, never remove a listed one.
int path_index_lists(const char *relative, int is_directory);
// 1 when more records came than the index holds; nothing may then be pruned.
int path_index_overflowed();

} // namespace dircast
