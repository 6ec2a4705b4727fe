// Command-line option matching.
#include "options.hpp"
#include "text.hpp"

namespace dircast {

// On a match with the value in the next argument, *index is left on that
// value, so the caller's one step past it skips both.
int match_option(int *index, int argc, char **argv, const char *name, const char **value)
{
	const char *arg = argv[*index];
	int n = text_length(name);

	if (text_equals(arg, name)) {
		if (*index + 1 >= argc)
			return 0;
		*index += 1;
		*value = argv[*index];
		return 1;
	}
	if (starts_with(arg, name) && arg[n] == '=') {
		*value = arg + n + 1;
		return 1;
	}
	return 0;
}

Action match_action(const char *arg)
{
	if (text_equals(arg, "--help") || text_equals(arg, "-h"))
		return ACTION_USAGE;
	if (text_equals(arg, "--version"))
		return ACTION_VERSION;
	return ACTION_RUN;
}

Action read_options(int argc, char **argv, OptionReader read_one)
{
	Action action = ACTION_RUN;

	for (int index = 1; index < argc; index++) {
		Action asked = read_one(&index, argc, argv);

		if (asked != ACTION_RUN)
			action = asked;
	}
	return action;
}

} // namespace dircast
