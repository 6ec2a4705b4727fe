#include "serve_runner.hpp"
#include "loopback.hpp"

namespace dircast_test {

bool start_serve(ServeRun &run, const std::string &root, const std::string &log_file,
		 const std::vector<std::string> &extra, const std::string &arch, const std::vector<std::string> &launcher)
{
	std::vector<std::string> argv = launcher;

	argv.insert(argv.end(), {program_path("dircast-serve", arch), "--root", root});

	run.port = free_tcp_port();
	run.beacon_port = free_udp_port();
	argv.insert(argv.end(), {"--port", std::to_string(run.port), "--beacon-port",
				 std::to_string(run.beacon_port), "--broadcast", "127.0.0.1"});
	argv.insert(argv.end(), extra.begin(), extra.end());
	run.process.start(argv, log_file);
	return run.process.wait_for_output("dircast-serve: advertising share ", 5000);
}

} // namespace dircast_test
