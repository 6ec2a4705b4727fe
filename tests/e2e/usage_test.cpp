// --help, -h and --version of both programs, both architectures: the answer
// on standard output, status 0, and nothing served or mirrored. Every run
// also carries harmless settings (beacons to 127.0.0.1, a private mirror
// root, a host that refuses), so that a program that missed the request
// stays on loopback and away from the default Wine tree.
#include "support/process.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <string>
#include <vector>

using namespace dircast_test;

namespace {

struct OptionDefault {
	std::string option;
	std::string default_text;  // as the usage line shows it, "" for none
};

struct Program {
	std::string name;
	std::string settings_source;  // where its option names are matched
	std::vector<std::string> (*safe_args)(TempDir &tmp);
	std::vector<OptionDefault> options;
};

std::vector<std::string> safe_serve_args(TempDir &)
{
	return {"--broadcast", "127.0.0.1", "--port", "0"};
}

std::vector<std::string> safe_mirror_args(TempDir &tmp)
{
	return {"--mirror-root", tmp / "mirror", "--dosdevices", tmp / "dosdevices",
		"--host", "127.0.0.1", "--port", "1", "--once"};
}

const std::vector<Program> PROGRAMS = {
	{"dircast-serve", "host/settings.cpp", safe_serve_args, {
		{"--root", "/home/username/.wine/dosdevices/c:/host"}, {"--share-root", ""},
		{"--name", "c-host"}, {"--share-name", ""},
		{"--drive", "c"}, {"--path", "host"}, {"--mode", "read-only"},
		{"--port", "19200"}, {"--listen-port", ""}, {"--beacon-port", "19201"},
		{"--broadcast", "10.0.3.255"}, {"--help", ""}, {"-h", ""}, {"--version", ""},
	}},
	{"dircast-mirror", "client/settings.cpp", safe_mirror_args, {
		{"--mirror-root", "/home/username/.wine/dosdevices/c:/share-mirror"}, {"--target", ""},
		{"--drive", "y"}, {"--beacon-port", "19201"}, {"--listen-port", ""},
		{"--port", "19200"}, {"--connect-port", ""}, {"--host", ""},
		{"--poll-seconds", "30"}, {"--poll", ""},
		{"--dosdevices", "/home/username/.wine/dosdevices"}, {"--once", ""},
		{"--help", ""}, {"-h", ""}, {"--version", ""},
	}},
};

const char *const ARCHES[] = {"i386", "x86_64"};

// Runs the program with the harmless settings around args and returns what
// it wrote on standard output alone (standard error stays closed, so the
// program's own guard points it at /dev/null).
RunResult run_with(TempDir &tmp, const Program &program, const std::string &arch,
		   const std::vector<std::string> &before, const std::vector<std::string> &after)
{
	std::vector<std::string> argv = {program_path(program.name, arch)};
	std::vector<std::string> safe = program.safe_args(tmp);
	Process p;

	argv.insert(argv.end(), before.begin(), before.end());
	argv.insert(argv.end(), safe.begin(), safe.end());
	argv.insert(argv.end(), after.begin(), after.end());
	p.start(argv, tmp / "out", {2});
	if (!p.wait_exit(5000))
		p.stop();
	return {p.exit_status, p.output()};
}

// The usage line that names an option, as a word of its own.
std::string line_naming(const std::string &usage, const std::string &option)
{
	std::regex word("(^|[ ,])" + std::regex_replace(option, std::regex("-"), "\\-") + "([ ,]|$)");
	size_t start = 0;

	while (start < usage.size()) {
		size_t end = usage.find('\n', start);
		std::string line = usage.substr(start, end - start);
		if (std::regex_search(line, word))
			return line;
		start = end == std::string::npos ? usage.size() : end + 1;
	}
	return "";
}

void expect_usage(const Program &program, const RunResult &r, const std::string &what)
{
	EXPECT_EQ(r.status, 0) << what;
	EXPECT_EQ(r.output.rfind("Usage: " + program.name + " ", 0), 0u) << what << "\n" << r.output;
	EXPECT_NE(r.output.find("man " + program.name + "\n"), std::string::npos) << what;
	EXPECT_EQ(r.output.find(program.name + ":"), std::string::npos) << what << ": a log line";
	for (const OptionDefault &o : program.options) {
		std::string line = line_naming(r.output, o.option);
		EXPECT_NE(line, "") << what << ": no line names " << o.option;
		if (!o.default_text.empty())
			EXPECT_NE(line.find("(default " + o.default_text), std::string::npos)
				<< what << ": " << o.option << " line: " << line;
	}
}

void expect_version(const Program &program, const RunResult &r, const std::string &what)
{
	EXPECT_EQ(r.status, 0) << what;
	EXPECT_EQ(r.output, program.name + " " + DIRCAST_VERSION + "\n") << what;
}

TEST(Usage, HelpAndVersionAnswerAloneWhereverTheyStand)
{
	struct Case {
		std::vector<std::string> before, after;
		bool version;
	};
	const Case cases[] = {
		{{"--help"}, {}, false},
		{{}, {"-h"}, false},
		{{"--version"}, {}, true},
		{{"--unknown", "x"}, {"--version"}, true},
		{{"--version"}, {"--help"}, false},  // the last one counts
		{{"-h"}, {"--version"}, true},
	};

	for (const Program &program : PROGRAMS) {
		for (const char *arch : ARCHES) {
			for (const Case &c : cases) {
				TempDir tmp;
				RunResult r = run_with(tmp, program, arch, c.before, c.after);
				std::string what = program.name + " (" + arch + ") " +
						   (c.before.empty() ? "" : c.before[0] + " ") + "... " +
						   (c.after.empty() ? "" : c.after[0]);

				if (c.version)
					expect_version(program, r, what);
				else
					expect_usage(program, r, what);
				EXPECT_FALSE(exists(tmp / "mirror")) << what << ": the mirror root was made";
			}
		}
	}
}

// An option the settings code matches but the usage leaves out is caught
// here, whoever adds it.
TEST(Usage, NamesEveryOptionTheSettingsMatch)
{
	for (const Program &program : PROGRAMS) {
		std::string source = read_file(std::string(DIRCAST_SOURCE_DIR) + "/" + program.settings_source);
		std::regex quoted("\"(--[a-z][a-z-]*)\"");
		std::set<std::string> options;
		TempDir tmp;
		RunResult r = run_with(tmp, program, "i386", {"--help"}, {});

		for (auto m = std::sregex_iterator(source.begin(), source.end(), quoted); m != std::sregex_iterator(); ++m)
			options.insert((*m)[1]);
		EXPECT_GE(options.size(), 8u) << "no option names found in " << program.settings_source;
		for (const std::string &option : options)
			EXPECT_NE(line_naming(r.output, option), "") << program.name << " --help lacks " << option;
	}
}

// As the value of another option, --help is only that value: the mirror
// starts (and here ends at once, its host refusing).
TEST(Usage, HelpAsAnOptionValueIsOnlyThatValue)
{
	const Program &mirror = PROGRAMS[1];
	TempDir tmp;
	RunResult r = run_with(tmp, mirror, "i386", {"--drive", "--help"}, {});

	EXPECT_EQ(r.output.rfind("dircast-mirror: start\n", 0), 0u) << r.output;
	EXPECT_EQ(r.status, 1);
}

} // namespace
