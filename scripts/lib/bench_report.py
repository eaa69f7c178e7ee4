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
missing. How many scans and bytes a run sent, as its labels say, comes
from its run.json (volume.scans, flood.bytes), so a quick run's table
names its own counts.

Runs under Debian's /usr/bin/python3, for which python3-matplotlib is
installed (scripts/setup-deps).

usage: bench_report.py OUT [--no-strace]
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


# ---------- what the report reads ----------

# The points at which the footprint is read: the measuring program's key
# for the Windows view (run.json) and the mark at which scripts/bench read
# the Linux view (monitor.jsonl).
FOOTPRINT_STAGES = (
    ("footprint_start", "started"),
    ("footprint_after_volume", "volume-end"),
    ("footprint_after_flood", "flood-end"),
    ("footprint_end", "closing"),
)
WINE_STAGES = [wine for wine, _ in FOOTPRINT_STAGES]
LINUX_STAGES = [linux for _, linux in FOOTPRINT_STAGES]

# Where the worker was when a traced scan was written (see classify).
TRACED_CASES = (("read", "read pending"), ("pause", "200 ms pause"), ("pulse", "50 ms icon pulse"))


def run_dirs(out):
    return sorted(glob.glob(os.path.join(out, "run-*")), key=lambda p: int(p.rsplit("-", 1)[1]))


def read_text(path):
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return f.read().strip()


def load_run(run_dir):
    """One run's figures, from what the measuring program wrote (run.json),
    what Linux said at each mark (monitor.jsonl) and the traces. Returns the
    run's entry in bench.json and the length of its quiet trace window in
    seconds (None without one)."""
    r = load_json(os.path.join(run_dir, "run.json"))
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
    idle_s = seconds_between(marks, "idle-begin", "idle-end")

    def pct_core(ms):
        return None if ms is None or not idle_s else 100.0 * ms / (idle_s * 1000.0)

    idle_open = ticks_ms(marks, "idle-begin", "idle-end", "open")
    idle_noport = ticks_ms(marks, "idle-begin", "idle-end", "noport")
    run = {
        "dir": os.path.basename(run_dir),
        "load_before": read_text(os.path.join(run_dir, "load-before")),
        "load_after": read_text(os.path.join(run_dir, "load-after")),
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
        "flood_wineserver_cpu_ms": ticks_ms(marks, "flood-begin", "flood-end", "wineserver"),
        "flood_explorer_cpu_ms": ticks_ms(marks, "flood-begin", "flood-end", "explorer"),
        "costs_before": r.get("costs_before"),
        "costs_after": r.get("costs_after"),
        "idle_seconds": idle_s,
        "idle_open_cpu_ms": idle_open,
        "idle_open_percent": pct_core(idle_open),
        "idle_noport_cpu_ms": idle_noport,
        "idle_noport_percent": pct_core(idle_noport),
        "idle_wineserver_percent": pct_core(ticks_ms(marks, "idle-begin", "idle-end", "wineserver")),
        "passes_per_s_open": passes_open,
        "wait_threads_per_s_open": waits_open,
        "passes_per_s_noport": passes_noport,
        "idle_passes_per_s_open": idle_passes,
        "startup": r["startup"],
        "close": r["close"],
        "footprint_wine": {k: r.get(k) for k in WINE_STAGES},
        "footprint_linux": {k: proc(marks.get(k), "open") for k in LINUX_STAGES},
    }
    return run, (None if qb is None or qe is None else qe - qb)


def load_runs(out):
    """Every OUT/run-N in order, as (run directory, its bench.json entry or
    None when it has no run.json, its quiet trace window in seconds)."""
    loaded = []
    for run_dir in run_dirs(out):
        if os.path.exists(os.path.join(run_dir, "run.json")):
            loaded.append((run_dir,) + load_run(run_dir))
        else:
            loaded.append((run_dir, None, None))
    return loaded


def load_environment(out):
    """The machine, the Wine and the program's files (OUT/environment.txt,
    written by scripts/bench)."""
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
    return env


# ---------- the summary ----------

def pooled_latency(runs):
    """The latency samples of every run, one after another."""
    return [s for r in runs for s in r["latency_samples_ms"] if s is not None]


def summarise(runs):
    """The summary of bench.json: each figure's median, min and max over
    the runs, and the latency samples and traced scans pooled."""
    def col(fn):
        vals = []
        for r in runs:
            try:
                vals.append(fn(r))
            except (KeyError, TypeError):
                vals.append(None)
        return spread(vals)

    pooled = pooled_latency(runs)
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

    def wine(key):
        return {s: col(lambda r: r["footprint_wine"][s][key]) for s in WINE_STAGES}

    def linux(key):
        return {s: col(lambda r: r["footprint_linux"][s][key]) for s in LINUX_STAGES}

    def both_costs(key):
        return col(lambda r: (r["costs_before"][key] + r["costs_after"][key]) / 2)

    return {
        "latency_first_char_ms": {
            "min": col(lambda r: r["latency"]["min"]), "p50": col(lambda r: r["latency"]["p50"]),
            "p95": col(lambda r: r["latency"]["p95"]), "max": col(lambda r: r["latency"]["max"]),
        },
        "latency_pooled_ms": {"scans": len(pooled), "min": pct(pooled, 0.0001), "p50": pct(pooled, 0.5),
                              "p95": pct(pooled, 0.95), "max": pct(pooled, 1.0)},
        "latency_floor_ms": READ_TIMEOUT_MS,
        "latency_by_case": {c: case_stats(c) for c, _ in TRACED_CASES},
        "lost_bytes_total": sum(r["latency_lost_bytes"] + r["volume"]["lost_bytes"] + r["flood"]["lost_bytes"]
                                for r in runs),
        "throughput_bytes_per_s": col(lambda r: r["flood"]["bytes_per_s"]),
        "throughput_line_rate_ratio": col(lambda r: r["flood"]["line_rate_ratio"]),
        "flood_lost_bytes": col(lambda r: r["flood"]["lost_bytes"]),
        "read_us": col(lambda r: r["flood"]["read_us"]),
        "post_us": col(lambda r: r["flood"]["post_us"]),
        "post_us_in_situ": col(lambda r: r["flood"]["post_us_in_situ"]["p50"]),
        "burst_gap_ms": col(lambda r: r["flood"]["gap_ms"]["p50"]),
        "wait_us": both_costs("wait_us"),
        "icon_update_us": both_costs("icon_update_us"),
        "focus_us": both_costs("focus_us"),
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
        "threads": wine("threads"),
        "handles": wine("handles"),
        "working_set_kib": wine("working_set_kib"),
        "private_kib": wine("private_kib"),
        "linux_private_kib": linux("private_kib"),
        "linux_rss_anon_kib": linux("rss_anon_kib"),
        "linux_threads": linux("threads"),
        "linux_fds": linux("fds"),
    }


def write_json(out, env, summary, runs, problems):
    with open(os.path.join(out, "bench.json"), "w") as f:
        json.dump({"environment": env, "summary": summary, "runs": runs, "problems": problems}, f, indent=1)


# ---------- the table ----------

def fmt(v, digits=1):
    if v is None:
        return "n/a"
    if isinstance(v, float):
        return f"{v:.{digits}f}"
    return str(v)


def thousands(n):
    return f"{n:,}".replace(",", " ")


def scans_text(n):
    return f"{thousands(n)} scan{'' if n == 1 else 's'}"


def size_text(n):
    if n and n % (1 << 20) == 0:
        return f"{thousands(n >> 20)} MiB"
    if n and n % (1 << 10) == 0:
        return f"{thousands(n >> 10)} KiB"
    return f"{thousands(n)} byte{'' if n == 1 else 's'}"


def run_amount(runs, get, text):
    """What the runs used, as run.json recorded it (the same in every run
    that scripts/bench makes; the smallest and the largest otherwise)."""
    values = sorted({int(get(r)) for r in runs})
    return text(values[0]) if len(values) == 1 else f"{text(values[0])} to {text(values[-1])}"


def table(summary, runs, env, problems):
    """The text of table.md. The volume and flood labels say how many
    scans and bytes the runs sent."""
    s = summary
    rows = []

    def row(name, sp, unit="", digits=1):
        rows.append(f"| {name} | {fmt(sp['median'], digits)} | {fmt(sp['min'], digits)} | "
                    f"{fmt(sp['max'], digits)} | {unit} |")

    volume = run_amount(runs, lambda r: r["volume"]["scans"], scans_text)
    flood = run_amount(runs, lambda r: r["flood"]["bytes"], size_text)
    stage_labels = {"footprint_start": "after start", "footprint_after_volume": f"after the {volume}",
                    "footprint_after_flood": f"after the flood of {flood}", "footprint_end": "at the end"}
    lat = s["latency_first_char_ms"]
    row("Latency min", lat["min"], "ms")
    row("Latency p50", lat["p50"], "ms")
    row("Latency p95", lat["p95"], "ms")
    row("Latency max", lat["max"], "ms")
    row("Throughput ceiling", s["throughput_bytes_per_s"], "bytes/s", 0)
    row("  ratio to 38400 baud (3840 bytes/s)", s["throughput_line_rate_ratio"], "x", 2)
    row(f"  bytes lost of {flood}", s["flood_lost_bytes"], "bytes", 0)
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
    for stage in WINE_STAGES:
        label = stage_labels[stage]
        row(f"Threads {label}", s["threads"][stage], "", 0)
        row(f"Handles {label}", s["handles"][stage], "", 0)
        row(f"Working set {label}", s["working_set_kib"][stage], "KiB", 0)
        row(f"Private bytes {label}", s["private_kib"][stage], "KiB", 0)
    for wine_stage, stage in FOOTPRINT_STAGES:
        label = stage_labels[wine_stage]
        row(f"Linux private memory {label}", s["linux_private_kib"][stage], "KiB", 0)
        row(f"Linux threads {label}", s["linux_threads"][stage], "", 0)
        row(f"Linux file descriptors {label}", s["linux_fds"][stage], "", 0)

    pooled = s["latency_pooled_ms"]
    lines = [f"Runs: {len(runs)}; latency scans pooled: {pooled['scans']} "
             f"(p50 {fmt(pooled['p50'])} ms, p95 {fmt(pooled['p95'])} ms, "
             f"max {fmt(pooled['max'])} ms); bytes lost in all runs: {s['lost_bytes_total']}",
             "",
             "| Figure | median | min | max | unit |", "|---|---:|---:|---:|---|"] + rows
    lines += ["", "Latency by where the worker was when the scan was written (traced scans, all runs):", "",
              "| case | scans | latency p50 | pause left p50 | rest p50 (min..max) |", "|---|---:|---:|---:|---|"]
    for case, label in TRACED_CASES:
        c = s["latency_by_case"][case]
        lines.append(f"| {label} | {c['scans']} | {fmt(c['latency_p50_ms'])} ms | {fmt(c['pause_left_p50_ms'])} ms | "
                     f"{fmt(c['rest_p50_ms'])} ms ({fmt(c['rest_min_ms'])}..{fmt(c['rest_max_ms'])}) |")
    lines += ["", "Files:", ""]
    for f in env["files"]:
        lines.append(f"- {f['file']}: {f['bytes']} bytes ({f['bytes'] / 1024:.1f} KiB), {f['format']}, "
                     f"imports {', '.join(f['imports'])}")
    lines += ["", f"Machine: {env.get('nproc')} cores, {env.get('cpu')}, {env.get('kernel')}; {env.get('wine')}; "
              f"load before runs: {', '.join(str(r['load_before']) for r in runs)}"]
    if problems:
        lines += ["", "PROBLEMS:"] + [f"- {p}" for p in problems]
    return "\n".join(lines) + "\n"


# ---------- the pictures ----------

def plot(out, runs):
    latency_histogram(os.path.join(out, "latency.png"), pooled_latency(runs), len(runs), READ_TIMEOUT_MS)
    latency_by_scan(os.path.join(out, "latency-by-scan.png"), runs, READ_TIMEOUT_MS)


# ---------- pass or fail ----------

def check_runs(loaded, use_strace):
    """What went wrong in each run (bench.json's and table.md's problems),
    and how fast the idle reader went, as (problems, notes), each note a
    (stream, text) to print after the table."""
    problems, notes = [], []
    for run_dir, run, quiet_s in loaded:
        if run is None:
            problems.append(f"{run_dir}: no run.json")
            continue
        name = run["dir"]
        lost = run["latency_lost_bytes"] + run["volume"]["lost_bytes"] + run["flood"]["lost_bytes"]
        if lost:
            problems.append(f"{name}: {lost} bytes lost")
        if run["volume"]["mismatched"] or run["flood"]["mismatched"] or run["latency_wrong_scans"]:
            problems.append(f"{name}: characters arrived changed or out of order")
        if run["close"]["port_open_ms"] is None:
            problems.append(f"{name}: the program did not exit after Close")
        idle_passes = run["idle_passes_per_s_open"]
        if use_strace and idle_passes is not None:
            rate = (f"{idle_passes:.1f} passes per s over {quiet_s:.1f} s "
                    f"(bound {IDLE_PASSES_BOUND_PER_S:.0f} per s)")
            if idle_passes > IDLE_PASSES_BOUND_PER_S:
                problems.append(f"{name}: busy reader: with its port open and nothing arriving it "
                                f"made {rate}; one 200 ms pause per pass allows no more")
                notes.append((sys.stderr, f"bench: {problems[-1]}"))
            elif idle_passes == 0:
                problems.append(f"{name}: the trace shows no pass of the idle reader with its port "
                                f"open, so its pass rate went unmeasured (did strace attach?)")
                notes.append((sys.stderr, f"bench: {problems[-1]}"))
            else:
                notes.append((sys.stdout, f"bench: {name}: idle reader, port open: {rate}"))
    return problems, notes


def verdict(summary, problems, use_strace):
    """0 when no run had a problem and every figure that must exist is
    there (so that a broken tool shows), 1 otherwise."""
    s = summary
    required = [s["latency_pooled_ms"]["p50"], s["throughput_bytes_per_s"]["median"],
                s["startup_icon_ms"]["median"], s["close_port_open_ms"]["median"],
                s["idle_open_percent"]["median"]]
    if use_strace:
        required += [s["passes_per_s_open"]["median"], s["passes_per_s_noport"]["median"]]
    if any(v is None for v in required):
        print("bench: a required figure is missing", file=sys.stderr)
        return 1
    return 1 if problems else 0


def main():
    out = sys.argv[1]
    use_strace = "--no-strace" not in sys.argv[2:]
    loaded = load_runs(out)
    problems, notes = check_runs(loaded, use_strace)
    runs = [run for _, run, _ in loaded if run is not None]
    if not runs:
        print("bench: no runs to report", file=sys.stderr)
        return 1
    env = load_environment(out)
    summary = summarise(runs)
    write_json(out, env, summary, runs, problems)
    text = table(summary, runs, env, problems)
    with open(os.path.join(out, "table.md"), "w") as f:
        f.write(text)
    print(text)
    for stream, note in notes:
        print(note, file=stream)
    plot(out, runs)
    return verdict(summary, problems, use_strace)


if __name__ == "__main__":
    sys.exit(main())
