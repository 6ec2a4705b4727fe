// Client options: tried in a fixed order, both "--name value" and
// "--name=value"; anything unrecognised is skipped without a word.
#include "settings.hpp"
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

static void parse_one_option(int *index, int argc, char **argv)
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
	} else if (text_equals(argv[*index], "--once")) {
		s->run_once = 1;
	}
}

void parse_client_options(int argc, char **argv)
{
	for (int index = 1; index < argc; index++)
		parse_one_option(&index, argc, argv);
}

const char *invalid_client_setting()
{
	if (text_length(client_settings.mirror_root) > MIRROR_ROOT_LIMIT)
		return "--mirror-root";
	if (text_length(client_settings.dosdevices) > DOSDEVICES_LIMIT)
		return "--dosdevices";
	return nullptr;
}

} // namespace dircast
