// Command-line option matching.
#include "client/settings.hpp"
#include "host/settings.hpp"
#include "runtime/options.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using dircast::match_option;

const char UNTOUCHED[] = "<untouched>";

struct MatchCase {
	const char *name;
	std::vector<const char *> args;  // argv without the program name
	const char *option;
	int index;
	int matched;
	int index_after;
	const char *value;
};

TEST(Options, MatchOption)
{
	const MatchCase cases[] = {
		{"value in the next argument", {"--port", "19200"}, "--port", 1, 1, 2, "19200"},
		{"value after equals", {"--port=19200"}, "--port", 1, 1, 1, "19200"},
		{"empty value after equals", {"--port="}, "--port", 1, 1, 1, ""},
		{"second equals belongs to the value", {"--port==5"}, "--port", 1, 1, 1, "=5"},
		{"empty next argument is a value", {"--port", ""}, "--port", 1, 1, 2, ""},
		{"next argument taken even if it looks like an option", {"--host", "--once"}, "--host", 1, 1, 2, "--once"},
		{"match further along argv", {"x", "--port", "7"}, "--port", 2, 1, 3, "7"},
		{"name as the last argument", {"--port"}, "--port", 1, 0, 1, UNTOUCHED},
		{"longer name with a value", {"--portx=5"}, "--port", 1, 0, 1, UNTOUCHED},
		{"longer name alone", {"--portx", "5"}, "--port", 1, 0, 1, UNTOUCHED},
		{"shorter name", {"--por=5"}, "--port", 1, 0, 1, UNTOUCHED},
		{"single dash", {"-port=5"}, "--port", 1, 0, 1, UNTOUCHED},
		{"case matters", {"--PORT=5"}, "--port", 1, 0, 1, UNTOUCHED},
		{"plain value", {"19200"}, "--port", 1, 0, 1, UNTOUCHED},
		{"empty argument", {""}, "--port", 1, 0, 1, UNTOUCHED},
	};

	for (const auto &c : cases) {
		std::vector<char *> argv = {const_cast<char *>("dircast-serve")};
		int index = c.index;
		const char *value = UNTOUCHED;

		SCOPED_TRACE(c.name);
		for (const char *a : c.args)
			argv.push_back(const_cast<char *>(a));
		argv.push_back(nullptr);
		EXPECT_EQ(match_option(&index, (int)argv.size() - 1, argv.data(), c.option, &value), c.matched);
		EXPECT_EQ(index, c.index_after);
		EXPECT_STREQ(value, c.value);
	}
}

// Both programs' own loops over one command line: options tried in order,
// one step past each argument whatever happened, so a value taken from the
// next argument must vanish from the loop. --port and --drive mean the same
// to both; only the mirror knows --once.
struct Parsed {
	unsigned host_port, mirror_port;
	std::string host_drive, mirror_drive;
	int once;
};

static Parsed parse(std::vector<const char *> args)
{
	const dircast::HostSettings host_defaults = dircast::host_settings;
	std::vector<char *> argv = {const_cast<char *>("dircast")};
	Parsed parsed;

	for (const char *a : args)
		argv.push_back(const_cast<char *>(a));
	argv.push_back(nullptr);
	dircast::parse_host_options((int)argv.size() - 1, argv.data());
	dircast::reset_client_settings();
	dircast::parse_client_options((int)argv.size() - 1, argv.data());
	parsed = {dircast::host_settings.listen_port, dircast::client_settings.connect_port,
		  dircast::host_settings.drive, dircast::client_settings.drive, dircast::client_settings.run_once};
	dircast::host_settings = host_defaults;
	dircast::reset_client_settings();
	return parsed;
}

TEST(Options, ProgramsLoopOverArguments)
{
	const struct {
		const char *name;
		std::vector<const char *> args;
		unsigned port;   // both programs; 19200 by default
		const char *drive;  // nullptr: each program's default, "c" and "y"
		int once;
	} cases[] = {
		{"both forms", {"--port", "1", "--drive=h"}, 1, "h", 0},
		{"later occurrence overrides", {"--port=1", "--port", "2"}, 2, nullptr, 0},
		{"value that looks like a flag is a value", {"--drive", "--once"}, 19200, "--once", 0},
		{"flag after options", {"--drive", "h", "--once"}, 19200, "h", 1},
		{"value that looks like an option is stepped over", {"--drive", "--port", "--once"}, 19200, "--port", 1},
		{"dangling name ignored", {"--once", "--port"}, 19200, nullptr, 1},
		{"unknown arguments skipped", {"junk", "--portx=5", "--port=3"}, 3, nullptr, 0},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Parsed parsed = parse(c.args);

		EXPECT_EQ(parsed.host_port, c.port);
		EXPECT_EQ(parsed.mirror_port, c.port);
		EXPECT_EQ(parsed.host_drive, c.drive ? c.drive : "c");
		EXPECT_EQ(parsed.mirror_drive, c.drive ? c.drive : "y");
		EXPECT_EQ(parsed.once, c.once);
	}
}

} // namespace
