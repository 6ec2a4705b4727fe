#!/bin/bash
# The systemd units: installed under /usr/local and /usr (the package's
# prefix), systemd-analyze verify accepts them without a word, with the
# programs and manual pages they name present at their installed paths; and
# they run the programs as the documentation says (unprivileged, restarted
# on failure, the mirror as the Wine user with everything in that user's
# home, the host never beaconing to the built-in default).
# Usage: systemd_units.sh SOURCE_DIR BUILD_DIR CMAKE
set -uo pipefail
source_dir=$1
build_dir=$2
cmake=$3
. "$(dirname "$0")/lib.sh"

# unit_value FILE KEY: the values of KEY= in FILE, one a line.
unit_value() {
	sed -n "s/^$2=//p" "$1"
}

check_contents() {
	local serve=$1 mirror=$2 prefix=$3

	expect_same "dircast-serve.service User=" "" "$(unit_value "$serve" User)"
	expect_same "dircast-serve.service DynamicUser=" yes "$(unit_value "$serve" DynamicUser)"
	expect_same "dircast-mirror@.service User=" "%i" "$(unit_value "$mirror" User)"
	for unit in "$serve" "$mirror"; do
		expect_same "$(basename "$unit") Restart=" on-failure "$(unit_value "$unit" Restart)"
		expect_same "$(basename "$unit") NoNewPrivileges=" yes "$(unit_value "$unit" NoNewPrivileges)"
		expect_same "$(basename "$unit") WantedBy=" multi-user.target "$(unit_value "$unit" WantedBy)"
		[ "$(grep -c '^ExecStart=' "$unit")" -eq 1 ] || fail "$(basename "$unit") needs exactly one ExecStart="
	done
	local start
	start=$(unit_value "$serve" ExecStart)
	case " $start " in
	" $prefix/bin/dircast-serve "*" --broadcast "*) ;;
	*) fail "dircast-serve.service ExecStart= must start $prefix/bin/dircast-serve with --broadcast: $start" ;;
	esac
	case " $start " in *" --broadcast 10.0.3.255 "*) fail "dircast-serve.service beacons to the built-in default" ;; esac
	start=$(unit_value "$mirror" ExecStart)
	case $start in "$prefix/bin/dircast-mirror "*) ;; *) fail "dircast-mirror@.service ExecStart= runs $start" ;; esac
	for option in "--mirror-root \${HOME}/.wine/dosdevices/" "--dosdevices \${HOME}/.wine/dosdevices"; do
		case " $start " in *" $option"*) ;; *) fail "dircast-mirror@.service ExecStart= lacks \"$option\"" ;; esac
	done
	case " $start " in *" --once "*) fail "dircast-mirror@.service must keep polling, not --once" ;; esac
}

# The system's own unit directory, for the targets the units depend on.
system_units=
for dir in /usr/lib/systemd/system /lib/systemd/system; do
	[ -f "$dir/sysinit.target" ] && { system_units=$dir; break; }
done

for prefix in /usr/local /usr; do
	root=$scratch/root${prefix//\//-}
	if ! DESTDIR=$root "$cmake" --install "$build_dir" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
		fail "cmake --install --prefix $prefix"
		cat "$scratch/install.log" >&2
		continue
	fi
	units=$root$prefix/lib/systemd/system
	check_contents "$units/dircast-serve.service" "$units/dircast-mirror@.service" "$prefix"

	command -v systemd-analyze >/dev/null ||
		skip "systemd-analyze is not installed (apt-get install systemd); unit contents checked"
	[ -n "$system_units" ] || skip "no systemd unit directory with sysinit.target on this system"

	# A root that holds the installed tree and the system's targets.
	mkdir -p "$root/usr/lib/systemd/system"
	cp -n "$system_units"/*.target "$root/usr/lib/systemd/system/"
	man_check=--man=yes
	command -v man >/dev/null || { man_check=--man=no; echo "note: man is missing, Documentation= not checked"; }
	verify() {
		MANPATH=$root$prefix/share/man SYSTEMD_LOG_COLOR=0 SYSTEMD_COLORS=0 \
			systemd-analyze verify --root="$root" "$man_check" \
			"$units/dircast-serve.service" "$units/dircast-mirror@.service" 2>&1
	}
	out=$(verify)
	status=$?
	[ $status -eq 0 ] || fail "systemd-analyze verify (prefix $prefix) ended with status $status"
	[ -z "$out" ] || fail "systemd-analyze verify (prefix $prefix) says: $out"

	# The same verify notices a program missing at its ExecStart= path, so a
	# quiet verify above means that the installed paths were checked.
	mv "$root$prefix/bin/dircast-mirror" "$scratch/moved"
	out=$(verify)
	grep -q "dircast-mirror" <<<"$out" ||
		fail "systemd-analyze verify did not notice a missing $prefix/bin/dircast-mirror"
	mv "$scratch/moved" "$root$prefix/bin/dircast-mirror"
done

finish
