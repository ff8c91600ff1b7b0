#!/usr/bin/env bash
# The release check: makes the packages (scripts/package.sh) and checks what a plant gets.
#   - the checksums in dist/SHA256SUMS hold;
#   - the .deb, unpacked into a scratch folder (not installed), runs the demo from there with
#     nothing but its own relative run paths, has its man pages, and keeps the stand-in host
#     runtime out of the loader's folders;
#   - its service unit vpivg-host@.service passes systemd-analyze verify, and the example
#     /etc/vpivg/gateway.toml.example passes the host's own --check-config;
#   - the zip has vpivg.dll at the top and the tools and the stand-in runtime in tools/ only;
#   - vpivg.dll's version resource says the version and revision the programs' --version says
#     (and, where this machine runs 32-bit Windows programs, the zip's vpivg-host.exe reads the
#     same from the DLL one folder up);
#   - the driver built a second time, in another folder, is the same to the byte, on both
#     targets.
#
#   scripts/release-check.sh
#
# Prints what it checked; exits non-zero if any check failed.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root" || exit 1
# shellcheck source=release-common.sh
source scripts/release-common.sh
# shellcheck source=i386.sh
source scripts/i386.sh

started=$SECONDS
failed=0
fail() { echo "release-check: FAIL: $*"; failed=1; }
ok() { echo "release-check: ok: $*"; }

if ! bash scripts/package.sh; then
  echo "release-check: FAIL: scripts/package.sh failed"
  exit 1
fi
echo "release-check: packages made in $((SECONDS - started)) s"

version="$(sed -n 's/^#define VPIVG_VERSION "\(.*\)"$/\1/p' build/package-native/generated/vpivg_version.h)"
revision="$(sed -n 's/^#define VPIVG_REVISION "\(.*\)"$/\1/p' build/package-native/generated/vpivg_version.h)"
zip="dist/vpivg-$version-win32.zip"
deb="dist/vpivg_${version}_amd64.deb"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/vpivg-release-check.XXXXXX")" || exit 1
trap 'rm -rf "$scratch"' EXIT

# check_service UNPACKED UNIT EXAMPLE: the service unit and the example config of the unpacked
# .deb. systemd-analyze verify looks for the program a unit runs and the units it names under
# --root: a copy of the package (hard links), with this machine's own units beside ours.
check_service() {
  local unpacked="$1" unit="$2" example="$3" line
  for line in 'ExecStart=/usr/bin/vpivg-host --config /etc/vpivg/%i.toml --plain' \
              'DynamicUser=yes' 'SupplementaryGroups=dialout' 'StateDirectory=vpivg/%i' \
              'WorkingDirectory=%S/vpivg/%i' 'Restart=on-failure' 'KillSignal=SIGTERM'; do
    grep -qxF -- "$line" "$unit" || fail "vpivg-host@.service lacks the line $line"
  done
  if ! command -v systemd-analyze >/dev/null 2>&1; then
    fail "systemd-analyze is missing (scripts/setup.sh release installs systemd)"
  else
    local system_units=/usr/lib/systemd/system unit_root="$scratch/unit-root" verify_out
    [[ -f "$system_units/sysinit.target" ]] || system_units=/lib/systemd/system
    if ! cp -al "$unpacked" "$unit_root" || ! cp -an "$system_units/." "$unit_root/usr/lib/systemd/system/"; then
      fail "cannot make the root for systemd-analyze in $unit_root"
    fi
    # verify prints only what it finds wrong, some of it without failing: any output is a fault.
    verify_out="$(systemd-analyze verify --man=no --root="$unit_root" vpivg-host@gateway.service 2>&1)"
    local status=$?
    if ((status == 0)) && [[ -z "$verify_out" ]]; then
      ok "systemd-analyze verify passes vpivg-host@gateway.service, running the package's vpivg-host"
    else
      fail "systemd-analyze verify vpivg-host@gateway.service (status $status):"$'\n'"$verify_out"
    fi
  fi
  grep -qx '/etc/vpivg/gateway.toml.example' < <(dpkg-deb -I "$deb" conffiles 2>/dev/null) ||
    fail "$deb does not mark /etc/vpivg/gateway.toml.example as a conffile"
  # The example is read by the host's own reader.
  local bin="$unpacked/usr/bin/vpivg-host" check_out
  if check_out="$(cd "$scratch" && env -u LD_LIBRARY_PATH "$bin" --config "$example" --check-config 2>&1)"; then
    ok "the host reads gateway.toml.example: $check_out"
  else
    fail "the host refuses gateway.toml.example:"$'\n'"$check_out"
  fi
}

# --- checksums
if (cd dist && sha256sum --quiet -c SHA256SUMS); then
  ok "SHA256SUMS holds for $(awk '{print $2}' dist/SHA256SUMS | tr '\n' ' ')"
else
  fail "dist/SHA256SUMS does not match the packages"
fi

# --- the Debian package, unpacked where nobody installed it
unpacked="$scratch/deb"
if ! dpkg-deb -x "$deb" "$unpacked"; then
  fail "cannot unpack $deb"
else
  fields="$(dpkg-deb -f "$deb" Package Version Architecture)"
  [[ "$fields" == $'Package: vpivg\nVersion: '"$version"$'\nArchitecture: amd64' ]] ||
    fail "control fields of $deb: $fields"
  libdir="$(cd "$unpacked/usr" && find . -name libvpivg.so -printf '%h\n' | sed 's|^\./||')"
  for file in usr/bin/vpivg-host usr/bin/vpivg-sim "usr/$libdir/libvpivg.so" \
              "usr/$libdir/vpivg/libzelpro.so" usr/share/man/man1/vpivg-host.1.gz \
              usr/share/man/man1/vpivg-sim.1.gz usr/share/doc/vpivg/README.md \
              usr/share/doc/vpivg/docs/installing.md usr/include/vpivg/vpivg.h \
              usr/include/zelpro/zelpro.h "usr/$libdir/pkgconfig/vpivg.pc" \
              "usr/$libdir/cmake/vpivg/vpivgConfig.cmake"; do
    [[ -f "$unpacked/$file" ]] || fail "$deb lacks /$file"
  done
  # The stand-in runtime must never be where the loader looks for any program's libraries.
  strays="$(cd "$unpacked" && find . -name 'libzelpro.so*' ! -path "./usr/$libdir/vpivg/*")"
  [[ -z "$strays" ]] || fail "$deb puts the stand-in runtime where every program finds it: $strays"
  for tool in vpivg-host vpivg-sim; do
    runpath="$(readelf -d "$unpacked/usr/bin/$tool" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')"
    [[ "$runpath" == "\$ORIGIN/../$libdir/vpivg" ]] || fail "$tool's run path is '$runpath'"
  done
  for page in vpivg-host vpivg-sim; do
    text="$(zcat "$unpacked/usr/share/man/man1/$page.1.gz" 2>/dev/null)"
    grep -q "^\.TH ${page^^} \"1\" .*$version" <<<"$text" || fail "man page $page(1) lacks its title line with $version"
    grep -qF -- '\-\-version' <<<"$text" || fail "man page $page(1) does not list the options"
  done

  # Run from the scratch folder with only the package's own run paths to find things by.
  version_out="$(env -u LD_LIBRARY_PATH "$unpacked/usr/bin/vpivg-host" --version 2>&1)"
  want="vpivg-host $version (revision $revision)"$'\n'"driver $unpacked/usr/$libdir/libvpivg.so $version (revision $revision)"
  if [[ "$version_out" == "$want" ]]; then
    ok "unpacked vpivg-host --version: $(tr '\n' ';' <<<"$version_out")"
  else
    fail "unpacked vpivg-host --version said:"$'\n'"$version_out"$'\n'"expected:"$'\n'"$want"
  fi
  sim_out="$(env -u LD_LIBRARY_PATH "$unpacked/usr/bin/vpivg-sim" --version 2>&1)"
  [[ "$sim_out" == "vpivg-sim $version (revision $revision)" ]] || fail "unpacked vpivg-sim --version said: $sim_out"

  demo_log="$scratch/demo.log"
  (cd "$scratch" && env -u LD_LIBRARY_PATH timeout 60 "$unpacked/usr/bin/vpivg-host" demo \
     --duration 8 --plain </dev/null >"$demo_log" 2>&1)
  status=$?
  reached="$(sed -n 's/^demo: .* \([0-9][0-9]*\) reports reached the gates$/\1/p' "$demo_log")"
  if ((status == 0)) && [[ -n "$reached" ]] && ((reached > 0)); then
    ok "the unpacked package ran the demo: $(grep '^demo: .*reached the gates' "$demo_log")"
  else
    fail "the unpacked package's demo (status $status):"$'\n'"$(tail -20 "$demo_log")"
  fi

  # The gateway service: the unit as systemd reads it, running the package's own program.
  unit="$unpacked/usr/lib/systemd/system/vpivg-host@.service"
  example="$unpacked/etc/vpivg/gateway.toml.example"
  if [[ ! -f "$unit" || ! -f "$example" ]]; then
    fail "$deb lacks /usr/lib/systemd/system/vpivg-host@.service or /etc/vpivg/gateway.toml.example"
  else
    check_service "$unpacked" "$unit" "$example"
  fi
fi

# --- the Windows zip
unzipped="$scratch/zip"
mkdir -p "$unzipped"
if ! (cd "$unzipped" && cmake -E tar xf "$root/$zip"); then
  fail "cannot unpack $zip"
else
  top="$unzipped"
  for file in vpivg.dll README.md docs/installing.md tools/vpivg-host.exe tools/vpivg-sim.exe \
              tools/zelpro.dll tools/README.txt include/vpivg/vpivg.h include/zelpro/zelpro.h; do
    [[ -f "$top/$file" ]] || fail "$zip lacks $file"
  done
  # The stand-in runtime beside vpivg.dll is how a plant would end up replacing the host's own.
  strays="$(cd "$top" && find . -iname 'zelpro.dll' ! -path './tools/*')"
  [[ -z "$strays" ]] || fail "$zip has a zelpro.dll outside tools/: $strays"
  grep -q "NEVER copy this zelpro.dll" "$top/tools/README.txt" ||
    fail "$zip's tools/README.txt does not warn against replacing the host's zelpro.dll"

  # The version resource, read from the file without Windows.
  resource="$(i686-w64-mingw32-windres -J coff -i "$top/vpivg.dll" -O rc 2>&1)"
  value() { sed -n "s/^ *VALUE \"$1\", \"\(.*\)\".*$/\1/p" <<<"$resource" | tr -d '\r'; }
  numbers="${version//./, }, 0"
  if [[ "$(value FileVersion)" == "$version" && "$(value ProductVersion)" == "$version" &&
        "$(value Comments)" == "revision $revision" && "$(value OriginalFilename)" == vpivg.dll ]] &&
     grep -qE "FILEVERSION +$numbers" <<<"$resource"; then
    ok "vpivg.dll's version resource: $version, revision $revision, as --version says"
  else
    fail "vpivg.dll's version resource does not say $version / revision $revision:"$'\n'"$resource"
  fi

  if machine_runs_i386 && wine32_installed; then
    # The zip's own layout: the host in tools/ finds the driver one folder up.
    # The test run's win32 prefix when there is one: making a prefix costs seconds.
    prefix="$root/build/win32/wineprefix"
    [[ -d "$prefix" ]] || prefix="$root/build/package-win32/wineprefix"
    wine_out="$(scripts/wine-run.sh --arch win32 --prefix "$prefix" \
                  "$top/tools/vpivg-host.exe" --version 2>&1 | tr -d '\r')"
    if grep -qx "vpivg-host $version (revision $revision)" <<<"$wine_out" &&
       grep -qE "^driver .*vpivg\.dll $version \(revision $revision\)$" <<<"$wine_out"; then
      ok "the zip's tools\\vpivg-host.exe --version under Wine: $(tr '\n' ';' <<<"$wine_out")"
    else
      fail "the zip's tools\\vpivg-host.exe --version under Wine said:"$'\n'"$wine_out"
    fi
  else
    echo "release-check: no 32-bit Wine here (the machine cannot run i386 programs, or wine32 is not installed); the zip's tools were not run"
  fi
fi

# --- the same driver from another build folder
t0=$SECONDS
for target in native win32; do
  again="$root/build/release-again/$target"
  log="$root/build/logs/release-again-$target.log"
  if ! { release_configure "$root" "$again" "$target" && release_build "$again" vpivg; } >"$log" 2>&1; then
    tail -20 "$log"
    fail "the second $target build failed ($log)"
    continue
  fi
  file=libvpivg.so
  [[ "$target" == win32 ]] && file=vpivg.dll
  if cmp "build/package-$target/bin/$file" "$again/bin/$file"; then
    ok "$file built again in another folder is the same to the byte ($(sha256sum <"$again/bin/$file" | cut -c1-16)...)"
  else
    fail "$file differs between build/package-$target and build/release-again/$target"
  fi
done
echo "release-check: second driver builds took $((SECONDS - t0)) s"

echo "release-check: $( ((failed)) && echo FAILED || echo passed) in $((SECONDS - started)) s"
exit "$failed"
