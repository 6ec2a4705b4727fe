// The SHA-256 compression function, twice: portable rounds and the CPU's SHA
// extensions. Both take whole 64-byte blocks so the fast path keeps the state
// in registers across a long run of blocks.
#pragma once

namespace dircast {

// FIPS 180-4 4.2.2: the first 32 bits of the fractional parts of the cube
// roots of the first 64 primes. 16-byte aligned for the vector loads.
extern const unsigned SHA256_K[64];

void sha256_blocks_portable(unsigned state[8], const unsigned char *blocks, unsigned long count);
void sha256_blocks_x86(unsigned state[8], const unsigned char *blocks, unsigned long count);
// 1 when cpuid reports SHA, SSE4.1 and SSSE3.
int sha256_cpu_has_extensions();

} // namespace dircast
