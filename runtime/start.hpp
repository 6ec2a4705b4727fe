// Process frame services for the programs.
#pragma once

namespace dircast {

[[noreturn]] void exit_process(long status);

} // namespace dircast
