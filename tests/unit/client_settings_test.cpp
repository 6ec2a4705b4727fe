// Client settings beyond the shared option matcher: the poll cap and the
// lengths refused at start-up.
#include "client/settings.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using dircast::client_settings;

// The settings refer to the argument texts, so these outlive the call.
void parse(const std::vector<std::string> &args)
{
	static std::vector<std::string> kept;
	std::vector<char *> argv = {(char *)"dircast-mirror"};

	kept = args;
	for (std::string &a : kept)
		argv.push_back(a.data());
	dircast::reset_client_settings();
	dircast::parse_client_options((int)argv.size(), argv.data());
}

TEST(ClientSettings, PollIsCappedBelowTwoToThe31)
{
	const struct {
		const char *value;
		unsigned seconds;
	} cases[] = {{"2147483647", 2147483647u}, {"2147483648", 2147483647u}, {"4294967295", 2147483647u},
		     {"4294967296", 0}, {"abc", 0}, {"5x", 5}};

	for (const auto &c : cases) {
		parse({"--poll", c.value});
		EXPECT_EQ(client_settings.poll_seconds, c.seconds) << c.value;
	}
}

TEST(ClientSettings, OverlongPathsAreRefused)
{
	const struct {
		int root, dos;
		const char *refused;
	} cases[] = {{766, 252, nullptr}, {767, 252, "--mirror-root"}, {766, 253, "--dosdevices"},
		     {800, 300, "--mirror-root"}};

	for (const auto &c : cases) {
		parse({"--mirror-root", std::string(c.root, 'r'), "--dosdevices", std::string(c.dos, 'd')});
		EXPECT_STREQ(dircast::invalid_client_setting(), c.refused) << c.root << " " << c.dos;
	}
	dircast::reset_client_settings();
}

} // namespace
