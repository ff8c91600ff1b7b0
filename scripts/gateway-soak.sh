#!/usr/bin/env bash
# Soaks vpivg-host as an MQTT gateway (docs/soak.md, "Gateway soak: broker restarts"):
#   scripts/gateway-soak.sh                      # 300 s, a seed from the clock
#   scripts/gateway-soak.sh --seconds 900 --seed 7
#   SOAK_BUILD=/path scripts/gateway-soak.sh ... # default build/soak (preset native)
#   SOAK_KEEP=1 scripts/gateway-soak.sh ...      # keep the scratch folder even on a pass
# The simulator sends two streams over a socat null-modem pair with line faults; the gateway
# stores and publishes them as JSON to its own mosquitto; the broker is stopped and started
# again at seeded moments, and the gateway is killed (-9) while it is away. At the end every
# intact report sent must have reached a lasting-session subscriber with the very values sent.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${SOAK_BUILD:-$root/build/soak}")
py=/usr/bin/python3   # Debian's, with paho-mqtt 1.6
helper=$root/scripts/gateway_soak.py
seconds=300
seed=$(( $(date +%s) % 100000 ))

die() { echo "gateway soak: $*" >&2; exit 1; }

while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
    --seed) seed=${2:?--seed needs a number}; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    *) die "unknown argument $1 (--seconds N, --seed S)" ;;
  esac
done
case $seconds$seed in *[!0-9]*) die "--seconds and --seed take whole numbers" ;; esac
[ "$seconds" -ge 60 ] || die "--seconds must be at least 60: an outage needs room"

for tool in socat /usr/sbin/mosquitto "$py"; do
  command -v "$tool" >/dev/null || die "$tool is missing"
done
"$py" -c 'import paho.mqtt.client' 2>/dev/null || die "$py has no paho-mqtt"

build_tools() {
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset native -B "$build" -DVPIVG_BUILD_TESTS=OFF \
      -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache >/dev/null ||
      die "cmake configure of $build failed"
  fi
  cmake --build "$build" -j2 --target vpivg-host vpivg-sim vpivg >/dev/null ||
    die "build failed (cmake --build $build --target vpivg-host vpivg-sim vpivg)"
}

# --- processes this script started, ended by their own ids on any exit -----------------------
broker_pid='' sub_pid='' socat_pid='' sim_pid='' host_pid=''
# shellcheck disable=SC2317  # run by the EXIT trap
cleanup() {
  local pid
  for pid in $host_pid $sim_pid $sub_pid $broker_pid $socat_pid; do
    kill -TERM "$pid" 2>/dev/null
  done
  for pid in $host_pid $sim_pid $sub_pid $broker_pid $socat_pid; do
    wait "$pid" 2>/dev/null
  done
}
trap cleanup EXIT
trap 'echo "gateway soak: interrupted; scratch kept in $dir" >&2; keep=1; exit 130' INT TERM

free_port() {
  "$py" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

now() { date +%s; }

# One line per event, for the check's table and for reading a failure afterwards.
event() { echo "$(date +%s.%N | cut -c1-14) $1 ${2:-}" >>"$dir/events.txt"; echo "  $(date -u +%T) $1 ${2:-}"; }

# --- the broker -------------------------------------------------------------------------------
write_broker_conf() {
  {
    echo "per_listener_settings false"
    # As root, mosquitto would change to its own user and lose the scratch folder's files.
    [ "$(id -u)" -eq 0 ] && echo "user root"
    echo "allow_anonymous true"
    echo "listener $port 127.0.0.1"
    # Sessions and their queues survive a stop (SIGTERM) and start: the subscriber's lasting
    # session must hold what arrived while it was away, whatever the count.
    echo "persistence true"
    echo "persistence_location $dir/broker/"
    echo "queue_qos0_messages true"
    echo "max_queued_messages 0"
    echo "max_queued_bytes 0"
    echo "log_dest file $dir/broker/broker.log"
    echo "log_type error"
    echo "log_type warning"
    echo "log_type notice"
  } >"$dir/broker/mosquitto.conf" || die "cannot write $dir/broker/mosquitto.conf"
}

start_broker() {
  /usr/sbin/mosquitto -c "$dir/broker/mosquitto.conf" >>"$dir/broker/stdout.txt" 2>&1 &
  broker_pid=$!
  # Ready when the port takes a connection; a restart right after a stop may need a moment.
  for _ in $(seq 50); do
    if "$py" -c "import socket; socket.create_connection(('127.0.0.1', $port), 0.2)" 2>/dev/null; then
      return 0
    fi
    kill -0 "$broker_pid" 2>/dev/null || die "mosquitto exited at its start: $(tail -3 "$dir/broker/broker.log")"
    sleep 0.1
  done
  die "mosquitto does not listen on 127.0.0.1:$port after 5 s"
}

stop_broker() {
  # SIGTERM: mosquitto writes its persistence file (sessions, queued messages) and exits.
  kill -TERM "$broker_pid" || die "cannot signal mosquitto $broker_pid"
  wait "$broker_pid"
  local status=$?
  [ $status -eq 0 ] || die "mosquitto exited with $status on SIGTERM"
  broker_pid=
}

# --- the gateway ------------------------------------------------------------------------------
host_runs=0
start_host() {
  host_runs=$((host_runs + 1))
  # Its working folder is the scratch folder (the bdSeq file lands there); one output per run.
  (cd "$dir" && exec "$build/bin/vpivg-host" --port COM2 --device-dir "$dir/dev" --plain \
      --streams 1-2 --params 1-12 --mqtt-url "mqtt://127.0.0.1:$port" --mqtt-format json \
      --mqtt-node soak --mqtt-store "$dir/soak.db" --log "$dir/host.log" --log-size-kb 1048576 \
      >"$dir/host$host_runs.out" 2>"$dir/host$host_runs.err") &
  host_pid=$!
}

last_seq() { tail -n 1 "$dir/sent.log" 2>/dev/null | sed -n 's/^seq=\([0-9]*\) .*/\1/p'; }

# Until the driver reads the line (4 s after the gateway's start) the reports wait in the pty,
# and a cut report there is glued to the next one, which the driver then rejects with it: the
# reports sent from $1 until the first one is printed go to gaps.txt as a sequence window in
# which a loss is the line's, not the store's (the check lists each one).
mark_gap() {
  local before=$1 out=$dir/host$host_runs.out
  # The gates' zeros printed at the start have P01=0; a report's P01 never is.
  for _ in $(seq 150); do
    grep -q ' VPI 1 I0[0-9]: P01=[1-9]' "$out" 2>/dev/null && break
    kill -0 "$host_pid" 2>/dev/null || die "the gateway exited at its start: $(cat "$dir/host$host_runs.err")"
    sleep 0.1
  done
  echo "$before $(( $(last_seq) + 10 ))" >>"$dir/gaps.txt" || die "cannot write $dir/gaps.txt"
}

# kill -9 while the broker is away: only the store holds what was not published. The window
# starts 2 s before the kill: what the driver had read but not yet committed is lost with it.
kill_host() {
  local before
  before=$(last_seq)
  kill -KILL "$host_pid" || die "cannot kill the gateway $host_pid"
  wait "$host_pid" 2>/dev/null
  event gateway-kill "pid $host_pid at seq $before"
  start_host
  mark_gap $(( before > 20 ? before - 20 : 0 ))
  event gateway-start "pid $host_pid"
}

# RSS, threads, descriptors and CPU of the gateway from /proc.
sample_host() {
  local rss threads fds ticks cpu
  [ -r "/proc/$host_pid/status" ] || return 0
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$host_pid/status")
  threads=$(awk '/^Threads:/ {print $2}' "/proc/$host_pid/status")
  fds=$(find "/proc/$host_pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
  # utime and stime: fields 14 and 15, counted after the ")" that ends the command name.
  ticks=$(sed 's/.*) //' "/proc/$host_pid/stat" | awk '{print $12 + $13}')
  cpu=$(awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN {printf "%.2f", t / hz}')
  echo "$(now) $host_pid $rss $threads $fds $cpu" >>"$dir/samples.txt"
}

# --- the run ----------------------------------------------------------------------------------
build_tools
dir=$(mktemp -d "${TMPDIR:-/tmp}/vpivg-gateway-soak.XXXXXX") || die "cannot make a scratch folder"
keep=${SOAK_KEEP:-0}
mkdir -p "$dir/dev" "$dir/broker" || die "cannot make folders in $dir"
echo "time what detail" >"$dir/events.txt"
echo "time pid rss_kb threads fds cpu_s" >"$dir/samples.txt"
RANDOM=$seed
port=$(free_port) || die "no free port"
echo "gateway soak: seed $seed, $seconds s, scratch $dir, broker 127.0.0.1:$port"

write_broker_conf
start_broker
event broker-start "pid $broker_pid"

"$py" "$helper" sub "$port" 'vpivg/soak/#' "$dir/received.txt" 2>"$dir/sub.err" &
sub_pid=$!

# The null-modem pair: the simulator on com1, the gateway on com2.
socat pty,raw,echo=0,link="$dir/dev/com1" pty,raw,echo=0,link="$dir/dev/com2" 2>"$dir/socat.err" &
socat_pid=$!
for _ in $(seq 50); do [ -e "$dir/dev/com2" ] && [ -e "$dir/dev/com1" ] && break; sleep 0.1; done
[ -e "$dir/dev/com2" ] || die "socat made no pty pair: $(cat "$dir/socat.err")"

start_host
"$build/bin/vpivg-sim" --port "$dir/dev/com1" --plain --quiet --streams 1-2 --params 1-12 \
  --interval-ms 100 --seed "$seed" --fault noise:0.01 --fault cut:0.01 --fault malformed:0.01 \
  --sent-log "$dir/sent.log" >"$dir/sim.out" 2>"$dir/sim.err" &
sim_pid=$!
mark_gap 0

start=$(now)
end=$((start + seconds))
# The first sample after the start-up (driver loaded, threads running).
next_sample=$((start + 10))
next_outage=$((start + 20 + RANDOM % 41))
outages=0
# The gateway is killed during the second and the fourth outage (when the run has them).
while [ "$(now)" -lt "$end" ]; do
  for pid in $sim_pid $host_pid $sub_pid $socat_pid $broker_pid; do
    kill -0 "$pid" 2>/dev/null || die "process $pid stopped during the run (see $dir)"
  done
  t=$(now)
  if [ "$t" -ge "$next_sample" ]; then
    sample_host
    next_sample=$((t + 10))
  fi
  if [ "$t" -ge "$next_outage" ]; then
    length=$((2 + RANDOM % 19))
    # The last broker start must leave the end its drain time: no outage past end - 30 s.
    if [ $((t + length)) -lt $((end - 30)) ]; then
      outages=$((outages + 1))
      stop_broker
      event broker-stop "for $length s"
      if [ $outages -eq 2 ] || [ $outages -eq 4 ]; then
        sleep $((length / 2))
        kill_host
      fi
      while [ "$(now)" -lt $((t + length)) ]; do sleep 0.5; done
      start_broker
      event broker-start "pid $broker_pid"
    fi
    next_outage=$(( $(now) + 20 + RANDOM % 41 ))
  fi
  sleep 1
done

# --- the end: the simulator stops, the store drains, the gateway stops ------------------------
kill -TERM "$sim_pid" || die "cannot stop the simulator"
wait "$sim_pid"
status=$?
sim_pid=
[ $status -eq 0 ] || echo "gateway soak: the simulator exited with $status" >&2
event sim-stop "status $status, last seq $(last_seq)"

# Drained when the subscriber has had nothing new for 10 s (and at most 5 minutes).
quiet=0 last_size=-1 waited=0
while [ $quiet -lt 10 ] && [ $waited -lt 300 ]; do
  size=$(stat -c %s "$dir/received.txt")
  if [ "$size" = "$last_size" ]; then quiet=$((quiet + 1)); else quiet=0; last_size=$size; fi
  sleep 1
  waited=$((waited + 1))
  [ $((waited % 10)) -eq 0 ] && sample_host
done
sample_host
event drained "after $waited s"

kill -TERM "$host_pid" || die "cannot stop the gateway"
wait "$host_pid"
host_status=$?
host_pid=
echo "$host_status" >"$dir/host-exit.txt"
event gateway-stop "status $host_status"
kill -TERM "$sub_pid"; wait "$sub_pid"; sub_pid=
stop_broker
kill -TERM "$socat_pid"; wait "$socat_pid" 2>/dev/null; socat_pid=

"$py" "$helper" check "$dir"
result=$?
[ $status -eq 0 ] || result=1
if [ $result -eq 0 ] && [ "$keep" != 1 ]; then
  rm -rf "$dir"
else
  echo "gateway soak: scratch kept in $dir"
fi
exit $result
