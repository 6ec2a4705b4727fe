// Option parsing of both programs: the input, split at NUL bytes, is the
// command line. Whatever the host accepts must compose a beacon and a
// manifest header that readers take as meant; whatever the client accepts
// must fit its drive-link buffers and join relative paths exactly.
#include "client/discovery.hpp"
#include "client/drive_link.hpp"
#include "client/mirror_store.hpp"
#include "client/settings.hpp"
#include "host/publisher.hpp"
#include "host/serve_loop.hpp"
#include "host/send_buffer.hpp"
#include "host/settings.hpp"
#include "protocol/wire.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const dircast::HostSettings HOST_DEFAULTS = dircast::host_settings;

[[noreturn]] void fail(const char *what)
{
	fprintf(stderr, "options: %s\n", what);
	abort();
}

// What readers find in what the host composed, the texts spelled out here
// from the protocol's formats: the beacon is one line and the mirror reads
// the listening port from it; the manifest header's first "hash=" is its
// hash line, where the mirror looks for it.
void check_host(int argc, char **argv)
{
	dircast::HostSettings *s = &dircast::host_settings;

	*s = HOST_DEFAULTS;
	dircast::parse_host_options(argc, argv);
	if (dircast::invalid_setting() || !dircast::settings_fit())
		return;
	std::string beacon = std::string("DC-SHARE/1 name=") + s->share_name + " root=" + s->share_root +
			     " port=" + std::to_string(s->listen_port) + " mode=" + s->mode + "\n";
	dircast::send_beacon(-1);
	if (beacon != dircast::send_buffer)
		fail("beacon");
	if (std::count_if(beacon.begin(), beacon.end(), [](unsigned char c) { return c < 0x20; }) != 1)
		fail("beacon of more than one line");
	dircast::reset_client_settings();
	memcpy(dircast::beacon_buffer, beacon.c_str(), beacon.size() + 1);
	dircast::take_port_from_beacon();
	if (dircast::client_settings.connect_port != s->listen_port)
		fail("the mirror reads another port from the beacon");

	// The manifest header, composed where a reply puts it, at its widest hash.
	char line[dircast::SEND_BUFFER_SIZE];
	int length = dircast::compose_manifest_header(line, 4294967295u);
	if (length >= dircast::SEND_BUFFER_SIZE)
		fail("manifest header longer than a line");
	std::string header(line, length);
	std::string head = std::string("DC-SHARE-MANIFEST/1\nname=") + s->share_name + "\nhash=";
	size_t digits_end = header.find_first_not_of("0123456789", head.size());
	if (header.compare(0, head.size(), head) != 0 || digits_end == head.size() || digits_end > head.size() + 10 ||
	    header.compare(digits_end, 20, "\nentries=recursive\n\n") != 0)
		fail("manifest header");
	if (header.find("hash=") != head.size() - 5)
		fail("the mirror would read the hash from the share name");
}

// A relative path joined under the mirror root is exactly that text, or,
// when refused, would not fit the path buffer with its NUL and the one
// separator the room test always counts.
void check_join(const std::string &relative)
{
	std::string root = dircast::client_settings.mirror_root;
	std::string joined = root + (!root.empty() && root.back() != '/' ? "/" : "") + relative;

	if (dircast::check_mirror_path(relative.c_str(), (int)relative.size())) {
		if (joined.size() + 1 > (size_t)dircast::MIRROR_PATH_SIZE || joined != dircast::path_buffer)
			fail("mirror path");
	} else if (joined.size() + 2 <= (size_t)dircast::MIRROR_PATH_SIZE) {
		fail("a mirror path that fits was refused");
	}
}

void check_client(int argc, char **argv)
{
	const dircast::ClientSettings *s = &dircast::client_settings;

	dircast::reset_client_settings();
	dircast::parse_client_options(argc, argv);
	if (s->poll_seconds > dircast::POLL_SECONDS_LIMIT)
		fail("poll interval above 2^31 - 1");
	if (dircast::invalid_client_setting())
		return;
	dircast::build_link_path();
	std::string link = std::string(s->dosdevices) + "/" + s->drive[0] + ":";
	if (s->drive[0] && link != dircast::link_buffer)
		fail("drive link path");
	if (std::string(dircast::c_drive_path()) != std::string(s->dosdevices) + "/c:")
		fail("c: path");
	check_join("p");
	check_join(std::string(dircast::wire::PATH_LIMIT, 'p'));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	if (!getenv("DIRCAST_FUZZ_LOG")) {
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		close(null);
	}
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::vector<std::string> words = {"prog", ""};
	std::vector<char *> argv;

	for (size_t i = 0; i < size && words.size() < 64; i++) {
		if (data[i] == 0)
			words.emplace_back();
		else
			words.back() += (char)data[i];
	}
	for (std::string &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);
	check_host((int)words.size(), argv.data());
	check_client((int)words.size(), argv.data());
	dircast::reset_client_settings();
	return 0;
}
