// Test-only process runner: starts a real program with its standard output
// going to a file, waits for log text, stops it.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace dircast_test {

// Checks done() every every_ms until it holds or timeout_ms passes; the one
// wait of the tests, each on the event itself with a wide ceiling.
bool wait_until(const std::function<bool()> &done, int timeout_ms = 10000, int every_ms = 5);
// Descriptors a process holds, and the bytes it has read (rchar).
int open_descriptors(pid_t pid);
long long bytes_read(pid_t pid);
// Processor time a process has used, in clock ticks.
long cpu_ticks(pid_t pid);

std::string build_dir();
// Path of a built program: arch "i386" is build/<name>, "x86_64" build/x86_64/<name>.
std::string program_path(const std::string &name, const std::string &arch = "i386");

struct Process {
	pid_t pid = -1;
	std::string log_path;
	int exit_status = -1;  // exit code, or 128 + signal

	Process() = default;
	Process(const Process &) = delete;
	Process &operator=(const Process &) = delete;
	~Process();

	// closed_fds: descriptors among 0, 1, 2 to leave closed in the child
	// (1 closed means the log file is not attached); output_fd, when given,
	// takes the log file's place as standard output.
	void start(const std::vector<std::string> &argv, const std::string &log_file,
		   const std::vector<int> &closed_fds = {}, int output_fd = -1);
	std::string output() const;
	// Polls the log until it holds text (or times out); true when found.
	bool wait_for_output(const std::string &text, int timeout_ms = 10000) const;
	// Waits for exit; true when the process ended within the time.
	bool wait_exit(int timeout_ms = 10000);
	bool running();
	void stop();
	// A duplicate of the program's first open socket (pidfd_getfd), so a
	// test can read the options the program set on it; -1 if none.
	int borrow_socket() const;
};

// Runs a program to its end (killing it after timeout_ms) and returns its
// exit status and log.
struct RunResult {
	int status;
	std::string output;
};
RunResult run_program(const std::vector<std::string> &argv, const std::string &log_file,
		      int timeout_ms = 30000);

} // namespace dircast_test
