// The host's sockets and its endless loop. One thread serves every
// connection: each one gathers and sends a bounded piece of its answer per
// turn, and one that would wait on its peer yields to the others.
#include "connection_slots.hpp"
#include "send_buffer.hpp"
#include "serve_loop.hpp"
#include "settings.hpp"
#include "share_watch.hpp"
#include "waiting_peers.hpp"
#include "../runtime/clock.hpp"
#include "../runtime/console.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/net.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

char send_buffer[SEND_BUFFER_SIZE];

constexpr long BEACON_INTERVAL_MS = 250;
// Peers that find every slot taken wait here until one frees up.
constexpr long LISTEN_BACKLOG = 128;

// Address reuse lets a restarted host bind while its previous run's
// connections still wait out their close; a live listener still holds the port.
long open_listener()
{
	sockaddr_in address = IPV4_ANY;
	long fd = sys::socket(kernel::AF_INET, kernel::SOCK_STREAM, 0);

	if (fd < 0)
		return fd;
	set_socket_flag(fd, kernel::SO_REUSEADDR);
	store_port(&address, host_settings.listen_port);
	if (sys::bind(fd, &address, sizeof address) < 0 || sys::listen(fd, LISTEN_BACKLOG) < 0)
		return -1;
	sys::fcntl(fd, kernel::F_SETFL, kernel::O_NONBLOCK);
	return fd;
}

// Without SO_BROADCAST the kernel refuses datagrams to a broadcast address.
long open_beacon_socket()
{
	long fd = sys::socket(kernel::AF_INET, kernel::SOCK_DGRAM, kernel::IPPROTO_UDP);

	if (fd >= 0)
		set_socket_flag(fd, kernel::SO_BROADCAST);
	return fd;
}

// With --announce-changes, " hash=" and the manifest hash once it is known;
// without, the beacon stays byte for byte as it always was.
static void append_announced_hash(char *out, int *n)
{
	unsigned hash;

	if (!host_settings.announce_changes || !announced_share_hash(&hash))
		return;
	append_text(out, n, " hash=");
	append_decimal(out, n, hash);
}

long send_beacon(long beacon_socket)
{
	const HostSettings *s = &host_settings;
	sockaddr_in to = IPV4_ANY;
	int n = 0;

	store_port(&to, s->beacon_port);
	for (int i = 0; i < 4; i++)
		to.sin_addr[i] = s->broadcast_address[i];
	append_text(send_buffer, &n, "DC-SHARE/1 name=");
	append_text(send_buffer, &n, s->share_name);
	append_text(send_buffer, &n, " root=");
	append_text(send_buffer, &n, s->share_root);
	append_text(send_buffer, &n, " port=");
	append_decimal(send_buffer, &n, s->listen_port);
	append_text(send_buffer, &n, " mode=");
	append_text(send_buffer, &n, s->mode);
	append_announced_hash(send_buffer, &n);
	append_char(send_buffer, &n, '\n');
	send_buffer[n] = 0;
	return sys::sendto(beacon_socket, send_buffer, n, 0, &to, sizeof to);
}

static void keep_beacon_on_time(BeaconTimer *beacon)
{
	unsigned long now;

	if (!beacon || (long)(beacon->next - (now = monotonic_ms())) > 0)
		return;
	send_beacon(beacon->socket);
	beacon->next = now + BEACON_INTERVAL_MS;
}

// The listener first, while a slot is free or could be given up to a peer of
// another address and accepting is not paused, then every connection that
// waits; slot_of names the slot of each entry.
static pollfd poll_set[CONNECTION_SLOTS + 2];
static int slot_of[CONNECTION_SLOTS + 2];
static short slot_events[CONNECTION_SLOTS];
// Out of descriptors, accept fails while the peer stays queued, and a
// listener still polled would wake every turn at once; it rests a beacon
// interval instead.
static unsigned long accept_paused_until;
static unsigned turn_number;


// slot_of for the listener and for the share watch's descriptor.
constexpr int LISTENER_ENTRY = -1;
constexpr int SHARE_WATCH_ENTRY = -2;

// The number of entries; *busy set when a connection has work without waiting.
static int gather_waits(long listener, unsigned long now, int *busy)
{
	int count = 0;

	*busy = 0;
	if (listener >= 0 && (free_slot() || slots_shared()) && (long)(now - accept_paused_until) >= 0) {
		poll_set[count] = {(int)listener, kernel::POLLIN, 0};
		slot_of[count++] = LISTENER_ENTRY;
	}
	if (host_settings.announce_changes && share_watch_fd() >= 0) {
		poll_set[count] = {(int)share_watch_fd(), kernel::POLLIN, 0};
		slot_of[count++] = SHARE_WATCH_ENTRY;
	}
	for (int i = 0; i < slots_usable; i++) {
		Connection *c = &connection_slots[i];
		short events = in_use(c) ? connection_events(c) : 0;

		slot_events[i] = 0;
		if (in_use(c) && !events)
			*busy = 1;
		if (!events)
			continue;
		poll_set[count] = {(int)c->reply.socket, events, 0};
		slot_of[count++] = i;
	}
	return count;
}

static unsigned address_word(const sockaddr_in *from)
{
	const unsigned char *a = from->sin_addr;

	return a[0] | (unsigned)a[1] << 8 | (unsigned)a[2] << 16 | (unsigned)a[3] << 24;
}

// A full table is shared by peer address: a peer whose address holds fewer
// slots takes one from the address holding the most; any other waits its
// turn, and is turned away only when every waiting place is taken too.
static void take_peer(long fd, unsigned address, unsigned long now)
{
	Connection *c = free_slot();

	if (!c && (c = slot_to_take(address)))
		give_up_slot(c);
	if (c) {
		open_connection(c, fd, address, now);
	} else if (!wait_for_slot(fd, address)) {
		log_text("dircast-serve: peer turned away, every slot and waiting place taken\n");
		sys::close(fd);
	}
}

static void accept_connections(long listener, unsigned long now)
{
	while (free_slot() || slots_shared()) {
		sockaddr_in from = IPV4_ANY;
		int length = sizeof from;
		long fd = sys::accept4(listener, &from, &length, kernel::SOCK_NONBLOCK | kernel::SOCK_CLOEXEC);

		if (fd == -kernel::EMFILE || fd == -kernel::ENFILE)
			accept_paused_until = now + BEACON_INTERVAL_MS;
		if (fd < 0)
			return;
		take_peer(fd, address_word(&from), now);
	}
}

// Starting from a slot that moves each turn, so no slot is always first.
static void serve_connections(BeaconTimer *beacon)
{
	int start = (int)(turn_number++ % (unsigned)slots_usable);

	for (int k = 0; k < slots_usable; k++) {
		int i = (start + k) % slots_usable;
		Connection *c = &connection_slots[i];

		if (!in_use(c) || (connection_events(c) && !slot_events[i]))
			continue;
		serve_connection(c, slot_events[i], monotonic_ms());
		keep_beacon_on_time(beacon);
	}
}

// A host that announces changes wakes for its watch too.
static long sooner_for_share_watch(long wait, unsigned long now)
{
	long watch_wait = host_settings.announce_changes ? share_watch_wait(now) : -1;

	return watch_wait >= 0 && (wait < 0 || watch_wait < wait) ? watch_wait : wait;
}

// A new hash goes out in a beacon at once rather than at the next tick.
static void tend_changes(BeaconTimer *beacon, short events)
{
	if (host_settings.announce_changes && tend_share_watch(events, monotonic_ms()) && beacon)
		beacon->next = monotonic_ms();
	keep_beacon_on_time(beacon);
}

void serve_turn(long listener, BeaconTimer *beacon)
{
	unsigned long now = monotonic_ms();
	long wait = 0;
	short watch_events = 0;
	int busy;
	int count;

	keep_beacon_on_time(beacon);
	for (int i = 0; i < slots_usable; i++) {
		if (in_use(&connection_slots[i]))
			check_connection_bounds(&connection_slots[i], now);
	}
	seat_waiting_peers(now);
	count = gather_waits(listener, now, &busy);
	if (!busy && beacon)
		wait = (long)(beacon->next - now) > 0 ? (long)(beacon->next - now) : 0;
	wait = sooner_for_share_watch(wait, now);
	if (sys::poll(poll_set, count, wait) <= 0)
		count = 0;
	for (int k = 0; k < count; k++) {
		if (slot_of[k] >= 0)
			slot_events[slot_of[k]] = poll_set[k].revents;
		else if (slot_of[k] == SHARE_WATCH_ENTRY)
			watch_events = poll_set[k].revents;
		else if (poll_set[k].revents)
			accept_connections(listener, monotonic_ms());
	}
	tend_changes(beacon, watch_events);
	serve_connections(beacon);
}

void serve_loop(long listener, long beacon_socket)
{
	BeaconTimer beacon = {beacon_socket, monotonic_ms()};

	fit_slots_to_descriptor_limit();
	if (host_settings.announce_changes)
		start_share_watch();
	for (;;)
		serve_turn(listener, &beacon);
}

} // namespace dircast
