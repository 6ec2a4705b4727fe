// Relative-path rules and the bounded path join.
#pragma once

namespace dircast {

int check_protocol_path(const char *path, int length);
int check_components(const char *path);
int join_path(char *out, int capacity, const char *base, const char *name, int n);
int join_name(char *out, int capacity, const char *base, const char *name);
int is_dot_entry(const char *name);

} // namespace dircast
