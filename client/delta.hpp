// Delta sync: bring an existing mirror up to the manifest in manifest_buffer,
// fetching only the files whose size or content hash differ.
#pragma once

#include "../runtime/net.hpp"

namespace dircast {

// 1 when the update pass ran to its end; 0 when the manifest lacks its magic
// or a file fetch failed (the caller then falls back to the full archive).
int delta_sync(sockaddr_in *host);
void prune_against_manifest(const char *root);
int manifest_lists(const char *relative, int is_directory);
int file_unchanged(const char *relative, unsigned long long size, unsigned hash);

} // namespace dircast
