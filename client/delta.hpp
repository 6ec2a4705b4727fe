// Delta sync: bring an existing mirror up to the spooled manifest, fetching
// only the files whose size or content hash differ.
#pragma once

#include "../runtime/net.hpp"

namespace dircast {

// 1 when the update pass ran to its end; 0 when the manifest lacks its magic
// or a file fetch failed (the caller then falls back to the full archive).
int delta_sync(sockaddr_in *host);
// Removes from the mirror root what the path index does not list with the
// same kind, walking by directory descriptors.
void prune_listed(const char *root);
// Builds the path index from the spooled manifest; 0 when it cannot be
// read back whole or lists more than the index holds.
int index_spooled_manifest();
int file_unchanged(const char *relative, unsigned long long size, unsigned hash);
// A manifest's file record: 1 with its path (checked, and one the mirror can
// hold), size and content hash; -1 for a record whose path is unsafe, 0 for
// any other line. Nothing is logged.
int read_file_record(const char *line, char *relative, unsigned long long *size, unsigned *hash);

} // namespace dircast
