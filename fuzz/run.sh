#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer, UBSan) in their
# own build directory and runs each one for a while over its kept corpus.
#
#   fuzz/run.sh [SECONDS] [TARGET...]      default: 60 seconds, every target
#
# FUZZ_BUILD (default build-fuzz) is the build directory, FUZZ_JOBS (default 1)
# how many targets run at once, FUZZ_SEED (default: a new one each run) the
# mutation seed: a fixed seed repeats the same inputs in the same order, so a
# run that passed once passes again on a machine of the same speed. New inputs go to a scratch corpus under the
# build directory, never into fuzz/corpus; a crashing input is left in
# FUZZ_BUILD/artifacts/ and the run fails. Each target's closing line of
# libFuzzer statistics (executions, cov, ft) is printed.
set -euo pipefail

cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=${FUZZ_BUILD:-build-fuzz}
jobs=${FUZZ_JOBS:-1}
seed=()
if [ -n "${FUZZ_SEED:-}" ]; then
	seed=(-seed="$FUZZ_SEED")
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
	targets=(archive delta reply_stream path options host_request host_interleave signed_listing)
fi

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++}" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null

mkdir -p "$build/artifacts" "$build/logs"

run_target()
{
	local t=$1 work="$build/work/$1"

	mkdir -p "$work"
	rm -f "$build/logs/$t.failed"
	"$build/fuzz_$t" -max_total_time="$seconds" -timeout=30 -max_len=16384 -print_final_stats=1 "${seed[@]}" \
		-artifact_prefix="$build/artifacts/$t-" "$work" "fuzz/corpus/$t" >"$build/logs/$t.log" 2>&1 ||
		touch "$build/logs/$t.failed"
}

running=0
for t in "${targets[@]}"; do
	run_target "$t" &
	running=$((running + 1))
	if [ "$running" -ge "$jobs" ]; then
		wait -n || true
		running=$((running - 1))
	fi
done
wait
failed=()
for t in "${targets[@]}"; do
	if [ -e "$build/logs/$t.failed" ]; then
		failed+=("$t")
	fi
	# "#N DONE cov: C ft: F corp: ..." and the execution count that follows.
	echo "fuzz $t: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$build/logs/$t.log" | tail -n 1) " \
		"$(grep -E '^stat::number_of_executed_units' "$build/logs/$t.log" | tail -n 1)"
done
if [ ${#failed[@]} -gt 0 ]; then
	for t in "${failed[@]}"; do
		echo "fuzz $t FAILED; last lines of $build/logs/$t.log:"
		tail -n 40 "$build/logs/$t.log"
	done
	exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds} s each without a finding"
