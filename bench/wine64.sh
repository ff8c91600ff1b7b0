#!/usr/bin/env bash
# The Windows build's throughput and CPU under Wine, called by scripts/bench.sh.
#
# The shipped DLL is 32-bit, but a kernel that cannot run 32-bit x86 programs (this is the case
# on some virtual machines: "Exec format error") cannot run 32-bit Wine either. So this measures
# the 64-bit Windows build of the same sources under wine64, and says so. The COM port is a link
# in the prefix's dosdevices folder to a pseudo-terminal the native feeder writes.
#
#   bench/wine64.sh ROOT RAW_DIR QUICK
set -euo pipefail
ROOT=$1 RAW=$2 QUICK=${3:-0}
BUILD=$ROOT/build/bench-win64
NOTE=$RAW/wine64.note.txt

# Whether 32-bit programs run at all: Wine's 32-bit loader is one, and the kernel answers for it.
if [[ -x /usr/lib/wine/wine ]] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  i386="runs here"
else
  i386="cannot run here (the kernel refuses 32-bit x86 programs: Exec format error)"
fi

WINE=""
for c in /usr/lib/wine/wine64 /usr/lib64/wine/wine64 "$(command -v wine64 || true)"; do
  [[ -n $c && -x $c ]] && { WINE=$c; break; }
done
SERVER=""
for c in /usr/lib/wine/wineserver64 /usr/lib64/wine/wineserver64 "$(command -v wineserver || true)"; do
  [[ -n $c && -x $c ]] && { SERVER=$c; break; }
done
if [[ -z $WINE || -z $SERVER || -z "$(command -v x86_64-w64-mingw32-g++-posix || true)" ]]; then
  echo "Windows build not measured: wine64 or x86_64-w64-mingw32-g++-posix is missing. 32-bit Wine $i386." >"$NOTE"
  exit 0
fi

echo "== wine64: build" >&2
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-x86_64-mingw32.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DVPIVG_BUILD_BENCH=ON -DVPIVG_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target vpivg zelpro vpivg-bench-host vpivg-bench-raw-win >/dev/null

export WINEPREFIX=$BUILD/wineprefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINELOADER=$WINE WINESERVER=$SERVER
unset DISPLAY WAYLAND_DISPLAY
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
  echo "== wine64.driver.$kind" >&2
  "${BENCH_BIN:-$ROOT/build/bench/bin}/vpivg-bench-feed" --dir "$WINEPREFIX/dosdevices" --first 5 --lines 1 \
    --kind $kind --count "$n" --start-delay-ms 4500 --open-timeout-s 30 >"$RAW/wine64.driver.$kind.feed.json" &
  feeder=$!
  for _ in $(seq 1 500); do [[ -e $WINEPREFIX/dosdevices/com5 ]] && break; sleep 0.01; done
  s0=$(cpu_of $server)
  "$WINE" "$BUILD/bin/vpivg-bench-host.exe" --first 5 --vpis 1 --kind $kind --tick 0 \
    --expect "$n" --timeout-s 120 </dev/null >"$RAW/wine64.driver.$kind.json" 2>"$RAW/wine64.driver.$kind.log" || true
  s1=$(cpu_of $server)
  wait $feeder || true
  echo "{\"cpu_s\": $(awk -v a="$s0" -v b="$s1" 'BEGIN{print b-a}')}" >"$RAW/wine64.wineserver.$kind.json"
  cat "$RAW/wine64.driver.$kind.json" >&2
done

# Baseline: a plain Win32 program reading the same kind of COM port one byte per ReadFile.
n_raw=3000
((QUICK)) && n_raw=300
echo "== wine64.raw_byte.short" >&2
"${BENCH_BIN:-$ROOT/build/bench/bin}/vpivg-bench-feed" --dir "$WINEPREFIX/dosdevices" --first 5 --lines 1 \
  --kind short --count "$n_raw" --start-delay-ms 1500 --open-timeout-s 30 >"$RAW/wine64.raw_byte.short.feed.json" &
feeder=$!
for _ in $(seq 1 500); do [[ -e $WINEPREFIX/dosdevices/com5 ]] && break; sleep 0.01; done
"$WINE" "$BUILD/bin/vpivg-bench-raw-win.exe" COM5 "$n_raw" </dev/null \
  >"$RAW/wine64.raw_byte.short.json" 2>"$RAW/wine64.raw_byte.short.log" || true
wait $feeder || true
cat "$RAW/wine64.raw_byte.short.json" >&2

# CPU at the 57600-baud line rate, as on native.
meas=10; ((QUICK)) && meas=3
for cfg in "full 20" "short 20"; do
  set -- $cfg
  echo "== wine64.rate57600.$1.tick$2" >&2
  "${BENCH_BIN:-$ROOT/build/bench/bin}/vpivg-bench-feed" --dir "$WINEPREFIX/dosdevices" --first 5 --lines 1 \
    --kind "$1" --line-bps 5760 --seconds $((meas + 4)) --start-delay-ms 4500 --open-timeout-s 30 \
    >"$RAW/wine64.rate57600.$1.tick$2.feed.json" &
  feeder=$!
  for _ in $(seq 1 500); do [[ -e $WINEPREFIX/dosdevices/com5 ]] && break; sleep 0.01; done
  "$WINE" "$BUILD/bin/vpivg-bench-host.exe" --first 5 --vpis 1 --kind "$1" --tick "$2" \
    --warmup-s 2 --measure-s "$meas" </dev/null >"$RAW/wine64.rate57600.$1.tick$2.json" \
    2>"$RAW/wine64.rate57600.$1.tick$2.log" || true
  wait $feeder || true
  cat "$RAW/wine64.rate57600.$1.tick$2.json" >&2
done

echo "Windows build: the 64-bit build (x86_64-w64-mingw32-g++-posix) under wine64, one VPI on a COM port linked to a pseudo-terminal, message wait returning at once. The shipped 32-bit DLL was not measured: 32-bit Wine $i386. Process CPU is the Wine process's own; the wineserver's CPU over the same run is given beside it." >"$NOTE"
