#!/usr/bin/python3
"""The gateway benchmark's measurement window: CPU of a few processes over a stretch of wall time.

Waits for the feeder's --started file, then W seconds (the warm-up), reads utime + stime of each
process from /proc/<pid>/stat, waits D seconds and reads them again. Times are CLOCK_MONOTONIC,
the clock the feeder and the subscriber stamp with, so arrivals can be counted inside the window.

    cpu_window.py --started FILE --warmup-s W --measure-s D NAME=PID [NAME=PID ...]

Prints one JSON object: {"t0_ns", "t1_ns", "cpu_s": {NAME: seconds}}.
"""
import argparse
import json
import os
import sys
import time

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        # The command name is in parentheses and may hold spaces: fields count after the last ')'.
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime, stime (fields 14, 15)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--started", required=True)
    parser.add_argument("--warmup-s", type=float, required=True)
    parser.add_argument("--measure-s", type=float, required=True)
    parser.add_argument("--wait-s", type=float, default=120)
    parser.add_argument("processes", nargs="+")
    args = parser.parse_args()
    processes = {}
    for item in args.processes:
        name, _, pid = item.partition("=")
        processes[name] = int(pid)

    deadline = time.monotonic() + args.wait_s
    while not os.path.exists(args.started):
        if time.monotonic() > deadline:
            print("cpu_window: %s did not appear in %g s" % (args.started, args.wait_s),
                  file=sys.stderr)
            return 1
        time.sleep(0.01)
    time.sleep(args.warmup_s)
    try:
        t0 = time.monotonic_ns()
        before = {name: cpu_seconds(pid) for name, pid in processes.items()}
        time.sleep(args.measure_s)
        t1 = time.monotonic_ns()
        after = {name: cpu_seconds(pid) for name, pid in processes.items()}
    except OSError as error:
        print("cpu_window: %s (a process ended inside the window)" % error, file=sys.stderr)
        return 1
    print(json.dumps({"t0_ns": t0, "t1_ns": t1,
                      "cpu_s": {name: round(after[name] - before[name], 3) for name in processes}}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
