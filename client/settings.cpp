// Client options: tried in a fixed order, both "--name value" and
// "--name=value"; anything unrecognised other than --help, -h and --version
// is skipped without a word.
#include "settings.hpp"
#include "drive_link.hpp"
#include "../protocol/signed_listing.hpp"
#include "../protocol/wire.hpp"
#include "../runtime/net.hpp"
#include "../runtime/options.hpp"
#include "../runtime/text.hpp"

namespace dircast {

constexpr ClientSettings DEFAULT_CLIENT_SETTINGS = {
	"/home/username/.wine/dosdevices/c:/share-mirror",
	"y",
	"/home/username/.wine/dosdevices",
	wire::DEFAULT_BEACON_PORT,
	wire::DEFAULT_LISTEN_PORT,
	0,
	0,
	{0, 0, 0, 0},
	30,
	0,
	nullptr,
	{},
};

constinit ClientSettings client_settings = DEFAULT_CLIENT_SETTINGS;

void reset_client_settings()
{
	client_settings = DEFAULT_CLIENT_SETTINGS;
}

// One option under its first name, then under its alias (may be null).
static int match_either(int *index, int argc, char **argv, const char *name, const char *alias,
			const char **value)
{
	if (match_option(index, argc, argv, name, value))
		return 1;
	return alias && match_option(index, argc, argv, alias, value);
}

static unsigned clamp_poll_seconds(unsigned seconds)
{
	return seconds > POLL_SECONDS_LIMIT ? POLL_SECONDS_LIMIT : seconds;
}

// An option's value is never taken for an action: "--drive --help" is drive
// "--help".
static Action parse_one_option(int *index, int argc, char **argv)
{
	ClientSettings *s = &client_settings;
	const char *value;

	if (match_either(index, argc, argv, "--mirror-root", "--target", &value)) {
		s->mirror_root = value;
	} else if (match_either(index, argc, argv, "--drive", nullptr, &value)) {
		s->drive = value;
	} else if (match_either(index, argc, argv, "--beacon-port", "--listen-port", &value)) {
		s->beacon_port = parse_decimal(value);
	} else if (match_either(index, argc, argv, "--port", "--connect-port", &value)) {
		s->connect_port = parse_decimal(value);
		s->port_given = 1;
	} else if (match_either(index, argc, argv, "--host", nullptr, &value)) {
		s->direct_host_given = parse_ipv4(value, s->direct_host);
	} else if (match_either(index, argc, argv, "--poll-seconds", "--poll", &value)) {
		s->poll_seconds = clamp_poll_seconds(parse_decimal(value));
	} else if (match_either(index, argc, argv, "--dosdevices", nullptr, &value)) {
		s->dosdevices = value;
	} else if (match_either(index, argc, argv, "--host-key", nullptr, &value)) {
		s->host_key = value;
	} else if (text_equals(argv[*index], "--once")) {
		s->run_once = 1;
	} else {
		return match_action(argv[*index]);
	}
	return ACTION_RUN;
}

// A trailing slash makes the kernel follow a link at the last component even
// under O_NOFOLLOW, so "/x/link/" would slip past the refusal of a linked
// mirror root; both directories are kept without one ("/" stays "/"). A
// value too long to copy is left as it is, to be refused as too long.
static char mirror_root_copy[MIRROR_ROOT_LIMIT + 1];
static char dosdevices_copy[DOSDEVICES_LIMIT + 1];

static const char *without_trailing_slashes(const char *path, char *copy, int capacity)
{
	int n = text_length(path);

	if (n < 2 || path[n - 1] != '/' || n >= capacity)
		return path;
	while (n > 1 && path[n - 1] == '/')
		n--;
	copy_span(copy, path, n);
	return copy;
}

Action parse_client_options(int argc, char **argv)
{
	ClientSettings *s = &client_settings;
	Action action = read_options(argc, argv, parse_one_option);

	s->mirror_root = without_trailing_slashes(s->mirror_root, mirror_root_copy, sizeof mirror_root_copy);
	s->dosdevices = without_trailing_slashes(s->dosdevices, dosdevices_copy, sizeof dosdevices_copy);
	return action;
}

// 1 when path is prefix itself or lies below it, by the text.
static int path_within(const char *path, const char *prefix)
{
	int n = text_length(prefix);

	return starts_with(path, prefix) && (path[n] == 0 || path[n] == '/');
}

// A key that is not 64 hex digits is refused: a pinned mirror must never
// fall back to taking any host. Every full sync empties the mirror root and every delta removes what the
// share lacks, so a root that holds Wine's own directory of drives (the
// home directory, the prefix, "/") would take the prefix with it; and a
// drive link on the way to the mirror root would point into itself.
const char *invalid_client_setting()
{
	ClientSettings *s = &client_settings;

	if (s->host_key && !parse_hex(s->host_key, s->host_public_key, ED25519_PUBLIC_SIZE))
		return "--host-key";
	if (text_length(s->mirror_root) > MIRROR_ROOT_LIMIT)
		return "--mirror-root";
	if (text_length(s->dosdevices) > DOSDEVICES_LIMIT)
		return "--dosdevices";
	if (text_equals(s->mirror_root, "/") || path_within(s->dosdevices, s->mirror_root) ||
	    mirror_root_holds_dosdevices())
		return "--mirror-root";
	build_link_path();
	if (path_within(s->mirror_root, link_buffer))
		return "--drive";
	return nullptr;
}

} // namespace dircast
