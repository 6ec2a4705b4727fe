// Client settings: what the command line says, read once at start-up and
// afterwards only read (discovery may still set the port).
#pragma once

#include "../runtime/options.hpp"

namespace dircast {

struct ClientSettings {
	const char *mirror_root;   // the option's own text, never copied
	const char *drive;         // first byte is the Wine drive letter
	const char *dosdevices;    // Wine's directory of drive links
	unsigned beacon_port;
	unsigned connect_port;
	int port_given;            // the beacon may not change connect_port
	int direct_host_given;
	unsigned char direct_host[4];
	unsigned poll_seconds;     // 0: one turn, then end
	int run_once;
	const char *host_key;      // --host-key: the only host key taken, in hex; null: any host
	unsigned char host_public_key[32];  // host_key read, by invalid_client_setting
};

extern ClientSettings client_settings;

// Longest mirror root: one of 767 bytes would fill a 768-byte mirror path
// buffer with its NUL alone, and nothing could ever be joined below it.
constexpr int MIRROR_ROOT_LIMIT = 766;
// Longest dosdevices directory whose drive link, "/y:" and NUL, fits 256 bytes.
constexpr int DOSDEVICES_LIMIT = 252;
// nanosleep takes a signed seconds word: anything larger would be refused at
// once and turn the poll into a busy loop.
constexpr unsigned POLL_SECONDS_LIMIT = 2147483647u;

void reset_client_settings();
// Fills client_settings; returns what the command line asks for (the last
// --help, -h or --version, else a run).
Action parse_client_options(int argc, char **argv);
// The option (by its first name) whose value would not fit its buffers, or null.
const char *invalid_client_setting();

} // namespace dircast
