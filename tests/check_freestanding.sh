#!/bin/sh
# Every program is a static i386 (or x86_64) ELF with no interpreter, no
# dynamic section, no constructors and no undefined symbol: nothing outside
# the repository was linked in.
build=${1:-build}
status=0
fail() { echo "FAIL: $*"; status=1; }
for prog in dircast-serve dircast-mirror; do
	for arch in i386 x86_64; do
		if [ $arch = i386 ]; then bin=$build/$prog; machine="Intel 80386"; class=ELF32
		else bin=$build/x86_64/$prog; machine="X86-64"; class=ELF64; fi
		[ -e "$bin" ] || { [ $prog = dircast-mirror ] && [ ! -e "$(dirname "$0")/../client/main.cpp" ] && continue; fail "$bin missing"; continue; }
		hdr=$(readelf -h "$bin")
		echo "$hdr" | grep -q "Class: *$class" || fail "$bin is not $class"
		echo "$hdr" | grep -q "Machine: *.*$machine" || fail "$bin is not $machine"
		echo "$hdr" | grep -q "Type: *EXEC" || fail "$bin is not a static executable"
		readelf -l "$bin" | grep -q INTERP && fail "$bin has an interpreter"
		readelf -S "$bin" | grep -q -E '\.dynamic|\.init_array|\.ctors' && fail "$bin has dynamic or constructor sections"
		undef=$(nm -u "$bin")
		[ -n "$undef" ] && fail "$bin has undefined symbols: $undef"
		echo "ok: $bin"
	done
done
exit $status
