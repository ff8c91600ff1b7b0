#!/usr/bin/env bash
# Runs one Windows program under Wine: the emulator CMake and ctest use for the Windows builds.
#
#   scripts/wine-run.sh [--arch win32|win64] [--prefix DIR] PROGRAM.exe [ARGS...]
#
# --arch picks the Wine: win32 (default; `wine`) or win64 (Wine's wine64 loader, called by path,
# see wine-common.sh). VPIVG_WINE_ARCH from the environment wins, as WINEPREFIX does.
# WINEPREFIX from the environment wins; otherwise --prefix (the toolchain passes
# <build>/wineprefix). The prefix is made on first use. If no wineserver serves the prefix yet,
# one is started here, detached and with its standard streams on /dev/null: a wineserver that
# a test program started itself would inherit ctest's pipes, and ctest would then wait for it
# forever. One started here lingers 30 s after its last client (scripts/wine-env.sh starts one
# for the whole suite and stops it after).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

prefix=""
arch="win32"
while [[ $# -ge 2 ]]; do
  case "$1" in
    --prefix) prefix="$2"; shift 2 ;;
    --arch) arch="$2"; shift 2 ;;
    *) break ;;
  esac
done
arch="${VPIVG_WINE_ARCH:-$arch}"
if [[ -z "${WINEPREFIX:-}" ]]; then
  if [[ -z "$prefix" ]]; then
    echo "wine-run.sh: no WINEPREFIX and no --prefix given" >&2
    exit 2
  fi
  export WINEPREFIX="$prefix"
fi

# shellcheck source=wine-common.sh
source "$here/wine-common.sh"
wine_select "$arch" || exit 2
wine_quiet_environment
wine_ensure_prefix || exit 1
wine_ensure_server "${VPIVG_WINESERVER_LINGER:-30}"

exec "$WINE_LOADER" "$@"
