// Command-line option matching.
#include "runtime/options.hpp"
#include "runtime/text.hpp"

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

// The programs' option loop: options tried in order, one step past each
// argument whatever happened. match_option's index contract has to make a
// value taken from the next argument vanish from the loop.
struct Parsed {
	std::string port = "-";
	std::string host = "-";
	bool once = false;
};

static Parsed parse(std::vector<const char *> args)
{
	std::vector<char *> argv = {const_cast<char *>("dircast-mirror")};
	Parsed parsed;
	const char *value;

	for (const char *a : args)
		argv.push_back(const_cast<char *>(a));
	argv.push_back(nullptr);
	for (int i = 1; i < (int)argv.size() - 1; i++) {
		int argc = (int)argv.size() - 1;

		if (match_option(&i, argc, argv.data(), "--port", &value))
			parsed.port = value;
		else if (match_option(&i, argc, argv.data(), "--host", &value))
			parsed.host = value;
		else if (dircast::text_equals(argv[i], "--once"))
			parsed.once = true;
	}
	return parsed;
}

TEST(Options, LoopOverArguments)
{
	const struct {
		const char *name;
		std::vector<const char *> args;
		const char *port;
		const char *host;
		bool once;
	} cases[] = {
		{"both forms", {"--port", "1", "--host=h"}, "1", "h", false},
		{"later occurrence overrides", {"--port=1", "--port", "2"}, "2", "-", false},
		{"value that looks like a flag is a value", {"--host", "--once"}, "-", "--once", false},
		{"flag after options", {"--host", "h", "--once"}, "-", "h", true},
		{"value that looks like an option is stepped over", {"--host", "--port", "--once"}, "-", "--port", true},
		{"dangling name ignored", {"--once", "--port"}, "-", "-", true},
		{"unknown arguments skipped", {"junk", "--portx=5", "--port=3"}, "3", "-", false},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		Parsed parsed = parse(c.args);

		EXPECT_EQ(parsed.port, c.port);
		EXPECT_EQ(parsed.host, c.host);
		EXPECT_EQ(parsed.once, c.once);
	}
}

} // namespace
