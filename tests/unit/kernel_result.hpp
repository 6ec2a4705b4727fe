// Kernel results in failure messages: "-ENOENT" reads better than -2.
#pragma once

#include <cstring>
#include <string>

namespace dircast_test {

// Compare results through this so a mismatch prints both names.
inline std::string result_name(long r)
{
	if (r < 0 && r > -4096) {
		const char *name = strerrorname_np((int)-r);

		if (name)
			return std::string("-") + name;
	}
	return std::to_string(r);
}

} // namespace dircast_test
