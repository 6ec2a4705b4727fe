#!/bin/bash
# make install, through CMake's install rules: the i386 programs, the
# compressed manual pages and the systemd units land under PREFIX below
# DESTDIR, and the units name the programs by their installed path.
# Usage: install_layout.sh SOURCE_DIR BUILD_DIR CMAKE
set -uo pipefail
source_dir=$1
build_dir=$2
cmake=$3
. "$(dirname "$0")/lib.sh"

expected_layout() {
	local prefix=${1#/}
	LC_ALL=C sort <<-LAYOUT
	$prefix/bin/dircast-mirror 755
	$prefix/bin/dircast-serve 755
	$prefix/lib/systemd/system/dircast-mirror@.service 644
	$prefix/lib/systemd/system/dircast-serve.service 644
	$prefix/share/man/man1/dircast-mirror.1.gz 644
	$prefix/share/man/man1/dircast-serve.1.gz 644
	LAYOUT
}

# check_tree ROOT PREFIX: the installed files below ROOT for PREFIX.
check_tree() {
	local root=$1 prefix=$2
	local bin=$root$prefix/bin units=$root$prefix/lib/systemd/system

	expect_same "layout under $prefix" "$(expected_layout "$prefix")" "$(layout "$root")"
	for program in dircast-serve dircast-mirror; do
		[ -f "$bin/$program" ] || continue
		is_i386_elf "$bin/$program" || fail "$prefix/bin/$program is not an i386 executable"
		cmp -s "$bin/$program" "$build_dir/$program" ||
			fail "$prefix/bin/$program differs from the i386 build"
	done
	for page in dircast-serve.1 dircast-mirror.1; do
		local gz=$root$prefix/share/man/man1/$page.gz
		[ -f "$gz" ] || continue
		gzip -t "$gz" || fail "$page.gz is not gzip data"
		zcat "$gz" | cmp -s - "$source_dir/man/$page" ||
			fail "$page.gz does not hold man/$page"
	done
	for unit in dircast-serve.service dircast-mirror@.service; do
		[ -f "$units/$unit" ] || continue
		sed "s|@DIRCAST_BINDIR@|$prefix/bin|g" "$source_dir/systemd/$unit.in" |
			cmp -s - "$units/$unit" || fail "$unit is not its template filled with $prefix/bin"
		grep -q '@[A-Z_]*@' "$units/$unit" && fail "$unit keeps a placeholder"
		local program
		program=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$units/$unit")
		case $program in
		"$prefix"/bin/dircast-*) [ -x "$root$program" ] ||
			fail "$unit starts $program, which was not installed" ;;
		*) fail "$unit starts '$program', not a program in $prefix/bin" ;;
		esac
	done
}

# The default prefix of a plain configuration is /usr/local.
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build_dir/CMakeCache.txt")
[ "$prefix" = /usr/local ] || echo "note: this build tree was configured with prefix $prefix"

# cmake --install, as make install runs it, with DESTDIR and two prefixes.
DESTDIR=$scratch/local "$cmake" --install "$build_dir" --prefix /usr/local >"$scratch/local.log" 2>&1 ||
	{ fail "cmake --install --prefix /usr/local"; cat "$scratch/local.log" >&2; }
check_tree "$scratch/local" /usr/local

DESTDIR=$scratch/opt "$cmake" --install "$build_dir" --prefix /opt/dircast >"$scratch/opt.log" 2>&1 ||
	{ fail "cmake --install --prefix /opt/dircast"; cat "$scratch/opt.log" >&2; }
check_tree "$scratch/opt" /opt/dircast

# The Makefile front: make install PREFIX=... DESTDIR=...
if make -s -C "$source_dir" BUILD="$build_dir" install PREFIX=/usr DESTDIR="$scratch/make" \
	>"$scratch/make.log" 2>&1; then
	check_tree "$scratch/make" /usr
else
	fail "make install PREFIX=/usr DESTDIR=..."
	cat "$scratch/make.log" >&2
fi

finish
