// Host settings: filled once from the command line, then only read.
#pragma once

#include "../runtime/options.hpp"

namespace dircast {

struct HostSettings {
	const char *share_root;
	const char *share_name;
	const char *drive;
	const char *path;
	const char *mode;
	unsigned listen_port;
	unsigned beacon_port;
	unsigned char broadcast_address[4];
	int broadcast_valid;
	int announce_changes;  // beacons carry " hash=" and the manifest hash
	const char *make_key;     // --make-key: write a new key there and end
	const char *signing_key;  // --signing-key: sign listings with this key
	const char *links;     // "follow", "within" or "none" (see link_mode)
};

// --links: which symbolic links in the share the walks follow. Every mode
// leaves out the links that loop back into the share or above it.
enum LinkMode { LINKS_FOLLOW, LINKS_WITHIN, LINKS_NONE, LINKS_UNKNOWN };

extern HostSettings host_settings;

LinkMode link_mode();

// Fills host_settings; returns what the command line asks for (the last
// --help, -h or --version, else a run).
Action parse_host_options(int argc, char **argv);
// The first option (by its first name) whose value the protocol cannot carry,
// or null.
const char *invalid_setting();
// 1 when the beacon and the manifest header fit the send buffer.
int settings_fit();

} // namespace dircast
