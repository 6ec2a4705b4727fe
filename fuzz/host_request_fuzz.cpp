// The host's request handling, fed any request bytes: one connection is
// served over a socket pair through the same connection slot calls the serve
// loop makes for an accepted one, while the answer is read as it comes. The
// share holds
// files, a FIFO, links and names a reader may refuse; a secret beside the
// share root must never appear in an answer. Manifest and full archive
// answers never vary; a single-file answer carries at most the requested file,
// and only when the protocol can carry its path.
#include "host/connection.hpp"
#include "host/serve_loop.hpp"
#include "host/settings.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char SECRET[] = "SECRET-CANARY-never-served";
std::string base;
std::string first_manifest, first_archive;

void put(const std::string &path, const std::string &bytes)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

	if (fd < 0 || write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size())
		abort();
	close(fd);
}

int remove_entry(const char *path, const struct stat *, int, FTW *)
{
	remove(path);
	return 0;
}

void remove_share() { nftw(base.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

void make_share()
{
	const char *parent = getenv("DIRCAST_FUZZ_TMP");
	struct stat st;
	if (!parent)
		parent = stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
	std::string pattern = std::string(parent) + "/dircast-fuzz-host-XXXXXX";
	if (!mkdtemp(pattern.data()))
		abort();
	base = pattern;
	std::string share = base + "/share";
	mkdir(share.c_str(), 0777);
	mkdir((share + "/sub").c_str(), 0777);
	mkdir((share + "/sub/deep").c_str(), 0777);
	put(share + "/a.txt", "abc");
	put(share + "/a b", "space");
	put(share + "/we:ird", "colon");
	put(share + "/end.txt", "tail\nEND\n");
	put(share + "/sub/b.txt", "");
	put(share + "/sub/deep/c.bin", std::string("\0\xff\nEND\ndir path=x\n", 18));
	put(base + "/secret", SECRET);
	put(base + "/linked", "reached through a link in the share\n");
	mkfifo((share + "/fifo").c_str(), 0666);
	symlink("../linked", (share + "/link").c_str());
	symlink("sub", (share + "/dirlink").c_str());
	symlink("loop", (share + "/loop").c_str());
	static std::string root = share;
	dircast::host_settings.share_root = root.c_str();
	atexit(remove_share);
}

dircast::Connection connection;

void take_available(int fd, std::string &answer)
{
	char buf[65536];
	ssize_t n;

	while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
		answer.append(buf, n);
}

std::string serve(std::string_view request)
{
	int pair[2];
	std::string answer;

	if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
		abort();
	if (!request.empty() && write(pair[1], request.data(), request.size()) < 0)
		abort();
	shutdown(pair[1], SHUT_WR);
	dircast::open_connection(&connection, pair[0], dircast::monotonic_ms());
	while (connection.state != dircast::CONNECTION_FREE) {
		pollfd p = {pair[0], dircast::connection_events(&connection), 0};
		short revents = p.events && poll(&p, 1, 1000) > 0 ? p.revents : 0;

		dircast::serve_connection(&connection, revents, dircast::monotonic_ms());
		take_available(pair[1], answer);
	}
	take_available(pair[1], answer);
	close(pair[1]);
	return answer;
}

// The path a single-file request names: up to the first NUL, CR or LF, at
// most 511 bytes, as the request's one receive of 767 bytes delivered it.
std::string requested_path(std::string_view request)
{
	std::string_view path = request.substr(0, 767).substr(14);
	path = path.substr(0, path.find_first_of(std::string_view("\0\r\n", 3)));
	return std::string(path.substr(0, 511));
}

bool carried(const std::string &path)
{
	if (path.empty() || path[0] == '/' || path.back() == '/' || path.find("//") != std::string::npos ||
	    path.find(" size=") != std::string::npos || path.find(" hash=") != std::string::npos)
		return false;
	for (unsigned char c : path)
		if (c < 0x20 || c == 0x7f || c == '\\')
			return false;
	std::string padded = "/" + path + "/";
	return padded.find("/./") == std::string::npos && padded.find("/../") == std::string::npos;
}

[[noreturn]] void fail(const char *what, std::string_view request, const std::string &answer)
{
	fprintf(stderr, "host: %s\nrequest: %.*s\nanswer: %s\n", what, (int)request.size(), request.data(),
		answer.c_str());
	abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	make_share();
	if (!getenv("DIRCAST_FUZZ_LOG")) {
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		close(null);
	}
	first_manifest = serve(dircast::wire::MANIFEST_REQUEST);
	first_archive = serve(dircast::wire::ARCHIVE_REQUEST);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string_view request((const char *)data, size < 4096 ? size : 4096);
	std::string answer = serve(request);
	std::string_view seen = request.substr(0, 767);

	if (answer.find(SECRET) != std::string::npos)
		fail("an answer carried the secret beside the share", request, answer);
	if (answer.size() < 4 || answer.compare(answer.size() - 4, 4, "END\n") != 0)
		fail("answer without its end marker", request, answer);
	if (seen.substr(0, 12) == "GET manifest") {
		if (answer != first_manifest)
			fail("manifest differs", request, answer);
	} else if (seen.substr(0, 14) != "GET file path=") {
		if (answer != first_archive)
			fail("full archive differs", request, answer);
	} else {
		size_t record = answer.find("\n\nfile path=");
		std::string path = requested_path(seen);
		if (answer.rfind("DC-SHARE-ARCHIVE/1\n", 0) != 0)
			fail("single-file answer form", request, answer);
		if (record != std::string::npos &&
		    (!carried(path) || answer.compare(record + 12, path.size() + 6, path + " size=") != 0))
			fail("single-file answer for a path it must not carry", request, answer);
	}
	return 0;
}
