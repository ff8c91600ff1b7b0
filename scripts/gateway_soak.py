#!/usr/bin/python3
"""The two halves of scripts/gateway-soak.sh that want Python (Debian's, with paho-mqtt 1.6).

  gateway_soak.py sub PORT TOPIC OUTFILE
      A subscriber with a lasting session (clean_session=False, QoS 1, fixed client id), so the
      broker queues what arrives while it is away from it. Writes one line per message:
      "<arrival epoch s>\t<topic>\t<payload>". paho's loop_forever reconnects after every
      broker restart, and on each connect "connected <epoch s>" is written to OUTFILE.log.
  gateway_soak.py check SCRATCH
      Compares the simulator's sent log with what the subscriber got, prints the table, exits 1
      when an intact report was lost, a value differs, or something arrived that was never sent.
"""
import json
import os
import signal
import struct
import sys
import time


def subscribe(port, topic, outfile):
    import paho.mqtt.client as mqtt

    out = open(outfile, "a", buffering=1)
    log = open(outfile + ".log", "a", buffering=1)
    client = mqtt.Client(client_id="soak-sub", clean_session=False)
    # Quick reconnects: the broker is away for 2 to 20 s at a time.
    client.reconnect_delay_set(min_delay=1, max_delay=2)

    def on_connect(c, userdata, flags, rc):
        log.write("connected %.3f rc=%d session_present=%s\n"
                  % (time.time(), rc, flags.get("session present")))
        if rc == 0:
            # The lasting session keeps the subscription; asking again costs nothing and
            # covers the very first connect.
            c.subscribe(topic, qos=1)

    def on_disconnect(c, userdata, rc):
        log.write("disconnected %.3f rc=%d\n" % (time.time(), rc))

    def on_message(c, userdata, msg):
        out.write("%.3f\t%s\t%s\n" % (time.time(), msg.topic, msg.payload.decode("utf-8", "replace")))

    client.on_connect = on_connect
    client.on_disconnect = on_disconnect
    client.on_message = on_message
    # SIGTERM from the soak script: leave cleanly (the session stays on the broker).
    signal.signal(signal.SIGTERM, lambda *a: client.disconnect())
    client.connect("127.0.0.1", port, keepalive=10)
    client.loop_forever(retry_first_connection=True)
    out.close()
    return 0


def as_float(text):
    """The driver keeps every reading as a 32-bit float; JSON carries that float as a double."""
    return struct.unpack("f", struct.pack("f", float(text)))[0]


def read_sent(path):
    """The simulator's sent log (sim/instrument.cpp SentReport::LogLine):
    seq=N stream=SS fault=KIND [polled] 01=A 02=B 03=C 05=text ... 12=text"""
    reports = []
    with open(path) as f:
        for line in f:
            fields = line.split()
            if not fields:
                continue
            r = {"values": {}}
            for field in fields:
                key, _, value = field.partition("=")
                if key == "seq":
                    r["seq"] = int(value)
                elif key == "stream":
                    r["stream"] = int(value)
                elif key == "fault":
                    r["fault"] = value
                elif key.isdigit():
                    n = int(key)
                    r["values"]["P%02d" % n] = int(value) if n <= 3 else as_float(value)
            r["values"]["P04"] = r["stream"]
            reports.append(r)
    return reports


def read_windows(path):
    """Sequence windows in which the gateway was not running (kill -9 to its line being read
    again): reports sent then may be lost, through no fault of the store."""
    windows = []
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                first, last = line.split()
                windows.append((int(first), int(last)))
    return windows


def read_samples(path):
    rows = []
    if os.path.exists(path):
        with open(path) as f:
            header = f.readline().split()
            for line in f:
                rows.append(dict(zip(header, line.split())))
    return rows


def check(scratch):
    sent = read_sent(os.path.join(scratch, "sent.log"))
    windows = read_windows(os.path.join(scratch, "gaps.txt"))
    by_key = {(r["stream"], r["values"]["P03"]): r for r in sent}
    if len(by_key) != len(sent):
        print("gateway soak: the sent log repeats a (stream, 03) pair: the check cannot key on it")
        return 1

    arrived = {}  # (stream, 03) -> list of (time, values, historical)
    historical_at = []  # arrival times of the historical messages
    unknown = []
    malformed = []
    with open(os.path.join(scratch, "received.txt")) as f:
        for line in f:
            at, topic, payload = line.rstrip("\n").split("\t", 2)
            tail = topic.rsplit("/", 1)[-1]
            if not (tail.startswith("I") and tail[1:].isdigit()):
                continue  # status, link
            try:
                message = json.loads(payload)
                values = message["values"]
                key = (int(tail[1:]), values["P03"])
            except (ValueError, KeyError, TypeError):
                malformed.append(line)
                continue
            if key not in by_key:
                unknown.append(line)
                continue
            arrived.setdefault(key, []).append((message["time"], values, bool(message.get("historical"))))
            if message.get("historical"):
                historical_at.append(float(at))

    intact = [r for r in sent if r["fault"] in ("none", "noise")]
    in_window = lambda r: any(a <= r["seq"] <= b for a, b in windows)
    lost, lost_in_window, differs, dup_differs = [], [], [], []
    delivered = duplicates = historical = live = damaged_delivered = 0
    for r in sent:
        copies = arrived.get((r["stream"], r["values"]["P03"]), [])
        for t, values, hist in copies:
            historical += hist
            live += not hist
            if values != r["values"]:
                differs.append((r, values))
        if len(copies) > 1:
            duplicates += len(copies) - 1
            if any((t, v) != (copies[0][0], copies[0][1]) for t, v, _ in copies[1:]):
                dup_differs.append((r, copies))
        if r["fault"] not in ("none", "noise"):
            damaged_delivered += bool(copies)
            continue
        if copies:
            delivered += 1
        elif in_window(r):
            lost_in_window.append(r)
        else:
            lost.append(r)

    samples = read_samples(os.path.join(scratch, "samples.txt"))
    events = read_samples(os.path.join(scratch, "events.txt"))
    outages = sum(e["what"] == "broker-stop" for e in events)
    kills = sum(e["what"] == "gateway-kill" for e in events)
    # The store itself is locked by the gateway; what it held shows as the historical messages
    # that arrive after each broker start, until the next stop.
    starts = [float(e["time"]) for e in events if e["what"] == "broker-start"][1:]
    stops = [float(e["time"]) for e in events if e["what"] == "broker-stop"]
    replays = []
    for begin in starts:
        finish = min([t for t in stops if t > begin] or [float("inf")])
        times = [t for t in historical_at if begin <= t < finish]
        if times:
            replays.append((len(times), max(times) - min(times)))
    cpu = {}
    for s in samples:
        cpu[s["pid"]] = float(s["cpu_s"])
    faults = {}
    for r in sent:
        faults[r["fault"]] = faults.get(r["fault"], 0) + 1
    stop_status = open(os.path.join(scratch, "host-exit.txt")).read().strip()

    rows = [
        ("reports sent", len(sent)),
        ("line faults", ", ".join("%s %d" % kv for kv in sorted(faults.items()) if kv[0] != "none")),
        ("intact (no fault or noise only)", len(intact)),
        ("intact, delivered", delivered),
        ("intact, lost", len(lost)),
        ("intact, sent while no gateway read the line (may be lost)",
         "%d in %d windows, %d of them lost" % (sum(in_window(r) for r in intact), len(windows), len(lost_in_window))),
        ("damaged on the line, delivered all the same", damaged_delivered),
        ("messages received (data)", sum(len(c) for c in arrived.values())),
        ("live / historical", "%d / %d" % (live, historical)),
        ("duplicates (all identical?)", "%d (%s)" % (duplicates, "yes" if not dup_differs else "NO: %d differ" % len(dup_differs))),
        ("values differing from the sent ones", len(differs)),
        ("never sent / unreadable", "%d / %d" % (len(unknown), len(malformed))),
        ("broker outages", outages),
        ("gateway kills (kill -9, broker down)", kills),
        ("largest replay after an outage",
         "%d historical reports in %.1f s" % max(replays) if replays else "none"),
    ]
    if samples:
        first, last = samples[0], samples[-1]
        # The last gateway process from its own first sample: a kill starts a new process.
        last_first = next(s for s in samples if s["pid"] == last["pid"])
        for name, key in (("resident KiB", "rss_kb"), ("threads", "threads"), ("open descriptors", "fds")):
            rows.append((name + " first -> last (last process: first -> last)",
                         "%s -> %s (%s -> %s)" % (first[key], last[key], last_first[key], last[key])))
        rows.append(("gateway CPU seconds (all processes)", "%.2f" % sum(cpu.values())))
    rows.append(("gateway exit status on SIGTERM", stop_status))

    width = max(len(name) for name, _ in rows)
    print()
    for name, value in rows:
        print("  %-*s  %s" % (width, name, value))
    by_seq = {r["seq"]: r for r in sent}
    for r in lost_in_window:
        before = by_seq.get(r["seq"] - 1)
        print("lost while the gateway did not read the line: seq=%d stream=%d (the report before it: %s)"
              % (r["seq"], r["stream"], before["fault"] if before else "none"))
    for r in lost[:20]:
        print("LOST seq=%d stream=%d 03=%d" % (r["seq"], r["stream"], r["values"]["P03"]))
    for r, values in differs[:20]:
        print("DIFFERS seq=%d stream=%d sent %s got %s" % (r["seq"], r["stream"], r["values"], values))
    for r, copies in dup_differs[:20]:
        print("DUPLICATES DIFFER seq=%d: %s" % (r["seq"], copies))
    for line in (unknown + malformed)[:20]:
        print("NEVER SENT: " + line.rstrip())
    failed = lost or differs or dup_differs or unknown or malformed or stop_status != "0"
    print("\ngateway soak: %s" % ("FAIL" if failed else "PASS"))
    return 1 if failed else 0


def main(argv):
    if len(argv) == 5 and argv[1] == "sub":
        return subscribe(int(argv[2]), argv[3], argv[4])
    if len(argv) == 3 and argv[1] == "check":
        return check(argv[2])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
