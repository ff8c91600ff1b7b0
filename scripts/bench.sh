#!/usr/bin/env bash
# Performance benchmarks: builds the "bench" preset and measures the driver against the line's
# limit and against what a user would use instead (a plain pty reader, a Python reader).
#
#   scripts/bench.sh             everything, about 12 minutes
#   scripts/bench.sh --publish   the same, then copies the results and plots to docs/perf/
#   scripts/bench.sh --quick     shorter runs, for trying the script itself (numbers are rough)
#   BENCH_WINE=0 scripts/bench.sh   skip the Windows builds under Wine
#   BENCH_GATEWAY=0 scripts/bench.sh   skip the gateway benchmark (bench/gateway.sh, MQTT)
#
# Writes build/bench/results.json, build/bench/results.md and the plots build/bench/*.png, and
# the gateway benchmark's build/bench/gateway.json and gateway.md. Not part of scripts/test.sh: the numbers depend on the machine
# and on whatever else it is doing, which results.json records (load average before and after).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD:-$ROOT/build/bench}
OUT=$BUILD
RAW=$OUT/raw
BIN=$BUILD/bin
PY=/usr/bin/python3   # Debian's, with its python3-serial and python3-matplotlib
QUICK=0
PUBLISH=0
for arg in "$@"; do
  case $arg in
    --quick) QUICK=1 ;;
    --publish) PUBLISH=1 ;;
    *) echo "usage: $0 [--quick] [--publish]" >&2; exit 2 ;;
  esac
done

# ---- what the run needs ------------------------------------------------------------------
need=()
$PY -c 'import serial' 2>/dev/null || need+=(python3-serial)
$PY -c 'import matplotlib' 2>/dev/null || need+=(python3-matplotlib)
command -v valgrind >/dev/null || need+=(valgrind)
[[ -e /usr/lib/x86_64-linux-gnu/cmake/benchmark/benchmarkConfig.cmake ]] || need+=(libbenchmark-dev)
if ((${#need[@]})); then
  if [[ $(id -u) == 0 ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}"
  else
    echo "missing: ${need[*]} - run as root: apt-get install ${need[*]}" >&2
    exit 1
  fi
fi

# ---- build ---------------------------------------------------------------------------------
cmake --preset bench -B "$BUILD" >/dev/null
cmake --build "$BUILD" -j2 --target vpivg vpivg-bench-parse vpivg-bench-path vpivg-bench-feed \
  vpivg-bench-raw vpivg-bench-host
rm -rf "$RAW"
mkdir -p "$RAW"
cat /proc/loadavg >"$RAW/load_before.txt"
nproc >"$RAW/cores.txt"
date -u +%Y-%m-%dT%H:%M:%SZ >"$RAW/when.txt"
uname -srm >"$RAW/uname.txt"
# The processor is described by its architecture only; its model adds nothing a reader can act on.
echo "$(uname -m) processor" >"$RAW/cpu.txt"

scale() { # N -> N, or a tenth of it with --quick
  if ((QUICK)); then echo $(( ($1 + 9) / 10 )); else echo "$1"; fi
}
seconds() { if ((QUICK)); then echo "$2"; else echo "$1"; fi; }

note() { echo "== $*" >&2; }

# Runs the feeder in the background on a fresh device folder, then the reader in the
# foreground; the reader's JSON goes to $RAW/$name.json, the feeder's to $RAW/$name.feed.json.
#   run NAME "FEEDER ARGS" READER-COMMAND...   (READER gets the device folder as $DEV)
run() {
  local name=$1 feedargs=$2
  shift 2
  local dev
  dev=$(mktemp -d /tmp/vpivg-bench-XXXXXX)
  note "$name"
  # shellcheck disable=SC2086
  "$BIN/vpivg-bench-feed" --dir "$dev" $feedargs >"$RAW/$name.feed.json" &
  local feeder=$!
  local lines
  lines=$(sed -n 's/.*--lines \([0-9]*\).*/\1/p' <<<"$feedargs")
  for _ in $(seq 1 500); do [[ -e $dev/com${lines:-1} ]] && break; sleep 0.01; done
  DEV=$dev VPIVG_DEVICE_DIR=$dev "$@" >"$RAW/$name.json" || echo "   ($name: reader exit $?)" >&2
  wait "$feeder" || echo "   ($name: feeder exit $?)" >&2
  rm -rf "$dev"
  cat "$RAW/$name.json" >&2
}
host() { "$BIN/vpivg-bench-host" "$@"; }
DELAY=4300   # the driver's report thread waits 4 s after its start before serving

# 1. Parser and publisher: time per report, and instructions per report for the whole path.
note "google benchmark"
"$BIN/vpivg-bench-parse" --benchmark_min_time="$(seconds 0.5 0.05)" --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true --benchmark_format=json \
  >"$RAW/gbench.json"
for kind in short full; do
  note "callgrind $kind"
  n=$( [[ $kind == short ]] && scale 2000 || scale 400 )
  valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$RAW/callgrind.$kind.out" \
    "$BIN/vpivg-bench-path" "$kind" "$n" >"$RAW/path.$kind.json" 2>"$RAW/callgrind.$kind.log"
  callgrind_annotate --threshold=99 "$RAW/callgrind.$kind.out" 2>/dev/null | head -40 \
    >"$RAW/callgrind.$kind.top.txt" || true
  callgrind_annotate --inclusive=yes --threshold=100 "$RAW/callgrind.$kind.out" 2>/dev/null \
    >"$RAW/callgrind.$kind.inclusive.txt" || true
done

# 2. Throughput over an unthrottled pty: raw reads, the driver (message wait returning at once),
#    the Python reader. Every run has its reports counted and checked for gaps.
for kind in short full; do
  if [[ $kind == short ]]; then nd=$(scale 60000); nb=$(scale 10000); nk=$(scale 200000); np=$(scale 5000)
  else nd=$(scale 8000); nb=$(scale 500); nk=$(scale 10000); np=$(scale 200); fi
  run "raw_bulk.$kind" "--lines 1 --kind $kind --count $nk --start-delay-ms 100" \
    bash -c '"$0" "$DEV/com1" bulk "$1"' "$BIN/vpivg-bench-raw" "$nk"
  run "raw_byte.$kind" "--lines 1 --kind $kind --count $nb --start-delay-ms 100" \
    bash -c '"$0" "$DEV/com1" byte "$1"' "$BIN/vpivg-bench-raw" "$nb"
  run "driver.$kind" "--lines 1 --kind $kind --count $nd --start-delay-ms $DELAY" \
    host --vpis 1 --kind $kind --tick 0 --expect "$nd"
  run "python.$kind" "--lines 1 --kind $kind --count $np --start-delay-ms 100" \
    bash -c '"$0" "$1" "$DEV/com1" "$2"' "$PY" "$ROOT/bench/python_reader.py" "$np"
done

# 3. Latency, last trailer byte written -> last gate of the report written: 16 VPIs, each fed
#    a report every 25..45 ms (random), 640 reports each.
nl=$(scale 640)
for tick in 20 1; do
  run "latency.tick$tick" \
    "--lines 16 --kind short --count $nl --interval-ms 25,45 --start-delay-ms $DELAY --stamps $RAW/stamps.$tick.bin" \
    host --vpis 16 --kind short --tick $tick --expect "$nl" --stamps "$RAW/stamps.$tick.bin" \
    --latency-out "$RAW/latency.tick$tick.txt"
  rm -f "$RAW/stamps.$tick.bin"
done

# 4. CPU: one VPI at the 57600-baud line rate (5760 characters/s), and 16 idle VPIs.
warm=$(seconds 2 1); meas=$(seconds 10 3)
for cfg in "short 20" "short 5" "short 1" "full 20" "full 1"; do
  set -- $cfg
  run "rate57600.$1.tick$2" "--lines 1 --kind $1 --line-bps 5760 --seconds $((warm + meas + 2)) --start-delay-ms $DELAY" \
    host --vpis 1 --kind "$1" --tick "$2" --warmup-s "$warm" --measure-s "$meas"
done
# What the stand-in host's message wait costs by itself, with no driver: the floor under every
# figure above, set by the tick and by what a timed wake-up costs on this machine.
for tick in 20 5 1; do
  note "wait.tick$tick"
  "$BIN/vpivg-bench-host" --vpis 1 --tick $tick --wait-only 1 --warmup-s 1 --measure-s "$meas" \
    >"$RAW/wait.tick$tick.json"
done
idle=$(seconds 20 3)
for tick in 20 1; do
  run "idle.tick$tick" "--lines 16 --kind short --line-bps 0.0001 --seconds $((idle + 3)) --start-delay-ms $DELAY" \
    host --vpis 16 --kind short --tick $tick --warmup-s 1 --measure-s "$idle"
done

# 5. Scale: 1, 16, 64, 128 VPIs in one process, each at the 9600-baud line rate.
meas=$(seconds 15 3)
for n in 1 16 64 128; do
  run "scale.$n" "--lines $n --kind short --line-bps 960 --seconds $((3 + meas + 2)) --start-delay-ms $DELAY" \
    host --vpis "$n" --kind short --tick 20 --warmup-s 3 --measure-s "$meas"
done

cat /proc/loadavg >"$RAW/load_after.txt"

# 6. The Windows builds under Wine: the shipped 32-bit one where this kernel runs 32-bit
# programs, and the 64-bit one, which runs everywhere.
if [[ ${BENCH_WINE:-1} == 1 ]]; then
  for arch in win32 win64; do
    BENCH_BIN=$BIN "$ROOT/bench/wine.sh" $arch "$ROOT" "$RAW" "$QUICK" || echo "   ($arch run failed; see above)" >&2
  done
fi

$PY "$ROOT/bench/report.py" "$RAW" "$OUT"
echo "results: $OUT/results.json, $OUT/results.md, plots: $OUT/*.png"

# 7. The gateway: vpivg-host publishing to a broker of its own (Sparkplug B and JSON) against a
# Python bridge on the same feeds, and the on-disk store. Its own script, runnable alone.
gateway=()
if [[ ${BENCH_GATEWAY:-1} == 1 ]]; then
  gw_flags=()
  ((QUICK)) && gw_flags+=(--quick)
  if BENCH_BUILD=$BUILD "$ROOT/bench/gateway.sh" "${gw_flags[@]}"; then
    gateway=("$OUT"/gateway.json "$OUT"/gateway.md)
  else
    echo "   (gateway benchmark failed; see above)" >&2
  fi
fi

if ((PUBLISH)); then
  mkdir -p "$ROOT/docs/perf"
  cp "$OUT"/results.json "$OUT"/results.md "$OUT"/*.png "${gateway[@]}" "$ROOT/docs/perf/"
  echo "published to docs/perf/"
fi
