#!/bin/bash
# The Debian package: CPack builds dircast_<version>_i386.deb (into a
# private directory, not the build tree); dpkg-deb shows its fields and
# files; it installs into an empty scratch root with dpkg --root, its
# programs run from there, and it removes and purges cleanly, leaving
# nothing but dpkg's own database.
# Usage: deb_package.sh SOURCE_DIR BUILD_DIR CPACK VERSION
set -uo pipefail
source_dir=$1
build_dir=$2
cpack=$3
version=$4
. "$(dirname "$0")/lib.sh"

command -v dpkg-deb >/dev/null && command -v dpkg >/dev/null ||
	skip "dpkg is not installed: not a Debian system"

deb=$scratch/out/dircast_${version}_i386.deb
if ! (cd "$build_dir" && "$cpack" -G DEB -B "$scratch/out") >"$scratch/cpack.log" 2>&1; then
	cat "$scratch/cpack.log" >&2
	fail "cpack -G DEB"
	finish
fi
[ -f "$deb" ] || { fail "cpack made no $(basename "$deb")"; ls "$scratch/out" >&2; finish; }

# Control fields: name, version, architecture; no dependencies at all.
field() { dpkg-deb --field "$deb" "$1"; }
expect_same "Package" dircast "$(field Package)"
expect_same "Version" "$version" "$(field Version)"
expect_same "Architecture" i386 "$(field Architecture)"
for name in Depends Pre-Depends Recommends; do
	expect_same "$name" "" "$(field $name)"
done
[ -n "$(field Maintainer)" ] || fail "no Maintainer field"
[ -n "$(field Description)" ] || fail "no Description field"
dpkg-deb --info "$deb" >"$scratch/info" || fail "dpkg-deb --info"
grep -q ' md5sums' "$scratch/info" || fail "the package has no md5sums"
grep -qE ' (preinst|postinst|prerm|postrm|config)$' "$scratch/info" &&
	fail "the package has maintainer scripts; it needs none"

# Contents: exactly these files, owned by root, with these modes.
files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | LC_ALL=C sort -k3)
expected=$(LC_ALL=C sort -k3 <<-CONTENTS
	-rwxr-xr-x root/root ./usr/bin/dircast-mirror
	-rwxr-xr-x root/root ./usr/bin/dircast-serve
	-rw-r--r-- root/root ./usr/lib/systemd/system/dircast-mirror@.service
	-rw-r--r-- root/root ./usr/lib/systemd/system/dircast-serve.service
	-rw-r--r-- root/root ./usr/share/man/man1/dircast-mirror.1.gz
	-rw-r--r-- root/root ./usr/share/man/man1/dircast-serve.1.gz
	CONTENTS
)
expect_same "dpkg-deb --contents" "$expected" "$files"

# The files themselves: stripped i386 programs, the pages, the units for /usr.
dpkg-deb -x "$deb" "$scratch/x" || fail "dpkg-deb -x"
for program in dircast-serve dircast-mirror; do
	is_i386_elf "$scratch/x/usr/bin/$program" || fail "$program in the package is not an i386 executable"
	if command -v readelf >/dev/null; then
		readelf -S "$scratch/x/usr/bin/$program" | grep -q '\.debug_' &&
			fail "$program in the package is not stripped"
		readelf -d "$scratch/x/usr/bin/$program" | grep -q NEEDED &&
			fail "$program in the package needs shared libraries"
	fi
done
for page in dircast-serve.1 dircast-mirror.1; do
	zcat "$scratch/x/usr/share/man/man1/$page.gz" | cmp -s - "$source_dir/man/$page" ||
		fail "$page.gz in the package does not hold man/$page"
done
for unit in dircast-serve.service dircast-mirror@.service; do
	sed 's|@DIRCAST_BINDIR@|/usr/bin|g' "$source_dir/systemd/$unit.in" |
		cmp -s - "$scratch/x/usr/lib/systemd/system/$unit" || fail "$unit in the package does not run /usr/bin"
done

# Install into an empty root. Its dpkg database starts empty; an amd64
# dpkg takes i386 packages once i386 is a foreign architecture there.
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg_root() {
	local force=
	[ "$(id -u)" -eq 0 ] || force=--force-not-root
	dpkg --root="$root" --log="$scratch/dpkg.log" $force "$@"
}
if [ "$(dpkg --print-architecture)" != i386 ]; then
	dpkg_root --add-architecture i386 || fail "dpkg --add-architecture i386"
fi
if dpkg_root --install "$deb" >"$scratch/install.log" 2>&1; then
	expect_same "status after install" "install ok installed" \
		"$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' dircast)"
	packaged=$(awk '{ print substr($3, 2) }' <<<"$expected" | LC_ALL=C sort)
	expect_same "files after install" "$packaged" \
		"$(cd "$root" && find . -path ./var -prune -o \( -type f -o -type l \) -printf '/%P\n' | LC_ALL=C sort)"
	listed=$(dpkg-query --admindir="$root/var/lib/dpkg" -L dircast)
	for file in $packaged; do
		grep -qx "$file" <<<"$listed" || fail "dpkg -L does not list $file"
	done
	# The installed programs run (refusing a setting, so nothing is opened).
	out=$("$root/usr/bin/dircast-serve" --broadcast 127.0.0.1 --name 'bad hash=1' 2>&1)
	status=$?
	expect_same "installed dircast-serve output" \
		"$(printf 'dircast-serve: start\ndircast-serve: invalid setting --name')" "$out"
	expect_same "installed dircast-serve status" 1 "$status"
	out=$("$root/usr/bin/dircast-mirror" --dosdevices "$(printf '/d%.0s' $(seq 1 130))" 2>&1)
	status=$?
	expect_same "installed dircast-mirror output" \
		"$(printf 'dircast-mirror: start\ndircast-mirror: invalid setting --dosdevices')" "$out"
	expect_same "installed dircast-mirror status" 1 "$status"
else
	cat "$scratch/install.log" >&2
	fail "dpkg --root --install"
fi

# Remove, then purge: every file and directory the package brought goes.
dpkg_root --remove dircast >"$scratch/remove.log" 2>&1 || { cat "$scratch/remove.log" >&2; fail "dpkg --remove"; }
left=$(cd "$root" && find . -mindepth 1 -not -path './var' -not -path './var/lib' -not -path './var/lib/dpkg' \
	-not -path './var/lib/dpkg/*' -printf '%P\n')
expect_same "files left after remove" "" "$left"
dpkg_root --purge dircast >"$scratch/purge.log" 2>&1 || { cat "$scratch/purge.log" >&2; fail "dpkg --purge"; }
expect_same "status after purge" "" \
	"$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' dircast 2>/dev/null)"
ls "$root/var/lib/dpkg/info" | grep -q '^dircast' && fail "dpkg keeps files of dircast in info/ after purge"

finish
