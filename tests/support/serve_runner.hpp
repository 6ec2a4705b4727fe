// Test-only: a real dircast-serve on free loopback ports over a given root,
// beaconing to 127.0.0.1 only.
#pragma once

#include "process.hpp"

#include <string>
#include <vector>

namespace dircast_test {

struct ServeRun {
	Process process;
	int port = 0;
	int beacon_port = 0;
};

// Starts the host and waits for its "advertising share" line; false if it
// did not get there (the log then says why).
// launcher: words put before the program, a wrapper that ends by exec'ing it.
bool start_serve(ServeRun &run, const std::string &root, const std::string &log_file,
		 const std::vector<std::string> &extra = {}, const std::string &arch = "i386",
		 const std::vector<std::string> &launcher = {});

} // namespace dircast_test
