#!/usr/bin/env bash
# Builds only what ships (Release, no tests) and writes the release into dist/:
#   vpivg-<version>-win32.zip   the 32-bit Windows driver, docs, and the tools in tools/
#   vpivg_<version>_amd64.deb   the Linux driver, tools, stand-in runtime, man pages, docs
#   SHA256SUMS                  the checksums of both
#
#   scripts/package.sh
#
# Builds in build/package-native and build/package-win32 (a second run only rebuilds what
# changed). Exits non-zero, naming the step, if anything fails.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
# shellcheck source=release-common.sh
source scripts/release-common.sh

bash scripts/setup.sh release

SOURCE_DATE_EPOCH="$(release_source_date_epoch "$root")"
export SOURCE_DATE_EPOCH
dist="$root/dist"
log_dir="$root/build/logs"
mkdir -p "$log_dir"

# step NAME LOG COMMAND...: runs a step with its output in LOG, shown only if it fails.
step() {
  local name="$1" log="$2"
  shift 2
  echo "package: $name"
  if ! "$@" >"$log" 2>&1; then
    tail -40 "$log" >&2
    echo "package: $name FAILED (whole log: $log)" >&2
    exit 1
  fi
}

package_one() {
  local target="$1" build="$root/build/package-$1" extra=()
  [[ "$target" == native ]] && extra=(-DVPIVG_MAN_PAGES=ON)
  step "configure $target" "$log_dir/package-$target-configure.log" \
    release_configure "$root" "$build" "$target" "${extra[@]}"
  step "build $target" "$log_dir/package-$target-build.log" release_build "$build"
  rm -rf "$build/cpack"
  step "pack $target" "$log_dir/package-$target-cpack.log" \
    cpack --config "$build/CPackConfig.cmake" -B "$build/cpack"
}

package_one native
package_one win32

version="$(sed -n 's/^#define VPIVG_VERSION "\(.*\)"$/\1/p' build/package-native/generated/vpivg_version.h)"
zip="vpivg-$version-win32.zip"
deb="vpivg_${version}_amd64.deb"
for file in "build/package-win32/cpack/$zip" "build/package-native/cpack/$deb"; do
  if [[ ! -f "$file" ]]; then
    echo "package: CPack did not write $file" >&2
    exit 1
  fi
done

mkdir -p "$dist"
rm -f "$dist"/vpivg-*-win32.zip "$dist"/vpivg_*_amd64.deb "$dist/SHA256SUMS"
cp "build/package-win32/cpack/$zip" "build/package-native/cpack/$deb" "$dist/"
(cd "$dist" && sha256sum "$zip" "$deb" >SHA256SUMS)
echo "package: wrote $dist:"
(cd "$dist" && ls -l "$zip" "$deb" SHA256SUMS && cat SHA256SUMS)
