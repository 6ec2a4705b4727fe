// The manifest hash's folds.
#include "share_hash.hpp"
#include "../runtime/text.hpp"

namespace dircast {

unsigned hash_text(unsigned state, const char *text)
{
	return fnv1a_update(state, text, text_length(text));
}

unsigned hash_decimal(unsigned state, unsigned long long value)
{
	char digits[20];
	int n = 0;

	append_decimal(digits, &n, value);
	return fnv1a_update(state, digits, n);
}

unsigned hash_share_name(const char *share_name)
{
	return hash_text(hash_text(FNV1A_BASIS, share_name), "\n");
}

unsigned hash_dir_entry(unsigned state, const char *relative_path)
{
	state = hash_text(state, "dir:");
	state = hash_text(state, relative_path);
	return hash_text(state, "\n");
}

unsigned hash_file_entry(unsigned state, const char *relative_path, unsigned long long size,
			 unsigned content_hash)
{
	state = hash_text(state, "file:");
	state = hash_text(state, relative_path);
	state = hash_text(state, ":");
	state = hash_decimal(state, size);
	state = hash_text(state, ":");
	state = hash_decimal(state, content_hash);
	return hash_text(state, "\n");
}

} // namespace dircast
