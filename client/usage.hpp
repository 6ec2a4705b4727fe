// --help and --version for dircast-mirror.
#pragma once

#include "../runtime/options.hpp"

namespace dircast {

// Prints the usage or the version on standard output; touches nothing else.
void print_client_action(Action action);

} // namespace dircast
