// Link rules of the share walks. A link into the share root or one of its
// ancestors would publish the tree again below itself (a Wine prefix links
// its user folders to the home directory that holds it), and with a few
// such links the walk grows exponentially with the depth.
#include "link_policy.hpp"
#include "settings.hpp"
#include "../runtime/kernel.hpp"
#include "../runtime/text.hpp"

namespace dircast {

using namespace kernel;

// Physical ancestors of the share root, up to "/", itself included. A root
// deeper than this is checked against its lowest ones only; the walk path
// check still ends every loop.
constexpr int ROOT_ANCESTOR_LIMIT = 128;
// A path as the kernel resolves it is at most PATH_MAX bytes with the NUL.
constexpr int RESOLVED_PATH_SIZE = 4096;
// "/proc/self/fd/" and a descriptor's decimal digits.
constexpr int FD_LINK_SIZE = 32;

struct DirectoryId {
	unsigned long long dev;
	unsigned long long ino;
};

struct ShareRootFacts {
	int ancestors;
	DirectoryId ancestor[ROOT_ANCESTOR_LIMIT];
	int resolved_length;  // -1 when the root's resolved path is unknown
	char resolved[RESOLVED_PATH_SIZE];
};

static ShareRootFacts share_root_facts;

static int same_id(const DirectoryId *id, const kernel_stat *st)
{
	return id->dev == st->st_dev && id->ino == st->st_ino;
}

int root_or_ancestor(const kernel_stat *st)
{
	for (int i = 0; i < share_root_facts.ancestors; i++) {
		if (same_id(&share_root_facts.ancestor[i], st))
			return 1;
	}
	return 0;
}

// The path the kernel resolved for an open descriptor, its length or < 0.
// Read from procfs: without it no link is taken to stay within the share.
static long resolved_path(long fd, char *out)
{
	char link[FD_LINK_SIZE];
	int n = 0;
	long r;

	append_text(link, &n, "/proc/self/fd/");
	append_decimal(link, &n, (unsigned long)fd);
	link[n] = 0;
	r = sys::readlinkat(AT_FDCWD, link, out, RESOLVED_PATH_SIZE - 1);
	if (r < 0 || r >= RESOLVED_PATH_SIZE - 1 || out[0] != '/')
		return -1;
	out[r] = 0;
	return r;
}

// Each step goes up by "..", which "/" answers with itself. O_PATH opens
// need no permission to list the directories on the way.
static void learn_ancestors(long fd)
{
	kernel_stat st;
	ShareRootFacts *f = &share_root_facts;

	f->ancestors = 0;
	while (fd >= 0 && f->ancestors < ROOT_ANCESTOR_LIMIT && sys::fstat(fd, &st) == 0) {
		long parent;

		if (root_or_ancestor(&st))
			break;
		f->ancestor[f->ancestors++] = {st.st_dev, st.st_ino};
		parent = sys::openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
		sys::close(fd);
		fd = parent;
	}
	if (fd >= 0)
		sys::close(fd);
}

void learn_share_root()
{
	long fd = sys::open(host_settings.share_root, O_PATH | O_DIRECTORY | O_CLOEXEC);
	ShareRootFacts *f = &share_root_facts;

	f->resolved_length = -1;
	if (fd >= 0 && link_mode() == LINKS_WITHIN)
		f->resolved_length = resolved_path(fd, f->resolved);
	learn_ancestors(fd);
}

// Inside: the root itself (which the loop check then leaves out) or below
// it. The root "/" has every path below it.
static int resolves_within(const char *path, long length)
{
	const ShareRootFacts *f = &share_root_facts;
	long n = f->resolved_length;

	if (n < 0 || length < n)
		return 0;
	for (long i = 0; i < n; i++) {
		if (path[i] != f->resolved[i])
			return 0;
	}
	return length == n || path[n] == '/' || n == 1;
}

// A broken link resolves nowhere, so it is never within.
static int target_within(long dirfd, const char *name)
{
	char path[RESOLVED_PATH_SIZE];
	long fd = sys::openat(dirfd, name, O_PATH | O_CLOEXEC);
	long n;

	if (fd < 0)
		return 0;
	n = resolved_path(fd, path);
	sys::close(fd);
	return n > 0 && resolves_within(path, n);
}

// Following every link costs no look at the entry: the walk stays as fast
// as it was before the modes.
int link_followed(long dirfd, const char *name)
{
	LinkMode mode = link_mode();
	kernel_stat st;

	if (mode == LINKS_FOLLOW)
		return 1;
	if (sys::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) < 0)
		return 0;
	if ((st.st_mode & S_IFMT) != S_IFLNK)
		return 1;
	return mode == LINKS_WITHIN && target_within(dirfd, name);
}

} // namespace dircast
