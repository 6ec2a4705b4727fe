// Opening and hashing files of the share.
#pragma once

#include "../runtime/sys.hpp"

namespace dircast {

constexpr int FILE_BUFFER_SIZE = 8192;
extern char file_buffer[FILE_BUFFER_SIZE];

// Files are named by a directory descriptor and a name below it (or
// AT_FDCWD and a path), links followed.
//
// Descriptor of a regular file of any size, its state in *st, or a negative
// value for anything that cannot be opened, measured or carried.
long open_share_file(long dirfd, const char *name, kernel_stat *st);
// Content hash for the manifest, from the cache when the file is unchanged;
// size 0 and the FNV-1a basis when the file cannot be read.
unsigned hash_file_content(long dirfd, const char *name, unsigned long long *size);

} // namespace dircast
