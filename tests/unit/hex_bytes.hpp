// Test-only: the primitives' vectors are written in hex, as the RFC and FIPS
// texts give them.
#pragma once

#include <string>
#include <vector>

namespace dircast_test {

using Bytes = std::vector<unsigned char>;

inline Bytes from_hex(const std::string &hex)
{
	Bytes out;

	for (size_t i = 0; i + 1 < hex.size(); i += 2)
		out.push_back((unsigned char)std::stoi(hex.substr(i, 2), nullptr, 16));
	return out;
}

} // namespace dircast_test
