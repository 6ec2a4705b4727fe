// Host settings and their options.
#include "settings.hpp"
#include "send_buffer.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/net.hpp"
#include "../runtime/options.hpp"
#include "../runtime/text.hpp"

namespace dircast {

constinit HostSettings host_settings = {
	"/home/username/.wine/dosdevices/c:/host",
	"c-host",
	"c",
	"host",
	"read-only",
	wire::DEFAULT_LISTEN_PORT,
	wire::DEFAULT_BEACON_PORT,
	{10, 0, 3, 255},
	1,
	0,
	nullptr,
	nullptr,
	"follow",
};

LinkMode link_mode()
{
	const char *links = host_settings.links;

	if (text_equals(links, "follow"))
		return LINKS_FOLLOW;
	if (text_equals(links, "within"))
		return LINKS_WITHIN;
	return text_equals(links, "none") ? LINKS_NONE : LINKS_UNKNOWN;
}

static int match_text(int *i, int argc, char **argv, const char *name, const char *alias, const char **field)
{
	return match_option(i, argc, argv, name, field) || (alias && match_option(i, argc, argv, alias, field));
}

static int match_number(int *i, int argc, char **argv, const char *name, const char *alias, unsigned *field)
{
	const char *value;

	if (!match_text(i, argc, argv, name, alias, &value))
		return 0;
	*field = parse_decimal(value);
	return 1;
}

// An option's value is never taken for an action: "--name --help" names the
// share "--help".
static Action parse_host_option(int *i, int argc, char **argv)
{
	HostSettings *s = &host_settings;
	const char *value;

	if (match_text(i, argc, argv, "--root", "--share-root", &s->share_root) ||
	    match_text(i, argc, argv, "--name", "--share-name", &s->share_name) ||
	    match_text(i, argc, argv, "--drive", nullptr, &s->drive) ||
	    match_text(i, argc, argv, "--path", nullptr, &s->path) ||
	    match_text(i, argc, argv, "--mode", nullptr, &s->mode) ||
	    match_text(i, argc, argv, "--links", nullptr, &s->links) ||
	    match_number(i, argc, argv, "--port", "--listen-port", &s->listen_port) ||
	    match_number(i, argc, argv, "--beacon-port", nullptr, &s->beacon_port) ||
	    match_text(i, argc, argv, "--make-key", nullptr, &s->make_key) ||
	    match_text(i, argc, argv, "--signing-key", nullptr, &s->signing_key))
		return ACTION_RUN;
	if (match_option(i, argc, argv, "--broadcast", &value)) {
		s->broadcast_valid = parse_ipv4(value, s->broadcast_address);
		return ACTION_RUN;
	}
	if (text_equals(argv[*i], "--announce-changes")) {
		s->announce_changes = 1;
		return ACTION_RUN;
	}
	return match_action(argv[*i]);
}

Action parse_host_options(int argc, char **argv)
{
	return read_options(argc, argv, parse_host_option);
}

static int has_control_byte(const char *text)
{
	for (; *text; text++) {
		if ((unsigned char)*text < 0x20)
			return 1;
	}
	return 0;
}

static int decimal_length(unsigned value)
{
	char digits[12];
	int n = 0;

	append_decimal(digits, &n, value);
	return n;
}

// The beacon and the manifest header are composed in send_buffer; both must
// fit with their NUL. The hash is counted at its widest, ten digits, and in
// the beacon too when it announces changes.
int settings_fit()
{
	const HostSettings *s = &host_settings;
	int beacon = text_length("DC-SHARE/1 name= root= port= mode=\n") + text_length(s->share_name) +
		     text_length(s->share_root) + decimal_length(s->listen_port) + text_length(s->mode) +
		     (s->announce_changes ? text_length(" hash=") + 10 : 0);
	int header = text_length("DC-SHARE-MANIFEST/1\nname=\nhash=\nentries=recursive\n\n") +
		     text_length(s->share_name) + 10;

	return beacon < SEND_BUFFER_SIZE && header < SEND_BUFFER_SIZE;
}

// Values that would break the protocol's lines or mislead readers that search
// for " port=" or "hash=" are refused rather than sent.
const char *invalid_setting()
{
	const HostSettings *s = &host_settings;

	if (has_control_byte(s->share_root) || find_text(s->share_root, wire::PORT_FIELD) >= 0)
		return "--root";
	if (has_control_byte(s->share_name) || find_text(s->share_name, "hash=") >= 0 ||
	    find_text(s->share_name, wire::PORT_FIELD) >= 0)
		return "--name";
	if (has_control_byte(s->drive))
		return "--drive";
	if (has_control_byte(s->path))
		return "--path";
	if (has_control_byte(s->mode))
		return "--mode";
	if (!s->broadcast_valid)
		return "--broadcast";
	if (link_mode() == LINKS_UNKNOWN)
		return "--links";
	return nullptr;
}

} // namespace dircast
