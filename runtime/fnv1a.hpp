// 32-bit FNV-1a, the step both content hashes and the manifest hash are built from.
#pragma once

namespace dircast {

constexpr unsigned FNV1A_BASIS = 2166136261u;
constexpr unsigned FNV1A_PRIME = 16777619u;

inline unsigned fnv1a_update(unsigned state, const void *bytes, long n)
{
	const unsigned char *p = (const unsigned char *)bytes;

	for (long i = 0; i < n; i++)
		state = (state ^ p[i]) * FNV1A_PRIME;
	return state;
}

} // namespace dircast
