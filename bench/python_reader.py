#!/usr/bin/python3
"""Baseline: what a plant engineer would write instead of the driver.

pyserial on the same pseudo-terminal, one readline() per report, split on ";", every value
stored in a dict keyed by the gate address the driver would write. Counts reports until N
arrived (or the line is silent for 3 s) and prints one JSON object.

    python_reader.py DEVICE N
"""
import json
import os
import sys
import time

import serial


def main():
    device, want = sys.argv[1], int(sys.argv[2])
    port = serial.Serial(device, baudrate=9600, timeout=3)
    gates = {}
    reports = lost = 0
    last_sequence = -1
    first = cpu_first = None
    while reports < want:
        line = port.readline()
        if not line:
            break
        if first is None:
            first = time.monotonic()
            t = os.times()
            cpu_first = t.user + t.system
        # The trailer is LF CR, so readline() leaves the CR at the start of the next line.
        fields = line.strip().decode("ascii").split(";")
        if len(fields) < 12 or fields[0] != "a":
            continue
        stream = int(fields[9])
        for i in range(2, 10, 2):
            gates["I%02dP%s" % (stream, fields[i])] = float(fields[i + 1])
        for i in range(10, len(fields) - 1, 2):
            value = float(fields[i + 1])
            if value != 0:
                gates["I%02dP%s" % (stream, fields[i])] = value
        sequence = int(fields[7]) - 1000000
        if sequence > last_sequence + 1:
            lost += sequence - last_sequence - 1
        last_sequence = sequence
        reports += 1
    seconds = time.monotonic() - first if first is not None else 0.0
    t = os.times()
    cpu = t.user + t.system - (cpu_first or 0.0)
    lost += max(0, want - 1 - last_sequence)
    size = len(line) if reports else 0
    print(json.dumps({
        "reports": reports, "lost": lost, "seconds": round(seconds, 4), "cpu_s": round(cpu, 4),
        "reports_per_s": round((reports - 1) / seconds, 1) if seconds > 0 else 0,
        "bytes_per_s": round((reports - 1) * size / seconds, 1) if seconds > 0 else 0,
        "gates": len(gates)}))


if __name__ == "__main__":
    main()
