// The path index: open addressing over 32-bit keys (FNV-1a of the kind and
// the path). Only keys are kept, never paths, so the memory is fixed at
// 4 MiB whatever the manifest's size: 2^20 slots, filled to three quarters
// at most, hold 786,432 listed paths.
#include "manifest_index.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/fnv1a.hpp"
#include "../runtime/text.hpp"

namespace dircast {

constexpr unsigned INDEX_SLOTS = 1u << 20;
constexpr unsigned INDEX_CAPACITY = INDEX_SLOTS / 4 * 3;
constexpr unsigned char DIRECTORY_KIND = 'd';
constexpr unsigned char FILE_KIND = 'f';

// Slot value 0 is free; a key that hashes to 0 is stored as 1.
static unsigned path_index[INDEX_SLOTS];
static unsigned path_count;
static int overflowed;

void clear_path_index()
{
	for (unsigned i = 0; i < INDEX_SLOTS; i++)
		path_index[i] = 0;
	path_count = 0;
	overflowed = 0;
}

static unsigned path_key(const char *path, int length, unsigned char kind)
{
	unsigned key = fnv1a_update(fnv1a_update(FNV1A_BASIS, &kind, 1), path, length);

	return key ? key : 1;
}

// The slot holding key, or the free slot where it belongs.
static unsigned *find_slot(unsigned key)
{
	unsigned i = key & (INDEX_SLOTS - 1);

	while (path_index[i] != 0 && path_index[i] != key)
		i = (i + 1) & (INDEX_SLOTS - 1);
	return &path_index[i];
}

static void add_path(const char *path, int length, unsigned char kind)
{
	unsigned key = path_key(path, length, kind);
	unsigned *slot = find_slot(key);

	if (*slot == key || length <= 0)
		return;
	if (path_count >= INDEX_CAPACITY) {
		overflowed = 1;
		return;
	}
	*slot = key;
	path_count++;
}

void index_record_line(const char *line)
{
	constexpr int DIR_AT = sizeof wire::DIR_RECORD - 1;
	constexpr int FILE_AT = sizeof wire::FILE_RECORD - 1;
	int size_at;

	if (starts_with(line, wire::DIR_RECORD)) {
		add_path(line + DIR_AT, text_length(line + DIR_AT), DIRECTORY_KIND);
	} else if (starts_with(line, wire::FILE_RECORD)) {
		size_at = find_text(line, wire::SIZE_FIELD);
		if (size_at > FILE_AT)
			add_path(line + FILE_AT, size_at - FILE_AT, FILE_KIND);
	}
}

int path_index_lists(const char *relative, int is_directory)
{
	int length = text_length(relative);
	unsigned key = path_key(relative, length, is_directory ? DIRECTORY_KIND : FILE_KIND);

	return length > 0 && *find_slot(key) == key;
}

int path_index_overflowed()
{
	return overflowed;
}

} // namespace dircast
