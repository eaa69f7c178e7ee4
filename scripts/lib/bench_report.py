#!/usr/bin/env python3
"""Turns the raw data of scripts/bench into figures.

Reads OUT/run-N/run.json (written by the measuring program),
OUT/run-N/marks/../monitor.jsonl (what Linux said at each mark) and
OUT/run-N/strace-*.txt (the program's sleeps and thread creations over
the trace window), and writes OUT/bench.json, OUT/table.md and
OUT/latency.png. Exits non-zero when a run lost bytes or a figure that
must exist is missing.

usage: bench_report.py OUT [--quick] [--no-strace]
"""
import glob
import json
import math
import os
import re
import statistics
import struct
import sys
import zlib

LINE_RATE = 3840.0          # bytes per second at 38400 baud, 8N1
CLOCK_TICK_MS = 1000.0 / os.sysconf("SC_CLK_TCK")
READ_TIMEOUT_MS = 100.0


def load_json(path):
    with open(path) as f:
        return json.load(f)


def load_monitor(path):
    marks = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                line = line.strip()
                if line:
                    m = json.loads(line)
                    marks[m["mark"]] = m
    return marks


def proc(mark, role):
    for p in (mark or {}).get("procs", []):
        if p["role"] == role:
            return p
    return None


def ticks_ms(marks, begin, end, role):
    a, b = proc(marks.get(begin), role), proc(marks.get(end), role)
    if not a or not b or a["pid"] != b["pid"]:
        return None
    return (b["cpu_ticks"] - a["cpu_ticks"]) * CLOCK_TICK_MS


def seconds_between(marks, begin, end):
    if begin in marks and end in marks:
        return marks[end]["unix_time"] - marks[begin]["unix_time"]
    return None


# ---------- strace of the program over the trace window ----------

CALL = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+(\w+)\((.*)$")
RESUMED = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+<\.\.\. (\w+) resumed>(.*)$")
DURATION = re.compile(r"<(\d+\.\d+)>\s*$")
TIMEOUT = re.compile(r"tv_sec=(\d+), tv_nsec=(\d+)")


def parse_strace(path):
    """Returns the sleeps (tid, start, requested s, took s) and the
    thread creations (tid, time) in a strace -f -ttt -T file."""
    sleeps, clones, pending = [], [], {}
    if not os.path.exists(path):
        return sleeps, clones
    with open(path, errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            m = CALL.match(line)
            if m:
                tid, t, name, rest = int(m.group(1)), float(m.group(2)), m.group(3), m.group(4)
                if name.startswith("clone"):
                    clones.append((tid, t))
                    continue
                if name in ("pselect6", "select"):
                    tm = TIMEOUT.search(rest)
                    req = int(tm.group(1)) + int(tm.group(2)) / 1e9 if tm else None
                    if "<unfinished ...>" in rest:
                        pending[tid] = (t, req)
                    else:
                        d = DURATION.search(rest)
                        if d and req is not None:
                            sleeps.append((tid, t, req, float(d.group(1))))
                continue
            m = RESUMED.match(line)
            if m:
                tid, name = int(m.group(1)), m.group(3)
                if name in ("pselect6", "select") and tid in pending:
                    t, req = pending.pop(tid)
                    d = DURATION.search(m.group(4))
                    if d and req is not None:
                        sleeps.append((tid, t, req, float(d.group(1))))
    return sleeps, clones


def near(value, target, tolerance):
    return value is not None and abs(value - target) <= tolerance


def reader_passes(sleeps, clones, begin, end, pause_s):
    """Passes per second of the worker over [begin, end]: one pause of
    pause_s per idle pass (0.2 s after an empty read, 1 s with no port)."""
    if end is None or begin is None or end <= begin:
        return None, None
    n = sum(1 for (_, t, req, _) in sleeps if near(req, pause_s, 0.02) and begin <= t < end)
    c = sum(1 for (_, t) in clones if begin <= t < end)
    return n / (end - begin), c / (end - begin)


def classify(traced, sleeps):
    """Where the worker was when each traced scan was written: in its
    200 ms pause (and how much of it was left), in the 50 ms icon pulse of
    the previous delivery, or elsewhere (waiting for a byte in its read)."""
    out = []
    pauses = [(t, t + took, req) for (_, t, req, took) in sleeps]
    for written, latency in zip(traced.get("written_unix", []), traced.get("samples_ms", [])):
        if latency is None:
            continue
        case, left = "read", 0.0
        for (s, e, req) in pauses:
            if s <= written < e:
                if near(req, 0.2, 0.02):
                    case, left = "pause", (e - written) * 1000.0
                elif near(req, 0.05, 0.01):
                    case, left = "pulse", (e - written) * 1000.0
                break
        out.append({"case": case, "latency_ms": latency, "pause_left_ms": left,
                    "rest_ms": latency - left - READ_TIMEOUT_MS})
    return out


# ---------- statistics ----------

def pct(values, q):
    v = sorted(x for x in values if x is not None)
    if not v:
        return None
    rank = max(1, math.ceil(q * len(v)))
    return v[rank - 1]


def spread(values):
    v = [x for x in values if x is not None and not (isinstance(x, float) and math.isnan(x))]
    if not v:
        return {"median": None, "min": None, "max": None, "runs": 0}
    return {"median": statistics.median(v), "min": min(v), "max": max(v), "runs": len(v)}


# ---------- a small PNG writer with a 5x7 font ----------

FONT = {
    "0": "01110 10001 10011 10101 11001 10001 01110", "1": "00100 01100 00100 00100 00100 00100 01110",
    "2": "01110 10001 00001 00010 00100 01000 11111", "3": "11110 00001 00001 01110 00001 00001 11110",
    "4": "00010 00110 01010 10010 11111 00010 00010", "5": "11111 10000 11110 00001 00001 10001 01110",
    "6": "00110 01000 10000 11110 10001 10001 01110", "7": "11111 00001 00010 00100 01000 01000 01000",
    "8": "01110 10001 10001 01110 10001 10001 01110", "9": "01110 10001 10001 01111 00001 00010 01100",
    "A": "01110 10001 10001 11111 10001 10001 10001", "B": "11110 10001 10001 11110 10001 10001 11110",
    "C": "01110 10001 10000 10000 10000 10001 01110", "D": "11100 10010 10001 10001 10001 10010 11100",
    "E": "11111 10000 10000 11110 10000 10000 11111", "F": "11111 10000 10000 11110 10000 10000 10000",
    "G": "01110 10001 10000 10111 10001 10001 01111", "H": "10001 10001 10001 11111 10001 10001 10001",
    "I": "01110 00100 00100 00100 00100 00100 01110", "J": "00111 00010 00010 00010 00010 10010 01100",
    "K": "10001 10010 10100 11000 10100 10010 10001", "L": "10000 10000 10000 10000 10000 10000 11111",
    "M": "10001 11011 10101 10101 10001 10001 10001", "N": "10001 10001 11001 10101 10011 10001 10001",
    "O": "01110 10001 10001 10001 10001 10001 01110", "P": "11110 10001 10001 11110 10000 10000 10000",
    "Q": "01110 10001 10001 10001 10101 10010 01101", "R": "11110 10001 10001 11110 10100 10010 10001",
    "S": "01111 10000 10000 01110 00001 00001 11110", "T": "11111 00100 00100 00100 00100 00100 00100",
    "U": "10001 10001 10001 10001 10001 10001 01110", "V": "10001 10001 10001 10001 10001 01010 00100",
    "W": "10001 10001 10001 10101 10101 10101 01010", "X": "10001 10001 01010 00100 01010 10001 10001",
    "Y": "10001 10001 01010 00100 00100 00100 00100", "Z": "11111 00001 00010 00100 01000 10000 11111",
    " ": "00000 00000 00000 00000 00000 00000 00000", "-": "00000 00000 00000 11111 00000 00000 00000",
    ".": "00000 00000 00000 00000 00000 01100 01100", ",": "00000 00000 00000 00000 01100 00100 01000",
    ":": "00000 01100 01100 00000 01100 01100 00000", "(": "00010 00100 01000 01000 01000 00100 00010",
    ")": "01000 00100 00010 00010 00010 00100 01000", "/": "00001 00010 00010 00100 01000 01000 10000",
    "%": "11001 11010 00010 00100 01000 01011 10011", "=": "00000 00000 11111 00000 11111 00000 00000",
    "_": "00000 00000 00000 00000 00000 00000 11111", "+": "00000 00100 00100 11111 00100 00100 00000",
}


class Canvas:
    def __init__(self, w, h, bg=(255, 255, 255)):
        self.w, self.h = w, h
        self.px = [list(bg) * w for _ in range(h)]

    def dot(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][3 * x:3 * x + 3] = c

    def rect(self, x0, y0, x1, y1, c):
        for y in range(max(0, y0), min(self.h, y1)):
            for x in range(max(0, x0), min(self.w, x1)):
                self.px[y][3 * x:3 * x + 3] = c

    def text(self, x, y, s, c=(0, 0, 0), scale=2):
        for ch in s.upper():
            glyph = FONT.get(ch, FONT[" "]).split()
            for row, bits in enumerate(glyph):
                for col, bit in enumerate(bits):
                    if bit == "1":
                        self.rect(x + col * scale, y + row * scale, x + (col + 1) * scale, y + (row + 1) * scale, c)
            x += 6 * scale

    def save(self, path):
        raw = b"".join(b"\x00" + bytes(row) for row in self.px)

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

        png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", self.w, self.h, 8, 2, 0, 0, 0))
        png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
        with open(path, "wb") as f:
            f.write(png)


def histogram(path, samples, title, floor_ms):
    """Bars of 10 ms from the floor to past the largest sample."""
    w, h = 900, 480
    left, right, top, bottom = 80, 30, 80, 80
    c = Canvas(w, h)
    if not samples:
        c.text(left, top, "NO SAMPLES")
        c.save(path)
        return
    lo = int(min(floor_ms, min(samples)) // 10 * 10)
    hi = int(math.ceil((max(samples) + 0.001) / 10.0) * 10)
    bins = [0] * max(1, (hi - lo) // 10)
    for s in samples:
        bins[min(len(bins) - 1, int((s - lo) // 10))] += 1
    step = max(1, int(math.ceil(max(bins) / 5.0)))
    peak = step * int(math.ceil(max(bins) / float(step)))
    pw, ph = w - left - right, h - top - bottom
    bw = pw / len(bins)
    c.text(left, 15, title, scale=2)
    # axes and grid
    for k in range(0, peak + 1, step):
        y = top + ph - int(ph * k / peak) if peak else top + ph
        c.rect(left, y, left + pw, y + 1, (225, 225, 225))
        c.text(left - 12 * len(str(k)) - 8, y - 7, str(k))
    for i, n in enumerate(bins):
        x0 = left + int(i * bw) + 1
        x1 = left + int((i + 1) * bw) - 1
        y0 = top + ph - int(ph * n / peak)
        c.rect(x0, y0, x1, top + ph, (60, 110, 180))
    c.rect(left, top, left + 1, top + ph + 1, (0, 0, 0))
    c.rect(left, top + ph, left + pw, top + ph + 1, (0, 0, 0))
    label_every = max(1, int(math.ceil(len(bins) / 12.0)))
    for i in range(0, len(bins) + 1, label_every):
        x = left + int(i * bw)
        c.rect(x, top + ph, x + 1, top + ph + 6, (0, 0, 0))
        lab = str(lo + 10 * i)
        c.text(x - 6 * len(lab), top + ph + 10, lab)
    fx = left + int((floor_ms - lo) / 10.0 * bw)
    c.rect(fx - 1, top, fx + 2, top + ph, (200, 40, 40))
    c.rect(fx - 1, top - 12, fx + 2, top, (200, 40, 40))
    c.text(fx + 6, top - 26, "100 MS READ TIME-OUT (THE FLOOR)", (200, 40, 40))
    c.text(left + pw // 2 - 250, h - 35, "LAST BYTE WRITTEN TO FIRST WM_CHAR, MS (10 MS BINS)")
    c.text(8, top - 50, "SCANS")
    c.save(path)


# ---------- the report ----------

def fmt(v, digits=1):
    if v is None:
        return "n/a"
    if isinstance(v, float):
        return f"{v:.{digits}f}"
    return str(v)


def main():
    out = sys.argv[1]
    quick = "--quick" in sys.argv[2:]
    runs = []
    problems = []
    for run_dir in sorted(glob.glob(os.path.join(out, "run-*")), key=lambda p: int(p.rsplit("-", 1)[1])):
        path = os.path.join(run_dir, "run.json")
        if not os.path.exists(path):
            problems.append(f"{run_dir}: no run.json")
            continue
        r = load_json(path)
        marks = load_monitor(os.path.join(run_dir, "monitor.jsonl"))
        sleeps_open, clones_open = parse_strace(os.path.join(run_dir, "strace-open.txt"))
        sleeps_noport, clones_noport = parse_strace(os.path.join(run_dir, "strace-noport.txt"))
        traced = r.get("traced", {})
        qb, qe = traced.get("quiet_begin_unix"), traced.get("quiet_end_unix")
        passes_open, waits_open = reader_passes(sleeps_open, clones_open, qb, qe, 0.2)
        passes_noport, _ = reader_passes(sleeps_noport, clones_noport, qb, qe, 1.0)
        flood = r["flood"]
        flood_cpu = ticks_ms(marks, "flood-begin", "flood-end", "open")
        flood_server = ticks_ms(marks, "flood-begin", "flood-end", "wineserver")
        flood_explorer = ticks_ms(marks, "flood-begin", "flood-end", "explorer")
        idle_s = seconds_between(marks, "idle-begin", "idle-end")
        idle_open = ticks_ms(marks, "idle-begin", "idle-end", "open")
        idle_noport = ticks_ms(marks, "idle-begin", "idle-end", "noport")
        idle_server = ticks_ms(marks, "idle-begin", "idle-end", "wineserver")

        def pct_core(ms):
            return None if ms is None or not idle_s else 100.0 * ms / (idle_s * 1000.0)

        lin = {k: proc(marks.get(k), "open") for k in ("started", "volume-end", "flood-end", "closing")}
        run = {
            "dir": os.path.basename(run_dir),
            "load_before": open(os.path.join(run_dir, "load-before")).read().strip()
            if os.path.exists(os.path.join(run_dir, "load-before")) else None,
            "load_after": open(os.path.join(run_dir, "load-after")).read().strip()
            if os.path.exists(os.path.join(run_dir, "load-after")) else None,
            "latency_samples_ms": r["latency"]["samples_ms"],
            "latency": r["latency"]["first_char_ms"],
            "latency_last_char": r["latency"]["last_char_ms"],
            "latency_lost_bytes": r["latency"]["lost_bytes"] + traced.get("lost_bytes", 0),
            "latency_wrong_scans": r["latency"]["wrong_scans"] + traced.get("wrong_scans", 0),
            "traced": classify(traced, sleeps_open),
            "volume": r["volume"],
            "flood": flood,
            "flood_cpu_ms": flood_cpu,
            "flood_cpu_us_per_byte": None if flood_cpu is None or not flood["received"]
            else flood_cpu * 1000.0 / flood["received"],
            "flood_wineserver_cpu_ms": flood_server,
            "flood_explorer_cpu_ms": flood_explorer,
            "costs_before": r.get("costs_before"),
            "costs_after": r.get("costs_after"),
            "idle_seconds": idle_s,
            "idle_open_cpu_ms": idle_open,
            "idle_open_percent": pct_core(idle_open),
            "idle_noport_cpu_ms": idle_noport,
            "idle_noport_percent": pct_core(idle_noport),
            "idle_wineserver_percent": pct_core(idle_server),
            "passes_per_s_open": passes_open,
            "wait_threads_per_s_open": waits_open,
            "passes_per_s_noport": passes_noport,
            "startup": r["startup"],
            "close": r["close"],
            "footprint_wine": {k: r.get(k) for k in ("footprint_start", "footprint_after_volume",
                                                      "footprint_after_flood", "footprint_end")},
            "footprint_linux": lin,
        }
        runs.append(run)
        lost = (run["latency_lost_bytes"] + r["volume"]["lost_bytes"] + flood["lost_bytes"])
        if lost:
            problems.append(f"{run['dir']}: {lost} bytes lost")
        if r["volume"]["mismatched"] or flood["mismatched"] or run["latency_wrong_scans"]:
            problems.append(f"{run['dir']}: characters arrived changed or out of order")
        if r["close"]["port_open_ms"] is None:
            problems.append(f"{run['dir']}: the program did not exit after Close")

    if not runs:
        print("bench: no runs to report", file=sys.stderr)
        return 1

    def col(fn):
        vals = []
        for r in runs:
            try:
                vals.append(fn(r))
            except (KeyError, TypeError):
                vals.append(None)
        return spread(vals)

    pooled = [s for r in runs for s in r["latency_samples_ms"] if s is not None]
    traced = [t for r in runs for t in r["traced"]]

    def case_stats(case):
        xs = [t for t in traced if t["case"] == case]
        return {
            "scans": len(xs),
            "latency_p50_ms": pct([t["latency_ms"] for t in xs], 0.5),
            "latency_max_ms": pct([t["latency_ms"] for t in xs], 1.0),
            "pause_left_p50_ms": pct([t["pause_left_ms"] for t in xs], 0.5),
            "rest_p50_ms": pct([t["rest_ms"] for t in xs], 0.5),
            "rest_min_ms": pct([t["rest_ms"] for t in xs], 0.0001),
            "rest_max_ms": pct([t["rest_ms"] for t in xs], 1.0),
        }

    fp = lambda stage, key: col(lambda r: r["footprint_wine"][stage][key])  # noqa: E731
    fl = lambda stage, key: col(lambda r: r["footprint_linux"][stage][key])  # noqa: E731

    summary = {
        "latency_first_char_ms": {
            "min": col(lambda r: r["latency"]["min"]), "p50": col(lambda r: r["latency"]["p50"]),
            "p95": col(lambda r: r["latency"]["p95"]), "max": col(lambda r: r["latency"]["max"]),
        },
        "latency_pooled_ms": {"scans": len(pooled), "min": pct(pooled, 0.0001), "p50": pct(pooled, 0.5),
                              "p95": pct(pooled, 0.95), "max": pct(pooled, 1.0)},
        "latency_floor_ms": READ_TIMEOUT_MS,
        "latency_by_case": {c: case_stats(c) for c in ("read", "pause", "pulse")},
        "lost_bytes_total": sum(r["latency_lost_bytes"] + r["volume"]["lost_bytes"] + r["flood"]["lost_bytes"]
                                for r in runs),
        "throughput_bytes_per_s": col(lambda r: r["flood"]["bytes_per_s"]),
        "throughput_line_rate_ratio": col(lambda r: r["flood"]["line_rate_ratio"]),
        "flood_lost_bytes": col(lambda r: r["flood"]["lost_bytes"]),
        "read_us": col(lambda r: r["flood"]["read_us"]),
        "post_us": col(lambda r: r["flood"]["post_us"]),
        "post_us_in_situ": col(lambda r: r["flood"]["post_us_in_situ"]["p50"]),
        "burst_gap_ms": col(lambda r: r["flood"]["gap_ms"]["p50"]),
        "wait_us": col(lambda r: (r["costs_before"]["wait_us"] + r["costs_after"]["wait_us"]) / 2),
        "icon_update_us": col(lambda r: (r["costs_before"]["icon_update_us"] + r["costs_after"]["icon_update_us"]) / 2),
        "focus_us": col(lambda r: (r["costs_before"]["focus_us"] + r["costs_after"]["focus_us"]) / 2),
        "model_ceiling_bytes_per_s": col(lambda r: r["flood"]["model_ceiling_bytes_per_s"]),
        "model_ratio": col(lambda r: r["flood"]["model_ratio"]),
        "full_model_ceiling_bytes_per_s": col(lambda r: r["flood"]["full_model_ceiling_bytes_per_s"]),
        "full_model_ratio": col(lambda r: r["flood"]["full_model_ratio"]),
        "in_situ_model_ceiling_bytes_per_s": col(lambda r: r["flood"]["in_situ_model_ceiling_bytes_per_s"]),
        "in_situ_model_ratio": col(lambda r: r["flood"]["in_situ_model_ratio"]),
        "flood_cpu_us_per_byte": col(lambda r: r["flood_cpu_us_per_byte"]),
        "flood_wineserver_cpu_us_per_byte": col(
            lambda r: r["flood_wineserver_cpu_ms"] * 1000.0 / r["flood"]["received"]),
        "idle_open_percent": col(lambda r: r["idle_open_percent"]),
        "idle_noport_percent": col(lambda r: r["idle_noport_percent"]),
        "idle_open_cpu_ms": col(lambda r: r["idle_open_cpu_ms"]),
        "idle_noport_cpu_ms": col(lambda r: r["idle_noport_cpu_ms"]),
        "idle_wineserver_percent": col(lambda r: r["idle_wineserver_percent"]),
        "idle_seconds": col(lambda r: r["idle_seconds"]),
        "passes_per_s_open": col(lambda r: r["passes_per_s_open"]),
        "wait_threads_per_s_open": col(lambda r: r["wait_threads_per_s_open"]),
        "passes_per_s_noport": col(lambda r: r["passes_per_s_noport"]),
        "startup_window_ms": col(lambda r: r["startup"]["window_ms"]),
        "startup_icon_ms": col(lambda r: r["startup"]["icon_ms"]),
        "close_port_open_ms": col(lambda r: r["close"]["port_open_ms"]),
        "close_no_port_ms": col(lambda r: r["close"]["no_port_ms"]),
        "threads": {s: fp(s, "threads") for s in ("footprint_start", "footprint_after_volume",
                                                   "footprint_after_flood", "footprint_end")},
        "handles": {s: fp(s, "handles") for s in ("footprint_start", "footprint_after_volume",
                                                   "footprint_after_flood", "footprint_end")},
        "working_set_kib": {s: fp(s, "working_set_kib") for s in ("footprint_start", "footprint_after_volume",
                                                                   "footprint_after_flood", "footprint_end")},
        "private_kib": {s: fp(s, "private_kib") for s in ("footprint_start", "footprint_after_volume",
                                                           "footprint_after_flood", "footprint_end")},
        "linux_private_kib": {s: fl(s, "private_kib") for s in ("started", "volume-end", "flood-end", "closing")},
        "linux_rss_anon_kib": {s: fl(s, "rss_anon_kib") for s in ("started", "volume-end", "flood-end", "closing")},
        "linux_threads": {s: fl(s, "threads") for s in ("started", "volume-end", "flood-end", "closing")},
        "linux_fds": {s: fl(s, "fds") for s in ("started", "volume-end", "flood-end", "closing")},
    }

    env = {}
    files = []
    env_path = os.path.join(out, "environment.txt")
    if os.path.exists(env_path):
        for line in open(env_path):
            k, _, v = line.rstrip("\n").partition("=")
            if k == "file":
                name, size, fmt_, dlls = (v.split("|") + ["", "", ""])[:4]
                files.append({"file": name, "bytes": int(size), "format": fmt_, "imports": dlls.split()})
            else:
                env[k] = v
    env["files"] = files

    with open(os.path.join(out, "bench.json"), "w") as f:
        json.dump({"environment": env, "summary": summary, "runs": runs, "problems": problems}, f, indent=1)

    # ---------- the table ----------
    s = summary
    rows = []

    def row(name, sp, unit="", digits=1):
        rows.append(f"| {name} | {fmt(sp['median'], digits)} | {fmt(sp['min'], digits)} | "
                    f"{fmt(sp['max'], digits)} | {unit} |")

    lat = s["latency_first_char_ms"]
    row("Latency min", lat["min"], "ms")
    row("Latency p50", lat["p50"], "ms")
    row("Latency p95", lat["p95"], "ms")
    row("Latency max", lat["max"], "ms")
    row("Throughput ceiling", s["throughput_bytes_per_s"], "bytes/s", 0)
    row("  ratio to 38400 baud (3840 bytes/s)", s["throughput_line_rate_ratio"], "x", 2)
    row("  bytes lost of 1 MB" if not quick else "  bytes lost", s["flood_lost_bytes"], "bytes", 0)
    row("  model ceiling 1024/(50 ms + 1024 (read + post))", s["model_ceiling_bytes_per_s"], "bytes/s", 0)
    row("  measured / model", s["model_ratio"], "", 3)
    row("  model with wait, focus and icon updates", s["full_model_ceiling_bytes_per_s"], "bytes/s", 0)
    row("  measured / that model", s["full_model_ratio"], "", 3)
    row("  model with the posts' cost seen in the flood", s["in_situ_model_ceiling_bytes_per_s"], "bytes/s", 0)
    row("  measured / that model", s["in_situ_model_ratio"], "", 3)
    row("One 1-byte read, data waiting", s["read_us"], "us", 2)
    row("One WM_CHAR post to another process", s["post_us"], "us", 1)
    row("  the same, seen in the flood", s["post_us_in_situ"], "us", 1)
    row("One receive wait (WaitCommEvent)", s["wait_us"], "us", 0)
    row("One tray icon update", s["icon_update_us"], "us", 0)
    row("Focus lookup", s["focus_us"], "us", 0)
    row("Gap between bursts in the flood", s["burst_gap_ms"], "ms", 1)
    row("Program CPU per delivered byte", s["flood_cpu_us_per_byte"], "us", 1)
    row("  wineserver CPU per delivered byte", s["flood_wineserver_cpu_us_per_byte"], "us", 1)
    row("Idle CPU, port open", s["idle_open_percent"], "% of a core", 3)
    row("Idle CPU, no port", s["idle_noport_percent"], "% of a core", 3)
    row("Reader passes, port open", s["passes_per_s_open"], "per s", 2)
    row("  receive-wait threads Wine creates, port open", s["wait_threads_per_s_open"], "per s", 2)
    row("Reader passes, no port", s["passes_per_s_noport"], "per s", 2)
    row("Start to hidden window", s["startup_window_ms"], "ms")
    row("Start to tray icon (port opened before it)", s["startup_icon_ms"], "ms")
    row("Close to exit, port open", s["close_port_open_ms"], "ms")
    row("Close to exit, no port", s["close_no_port_ms"], "ms")
    for stage, label in (("footprint_start", "after start"), ("footprint_after_volume", "after the 10 000 scans"),
                         ("footprint_after_flood", "after the 1 MB flood"), ("footprint_end", "at the end")):
        row(f"Threads {label}", s["threads"][stage], "", 0)
        row(f"Handles {label}", s["handles"][stage], "", 0)
        row(f"Working set {label}", s["working_set_kib"][stage], "KiB", 0)
        row(f"Private bytes {label}", s["private_kib"][stage], "KiB", 0)
    for stage, label in (("started", "after start"), ("volume-end", "after the 10 000 scans"),
                         ("flood-end", "after the 1 MB flood"), ("closing", "at the end")):
        row(f"Linux private memory {label}", s["linux_private_kib"][stage], "KiB", 0)
        row(f"Linux threads {label}", s["linux_threads"][stage], "", 0)
        row(f"Linux file descriptors {label}", s["linux_fds"][stage], "", 0)

    lines = [f"Runs: {len(runs)}; latency scans pooled: {len(pooled)} "
             f"(p50 {fmt(s['latency_pooled_ms']['p50'])} ms, p95 {fmt(s['latency_pooled_ms']['p95'])} ms, "
             f"max {fmt(s['latency_pooled_ms']['max'])} ms); bytes lost in all runs: {s['lost_bytes_total']}",
             "",
             "| Figure | median | min | max | unit |", "|---|---:|---:|---:|---|"] + rows
    lines += ["", "Latency by where the worker was when the scan was written (traced scans, all runs):", "",
              "| case | scans | latency p50 | pause left p50 | rest p50 (min..max) |", "|---|---:|---:|---:|---|"]
    for case, label in (("read", "read pending"), ("pause", "200 ms pause"), ("pulse", "50 ms icon pulse")):
        c = s["latency_by_case"][case]
        lines.append(f"| {label} | {c['scans']} | {fmt(c['latency_p50_ms'])} ms | {fmt(c['pause_left_p50_ms'])} ms | "
                     f"{fmt(c['rest_p50_ms'])} ms ({fmt(c['rest_min_ms'])}..{fmt(c['rest_max_ms'])}) |")
    lines += ["", "Files:", ""]
    for f in files:
        lines.append(f"- {f['file']}: {f['bytes']} bytes ({f['bytes'] / 1024:.1f} KiB), {f['format']}, "
                     f"imports {', '.join(f['imports'])}")
    lines += ["", f"Machine: {env.get('nproc')} cores, {env.get('cpu')}, {env.get('kernel')}; {env.get('wine')}; "
              f"load before runs: {', '.join(str(r['load_before']) for r in runs)}"]
    if problems:
        lines += ["", "PROBLEMS:"] + [f"- {p}" for p in problems]
    table = "\n".join(lines) + "\n"
    with open(os.path.join(out, "table.md"), "w") as f:
        f.write(table)
    print(table)

    histogram(os.path.join(out, "latency.png"), pooled,
              f"SCAN LATENCY UNDER WINE, {len(pooled)} SCANS, {len(runs)} RUNS", READ_TIMEOUT_MS)

    # Figures that must be there, so that a broken tool shows.
    required = [s["latency_pooled_ms"]["p50"], s["throughput_bytes_per_s"]["median"],
                s["startup_icon_ms"]["median"], s["close_port_open_ms"]["median"],
                s["idle_open_percent"]["median"]]
    if "--no-strace" not in sys.argv[2:]:
        required += [s["passes_per_s_open"]["median"], s["passes_per_s_noport"]["median"]]
    if any(v is None for v in required):
        problems.append("a required figure is missing (see bench.json)")
        print("bench: a required figure is missing", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
