// Text, number and append-buffer operations.
#include "runtime/text.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace dircast;

struct PairCase {
	const char *name;
	const char *text;
	const char *other;
	int expected;
};

TEST(Text, StartsWith)
{
	const PairCase cases[] = {
		{"empty prefix, empty text", "", "", 1},
		{"empty prefix matches any text", "abc", "", 1},
		{"equal texts", "abc", "abc", 1},
		{"proper prefix", "GET manifest DC-SHARE/1", "GET manifest", 1},
		{"text shorter than prefix", "GET", "GET file", 0},
		{"empty text, non-empty prefix", "", "a", 0},
		{"first byte differs", "xbc", "abc", 0},
		{"last prefix byte differs", "abx", "abc", 0},
		{"case matters", "get manifest", "GET manifest", 0},
		{"high bytes compared as bytes", "\xc3\xa9t\xc3\xa9", "\xc3\xa9", 1},
		{"high byte differs", "\xc3\xa8", "\xc3\xa9", 0},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(starts_with(c.text, c.other), c.expected);
	}
}

TEST(Text, FindText)
{
	const PairCase cases[] = {
		{"pattern at start", "abc", "ab", 0},
		{"pattern at end", "xxabc", "abc", 2},
		{"first of two occurrences", "file path=a hash=1 x hash=2", " hash=", 11},
		{"match after a failed partial match", "aaab", "aab", 1},
		{"port field in a beacon", "DC-SHARE/1 name=x root=/r port=19200 mode=read-only\n", " port=", 25},
		{"pattern missing", "abc", "abd", -1},
		{"pattern longer than text", "ab", "abc", -1},
		{"pattern runs past the text's end", "xab", "abc", -1},
		{"empty text", "", "a", -1},
		{"empty text, empty pattern", "", "", -1},
		{"empty pattern in non-empty text", "abc", "", 0},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(find_text(c.text, c.other), c.expected);
	}
}

TEST(Text, ParseDecimal)
{
	const struct {
		const char *name;
		const char *text;
		unsigned expected;
	} cases[] = {
		{"zero", "0", 0},
		{"single digit", "7", 7},
		{"leading zeros", "007", 7},
		{"stops at a letter", "12abc", 12},
		{"stops at a space", "19200 mode=x", 19200},
		{"stops at a newline", "3908593925\n", 3908593925u},
		{"minus is not a digit", "-5", 0},
		{"plus is not a digit", "+5", 0},
		{"letters only", "abc", 0},
		{"empty", "", 0},
		{"leading space is not skipped", " 5", 0},
		{"largest 32-bit value", "4294967295", 4294967295u},
		{"2^32 wraps to 0", "4294967296", 0},
		{"2^32 + 1 wraps to 1", "4294967297", 1},
		{"eleven digits wrap", "99999999999", (unsigned)99999999999ULL},
		{"digit with high bit set is a non-digit", "1\xb2", 1},
		{"high byte first", "\xb1" "5", 0},
		{"colon after digits", "9:", 9},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(parse_decimal(c.text), c.expected);
	}
}

// The reference decimal form comes from the standard library, so these cases
// catch digit order, dropped zeros and signed arithmetic alike.
static const unsigned DECIMAL_VALUES[] = {
	0, 1, 9, 10, 99, 100, 101, 19200, 999999999, 1000000000,
	2147483647u, 2147483648u, 440920331u, 2166136261u, 4294967294u, 4294967295u,
};

TEST(Text, AppendDecimalWritesPlainDigitsThatReadBack)
{
	for (unsigned value : DECIMAL_VALUES) {
		std::string out(16, '#');
		int cursor = 0;
		std::string expected = std::to_string(value);

		SCOPED_TRACE(expected);
		append_decimal(&out[0], &cursor, value);
		EXPECT_EQ(cursor, (int)expected.size());
		EXPECT_EQ(out.substr(0, cursor), expected);
		EXPECT_EQ(out[cursor], '#') << "append_decimal must not write a NUL";
		EXPECT_EQ(parse_decimal(out.substr(0, cursor).c_str()), value);
	}
}

// Each case starts from its buffer and cursor; nothing here writes the
// closing NUL, so the bytes after the cursor must be as they were.
TEST(Text, AppendPiecesAdvanceOneCursor)
{
	const struct {
		const char *name;
		std::string buffer;
		int cursor;
		void (*append)(char *out, int *cursor);
		std::string expected;
		int cursor_after;
	} cases[] = {
		{"pieces of a record line", std::string(20, '#'), 0,
		 [](char *out, int *c) {
			 append_text(out, c, "file path=");
			 append_bytes(out, c, "a.txt junk", 5);
			 append_text(out, c, "");
			 append_char(out, c, ' ');
			 append_decimal(out, c, 3);
		 },
		 "file path=a.txt 3###", 17},
		{"starts at the caller's cursor", "abcdef##", 2, [](char *out, int *c) { append_text(out, c, "XY"); },
		 "abXYef##", 4},
		{"bytes may hold NUL", std::string(8, '#'), 0, [](char *out, int *c) { append_bytes(out, c, "a\0b", 3); },
		 std::string("a\0b#####", 8), 3},
	};

	for (const auto &c : cases) {
		std::string out = c.buffer;
		int cursor = c.cursor;

		SCOPED_TRACE(c.name);
		c.append(&out[0], &cursor);
		EXPECT_EQ(out, c.expected);
		EXPECT_EQ(cursor, c.cursor_after);
	}
}

// Each input is copied into a buffer with a NUL just past its end, as the
// readers of received documents keep one.
static std::vector<std::string> all_lines(const std::string &input)
{
	std::vector<char> buffer(input.begin(), input.end());
	std::vector<std::string> lines;

	buffer.push_back(0);
	char *cursor = buffer.data();
	char *end = buffer.data() + input.size();

	while (char *line = next_line(&cursor, end))
		lines.push_back(line);
	return lines;
}

TEST(Text, NextLineSplitsARange)
{
	using Lines = std::vector<std::string>;
	const struct {
		const char *name;
		std::string input;
		Lines expected;
	} cases[] = {
		{"last line unterminated", "a\nb", {"a", "b"}},
		{"last line terminated", "a\nb\n", {"a", "b"}},
		{"empty lines", "\n\n", {"", ""}},
		{"no newline at all", "abc", {"abc"}},
		{"empty range", "", {}},
		{"carriage return stays in the line", "a\r\nb\n", {"a\r", "b"}},
		{"body ending in the end marker", "dir path=x\nEND\n", {"dir path=x", "END"}},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(all_lines(c.input), c.expected);
	}
}

// Where each line starts, and the buffer afterwards: a line's newline, and
// only that, becomes its NUL; a NUL inside a line does not end it.
TEST(Text, NextLineStaysBetweenCursorAndEnd)
{
	const struct {
		const char *name;
		std::string buffer;
		int cursor, end;
		std::vector<int> starts;
		std::string after;
	} cases[] = {
		{"NUL inside a line", std::string("a\0b\nc\0", 6), 0, 5, {0, 4}, std::string("a\0b\0c\0", 6)},
		{"newline beyond end left alone", "ab\ncd", 0, 2, {0}, "ab\ncd"},
		{"cursor at end", "abc", 3, 3, {}, "abc"},
		{"cursor beyond end", "abc", 3, 1, {}, "abc"},
	};

	for (const auto &c : cases) {
		std::string buffer = c.buffer;
		char *cursor = &buffer[c.cursor];
		std::vector<int> starts;

		SCOPED_TRACE(c.name);
		while (char *line = next_line(&cursor, &buffer[c.end]))
			starts.push_back((int)(line - buffer.data()));
		EXPECT_EQ(starts, c.starts);
		EXPECT_EQ(buffer, c.after);
	}
}

TEST(Text, HasEndMarker)
{
	const struct {
		const char *name;
		std::string buffer;
		long length;
		int expected;
	} cases[] = {
		{"marker alone", "END\n", 4, 1},
		{"marker after content", "file path=x size=0\n\nendfile\nEND\n", 32, 1},
		{"length below four", "ND\n", 3, 0},
		{"zero length", "", 0, 0},
		{"marker without newline", "END", 3, 0},
		{"other byte instead of the newline", "ENDx", 4, 0},
		{"NUL instead of the newline", std::string("END\0", 4), 4, 0},
		{"lower case", "end\n", 4, 0},
		{"marker not at the tail", "END\nx", 5, 0},
		{"length cuts the newline off", "abcEND\n", 6, 0},
		{"tail found by length, not by NUL", "xxEND\nyy", 6, 1},
		{"NUL before the marker", std::string("a\0END\n", 6), 6, 1},
		{"CR before the newline", "END\r\n", 5, 0},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(has_end_marker(c.buffer.data(), c.length), c.expected);
	}
}

// A short buffer must be judged by its length before any byte is compared:
// here the byte just before the buffer would complete a marker.
TEST(Text, HasEndMarkerNeverLooksBeforeTheBuffer)
{
	const char bytes[] = "END\n";

	EXPECT_EQ(has_end_marker(bytes + 1, 3), 0);
}

TEST(Text, CopySpanStoresNulAfterTheSpan)
{
	const struct {
		const char *name;
		std::string source;
		int n;
		std::string expected;  // the output buffer, filled with '#' before
	} cases[] = {
		{"part of a text", "abcdef", 2, std::string("ab\0#####", 8)},
		{"NUL bytes inside are copied", std::string("a\0b", 3), 3, std::string("a\0b\0####", 8)},
		{"the longest path", std::string(511, 'p'), 511, std::string(511, 'p') + '\0' + "########"},
	};

	for (const auto &c : cases) {
		std::string out(c.expected.size(), '#');

		SCOPED_TRACE(c.name);
		copy_span(&out[0], c.source.data(), c.n);
		EXPECT_EQ(out, c.expected);
	}
}

// File sizes: 64-bit decimals both ways, against the standard library's
// digits; a size past 2^63-1 stops there instead of wrapping round.
TEST(Text, SizesBeyond32BitsWriteAndReadWhole)
{
	const struct {
		const char *text;
		unsigned long long size;
	} cases[] = {
		{"0", 0},
		{"4294967296", 4294967296ull},
		{"5368709120", 5368709120ull},
		{"9223372036854775807", 9223372036854775807ull},
		{"9223372036854775808", 9223372036854775807ull},
		{"99999999999999999999999", 9223372036854775807ull},
		{"18446744073709551615", 9223372036854775807ull},
	};

	for (const auto &c : cases) {
		std::string out(24, '#');
		int cursor = 0;

		EXPECT_EQ(dircast::parse_size(c.text), c.size) << c.text;
		append_decimal(&out[0], &cursor, c.size);
		EXPECT_EQ(out.substr(0, cursor), std::to_string(c.size));
	}
	std::string out(24, '#');
	int cursor = 0;
	append_decimal(&out[0], &cursor, 18446744073709551615ull);
	EXPECT_EQ(out.substr(0, cursor), "18446744073709551615");
}

} // namespace
