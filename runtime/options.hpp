// Command-line option matching: "--name value" and "--name=value".
#pragma once

namespace dircast {

int match_option(int *index, int argc, char **argv, const char *name, const char **value);

// What the command line asks of a program: a run, or only its usage
// (--help, -h) or its version (--version) on standard output.
enum Action { ACTION_RUN, ACTION_USAGE, ACTION_VERSION };

// The action one argument asks for; ACTION_RUN for any other argument.
Action match_action(const char *arg);

} // namespace dircast
