#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over our own sources, using the
# compile_commands.json of the native build. Exits nonzero on any finding.
#   scripts/lint.sh               # builds/configures build/lint if needed
#   LINT_BUILD=/path scripts/lint.sh
#   LINT_SKIP_TIDY=1 scripts/lint.sh    # cppcheck only (seconds instead of minutes)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=${LINT_BUILD:-$root/build/lint}
jobs=${LINT_JOBS:-2}
if [ ! -f "$build/compile_commands.json" ]; then
  cmake --preset native -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null || exit 1
fi
# The Sparkplug payload code is generated at build time: the checks read its header, and
# cppcheck loads every file the compilation database names.
if grep -q 'vpivg_sparkplug_pb' "$build/build.ninja" 2>/dev/null; then
  cmake --build "$build" --target vpivg_sparkplug_pb >/dev/null || exit 1
fi
# Sources we own (not googletest, not tests: test code is checked by the compiler's warnings
# and its gtest macros trip many checks by design).
mapfile -t files < <(cd "$root" && ls driver/*/*.cpp platform/*.cpp platform/native/*.cpp \
  host/zelpro/*.cpp host/vpivg-host/*.cpp host/gateway/*.cpp sim/*.cpp soak/*.cpp tools/*/*.cpp 2>/dev/null \
  | grep -v -E "_(windows|win32)\.cpp$" | sed "s|^|$root/|")
status=0

[ "${LINT_SKIP_TIDY:-0}" = 1 ] || echo "lint: clang-tidy on ${#files[@]} files"
if [ "${LINT_SKIP_TIDY:-0}" = 1 ]; then :; elif ! run-clang-tidy -quiet -j "$jobs" -p "$build" "${files[@]}" >"$build/clang-tidy.log" 2>&1; then
  grep -E 'warning:|error:' "$build/clang-tidy.log" | sort -u >&2
  echo "lint: clang-tidy found problems (full log: $build/clang-tidy.log)" >&2
  status=1
fi

echo "lint: cppcheck"
# Our own sources only. cppcheck names files as the compilation database does, absolute or
# relative to it, so each folder is given both ways.
filters=()
for dir in driver platform host sim soak tools; do
  filters+=("--file-filter=$root/$dir/*" "--file-filter=$dir/*")
done
# Suppressions, each with its reason:
#  missingIncludeSystem: cppcheck does not need the system headers to check our code.
#  unusedFunction: the driver's functions are reached through the handler table and tests.
#  unmatchedSuppression: keeps the list valid across cppcheck versions.
if ! cppcheck --project="$build/compile_commands.json" --enable=warning,performance,portability \
      --inline-suppr --error-exitcode=1 --quiet -j "$jobs" \
      --suppress=missingIncludeSystem --suppress=unmatchedSuppression \
      "${filters[@]}" \
      2>"$build/cppcheck.log"; then
  cat "$build/cppcheck.log" >&2
  echo "lint: cppcheck found problems" >&2
  status=1
fi
[ $status -eq 0 ] && echo "lint: clean"
exit $status
