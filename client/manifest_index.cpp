// The manifest index: an open-addressing table of every path a record line
// can be read as listing. A line lists each prefix of its path text that is
// followed by a space or the line's end, so each such prefix is a key; there
// are never more keys than bytes in the manifest.
#include "manifest_index.hpp"
#include "transfers.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/fnv1a.hpp"
#include "../runtime/text.hpp"

namespace dircast {

// Twice the most keys a full manifest can hold, a power of two.
constexpr unsigned INDEX_SLOTS = 1u << 19;
static_assert(INDEX_SLOTS >= 2 * MANIFEST_BUFFER_SIZE, "index load stays at or below one half");
constexpr unsigned DIRECTORY_KIND = 0x80000000u;

// A key: where its path starts in manifest_buffer, its length and kind.
// length_kind 0 is a free slot (no key has length 0).
struct IndexSlot {
	unsigned offset;
	unsigned length_kind;
};

static IndexSlot manifest_index[INDEX_SLOTS];

static unsigned key_hash(const char *path, unsigned length, unsigned kind)
{
	unsigned h = fnv1a_update(FNV1A_BASIS, &kind, sizeof kind);

	return fnv1a_update(h, path, length) & (INDEX_SLOTS - 1);
}

static int slot_holds(const IndexSlot *slot, const char *path, unsigned length, unsigned kind)
{
	const char *key = manifest_buffer + slot->offset;

	if (slot->length_kind != (length | kind))
		return 0;
	for (unsigned i = 0; i < length; i++) {
		if (key[i] != path[i])
			return 0;
	}
	return 1;
}

static void add_key(long offset, unsigned length, unsigned kind)
{
	const char *path = manifest_buffer + offset;
	unsigned i = key_hash(path, length, kind);

	for (;; i = (i + 1) & (INDEX_SLOTS - 1)) {
		IndexSlot *slot = &manifest_index[i];

		if (slot->length_kind == 0) {
			slot->offset = (unsigned)offset;
			slot->length_kind = length | kind;
			return;
		}
		if (slot_holds(slot, path, length, kind))
			return;
	}
}

// Keys of one record whose path text starts at start; returns the line's end.
static long index_record(long start, unsigned kind)
{
	long p = start;

	for (;; p++) {
		char c = p < manifest_length ? manifest_buffer[p] : 0;
		int line_end = c == '\n' || c == 0;

		if ((line_end || c == ' ') && p > start)
			add_key(start, (unsigned)(p - start), kind);
		if (line_end)
			return p;
	}
}

void index_manifest()
{
	long line = 0;

	for (unsigned i = 0; i < INDEX_SLOTS; i++)
		manifest_index[i].length_kind = 0;
	while (line < manifest_length) {
		const char *text = manifest_buffer + line;
		long end = line;

		if (starts_with(text, wire::DIR_RECORD))
			end = index_record(line + text_length(wire::DIR_RECORD), DIRECTORY_KIND);
		else if (starts_with(text, wire::FILE_RECORD))
			end = index_record(line + text_length(wire::FILE_RECORD), 0);
		while (end < manifest_length && manifest_buffer[end] != '\n' && manifest_buffer[end] != 0)
			end++;
		line = end + 1;
	}
}

int manifest_index_lists(const char *relative, int is_directory)
{
	unsigned kind = is_directory ? DIRECTORY_KIND : 0;
	unsigned length = (unsigned)text_length(relative);
	unsigned i = key_hash(relative, length, kind);

	if (length == 0)
		return 0;
	for (;; i = (i + 1) & (INDEX_SLOTS - 1)) {
		const IndexSlot *slot = &manifest_index[i];

		if (slot->length_kind == 0)
			return 0;
		if (slot_holds(slot, relative, length, kind))
			return 1;
	}
}

} // namespace dircast
