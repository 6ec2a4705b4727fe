#include "scratch.hpp"
#include "client/settings.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fuzz {

static Scratch the_scratch;
static std::vector<std::string> baseline;

static void put(const std::string &path, const std::string &bytes)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

	if (fd < 0 || write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size())
		abort();
	close(fd);
}

static std::string slurp(const std::string &path)
{
	std::string out;
	char buf[4096];
	int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW);
	ssize_t n;

	while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0)
		out.append(buf, n);
	if (fd >= 0)
		close(fd);
	return out;
}

static std::string link_target(const std::string &path)
{
	char target[4096];
	ssize_t n = readlink(path.c_str(), target, sizeof target);

	return std::string(target, n > 0 ? n : 0);
}

static std::string times(const struct stat &st)
{
	return std::to_string(st.st_ino) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
	       std::to_string(st.st_mtim.tv_nsec) + " " + std::to_string(st.st_ctim.tv_sec) + "." +
	       std::to_string(st.st_ctim.tv_nsec) + " " + std::to_string(st.st_mode);
}

// Every entry below the base except the mirror root's contents, one line each.
// The dosdevices directory changes whenever the drive is mapped, and its
// drive link is replaced: they are described by kind and target only.
static void describe(const std::string &path, std::vector<std::string> &out)
{
	const Scratch &s = the_scratch;
	struct stat st;

	if (lstat(path.c_str(), &st) != 0)
		return;
	if (path == s.mirror) {
		out.push_back("mirror root " + std::string(S_ISDIR(st.st_mode) ? "is a directory" : "REPLACED"));
		return;
	}
	if (path == s.dos + "/y:") {
		out.push_back("drive link -> " + link_target(path));
		return;
	}
	if (S_ISLNK(st.st_mode)) {
		out.push_back("l " + path + " -> " + link_target(path) + " " + times(st));
	} else if (S_ISDIR(st.st_mode)) {
		out.push_back("d " + path + (path == s.dos ? "" : " " + times(st)));
		if (DIR *d = opendir(path.c_str())) {
			std::vector<std::string> names;
			while (dirent *e = readdir(d))
				if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
					names.push_back(e->d_name);
			closedir(d);
			std::sort(names.begin(), names.end());
			for (const std::string &name : names)
				describe(path + "/" + name, out);
		}
	} else {
		out.push_back("f " + path + " " + times(st) + " " + std::to_string(st.st_size) + " [" + slurp(path) +
			      "]");
	}
}

static int remove_entry(const char *path, const struct stat *, int, FTW *)
{
	remove(path);
	return 0;
}

// Removes what lies below path, never following a link; path itself stays.
static void empty_directory(const std::string &path)
{
	std::vector<std::string> names;

	if (DIR *d = opendir(path.c_str())) {
		while (dirent *e = readdir(d))
			if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
				names.push_back(e->d_name);
		closedir(d);
	}
	for (const std::string &name : names)
		nftw((path + "/" + name).c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

static void remove_scratch()
{
	empty_directory(the_scratch.base);
	rmdir(the_scratch.base.c_str());
}

const Scratch &scratch()
{
	Scratch &s = the_scratch;

	if (!s.base.empty())
		return s;
	const char *parent = getenv("DIRCAST_FUZZ_TMP");
	struct stat st;
	if (!parent)
		parent = stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
	std::string pattern = std::string(parent) + "/dircast-fuzz-XXXXXX";
	if (!mkdtemp(pattern.data()))
		abort();
	s.base = pattern;
	s.mirror = s.base + "/root/mirror";
	s.dos = s.base + "/dos";
	mkdir((s.base + "/outside").c_str(), 0777);
	mkdir((s.base + "/root").c_str(), 0777);
	mkdir((s.base + "/root/mirrorx").c_str(), 0777);
	mkdir(s.mirror.c_str(), 0777);
	mkdir(s.dos.c_str(), 0777);
	mkdir((s.dos + "/c:").c_str(), 0777);
	put(s.base + "/canary", "canary: never written through a link\n");
	put(s.base + "/outside/secret", "outside the mirror\n");
	put(s.base + "/root/sibling", "beside the mirror root\n");
	put(s.base + "/root/mirrorx/f", "a sibling whose name extends the root's\n");
	put(s.mirror + ".dircast-manifest", "");  // the client's own state file, made up front
	symlink(s.mirror.c_str(), (s.dos + "/y:").c_str());
	atexit(remove_scratch);

	static std::string root_text = s.mirror, dos_text = s.dos;
	dircast::client_settings.mirror_root = root_text.c_str();
	dircast::client_settings.dosdevices = dos_text.c_str();
	if (!getenv("DIRCAST_FUZZ_LOG")) {
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		close(null);
	}
	describe(s.base, baseline);
	return s;
}

// The seed share of fuzz/seed_corpus.py, less what the links stand in for.
void reset_mirror(bool share_files)
{
	const Scratch &s = scratch();
	const std::string m = s.mirror;

	empty_directory(m);
	mkdir((m + "/sub").c_str(), 0777);
	symlink((s.base + "/canary").c_str(), (m + "/link_canary").c_str());
	symlink((s.base + "/outside").c_str(), (m + "/link_outside").c_str());
	symlink("../../outside", (m + "/rel_outside").c_str());
	symlink("../../sibling", (m + "/sub/link_up").c_str());
	symlink((s.base + "/outside").c_str(), (m + "/sub/dirlink").c_str());
	symlink("self", (m + "/self").c_str());
	if (!share_files)
		return;
	mkdir((m + "/sub/deep").c_str(), 0777);
	put(m + "/a.txt", "abc");
	put(m + "/a b", "space");
	put(m + "/end.txt", "tail\nEND\n");
	put(m + "/sub/b.txt", "");
	put(m + "/sub/deep/c.bin", std::string("\0\xff\nEND\ndir path=x\n", 18));
}

void check_confined(const char *stage)
{
	std::vector<std::string> now;

	describe(scratch().base, now);
	if (now == baseline)
		return;
	fprintf(stderr, "dircast fuzz: outside the mirror root changed (%s)\n", stage);
	for (const std::string &line : baseline)
		if (std::find(now.begin(), now.end(), line) == now.end())
			fprintf(stderr, "  was: %s\n", line.c_str());
	for (const std::string &line : now)
		if (std::find(baseline.begin(), baseline.end(), line) == baseline.end())
			fprintf(stderr, "  now: %s\n", line.c_str());
	abort();
}

} // namespace fuzz
