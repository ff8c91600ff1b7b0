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

n_short=20000 n_full=1500
((QUICK)) && { n_short=2000; n_full=150; }
for kind in short full; do
  n=$n_short; [[ $kind == full ]] && n=$n_full
  echo "== $TAG.driver.$kind" >&2
  "${BENCH_BIN:-$ROOT/build/bench/bin}/vpivg-bench-feed" --dir "$WINEPREFIX/dosdevices" --first 5 --lines 1 \
    --kind $kind --count "$n" --start-delay-ms 4500 --open-timeout-s 30 >"$RAW/$TAG.driver.$kind.feed.json" &
  feeder=$!
  for _ in $(seq 1 500); do [[ -e $WINEPREFIX/dosdevices/com5 ]] && break; sleep 0.01; done
  s0=$(cpu_of $server)
  "$WINE" "$BUILD/bin/vpivg-bench-host.exe" --first 5 --vpis 1 --kind $kind --tick 0 \
    --expect "$n" --timeout-s 120 </dev/null >"$RAW/$TAG.driver.$kind.json" 2>"$RAW/$TAG.driver.$kind.log" || true
  s1=$(cpu_of $server)
  wait $feeder || true
  echo "{\"cpu_s\": $(awk -v a="$s0" -v b="$s1" 'BEGIN{print b-a}')}" >"$RAW/$TAG.wineserver.$kind.json"
  cat "$RAW/$TAG.driver.$kind.json" >&2
done

# Baseline: a plain Win32 program reading the same kind of COM port one byte per ReadFile.
n_raw=3000
((QUICK)) && n_raw=300
echo "== $TAG.raw_byte.short" >&2
"${BENCH_BIN:-$ROOT/build/bench/bin}/vpivg-bench-feed" --dir "$WINEPREFIX/dosdevices" --first 5 --lines 1 \
  --kind short --count "$n_raw" --start-delay-ms 1500 --open-timeout-s 30 >"$RAW/$TAG.raw_byte.short.feed.json" &
feeder=$!
for _ in $(seq 1 500); do [[ -e $WINEPREFIX/dosdevices/com5 ]] && break; sleep 0.01; done
"$WINE" "$BUILD/bin/vpivg-bench-raw-win.exe" COM5 "$n_raw" </dev/null \
  >"$RAW/$TAG.raw_byte.short.json" 2>"$RAW/$TAG.raw_byte.short.log" || true
wait $feeder || true
cat "$RAW/$TAG.raw_byte.short.json" >&2

# The same pair again with the Wine process and its wineserver held on one core. The driver sets
# its packet event once per report, and under Wine every SetEvent is a round trip to the
# wineserver; on a virtual machine, waking the server on the other core costs several times
# what the round trip itself does. The plain reader never talks to the server while it reads.
all_cpus="0-$(($(nproc) - 1))"
if command -v taskset >/dev/null && (($(nproc) > 1)); then
  taskset -p -c 0 $server >/dev/null
  echo "== $TAG.pinned.driver.short" >&2
  "${BENCH_BIN:-$ROOT/build/bench/bin}/vpivg-bench-feed" --dir "$WINEPREFIX/dosdevices" --first 5 --lines 1 \
    --kind short --count "$n_short" --start-delay-ms 4500 --open-timeout-s 30 >"$RAW/$TAG.pinned.driver.short.feed.json" &
  feeder=$!
  for _ in $(seq 1 500); do [[ -e $WINEPREFIX/dosdevices/com5 ]] && break; sleep 0.01; done
  taskset -c 0 "$WINE" "$BUILD/bin/vpivg-bench-host.exe" --first 5 --vpis 1 --kind short --tick 0 \
    --expect "$n_short" --timeout-s 120 </dev/null >"$RAW/$TAG.pinned.driver.short.json" \
    2>"$RAW/$TAG.pinned.driver.short.log" || true
  wait $feeder || true
  cat "$RAW/$TAG.pinned.driver.short.json" >&2
  echo "== $TAG.pinned.raw_byte.short" >&2
  "${BENCH_BIN:-$ROOT/build/bench/bin}/vpivg-bench-feed" --dir "$WINEPREFIX/dosdevices" --first 5 --lines 1 \
    --kind short --count "$n_raw" --start-delay-ms 1500 --open-timeout-s 30 >"$RAW/$TAG.pinned.raw_byte.short.feed.json" &
  feeder=$!
  for _ in $(seq 1 500); do [[ -e $WINEPREFIX/dosdevices/com5 ]] && break; sleep 0.01; done
  taskset -c 0 "$WINE" "$BUILD/bin/vpivg-bench-raw-win.exe" COM5 "$n_raw" </dev/null \
    >"$RAW/$TAG.pinned.raw_byte.short.json" 2>"$RAW/$TAG.pinned.raw_byte.short.log" || true
  wait $feeder || true
  cat "$RAW/$TAG.pinned.raw_byte.short.json" >&2
  taskset -p -c "$all_cpus" $server >/dev/null
fi

# CPU at the 57600-baud line rate, as on native.
meas=10; ((QUICK)) && meas=3
for cfg in "full 20" "short 20"; do
  set -- $cfg
  echo "== $TAG.rate57600.$1.tick$2" >&2
  "${BENCH_BIN:-$ROOT/build/bench/bin}/vpivg-bench-feed" --dir "$WINEPREFIX/dosdevices" --first 5 --lines 1 \
    --kind "$1" --line-bps 5760 --seconds $((meas + 4)) --start-delay-ms 4500 --open-timeout-s 30 \
    >"$RAW/$TAG.rate57600.$1.tick$2.feed.json" &
  feeder=$!
  for _ in $(seq 1 500); do [[ -e $WINEPREFIX/dosdevices/com5 ]] && break; sleep 0.01; done
  "$WINE" "$BUILD/bin/vpivg-bench-host.exe" --first 5 --vpis 1 --kind "$1" --tick "$2" \
    --warmup-s 2 --measure-s "$meas" </dev/null >"$RAW/$TAG.rate57600.$1.tick$2.json" \
    2>"$RAW/$TAG.rate57600.$1.tick$2.log" || true
  wait $feeder || true
  cat "$RAW/$TAG.rate57600.$1.tick$2.json" >&2
done

echo "Windows build: $WHAT, one VPI on a COM port linked to a pseudo-terminal. Process CPU is the Wine process's own; the wineserver's CPU over the same run is given beside it." >"$NOTE"
