// The path rules and the bounded join, against plain restatements of the
// protocol's and the mirror's rules. The path sits in a buffer of exactly its
// length (no NUL) for the protocol check, so any read past it is reported.
#include "runtime/path.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::vector<std::string_view> split(std::string_view path)
{
	std::vector<std::string_view> parts;
	size_t start = 0;

	for (size_t slash; (slash = path.find('/', start)) != std::string_view::npos; start = slash + 1)
		parts.push_back(path.substr(start, slash - start));
	parts.push_back(path.substr(start));
	return parts;
}

bool plain_component(std::string_view c) { return !c.empty() && c != "." && c != ".."; }

// 1 to 511 bytes, no byte below 0x20, no DEL or backslash, every component
// plain (so no leading or trailing '/', no "//").
bool protocol_rule(std::string_view path)
{
	if (path.empty() || path.size() > 511)
		return false;
	for (unsigned char c : path)
		if (c < 0x20 || c == 0x7f || c == '\\')
			return false;
	for (std::string_view c : split(path))
		if (!plain_component(c))
			return false;
	return true;
}

// Up to the first NUL, within 512 bytes: no backslash, colon, LF or CR, every
// component plain and at most 255 bytes.
bool mirror_rule(std::string_view path)
{
	path = path.substr(0, path.find('\0'));
	if (path.size() >= 512)
		return false;
	for (char c : path)
		if (c == '\\' || c == ':' || c == '\n' || c == '\r')
			return false;
	for (std::string_view c : split(path))
		if (!plain_component(c) || c.size() > 255)
			return false;
	return true;
}

[[noreturn]] void fail(const char *what, std::string_view path)
{
	fprintf(stderr, "%s disagrees for %zu bytes: %.*s\n", what, path.size(), (int)path.size(), path.data());
	abort();
}

} // namespace

// Byte 0 picks the join's capacity and base; the rest is the path.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const char *const bases[] = {"", "/", "m", "/mirror/root", "/mirror/root/"};
	if (size < 1)
		return 0;
	std::string_view path((const char *)data + 1, size - 1);
	std::vector<char> exact(path.begin(), path.end());
	std::string terminated(path);
	const char *base = bases[data[0] % 5];
	int capacity = 1 + (data[0] >> 3) * 24;
	std::vector<char> out(capacity);

	if (dircast::check_protocol_path(exact.data(), (int)exact.size()) != protocol_rule(path))
		fail("check_protocol_path", path);
	if (dircast::check_components(terminated.c_str()) != mirror_rule(terminated))
		fail("check_components", path);

	std::string joined = std::string(base) + (*base && std::string_view(base).back() != '/' ? "/" : "");
	joined += path;
	// Joined, the text and its NUL fit; refused, they would not fit with the
	// one separator byte that the room test counts whatever the base.
	int r = dircast::join_path(out.data(), capacity, base, exact.data(), (int)exact.size());
	if (r ? joined.size() + 1 > (size_t)capacity || std::string(out.data(), joined.size() + 1) != joined + '\0'
	      : joined.size() + 2 <= (size_t)capacity || out[0])
		fail("join_path", path);
	return 0;
}
