// Archive application, fed any reply the host might send in chunks the first
// byte picks: first as a single-file answer for the first file record's path,
// over a mirror that holds planted links (as the delta sync does), then as a
// full sync over an empty mirror with the same bytes as its manifest, after
// which everything in the mirror must be what some record of the input
// gives, and when the reply was whole and the mirror pruned to it, nothing
// may be left beside them.
#include "scratch.hpp"
#include "client/archive.hpp"
#include "client/manifest_lookup.hpp"
#include "client/manifest_spool.hpp"
#include "client/reply_stream.hpp"

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
// bytes (the size read as the reader reads it: leading digits, stopping at
// 2^63-1).
bool file_recorded(std::string_view input, const Entry &file)
{
	std::string needle = "file path=" + file.relative + " size=";

	if (file.relative.find(" size=") != std::string::npos)
		return false;
	for (size_t at = input.find(needle); at != input.npos; at = input.find(needle, at + 1)) {
		size_t digits = at + needle.size(), start = std::min(input.find('\n', digits), input.size() - 1) + 1;
		unsigned long long size = 0;
		for (size_t i = digits; i < input.size() && input[i] >= '0' && input[i] <= '9'; i++)
			size = size > 922337203685477580ull ? 9223372036854775807ull
							    : std::min(size * 10 + (unsigned)(input[i] - '0'),
								       9223372036854775807ull);
		if (size == file.content.size() && start + size <= input.size() && input.substr(start, size) == file.content)
			return true;
	}
	return false;
}

// A directory is named by a dir record (whose line the reader ends at LF,
// NUL or the end of the input), lies on the way to another entry, or on the
// way to a file record's path: the directories above a file are made before
// its content arrives, and stay when the content is cut short.
bool directory_recorded(std::string_view input, const Entry &dir, const std::vector<Entry> &all)
{
	std::string needle = "dir path=" + dir.relative;

	if (input.find("file path=" + dir.relative + "/") != input.npos)
		return true;

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

// The links planted in the mirror stay while the mirror is not pruned (the
// reply was not whole), or where a file record names them and its file could
// not replace them.
bool planted_link_may_stay(std::string_view input, const Entry &e, bool pruned)
{
	return e.content == "<neither file nor directory>" &&
	       (!pruned || input.find("file path=" + e.relative + " size=") != input.npos);
}

void check_mirror_holds_records(std::string_view input, bool pruned)
{
	std::vector<Entry> all;

	list_mirror(fuzz::scratch().mirror, "", all);
	for (const Entry &e : all) {
		if (e.directory ? directory_recorded(input, e, all) : file_recorded(input, e))
			continue;
		if (planted_link_may_stay(input, e, pruned))
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

// Feeds the reply in chunks whose sizes follow a little generator seeded by
// chunking; 1 when the stream ended with the reply whole.
static int feed(dircast::ArchiveApply *apply, std::string_view reply, unsigned chunking)
{
	dircast::ReplyStream stream;
	dircast::StreamPiece piece;
	unsigned state = chunking * 2654435761u + 1;
	int going = 1;

	dircast::start_stream(&stream, dircast::ARCHIVE_STREAM);
	for (size_t at = 0; going && at < reply.size();) {
		state = state * 1103515245u + 12345u;
		size_t step = chunking == 0 ? reply.size() : 1 + (state >> 16) % (chunking * 64 + 1);
		const char *p = reply.data() + at, *end = reply.data() + std::min(reply.size(), at + step);
		while (going && dircast::next_piece(&stream, &p, end, &piece))
			going = dircast::apply_piece(apply, &piece);
		at = end - reply.data();
	}
	return going && dircast::stream_ended(&stream);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	std::string_view reply((const char *)data + 1, size - 1);
	size_t at = reply.find("file path=");
	std::string wanted = at == reply.npos ? "x" : std::string(reply.substr(at + 10, 40));
	dircast::ArchiveApply apply;

	wanted = wanted.substr(0, std::min(wanted.find(" size="), wanted.find('\0')));
	fuzz::reset_mirror(false);
	dircast::start_archive(&apply, wanted.c_str());
	feed(&apply, reply, data[0]);
	dircast::finish_archive(&apply);
	fuzz::check_confined("single-file application");

	// The reply doubles as the turn's manifest, so that file records it
	// lists twice over are stamped on its word.
	fuzz::reset_mirror(false);
	std::string manifest = "DC-SHARE-MANIFEST/1\n" + std::string(reply) + "\nEND\n";
	if (!dircast::begin_spool() || !dircast::spool_bytes(manifest.data(), (long)manifest.size()) ||
	    !dircast::end_spool())
		abort();
	dircast::open_manifest_lookup();
	dircast::start_archive(&apply, nullptr);
	int whole = feed(&apply, reply, data[0]);
	bool pruned = dircast::finish_archive(&apply) && whole;
	dircast::close_manifest_lookup();
	if (pruned)
		dircast::prune_mirror();
	check_mirror_holds_records(reply, pruned);
	fuzz::check_confined("full sync");
	return 0;
}
