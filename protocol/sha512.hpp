// SHA-512 (FIPS 180-4): Ed25519 hashes its keys, nonces and challenges with it.
#pragma once

namespace dircast {

constexpr int SHA512_SIZE = 64;
constexpr int SHA512_BLOCK = 128;

struct Sha512 {
	unsigned long long state[8];
	unsigned long long length;  // bytes taken so far (a statement is short)
	unsigned char block[SHA512_BLOCK];
	unsigned used;
};

void sha512_start(Sha512 *h);
void sha512_update(Sha512 *h, const void *data, unsigned long size);
void sha512_finish(Sha512 *h, unsigned char digest[SHA512_SIZE]);

} // namespace dircast
