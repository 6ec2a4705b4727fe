// Relative-path rules, the bounded join and the dot-entry test.
#include "runtime/path.hpp"

#include <climits>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace dircast;

const int WHOLE = INT_MIN;  // check the whole text as the span

std::string repeat(char c, int n) { return std::string(n, c); }

// Components of `width` bytes joined by '/', cut to exactly `total` bytes.
std::string path_of_length(int total, int width)
{
	std::string p;

	while ((int)p.size() < total)
		p += (p.empty() ? "" : "/") + repeat('c', width);
	p.resize(total);
	if (p.back() == '/')
		p.back() = 'c';
	return p;
}

TEST(Path, CheckProtocolPath)
{
	const struct {
		const char *name;
		std::string path;
		int length;
		int expected;
	} cases[] = {
		{"one component", "a", WHOLE, 1},
		{"nested", "a/b/c", WHOLE, 1},
		{"hidden and dotted names", "a/.hidden/x...", WHOLE, 1},
		{"three dots", "...", WHOLE, 1},
		{"dots after a name", "a..", WHOLE, 1},
		{"dots before a name", "..a", WHOLE, 1},
		{"space", "a b", WHOLE, 1},
		{"colon", "c:x", WHOLE, 1},
		{"utf-8 and high bytes", "\xc3\xa9t\xc3\xa9/\xff\x80", WHOLE, 1},
		{"511 bytes", path_of_length(511, 40), WHOLE, 1},
		{"one component of 511 bytes", repeat('a', 511), WHOLE, 1},
		{"component of 300 bytes", "a/" + repeat('b', 300), WHOLE, 1},
		{"empty", "", WHOLE, 0},
		{"leading slash", "/a", WHOLE, 0},
		{"slash alone", "/", WHOLE, 0},
		{"trailing slash", "a/", WHOLE, 0},
		{"double slash", "a//b", WHOLE, 0},
		{"dot", ".", WHOLE, 0},
		{"dot dot", "..", WHOLE, 0},
		{"leading dot component", "./a", WHOLE, 0},
		{"inner dot component", "a/./b", WHOLE, 0},
		{"inner dot-dot component", "a/../b", WHOLE, 0},
		{"trailing dot-dot", "a/..", WHOLE, 0},
		{"trailing dot", "a/.", WHOLE, 0},
		{"backslash", "a\\b", WHOLE, 0},
		{"backslash alone", "\\", WHOLE, 0},
		{"tab", "a\tb", WHOLE, 0},
		{"line feed", "a\nb", WHOLE, 0},
		{"carriage return", "a\rb", WHOLE, 0},
		{"unit separator 0x1f", "a\x1f", WHOLE, 0},
		{"DEL", "a\x7f", WHOLE, 0},
		{"512 bytes", path_of_length(512, 40), WHOLE, 0},
		{"one component of 512 bytes", repeat('a', 512), WHOLE, 0},
		{"NUL inside the span", std::string("a\0b", 3), 3, 0},
		{"span stops before a dot-dot", "ab/..", 2, 1},
		{"span ends on a dot-dot", "a/..x", 4, 0},
		{"span ends on a slash", "a/b", 2, 0},
		{"zero length", "abc", 0, 0},
		{"negative length", "abc", -1, 0},
		{"span of 511 in a longer text", repeat('a', 600), 511, 1},
		{"span of 512 in a longer text", repeat('a', 600), 512, 0},
	};

	for (const auto &c : cases) {
		int length = c.length == WHOLE ? (int)c.path.size() : c.length;

		SCOPED_TRACE(c.name);
		EXPECT_EQ(check_protocol_path(c.path.c_str(), length), c.expected);
	}
}

TEST(Path, CheckComponents)
{
	const struct {
		const char *name;
		std::string path;
		int expected;
	} cases[] = {
		{"one component", "a", 1},
		{"nested", "a/b", 1},
		{"dotted names", ".hidden/a../...", 1},
		{"component of 255 bytes", repeat('a', 255), 1},
		{"last component of 255 bytes", "x/" + repeat('a', 255), 1},
		{"511 bytes", repeat('a', 255) + "/" + repeat('b', 255), 1},
		{"tab passes", "a\tb", 1},
		{"DEL passes", "a\x7f", 1},
		{"high bytes pass", "\xc3\xa9/\xff", 1},
		{"component of 256 bytes", repeat('a', 256), 0},
		{"first component of 256 bytes", repeat('a', 256) + "/x", 0},
		{"last component of 256 bytes", "x/" + repeat('a', 256), 0},
		{"512 bytes", repeat('a', 200) + "/" + repeat('b', 200) + "/" + repeat('c', 110), 0},
		{"600 bytes", path_of_length(600, 100), 0},
		{"empty", "", 0},
		{"leading slash", "/a", 0},
		{"trailing slash", "a/", 0},
		{"double slash", "a//b", 0},
		{"dot", ".", 0},
		{"dot dot", "..", 0},
		{"inner dot", "a/./b", 0},
		{"inner dot dot", "a/../b", 0},
		{"drive letter", "c:/x", 0},
		{"colon inside a name", "a:b", 0},
		{"backslash", "a\\b", 0},
		{"carriage return", "a\rb", 0},
		{"line feed", "a\nb", 0},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(check_components(c.path.c_str()), c.expected);
	}
}

// The first 512 bytes hold no NUL: the check must give up there and not read on.
TEST(Path, CheckComponentsNeedsNulWithin512Bytes)
{
	std::string path = path_of_length(512, 100);

	path += '\0';
	EXPECT_EQ(check_components(path.c_str()), 0);
	path[511] = 0;
	EXPECT_EQ(check_components(path.c_str()), 1);
}

const int GUARD = 16;

struct JoinCase {
	const char *name;
	std::string base;
	std::string name_bytes;
	int n;  // WHOLE: the whole name
	int capacity;
	int expected;
	std::string output;
};

TEST(Path, JoinPath)
{
	const std::string base700 = "/" + repeat('b', 699);
	const std::string slash700 = "/" + repeat('b', 698) + "/";
	const JoinCase cases[] = {
		{"empty base gives the name", "", "x", WHOLE, 768, 1, "x"},
		{"base with a slash", "/m/", "x", WHOLE, 768, 1, "/m/x"},
		{"base without a slash", "/m", "x", WHOLE, 768, 1, "/m/x"},
		{"root base", "/", "x", WHOLE, 768, 1, "/x"},
		{"relative base", "a/b", "c", WHOLE, 512, 1, "a/b/c"},
		{"name bytes are not validated", "/m", "../x", WHOLE, 768, 1, "/m/../x"},
		{"only n bytes of the name", "/m", "abcdef", 3, 768, 1, "/m/abc"},
		{"empty name", "/m", "", WHOLE, 768, 1, "/m/"},
		{"exact fit", "ab", "c", WHOLE, 5, 1, "ab/c"},
		{"one byte short", "ab", "c", WHOLE, 4, 0, ""},
		{"separator counted when the base has one", "a/", "c", WHOLE, 4, 0, ""},
		{"separator counted for the empty base", "", "abc", WHOLE, 4, 0, ""},
		{"700-byte base and 66-byte name fit 768", base700, repeat('n', 66), WHOLE, 768, 1,
		 base700 + "/" + repeat('n', 66)},
		{"700-byte base and 67-byte name do not", base700, repeat('n', 67), WHOLE, 768, 0, ""},
		{"same bound with a trailing slash: 66 fits", slash700, repeat('n', 66), WHOLE, 768, 1,
		 slash700 + repeat('n', 66)},
		{"same bound with a trailing slash: 67 does not", slash700, repeat('n', 67), WHOLE, 768, 0, ""},
		{"walk buffer: 511 bytes fit 512", repeat('b', 255), repeat('n', 255), WHOLE, 512, 1,
		 repeat('b', 255) + "/" + repeat('n', 255)},
		{"walk buffer: 512 bytes do not", repeat('b', 255), repeat('n', 256), WHOLE, 512, 0, ""},
	};

	for (const auto &c : cases) {
		std::vector<char> out(c.capacity + GUARD, '#');
		int n = c.n == WHOLE ? (int)c.name_bytes.size() : c.n;

		SCOPED_TRACE(c.name);
		EXPECT_EQ(join_path(out.data(), c.capacity, c.base.c_str(), c.name_bytes.data(), n), c.expected);
		EXPECT_EQ(std::string(out.data()), c.output);
		EXPECT_EQ(std::string(out.begin() + c.capacity, out.end()), repeat('#', GUARD))
			<< "written past the capacity";
	}
}

TEST(Path, JoinNameTakesTheWholeName)
{
	char out[768];

	EXPECT_EQ(join_name(out, sizeof out, "/m", "sub/b.txt"), 1);
	EXPECT_STREQ(out, "/m/sub/b.txt");
	EXPECT_EQ(join_name(out, sizeof out, "", "a.txt"), 1);
	EXPECT_STREQ(out, "a.txt");
	EXPECT_EQ(join_name(out, 8, "/m", "abcde"), 0);
	EXPECT_STREQ(out, "");
}

TEST(Path, IsDotEntry)
{
	const struct {
		const char *name;
		int expected;
	} cases[] = {
		{"", 1}, {".", 1}, {"..", 1},
		{"...", 0}, {".a", 0}, {"..a", 0}, {"a.", 0}, {"a", 0}, {" .", 0},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(std::string("name '") + c.name + "'");
		EXPECT_EQ(is_dot_entry(c.name), c.expected);
	}
}

} // namespace
