#include "process.hpp"
#include "temp_dir.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/syscall.h>
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

bool wait_until(const std::function<bool()> &done, int timeout_ms, int every_ms)
{
	auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);

	while (!done()) {
		if (std::chrono::steady_clock::now() > until)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(every_ms));
	}
	return true;
}

int open_descriptors(pid_t pid)
{
	int n = 0;
	DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());

	while (d && readdir(d))
		n++;
	if (d)
		closedir(d);
	return n;
}

long long bytes_read(pid_t pid)
{
	std::string io = read_file("/proc/" + std::to_string(pid) + "/io");
	size_t at = io.find("rchar: ");

	return at == std::string::npos ? -1 : std::stoll(io.substr(at + 7));
}

long cpu_ticks(pid_t pid)
{
	std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
	long user = 0, system = 0;

	sscanf(stat.c_str() + stat.rfind(')'), ") %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &user, &system);
	return user + system;
}

Process::~Process() { stop(); }

void Process::start(const std::vector<std::string> &argv, const std::string &log_file,
		    const std::vector<int> &closed_fds, int output_fd)
{
	std::vector<char *> args;

	log_path = log_file;
	for (const std::string &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);
	// Emptied before the fork: a log left by an earlier run in the same file
	// must never be read as this run's.
	int log = open(log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
	pid = fork();
	if (pid == 0) {
		int null = open("/dev/null", O_RDWR);
		dup2(null, 0);
		dup2(output_fd >= 0 ? output_fd : log, 1);
		dup2(log, 2);
		for (int fd = 3; fd < 256; fd++)
			close(fd);
		for (int fd : closed_fds)
			close(fd);
		execvp(args[0], args.data());  // a bare name is looked up in PATH
		_exit(127);
	}
	close(log);
}

std::string Process::output() const { return read_file(log_path); }

bool Process::wait_for_output(const std::string &text, int timeout_ms) const
{
	return wait_until([&] { return output().find(text) != std::string::npos; }, timeout_ms);
}

static int decode_status(int status)
{
	return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool Process::wait_exit(int timeout_ms)
{
	return wait_until([&] { return !running(); }, timeout_ms);
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

int Process::borrow_socket() const
{
	std::string dir = "/proc/" + std::to_string(pid) + "/fd";
	DIR *d = opendir(dir.c_str());
	int pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
	int borrowed = -1;

	while (dirent *e = d && pidfd >= 0 && borrowed < 0 ? readdir(d) : nullptr) {
		char target[64] = {};

		int type = 0;
		socklen_t length = sizeof type;

		if (readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1) > 0 &&
		    std::string(target).rfind("socket:", 0) == 0)
			borrowed = (int)syscall(SYS_pidfd_getfd, pidfd, atoi(e->d_name), 0);
		// The mirror also listens for beacons: only its TCP socket is wanted.
		if (borrowed >= 0 && (getsockopt(borrowed, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)) {
			close(borrowed);
			borrowed = -1;
		}
	}
	if (d)
		closedir(d);
	if (pidfd >= 0)
		close(pidfd);
	return borrowed;
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
