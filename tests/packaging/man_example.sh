#!/bin/bash
# The loopback examples of both manual pages are true: the commands of each
# page's "Try it on one machine" example run as written (with private ports
# and a private directory in place of 29200, 29201 and /tmp/dc, and the
# programs of this build), and the mirror prints exactly the lines that
# dircast-mirror(1) shows for that first sync. The examples must keep their
# beacons on loopback; this check refuses to run one that does not.
# Usage: man_example.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$1
build_dir=$2
. "$(dirname "$0")/lib.sh"

# The .EX block that follows the line LEAD in PAGE, unescaped, with
# continuation lines joined.
example_block() {
	awk -v lead="$2" '
		index($0, lead) == 1 { found = 1; next }
		found && $0 == ".EX" { inside = 1; next }
		inside && $0 == ".EE" { exit }
		inside { print }
	' "$1" | sed -e 's/\\-/-/g' -e 's/\\(aq/'"'"'/g' -e 's/\\e/\\/g' | sed -e ':a' -e '/\\$/N; s/\\\n *//; ta'
}

# The example as a script for this build, ports and directory.
adapt() {
	sed -e "s|/tmp/dc|$work|g" -e "s|29200|$tcp_port|g" -e "s|29201|$udp_port|g" \
		-e "s|^dircast-serve \\(.*\\) &\$|\"$build_dir/dircast-serve\" \\1 >\"$work.serve\" \\& host=\$!|" \
		-e "s|^dircast-mirror |timeout 120 \"$build_dir/dircast-mirror\" |" \
		-e "/^timeout 120 /s|\$| >>\"$work.mirror\"|" \
		-e "s|^kill %1\$|kill \$host; wait \$host \|\| true|" \
		-e "s|cat <&3\$|cat <\\&3 >\"$work.manifest\"|" \
		-e "s|^ls |ls >/dev/null |"
}

expected_log=$(example_block "$source_dir/man/dircast-mirror.1" "The lines of that first sync:")
[ -n "$expected_log" ] || fail "dircast-mirror.1 shows no lines of the first sync"

for page in dircast-mirror dircast-serve; do
	n=$((${n:-0} + 1))
	example=$(example_block "$source_dir/man/$page.1" "Try it on one machine")
	[ -n "$example" ] || { fail "$page.1 has no loopback example"; continue; }
	if grep '^dircast-serve ' <<<"$example" | grep -vqE -- '--broadcast 127\.(0\.0\.1|255\.255\.255)( |$)'; then
		fail "$page.1: the loopback example lets beacons leave the machine; not run"
		continue
	fi
	grep -q '^dircast-serve .* &$' <<<"$example" && grep -q '^kill %1$' <<<"$example" ||
		{ fail "$page.1: the example does not start the host in the background and stop it"; continue; }

	# Ports below the kernel's ephemeral range; another pick when taken.
	for attempt in 1 2 3 4 5; do
		tcp_port=$((20000 + RANDOM % 12000))
		udp_port=$((tcp_port + 1))
		work=$scratch/example$n-$attempt
		(exec 3<>"/dev/tcp/127.0.0.1/$tcp_port") 2>/dev/null && continue
		adapt <<<"$example" >"$work.sh"
		bash -e "$work.sh" >"$work.out" 2>&1
		status=$?
		grep -q "listen failed" "$work.serve" 2>/dev/null && continue
		grep -q "discovery failed" "$work.mirror" 2>/dev/null && continue
		break
	done
	if [ $status -ne 0 ]; then
		fail "$page.1: the example ended with status $status"
		sed 's/^/    /' "$work.sh" "$work.out" "$work.serve" "$work.mirror" >&2 2>/dev/null
		continue
	fi
	expect_same "$page.1: the mirror's lines" \
		"$(sed -e "s|/tmp/dc|$work|g" -e "s|29200|$tcp_port|g" -e "s|29201|$udp_port|g" <<<"$expected_log")" \
		"$(cat "$work.mirror")"
	expect_same "$page.1: the drive link" "$work/mirror" "$(readlink "$work/dosdevices/y:")"
	cmp -s "$work/share/a.txt" "$work/mirror/a.txt" || fail "$page.1: the mirror does not hold a.txt"
	if [ -f "$work.manifest" ]; then
		hash=$(sed -n 's/^dircast-mirror: manifest hash //p' "$work.mirror")
		expect_same "$page.1: the manifest fetched by hand" \
			"$(printf 'DC-SHARE-MANIFEST/1\nname=c-host\nhash=%s\nentries=recursive\n\nfile path=a.txt size=6 hash=%s\nEND' \
				"$hash" "$(sed -n 's/^file path=a.txt size=6 hash=//p' "$work.manifest")")" \
			"$(cat "$work.manifest")"
	fi
done

finish
