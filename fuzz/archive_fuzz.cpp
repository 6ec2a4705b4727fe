// Archive application, fed any reply the host might send: first as a
// single-file answer applied over a mirror that holds planted links (as the
// delta sync does), then as a full sync (header test, prune, apply), after
// which everything in the mirror must be what some record of the input says.
#include "scratch.hpp"
#include "client/archive.hpp"
#include "client/transfers.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Entry {
	std::string relative;
	bool directory;
	std::string content;
};

void list_mirror(const std::string &root, const std::string &relative, std::vector<Entry> &out)
{
	DIR *d = opendir((root + (relative.empty() ? "" : "/" + relative)).c_str());

	while (dirent *e = d ? readdir(d) : nullptr) {
		std::string name = e->d_name;
		if (name == "." || name == "..")
			continue;
		std::string rel = relative.empty() ? name : relative + "/" + name;
		std::string full = root + "/" + rel;
		struct stat st;
		lstat(full.c_str(), &st);
		if (S_ISDIR(st.st_mode)) {
			out.push_back({rel, true, ""});
			list_mirror(root, rel, out);
		} else if (S_ISREG(st.st_mode)) {
			std::string content;
			char buf[4096];
			int fd = open(full.c_str(), O_RDONLY | O_NOFOLLOW);
			for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
				content.append(buf, n);
			close(fd);
			out.push_back({rel, false, content});
		} else {
			out.push_back({rel, false, "<neither file nor directory>"});
		}
	}
	if (d)
		closedir(d);
}

// A record "file path=<relative> size=<n>...\n" followed by the file's n
// bytes (the size read as the reader reads it: leading digits, modulo 2^32;
// a line without its LF ends the input).
bool file_recorded(std::string_view input, const Entry &file)
{
	std::string needle = "file path=" + file.relative + " size=";

	if (file.relative.find(" size=") != std::string::npos)
		return false;
	for (size_t at = input.find(needle); at != input.npos; at = input.find(needle, at + 1)) {
		size_t digits = at + needle.size(), start = std::min(input.find('\n', digits), input.size() - 1) + 1;
		unsigned size = 0;
		for (size_t i = digits; i < input.size() && input[i] >= '0' && input[i] <= '9'; i++)
			size = size * 10 + (unsigned)(input[i] - '0');
		if (size == file.content.size() && start + size <= input.size() && input.substr(start, size) == file.content)
			return true;
	}
	return false;
}

// A directory is named by a dir record (whose line the reader ends at LF,
// NUL or the end of the input) or lies on the way to another entry.
bool directory_recorded(std::string_view input, const Entry &dir, const std::vector<Entry> &all)
{
	std::string needle = "dir path=" + dir.relative;

	for (size_t at = input.find(needle); at != input.npos; at = input.find(needle, at + 1)) {
		size_t after = at + needle.size();
		if (after == input.size() || input[after] == '\n' || input[after] == 0)
			return true;
	}
	for (const Entry &e : all)
		if (e.relative.rfind(dir.relative + "/", 0) == 0)
			return true;
	return false;
}

void check_mirror_holds_records(std::string_view input)
{
	std::vector<Entry> all;

	list_mirror(fuzz::scratch().mirror, "", all);
	for (const Entry &e : all) {
		if (e.directory ? directory_recorded(input, e, all) : file_recorded(input, e))
			continue;
		fprintf(stderr, "mirror holds %s %s that no record of the archive gives\n",
			e.directory ? "directory" : "file", e.relative.c_str());
		abort();
	}
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz::scratch();
	return 0;
}

// A fetched reply always ends with "END\n", so the reader's last line always
// has its newline; an input need not, and a NUL after it keeps that last
// line from running into an earlier input's bytes, so every run replays alike.
static void load(const uint8_t *data, long length)
{
	memcpy(dircast::archive_buffer, data, length);
	if (length < dircast::ARCHIVE_BUFFER_SIZE)
		dircast::archive_buffer[length] = 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	long length = (long)(size < (size_t)dircast::ARCHIVE_BUFFER_SIZE - 1 ? size : dircast::ARCHIVE_BUFFER_SIZE - 1);

	fuzz::reset_mirror(false);
	load(data, length);
	dircast::apply_archive(length);
	fuzz::check_confined("single-file application");

	fuzz::reset_mirror(false);
	load(data, length);
	if (dircast::archive_has_header(length)) {
		dircast::prune_mirror();
		dircast::apply_archive(length);
		check_mirror_holds_records(std::string_view((const char *)data, length));
	}
	fuzz::check_confined("full sync");
	return 0;
}
