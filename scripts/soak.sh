#!/usr/bin/env bash
# Builds and runs the fault-injection soak (native). Arguments go to vpivg-soak:
#   scripts/soak.sh --seconds 90            # the CI run
#   scripts/soak.sh --seconds 1800 --seed 7 # the long run (docs/soak.md)
#   SOAK_BUILD=/path scripts/soak.sh ...    # default build/soak (preset native)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SOAK_BUILD:-$root/build/soak}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset native -B "$build" -DVPIVG_BUILD_TESTS=OFF >/dev/null || exit 1
fi
cmake --build "$build" -j2 --target vpivg-soak >/dev/null || { echo "soak: build failed" >&2; exit 1; }
[ $# -eq 0 ] && set -- --seconds 90
exec "$build/bin/vpivg-soak" "$@"
