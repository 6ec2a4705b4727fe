// Test-only helpers: a private temporary directory per test, and file
// shortcuts for building share and mirror trees in it.
#pragma once

#include <string>
#include <vector>

namespace dircast_test {

struct TempDir {
	std::string path;
	TempDir();
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;
	std::string operator/(const std::string &name) const { return path + "/" + name; }
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool exists(const std::string &path);     // lstat: a dangling link exists
bool is_dir(const std::string &path);     // lstat: a link to a directory is not one
bool is_link(const std::string &path);
void make_dirs(const std::string &path);  // mkdir -p
void remove_tree(const std::string &path);
// Every entry below root as "d name/" or "f name size" or "l name -> target",
// sorted: a whole tree compared in one assertion.
std::vector<std::string> list_tree(const std::string &root);
// The listing and every file's bytes: equal snapshots are equal trees.
std::vector<std::string> snapshot(const std::string &root);

} // namespace dircast_test
