#!/usr/bin/env bash
# The test command: installs what is missing, then builds and tests every preset.
#
#   scripts/test.sh [PRESET...]        (default: native asan tsan win32 win64)
#
# Presets build one after another (2 jobs each), so two cores are not fought over. The Windows
# builds' tests run under Wine through scripts/wine-env.sh:
# - win32, the shipped 32-bit DLL: always built, its artifact checks (export and import tables)
#   always run, and its whole suite runs under the 32-bit Wine where the kernel runs 32-bit x86
#   programs; elsewhere the summary says that nothing of it ran under Wine;
# - win64, the same sources built for 64-bit Windows: built and its whole suite run under the
#   64-bit Wine, which every x86-64 machine can run.
# Ends with "N passed, N failed" over all presets; exits non-zero if anything failed.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root" || exit 1
# shellcheck source=i386.sh
source scripts/i386.sh

presets=("$@")
if [[ ${#presets[@]} -eq 0 ]]; then
  presets=(native asan tsan win32 win64)
fi
for preset in "${presets[@]}"; do
  case "$preset" in
    native | asan | tsan | win32 | win64) ;;
    *) echo "test.sh: unknown preset '$preset' (native, asan, tsan, win32, win64)" >&2; exit 2 ;;
  esac
done

# The full run (no preset named) also checks the release, fuzzes, lints and soaks.
full_run=0
[[ $# -eq 0 ]] && full_run=1
setup_for=("${presets[@]}")
((full_run)) && setup_for+=(release)
if ! bash scripts/setup.sh "${setup_for[@]}"; then
  echo "test.sh: the tools are not all there (see above)" >&2
  echo "0 passed, 1 failed"
  exit 1
fi

jobs="${VPIVG_JOBS:-2}"
# The suites spend most of their time waiting on lines, brokers and timeouts, not computing
# (a whole native run takes a few CPU-seconds a minute), so they run twice as many tests at once
# as there are build jobs.
test_jobs="${VPIVG_TEST_JOBS:-$((jobs * 2))}"
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
  local ctest_args=(--preset "$preset" -j "$test_jobs" --output-on-failure --no-tests=error)
  if [[ "$preset" == win32 ]]; then
    if machine_runs_i386 && wine32_installed; then
      note="whole suite under the 32-bit Wine"
      scripts/wine-env.sh --arch win32 "$build" ctest "${ctest_args[@]}" 2>&1 | tee "$ctest_log"
      status=${PIPESTATUS[0]}
    else
      if machine_runs_i386; then
        note="artifact checks only: the 32-bit Wine is not installed (see setup above), so nothing ran under Wine"
      else
        note="artifact checks only: this machine cannot run 32-bit x86 programs, so nothing ran under Wine"
      fi
      # Straight in the checks' own folder: listing the test programs would need Wine.
      ctest --test-dir "$build/tests/scripts" -L artifacts -j "$test_jobs" --output-on-failure \
        --no-tests=error 2>&1 | tee "$ctest_log"
      status=${PIPESTATUS[0]}
    fi
  elif [[ "$preset" == win64 ]]; then
    note="whole suite under the 64-bit Wine"
    # A test program whose Wine process fails to start on a loaded machine gets one more try;
    # a test that fails in its own checks fails both times.
    scripts/wine-env.sh --arch win64 "$build" ctest "${ctest_args[@]}" --repeat until-pass:2 \
      2>&1 | tee "$ctest_log"
    status=${PIPESTATUS[0]}
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
  # Skipped tests count as passed; say how many, since a skip is a check that did not run.
  local skipped
  skipped="$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$ctest_log" || true)"
  ((skipped > 0)) && note="$skipped of them skipped${note:+; $note}"
  summary+=("$preset: $passed passed, $failed failed in $((SECONDS - t0)) s${note:+ ($note)}")
}

# The full run's extra checks, each counted as one result.
run_extra() {
  local name=$1 t0=$SECONDS
  shift
  if "$@"; then
    summary+=("$name: passed in $((SECONDS - t0)) s")
    total_passed=$((total_passed + 1))
  else
    summary+=("$name: FAILED in $((SECONDS - t0)) s")
    total_failed=$((total_failed + 1))
  fi
}

main() {
  local preset line
  for preset in "${presets[@]}"; do
    run_preset "$preset"
  done
  if ((full_run)); then
    # The packages a plant downloads: made from clean Release builds, unpacked and run, their
    # version resource compared with --version, the driver rebuilt elsewhere to the same bytes.
    run_extra release bash scripts/release-check.sh
    # 20 s a target after the corpus replay keeps the run within its budget; longer campaigns
    # are scripts/fuzz.sh with FUZZ_SECONDS.
    run_extra fuzz env FUZZ_SECONDS=20 bash scripts/fuzz.sh
    run_extra lint bash scripts/lint.sh
    run_extra soak bash scripts/soak.sh --seconds 90
  fi
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
