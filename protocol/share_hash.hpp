// The manifest hash's folds: the texts, and their order, that both hashes of
// the protocol are made of.
#pragma once

#include "../runtime/fnv1a.hpp"

namespace dircast {

unsigned hash_text(unsigned state, const char *text);
unsigned hash_decimal(unsigned state, unsigned long long value);
unsigned hash_share_name(const char *share_name);
unsigned hash_dir_entry(unsigned state, const char *relative_path);
unsigned hash_file_entry(unsigned state, const char *relative_path, unsigned long long size,
			 unsigned content_hash);

} // namespace dircast
