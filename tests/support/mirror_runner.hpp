// Test-only: a real dircast-mirror in a temporary Wine layout of its own,
// pointed at a scripted host, and the answers of a host publishing a share.
#pragma once

#include "loopback.hpp"
#include "process.hpp"
#include "scripted_host.hpp"
#include "temp_dir.hpp"

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace dircast_test {

// Answers like a host publishing entries under hash; a file request gets
// that file alone.
inline ScriptedReply publish(const std::string &request, const std::vector<Entry> &entries, unsigned hash)
{
	if (request == MANIFEST_REQUEST)
		return {manifest_text(hash, entries)};
	for (const Entry &e : entries)
		if (request == file_request(e.path))
			return {archive_text({e})};
	return {archive_text(entries)};
}

struct Mirror {
	TempDir tmp;
	std::string dos = tmp / "dos", root = tmp / "dos/c:/mirror";
	// A beacon port of its own: a mirror listens on it even beside --host.
	int beacon_port = free_udp_port();
	Process process;
	// Words before the program: a wrapper that ends by exec'ing it.
	std::vector<std::string> launcher;

	std::vector<std::string> args(const std::vector<std::string> &extra) const
	{
		std::vector<std::string> a = launcher;
		a.insert(a.end(), {program_path("dircast-mirror"), "--mirror-root", root, "--dosdevices", dos,
				   "--beacon-port", std::to_string(beacon_port)});
		a.insert(a.end(), extra.begin(), extra.end());
		return a;
	}
	std::vector<std::string> args(int port, const std::string &mode, const std::string &value = "") const
	{
		std::vector<std::string> a = args({"--host", "127.0.0.1", "--port", std::to_string(port), mode});
		if (!value.empty())
			a.push_back(value);
		return a;
	}
	RunResult once(int port) { return run_program(args(port, "--once"), tmp / "mirror.log"); }
	// Polls every second until the log holds turns "sleeping" lines.
	std::string run_turns(int port, int turns)
	{
		process.start(args(port, "--poll", "1"), tmp / "mirror.log");
		wait_until([&] { return count_of(process.output(), "sleeping") >= turns || !process.running(); }, 30000);
		EXPECT_TRUE(process.running());
		process.stop();
		return process.output();
	}
};

} // namespace dircast_test
