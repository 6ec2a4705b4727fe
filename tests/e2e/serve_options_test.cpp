// dircast-serve end to end: its command line, its log lines, how it sorts
// requests, and the settings it refuses.
#include "support/documents.hpp"
#include "support/loopback.hpp"
#include "support/serve_runner.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace dircast_test;

namespace {

const std::string DEFAULT_ROOT = "/home/username/.wine/dosdevices/c:/host";

struct Started {
	std::string log;
	int status;
};

// Runs the host with exactly these arguments (after the program name) and
// returns its start lines; refused settings make it end by itself.
Started run_briefly(TempDir &tmp, const std::vector<std::string> &args, const std::string &wait_for)
{
	Process p;
	std::vector<std::string> argv = {program_path("dircast-serve")};

	argv.insert(argv.end(), args.begin(), args.end());
	p.start(argv, tmp / "serve.log");
	p.wait_for_output(wait_for, 5000);
	if (!p.wait_exit(300))
		p.stop();
	return {p.output(), p.exit_status};
}

std::vector<std::string> ports_args(int port, int beacon)
{
	return {"--port", std::to_string(port), "--beacon-port", std::to_string(beacon), "--broadcast", "127.0.0.1"};
}

TEST(ServeLog, StartLinesAndOneLinePerAnswer)
{
	TempDir tmp;
	ServeRun host;
	std::string root = tmp / "share";

	make_dirs(root + "/sub");
	write_file(root + "/sub/f", "1");
	ASSERT_TRUE(start_serve(host, root, tmp / "serve.log"));
	for (const std::string &request : {MANIFEST_REQUEST, ARCHIVE_REQUEST, file_request("sub/f"), file_request("sub")})
		tcp_exchange(host.port, request);
	EXPECT_EQ(host.process.output(),
		  "dircast-serve: start\n"
		  "dircast-serve: sharing " + root + "\n"
		  "dircast-serve: listening on 0.0.0.0:" + std::to_string(host.port) + "\n"
		  "dircast-serve: advertising share c-host\n"
		  "dircast-serve: client connected\ndircast-serve: manifest sent\n"
		  "dircast-serve: client connected\ndircast-serve: sending file sub/f\ndircast-serve: archive sent\n"
		  "dircast-serve: client connected\ndircast-serve: sending file sub/f\ndircast-serve: file archive sent\n"
		  "dircast-serve: client connected\ndircast-serve: file archive sent\n");
}

// Whatever does not begin with one of the two known prefixes, byte for byte,
// is answered with the full archive.
TEST(ServeLog, RequestsAreSortedByPrefix)
{
	TempDir tmp;
	ServeRun host;
	std::string root = tmp / "share";

	make_dirs(root);
	write_file(root + "/f", "1");
	ASSERT_TRUE(start_serve(host, root, tmp / "serve.log"));
	struct Case {
		std::string request;
		std::string answer_magic;
	} cases[] = {
		{"GET manifest and anything else", "DC-SHARE-MANIFEST/1\n"},
		{"get manifest DC-SHARE/1\n\n", "DC-SHARE-ARCHIVE/1\n"},
		{"GET man", "DC-SHARE-ARCHIVE/1\n"},
		{ARCHIVE_REQUEST, "DC-SHARE-ARCHIVE/1\n"},
		{"GET file path=f", "DC-SHARE-ARCHIVE/1\n"},
		{"", "DC-SHARE-ARCHIVE/1\n"},  // connect and close: the empty request
	};
	for (const Case &c : cases) {
		std::string answer;
		if (c.request.empty()) {
			int fd = tcp_connect(host.port);
			shutdown(fd, SHUT_WR);
			answer = read_until_close(fd);
			close(fd);
		} else {
			answer = tcp_exchange(host.port, c.request);
		}
		EXPECT_EQ(answer.substr(0, c.answer_magic.size()), c.answer_magic) << c.request;
		EXPECT_EQ(answer.substr(answer.size() - 4), "END\n") << c.request;
	}
	EXPECT_NE(host.process.output().find("dircast-serve: client connected\ndircast-serve: sending file f\n"
					     "dircast-serve: archive sent\n"),
		  std::string::npos);
}

TEST(ServeOptions, FormsAliasesAndLaterOccurrences)
{
	TempDir tmp;
	struct Case {
		std::vector<std::string> args;
		std::string root, name;
	} cases[] = {
		{{"--root", "/r1"}, "/r1", "c-host"},
		{{"--root=/r2"}, "/r2", "c-host"},
		{{"--share-root", "/r3", "--share-name=n3"}, "/r3", "n3"},
		{{"--root=/a", "--share-root", "/b", "--name", "x", "--share-name=y"}, "/b", "y"},
		{{"--share-root=/a", "--root"}, "/a", "c-host"},  // value-less last option ignored
		{{"--root"}, DEFAULT_ROOT, "c-host"},
		{{"--rootx=/nope", "stray", "--name=", "--root=/ok"}, "/ok", ""},
	};
	for (const Case &c : cases) {
		int port = free_tcp_port();
		std::vector<std::string> args = ports_args(port, free_udp_port());
		args.insert(args.end(), c.args.begin(), c.args.end());
		std::string log = run_briefly(tmp, args, "advertising share").log;
		EXPECT_EQ(log, "dircast-serve: start\ndircast-serve: sharing " + c.root +
				       "\ndircast-serve: listening on 0.0.0.0:" + std::to_string(port) +
				       "\ndircast-serve: advertising share " + c.name + "\n")
			<< c.args[0];
	}
}

TEST(ServeOptions, ArchiveHeaderCarriesDrivePathAndMode)
{
	TempDir tmp;
	ServeRun host;
	std::string root = tmp / "share";

	make_dirs(root);
	ASSERT_TRUE(start_serve(host, root, tmp / "serve.log",
				{"--drive=d", "--path", "p/q", "--mode=rw", "--listen-port", std::to_string(free_tcp_port())}));
	std::string port = host.process.output();
	port = port.substr(port.find("0.0.0.0:") + 8);
	port = port.substr(0, port.find('\n'));
	EXPECT_EQ(tcp_exchange(std::stoi(port), ARCHIVE_REQUEST), archive_head(root, "c-host", "d", "p/q", "rw") + "END\n");
}

TEST(ServeOptions, PortsAboveSixteenBitsBindTheirLowBitsAndPrintInFull)
{
	TempDir tmp;
	int port = free_tcp_port();
	std::string shown = std::to_string(port + 65536);
	UdpReceiver beacons(free_udp_port());
	Process p;

	p.start({program_path("dircast-serve"), "--root", tmp.path, "--port", shown, "--beacon-port",
		 std::to_string(beacons.port), "--broadcast", "127.0.0.1"},
		tmp / "serve.log");
	ASSERT_TRUE(p.wait_for_output("listening on 0.0.0.0:" + shown + "\n"));
	EXPECT_NE(beacons.receive().find(" port=" + shown + " "), std::string::npos);
	EXPECT_EQ(tcp_exchange(port, MANIFEST_REQUEST).substr(0, 20), "DC-SHARE-MANIFEST/1\n");
}

TEST(ServeOptions, DefaultBeaconIsTheDocumentedDatagram)
{
	TempDir tmp;
	UdpReceiver beacons(free_udp_port());
	Process p;

	p.start({program_path("dircast-serve"), "--beacon-port", std::to_string(beacons.port), "--broadcast",
		 "127.0.0.1"},
		tmp / "serve.log");
	p.wait_for_output("dircast-serve: advertising share", 3000);
	if (p.output().find("listen failed") != std::string::npos)
		GTEST_SKIP() << "port 19200 is taken on this machine";
	std::string beacon = beacons.receive();
	EXPECT_EQ(beacon, "DC-SHARE/1 name=c-host root=/home/username/.wine/dosdevices/c:/host port=19200 mode=read-only\n");
	EXPECT_EQ(beacon.size(), 94u);
}

// Settings a reader would misparse are refused before anything is opened.
TEST(ServeOptions, UncarriableSettingsAreRefused)
{
	TempDir tmp;
	std::string long_name(700, 'n');
	struct Case {
		std::vector<std::string> args;
		std::string line;
	} cases[] = {
		{{"--broadcast", "10.0.3"}, "dircast-serve: invalid setting --broadcast\n"},
		{{"--broadcast=localhost"}, "dircast-serve: invalid setting --broadcast\n"},
		{{"--links", "sometimes"}, "dircast-serve: invalid setting --links\n"},
		{{"--links=Within"}, "dircast-serve: invalid setting --links\n"},
		{{"--name", "a hash=1"}, "dircast-serve: invalid setting --name\n"},
		{{"--share-name", "x port=5"}, "dircast-serve: invalid setting --name\n"},
		{{"--name", "tab\there"}, "dircast-serve: invalid setting --name\n"},
		{{"--root", "/a port=1"}, "dircast-serve: invalid setting --root\n"},
		{{"--root", "/a\nb"}, "dircast-serve: invalid setting --root\n"},
		{{"--drive", "c\r"}, "dircast-serve: invalid setting --drive\n"},
		{{"--path", "p\x1b"}, "dircast-serve: invalid setting --path\n"},
		{{"--mode", "m\n"}, "dircast-serve: invalid setting --mode\n"},
		{{"--name", long_name}, "dircast-serve: settings too long\n"},
		{{"--root", "/" + long_name + long_name}, "dircast-serve: settings too long\n"},
	};
	for (const Case &c : cases) {
		std::vector<std::string> args = ports_args(free_tcp_port(), free_udp_port());
		args.insert(args.end(), c.args.begin(), c.args.end());
		Started s = run_briefly(tmp, args, "\n");
		EXPECT_EQ(s.log, "dircast-serve: start\n" + c.line) << c.args[0] << " " << c.args.back();
		EXPECT_EQ(s.status, 1) << c.args[0];
	}
	// The longest name that still fits is served.
	std::vector<std::string> args = ports_args(free_tcp_port(), free_udp_port());
	args.insert(args.end(), {"--name", std::string(600, 'n')});
	EXPECT_NE(run_briefly(tmp, args, "advertising share").log.find("advertising share"), std::string::npos);
}

} // namespace
