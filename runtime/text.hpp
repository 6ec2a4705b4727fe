// Text, number and append-buffer operations: all text the programs handle,
// from options to wire lines, goes through these.
#pragma once

namespace dircast {

int text_length(const char *text);
int starts_with(const char *text, const char *prefix);
int text_equals(const char *a, const char *b);
int find_text(const char *text, const char *pattern);
unsigned parse_decimal(const char *text);
// Leading digits as a file size, stopping at 2^63-1 instead of wrapping.
unsigned long long parse_size(const char *text);

// Append buffer: the caller owns the array and the cursor and sizes the array
// for the longest text it composes; nothing here writes the closing NUL.
void append_char(char *out, int *cursor, char c);
void append_text(char *out, int *cursor, const char *text);
void append_bytes(char *out, int *cursor, const char *bytes, int n);
void append_decimal(char *out, int *cursor, unsigned long long value);

char *next_line(char **cursor, char *end);
int has_end_marker(const char *buffer, long length);
void copy_span(char *out, const char *source, int n);

} // namespace dircast
