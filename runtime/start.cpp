// Process frame: the entry stub, the guards every run needs before main, and
// the process exit.
#include "arch.hpp"
#include "console.hpp"
#include "kernel.hpp"
#include "start.hpp"
#include "sys.hpp"

int main(int argc, char **argv);

DIRCAST_ENTRY_STUB

namespace dircast {

[[noreturn]] void exit_process(long status)
{
	flush_log();
	sys::exit(status);
}

// A program started with 0, 1 or 2 closed would hand that number to its first
// socket, and log lines would then go down the connection. /dev/null fills the gap.
static void guard_standard_descriptors()
{
	for (long fd = 0; fd <= 2; fd++) {
		if (sys::fcntl(fd, kernel::F_GETFD, 0) == -kernel::EBADF)
			sys::open("/dev/null", kernel::O_RDWR);
	}
}

// A reader that went away must come back as an error from send or write, not
// as a signal that ends the process.
static void ignore_broken_pipe()
{
	arch::kernel_sigaction act = {};

	act.handler = kernel::SIG_IGN;
	sys::rt_sigaction(kernel::SIGPIPE, &act);
}

// The initial stack: argc, argv[argc] and a null, the environment and a
// null, then the auxiliary vector, which may name a faster kernel entry.
static void read_auxiliary_vector(long *sp)
{
	long *p = sp + 1 + sp[0] + 1;

	while (*p)
		p++;
	arch::use_auxiliary_vector(p + 1);
}

} // namespace dircast

extern "C" [[noreturn]] void start_main(long *sp)
{
	dircast::read_auxiliary_vector(sp);
	dircast::guard_standard_descriptors();
	dircast::ignore_broken_pipe();
	dircast::exit_process(main((int)sp[0], (char **)(sp + 1)));
}
