#!/bin/bash
# A fresh prefix's drive_c, shared whole: Start Menu entries lie nine levels
# down, and the user folders link to the home directory, which holds the
# prefix (and a marker file). With --links within and with the default the
# mirror holds every file and directory of drive_c and nothing of the home.
# Usage: prefix_drive.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
. "$1/tests/packaging/lib.sh"
build_dir=$2

command -v wineboot >/dev/null || skip "wine is not installed (tools/install-deps wine)"
export HOME=$scratch/home WINEPREFIX=$scratch/home/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$HOME" && echo private >"$HOME/marker"
trap 'wineserver -k 2>/dev/null; rm -rf "$scratch"' EXIT
timeout 300 wineboot -i >/dev/null 2>&1 && wineserver -w || skip "wineboot could not make a prefix here"
entries() { (cd "$1" && find . -mindepth 1 \( -type f -o -type d \) | LC_ALL=C sort); }
drive=$(entries "$WINEPREFIX/drive_c")
grep -q "/Start Menu/" <<<"$drive" || fail "the prefix has no Start Menu entries to mirror"

for links in within follow; do
	port=$((20000 + RANDOM % 12000)) mirror=$scratch/mirror-$links
	"$build_dir/dircast-serve" --root "$WINEPREFIX/drive_c" --links "$links" --port "$port" \
		--beacon-port $((port + 1)) --broadcast 127.0.0.1 >"$scratch/serve-$links.log" &
	for _ in $(seq 200); do
		grep -q "listening on" "$scratch/serve-$links.log" && break
		sleep 0.05
	done
	timeout 120 "$build_dir/dircast-mirror" --host 127.0.0.1 --port "$port" --beacon-port $((port + 2)) \
		--mirror-root "$mirror" --dosdevices "$scratch/dos-$links" --once >"$mirror.log" ||
		fail "the mirror ended with status $? (--links $links)"
	kill $!
	expect_same "drive_c entries missing from the mirror (--links $links)" "" \
		"$(LC_ALL=C comm -23 <(echo "$drive") <(entries "$mirror"))"
	[ -z "$(find "$mirror" -name marker)" ] || fail "the home directory was mirrored (--links $links)"
done
finish
