// What the host's fuzz targets share.
#include "host_share.hpp"
#include "host/connection_slots.hpp"
#include "runtime/clock.hpp"

#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dircast_fuzz {

namespace {

std::string base;

int remove_entry(const char *path, const struct stat *, int, FTW *)
{
	remove(path);
	return 0;
}

void remove_base() { nftw(base.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

} // namespace

std::string make_base_directory(const char *name)
{
	const char *parent = getenv("DIRCAST_FUZZ_TMP");
	struct stat st;

	if (!parent)
		parent = stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
	std::string pattern = std::string(parent) + "/dircast-fuzz-" + name + "-XXXXXX";
	if (!mkdtemp(pattern.data()))
		abort();
	base = pattern;
	atexit(remove_base);
	return base;
}

void put(const std::string &path, const std::string &bytes)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

	if (fd < 0 || write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size())
		abort();
	close(fd);
}

void quiet_host_log()
{
	if (getenv("DIRCAST_FUZZ_LOG"))
		return;
	int null = open("/dev/null", O_WRONLY);
	dup2(null, 1);
	close(null);
}

bool take_available(int fd, std::string &answer)
{
	char buf[65536];
	ssize_t n;

	while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
		answer.append(buf, n);
	return n != 0;
}

std::string serve_alone(std::string_view request)
{
	dircast::Connection *connection = dircast::free_slot();
	int pair[2];
	std::string answer;

	if (!connection || socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
		abort();
	if (!request.empty() && write(pair[1], request.data(), request.size()) < 0)
		abort();
	shutdown(pair[1], SHUT_WR);
	dircast::open_connection(connection, pair[0], 0, dircast::monotonic_ms());
	while (connection->state != dircast::CONNECTION_FREE) {
		pollfd p = {pair[0], dircast::connection_events(connection), 0};
		short revents = p.events && poll(&p, 1, 1000) > 0 ? p.revents : 0;

		dircast::serve_connection(connection, revents, dircast::monotonic_ms());
		take_available(pair[1], answer);
	}
	while (take_available(pair[1], answer))
		;
	close(pair[1]);
	return answer;
}

} // namespace dircast_fuzz
