// dircast-serve: publishes one directory tree to mirror clients on the LAN.
#include "serve_loop.hpp"
#include "settings.hpp"
#include "signing_key.hpp"
#include "usage.hpp"
#include "../runtime/console.hpp"
#include "../runtime/start.hpp"

using namespace dircast;

[[noreturn]] static void refuse(const char *line)
{
	log_text(line);
	exit_process(1);
}

static void check_settings()
{
	const char *invalid;

	if ((invalid = invalid_setting())) {
		log_text("dircast-serve: invalid setting ");
		log_text(invalid);
		refuse("\n");
	}
	if (!settings_fit())
		refuse("dircast-serve: settings too long\n");
}

int main(int argc, char **argv)
{
	long listener;
	long beacon_socket;
	Action action;

	action = parse_host_options(argc, argv);
	if (action != ACTION_RUN) {
		print_host_action(action);
		return 0;
	}
	if (host_settings.make_key)
		return make_key_file(host_settings.make_key);
	log_text("dircast-serve: start\n");
	check_settings();
	if (host_settings.signing_key && !load_signing_key(host_settings.signing_key))
		exit_process(1);
	log_text("dircast-serve: sharing ");
	log_text(host_settings.share_root);
	log_text("\n");
	listener = open_listener();
	if (listener < 0)
		refuse("dircast-serve: listen failed\n");
	log_text("dircast-serve: listening on 0.0.0.0:");
	log_number(host_settings.listen_port);
	log_text("\n");
	beacon_socket = open_beacon_socket();
	if (beacon_socket < 0)
		refuse("dircast-serve: udp socket failed\n");
	log_text("dircast-serve: advertising share ");
	log_text(host_settings.share_name);
	log_text("\n");
	serve_loop(listener, beacon_socket);
}
