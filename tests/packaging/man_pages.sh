#!/bin/bash
# The manual pages: groff -ww finds nothing to warn about, man -l renders
# them (source and installed .gz) without warnings, and they keep up with
# the programs: every option and default their --help shows, the listen
# backlog a running host has, every log line and every limit is documented.
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

# A number in the text stands alone: "backlog of 1" is not "backlog of 128".
expect_text() {
	local pattern
	pattern=$(sed 's/[][\.*^$/]/\\&/g' <<<"$3")
	grep -qE -- "(^|[^0-9])$pattern([^0-9]|$)" "$2" || fail "$1 does not say \"$3\""
}

# The program's own --help; the settings after it keep beacons on loopback
# and the mirror in the scratch directory, should a build start instead.
usage() {
	local guard=(--broadcast 127.0.0.1 --port 0)
	[ "$1" = dircast-mirror ] && guard=(--mirror-root "$scratch/m" --dosdevices "$scratch/d" --host 127.0.0.1 --port 1 --once)
	timeout 5 "$build_dir/$1" --help "${guard[@]}" 2>/dev/null
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

# Every option the program's --help names, in OPTIONS, and every default it
# shows, as "Default: VALUE" there.
for program in dircast-serve dircast-mirror; do
	usage $program >"$scratch/$program.usage"
	options=$(grep -E '^  -' "$scratch/$program.usage" | sed -E 's/   .*//' | grep -oE -- '--?[a-z][a-z-]*' | sort -u)
	[ "$(wc -w <<<"$options")" -ge 8 ] || fail "$program --help names too few options: $options"
	for option in $options; do
		grep -qE -- "(^|[^a-z-])$option([^a-z-]|$)" "$scratch/$program.tags" ||
			fail "$program.1 does not list $option under OPTIONS"
	done
	while IFS= read -r value; do
		grep -qE -- "Default: $(sed 's/[][\.*^$/]/\\&/g' <<<"$value")[.,;]" "$scratch/$program.options" ||
			fail "$program.1 does not give the default $value that --help shows"
	done < <(grep -oE '\(default [^);,]*' "$scratch/$program.usage" | sed 's/^(default //')
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

# The backlog a running host listens with.
"$build_dir/dircast-serve" --root "$scratch" --port 0 --beacon-port 0 --broadcast 127.0.0.1 >/dev/null 2>&1 &
host=$!
for _ in $(seq 100); do
	backlog=$(ss -Hltnp 2>/dev/null | awk -v p="pid=$host," 'index($0, p) { print $3 }')
	[ -n "$backlog" ] && break
	sleep 0.1
done
kill $host
[ -n "$backlog" ] && expect_text dircast-serve.1 "$scratch/dircast-serve.txt" "listen backlog of $backlog" ||
	fail "no listening dircast-serve found with ss"

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
