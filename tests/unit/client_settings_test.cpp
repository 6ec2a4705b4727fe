// Client options: order, both forms, aliases, overrides, and the settings
// refused at start-up.
#include "client/settings.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using dircast::client_settings;
using dircast::ClientSettings;

std::string describe(const ClientSettings &s)
{
	std::string host;

	for (unsigned char b : s.direct_host)
		host += std::to_string(b) + ".";
	return std::string("root=") + s.mirror_root + " drive=" + s.drive + " dos=" + s.dosdevices +
	       " beacon=" + std::to_string(s.beacon_port) + " port=" + std::to_string(s.connect_port) +
	       (s.port_given ? " given" : "") + " host=" + std::to_string(s.direct_host_given) + ":" + host +
	       " poll=" + std::to_string(s.poll_seconds) + (s.run_once ? " once" : "");
}

// The settings refer to the argument texts, so these outlive the call.
ClientSettings parse(const std::vector<std::string> &args)
{
	static std::vector<std::string> kept;
	std::vector<char *> argv = {(char *)"dircast-mirror"};

	kept = args;
	for (std::string &a : kept)
		argv.push_back(a.data());
	dircast::reset_client_settings();
	dircast::parse_client_options((int)argv.size(), argv.data());
	return client_settings;
}

struct OptionCase {
	const char *name;
	std::vector<std::string> args;
	void (*expect)(ClientSettings &);
};

const OptionCase OPTION_CASES[] = {
	{"no options keep the defaults", {}, [](ClientSettings &) {}},
	{"alias, later wins", {"--mirror-root", "/a", "--target=/b"}, [](ClientSettings &s) { s.mirror_root = "/b"; }},
	{"option without value ignored", {"--mirror-root"}, [](ClientSettings &) {}},
	{"drive kept whole", {"--drive=yz"}, [](ClientSettings &s) { s.drive = "yz"; }},
	{"beacon alias", {"--listen-port", "5"}, [](ClientSettings &s) { s.beacon_port = 5; }},
	{"port marks given", {"--connect-port=70000"},
	 [](ClientSettings &s) { s.connect_port = 70000; s.port_given = 1; }},
	{"empty port reads 0", {"--port="}, [](ClientSettings &s) { s.connect_port = 0; s.port_given = 1; }},
	{"prefix without = is no option", {"--portx=5"}, [](ClientSettings &) {}},
	{"valid host", {"--host", "010.0.3.1"},
	 [](ClientSettings &s) { s.direct_host_given = 1; s.direct_host[0] = 10; s.direct_host[2] = 3; s.direct_host[3] = 1; }},
	{"invalid host after valid", {"--host=1.2.3.4", "--host", "256.1.1.1"},
	 [](ClientSettings &s) { s.direct_host[0] = 1; s.direct_host[1] = 2; s.direct_host[2] = 3; s.direct_host[3] = 4; }},
	{"--once as a value", {"--host", "--once"}, [](ClientSettings &) {}},
	{"non-numeric poll", {"--poll=abc"}, [](ClientSettings &s) { s.poll_seconds = 0; }},
	{"poll at the limit", {"--poll-seconds", "2147483647"}, [](ClientSettings &s) { s.poll_seconds = 2147483647; }},
	{"poll of 2^31 capped", {"--poll", "2147483648"}, [](ClientSettings &s) { s.poll_seconds = 2147483647; }},
	{"poll wraps first", {"--poll", "4294967296"}, [](ClientSettings &s) { s.poll_seconds = 0; }},
	{"dosdevices", {"--dosdevices", "/d"}, [](ClientSettings &s) { s.dosdevices = "/d"; }},
	{"once with a value ignored", {"--once=1", "stray"}, [](ClientSettings &) {}},
	{"once", {"--once"}, [](ClientSettings &s) { s.run_once = 1; }},
};

TEST(ClientSettings, OptionTable)
{
	for (const OptionCase &c : OPTION_CASES) {
		ClientSettings expected = parse({});
		ClientSettings actual = parse(c.args);

		c.expect(expected);
		EXPECT_EQ(describe(actual), describe(expected)) << c.name;
	}
}

TEST(ClientSettings, OverlongPathsAreRefused)
{
	const struct {
		int root, dos;
		const char *refused;
	} cases[] = {{766, 252, nullptr}, {767, 252, "--mirror-root"}, {766, 253, "--dosdevices"},
		     {800, 300, "--mirror-root"}};

	for (const auto &c : cases) {
		std::string root(c.root, 'r'), dos(c.dos, 'd');
		const char *refused;

		parse({"--mirror-root", root, "--dosdevices", dos});
		refused = dircast::invalid_client_setting();
		EXPECT_STREQ(refused, c.refused) << c.root << " " << c.dos;
	}
	dircast::reset_client_settings();
}

} // namespace
