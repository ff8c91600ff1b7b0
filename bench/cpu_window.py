#!/usr/bin/python3
"""The gateway benchmark's measurement window: CPU of a few processes over a stretch of wall time.

Waits for the feeder's --started file, then W seconds (the warm-up), reads utime + stime of each
process from /proc/<pid>/stat, waits D seconds and reads them again. Times are CLOCK_MONOTONIC,
the clock the feeder and the subscriber stamp with, so arrivals can be counted inside the window.

    cpu_window.py --started FILE --warmup-s W --measure-s D [--threads-of NAME] NAME=PID ...

Prints one JSON object: {"t0_ns", "t1_ns", "cpu_s": {NAME: seconds}}, and with --threads-of
"threads_s": {THREAD NAME: seconds} for that process's threads (from each thread's schedstat,
in nanoseconds; threads that ended inside the window are not in it).
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


def thread_seconds(pid):
    """CPU time of each of the process's threads by name, summed over threads of one name."""
    by_name = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                name = f.read().strip()
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                ns = int(f.read().split()[0])
        except OSError:
            continue  # the thread ended meanwhile
        by_name.setdefault(name, {})[tid] = ns
    return by_name


def thread_delta(before, after):
    delta = {}
    for name, tids in after.items():
        old = before.get(name, {})
        delta[name] = round(sum(ns - old[tid] for tid, ns in tids.items() if tid in old) / 1e9, 3)
    return delta


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--started", required=True)
    parser.add_argument("--warmup-s", type=float, required=True)
    parser.add_argument("--measure-s", type=float, required=True)
    parser.add_argument("--wait-s", type=float, default=120)
    parser.add_argument("--threads-of")
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
        threads_before = thread_seconds(processes[args.threads_of]) if args.threads_of else None
        time.sleep(args.measure_s)
        t1 = time.monotonic_ns()
        after = {name: cpu_seconds(pid) for name, pid in processes.items()}
        threads_after = thread_seconds(processes[args.threads_of]) if args.threads_of else None
    except OSError as error:
        print("cpu_window: %s (a process ended inside the window)" % error, file=sys.stderr)
        return 1
    result = {"t0_ns": t0, "t1_ns": t1,
              "cpu_s": {name: round(after[name] - before[name], 3) for name in processes}}
    if args.threads_of:
        result["threads_s"] = thread_delta(threads_before, threads_after)
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main())
