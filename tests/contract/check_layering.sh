#!/usr/bin/env bash
# The include layering, read off the sources. The contract (include/) is at the bottom and
# stands alone; platform/ sees only itself; the driver sees the contract, platform/ and its own
# folders; everything outside driver/ that plays a host or a runtime (host/, sim/, the
# benchmarks' host) reaches the driver only through VpiMain. Unit tests, fuzz targets, the soak
# and the white-box benchmarks link the driver's core on purpose and are not held to this.
#
#   check_layering.sh SOURCE_DIR
set -euo pipefail

root="$1"
cd "$root" || exit 1
status=0

# Prints "file:line: text" for every include in FILES matching the extended regex PATTERN.
includes_matching() {
  local pattern="$1"
  shift
  [[ $# -gt 0 ]] || return 0
  grep -HnE "^[[:space:]]*#[[:space:]]*include[[:space:]]*${pattern}" "$@" || true
}

# Every source file under the given folders.
sources_in() {
  find "$@" -type f \( -name '*.c' -o -name '*.h' -o -name '*.cpp' -o -name '*.hpp' \) | sort
}

forbid() {
  local rule="$1" pattern="$2"
  shift 2
  local found
  found="$(includes_matching "$pattern" "$@")"
  if [[ -n "$found" ]]; then
    printf 'layering: %s\n%s\n' "$rule" "$found" >&2
    status=1
  fi
}

driver_headers='"(instance\.hpp|records\.hpp|frame\.hpp|(frame|serial|datapath|gates|lifecycle)/[^"]*)"'
host_headers='"(zelpro/)?(control|state)\.hpp"|"(host|config|simcore|simulator|instrument|capture)\.hpp"'

mapfile -t contract < <(sources_in include)
mapfile -t platform < <(sources_in platform)
mapfile -t driver < <(sources_in driver)
mapfile -t runtime < <(sources_in host/zelpro)
mapfile -t outside < <(sources_in host sim; ls bench/host_side.cpp 2>/dev/null || true)

[[ ${#contract[@]} -gt 0 ]] || { echo "layering: include/ holds no headers" >&2; exit 1; }

# The contract: the C library's headers and its own, nothing else.
forbid "the public headers include only the C library and each other" '"' "${contract[@]}"
forbid "the public headers include only the C library and each other" \
  '<(c[a-z]+|atomic|[a-z_]+\.hpp)>' "${contract[@]}"

# platform/: below the driver and everything else.
forbid "platform/ includes nothing of the driver, the host or the contract" \
  "${driver_headers}|${host_headers}|<(vpivg|zelpro)/" "${platform[@]}"

# The driver: never the host's or the simulator's code.
forbid "the driver includes nothing of the host or the simulator" "${host_headers}" "${driver[@]}"

# Host side: the driver only through VpiMain.
forbid "the host side reaches the driver only through VpiMain" "${driver_headers}" "${outside[@]}"
forbid "the host runtime knows nothing of the host program" '"(host|config|simcore|simulator|instrument|capture)\.hpp"' \
  "${runtime[@]}"

# driver/frame/ holds the entry point, dispatch and description, no shared records.
for gone in driver/frame/records.hpp driver/frame/zelpro.h; do
  if [[ -e "$gone" ]]; then
    echo "layering: $gone is back; the records live in include/ and driver/instance.hpp" >&2
    status=1
  fi
done

# No build target outside driver/ puts the driver's folders on its include path.
# (-r, not -R: build folders hold a Wine prefix whose drive links lead to /.)
found="$(grep -rnE --exclude-dir=build --exclude-dir=.git --include=CMakeLists.txt \
  --include='*.cmake' 'SOURCE_DIR\}/driver(/|[[:space:])])' . | grep -vE '^\./driver/' || true)"
if [[ -n "$found" ]]; then
  printf 'layering: only driver/ may name its own folders as include paths\n%s\n' "$found" >&2
  status=1
fi

[[ $status -eq 0 ]] && echo "layering: every folder keeps to its layer"
exit "$status"
