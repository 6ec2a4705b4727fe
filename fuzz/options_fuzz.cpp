// Option parsing of both programs: the input, split at NUL bytes, is the
// command line. Whatever the host accepts must compose its beacon and
// manifest header inside the send buffer; whatever the client accepts must
// fit its drive-link buffers and join a longest relative path safely.
#include "client/drive_link.hpp"
#include "client/mirror_store.hpp"
#include "client/settings.hpp"
#include "host/publisher.hpp"
#include "host/serve_loop.hpp"
#include "host/settings.hpp"

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

bool has_control_byte(const char *text)
{
	for (; *text; text++)
		if ((unsigned char)*text < 0x20)
			return true;
	return false;
}

[[noreturn]] void fail(const char *what)
{
	fprintf(stderr, "options: %s\n", what);
	abort();
}

void check_host(int argc, char **argv)
{
	dircast::HostSettings *s = &dircast::host_settings;

	*s = HOST_DEFAULTS;
	dircast::parse_host_options(argc, argv);
	if (dircast::invalid_setting() || !dircast::settings_fit())
		return;
	if (has_control_byte(s->share_root) || has_control_byte(s->share_name) || has_control_byte(s->mode) ||
	    strstr(s->share_name, "hash=") || strstr(s->share_name, " port=") || strstr(s->share_root, " port="))
		fail("host accepted a setting the protocol cannot carry");
	dircast::send_beacon(-1);
	// The manifest header only: a root that does not exist gives no records.
	s->share_root = "/nonexistent/dircast-fuzz";
	dircast::Reply reply = {-1, 0};
	dircast::send_manifest(&reply);
}

void check_client(int argc, char **argv)
{
	const dircast::ClientSettings *s = &dircast::client_settings;
	static const std::string longest(511, 'p');

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
	dircast::check_mirror_path(longest.c_str(), (int)longest.size());
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
