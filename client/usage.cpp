// dircast-mirror --help and --version: a newcomer's first command answers on
// standard output without opening a socket or a file.
#include "usage.hpp"
#include "../runtime/console.hpp"

namespace dircast {

// The defaults are those of DEFAULT_CLIENT_SETTINGS; the manual page says the rest.
constexpr const char USAGE[] =
	"Usage: dircast-mirror [OPTION]...\n"
	"Mirrors the tree of a dircast-serve host and points a Wine drive letter at it.\n"
	"Each option as --opt value or --opt=value; a later one wins.\n"
	"\n"
	"  --mirror-root, --target DIR        where the copy goes (default /home/username/.wine/dosdevices/c:/share-mirror)\n"
	"  --drive LETTER                     Wine drive letter (default y)\n"
	"  --beacon-port, --listen-port PORT  UDP port to wait on for a beacon (default 19201)\n"
	"  --port, --connect-port PORT        host's TCP port (default 19200, else the beacon's)\n"
	"  --host ADDRESS                     host's IPv4 address, no discovery (default: the beacon's sender)\n"
	"  --poll-seconds, --poll SECONDS     pause between turns, 0 for one turn (default 30)\n"
	"  --dosdevices DIR                   Wine's drive links (default /home/username/.wine/dosdevices)\n"
	"  --once                             end after one turn (default: keep polling)\n"
	"  --host-key HEX                     take only listings signed by this key (64 hex digits;\n"
	"                                     default: any host, nothing checked)\n"
	"  -h, --help                         print this help and exit\n"
	"  --version                          print the version and exit\n"
	"\n"
	"Manual: man dircast-mirror\n";

void print_client_action(Action action)
{
	log_text(action == ACTION_VERSION ? "dircast-mirror 0.1.0\n" : USAGE);
}

} // namespace dircast
