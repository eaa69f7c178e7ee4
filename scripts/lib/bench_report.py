#!/usr/bin/python3
"""Turns the raw data of scripts/bench into figures.

Reads OUT/run-N/run.json (written by the measuring program),
OUT/run-N/marks/../monitor.jsonl (what Linux said at each mark) and
OUT/run-N/strace-*.txt (the program's sleeps and thread creations over
the trace window), and writes OUT/bench.json, OUT/table.md and two
pictures drawn with matplotlib: OUT/latency.png (the latency histogram,
with the 100 ms floor) and OUT/latency-by-scan.png (each scan's latency
in the order the scans were sent, to show drift and outliers over a run).
Exits non-zero when a run lost bytes or a figure that must exist is
missing.

Runs under Debian's /usr/bin/python3, for which python3-matplotlib is
installed (scripts/setup-deps).

usage: bench_report.py OUT [--quick] [--no-strace]
"""
import glob
import json
import math
import os
import re
import statistics
import sys

import matplotlib
matplotlib.use("Agg")   # files only, no display
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import MaxNLocator  # noqa: E402

LINE_RATE = 3840.0          # bytes per second at 38400 baud, 8N1
CLOCK_TICK_MS = 1000.0 / os.sysconf("SC_CLK_TCK")
READ_TIMEOUT_MS = 100.0

# The most passes a second the idle reader may make with its port open.
# A pass there is a receive wait (which returns at once under Wine), a read
# that times out after 100 ms and a 200 ms pause: at most 3.3 a second,
# and 3.0 to 3.3 measured. The pause alone allows no more than 5, and a loaded
# machine only makes passes slower, so a faster reader is one whose passes
# skip their pause and spin. Under Wine such a reader is still paced by its
# reads' 100 ms time-out, to about 10 passes a second, which is why the
# bound sits at the pause's 5 and not further out.
IDLE_PASSES_BOUND_PER_S = 5.0


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


# ---------- pictures ----------

def latency_histogram(path, samples, runs, floor_ms):
    """Scans per 10 ms of latency, from the floor to past the largest."""
    fig, ax = plt.subplots(figsize=(9, 4.8), dpi=100)
    if samples:
        lo = math.floor(min(floor_ms, min(samples)) / 10.0) * 10
        hi = math.ceil((max(samples) + 0.001) / 10.0) * 10
        counts, _, _ = ax.hist(samples, bins=range(int(lo), int(hi) + 10, 10), color="#3c6eb4",
                               edgecolor="white")
        ax.set_xlim(lo - 5, hi + 5)
        ax.set_ylim(0, max(counts) * 1.2 + 0.5)   # room for the legend above the bars
    else:
        ax.text(0.5, 0.5, "no samples", transform=ax.transAxes, ha="center", va="center")
    ax.axvline(floor_ms, color="#c82828", linewidth=2,
               label=f"{floor_ms:.0f} ms read time-out: the floor every scan waits out")
    ax.xaxis.set_major_locator(MaxNLocator(nbins=12, steps=[1, 2, 5, 10]))   # on bin edges
    ax.yaxis.set_major_locator(MaxNLocator(integer=True, steps=[1, 2, 5, 10]))
    ax.set_title(f"Scan latency under Wine: {len(samples)} scans, {runs} run{'s' if runs != 1 else ''}")
    ax.set_xlabel("Last byte written to first WM_CHAR (ms), 10 ms bins")
    ax.set_ylabel("Scans")
    ax.grid(axis="y", color="#e0e0e0")
    ax.set_axisbelow(True)
    ax.legend(loc="upper right")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def latency_by_scan(path, runs, floor_ms):
    """Latency of each scan in the order it was sent, the runs one after
    another, so that drift within a run, a difference between runs and
    outliers show where they happened."""
    fig, ax = plt.subplots(figsize=(9, 4.8), dpi=100)
    colours = ["#3c6eb4", "#e07b28", "#3a9a4a", "#8a4fb0", "#b0455a", "#4aa0a8"]
    start, top = 0, floor_ms
    for i, r in enumerate(runs):
        samples = r["latency_samples_ms"]
        xs = [start + k + 1 for k, v in enumerate(samples) if v is not None]
        ys = [v for v in samples if v is not None]
        top = max([top] + ys)
        load = (r.get("load_before") or "").split()
        label = r["dir"].replace("-", " ") + (f" (load average {load[0]})" if load else "")
        ax.plot(xs, ys, linestyle="none", marker="o", markersize=3, color=colours[i % len(colours)], label=label)
        if i:
            ax.axvline(start + 0.5, color="#b0b0b0", linewidth=1)
        start += len(samples)
    ax.axhline(floor_ms, color="#c82828", linewidth=1.5, label=f"{floor_ms:.0f} ms read time-out (floor)")
    ax.set_xlim(0, max(start, 1) + 1)
    ax.set_ylim(0, top * 1.3)   # room for the legend above the points
    ax.xaxis.set_major_locator(MaxNLocator(integer=True, steps=[1, 2, 5, 10]))
    ax.set_title("Scan latency in the order the scans were sent")
    ax.set_xlabel("Scan number (runs one after another)")
    ax.set_ylabel("Last byte written to first WM_CHAR (ms)")
    ax.grid(color="#e8e8e8")
    ax.set_axisbelow(True)
    # Two columns keep the legend inside the axes with three runs and more.
    ax.legend(loc="upper left", fontsize="small", ncol=2)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


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
    use_strace = "--no-strace" not in sys.argv[2:]
    runs = []
    pass_notes = []
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
        # Every idle pass shows its receive wait (the thread Wine starts for
        # it) or its 200 ms pause; the pauses alone would not count a reader
        # that skips them.
        idle_passes = None if passes_open is None else max(passes_open, waits_open)
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
            "idle_passes_per_s_open": idle_passes,
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
        if use_strace and idle_passes is not None:
            rate = (f"{idle_passes:.1f} passes per s over {qe - qb:.1f} s "
                    f"(bound {IDLE_PASSES_BOUND_PER_S:.0f} per s)")
            if idle_passes > IDLE_PASSES_BOUND_PER_S:
                problems.append(f"{run['dir']}: busy reader: with its port open and nothing arriving it "
                                f"made {rate}; one 200 ms pause per pass allows no more")
                pass_notes.append((sys.stderr, f"bench: {problems[-1]}"))
            elif idle_passes == 0:
                problems.append(f"{run['dir']}: the trace shows no pass of the idle reader with its port "
                                f"open, so its pass rate went unmeasured (did strace attach?)")
                pass_notes.append((sys.stderr, f"bench: {problems[-1]}"))
            else:
                pass_notes.append((sys.stdout, f"bench: {run['dir']}: idle reader, port open: {rate}"))

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
        "idle_passes_per_s_open": col(lambda r: r["idle_passes_per_s_open"]),
        "idle_passes_bound_per_s": IDLE_PASSES_BOUND_PER_S,
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
    for stream, note in pass_notes:
        print(note, file=stream)

    latency_histogram(os.path.join(out, "latency.png"), pooled, len(runs), READ_TIMEOUT_MS)
    latency_by_scan(os.path.join(out, "latency-by-scan.png"), runs, READ_TIMEOUT_MS)

    # Figures that must be there, so that a broken tool shows.
    required = [s["latency_pooled_ms"]["p50"], s["throughput_bytes_per_s"]["median"],
                s["startup_icon_ms"]["median"], s["close_port_open_ms"]["median"],
                s["idle_open_percent"]["median"]]
    if use_strace:
        required += [s["passes_per_s_open"]["median"], s["passes_per_s_noport"]["median"]]
    if any(v is None for v in required):
        problems.append("a required figure is missing (see bench.json)")
        print("bench: a required figure is missing", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
