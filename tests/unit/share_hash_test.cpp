// FNV-1a and the folds of the manifest hash, checked against worked values.
#include "protocol/share_hash.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace dircast;

// FNV-1a written out from its definition, apart from the code under test.
unsigned fold(const std::string &bytes, unsigned state = 2166136261u)
{
	for (unsigned char c : bytes)
		state = (state ^ c) * 16777619u;
	return state;
}

unsigned product_fold(const std::string &bytes, unsigned state = FNV1A_BASIS)
{
	return fnv1a_update(state, bytes.data(), (long)bytes.size());
}

TEST(Fnv1a, KnownValues)
{
	const struct {
		const char *name;
		std::string bytes;
		unsigned expected;
	} cases[] = {
		{"nothing folded is the basis", "", 2166136261u},
		{"a", "a", 0xe40c292cu},
		{"foobar", "foobar", 0xbf9cf968u},
		{"content hash of abc", "abc", 440920331u},
		{"byte 0xff counts as 255", "\xff", 2047574606u},
		{"byte 0x80 counts as 128", "\x80", 2232128415u},
		{"NUL bytes are folded", std::string("a\0b", 3), 0x10f3abd2u},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(product_fold(c.bytes), c.expected);
	}
}

// The host reads files 8192 bytes at a time and the client 4096: the
// content hash must not depend on where the reads split the bytes.
TEST(Fnv1a, ChunkingDoesNotChangeTheValue)
{
	std::string content(20000, 0);

	for (size_t i = 0; i < content.size(); i++)
		content[i] = (char)(i * 131 + 7);
	for (size_t chunk : {1u, 4096u, 8192u}) {
		unsigned state = FNV1A_BASIS;

		for (size_t at = 0; at < content.size(); at += chunk)
			state = product_fold(content.substr(at, chunk), state);
		EXPECT_EQ(state, fold(content)) << "chunk " << chunk;
	}
}

TEST(ShareHash, DecimalFoldsTheWrittenDigits)
{
	for (unsigned value : {0u, 3u, 10u, 440920331u, 2166136261u, 4294967295u}) {
		SCOPED_TRACE(value);
		EXPECT_EQ(hash_decimal(FNV1A_BASIS, value), fold(std::to_string(value)));
		EXPECT_EQ(hash_decimal(777u, value), fold(std::to_string(value), 777u));
	}
}

struct Entry {
	bool dir;
	const char *path;
	std::string content;  // files only
};

// One manifest-hash fold over entries given in the kernel's order.
unsigned manifest_hash(const char *share_name, const std::vector<Entry> &entries)
{
	unsigned state = hash_share_name(share_name);

	for (const Entry &e : entries) {
		if (e.dir)
			state = hash_dir_entry(state, e.path);
		else
			state = hash_file_entry(state, e.path, (unsigned)e.content.size(), fold(e.content));
	}
	return state;
}

TEST(ShareHash, WorkedManifestHashes)
{
	const Entry a_txt = {false, "a.txt", "abc"};
	const Entry sub = {true, "sub", ""};
	const Entry b_txt = {false, "sub/b.txt", ""};
	const struct {
		const char *name;
		std::vector<Entry> entries;
		unsigned expected;
	} cases[] = {
		{"empty share", {}, 3241883111u},
		{"a.txt only", {a_txt}, 3908593925u},
		{"a.txt listed before sub", {a_txt, sub, b_txt}, 2994931705u},
		{"sub listed before a.txt", {sub, b_txt, a_txt}, 4180802033u},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(manifest_hash("c-host", c.entries), c.expected);
	}
}

// Each field is delimited, so moving digits or bytes between fields, or
// renaming, gives a different value.
TEST(ShareHash, FieldsDoNotRunTogether)
{
	const unsigned s = hash_share_name("c-host");
	const struct {
		const char *name;
		unsigned a;
		unsigned b;
	} cases[] = {
		{"share name", hash_share_name("c-host"), hash_share_name("c-hosts")},
		{"share name against empty", hash_share_name(""), FNV1A_BASIS},
		{"renamed file", hash_file_entry(s, "a.txt", 3, 1), hash_file_entry(s, "b.txt", 3, 1)},
		{"digit moved from size to hash", hash_file_entry(s, "a", 12, 3), hash_file_entry(s, "a", 1, 23)},
		{"digit moved from path to size", hash_file_entry(s, "a1", 2, 3), hash_file_entry(s, "a", 12, 3)},
		{"dir against file", hash_dir_entry(s, "x"), hash_file_entry(s, "x", 0, FNV1A_BASIS)},
		{"size changed", hash_file_entry(s, "a", 3, 7), hash_file_entry(s, "a", 4, 7)},
		{"content changed", hash_file_entry(s, "a", 3, 7), hash_file_entry(s, "a", 3, 8)},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_NE(c.a, c.b);
	}
}

} // namespace
