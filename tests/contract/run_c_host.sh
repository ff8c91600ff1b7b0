#!/usr/bin/env bash
# Builds the C host against what `cmake --install` puts down, the way a host integrator would,
# and runs it on a pseudo-terminal whose far end checks that the poll command arrived.
#
#   run_c_host.sh native  BUILD_DIR SOURCE_DIR WORK_DIR C_COMPILER
#   run_c_host.sh windows BUILD_DIR SOURCE_DIR WORK_DIR C_COMPILER EMULATOR...
#
# native: the driver side is COM5, a link in WORK_DIR that VPIVG_DEVICE_DIR points the driver at.
# windows: run inside scripts/wine-env.sh; the driver side is a COM port of our own, COM15 (named
# \\.\COM15, as Windows wants from COM10 up), whose link in the Wine prefix leads to a
# pseudo-terminal pair made here, clear of the pairs the other tests share.
set -euo pipefail

mode="$1" build="$2" source="$3" work="$4" cc="$5"
shift 5
emulator=("$@")

fail() {
  echo "run_c_host: $*" >&2
  exit 1
}

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [[ -n "${com_link:-}" ]] && rm -f "$com_link"
  return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

rm -rf "$work"
mkdir -p "$work" || fail "cannot make $work"
prefix="$work/prefix"

# 1. Install the driver, the runtime and the development files, as a package would.
for component in runtime zelpro development; do
  cmake --install "$build" --prefix "$prefix" --component "$component" >"$work/install-$component.log" 2>&1 ||
    fail "installing the $component component failed: $(cat "$work/install-$component.log")"
done
pc="$(find "$prefix" -name vpivg.pc -print -quit)"
[[ -n "$pc" ]] || fail "the install put down no vpivg.pc"
for header in vpivg/vpivg.h zelpro/zelpro.h; do
  [[ -f "$prefix/include/$header" ]] || fail "the install put down no include/$header"
done

# 2. Only our pkg-config file, none of the machine's.
export PKG_CONFIG_LIBDIR="$(dirname "$pc")" PKG_CONFIG_PATH=""
cflags="$(pkg-config --cflags vpivg)" || fail "pkg-config cannot read $pc"
libdir="$(pkg-config --variable=libdir vpivg)" || fail "vpivg.pc names no libdir"
warnings=(-std=c99 -pedantic -Werror -Wall -Wextra)
mkdir -p "$prefix/bin"

# 3. Build the host and pick the serial devices.
# shellcheck disable=SC2086  # pkg-config's output is a list of words
if [[ "$mode" == native ]]; then
  "$cc" "${warnings[@]}" $cflags "$source/c_host.c" -o "$prefix/bin/c_host" \
    $(pkg-config --libs vpivg) -Wl,-rpath,"$libdir" -ldl >"$work/cc.log" 2>&1 ||
    fail "the C host does not build: $(cat "$work/cc.log")"
  driver="$(find "$prefix" -name libvpivg.so -print -quit)"
  [[ -n "$driver" ]] || fail "the install put down no libvpivg.so"
  ttys="$work"
  near="$work/com5"
  device=COM5
  export VPIVG_DEVICE_DIR="$work"
  run=("$prefix/bin/c_host" "$driver" "$device")
else
  "$cc" "${warnings[@]}" $cflags "$source/c_host.c" -o "$prefix/bin/c_host.exe" -static \
    >"$work/cc.log" 2>&1 || fail "the C host does not build: $(cat "$work/cc.log")"
  for dll in vpivg.dll zelpro.dll; do
    [[ -f "$prefix/bin/$dll" ]] || fail "the install put down no bin/$dll"
  done
  [[ -n "${WINEPREFIX:-}" && -d "$WINEPREFIX/dosdevices" ]] ||
    fail "no Wine prefix: run the Windows tests through scripts/wine-env.sh"
  ttys="$work"
  near="$work/drv15"
  device='\\.\COM15'
  com_link="$WINEPREFIX/dosdevices/com15"
  # The program finds vpivg.dll beside itself, and the driver finds zelpro.dll there too.
  run=("${emulator[@]}" "$prefix/bin/c_host.exe" vpivg.dll "$device")
fi

# 4. A null-modem cable of two pseudo-terminals; the far end keeps what the driver sends.
far="$ttys/far"
socat pty,raw,echo=0,link="$near" pty,raw,echo=0,link="$far" </dev/null >"$work/socat.log" 2>&1 &
pids+=("$!")
for _ in $(seq 100); do
  [[ -e "$near" && -e "$far" ]] && break
  sleep 0.05
done
[[ -e "$near" && -e "$far" ]] || fail "socat made no pseudo-terminal pair: $(cat "$work/socat.log")"
if [[ -n "${com_link:-}" ]]; then
  ln -sfn "$near" "$com_link" || fail "cannot map $device to $near"
fi
timeout 30 head -c 7 "$far" >"$work/far.bin" 2>"$work/far.log" &
reader=$!
pids+=("$reader")

# 5. The host itself.
status=0
(cd "$work" && timeout 120 "${run[@]}") >"$work/host.raw" 2>"$work/host.err" || status=$?
# A Windows program's standard output ends its lines with CR LF.
tr -d '\r' <"$work/host.raw" >"$work/host.out"
cat "$work/host.out"
[[ $status -eq 0 ]] || fail "the C host ended with status $status: $(cat "$work/host.err")"

grep -q '^driver: VI Dov Udozevez, [0-9]* bytes per VPI, default line 9600 8 0 0$' "$work/host.out" ||
  fail "the description is not the driver's"
grep -qxF "started VPI 7 on $device" "$work/host.out" || fail "the VPI did not start"
grep -qx '!STATUS 1' "$work/host.out" || fail "the first !STATUS read after the start is not 1"
grep -qx 'closed' "$work/host.out" || fail "the VPI was not closed"

wait "$reader" || fail "the poll command never reached the far end of the line"
expected="$(printf '@;390\n\r' | od -An -tx1)"
got="$(od -An -tx1 "$work/far.bin")"
[[ "$got" == "$expected" ]] || fail "the far end received [$got], not the poll command [$expected]"
echo "run_c_host: the poll command reached the line"

# 6. A CMake project finds the same install with find_package(vpivg) and builds the host.
if [[ "$mode" == native ]]; then
  cmake -S "$source/consumer" -B "$work/consumer" -G Ninja -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer.log" 2>&1 &&
    cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 ||
    fail "find_package(vpivg) does not serve a host project: $(cat "$work/consumer.log")"
  echo "run_c_host: find_package(vpivg) builds the host"
fi
