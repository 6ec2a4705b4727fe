#include "process.hpp"
#include "temp_dir.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace dircast_test {

std::string build_dir() { return DIRCAST_BUILD_DIR; }

std::string program_path(const std::string &name, const std::string &arch)
{
	return arch == "i386" ? build_dir() + "/" + name : build_dir() + "/" + arch + "/" + name;
}

Process::~Process() { stop(); }

void Process::start(const std::vector<std::string> &argv, const std::string &log_file,
		    const std::vector<int> &closed_fds)
{
	std::vector<char *> args;

	log_path = log_file;
	for (const std::string &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);
	pid = fork();
	if (pid == 0) {
		int log = open(log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
		int null = open("/dev/null", O_RDWR);
		dup2(null, 0);
		dup2(log, 1);
		dup2(log, 2);
		for (int fd = 3; fd < 256; fd++)
			close(fd);
		for (int fd : closed_fds)
			close(fd);
		execvp(args[0], args.data());  // a bare name is looked up in PATH
		_exit(127);
	}
}

std::string Process::output() const { return read_file(log_path); }

bool Process::wait_for_output(const std::string &text, int timeout_ms) const
{
	auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);

	while (std::chrono::steady_clock::now() < until) {
		if (output().find(text) != std::string::npos)
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	return output().find(text) != std::string::npos;
}

static int decode_status(int status)
{
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool Process::wait_exit(int timeout_ms)
{
	auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
	int status;

	if (pid <= 0)
		return true;
	while (std::chrono::steady_clock::now() < until) {
		if (waitpid(pid, &status, WNOHANG) == pid) {
			exit_status = decode_status(status);
			pid = -1;
			return true;
		}
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}
	return false;
}

bool Process::running()
{
	int status;

	if (pid <= 0)
		return false;
	if (waitpid(pid, &status, WNOHANG) == pid) {
		exit_status = decode_status(status);
		pid = -1;
		return false;
	}
	return true;
}

void Process::stop()
{
	int status;

	if (pid <= 0)
		return;
	kill(pid, SIGKILL);
	waitpid(pid, &status, 0);
	exit_status = decode_status(status);
	pid = -1;
}

RunResult run_program(const std::vector<std::string> &argv, const std::string &log_file, int timeout_ms)
{
	Process p;

	p.start(argv, log_file);
	if (!p.wait_exit(timeout_ms))
		p.stop();
	return {p.exit_status, p.output()};
}

} // namespace dircast_test
