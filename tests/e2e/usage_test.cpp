// --help, -h and --version of both programs, both architectures: the answer
// on standard output, status 0, nothing started. Every run also carries
// harmless settings (beacons to 127.0.0.1, a private mirror root, a host that
// refuses), so that a program that missed the request stays on loopback and
// away from the default Wine tree.
#include "support/mirror_runner.hpp"
#include "support/serve_runner.hpp"

#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <vector>

using namespace dircast_test;

namespace {

struct Program {
	std::string name;
};

const Program SERVE = {"dircast-serve"}, MIRROR = {"dircast-mirror"};

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

// Wherever --help stands and whichever the architecture, the same usage.
void expect_usage(const Program &program, const RunResult &r, const std::string &what)
{
	static TempDir tmp;
	static const std::string serve = run_with(tmp, SERVE, "i386", {"--help"}).output,
				 mirror = run_with(tmp, MIRROR, "i386", {"--help"}).output;

	EXPECT_EQ(r.status, 0) << what;
	EXPECT_EQ(r.output, &program == &SERVE ? serve : mirror) << what;
	EXPECT_EQ(r.output.rfind("Usage: " + program.name + " ", 0), 0u) << what << "\n" << r.output;
	EXPECT_NE(r.output.find("man " + program.name + "\n"), std::string::npos) << what;
	EXPECT_EQ(r.output.find(program.name + ":"), std::string::npos) << what << ": a log line";
}

// The value the usage shows as an option's default, up to a ',', ';' or ')'.
std::string shown_default(const std::string &usage, const std::string &option)
{
	std::smatch m;

	return std::regex_search(usage, m, std::regex("\n  [^\n]*" + option + "[ ,][^\n]*\\(default ([^,;)]*)"))
		       ? m[1].str() : "<none shown>";
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

// The defaults the usage shows are what the programs do: a host's archive
// header carries its name, drive, path and mode; a mirror links its drive
// letter and sleeps its poll interval.
TEST(Usage, TheDefaultsItShowsAreWhatTheProgramsDo)
{
	TempDir tmp;
	std::string serve = run_with(tmp, SERVE, "i386", {"--help"}).output;
	std::string mirror = run_with(tmp, MIRROR, "i386", {"--help"}).output;
	ServeRun host;
	ScriptedHost scripted([](const std::string &r, int) { return publish(r, {}, 1); });
	Mirror m;

	make_dirs(tmp / "share");
	ASSERT_TRUE(start_serve(host, tmp / "share", tmp / "serve.log"));
	EXPECT_EQ(tcp_exchange(host.port, ARCHIVE_REQUEST),
		  archive_head(tmp / "share", shown_default(serve, "--name"), shown_default(serve, "--drive"),
			       shown_default(serve, "--path"), shown_default(serve, "--mode")) + "END\n");
	m.process.start(m.args({"--host", "127.0.0.1", "--port", std::to_string(scripted.port())}), m.tmp / "mirror.log");
	EXPECT_TRUE(m.process.wait_for_output("sleeping " + shown_default(mirror, "--poll") + " seconds\n"))
		<< m.process.output();
	EXPECT_TRUE(is_link(m.dos + "/" + shown_default(mirror, "--drive") + ":"));
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
