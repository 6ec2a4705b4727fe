// dircast-mirror: options (or only --help, --version), start line, the
// mirror root's lock, host selection, then the sync loop.
// The process frame ends the process with main's result as exit status.
#include "discovery.hpp"
#include "mirror_lock.hpp"
#include "settings.hpp"
#include "sync_loop.hpp"
#include "usage.hpp"
#include "../runtime/console.hpp"

using namespace dircast;

int main(int argc, char **argv)
{
	sockaddr_in host_address = IPV4_ANY;
	const char *invalid;
	Action action;

	action = parse_client_options(argc, argv);
	if (action != ACTION_RUN) {
		print_client_action(action);
		return 0;
	}
	log_text("dircast-mirror: start\n");
	invalid = invalid_client_setting();
	if (invalid) {
		log_text("dircast-mirror: invalid setting ");
		log_text(invalid);
		log_text("\n");
		return 1;
	}
	if (!lock_mirror_root()) {
		log_text("dircast-mirror: mirror root in use by another dircast-mirror\n");
		return 1;
	}
	if (select_host(&host_address) < 0)
		return 1;
	return sync_loop(&host_address);
}
