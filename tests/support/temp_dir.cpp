#include "temp_dir.hpp"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace dircast_test {

TempDir::TempDir()
{
	char pattern[] = "/tmp/dircast-test-XXXXXX";

	if (!mkdtemp(pattern))
		abort();
	path = pattern;
}

TempDir::~TempDir()
{
	if (!getenv("DIRCAST_KEEP_TEMP"))
		remove_tree(path);
}

void write_file(const std::string &path, const std::string &content)
{
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);

	if (fd < 0)
		abort();
	if (write(fd, content.data(), content.size()) != (ssize_t)content.size())
		abort();
	close(fd);
}

std::string read_file(const std::string &path)
{
	std::string out;
	char buf[65536];
	int fd = open(path.c_str(), O_RDONLY);
	ssize_t n;

	if (fd < 0)
		return "<missing>";
	while ((n = read(fd, buf, sizeof buf)) > 0)
		out.append(buf, n);
	close(fd);
	return out;
}

bool exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

bool is_dir(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_link(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

void make_dirs(const std::string &path)
{
	for (size_t i = 1; i <= path.size(); i++) {
		if (i == path.size() || path[i] == '/')
			mkdir(path.substr(0, i).c_str(), 0777);
	}
}

void remove_tree(const std::string &path)
{
	struct stat st;

	if (lstat(path.c_str(), &st) != 0)
		return;
	if (S_ISDIR(st.st_mode)) {
		chmod(path.c_str(), 0700);
		if (DIR *d = opendir(path.c_str())) {
			while (dirent *e = readdir(d)) {
				std::string name = e->d_name;
				if (name != "." && name != "..")
					remove_tree(path + "/" + name);
			}
			closedir(d);
		}
		rmdir(path.c_str());
	} else {
		unlink(path.c_str());
	}
}

static void list_into(const std::string &root, const std::string &rel, std::vector<std::string> &out)
{
	DIR *d = opendir((root + "/" + rel).c_str());

	if (!d)
		return;
	while (dirent *e = readdir(d)) {
		std::string name = e->d_name;
		if (name == "." || name == "..")
			continue;
		std::string r = rel.empty() ? name : rel + "/" + name;
		std::string full = root + "/" + r;
		struct stat st;
		lstat(full.c_str(), &st);
		if (S_ISLNK(st.st_mode)) {
			char target[4096];
			ssize_t n = readlink(full.c_str(), target, sizeof target);
			out.push_back("l " + r + " -> " + std::string(target, n > 0 ? n : 0));
		} else if (S_ISDIR(st.st_mode)) {
			out.push_back("d " + r + "/");
			list_into(root, r, out);
		} else {
			out.push_back("f " + r + " " + std::to_string(st.st_size));
		}
	}
	closedir(d);
}

std::vector<std::string> list_tree(const std::string &root)
{
	std::vector<std::string> out;

	list_into(root, "", out);
	std::sort(out.begin(), out.end());
	return out;
}

std::vector<std::string> snapshot(const std::string &root)
{
	std::vector<std::string> out;

	for (const std::string &e : list_tree(root)) {
		out.push_back(e);
		if (e[0] == 'f')
			out.push_back(read_file(root + "/" + e.substr(2, e.rfind(' ') - 2)));
	}
	return out;
}

} // namespace dircast_test
