#include "documents.hpp"

#include <random>

namespace dircast_test {

std::string file_request(const std::string &path) { return dircast::wire::FILE_PREFIX + path + "\n\n"; }

std::string manifest_head(unsigned hash, const std::string &name)
{
	return "DC-SHARE-MANIFEST/1\nname=" + name + "\nhash=" + std::to_string(hash) + "\nentries=recursive\n\n";
}

std::string archive_head(const std::string &root, const std::string &name, const std::string &drive,
			 const std::string &path, const std::string &mode)
{
	return "DC-SHARE-ARCHIVE/1\nname=" + name + "\nroot=" + root + "\ndrive=" + drive + "\npath=" + path +
	       "\nmode=" + mode + "\nentries=recursive\n\n";
}

std::string scripted_archive_head() { return archive_head("/r", "s"); }

// FNV-1a, 32 bits, written out from its definition.
unsigned content_hash(const std::string &bytes)
{
	unsigned h = 2166136261u;

	for (unsigned char c : bytes)
		h = (h ^ c) * 16777619u;
	return h;
}

std::string manifest_text(unsigned hash, const std::vector<Entry> &entries)
{
	std::string out = manifest_head(hash, "s");

	for (const Entry &e : entries)
		out += e.dir ? "dir path=" + e.path + "\n"
			     : "file path=" + e.path + " size=" + std::to_string(e.content.size()) +
				       " hash=" + std::to_string(content_hash(e.content)) + "\n";
	return out + "END\n";
}

std::string archive_text(const std::vector<Entry> &entries)
{
	std::string out = scripted_archive_head();

	for (const Entry &e : entries)
		out += e.dir ? "dir path=" + e.path + "\n"
			     : "file path=" + e.path + " size=" + std::to_string(e.content.size()) + "\n" +
				       e.content + "\nendfile\n";
	return out + "END\n";
}

int count_of(const std::string &text, const std::string &what)
{
	int n = 0;

	for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
		n++;
	return n;
}

std::string pseudo_random(size_t n, unsigned seed)
{
	std::mt19937 random(seed);
	std::string s(n, 0);

	for (char &c : s)
		c = (char)random();
	return s;
}

} // namespace dircast_test
