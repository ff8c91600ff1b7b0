#!/usr/bin/env bash
# The demo: builds the native driver, host and simulator, then runs the stand-in host on a
# pseudo-terminal pair with the simulated instrument on the other end (no hardware needed).
# It ends on its own after about 30 s, or on any key / Ctrl-C.
#
#   scripts/demo.sh [--duration S] [--trace] [--csv FILE] [--plain]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/setup.sh native
if [[ ! -f build/native/build.ninja ]]; then
  cmake --preset native >/dev/null
fi
if ! log="$(cmake --build --preset native -j 2 --target vpivg-host vpivg-sim 2>&1)"; then
  printf '%s\n' "$log" >&2
  echo "demo: the build failed" >&2
  exit 1
fi
exec build/native/bin/vpivg-host demo "$@"
