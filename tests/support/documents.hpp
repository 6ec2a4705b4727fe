// Test-only: the protocol's requests and documents as a host writes them,
// and counting a text's occurrences in a reply or a log.
#pragma once

#include "protocol/wire.hpp"

#include <string>
#include <vector>

namespace dircast_test {

const std::string MANIFEST_REQUEST = dircast::wire::MANIFEST_REQUEST;
const std::string ARCHIVE_REQUEST = dircast::wire::ARCHIVE_REQUEST;
std::string file_request(const std::string &path);

// Everything before the first record; the defaults are the host's.
std::string manifest_head(unsigned hash, const std::string &name = "c-host");
std::string archive_head(const std::string &root, const std::string &name = "c-host",
			 const std::string &drive = "c", const std::string &path = "host",
			 const std::string &mode = "read-only");

struct Entry {
	std::string path;
	std::string content;  // files only
	bool dir = false;
};
// Whole documents of a share named "s" at "/r", the content hashes worked
// out here rather than by the code under test.
std::string manifest_text(unsigned hash, const std::vector<Entry> &entries);
unsigned content_hash(const std::string &bytes);
std::string archive_text(const std::vector<Entry> &entries);
// archive_text({}) without its end marker.
std::string scripted_archive_head();

int count_of(const std::string &text, const std::string &what);
// n bytes that no compression or coincidence makes alike, the same for a seed.
std::string pseudo_random(size_t n, unsigned seed);

} // namespace dircast_test
