#!/bin/bash
# The real client is Wine: a host shares a tree that holds a Windows program,
# the mirror maps it as drive Y: of a fresh Wine prefix, and the program run
# from Y: reads the share's documents; after a change on the host and the
# mirror's next turn it reads the new text. Skipped where Wine or the MinGW
# compiler is missing (tools/install-deps wine installs both).
# Usage: mirrored_drive.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$1
build_dir=$2
. "$source_dir/tests/packaging/lib.sh"

command -v wine >/dev/null || skip "wine is not installed (tools/install-deps wine)"
command -v x86_64-w64-mingw32-gcc >/dev/null || skip "no MinGW compiler (tools/install-deps wine)"

share=$scratch/share
prefix=$scratch/prefix
mkdir -p "$share/docs"
x86_64-w64-mingw32-gcc -O2 -o "$share/share_reader.exe" "$source_dir/tests/wine/share_reader.c" ||
	{ fail "the Windows program does not build"; finish; }
echo "first text" >"$share/docs/a.txt"
echo "second text" >"$share/docs/b.txt"

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
timeout 300 wineboot -i >/dev/null 2>&1 || skip "wineboot could not make a prefix here"

port=$((20000 + RANDOM % 12000))
"$build_dir/dircast-serve" --root "$share" --port "$port" --beacon-port $((port + 1)) \
	--broadcast 127.0.0.1 >"$scratch/serve.log" &
host=$!
trap 'kill $host 2>/dev/null; wineserver -k 2>/dev/null; rm -rf "$scratch"' EXIT
sleep 0.5

mirror() {
	timeout 60 "$build_dir/dircast-mirror" --host 127.0.0.1 --port "$port" --beacon-port $((port + 2)) \
		--mirror-root "$prefix/drive_c/share-mirror" --dosdevices "$prefix/dosdevices" --drive y --once \
		>>"$scratch/mirror.log" || fail "the mirror ended with status $?"
}

read_drive() {
	(cd "$scratch" && timeout 120 wine 'y:\share_reader.exe' y 2>/dev/null | tr -d '\r' | sort)
}

mirror
expect_same "what the program on Y: reads" "$(printf 'a.txt: first text\nb.txt: second text')" "$(read_drive)"
echo "changed text" >"$share/docs/a.txt"
rm "$share/docs/b.txt"
mirror
expect_same "what it reads after a change" "a.txt: changed text" "$(read_drive)"
finish
