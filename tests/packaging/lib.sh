# Shared by the packaging checks: failure reporting and a private scratch
# directory that is removed on exit. Sourced, never run.

failures=0

# Reports a failed check and goes on, so one run shows every fault.
fail() {
	echo "FAIL: $*" >&2
	failures=$((failures + 1))
}

# Ends the check: status 1 when any check failed.
finish() {
	if [ "$failures" -ne 0 ]; then
		echo "$failures check(s) failed" >&2
		exit 1
	fi
	echo "all checks passed"
}

# Status 77 is registered as "skipped" with CTest.
skip() {
	echo "SKIPPED: $*"
	exit 77
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/dircast-packaging-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# expect_same NAME EXPECTED ACTUAL: compares two texts, showing the difference.
expect_same() {
	if [ "$2" != "$3" ]; then
		fail "$1"
		diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/    /' >&2 || true
	fi
}

# is_i386_elf FILE: a 32-bit little-endian ELF executable for Intel 80386.
is_i386_elf() {
	local header
	header=$(od -An -tx1 -N20 "$1" | tr -d ' \n')
	# magic 7f454c46, class 01 (32-bit), data 01 (little-endian), version 01,
	# ..., e_type 0002 (executable) at 16, e_machine 0003 (i386) at 18.
	[ "${header:0:14}" = 7f454c46010101 ] && [ "${header:32:8}" = 02000300 ]
}

# Files and links below a directory, relative, sorted: a layout to compare.
layout() {
	(cd "$1" && find . \( -type f -o -type l \) -printf '%P %m\n' | LC_ALL=C sort)
}
