#!/bin/bash
# The manual pages: groff -ww finds nothing to warn about, man -l renders
# them (source and installed .gz) without warnings, and they keep up with
# the code: every option, every log line, every default and every limit
# that the programs' sources define is documented.
# Usage: man_pages.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$1
build_dir=$2
. "$(dirname "$0")/lib.sh"

command -v groff >/dev/null || skip "groff is not installed (apt-get install groff)"
command -v man >/dev/null || skip "man is not installed (apt-get install man-db)"

# Plain text, one line per paragraph, so that phrases never wrap apart.
plain_text() {
	LC_ALL=C groff -man -Tascii -P-c -P-b -P-u -P-o -rLL=2000n "$1" 2>/dev/null
}

# The lines of one section (from its heading to the next heading).
section() {
	awk -v name="$2" '/^[A-Z]/ { inside = ($0 == name) } inside' "$1"
}

# The text right after "NAME = " (a decimal, or text in quotes) in a file.
constant() {
	local value
	value=$(sed -n "s/.*\\b$2 = \\([0-9][0-9]*\\).*/\\1/p" "$source_dir/$1" | head -1)
	[ -n "$value" ] || fail "cannot find the constant $2 in $1; update this check"
	echo "${value:-0}"
}

expect_text() {
	grep -qF -- "$3" "$2" || fail "$1 does not say \"$3\""
}

number_word() {
	local words=(zero one two three four five six seven eight nine ten eleven twelve)
	echo "${words[$1]:-$1}"
}

for program in dircast-serve dircast-mirror; do
	page=$source_dir/man/$program.1
	[ -f "$page" ] || { fail "man/$program.1 is missing"; continue; }

	out=$(groff -man -ww -z "$page" 2>&1)
	[ -z "$out" ] || fail "groff -man -ww -z $program.1 warns: $out"

	for file in "$page" "$build_dir/man/$program.1.gz"; do
		[ -f "$file" ] || { fail "$file is missing"; continue; }
		LC_ALL=C MANPAGER=cat PAGER=cat MANWIDTH=80 man --warnings=w -l "$file" \
			>"$scratch/rendered" 2>"$scratch/warnings"
		[ -s "$scratch/warnings" ] && fail "man -l $file warns: $(cat "$scratch/warnings")"
		grep -q "^NAME" "$scratch/rendered" && grep -q "^ *$program - " "$scratch/rendered" ||
			fail "man -l $file renders no NAME section for $program"
	done

	plain_text "$page" >"$scratch/$program.txt"
	for heading in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" "LOG LINES" FILES EXAMPLES "SEE ALSO"; do
		grep -qx "$heading" "$scratch/$program.txt" || fail "$program.1 has no $heading section"
	done
	section "$scratch/$program.txt" OPTIONS >"$scratch/$program.options"
	# The tags of the option list: "--name value, --alias value".
	grep -E '^ {7}--' "$scratch/$program.options" >"$scratch/$program.tags"
	section "$scratch/$program.txt" "LOG LINES" >"$scratch/$program.log-lines"
done

# Every option name the settings code matches, in OPTIONS.
for pair in dircast-serve:host dircast-mirror:client; do
	program=${pair%%:*}
	dir=${pair#*:}
	options=$(grep -ohE '"--[a-z][a-z-]*"' "$source_dir/$dir/settings.cpp" | tr -d '"' | sort -u)
	[ -n "$options" ] || fail "no option names found in $dir/settings.cpp"
	for option in $options; do
		grep -qE -- "(^|[^a-z-])$option([^a-z-]|$)" "$scratch/$program.tags" ||
			fail "$program.1 does not list $option under OPTIONS"
	done
done

# Every log line of each program (its fixed text) under LOG LINES.
for pair in dircast-serve:host dircast-mirror:client; do
	program=${pair%%:*}
	dir=${pair#*:}
	lines=$(grep -ohE "\"$program: [^\"]*\"" "$source_dir/$dir"/*.cpp |
		sed -e 's/^"//' -e 's/"$//' -e 's/\\n$//' -e 's/ *$//' | sort -u)
	[ -n "$lines" ] || fail "no log lines found in $dir/*.cpp"
	while IFS= read -r line; do
		grep -qF -- "$line" "$scratch/$program.log-lines" ||
			fail "$program.1 does not explain the log line \"$line\""
	done <<<"$lines"
done

# Defaults: each text default is shown as "Default: TEXT." and so are the ports.
serve_defaults=$(sed -n '/host_settings = {/,/^};/p' "$source_dir/host/settings.cpp")
mirror_defaults=$(sed -n '/DEFAULT_CLIENT_SETTINGS = {/,/^};/p' "$source_dir/client/settings.cpp")
[ -n "$serve_defaults" ] || fail "cannot find the host's defaults in host/settings.cpp"
[ -n "$mirror_defaults" ] || fail "cannot find the client's defaults in client/settings.cpp"
while IFS= read -r text; do
	[ -n "$text" ] && expect_text dircast-serve.1 "$scratch/dircast-serve.options" "Default: $text."
done < <(grep -o '"[^"]*"' <<<"$serve_defaults" | tr -d '"')
while IFS= read -r text; do
	[ -n "$text" ] && expect_text dircast-mirror.1 "$scratch/dircast-mirror.options" "Default: $text."
done < <(grep -o '"[^"]*"' <<<"$mirror_defaults" | tr -d '"')
# The client's plain numbers that are not 0 (the poll interval).
for number in $(grep -oE '^[[:space:]]*[1-9][0-9]*,' <<<"$mirror_defaults" | tr -dc '0-9\n'); do
	expect_text dircast-mirror.1 "$scratch/dircast-mirror.options" "Default: $number."
done
broadcast=$(grep -oE '\{ *[0-9]+, *[0-9]+, *[0-9]+, *[0-9]+ *\}' <<<"$serve_defaults" | tr -d '{} ' | tr , .)
[ -n "$broadcast" ] || fail "cannot find the default broadcast address in host/settings.cpp"
expect_text dircast-serve.1 "$scratch/dircast-serve.options" "Default: $broadcast,"
for program in dircast-serve dircast-mirror; do
	expect_text "$program.1" "$scratch/$program.options" "Default: $(constant protocol/wire.hpp DEFAULT_LISTEN_PORT)."
	expect_text "$program.1" "$scratch/$program.options" "Default: $(constant protocol/wire.hpp DEFAULT_BEACON_PORT)."
done

# Limits, as the code defines them.
for program in dircast-serve dircast-mirror; do
	expect_text "$program.1" "$scratch/$program.txt" "$(constant client/transfers.hpp OUTSIDE_CONTENT_LIMIT) bytes"
	expect_text "$program.1" "$scratch/$program.txt" "$(number_word "$(constant protocol/wire.hpp WALK_DEPTH_LIMIT)") levels"
done
expect_text dircast-serve.1 "$scratch/dircast-serve.txt" "$(constant protocol/wire.hpp PATH_LIMIT) bytes"
expect_text dircast-serve.1 "$scratch/dircast-serve.txt" "at most $(constant protocol/wire.hpp REQUEST_LIMIT) bytes"
expect_text dircast-serve.1 "$scratch/dircast-serve.txt" "within $(constant host/connection.hpp REQUEST_SECONDS) seconds"
expect_text dircast-serve.1 "$scratch/dircast-serve.txt" "floor of $(constant host/reader_pace.hpp READER_FLOOR_BYTES) bytes a second"
expect_text dircast-serve.1 "$scratch/dircast-serve.txt" "spent $(constant host/reader_pace.hpp READER_WINDOW_SECONDS) seconds in all waiting"
expect_text dircast-serve.1 "$scratch/dircast-serve.txt" "up to $(constant host/connection_slots.hpp CONNECTION_SLOTS) connections at once"
expect_text dircast-serve.1 "$scratch/dircast-serve.txt" "listen backlog of $(constant host/serve_loop.cpp LISTEN_BACKLOG)"
expect_text dircast-serve.1 "$scratch/dircast-serve.txt" "Every $(constant host/serve_loop.cpp BEACON_INTERVAL_MS) ms"
expect_text dircast-serve.1 "$scratch/dircast-serve.txt" "for up to $(constant host/hash_cache.hpp HASH_CACHE_CAPACITY) files"
expect_text dircast-mirror.1 "$scratch/dircast-mirror.txt" "$(constant protocol/wire.hpp PATH_LIMIT) bytes"
expect_text dircast-mirror.1 "$scratch/dircast-mirror.txt" "$(( $(constant client/settings.hpp MIRROR_ROOT_LIMIT) + 1 )) bytes or more"
expect_text dircast-mirror.1 "$scratch/dircast-mirror.txt" "$(( $(constant client/settings.hpp DOSDEVICES_LIMIT) + 1 )) bytes or more"
expect_text dircast-mirror.1 "$scratch/dircast-mirror.txt" "$(constant client/settings.hpp POLL_SECONDS_LIMIT)"
limits=$(grep -oE 'transfer_limits = \{ *[0-9]+, *[0-9]+ *\}' "$source_dir/client/transfers.cpp" | grep -oE '[0-9]+')
if [ "$(wc -w <<<"$limits")" -eq 2 ]; then
	set -- $limits
	expect_text dircast-mirror.1 "$scratch/dircast-mirror.txt" "within $(($1 / 1000)) seconds"
	expect_text dircast-mirror.1 "$scratch/dircast-mirror.txt" "for $2 seconds"
else
	fail "cannot find transfer_limits in client/transfers.cpp; update this check"
fi

finish
