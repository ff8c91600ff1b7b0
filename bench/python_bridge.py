#!/usr/bin/python3
"""Baseline for the gateway benchmark: what a plant engineer would write instead of vpivg-host.

One thread per serial line: pyserial readline() per report, the report split into its fields,
and one JSON message per report published with paho-mqtt to the broker, in the gateway's own
JSON shape and topics (<prefix>/VPI<n>/I<stream>, {"time", "values", "historical"}), so the
same subscriber reads both.

    python_bridge.py --port P --dir DEVICE-FOLDER --lines N [--first 1]
                     [--topic vpivg/pybridge] [--qos 1]

Line n is DEVICE-FOLDER/com<n>. Runs until SIGINT or SIGTERM, then waits (up to 10 s) for the
broker to acknowledge what was published and prints one JSON object with the counts.
"""
import argparse
import datetime
import json
import os
import signal
import sys
import threading
import time

import paho.mqtt.client as mqtt
import serial

stop = threading.Event()
lock = threading.Lock()
counts = {"reports": 0, "unreadable": 0, "published": 0, "acknowledged": 0, "errors": 0}


def count(name, n=1):
    with lock:
        counts[name] += n


def failed(device, error):
    print("python_bridge: %s: %s" % (device, error), file=sys.stderr)
    with lock:
        counts["errors"] += 1
        counts.setdefault("first_error", "%s: %s" % (os.path.basename(device), error))


def read_line(client, args, number):
    device = "%s/com%d" % (args.dir, number)
    try:
        port = serial.Serial(device, baudrate=9600, timeout=1)
    except serial.SerialException as error:
        failed(device, error)
        return
    try:
        serve(client, args, number, port)
    except (OSError, ValueError, serial.SerialException) as error:
        # pyserial waits with select(), which takes no descriptor above 1023, and each port holds
        # five: past about 200 lines a reader fails at its first wait. The port stays open, so
        # the feed runs and what comes on this line counts as lost, as it would in a plant.
        failed(device, error)
        stop.wait()
    port.close()


def serve(client, args, number, port):
    prefix = "%s/VPI%d/I" % (args.topic, number)
    partial = b""
    while not stop.is_set():
        line = port.readline()
        if not line:
            continue
        if not line.endswith(b"\n"):  # the timeout cut a report: keep its start
            partial += line
            continue
        line, partial = partial + line, b""
        # The trailer is LF CR, so readline() leaves the CR at the start of the next line.
        fields = line.strip().decode("ascii", "replace").split(";")
        if len(fields) < 12 or fields[0] != "a" or len(fields) % 2 != 0:
            count("unreadable")
            continue
        try:
            values = {}
            for i in range(2, 10, 2):  # P01..P04: the report's fixed integer fields
                values["P" + fields[i]] = int(fields[i + 1])
            for i in range(10, len(fields), 2):  # P05..P99: readings
                values["P" + fields[i]] = float(fields[i + 1])
        except ValueError:
            count("unreadable")
            continue
        now = datetime.datetime.now(datetime.timezone.utc)
        payload = json.dumps({
            "time": now.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (now.microsecond // 1000),
            "values": values, "historical": False}, separators=(",", ":"))
        info = client.publish(prefix + fields[9], payload, qos=args.qos)
        if info.rc != mqtt.MQTT_ERR_SUCCESS:
            print("python_bridge: publish: %s" % mqtt.error_string(info.rc), file=sys.stderr)
            count("errors")
            continue
        with lock:
            counts["reports"] += 1
            counts["published"] += 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--dir", required=True)
    parser.add_argument("--lines", type=int, default=1)
    parser.add_argument("--first", type=int, default=1)
    parser.add_argument("--topic", default="vpivg/pybridge")
    parser.add_argument("--qos", type=int, default=1, choices=(0, 1))
    args = parser.parse_args()

    signal.signal(signal.SIGINT, lambda *_: stop.set())
    signal.signal(signal.SIGTERM, lambda *_: stop.set())

    client = mqtt.Client(client_id="vpivg-pybridge")
    client.max_inflight_messages_set(0)  # no cap: a slow acknowledgement never holds a report back

    def on_publish(_client, _userdata, _mid):
        count("acknowledged")

    client.on_publish = on_publish
    try:
        client.connect("127.0.0.1", args.port, keepalive=30)
    except OSError as error:
        print("python_bridge: connect to 127.0.0.1:%d: %s" % (args.port, error), file=sys.stderr)
        return 1
    client.loop_start()

    threads = [threading.Thread(target=read_line, args=(client, args, n), daemon=True)
               for n in range(args.first, args.first + args.lines)]
    for thread in threads:
        thread.start()
    while not stop.is_set():
        stop.wait(0.5)
    for thread in threads:
        thread.join()
    # What was handed to paho is out once the broker acknowledged it (QoS 1) or, for QoS 0,
    # once paho wrote it to the socket: both call on_publish.
    for _ in range(100):
        with lock:
            done = counts["acknowledged"] >= counts["published"]
        if done:
            break
        time.sleep(0.1)
    client.disconnect()
    client.loop_stop()
    print(json.dumps(counts))
    return 1 if counts["errors"] else 0


if __name__ == "__main__":
    sys.exit(main())
