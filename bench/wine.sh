#!/usr/bin/env bash
# The Windows build's throughput and CPU under Wine, called by scripts/bench.sh.
#
#   bench/wine.sh win32|win64 ROOT RAW_DIR QUICK
#
# win32 is the shipped DLL (i686 MinGW) under the 32-bit Wine; it needs a kernel that runs
# 32-bit x86 programs, which some virtual machines do not ("Exec format error"). win64 is the
# same sources built for 64-bit Windows under wine64, which every x86-64 machine runs, so the
# Windows figures exist everywhere. The COM port is a link in the prefix's dosdevices folder to
# a pseudo-terminal the native feeder writes. Raw results are named after the arch: wine32.*,
# wine64.*.
set -euo pipefail
ARCH=$1 ROOT=$2 RAW=$3 QUICK=${4:-0}
BUILD=$ROOT/build/bench-$ARCH
# shellcheck source=../scripts/wine-common.sh
source "$ROOT/scripts/wine-common.sh"
case $ARCH in
  win32) TAG=wine32 TRIPLE=i686-w64-mingw32 TOOLCHAIN=toolchain-i686-mingw32.cmake
         WHAT="the shipped 32-bit build (i686-w64-mingw32-g++-posix) under the 32-bit Wine" ;;
  win64) TAG=wine64 TRIPLE=x86_64-w64-mingw32 TOOLCHAIN=toolchain-x86_64-mingw32.cmake
         WHAT="the 64-bit build of the same sources (x86_64-w64-mingw32-g++-posix) under wine64" ;;
  *) echo "usage: $0 win32|win64 ROOT RAW_DIR QUICK" >&2; exit 2 ;;
esac
NOTE=$RAW/$TAG.note.txt

export WINEPREFIX=$BUILD/wineprefix
wine_select "$ARCH"
wine_quiet_environment
WINE=$WINE_LOADER SERVER=$WINE_SERVER
if ! command -v "$TRIPLE-g++-posix" >/dev/null || ! wine_can_run; then
  if [[ $ARCH == win32 ]]; then
    echo "The shipped 32-bit build was not measured: this machine cannot run 32-bit x86 programs (the kernel answers Exec format error), or the 32-bit Wine or $TRIPLE-g++-posix is missing." >"$NOTE"
  else
    echo "The 64-bit Windows build was not measured: wine64 or $TRIPLE-g++-posix is missing." >"$NOTE"
  fi
  exit 0
fi

echo "== $TAG: build" >&2
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$TOOLCHAIN" \
  -DCMAKE_BUILD_TYPE=Release -DVPIVG_BUILD_BENCH=ON -DVPIVG_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target vpivg zelpro vpivg-bench-host vpivg-bench-raw-win >/dev/null

mkdir -p "$WINEPREFIX"
# One wineserver for the whole run, in the foreground of its own background job so its CPU can
# be read and it can be stopped by its own id; its output never on our pipes.
"$SERVER" -f -p </dev/null >/dev/null 2>&1 &
server=$!
trap '"$SERVER" -k >/dev/null 2>&1 || true; wait $server 2>/dev/null || true' EXIT
[[ -d $WINEPREFIX/drive_c ]] || "$WINE" wineboot -i </dev/null >/dev/null 2>&1 || true
"$WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
mkdir -p "$WINEPREFIX/dosdevices"

cpu_of() { # utime+stime of a pid, seconds
  awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"
}

FEED=${BENCH_BIN:-$ROOT/build/bench/bin}/vpivg-bench-feed
# measure NAME "FEEDER ARGS" PROGRAM ARGS...: the feeder writes COM5's pseudo-terminal while the
# Windows program reads it; the program's JSON goes to $RAW/$TAG.NAME.json, the wineserver's CPU
# over the run to $RAW/$TAG.NAME.wineserver.json. PIN=1 holds the program on core 0.
measure() {
  local name=$1 feedargs=$2 feeder s0 s1
  shift 2
  echo "== $TAG.$name" >&2
  # shellcheck disable=SC2086
  "$FEED" --dir "$WINEPREFIX/dosdevices" --first 5 --lines 1 --open-timeout-s 30 $feedargs \
    >"$RAW/$TAG.$name.feed.json" &
  feeder=$!
  for _ in $(seq 1 500); do [[ -e $WINEPREFIX/dosdevices/com5 ]] && break; sleep 0.01; done
  s0=$(cpu_of $server)
  ${PIN:+taskset -c 0} "$WINE" "$@" </dev/null >"$RAW/$TAG.$name.json" 2>"$RAW/$TAG.$name.log" || true
  s1=$(cpu_of $server)
  wait $feeder || true
  echo "{\"cpu_s\": $(awk -v a="$s0" -v b="$s1" 'BEGIN{print b-a}')}" >"$RAW/$TAG.$name.wineserver.json"
  cat "$RAW/$TAG.$name.json" >&2
}
HOST=$BUILD/bin/vpivg-bench-host.exe
RAWREAD=$BUILD/bin/vpivg-bench-raw-win.exe

n_short=20000 n_full=1500 n_raw=3000 meas=10
((QUICK)) && { n_short=2000; n_full=150; n_raw=300; meas=3; }
for kind in short full; do
  n=$n_short; [[ $kind == full ]] && n=$n_full
  measure driver.$kind "--kind $kind --count $n --start-delay-ms 4500" \
    "$HOST" --first 5 --vpis 1 --kind $kind --tick 0 --expect "$n" --timeout-s 120
done
# Baseline: a plain Win32 program reading the same kind of COM port one byte per ReadFile.
measure raw_byte.short "--kind short --count $n_raw --start-delay-ms 1500" "$RAWREAD" COM5 "$n_raw"

# The same pair again with the Wine process and its wineserver held on one core. The driver sets
# its packet event once per report, and under Wine every SetEvent is a round trip to the
# wineserver; on a virtual machine, waking the server on the other core costs several times
# what the round trip itself does. The plain reader never talks to the server while it reads.
if command -v taskset >/dev/null && (($(nproc) > 1)); then
  taskset -p -c 0 $server >/dev/null
  PIN=1 measure pinned.driver.short "--kind short --count $n_short --start-delay-ms 4500" \
    "$HOST" --first 5 --vpis 1 --kind short --tick 0 --expect "$n_short" --timeout-s 120
  PIN=1 measure pinned.raw_byte.short "--kind short --count $n_raw --start-delay-ms 1500" \
    "$RAWREAD" COM5 "$n_raw"
  taskset -p -c "0-$(($(nproc) - 1))" $server >/dev/null
fi

# CPU at the 57600-baud line rate, as on native, at the default tick.
for kind in full short; do
  measure rate57600.$kind.tick20 "--kind $kind --line-bps 5760 --seconds $((meas + 4)) --start-delay-ms 4500" \
    "$HOST" --first 5 --vpis 1 --kind $kind --tick 20 --warmup-s 2 --measure-s "$meas"
done

echo "Windows build: $WHAT, one VPI on a COM port linked to a pseudo-terminal. Process CPU is the Wine process's own; the wineserver's CPU over the same run is given beside it." >"$NOTE"
