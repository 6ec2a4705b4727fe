// What the host's fuzz targets share: a temporary share directory removed at
// exit, and one request served alone over a socket pair, through the same
// connection slot calls the serve loop makes for an accepted connection.
#pragma once

#include <string>
#include <string_view>

namespace dircast_fuzz {

// A new directory below DIRCAST_FUZZ_TMP, /dev/shm or /tmp, removed at exit.
std::string make_base_directory(const char *name);
void put(const std::string &path, const std::string &bytes);
// The host's log lines go to /dev/null unless DIRCAST_FUZZ_LOG is set.
void quiet_host_log();
// The whole answer to one request, the connection being the only one.
std::string serve_alone(std::string_view request);
// Moves what the peer has sent so far from fd to answer, without waiting;
// false once the peer has closed.
bool take_available(int fd, std::string &answer);

} // namespace dircast_fuzz
