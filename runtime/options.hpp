// Command-line option matching: "--name value" and "--name=value".
#pragma once

namespace dircast {

int match_option(int *index, int argc, char **argv, const char *name, const char **value);

// What the command line asks of a program: a run, or only its usage
// (--help, -h) or its version (--version) on standard output.
enum Action { ACTION_RUN, ACTION_USAGE, ACTION_VERSION };

// The action one argument asks for; ACTION_RUN for any other argument.
Action match_action(const char *arg);

// Reads one option at argv[*index] (moving *index past a value it takes)
// and says what it asks for.
using OptionReader = Action (*)(int *index, int argc, char **argv);

// Every argument through read_one, in order; the last action asked for
// other than a run wins.
Action read_options(int argc, char **argv, OptionReader read_one);

} // namespace dircast
