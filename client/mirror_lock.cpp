// The mirror root's lock, and the state file that older versions kept
// beside the mirror root, which goes at the first start of this one.
#include "mirror_lock.hpp"
#include "mirror_store.hpp"
#include "settings.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/sys.hpp"
#include "../runtime/text.hpp"

namespace dircast {

using namespace kernel;

constexpr char OLD_STATE_SUFFIX[] = ".dircast-manifest";
// The mirror root (at most 766 bytes), the suffix and the NUL.
constexpr int OLD_STATE_PATH_SIZE = MIRROR_ROOT_LIMIT + sizeof OLD_STATE_SUFFIX;

// Only a regular file goes: anything else at that name is not ours. It held
// a copy of the share's listing where Wine programs could read it. A root
// given with a trailing '/' had it inside, where a share's file may now be.
static void remove_old_state_file()
{
	char path[OLD_STATE_PATH_SIZE];
	kernel_stat st;
	int cursor = 0;
	int n = text_length(client_settings.mirror_root);

	if (n == 0 || client_settings.mirror_root[n - 1] == '/')
		return;
	append_text(path, &cursor, client_settings.mirror_root);
	append_text(path, &cursor, OLD_STATE_SUFFIX);
	path[cursor] = 0;
	if (sys::fstatat(AT_FDCWD, path, &st, AT_SYMLINK_NOFOLLOW) == 0 && (st.st_mode & S_IFMT) == S_IFREG)
		sys::unlink(path);
}

// The descriptor stays open, unused, as long as the process runs.
int lock_mirror_root()
{
	const char *root = client_settings.mirror_root;
	long fd;

	remove_old_state_file();
	make_parent_dirs(root);
	make_dir(root);
	fd = sys::open(root, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	if (fd < 0)
		return 1;
	if (sys::flock(fd, LOCK_EX | LOCK_NB) == 0)
		return 1;
	sys::close(fd);
	return 0;
}

} // namespace dircast
