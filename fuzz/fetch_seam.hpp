// Link-time stand-in for the client's transfers in the manifest target: a
// fetch_file that answers from the fuzz input.
#pragma once

#include <string_view>

namespace fuzz {

// The reply to every single-file request; an empty reply makes the fetch
// fail, as a refused connection would.
extern std::string_view fetch_reply;

} // namespace fuzz
