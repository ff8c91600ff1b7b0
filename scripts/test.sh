#!/usr/bin/env bash
# The test command: installs what is missing, then builds and tests every preset.
#
#   scripts/test.sh [PRESET...]        (default: native asan tsan win32)
#
# Presets build one after another (2 jobs each), so two cores are not fought over. The win32
# build's tests run under Wine through scripts/wine-env.sh; on a machine that cannot run 32-bit
# x86 programs at all, win32 is built and its artifact checks run, and the summary says so.
# Ends with "N passed, N failed" over all presets; exits non-zero if anything failed.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root" || exit 1
# shellcheck source=i386.sh
source scripts/i386.sh

presets=("$@")
if [[ ${#presets[@]} -eq 0 ]]; then
  presets=(native asan tsan win32)
fi
for preset in "${presets[@]}"; do
  case "$preset" in
    native | asan | tsan | win32) ;;
    *) echo "test.sh: unknown preset '$preset' (native, asan, tsan, win32)" >&2; exit 2 ;;
  esac
done

if ! bash scripts/setup.sh "${presets[@]}"; then
  echo "test.sh: the tools are not all there (see above)" >&2
  echo "0 passed, 1 failed"
  exit 1
fi

jobs="${VPIVG_JOBS:-2}"
total_passed=0
total_failed=0
summary=()
started=$SECONDS

# Reads ctest's "NN% tests passed, F tests failed out of T" from a log into passed/failed.
count_from_log() {
  local log="$1" line
  line="$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)"
  if [[ -z "$line" ]]; then
    passed=0
    failed=0
    return 1
  fi
  local total
  failed="$(sed -E 's/^.* ([0-9]+) tests? failed out of ([0-9]+).*$/\1/' <<<"$line")"
  total="$(sed -E 's/^.* ([0-9]+) tests? failed out of ([0-9]+).*$/\2/' <<<"$line")"
  passed=$((total - failed))
}

run_preset() {
  local preset="$1" build="build/$1" log_dir="build/logs"
  local t0=$SECONDS note=""
  mkdir -p "$log_dir"
  echo
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >"$log_dir/$preset-configure.log" 2>&1; then
    tail -40 "$log_dir/$preset-configure.log"
    summary+=("$preset: configure FAILED (build/logs/$preset-configure.log)")
    total_failed=$((total_failed + 1))
    return
  fi
  if ! cmake --build --preset "$preset" -j "$jobs" >"$log_dir/$preset-build.log" 2>&1; then
    grep -E 'error|Error|FAILED' "$log_dir/$preset-build.log" | head -40
    summary+=("$preset: build FAILED (build/logs/$preset-build.log)")
    total_failed=$((total_failed + 1))
    return
  fi
  echo "=== $preset: built in $((SECONDS - t0)) s; testing"

  local ctest_log="$log_dir/$preset-ctest.log" status=0
  local ctest_args=(--preset "$preset" -j "$jobs" --output-on-failure --no-tests=error)
  if [[ "$preset" == win32 ]]; then
    if machine_runs_i386 && command -v wine >/dev/null 2>&1; then
      scripts/wine-env.sh "$build" ctest "${ctest_args[@]}" 2>&1 | tee "$ctest_log"
      status=${PIPESTATUS[0]}
    else
      note=" (artifact checks only: this machine cannot run 32-bit x86 programs, so nothing ran under Wine)"
      # Straight in the checks' own folder: listing the test programs would need Wine.
      ctest --test-dir "$build/tests/scripts" -j "$jobs" --output-on-failure --no-tests=error \
        2>&1 | tee "$ctest_log"
      status=${PIPESTATUS[0]}
    fi
  else
    ctest "${ctest_args[@]}" 2>&1 | tee "$ctest_log"
    status=${PIPESTATUS[0]}
  fi

  local passed failed
  if ! count_from_log "$ctest_log"; then
    summary+=("$preset: ctest FAILED with no test result (status $status, $ctest_log)")
    total_failed=$((total_failed + 1))
    return
  fi
  if ((status != 0 && failed == 0)); then
    failed=1  # ctest failed without naming a test (a timeout in discovery, a crash of ctest)
  fi
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  summary+=("$preset: $passed passed, $failed failed in $((SECONDS - t0)) s$note")
}

main() {
  local preset line
  for preset in "${presets[@]}"; do
    run_preset "$preset"
  done
  echo
  echo "=== summary ($((SECONDS - started)) s)"
  for line in "${summary[@]}"; do
    echo "  $line"
  done
  echo "$total_passed passed, $total_failed failed"
  ((total_failed == 0))
}

# On one line, so bash has read all of it before it runs: editing this file during a run
# cannot change what the run does.
main; exit $?
