// --help, -h and --version of both programs, both architectures: the answer
// on standard output, status 0, nothing started. Every run also carries
// harmless settings (beacons to 127.0.0.1, a private mirror root, a host that
// refuses), so that a program that missed the request stays on loopback and
// away from the default Wine tree.
#include "support/process.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace dircast_test;

namespace {

struct Program {
	std::string name;
	std::string settings_source;  // where its option names are matched
	// Each option the usage must name, "option=default" when it has one.
	std::vector<std::string> options;
};

const Program SERVE = {"dircast-serve", "host/settings.cpp", {
	"--root=/home/username/.wine/dosdevices/c:/host", "--share-root", "--name=c-host", "--share-name",
	"--drive=c", "--path=host", "--mode=read-only", "--port=19200", "--listen-port",
	"--beacon-port=19201", "--broadcast=10.0.3.255", "--help", "-h", "--version"}};
const Program MIRROR = {"dircast-mirror", "client/settings.cpp", {
	"--mirror-root=/home/username/.wine/dosdevices/c:/share-mirror", "--target", "--drive=y",
	"--beacon-port=19201", "--listen-port", "--port=19200", "--connect-port", "--host",
	"--poll-seconds=30", "--poll", "--dosdevices=/home/username/.wine/dosdevices", "--once",
	"--help", "-h", "--version"}};

// Runs the program with args and the harmless settings after them; only its
// standard output is kept (standard error stays closed, and the program's
// own guard points it at /dev/null).
RunResult run_with(TempDir &tmp, const Program &program, const std::string &arch,
		   std::vector<std::string> args)
{
	std::vector<std::string> argv = {program_path(program.name, arch)};
	Process p;

	argv.insert(argv.end(), args.begin(), args.end());
	if (&program == &SERVE)
		argv.insert(argv.end(), {"--broadcast", "127.0.0.1", "--port", "0"});
	else
		argv.insert(argv.end(), {"--mirror-root", tmp / "mirror", "--dosdevices", tmp / "dos",
					 "--host", "127.0.0.1", "--port", "1", "--once"});
	p.start(argv, tmp / "out", {2});
	if (!p.wait_exit(5000))
		p.stop();
	return {p.exit_status, p.output()};
}

// The usage line that names an option as a word of its own, or "".
std::string line_naming(const std::string &usage, const std::string &option)
{
	std::regex word("(^|[ ,])" + option + "([ ,]|$)");
	std::istringstream lines(usage);
	std::string line;

	while (std::getline(lines, line)) {
		if (std::regex_search(line, word))
			return line;
	}
	return "";
}

void expect_usage(const Program &program, const RunResult &r, const std::string &what)
{
	EXPECT_EQ(r.status, 0) << what;
	EXPECT_EQ(r.output.rfind("Usage: " + program.name + " ", 0), 0u) << what << "\n" << r.output;
	EXPECT_NE(r.output.find("man " + program.name + "\n"), std::string::npos) << what;
	EXPECT_EQ(r.output.find(program.name + ":"), std::string::npos) << what << ": a log line";
	for (const std::string &entry : program.options) {
		size_t eq = entry.find('=');
		std::string line = line_naming(r.output, entry.substr(0, eq));

		EXPECT_NE(line, "") << what << ": no line names " << entry.substr(0, eq);
		if (eq != std::string::npos)
			EXPECT_NE(line.find("(default " + entry.substr(eq + 1)), std::string::npos)
				<< what << ": " << line;
	}
}

TEST(Usage, HelpAndVersionAnswerAloneWhereverTheyStand)
{
	struct Case {
		std::vector<std::string> args;
		bool version;
	};
	const Case cases[] = {
		{{"--help"}, false},
		{{"--drive", "d", "-h"}, false},
		{{"--version"}, true},
		{{"--unknown", "--version", "x"}, true},
		{{"--version", "--help"}, false},  // the last one counts
		{{"-h", "--version"}, true},
	};

	for (const Program *program : {&SERVE, &MIRROR}) {
		for (const char *arch : {"i386", "x86_64"}) {
			for (const Case &c : cases) {
				TempDir tmp;
				RunResult r = run_with(tmp, *program, arch, c.args);
				std::string what = program->name + " (" + arch + ") " + c.args.back();

				if (c.version) {
					EXPECT_EQ(r.status, 0) << what;
					EXPECT_EQ(r.output, program->name + " " + DIRCAST_VERSION + "\n") << what;
				} else {
					expect_usage(*program, r, what);
				}
				EXPECT_FALSE(exists(tmp / "mirror")) << what << ": the mirror root was made";
			}
		}
	}
}

// An option that the settings code matches and the usage leaves out is
// caught here, whoever adds it.
TEST(Usage, NamesEveryOptionTheSettingsMatch)
{
	std::regex quoted("\"(--[a-z][a-z-]*)\"");

	for (const Program *program : {&SERVE, &MIRROR}) {
		std::string source = read_file(std::string(DIRCAST_SOURCE_DIR) + "/" + program->settings_source);
		auto found = std::sregex_iterator(source.begin(), source.end(), quoted);
		TempDir tmp;
		RunResult r = run_with(tmp, *program, "i386", {"--help"});

		EXPECT_GE(std::distance(found, std::sregex_iterator()), 8) << program->settings_source;
		for (auto m = found; m != std::sregex_iterator(); ++m)
			EXPECT_NE(line_naming(r.output, (*m)[1]), "") << program->name << " --help lacks " << (*m)[1];
	}
}

// As the value of another option --help is only that value: the mirror
// starts (and ends at once, its host refusing).
TEST(Usage, HelpAsAnOptionValueIsOnlyThatValue)
{
	TempDir tmp;
	RunResult r = run_with(tmp, MIRROR, "i386", {"--drive", "--help"});

	EXPECT_EQ(r.output.rfind("dircast-mirror: start\n", 0), 0u) << r.output;
	EXPECT_EQ(r.status, 1);
}

} // namespace
