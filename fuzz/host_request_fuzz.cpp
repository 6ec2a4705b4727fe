// The host's request handling, fed any request bytes: one connection is
// served over a socket pair through the same connection slot calls the serve
// loop makes for an accepted one. The share holds files, a FIFO, links and
// names a reader may refuse; a secret beside the share root must never
// appear in an answer. Manifest and full archive
// answers never vary; a single-file answer carries at most the requested file,
// and only when the protocol can carry its path.
#include "host_share.hpp"
#include "host/settings.hpp"
#include "protocol/wire.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

using dircast_fuzz::put;

namespace {

const char SECRET[] = "SECRET-CANARY-never-served";
std::string first_manifest, first_archive;

void make_share()
{
	std::string base = dircast_fuzz::make_base_directory("host");
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
}

std::string serve(std::string_view request) { return dircast_fuzz::serve_alone(request); }

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
	dircast_fuzz::quiet_host_log();
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
