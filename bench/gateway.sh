#!/usr/bin/env bash
# The gateway benchmark: vpivg-host publishing to MQTT (Sparkplug B and JSON) against what a plant
# would write instead (bench/python_bridge.py: pyserial readline + paho-mqtt), on the same feed,
# with a mosquitto of its own on 127.0.0.1.
#
#   bench/gateway.sh            about 6 minutes (more with the store's runs)
#   bench/gateway.sh --quick    shorter runs, for trying the script itself (numbers are rough)
#   bench/gateway.sh --no-build the binaries are there already (scripts/bench.sh built them)
#   GATEWAY_ONLY=REGEX bench/gateway.sh   only the runs whose names match (flat1.json, backlog, ...)
#
# For each of: one VPI flat out (unthrottled feed), 64 and 254 VPIs at the 9600-baud line rate
# (short reports; 254 is the ceiling: the stand-in host gives its clients the 8-bit ids 1..254,
# so a 255th VPI would fail to make its client and never serve), and each contender: reports/s,
# CPU per report and % of one core of the contender and of the broker (utime + stime from
# /proc/<pid>/stat over a window in the middle of the run), latency from the feeder's stamp of a report's last byte to the subscriber's
# arrival stamp (one clock), and lost (fed vs. received). With a gateway that has the on-disk
# store (--mqtt-store): a backlog stored while the broker is down, replayed once it is up, and
# the store's CPU against --mqtt-store none.
#
# Writes build/bench/gateway.json and build/bench/gateway.md (raw files under
# build/bench/raw/gateway), and prints the targets as PASS/FAIL lines.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD:-$ROOT/build/bench}
OUT=$BUILD
RAW=$OUT/raw/gateway
BIN=$BUILD/bin
PY=/usr/bin/python3   # Debian's, with python3-serial and python3-paho-mqtt
MOSQUITTO=/usr/sbin/mosquitto
QUICK=0
BUILD_IT=1
for arg in "$@"; do
  case $arg in
    --quick) QUICK=1 ;;
    --no-build) BUILD_IT=0 ;;
    *) echo "usage: $0 [--quick] [--no-build]" >&2; exit 2 ;;
  esac
done

need=()
$PY -c 'import serial' 2>/dev/null || need+=(python3-serial)
$PY -c 'import paho.mqtt.client' 2>/dev/null || need+=(python3-paho-mqtt)
[[ -x $MOSQUITTO ]] || need+=(mosquitto)
if ((${#need[@]})); then
  echo "missing: ${need[*]} - run as root: apt-get install ${need[*]}" >&2
  exit 1
fi

if ((BUILD_IT)); then
  cmake --preset bench -B "$BUILD" >/dev/null
  cmake --build "$BUILD" -j2 --target vpivg vpivg-host vpivg-bench-feed vpivg-bench-mqtt-sub vpivg-bench-store vpivg-bench-payload
fi
for program in vpivg-host vpivg-bench-feed vpivg-bench-mqtt-sub; do
  [[ -x $BIN/$program ]] || { echo "$BIN/$program is not built (the bench preset, with MQTT)" >&2; exit 1; }
done

rm -rf "$RAW"
mkdir -p "$RAW"
SCRATCH=$(mktemp -d /tmp/vpivg-gwbench-XXXXXX)
# Every process this script starts is recorded here, and only those are stopped on the way out.
STARTED=()
cleanup() {
  local pid
  for pid in "${STARTED[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${STARTED[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$SCRATCH"
}
# Waits for a started process and takes it off the list (its pid may be reused afterwards).
reap() {
  local pid=$1 status=0 i
  wait "$pid" || status=$?
  for i in "${!STARTED[@]}"; do [[ ${STARTED[$i]} == "$pid" ]] && unset "STARTED[$i]"; done
  return "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cat /proc/loadavg >"$RAW/load_before.txt"
nproc >"$RAW/cores.txt"
date -u +%Y-%m-%dT%H:%M:%SZ >"$RAW/when.txt"
uname -srm >"$RAW/uname.txt"
"$MOSQUITTO" -h 2>/dev/null | sed -n 's/^mosquitto version //p' >"$RAW/mosquitto.txt" || true
$PY -c 'import paho.mqtt, serial, sys; print("Python %d.%d, paho-mqtt %s, pyserial %s" % (sys.version_info[0], sys.version_info[1], paho.mqtt.__version__, serial.__version__))' >"$RAW/python.txt"
"$BIN/vpivg-host" --help >"$SCRATCH/help.txt" 2>&1 || true
HAVE_STORE=0
grep -q -- '--mqtt-store' "$SCRATCH/help.txt" && HAVE_STORE=1
echo "$HAVE_STORE" >"$RAW/have_store.txt"

seconds() { if ((QUICK)); then echo "$2"; else echo "$1"; fi; }
note() { echo "== $*" >&2; }
WARM=$(seconds 3 1)
MEAS=$(seconds 15 3)
DELAY=4300   # the driver's report thread waits 4 s after its start before serving
NODE=bench

# ---- the broker ------------------------------------------------------------------------------
PORT=0
BROKER_PID=0
free_port() {
  $PY -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# A fresh mosquitto on $PORT: no persistence, nothing logged per message, and no cap on what it
# queues for the subscriber, which stands in for a historian that keeps up.
broker_start() {
  local conf=$SCRATCH/mosquitto.conf
  {
    echo "per_listener_settings false"
    # Run as root, mosquitto would change to its own user and lose the scratch folder.
    [[ $(id -u) == 0 ]] && echo "user root"
    echo "allow_anonymous true"
    echo "persistence false"
    echo "listener $PORT 127.0.0.1"
    echo "max_queued_messages 0"
    echo "max_inflight_messages 100"
    # Small messages to the subscriber at once, as a plant broker serving a historian is set up.
    echo "set_tcp_nodelay true"
    echo "log_dest file $SCRATCH/broker.log"
    echo "log_type error"
    echo "log_type warning"
  } >"$conf"
  "$MOSQUITTO" -c "$conf" >>"$SCRATCH/broker.out" 2>&1 &
  BROKER_PID=$!
  STARTED+=("$BROKER_PID")
  local i
  for i in $(seq 1 500); do
    listening "$PORT" && return 0
    kill -0 "$BROKER_PID" 2>/dev/null || break
    sleep 0.01
  done
  echo "mosquitto did not start on 127.0.0.1:$PORT:" >&2
  cat "$SCRATCH/broker.out" "$SCRATCH/broker.log" >&2 2>/dev/null || true
  exit 1
}
broker_stop() {
  kill -TERM "$BROKER_PID" 2>/dev/null || true
  reap "$BROKER_PID" || true
  BROKER_PID=0
}

# The host's config for N VPIs on COM1..COMN: stream 5, parameters 1-5 (the short report's).
host_config() {
  local n=$1 file=$2 i
  echo "tick-ms = 20" >"$file"
  for i in $(seq 1 "$n"); do
    printf '[[vpi]]\nvpi = %d\nport = "COM%d"\nstreams = "5"\nparams = "1-5"\n' "$i" "$i" >>"$file"
  done
}

# Starts the contender on device folder $2 with $3 lines; its pid in CONTENDER_PID.
#   contender KIND DEV LINES LOG [extra vpivg-host flags...]   KIND: sparkplug | json | python
CONTENDER_PID=0
contender() {
  local kind=$1 dev=$2 lines=$3 log=$4
  shift 4
  if [[ $kind == python ]]; then
    "$PY" "$ROOT/bench/python_bridge.py" --port "$PORT" --dir "$dev" --lines "$lines" \
      --topic vpivg/pybridge >"$log.json" 2>"$log" &
  else
    local work=$SCRATCH/work.$RANDOM
    mkdir -p "$work"
    host_config "$lines" "$work/host.toml"
    (cd "$work" && exec "$BIN/vpivg-host" --config host.toml --device-dir "$dev" --quiet \
      --mqtt-url "mqtt://127.0.0.1:$PORT" --mqtt-format "$kind" --mqtt-node "$NODE" "$@" \
      >"$log" 2>&1) &
  fi
  CONTENDER_PID=$!
  STARTED+=("$CONTENDER_PID")
}

sub_args() { # KIND -> the subscriber's --format and --topic
  case $1 in
    sparkplug) echo "--format sparkplug --topic spBv1.0/vpivg/DDATA/$NODE/+" ;;
    json) echo "--format json --topic vpivg/$NODE/+/+" ;;
    python) echo "--format json --topic vpivg/pybridge/+/+" ;;
  esac
}

wait_for() { # FILE SECONDS
  local i
  for i in $(seq 1 $(($2 * 100))); do [[ -e $1 ]] && return 0; sleep 0.01; done
  echo "$1 did not appear in $2 s" >&2
  return 1
}

# One live run: broker, subscriber, feeder, contender; CPU over the window W..W+D after the feed
# starts; the run ends 5 s after the last report arrived.
#   live NAME KIND LINES "FEEDER ARGS" [extra vpivg-host flags...]
live() {
  local name=$1 kind=$2 lines=$3 feedargs=$4
  shift 4
  local dir=$RAW/$name dev
  if [[ -n ${GATEWAY_ONLY:-} && ! $name =~ $GATEWAY_ONLY ]]; then return 0; fi
  mkdir -p "$dir"
  dev=$(mktemp -d "$SCRATCH/dev-XXXXXX")
  note "$name"
  echo "{\"name\": \"$name\", \"kind\": \"$kind\", \"lines\": $lines, \"feed\": \"$feedargs\", \"host_flags\": \"$*\", \"warmup_s\": $WARM, \"measure_s\": $MEAS}" >"$dir/case.json"
  cat /proc/loadavg >"$dir/load_before.txt"
  PORT=$(free_port)
  broker_start
  local sub feeder window
  # shellcheck disable=SC2046
  "$BIN/vpivg-bench-mqtt-sub" --port "$PORT" $(sub_args "$kind") --out "$dir/arrivals.bin" \
    --historical-out "$dir/historical.bin" --ready "$dir/ready" --idle-s 5 \
    --max-s $((WARM + MEAS + 180)) >"$dir/sub.json" &
  sub=$!
  STARTED+=("$sub")
  wait_for "$dir/ready" 30
  local delay=$DELAY
  if [[ $kind == python ]]; then delay=1000; fi
  # shellcheck disable=SC2086
  "$BIN/vpivg-bench-feed" --dir "$dev" --lines "$lines" --kind short $feedargs \
    --seconds $((WARM + MEAS + 2)) --start-delay-ms "$delay" --stamps "$dir/stamps.bin" \
    --started "$dir/started" >"$dir/feed.json" &
  feeder=$!
  STARTED+=("$feeder")
  wait_for "$dev/com$lines" 30
  contender "$kind" "$dev" "$lines" "$dir/contender.log" "$@"
  $PY "$ROOT/bench/cpu_window.py" --started "$dir/started" --warmup-s "$WARM" --measure-s "$MEAS" \
    --threads-of contender contender="$CONTENDER_PID" broker="$BROKER_PID" >"$dir/window.json" &
  window=$!
  reap "$window" || echo "   ($name: no CPU window)" >&2
  reap "$sub" || echo "   ($name: subscriber exit $?)" >&2
  kill -INT "$CONTENDER_PID" 2>/dev/null || true
  reap "$CONTENDER_PID" || echo "   ($name: contender exit $?)" >&2
  reap "$feeder" || echo "   ($name: feeder exit $?)" >&2
  broker_stop
  cat /proc/loadavg >"$dir/load_after.txt"
  rm -rf "$dev"
  cat "$dir/feed.json" "$dir/sub.json" "$dir/window.json" >&2
}

# ---- 1. live: the gateway in both formats against the Python bridge, on the same feeds ---------
for kind in sparkplug json python; do
  live "flat1.$kind" "$kind" 1 ""
  live "line64.$kind" "$kind" 64 "--line-bps 960"
  live "line254.$kind" "$kind" 254 "--line-bps 960"
done

# ---- 2. the store: its CPU against no store, and a backlog replayed after a broker outage ------
if ((HAVE_STORE)) && [[ -z ${GATEWAY_ONLY:-} || backlog =~ ${GATEWAY_ONLY:-} || nostore =~ ${GATEWAY_ONLY:-} ]]; then
  live "flat1.sparkplug.nostore" sparkplug 1 "" --mqtt-store none
  live "line64.sparkplug.nostore" sparkplug 64 "--line-bps 960" --mqtt-store none
  live "line64.json.nostore" json 64 "--line-bps 960" --mqtt-store none

  # The backlog: the gateway runs with no broker there while 64 lines at the 57600-baud line
  # rate fill its store, then the broker comes and the store is replayed at the set pace.
  BACKLOG=$(seconds 100000 10000)
  PACE=$(seconds 5000 2000)
  name=backlog
  dir=$RAW/$name
  mkdir -p "$dir"
  note "$name: $BACKLOG reports stored with the broker down, replayed at $PACE/s"
  per_line=$(((BACKLOG + 63) / 64))
  echo "{\"name\": \"$name\", \"kind\": \"sparkplug\", \"lines\": 64, \"backlog\": $((per_line * 64)), \"replay_per_s\": $PACE}" >"$dir/case.json"
  cat /proc/loadavg >"$dir/load_before.txt"
  PORT=$(free_port)
  dev=$(mktemp -d "$SCRATCH/dev-XXXXXX")
  "$BIN/vpivg-bench-feed" --dir "$dev" --lines 64 --kind short --line-bps 5760 --count "$per_line" \
    --start-delay-ms "$DELAY" --stamps "$dir/stamps.bin" --started "$dir/started" \
    >"$dir/feed.json" &
  feeder=$!
  STARTED+=("$feeder")
  wait_for "$dev/com64" 30
  contender sparkplug "$dev" 64 "$dir/contender.log" --mqtt-replay-per-s "$PACE"
  gateway=$CONTENDER_PID
  wait_for "$dir/started" 60
  # The feeder prints its counts once its last report is written.
  for _ in $(seq 1 6000); do [[ -s $dir/feed.json ]] && break; sleep 0.1; done
  sleep 2
  cat /proc/"$gateway"/stat >"$dir/gateway_stat_before.txt"
  # The subscriber first, retrying until the broker is there, so it is subscribed before the
  # gateway's back-off brings it back.
  "$BIN/vpivg-bench-mqtt-sub" --port "$PORT" $(sub_args sparkplug) --out "$dir/arrivals.bin" \
    --historical-out "$dir/historical.bin" --connect-retry-s 30 --idle-s 10 \
    --max-s $((BACKLOG / PACE * 3 + 120)) >"$dir/sub.json" &
  sub=$!
  STARTED+=("$sub")
  sleep 0.2
  broker_start
  date +%s%N >"$dir/broker_up_realtime_ns.txt"
  $PY -c 'import time; print(time.monotonic_ns())' >"$dir/broker_up_ns.txt"
  reap "$sub" || echo "   ($name: subscriber exit $?)" >&2
  cat /proc/"$gateway"/stat >"$dir/gateway_stat_after.txt"
  kill -INT "$gateway" 2>/dev/null || true
  reap "$gateway" || echo "   ($name: gateway exit $?)" >&2
  reap "$feeder" || echo "   ($name: feeder exit $?)" >&2
  broker_stop
  cat /proc/loadavg >"$dir/load_after.txt"
  rm -rf "$dev"
  cat "$dir/feed.json" "$dir/sub.json" >&2
fi

cat /proc/loadavg >"$RAW/load_after.txt"
$PY "$ROOT/bench/gateway_report.py" "$RAW" "$OUT"
echo "results: $OUT/gateway.json, $OUT/gateway.md"
