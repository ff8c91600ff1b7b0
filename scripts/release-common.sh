# shellcheck shell=bash
# Sourced by package.sh and release-check.sh: one way to configure and build what ships, so the
# packages and the rebuild that checks them are built the same way.

# The commit's time, for everything that would otherwise write today's date (help2man's page
# date, __DATE__). Outside a checkout, a time given by the caller, else the epoch.
release_source_date_epoch() {
  local root="$1" when
  if when="$(git -C "$root" log -1 --format=%ct 2>/dev/null)" && [[ -n "$when" ]]; then
    echo "$when"
  else
    echo "${SOURCE_DATE_EPOCH:-0}"
  fi
}

# release_configure ROOT BUILD_DIR native|win32 [CMAKE_ARGS...]
# Release, no tests. GCC 12 reports false -Wrestrict warnings at -O3; they stay warnings here as
# in the bench preset.
release_configure() {
  local root="$1" build="$2" target="$3"
  shift 3
  local args=(-S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
              -DVPIVG_BUILD_TESTS=OFF -DCMAKE_CXX_FLAGS=-Wno-error=restrict)
  case "$target" in
    native) args+=(-DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DCMAKE_INSTALL_PREFIX=/usr) ;;
    win32) args+=(--toolchain "$root/cmake/toolchain-i686-mingw32.cmake") ;;
    *) echo "release_configure: unknown target $target" >&2; return 2 ;;
  esac
  cmake "${args[@]}" "$@"
}

# release_build BUILD_DIR [TARGET...]
release_build() {
  local build="$1"
  shift
  local targets=()
  local target
  for target in "$@"; do targets+=(--target "$target"); done
  nice cmake --build "$build" -j "${VPIVG_JOBS:-2}" "${targets[@]}"
}
