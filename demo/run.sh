#!/bin/sh
# make demo: a sample share on loopback, found by its beacon, mirrored in
# full, changed, and mirrored again by a delta. Everything lives in one
# temporary directory; no beacon leaves the machine (127.255.255.255).
set -eu
build=${1:-build}
serve=$build/dircast-serve
mirror=$build/dircast-mirror
[ -x "$serve" ] && [ -x "$mirror" ] || { echo "demo: build first (make)"; exit 1; }

work=$(mktemp -d /tmp/dircast-demo-XXXXXX)
host_pid= mirror_pid=
cleanup() {
	[ -n "$mirror_pid" ] && kill "$mirror_pid" 2>/dev/null || true
	[ -n "$host_pid" ] && kill "$host_pid" 2>/dev/null || true
	rm -rf "$work"
}
trap cleanup EXIT INT TERM

# A port nobody holds right now, TCP or UDP, on loopback.
free_port() {
	python3 -c 'import socket,sys; s=socket.socket(socket.AF_INET, int(sys.argv[1])); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' "$1" 2>/dev/null ||
		echo $((20000 + $$ % 20000 + $1))
}

# Waits up to 20 seconds for a text in a log.
wait_for() {
	i=0
	until grep -q "$2" "$1"; do
		i=$((i + 1))
		[ $i -le 200 ] || { echo "demo: no \"$2\" in $1"; cat "$1"; exit 1; }
		sleep 0.1
	done
}

share=$work/share
dosdevices=$work/wine/dosdevices
mkdir -p "$share/docs/notes" "$share/bin" "$dosdevices"
echo "hello from the host" > "$share/readme.txt"
echo "first draft" > "$share/docs/draft.txt"
echo "remember the milk" > "$share/docs/notes/todo.txt"
printf 'MZ\0\0binary\0bytes' > "$share/bin/tool.exe"
echo "soon gone" > "$share/old.txt"

port=$(free_port 1)
beacon_port=$(free_port 2)
# The host announces every change in its beacons, so the mirror, which
# would poll only every 30 seconds, syncs within moments of a change.
"$serve" --root "$share" --name demo-share --port "$port" --beacon-port "$beacon_port" \
	--broadcast 127.255.255.255 --announce-changes > "$work/serve.log" &
host_pid=$!
"$mirror" --beacon-port "$beacon_port" --mirror-root "$dosdevices/c:/share-mirror" \
	--dosdevices "$dosdevices" --drive y --poll 30 > "$work/mirror.log" &
mirror_pid=$!

echo "== first sync (full archive) =="
wait_for "$work/mirror.log" "sync complete"
wait_for "$work/mirror.log" "sleeping 30 seconds"
echo "== changing the share: one file changed, one added, one removed =="
changed=$(date +%s%N)
echo "second draft, longer" > "$share/docs/draft.txt"
echo "a new file" > "$share/docs/new.txt"
rm "$share/old.txt"
until diff -r "$share" "$dosdevices/c:/share-mirror" > /dev/null 2>&1; do
	[ $(( $(date +%s%N) - changed )) -lt 20000000000 ] || { echo "demo: the change never arrived"; exit 1; }
	sleep 0.01
done
echo "== the mirror had the change $(( ($(date +%s%N) - changed) / 1000000 )) ms later (the poll is every 30 s) =="
wait_for "$work/mirror.log" "delta changed files"
kill "$mirror_pid" "$host_pid"
wait "$mirror_pid" "$host_pid" 2>/dev/null || true
mirror_pid= host_pid=

echo
echo "== dircast-serve log =="
cat "$work/serve.log"
echo
echo "== dircast-mirror log =="
cat "$work/mirror.log"
echo
echo "== mirrored tree =="
(cd "$dosdevices" && find . | sort | while read -r p; do
	if [ -L "$p" ]; then echo "$p -> $(readlink "$p")"
	elif [ -f "$p" ]; then echo "$p ($(wc -c < "$p") bytes)"
	else echo "$p/"; fi
done)
echo
if diff -r "$share" "$dosdevices/c:/share-mirror" > /dev/null; then
	echo "demo: the mirror equals the share"
else
	echo "demo: the mirror differs from the share"; exit 1
fi
