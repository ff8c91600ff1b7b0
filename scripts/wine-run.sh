#!/usr/bin/env bash
# Runs one Windows program under Wine: the emulator CMake and ctest use for the win32 build.
#
#   scripts/wine-run.sh [--prefix DIR] PROGRAM.exe [ARGS...]
#
# WINEPREFIX from the environment wins; otherwise --prefix (the toolchain passes
# <build>/wineprefix). The prefix is made on first use. If no wineserver serves the prefix yet,
# one is started here, detached and with its standard streams on /dev/null: a wineserver that
# a test program started itself would inherit ctest's pipes, and ctest would then wait for it
# forever. One started here lingers 30 s after its last client (scripts/wine-env.sh starts one
# for the whole suite and stops it after).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

prefix=""
if [[ "${1:-}" == "--prefix" ]]; then
  prefix="$2"
  shift 2
fi
if [[ -z "${WINEPREFIX:-}" ]]; then
  if [[ -z "$prefix" ]]; then
    echo "wine-run.sh: no WINEPREFIX and no --prefix given" >&2
    exit 2
  fi
  export WINEPREFIX="$prefix"
fi

# shellcheck source=wine-common.sh
source "$here/wine-common.sh"
wine_quiet_environment
wine_ensure_prefix || exit 1
wine_ensure_server "${VPIVG_WINESERVER_LINGER:-30}"

exec wine "$@"
