#!/usr/bin/env bash
# Runs a command with everything the Windows tests need from Wine, and takes it all down after:
#
#   scripts/wine-env.sh [--arch win32|win64] BUILD_DIR [COMMAND [ARGS...]]   (no command: a shell)
#
# - the Wine that fits the build: win64 (Wine's 64-bit loader) for a build folder configured with
#   the x86_64 MinGW toolchain (preset win64), else win32; --arch says it outright;
# - the prefix BUILD_DIR/wineprefix (made once, by wineboot, with no display and no debug output);
# - one wineserver for the prefix, started before the command with its standard streams on
#   /dev/null and stopped after (`wineserver -k`), so test programs start in a fraction of a
#   second and no wineserver ever holds ctest's pipes;
# - VPIVG_WINE_COM_PAIRS (default 8) null-modem cables made of socat pseudo-terminal pairs,
#   mapped as COM1..COM8 (driver side) and COM21..COM28 (test side), and announced to the tests
#   in VPIVG_TEST_COM_PAIRS="COM1=COM21,COM2=COM22,...".
#
# Example: scripts/wine-env.sh build/win64 ctest --test-dir build/win64 -j2 --output-on-failure
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# shellcheck source=wine-common.sh
source "$here/wine-common.sh"

arch=""
if [[ "${1:-}" == "--arch" ]]; then
  arch="${2:-}"
  shift 2 || true
fi
if [[ $# -lt 1 ]]; then
  echo "usage: $0 [--arch win32|win64] BUILD_DIR [COMMAND [ARGS...]]" >&2
  exit 2
fi
build="$(mkdir -p "$1" && cd "$1" && pwd)"
shift
[[ -n "$arch" ]] || arch="$(wine_arch_of_build "$build")"

export WINEPREFIX="$build/wineprefix"
wine_select "$arch" || exit 2
# Programs the command starts through wine-run.sh use the same Wine as this environment.
export VPIVG_WINE_ARCH="$arch"
wine_quiet_environment

if ! wine_can_run; then
  if [[ "$arch" == win32 ]]; then
    echo "wine-env: this machine cannot run 32-bit x86 programs (or wine/wine32 is missing);" >&2
    echo "wine-env: the win32 build cannot run here. scripts/setup.sh installs Wine." >&2
  else
    echo "wine-env: the 64-bit Wine ($WINE_LOADER) cannot start; scripts/setup.sh installs it." >&2
  fi
  exit 3
fi
for tool in socat flock timeout; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "wine-env: $tool is missing; run scripts/setup.sh as root" >&2
    exit 3
  fi
done

cleanup() {
  wine_com_pairs_stop
  wine_stop_server
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wine_ensure_prefix
wine_ensure_server ""
# The first program of a session starts Wine's services; take that cost here, not in a test.
timeout 120 "$WINE_LOADER" cmd /c exit </dev/null >/dev/null 2>&1 || true
wine_com_pairs_start "${VPIVG_WINE_COM_PAIRS:-8}" "$build/wine-ttys"

if [[ $# -eq 0 ]]; then
  echo "wine-env: $arch WINEPREFIX=$WINEPREFIX VPIVG_TEST_COM_PAIRS=$VPIVG_TEST_COM_PAIRS" >&2
  set -- "${SHELL:-bash}"
fi
status=0
"$@" || status=$?
exit "$status"
