// Discovery: one blocking receive on the beacon port, without a time limit.
// The datagram's content is not checked: any sender on the beacon port is
// taken as the host, and only its " port=" field is read.
#include "discovery.hpp"
#include "settings.hpp"
#include "signed_listing.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/console.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

using namespace kernel;

char beacon_buffer[BEACON_BUFFER_SIZE];

void set_host_address(sockaddr_in *host, const unsigned char *address)
{
	for (int i = 0; i < 4; i++)
		host->sin_addr[i] = address[i];
}

void take_port_from_beacon()
{
	int at;

	if (client_settings.port_given)
		return;
	at = find_text(beacon_buffer, wire::PORT_FIELD);
	if (at >= 0)
		client_settings.connect_port = parse_decimal(beacon_buffer + at + sizeof wire::PORT_FIELD - 1);
}

long beacon_listener = -1;

// The beacon port on every address; negative when another program holds it.
static long open_beacon_listener()
{
	long socket = sys::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	sockaddr_in any = IPV4_ANY;

	if (socket < 0)
		return socket;
	store_port(&any, client_settings.beacon_port);
	if (sys::bind(socket, &any, sizeof any) < 0) {
		sys::close(socket);
		return -1;
	}
	return socket;
}

// A pinned mirror takes a sender only once its signed listing verifies,
// and otherwise waits on for the next; each sender's beacon sets the port
// afresh.
static long receive_beacon(long socket, sockaddr_in *host)
{
	unsigned configured_port = client_settings.connect_port;
	sockaddr_in sender = IPV4_ANY;
	int length = sizeof sender;
	long r;

	log_text("dircast-mirror: waiting for share beacon on 0.0.0.0:");
	log_number(client_settings.beacon_port);
	log_text("\n");
	do {
		length = sizeof sender;
		r = sys::recvfrom(socket, beacon_buffer, BEACON_BUFFER_SIZE - 1, 0, &sender, &length);
		if (r <= 0)
			return -1;
		beacon_buffer[r] = 0;
		set_host_address(host, sender.sin_addr);
		client_settings.connect_port = configured_port;
		take_port_from_beacon();
	} while (pinned_mirror() && !vet_discovered_host(host));
	log_text("dircast-mirror: beacon received\n");
	return 0;
}

// The socket stays open after discovery: later beacons may announce changes.
long discover_host(sockaddr_in *host)
{
	long socket = open_beacon_listener();

	if (socket < 0)
		return -1;
	if (receive_beacon(socket, host) < 0) {
		sys::close(socket);
		return -1;
	}
	beacon_listener = socket;
	return 0;
}

// A direct host still announces its changes by beacon when it is told to;
// the beacon port is listened on when it is free, and otherwise only the
// poll interval paces the turns.
long select_host(sockaddr_in *host)
{
	if (client_settings.direct_host_given) {
		set_host_address(host, client_settings.direct_host);
		log_text("dircast-mirror: using direct host\n");
		beacon_listener = open_beacon_listener();
		return 0;
	}
	if (discover_host(host) < 0) {
		log_text("dircast-mirror: discovery failed\n");
		return -1;
	}
	return 0;
}

} // namespace dircast
