// Delta sync over any manifest: the prune pass against a mirror holding the
// seed share's files and planted links, then the update pass. The input is
// the manifest up to its first "\nEND\n"; what follows is the host's reply to
// every single-file request (fetch_seam.cpp), or a failed fetch when empty.
// After the sync, the manifest index that its prune pass built (from the
// untouched manifest; the update pass only turns line ends into NULs) is held
// against a plain scan of the manifest's lines for every path a line lists.
#include "fetch_seam.hpp"
#include "scratch.hpp"
#include "client/delta.hpp"
#include "client/manifest_index.hpp"
#include "client/transfers.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::vector<std::string_view> manifest_lines(std::string_view manifest)
{
	std::vector<std::string_view> lines;
	size_t start = 0;

	for (size_t end; (end = manifest.find_first_of(std::string_view("\n\0", 2), start)) != manifest.npos;
	     start = end + 1)
		lines.push_back(manifest.substr(start, end - start));
	lines.push_back(manifest.substr(start));
	return lines;
}

// A line lists a path when it starts with the kind's prefix, the path follows
// in full, and the line ends or has a space right after it.
bool scan_lists(const std::vector<std::string_view> &lines, std::string_view relative, bool directory)
{
	std::string_view prefix = directory ? "dir path=" : "file path=";

	for (std::string_view line : lines) {
		if (line.substr(0, prefix.size()) != prefix)
			continue;
		std::string_view rest = line.substr(prefix.size());
		if (!relative.empty() && rest.substr(0, relative.size()) == relative &&
		    (rest.size() == relative.size() || rest[relative.size()] == ' '))
			return true;
	}
	return false;
}

// Candidates: every prefix (up to 64 bytes) of every record's path text, as
// either kind.
void check_index(std::string_view manifest)
{
	std::vector<std::string_view> lines = manifest_lines(manifest);

	for (std::string_view line : lines) {
		size_t at = line.find("path=");
		if (at == line.npos)
			continue;
		std::string text(line.substr(at + 5, 64));
		for (size_t n = 1; n <= text.size(); n++) {
			std::string relative = text.substr(0, n);
			for (bool directory : {false, true}) {
				if (dircast::manifest_index_lists(relative.c_str(), directory) ==
				    scan_lists(lines, relative, directory))
					continue;
				fprintf(stderr, "manifest index and scan disagree on %s (%s)\n", relative.c_str(),
					directory ? "dir" : "file");
				abort();
			}
		}
	}
}

// With every fetch failing, nothing is written: what the sync leaves in the
// mirror is what the prune kept, listed with its own kind (a link counts as
// a file), and the directories the dir records made on their way down.
void check_pruned(std::string_view manifest, const std::string &root, const std::string &relative)
{
	std::vector<std::string_view> lines = manifest_lines(manifest);
	DIR *d = opendir((root + "/" + relative).c_str());

	while (dirent *e = d ? readdir(d) : nullptr) {
		std::string name = e->d_name, rel = relative.empty() ? name : relative + "/" + name;
		struct stat st;
		if (name == "." || name == ".." || lstat((root + "/" + rel).c_str(), &st) != 0)
			continue;
		bool directory = S_ISDIR(st.st_mode), listed = scan_lists(lines, rel, directory);
		for (std::string_view line : lines)
			listed = listed || (directory && line.rfind("dir path=" + rel + "/", 0) == 0);
		if (!listed) {
			fprintf(stderr, "the %s %s is in the mirror but not in the manifest\n",
				directory ? "directory" : "file", rel.c_str());
			abort();
		}
		if (directory)
			check_pruned(manifest, root, rel);
	}
	if (d)
		closedir(d);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz::scratch();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string_view input((const char *)data, size);
	size_t cut = input.find("\nEND\n");
	std::string_view manifest = cut == std::string_view::npos ? input : input.substr(0, cut + 5);
	dircast::sockaddr_in host = dircast::IPV4_ANY;

	if (manifest.size() > (size_t)dircast::MANIFEST_BUFFER_SIZE - 1)
		manifest = manifest.substr(0, dircast::MANIFEST_BUFFER_SIZE - 1);
	fuzz::fetch_reply = input.substr(manifest.size());
	fuzz::reset_mirror(true);
	memcpy(dircast::manifest_buffer, manifest.data(), manifest.size());
	dircast::manifest_buffer[manifest.size()] = 0;
	dircast::manifest_length = (long)manifest.size();
	dircast::delta_sync(&host);
	fuzz::check_confined("delta sync");
	check_index(manifest);
	if (fuzz::fetch_reply.empty())
		check_pruned(manifest, fuzz::scratch().mirror, "");
	return 0;
}
