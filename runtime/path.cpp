// Relative-path rules and the bounded path join. A path from the network must
// pass these before it is joined to anything on disk.
#include "path.hpp"
#include "text.hpp"

namespace dircast {

// Component of n bytes at p: not empty, not "." and not "..".
static int component_ok(const char *p, int n)
{
	if (n == 0)
		return 0;
	if (p[0] == '.' && (n == 1 || (n == 2 && p[1] == '.')))
		return 0;
	return 1;
}

int check_protocol_path(const char *path, int length)
{
	int start = 0;

	if (length <= 0 || length >= 512 || path[0] == '/')
		return 0;
	for (int i = 0; i <= length; i++) {
		unsigned char c = i == length ? '/' : (unsigned char)path[i];

		if (c == '/') {
			if (!component_ok(path + start, i - start))
				return 0;
			start = i + 1;
		} else if (c < 32 || c == 127 || c == '\\') {
			return 0;
		}
	}
	return 1;
}

// The mirror's own rule: components must fit NAME_MAX, and ':' is refused so
// that no path can spell a DOS drive.
int check_components(const char *path)
{
	int start = 0;

	for (int i = 0; i < 512; i++) {
		char c = path[i];

		if (c == '\\' || c == ':' || c == '\n' || c == '\r')
			return 0;
		if (c == 0 || c == '/') {
			if (!component_ok(path + start, i - start) || i - start > 255)
				return 0;
			if (c == 0)
				return 1;
			start = i + 1;
		}
	}
	return 0;
}

// The room test counts one separator whether or not it is added, so the bound
// is the same for every base.
int join_path(char *out, int capacity, const char *base, const char *name, int n)
{
	int cursor = 0;

	if (text_length(base) + n + 1 >= capacity) {
		out[0] = 0;
		return 0;
	}
	append_text(out, &cursor, base);
	if (cursor > 0 && out[cursor - 1] != '/')
		append_char(out, &cursor, '/');
	append_bytes(out, &cursor, name, n);
	out[cursor] = 0;
	return 1;
}

int join_name(char *out, int capacity, const char *base, const char *name)
{
	return join_path(out, capacity, base, name, text_length(name));
}

int is_dot_entry(const char *name)
{
	return name[0] == 0 || text_equals(name, ".") || text_equals(name, "..");
}

} // namespace dircast
