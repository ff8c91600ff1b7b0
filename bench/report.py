#!/usr/bin/python3
"""Turns the raw outputs of scripts/bench.sh into results.json, results.md and the plots.

    report.py RAW_DIR OUT_DIR
"""
import glob
import json
import os
import re
import sys

LINE_BYTES = {"short": 48, "full": 988}   # report + "\n\r" trailer
BAUD_CHARS = {9600: 960, 57600: 5760}     # 10 bits per character on the line


WINDOWS_BUILDS = (("wine32", "32-bit build under the 32-bit Wine"), ("wine64", "64-bit build under wine64"))


def load(raw, name):
    path = os.path.join(raw, name + ".json")
    if not os.path.exists(path):
        return None
    text = open(path).read().strip()
    if not text:
        return None
    try:
        return json.loads(text)
    except ValueError:
        return json.loads(text.splitlines()[-1])


def text(raw, name):
    path = os.path.join(raw, name)
    return open(path).read().strip() if os.path.exists(path) else ""


def callgrind_total(path):
    for line in open(path):
        m = re.match(r"(summary|totals):\s+(\d+)", line)
        if m:
            return int(m.group(2))
    return None


def callgrind_top(path, count=8):
    """The functions with the most instructions of their own."""
    rows = []
    for line in open(path):
        m = re.match(r"\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(\S.*)", line)
        if m and "PROGRAM TOTALS" not in line:
            name = re.sub(r"^.*?:", "", m.group(3)).split(" [")[0]
            rows.append({"function": name.strip(), "share_pct": float(m.group(2))})
    return rows[:count]


def inclusive(path, reports):
    """Instructions per report spent in (and below) the functions that make up the path."""
    wanted = {"ReceivePacket": "ReceivePacket(", "PublishPacket": "PublishPacket(",
              "ParsePacket": "ParsePacket(", "ReadFile": "ReadFile(", "ClearCommError": "ClearCommError(",
              "err": ":err ", "Zel5GetGateIdByAddressStr": ":Zel5GetGateIdByAddressStr ",
              "Zel5PutGateVal": ":Zel5PutGateVal "}
    found = {}
    if not os.path.exists(path):
        return found
    for line in open(path):
        m = re.match(r"\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(\S.*)", line)
        if not m:
            continue
        cost, where = int(m.group(1).replace(",", "")), m.group(2) + " "
        for key, needle in wanted.items():
            if key not in found and needle in where:
                found[key] = round(cost / reports)
    return found


# The Windows build measured under Wine as `tag` (wine32 or wine64): throughput, the plain
# Win32 reader beside it, CPU at the 57600-baud line rate, and the run's note.
def windows(raw, tag):
    w = {}
    for kind in ("short", "full"):
        d = load(raw, tag + ".driver.%s" % kind)
        if d:
            w[kind] = {"reports_per_s": d["reports_per_s"], "bytes_per_s": d["bytes_per_s"],
                       "lost": d["lost"], "cpu_s": d["cpu_s"],
                       "cpu_s_per_10000_reports": round(1e4 * d["cpu_s"] / max(1, d["window_reports"]), 4),
                       "x_line_9600": round(d["bytes_per_s"] / 960, 1),
                       "x_line_57600": round(d["bytes_per_s"] / 5760, 1)}
            ws = load(raw, "%s.driver.%s.wineserver" % (tag, kind))
            if ws:
                w[kind]["wineserver_cpu_s"] = ws.get("cpu_s")
    for key in ("rate57600.full.tick20", "rate57600.short.tick20"):
        d = load(raw, tag + "." + key)
        if d:
            feed = load(raw, tag + ".%s.feed" % key) or {}
            offered = 5760.0 / LINE_BYTES[d["kind"]]
            w[key] = {"kind": d["kind"], "tick_ms": d["tick_ms"],
                      "core_pct": round(100 * d["cpu_core_fraction"], 3),
                      "delivered_reports_per_s": round(d["window_reports"] / d["window_s"], 1),
                      "offered_reports_per_s": round(offered, 1),
                      "lost": d["lost"] + feed.get("overruns", 0)}
    d = load(raw, tag + ".raw_byte.short")
    if d and d.get("bytes_per_s"):
        w["raw_byte_short"] = {"reports_per_s": d["reports_per_s"], "bytes_per_s": d["bytes_per_s"],
                               "cpu_s_per_10000_reports": round(1e4 * d["cpu_s"] / max(1, d["reports"]), 4)}
        if "short" in w:
            w["short"]["vs_raw_byte_rate"] = round(w["short"]["bytes_per_s"] / d["bytes_per_s"], 2)
    d = load(raw, tag + ".pinned.driver.short")
    b = load(raw, tag + ".pinned.raw_byte.short")
    if d and b and b.get("bytes_per_s"):
        w["pinned_short"] = {"reports_per_s": d["reports_per_s"], "bytes_per_s": d["bytes_per_s"],
                             "lost": d["lost"],
                             "cpu_s_per_10000_reports": round(1e4 * d["cpu_s"] / max(1, d["window_reports"]), 4),
                             "raw_reports_per_s": b["reports_per_s"], "raw_bytes_per_s": b["bytes_per_s"],
                             "raw_cpu_s_per_10000_reports": round(1e4 * b["cpu_s"] / max(1, b["reports"]), 4),
                             "vs_raw_byte_rate": round(d["bytes_per_s"] / b["bytes_per_s"], 2)}
    note = text(raw, tag + ".note.txt")
    if note:
        w["note"] = note
    return w


def main():
    raw, out = sys.argv[1], sys.argv[2]
    r = {"machine": {
        "when": text(raw, "when.txt"), "cpu": text(raw, "cpu.txt"), "cores": text(raw, "cores.txt"),
        "kernel": text(raw, "uname.txt"),
        "load_before": text(raw, "load_before.txt"), "load_after": text(raw, "load_after.txt")}}

    # 1. parser and publisher
    g = load(raw, "gbench") or {}
    micro = {}
    for b in g.get("benchmarks", []):
        if b.get("aggregate_name") == "median":
            micro[b["run_name"]] = {"cpu_ns": round(b["cpu_time"], 1),
                                    "real_ns": round(b["real_time"], 1)}
    r["per_report_ns"] = micro
    path = {}
    for kind in ("short", "full"):
        info = load(raw, "path." + kind)
        out_file = os.path.join(raw, "callgrind.%s.out" % kind)
        if info and os.path.exists(out_file):
            total = callgrind_total(out_file)
            top_file = os.path.join(raw, "callgrind.%s.top.txt" % kind)
            path[kind] = {"reports": info["reports"], "published": info["published"],
                          "instructions": total,
                          "instructions_per_report": round(total / info["reports"]) if total else None,
                          "top_self": callgrind_top(top_file) if os.path.exists(top_file) else [],
                          "inclusive_per_report": inclusive(os.path.join(raw, "callgrind.%s.inclusive.txt" % kind),
                                                            info["reports"])}
    r["path_instructions"] = path

    # 2. throughput
    thr = {}
    for kind in ("short", "full"):
        t = {}
        for who in ("raw_bulk", "raw_byte", "driver", "python"):
            d = load(raw, "%s.%s" % (who, kind))
            if not d:
                continue
            reports = d.get("window_reports", d.get("reports"))
            e = {"reports_per_s": d["reports_per_s"], "bytes_per_s": d["bytes_per_s"],
                 "reports": reports, "lost": d.get("lost", 0), "cpu_s": d["cpu_s"],
                 "cpu_us_per_report": round(1e6 * d["cpu_s"] / max(1, reports), 2)}
            if who == "driver":
                e["tick_ms"] = d["tick_ms"]
                e["cpu_s_per_10000_reports"] = round(1e4 * d["cpu_s"] / max(1, reports), 4)
            for baud, chars in BAUD_CHARS.items():
                e["x_line_%d" % baud] = round(d["bytes_per_s"] / chars, 1)
            t[who] = e
        if "driver" in t:
            dr = t["driver"]
            for base in ("raw_byte", "raw_bulk", "python"):
                if base in t:
                    dr["vs_%s_rate" % base] = round(dr["reports_per_s"] / t[base]["reports_per_s"], 2)
            if "python" in t:
                dr["python_cpu_per_report_x"] = round(
                    t["python"]["cpu_us_per_report"] / max(1e-9, dr["cpu_us_per_report"]), 1)
        thr[kind] = t
    r["throughput"] = thr

    # 3. latency
    lat = {}
    for tick in (20, 1):
        d = load(raw, "latency.tick%d" % tick)
        if d:
            lat["tick%d" % tick] = dict(d["latency_ms"], vpis=d["vpis"], lost=d["lost"],
                                        reports_per_s_total=d["reports_per_s"])
    r["latency"] = lat

    # 4. CPU
    cpu = {}
    for name in sorted(glob.glob(os.path.join(raw, "rate57600.*.json"))):
        if name.endswith(".feed.json"):
            continue
        key = os.path.basename(name)[:-5]
        d = load(raw, key)
        feed = load(raw, key + ".feed") or {}
        offered = 5760.0 / LINE_BYTES[d["kind"]]
        cpu[key] = {"kind": d["kind"], "tick_ms": d["tick_ms"],
                    "core_pct": round(100 * d["cpu_core_fraction"], 3),
                    "offered_reports_per_s": round(offered, 1),
                    "delivered_reports_per_s": round(d["window_reports"] / d["window_s"], 1),
                    "lost": d["lost"] + feed.get("overruns", 0),
                    "keeps_up": d["window_reports"] / d["window_s"] >= 0.98 * offered,
                    "cpu_s_per_10000_reports": round(1e4 * d["cpu_s"] / max(1, d["window_reports"]), 4)}
    for tick in (20, 5, 1):
        d = load(raw, "wait.tick%d" % tick)
        if d:
            cpu["wait.tick%d" % tick] = {"tick_ms": tick, "window_s": d["window_s"],
                                         "core_pct": round(100 * d["cpu_core_fraction"], 3)}
    for key, d in cpu.items():
        floor = cpu.get("wait.tick%d" % d["tick_ms"]) if key.startswith("rate57600") else None
        if floor:
            d["host_wait_core_pct"] = floor["core_pct"]
    for tick in (20, 1):
        d = load(raw, "idle.tick%d" % tick)
        if d:
            per_vpi_hour = d["cpu_s"] / d["vpis"] / d["window_s"] * 3600
            cpu["idle.tick%d" % tick] = {"vpis": d["vpis"], "window_s": d["window_s"],
                                         "cpu_s_per_vpi_hour": round(per_vpi_hour, 2),
                                         "core_pct_per_vpi": round(100 * d["cpu_core_fraction"] / d["vpis"], 4)}
    r["cpu"] = cpu

    # 5. scale
    sc = {}
    for n in (1, 16, 64, 128):
        d = load(raw, "scale.%d" % n)
        if not d:
            continue
        feed = load(raw, "scale.%d.feed" % n) or {}
        sc[str(n)] = {"vpis": n, "core_pct_total": round(100 * d["cpu_core_fraction"], 3),
                      "lost": d["lost"] + feed.get("overruns", 0),
                      "delivered_reports_per_s": round(d["window_reports"] / d["window_s"], 1),
                      "offered_reports_per_s": round(n * 960.0 / LINE_BYTES["short"], 1),
                      "resident_kib": d["resident_kib"],
                      "resident_per_vpi_kib": d["resident_per_vpi_kib"]}
    if "1" in sc:
        for n, d in sc.items():
            if n != "1":
                d["marginal_kib_per_vpi"] = round((d["resident_kib"] - sc["1"]["resident_kib"]) / (int(n) - 1), 1)
    r["scale"] = sc

    # 6. the Windows builds under Wine
    for tag in ("wine32", "wine64"):
        r[tag] = windows(raw, tag)

    r["targets"] = targets(r)
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "results.json"), "w") as f:
        json.dump(r, f, indent=2)
    with open(os.path.join(out, "results.md"), "w") as f:
        f.write(markdown(r))
    try:
        plots(r, raw, out)
    except Exception as e:  # plots are a nicety; the numbers are in results.json
        print("plots failed: %s" % e, file=sys.stderr)
    print(markdown(r))


def targets(r):
    t = []
    thr = r["throughput"]
    for kind in ("short", "full"):
        d = thr.get(kind, {})
        if "driver" in d and "raw_byte" in d:
            t.append({"target": "%s: driver >= 1/2 raw one-byte read rate, no loss" % kind,
                      "value": "%.1fx, %d lost" % (d["driver"]["vs_raw_byte_rate"], d["driver"]["lost"]),
                      "met": d["driver"]["vs_raw_byte_rate"] >= 0.5 and d["driver"]["lost"] == 0})
        if "driver" in d and "python" in d:
            t.append({"target": "%s: driver >= 20x Python reader in reports/s and CPU/report" % kind,
                      "value": "%.0fx rate, %.0fx CPU" % (d["driver"]["vs_python_rate"], d["driver"]["python_cpu_per_report_x"]),
                      "met": d["driver"]["vs_python_rate"] >= 20 and d["driver"]["python_cpu_per_report_x"] >= 20})
    for tick in (20, 1):
        d = r["latency"].get("tick%d" % tick)
        if d:
            t.append({"target": "p99 latency <= tick + 2 ms (tick %d ms)" % tick,
                      "value": "%.2f ms" % d["p99"], "met": d["p99"] <= tick + 2})
    for key, d in r["cpu"].items():
        if key.startswith("rate57600"):
            t.append({"target": "57600-baud line rate, %s reports, tick %d ms: < 1%% of a core, no loss" % (d["kind"], d["tick_ms"]),
                      "value": "%.2f%%, %d lost%s%s" % (d["core_pct"], d["lost"],
                                                        "" if d["keeps_up"] else ", cannot keep up: %.0f of %.0f reports/s" % (
                                                            d["delivered_reports_per_s"], d["offered_reports_per_s"]),
                                                        "" if "host_wait_core_pct" not in d else " (the host's wait alone: %.2f%%)" % d["host_wait_core_pct"]),
                      "met": d["core_pct"] < 1 and d["lost"] == 0 and d["keeps_up"]})
    for tag, who in WINDOWS_BUILDS:
        w = r.get(tag) or {}
        if "vs_raw_byte_rate" in w.get("short", {}):
            d = w["short"]
            pinned = w.get("pinned_short")
            t.append({"target": "%s: driver >= 1/2 a plain Win32 reader's one-byte ReadFile rate, no loss" % who,
                      "value": "%.2fx, %d lost%s" % (d["vs_raw_byte_rate"], d["lost"], "" if not pinned else
                                                     " (%.2fx, %d lost, with the Wine process and its wineserver on one core)" % (
                                                         pinned["vs_raw_byte_rate"], pinned["lost"])),
                      "met": d["vs_raw_byte_rate"] >= 0.5 and d["lost"] == 0})
    d = r["scale"].get("128")
    if d:
        t.append({"target": "128 VPIs at 9600 baud: no loss, < 25% of a core, < 400 KiB/VPI",
                  "value": "%d lost, %.1f%%, %.0f KiB/VPI" % (d["lost"], d["core_pct_total"], d["resident_per_vpi_kib"]),
                  "met": d["lost"] == 0 and d["core_pct_total"] < 25 and d["resident_per_vpi_kib"] < 400})
    return t


def fmt(v, digits=0):
    if v is None:
        return "-"
    if isinstance(v, (int, float)) and abs(v) >= 1000 and digits == 0:
        return "{:,.0f}".format(v)
    return ("{:.%df}" % digits).format(v)


def markdown(r):
    m = r["machine"]
    o = ["Measured %s on %s (%s cores), %s. Load average before/after the run: %s / %s." % (
        m["when"], m["cpu"], m["cores"], m["kernel"], " ".join(m["load_before"].split()[:3]),
        " ".join(m["load_after"].split()[:3])), ""]
    o += ["| Parser and publisher | short report (46 chars) | full report (95 parameters) |",
          "|---|---|---|"]
    mi = r["per_report_ns"]
    for label, key in (("ParsePacket, CPU time per report", "Parse"),
                       ("PublishPacket (parse, then 5 or 99 gate lookups and writes), CPU time per report", "Publish")):
        o.append("| %s | %s ns | %s ns |" % (label, fmt(mi.get(key + "/short", {}).get("cpu_ns")),
                                             fmt(mi.get(key + "/full", {}).get("cpu_ns"))))
    p = r["path_instructions"]
    o.append("| whole receive -> parse -> publish path, instructions per report (callgrind) | %s | %s |" % (
        fmt(p.get("short", {}).get("instructions_per_report")), fmt(p.get("full", {}).get("instructions_per_report"))))
    for label, key in (("... of which the stand-in host's err formatting the level-8 byte trace", "err"),
                       ("... of which the platform layer's ReadFile (one call per byte)", "ReadFile"),
                       ("... of which PublishPacket (parse, gate lookups and writes)", "PublishPacket")):
        o.append("| %s | %s | %s |" % (label, fmt(p.get("short", {}).get("inclusive_per_report", {}).get(key)),
                                       fmt(p.get("full", {}).get("inclusive_per_report", {}).get(key))))
    o += ["", "| Throughput, one reader, unthrottled pty | reports/s | bytes/s | x 9600-baud line | x 57600-baud line | CPU us/report | lost |",
          "|---|---|---|---|---|---|---|"]
    names = {"raw_bulk": "raw read(), 4096 bytes per call", "raw_byte": "raw read(), 1 byte per call",
             "driver": "vpivg, one VPI (message wait returns at once)", "python": "Python pyserial readline + split"}
    for kind in ("short", "full"):
        for who in ("driver", "raw_byte", "raw_bulk", "python"):
            d = r["throughput"].get(kind, {}).get(who)
            if d:
                o.append("| %s report: %s | %s | %s | %s | %s | %s | %s |" % (
                    kind, names[who], fmt(d["reports_per_s"]), fmt(d["bytes_per_s"]),
                    fmt(d["x_line_9600"], 1), fmt(d["x_line_57600"], 1), fmt(d["cpu_us_per_report"], 2), d["lost"]))
    o += ["", "| Latency, last trailer byte written -> last gate written | reports | p50 ms | p99 ms | max ms | lost |",
          "|---|---|---|---|---|---|"]
    for tick in (20, 1):
        d = r["latency"].get("tick%d" % tick)
        if d:
            o.append("| message-wait tick %d ms, %d VPIs, a report every 25-45 ms each | %d | %.2f | %.2f | %.2f | %d |" % (
                tick, d["vpis"], d["count"], d["p50"], d["p99"], d["max"], d["lost"]))
    o += ["", "| CPU | % of one core | CPU s per 10 000 reports | reports/s delivered / offered | lost |",
          "|---|---|---|---|---|"]
    for key, d in sorted(r["cpu"].items()):
        if key.startswith("rate57600"):
            o.append("| one VPI at the 57600-baud line rate, %s reports, tick %d ms | %.2f | %.3f | %.1f / %.1f | %d |" % (
                d["kind"], d["tick_ms"], d["core_pct"], d["cpu_s_per_10000_reports"],
                d["delivered_reports_per_s"], d["offered_reports_per_s"], d["lost"]))
    for tick in (20, 5, 1):
        d = r["cpu"].get("wait.tick%d" % tick)
        if d:
            o.append("| baseline: the stand-in host's message wait alone, no driver, tick %d ms | %.2f | - | - | - |" % (
                tick, d["core_pct"]))
    for kind in ("short", "full"):
        d = r["throughput"].get(kind, {}).get("driver")
        if d:
            o.append("| one VPI flat out (unthrottled), %s reports | - | %.3f | - | %d |" % (kind, d["cpu_s_per_10000_reports"], d["lost"]))
    for tick in (20, 1):
        d = r["cpu"].get("idle.tick%d" % tick)
        if d:
            o.append("| idle VPI, tick %d ms: %.2f CPU s per VPI-hour | %.3f | - | - | - |" % (
                tick, d["cpu_s_per_vpi_hour"], d["core_pct_per_vpi"]))
    o += ["", "| Scale, one process, every VPI at the 9600-baud line rate (short reports, tick 20 ms) | % of one core, total | reports/s delivered / offered | lost | resident KiB per VPI (growth over the host before any start, / VPIs) | KiB per added VPI (over 1 VPI) |",
          "|---|---|---|---|---|---|"]
    for n, d in r["scale"].items():
        o.append("| %s VPIs | %.2f | %.1f / %.1f | %d | %.0f | %s |" % (
            n, d["core_pct_total"], d["delivered_reports_per_s"], d["offered_reports_per_s"], d["lost"],
            d["resident_per_vpi_kib"], fmt(d.get("marginal_kib_per_vpi"), 0)))
    for tag, who in WINDOWS_BUILDS:
        w = r.get(tag) or {}
        if any(k in w for k in ("short", "full")):
            o += ["", "| Windows build, %s (one VPI, unthrottled) | reports/s | bytes/s | x 57600-baud line | CPU s per 10 000 reports (process) | wineserver CPU s | lost |" % who,
                  "|---|---|---|---|---|---|---|"]
            for kind in ("short", "full"):
                d = w.get(kind)
                if d:
                    o.append("| %s reports | %s | %s | %.1f | %.3f | %s | %d |" % (
                        kind, fmt(d["reports_per_s"]), fmt(d["bytes_per_s"]), d["x_line_57600"],
                        d["cpu_s_per_10000_reports"], fmt(d.get("wineserver_cpu_s"), 2), d["lost"]))
        d = w.get("raw_byte_short")
        if d:
            o.append("| baseline: a plain Win32 reader, one byte per ReadFile, short reports | %s | %s | %.1f | %.3f | | 0 |" % (
                fmt(d["reports_per_s"]), fmt(d["bytes_per_s"]), d["bytes_per_s"] / 5760, d["cpu_s_per_10000_reports"]))
        d = w.get("pinned_short")
        if d:
            o.append("| short reports, the Wine process and its wineserver on one core | %s | %s | %.1f | %.3f | | %d |" % (
                fmt(d["reports_per_s"]), fmt(d["bytes_per_s"]), d["bytes_per_s"] / 5760, d["cpu_s_per_10000_reports"], d["lost"]))
            o.append("| baseline: the plain Win32 reader, on one core with the wineserver | %s | %s | %.1f | %.3f | | 0 |" % (
                fmt(d["raw_reports_per_s"]), fmt(d["raw_bytes_per_s"]), d["raw_bytes_per_s"] / 5760, d["raw_cpu_s_per_10000_reports"]))
        for key in ("rate57600.full.tick20", "rate57600.short.tick20"):
            d = w.get(key)
            if d:
                o.append("| at the 57600-baud line rate, %s reports, tick %d ms: %.2f%% of one core (Wine process), %.1f of %.1f reports/s | | | | | | %d |" % (
                    d["kind"], d["tick_ms"], d["core_pct"], d["delivered_reports_per_s"], d["offered_reports_per_s"], d["lost"]))
        if w.get("note"):
            o += ["", w["note"]]
    o += ["", "| Target | measured | met |", "|---|---|---|"]
    for t in r["targets"]:
        o.append("| %s | %s | %s |" % (t["target"], t["value"], "yes" if t["met"] else "**no**"))
    return "\n".join(o) + "\n"


def plots(r, raw, out):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # Throughput, bytes/s, log scale, with the two line rates.
    fig, ax = plt.subplots(figsize=(6.4, 3.4), dpi=100)
    who = ["python", "raw_byte", "driver", "raw_bulk"]
    labels = ["Python\nreadline", "raw read()\n1 byte", "vpivg\n1 VPI", "raw read()\n4096 bytes"]
    width = 0.38
    for i, kind in enumerate(("short", "full")):
        vals = [r["throughput"].get(kind, {}).get(w, {}).get("bytes_per_s", 0) for w in who]
        ax.bar([x + (i - 0.5) * width for x in range(len(who))], vals, width, label="%s report" % kind)
    for baud, chars in BAUD_CHARS.items():
        ax.axhline(chars, color="grey", linestyle="--", linewidth=0.8)
        ax.text(len(who) - 0.5, chars * 1.15, "%d baud" % baud, fontsize=7, ha="right", color="grey")
    ax.set_yscale("log")
    ax.set_xticks(range(len(who)))
    ax.set_xticklabels(labels, fontsize=8)
    ax.set_ylabel("bytes/s (unthrottled pty)")
    ax.legend(fontsize=8)
    ax.set_title("Throughput of one reader", fontsize=10)
    fig.tight_layout()
    fig.savefig(os.path.join(out, "throughput.png"))
    plt.close(fig)

    # Latency distributions.
    fig, ax = plt.subplots(figsize=(6.4, 3.2), dpi=100)
    for tick in (20, 1):
        path = os.path.join(raw, "latency.tick%d.txt" % tick)
        if os.path.exists(path):
            xs = [float(x) for x in open(path) if x.strip()]
            ys = [100.0 * (i + 1) / len(xs) for i in range(len(xs))]
            ax.plot(xs, ys, label="tick %d ms" % tick)
    ax.set_xscale("log")
    ax.set_xlabel("ms, last trailer byte written -> last gate written")
    ax.set_ylabel("% of reports")
    ax.grid(True, which="both", linewidth=0.3)
    ax.legend(fontsize=8)
    ax.set_title("Latency (cumulative)", fontsize=10)
    fig.tight_layout()
    fig.savefig(os.path.join(out, "latency.png"))
    plt.close(fig)

    # Scale.
    sc = r["scale"]
    if sc:
        ns = [int(n) for n in sc]
        fig, (a1, a2) = plt.subplots(1, 2, figsize=(6.4, 2.8), dpi=100)
        a1.plot(ns, [sc[str(n)]["core_pct_total"] for n in ns], marker="o")
        a1.set_xlabel("VPIs at 9600 baud")
        a1.set_ylabel("% of one core, total")
        a1.grid(True, linewidth=0.3)
        a2.plot(ns, [sc[str(n)]["resident_per_vpi_kib"] for n in ns], marker="o", color="tab:orange")
        a2.set_xlabel("VPIs")
        a2.set_ylabel("resident KiB per VPI")
        a2.grid(True, linewidth=0.3)
        fig.suptitle("One host process, many VPIs", fontsize=10)
        fig.tight_layout()
        fig.savefig(os.path.join(out, "scale.png"))
        plt.close(fig)


if __name__ == "__main__":
    main()
