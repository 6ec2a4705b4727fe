// Delta sync over any manifest: the prune pass against a mirror holding the
// seed share's files and planted links, then the update pass. The input is
// the manifest up to its first "\nEND\n"; what follows is the host's reply to
// every single-file request (fetch_seam.cpp), or a failed fetch when empty.
// The manifest goes to the spool as the fetch leaves it. After the sync, the
// path index that its prune pass built is held against a plain reading of
// the manifest's lines for every path a line names.
#include "fetch_seam.hpp"
#include "scratch.hpp"
#include "client/delta.hpp"
#include "client/manifest_index.hpp"
#include "client/manifest_spool.hpp"
#include "client/reply_stream.hpp"

#include <algorithm>
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

// The lines as the spool reader gives them: each ended by LF (a last line
// without one never came whole), one longer than the reader keeps left out,
// each read up to its first NUL.
std::vector<std::string> manifest_lines(std::string_view manifest)
{
	std::vector<std::string> lines;
	size_t start = 0;

	for (size_t end; (end = manifest.find('\n', start)) != manifest.npos; start = end + 1) {
		std::string_view line = manifest.substr(start, end - start);
		if (line.size() < (size_t)dircast::STREAM_LINE_SIZE)
			lines.emplace_back(line.substr(0, line.find('\0')));
	}
	return lines;
}

// A dir line lists exactly its path; a file line the text up to the first
// " size=", when there is some.
bool scan_lists(const std::vector<std::string> &lines, std::string_view relative, bool directory)
{
	for (const std::string &line : lines) {
		std::string_view l = line;
		if (directory && l.substr(0, 9) == "dir path=" && l.substr(9) == relative)
			return !relative.empty();
		if (!directory && l.substr(0, 10) == "file path=" && l.find(" size=") != l.npos &&
		    l.substr(10, l.find(" size=") - 10) == relative)
			return !relative.empty();
	}
	return false;
}

// Candidates: every prefix (up to 64 bytes) of every record's path text, as
// either kind.
void check_index(std::string_view manifest)
{
	std::vector<std::string> lines = manifest_lines(manifest);

	for (std::string_view line : lines) {
		size_t at = line.find("path=");
		if (at == line.npos)
			continue;
		std::string text(line.substr(at + 5, 64));
		for (size_t n = 1; n <= text.size(); n++) {
			std::string relative = text.substr(0, n);
			for (bool directory : {false, true}) {
				if (dircast::path_index_overflowed() ||
				    dircast::path_index_lists(relative.c_str(), directory) ==
				    scan_lists(lines, relative, directory))
					continue;
				fprintf(stderr, "manifest index and scan disagree on %s (%s): index %d\n", relative.c_str(),
					directory ? "dir" : "file", dircast::path_index_lists(relative.c_str(), directory));
				abort();
			}
		}
	}
}

// With every fetch failing, nothing is fetched: what the sync leaves in the
// mirror is what the prune kept, listed with its own kind (a link counts as
// a file), the empty files that need no fetch, and the directories the dir
// records and those files made on their way down.
void check_pruned(std::string_view manifest, const std::string &root, const std::string &relative)
{
	std::vector<std::string> lines = manifest_lines(manifest);
	DIR *d = opendir((root + "/" + relative).c_str());

	while (dirent *e = d ? readdir(d) : nullptr) {
		std::string name = e->d_name, rel = relative.empty() ? name : relative + "/" + name;
		struct stat st;
		if (name == "." || name == ".." || lstat((root + "/" + rel).c_str(), &st) != 0)
			continue;
		bool directory = S_ISDIR(st.st_mode), listed = scan_lists(lines, rel, directory);
		for (const std::string &line : lines)
			listed = listed || (directory && (line.rfind("dir path=" + rel + "/", 0) == 0 ||
							  line.rfind("file path=" + rel + "/", 0) == 0));
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

	fuzz::fetch_reply = input.substr(manifest.size());
	fuzz::reset_mirror(true);
	dircast::begin_spool();
	dircast::spool_bytes(manifest.data(), (long)manifest.size());
	dircast::end_spool();
	dircast::delta_sync(&host);
	fuzz::check_confined("delta sync");
	// Only a manifest from its magic to its end line is acted on.
	bool whole = manifest.substr(0, 19) == "DC-SHARE-MANIFEST/1" && manifest.size() >= 24 &&
		     manifest.substr(manifest.size() - 5) == "\nEND\n";
	if (whole)
		check_index(manifest);
	if (whole && fuzz::fetch_reply.empty())
		check_pruned(manifest, fuzz::scratch().mirror, "");
	return 0;
}
