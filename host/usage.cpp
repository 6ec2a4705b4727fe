// dircast-serve --help and --version: a newcomer's first command answers on
// standard output without opening a socket or a file.
#include "usage.hpp"
#include "../runtime/console.hpp"

namespace dircast {

// The defaults are those of host_settings; the manual page says the rest.
constexpr const char USAGE[] =
	"Usage: dircast-serve [OPTION]...\n"
	"Publishes one directory tree to dircast-mirror clients on the LAN.\n"
	"Each option as --opt value or --opt=value; a later one wins.\n"
	"\n"
	"  --root, --share-root DIR    directory to publish (default /home/username/.wine/dosdevices/c:/host)\n"
	"  --name, --share-name NAME   share name in beacon and headers (default c-host)\n"
	"  --drive TEXT                drive in the archive header (default c)\n"
	"  --path TEXT                 path in the archive header (default host)\n"
	"  --mode TEXT                 mode in beacon and archive header (default read-only)\n"
	"  --port, --listen-port PORT  TCP port for requests (default 19200)\n"
	"  --beacon-port PORT          UDP port beacons go to (default 19201)\n"
	"  --broadcast ADDRESS         where beacons go (default 10.0.3.255; on one machine 127.0.0.1)\n"
	"  --announce-changes          watch the share; beacons carry the manifest hash (default off)\n"
	"  --links follow|within|none  links followed: all, those into the share, none (default follow)\n"
	"  --signing-key FILE          sign listings with this key (default: listings unsigned)\n"
	"  --make-key FILE             write a new signing key to FILE, print its public key, exit\n"
	"  -h, --help                  print this help and exit\n"
	"  --version                   print the version and exit\n"
	"\n"
	"Manual: man dircast-serve\n";

void print_host_action(Action action)
{
	log_text(action == ACTION_VERSION ? "dircast-serve 0.1.0\n" : USAGE);
}

} // namespace dircast
