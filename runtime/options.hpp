// Command-line option matching: "--name value" and "--name=value".
#pragma once

namespace dircast {

int match_option(int *index, int argc, char **argv, const char *name, const char **value);

} // namespace dircast
