// SHA-256 and SHA-512 against the FIPS 180-4 example messages, through the
// CPU's extensions and the portable rounds, whole and in uneven pieces.
#include "protocol/sha256.hpp"
#include "protocol/sha512.hpp"

#include <gtest/gtest.h>
#include <string>

namespace {

using namespace dircast;

struct Vector {
	const char *name;
	std::string message;
	const char *sha256;
	const char *sha512;
};

const Vector VECTORS[] = {
	{"abc", "abc",
	 "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
	 "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
	 "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
	{"empty", "",
	 "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
	 "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
	 "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
	{"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
	 "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
	 "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c335"
	 "96fd15c13b1b07f9aa1d3bea57789ca031ad85c7a71dd70354ec631238ca3445"},
	{"896 bits", "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
	 "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
	 "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1",
	 "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
	 "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
	{"one million a", std::string(1000000, 'a'),
	 "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
	 "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
	 "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
};

std::string hex(const unsigned char *bytes, int n)
{
	std::string s;

	for (int i = 0; i < n; i++)
		s += "0123456789abcdef"[bytes[i] >> 4], s += "0123456789abcdef"[bytes[i] & 15];
	return s;
}

// Pieces of 1, 63 and 65 bytes cross every block boundary at a different
// offset; 0 means the whole message in one update.
template <typename Hash, int SIZE>
std::string in_pieces(const std::string &m, size_t piece, void (*start)(Hash *),
		      void (*update)(Hash *, const void *, unsigned long), void (*finish)(Hash *, unsigned char *))
{
	Hash h;
	unsigned char digest[SIZE];

	start(&h);
	for (size_t at = 0; at < m.size(); at += piece ? piece : m.size())
		update(&h, m.data() + at, piece ? std::min(piece, m.size() - at) : m.size());
	finish(&h, digest);
	return hex(digest, SIZE);
}

std::string sha256_of(const std::string &m, size_t piece)
{
	return in_pieces<Sha256, SHA256_SIZE>(m, piece, sha256_start, sha256_update, sha256_finish);
}

std::string sha512_of(const std::string &m, size_t piece)
{
	return in_pieces<Sha512, SHA512_SIZE>(m, piece, sha512_start, sha512_update, sha512_finish);
}

TEST(Sha, FipsExamplesOnEveryPathAndSplit)
{
	sha256_select(1);
	const int paths = sha256_hardware() ? 2 : 1;

	if (paths == 1)
		std::printf("note: no SHA extensions on this CPU, portable rounds only\n");
	for (int path = 0; path < paths; path++) {
		sha256_select(path == 0 ? 0 : 1);
		for (const Vector &v : VECTORS) {
			for (size_t piece : {0, 1, 63, 65}) {
				SCOPED_TRACE(std::string(v.name) + (path ? " hardware" : " portable") +
					", pieces of " + std::to_string(piece));
				EXPECT_EQ(sha256_of(v.message, piece), v.sha256);
				if (path == 0)
					EXPECT_EQ(sha512_of(v.message, piece), v.sha512);
			}
		}
	}
	sha256_select(1);
}

} // namespace
