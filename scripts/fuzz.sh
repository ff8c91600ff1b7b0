#!/usr/bin/env bash
# Runs every libFuzzer target for a bounded time, after replaying the seed corpus and every
# saved regression input. Prints the executions of each target; fails on any crash or failed
# check, and keeps the crashing input in fuzz/regressions/<target>/ so it is replayed from then on.
#
#   scripts/fuzz.sh                 # ~45 s per target
#   FUZZ_SECONDS=300 scripts/fuzz.sh parser receiver
#   FUZZ_BUILD=/path/to/build       # default: build/fuzz (preset "fuzz")
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build/fuzz}
seconds=${FUZZ_SECONDS:-45}
jobs=${FUZZ_JOBS:-2}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(parser publisher address initfile receiver config)

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset fuzz -B "$build" >/dev/null || exit 1
fi
cmake --build "$build" -j"$jobs" --target $(printf 'fuzz_%s ' "${targets[@]}") >/dev/null || {
  echo "fuzz: build failed" >&2; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
work=$(mktemp -d /tmp/vpivg-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
printf '%-10s %12s %8s  %s\n' target execs corpus result
for t in "${targets[@]}"; do
  exe=$build/bin/fuzz_$t
  seeds=$root/fuzz/corpus/$t
  regress=$root/fuzz/regressions/$t
  mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
  log=$work/$t/log
  # Regressions first: every file saved from an earlier crash must now pass.
  if [ -d "$regress" ] && [ -n "$(ls -A "$regress" 2>/dev/null)" ]; then
    if ! (cd "$work/$t" && "$exe" -runs=0 "$regress"/* >"$log.regress" 2>&1) ; then
      echo "fuzz: $t fails a saved regression input:" >&2; tail -30 "$log.regress" >&2
      status=1; continue
    fi
  fi
  # The working corpus starts from the seeds and is thrown away; the seeds stay as checked in.
  (cd "$work/$t" && "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/$t/artifacts/" \
      "$work/$t/corpus" "$seeds" >"$log" 2>&1)
  rc=$?
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  units=$(grep -c . <(ls "$work/$t/corpus") 2>/dev/null || echo 0)
  if [ $rc -ne 0 ] || [ -n "$(ls -A "$work/$t/artifacts")" ]; then
    mkdir -p "$regress"
    for f in "$work/$t/artifacts"/*; do
      [ -f "$f" ] && cp "$f" "$regress/" && echo "fuzz: $t input kept as fuzz/regressions/$t/$(basename "$f")" >&2
    done
    printf '%-10s %12s %8s  %s\n' "$t" "${execs:-?}" "$units" "FAILED (rc $rc)"
    grep -m1 -A25 'ERROR\|fuzz check failed\|runtime error' "$log" >&2
    status=1
  else
    printf '%-10s %12s %8s  %s\n' "$t" "${execs:-?}" "$units" ok
  fi
done
exit $status
