// SHA-256 (FIPS 180-4): the content digest of a signed listing. The CPU's
// SHA extensions do the compression where cpuid reports them; the portable
// rounds serve everywhere else, so one build runs on every x86.
#pragma once

namespace dircast {

constexpr int SHA256_SIZE = 32;
constexpr int SHA256_BLOCK = 64;

struct Sha256 {
	unsigned state[8];
	unsigned long long length;  // bytes taken so far
	unsigned char block[SHA256_BLOCK];
	unsigned used;              // bytes of block waiting for the next compression
};

void sha256_start(Sha256 *h);
void sha256_update(Sha256 *h, const void *data, unsigned long size);
void sha256_finish(Sha256 *h, unsigned char digest[SHA256_SIZE]);
void sha256(const void *data, unsigned long size, unsigned char digest[SHA256_SIZE]);

// 1 when the extensions compress; sha256_select(0) forces the portable
// rounds (measurements and tests), sha256_select(1) takes the extensions
// again where the CPU has them.
int sha256_hardware();
void sha256_select(int use_hardware);

} // namespace dircast
