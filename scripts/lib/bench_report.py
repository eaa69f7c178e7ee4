#!/usr/bin/python3
"""Computes every figure of scripts/bench, once per run, from each
OUT/run-N/: run.json (the measuring program's raw samples), monitor.jsonl
(the CPU ticks Linux counted at each mark) and strace-*.txt (the reader's
sleeps and new threads over the trace window). FIGURES drives the summary
(OUT/bench.json), the Markdown (OUT/table.md) and the verdict (exit status
1 when a run broke a bound or lacks a figure it must have); also draws
OUT/latency.png and OUT/latency-by-scan.png. Runs under Debian's
/usr/bin/python3, which has python3-matplotlib (scripts/setup-deps).

usage: bench_report.py OUT [--no-strace]
"""
import glob
import json
import math
import os
import re
import statistics
import sys
from collections import namedtuple

import matplotlib
matplotlib.use("Agg")   # files only, no display
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.ticker import MaxNLocator  # noqa: E402

LINE_RATE = 3840.0          # bytes per second at 38400 baud, 8N1
CLOCK_TICK_MS = 1000.0 / os.sysconf("SC_CLK_TCK")
READ_TIMEOUT_MS = 100.0

# The most passes a second the idle reader may make with its port open: a
# pass is a receive wait (at once under Wine), a read that times out after
# 100 ms and a 200 ms pause, 3.3 a second. The pause alone allows 5, and a
# loaded machine only makes passes slower. A reader that skips its pause is
# still paced by its reads' time-out under Wine, to about 10 a second, so
# the bound sits at the pause's 5.
IDLE_PASSES_BOUND_PER_S = 5.0

# One figure of a run: its key in bench.json, its label (which may name
# the run's amounts: {scans}, {volume}, {flood}, {idle}, {trace}, {traced},
# {keyscans}, {keyvolume}),
# unit and digits; `need` is "always", or "strace" for a figure that must exist when
# strace ran; `most` is the largest value a run may have.
Figure = namedtuple("Figure", "key label unit digits need most", defaults=(None, None))
FOOTPRINT = (("start", "after start"), ("after_volume", "after the {volume}"),
             ("after_flood", "after the flood"), ("end", "at the end"))
FIGURES = [
    Figure("latency_min_ms", "Latency min ({scans})", "ms", 1),
    Figure("latency_p50_ms", "Latency p50", "ms", 1, "always"),
    Figure("latency_p95_ms", "Latency p95", "ms", 1),
    Figure("latency_max_ms", "Latency max", "ms", 1),
    Figure("last_p50_ms", "Last byte written to last character, characters (p50)", "ms", 1, "always"),
    Figure("keys_last_p50_ms", "  the same typed as key presses ({keyscans}, p50)", "ms", 1, "always"),
    Figure("keys_last_p95_ms", "  key presses, p95", "ms", 1),
    Figure("volume_throughput", "Throughput, {volume} back to back, characters", "bytes/s", 0),
    Figure("keys_throughput", "  {keyvolume} back to back, key presses", "bytes/s", 0, "always"),
    Figure("keys_full_burst_ms", "  a full burst (1024 bytes) typed as key presses, first to last (p50)", "ms", 0),
    Figure("lost_bytes", "Bytes that never came (all phases)", "bytes", 0, "always", 0),
    Figure("changed", "Scans or bytes that came changed", "", 0, "always", 0),
    Figure("throughput", "Throughput, flood of {flood}", "bytes/s", 0, "always"),
    Figure("line_rate_ratio", "  ratio to 38400 baud (3840 bytes/s)", "x", 2),
    Figure("post_us", "  one post, burst span per character (p50)", "us", 1),
    Figure("burst_span_ms", "  burst span (p50)", "ms", 1),
    Figure("burst_gap_ms", "  gap between bursts (p50)", "ms", 1),
    Figure("burst_max_bytes", "  largest burst the target saw", "bytes", 0),
    Figure("cpu_us_per_byte", "Program CPU per delivered byte", "us", 1),
    Figure("wineserver_us_per_byte", "  wineserver CPU per delivered byte", "us", 1),
    Figure("idle_open_percent", "Idle CPU over {idle}, port open", "% of a core", 3, "always"),
    Figure("idle_noport_percent", "Idle CPU over {idle}, no port", "% of a core", 3),
    Figure("idle_wineserver_percent", "  wineserver over the same span", "% of a core", 3),
    Figure("passes_open", "Reader passes over {trace}, port open", "per s", 2, "strace", IDLE_PASSES_BOUND_PER_S),
    Figure("passes_noport", "Reader passes over {trace}, no port", "per s", 2, "strace"),
    Figure("traced_pause_scans", "Traced scans ({traced}) written in the worker's 200 ms pause", "", 0),
    Figure("traced_pause_left_ms", "  the pause left when they were written (p50)", "ms", 1),
    Figure("traced_rest_ms", "  latency beyond that and the 100 ms time-out, all traced scans (p50)", "ms", 1),
    Figure("startup_window_ms", "Start to hidden window", "ms", 1),
    Figure("startup_icon_ms", "Start to tray icon (port opened before it)", "ms", 1, "always"),
    Figure("close_open_ms", "Close to exit, port open", "ms", 1, "always"),
    Figure("close_noport_ms", "Close to exit, no port", "ms", 1),
] + [Figure(f"{what}_{point}", f"{label} {when}", unit, 0)
     for what, label, unit in (("threads", "Threads", ""), ("handles", "Handles", ""),
                               ("private_kib", "Private bytes", "KiB"))
     for point, when in FOOTPRINT]


def ticks_ms(marks, begin, end, role):
    """CPU milliseconds of the process with `role` between two marks."""
    def find(mark):
        return next((p for p in marks.get(mark, {}).get("procs", []) if p["role"] == role), None)
    a, b = find(begin), find(end)
    return None if not a or not b or a["pid"] != b["pid"] else (b["cpu_ticks"] - a["cpu_ticks"]) * CLOCK_TICK_MS


CALL = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+(\w+)\((.*)$")
RESUMED = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+<\.\.\. (\w+) resumed>(.*)$")
DURATION = re.compile(r"<(\d+\.\d+)>\s*$")


def parse_strace(path):
    """The sleeps (start, took s) and the thread creations (times) in a
    strace -f -ttt -T file. Under Wine a plain Sleep is a pselect6 and an
    alertable one (SleepEx) a read of the wineserver's answer, so every
    such call counts, and its length says which sleep it was."""
    sleeps, clones, pending = [], [], {}
    for line in open(path, errors="replace") if os.path.exists(path) else []:
        m = CALL.match(line) or RESUMED.match(line)
        if not m:
            continue
        tid, t, name, rest = int(m.group(1)), float(m.group(2)), m.group(3), m.group(4)
        d = DURATION.search(rest)
        if name.startswith("clone"):
            clones += [t] if m.re is CALL else []
        elif m.re is CALL and "<unfinished ...>" in rest:
            pending[tid] = t
        elif d and (m.re is CALL or tid in pending):
            sleeps.append((t if m.re is CALL else pending.pop(tid), float(d.group(1))))
    return sleeps, clones


def is_sleep(took, sleep_s):
    """Whether a call of `took` s was a sleep of sleep_s (which may overrun
    on a busy machine, never end early)."""
    return sleep_s - 0.01 <= took <= sleep_s * 1.25 + 0.01


def per_second(times, begin, end):
    return None if begin is None or end is None or end <= begin else \
        sum(1 for t in times if begin <= t < end) / (end - begin)


def classify(traced, sleeps):
    """Where the worker was when each traced scan was written, as (case,
    ms of the sleep left, ms of latency beyond that and the read's
    time-out): in its 200 ms pause, in the 50 ms icon pulse of the previous
    delivery, or elsewhere (waiting for a byte in its read)."""
    out = []
    for written, latency in zip(traced.get("written_unix", []), traced.get("samples_ms", [])):
        case, left = "read", 0.0
        for (s, took) in sleeps:
            if s <= written < s + took and (is_sleep(took, 0.2) or is_sleep(took, 0.05)):
                case, left = "pause" if took > 0.1 else "pulse", (s + took - written) * 1000.0
        out.append((case, left, latency - left - READ_TIMEOUT_MS))
    return out


def pct(values, q):
    """The nearest-rank percentile q (0 for the smallest) of the values."""
    v = sorted(x for x in values if x is not None)
    return v[max(1, math.ceil(q * len(v))) - 1] if v else None


def ratio(a, b, scale=1.0):   # None when either is unknown or b is 0
    return None if a is None or not b else scale * a / b


def load_run(run_dir):
    """One run's entry in bench.json: its figures (FIGURES' keys), its
    latency samples, its traced scans and the amounts it used."""
    def path(name):
        return os.path.join(run_dir, name)
    r = {}   # run.json's "group.name" keys, grouped
    for key, value in json.load(open(path("run.json"))).items():
        r.setdefault(key.split(".")[0], {})[key.split(".")[1]] = value
    lines = open(path("monitor.jsonl")).readlines() if os.path.exists(path("monitor.jsonl")) else []
    marks = {m["mark"]: m for m in map(json.loads, lines)}
    sleeps_open, clones_open = parse_strace(path("strace-open.txt"))
    sleeps_noport, _ = parse_strace(path("strace-noport.txt"))
    lat, traced, volume, flood = r["latency"], r.get("traced", {}), r["volume"], r["flood"]
    klat, kvolume = r["keys_latency"], r["keys_volume"]
    qb, qe = traced.get("quiet_unix", [None, None])
    pauses_open = per_second([s for s, took in sleeps_open if is_sleep(took, 0.2)], qb, qe)
    waits_open = per_second(clones_open, qb, qe)
    idle_s = marks["idle-end"]["unix_time"] - marks["idle-begin"]["unix_time"] \
        if "idle-begin" in marks and "idle-end" in marks else None
    bursts = list(zip(flood["burst_bytes"], flood["burst_span_ms"], flood["burst_gap_ms"]))
    throughput = ratio(flood["received"], flood["seconds"])
    streams = (volume, flood, kvolume)
    f = {
        "latency_min_ms": pct(lat["samples_ms"], 0), "latency_p50_ms": pct(lat["samples_ms"], 0.5),
        "latency_p95_ms": pct(lat["samples_ms"], 0.95), "latency_max_ms": pct(lat["samples_ms"], 1),
        "last_p50_ms": pct(lat["last_ms"], 0.5), "keys_last_p50_ms": pct(klat["last_ms"], 0.5),
        "keys_last_p95_ms": pct(klat["last_ms"], 0.95),
        "volume_throughput": ratio(volume["received"], volume["seconds"]),
        "keys_throughput": ratio(kvolume["received"], kvolume["seconds"]),
        "keys_full_burst_ms": pct([span for n, span in zip(kvolume["burst_bytes"], kvolume["burst_span_ms"])
                                   if n == 1024], 0.5),
        "lost_bytes": lat["lost_bytes"] + traced.get("lost_bytes", 0) + klat["lost_bytes"]
        + sum(s["bytes"] - min(s["received"], s["bytes"]) for s in streams),
        "changed": lat["wrong_scans"] + traced.get("wrong_scans", 0) + klat["wrong_scans"]
        + sum(s["mismatched"] + max(0, s["received"] - s["bytes"]) for s in streams),
        "throughput": throughput, "line_rate_ratio": ratio(throughput, LINE_RATE),
        "post_us": pct([span * 1000.0 / (n - 1) for n, span, _ in bursts if n > 1], 0.5),
        "burst_span_ms": pct([span for _, span, _ in bursts], 0.5),
        "burst_gap_ms": pct([gap for _, _, gap in bursts], 0.5),
        "burst_max_bytes": pct([n for n, _, _ in bursts], 1),
        "cpu_us_per_byte": ratio(ticks_ms(marks, "flood-begin", "flood-end", "open"), flood["received"], 1000),
        "wineserver_us_per_byte": ratio(ticks_ms(marks, "flood-begin", "flood-end", "wineserver"),
                                        flood["received"], 1000),
        # Every idle pass shows its pause or its receive wait (the thread Wine
        # starts for it), so it counts by whichever shows more.
        "passes_open": None if pauses_open is None else max(pauses_open, waits_open),
        "passes_noport": per_second([s for s, took in sleeps_noport if is_sleep(took, 1.0)], qb, qe),
        "startup_window_ms": r["startup"]["window_ms"], "startup_icon_ms": r["startup"]["icon_ms"],
        "close_open_ms": r["close"]["port_open_ms"], "close_noport_ms": r["close"]["no_port_ms"],
    }
    cases = classify(traced, sleeps_open)
    f["traced_pause_scans"] = sum(1 for c, _, _ in cases if c == "pause") if traced else None
    f["traced_pause_left_ms"] = pct([left for c, left, _ in cases if c == "pause"], 0.5)
    f["traced_rest_ms"] = pct([rest for _, _, rest in cases], 0.5)
    for role in ("open", "noport", "wineserver"):
        f[f"idle_{role}_percent"] = ratio(ticks_ms(marks, "idle-begin", "idle-end", role), idle_s, 0.1)
    for point, _ in FOOTPRINT:
        f.update({f"{what}_{point}": v for what, v in r[f"footprint_{point}"].items()})
    load = open(path("load-before")).read().split() if os.path.exists(path("load-before")) else []
    return {"dir": os.path.basename(run_dir), "load_before": " ".join(load), "figures": f,
            "latency_samples_ms": lat["samples_ms"],
            "amounts": {"scans": lat["scans"], "volume": volume["scans"], "flood": flood["bytes"], "idle": idle_s,
                        "keyscans": klat["scans"], "keyvolume": kvolume["scans"],
                        "trace": None if qb is None or qe is None else qe - qb, "traced": traced.get("scans", 0)}}


def load_environment(out):
    """The machine, the Wine and the program's files ("file:NAME"), as
    scripts/bench wrote them to environment.txt."""
    path = os.path.join(out, "environment.txt")
    return dict(line.rstrip("\n").split("=", 1) for line in open(path)) if os.path.exists(path) else {}


def fmt(v, digits=1):
    return "n/a" if v is None else f"{v:,.{digits}f}".replace(",", " ")


def summarise(runs):
    """Each figure's median, min and max over the runs."""
    def spread(values):
        v = [x for x in values if x is not None]
        return {"median": statistics.median(v), "min": min(v), "max": max(v)} if v else \
            {"median": None, "min": None, "max": None}
    return {fig.key: spread([r["figures"].get(fig.key) for r in runs]) for fig in FIGURES}


def labels(runs):
    """FIGURES' labels, with the amounts the runs used (one invocation of
    scripts/bench gives every run the same)."""
    a = runs[0]["amounts"]
    flood = f"{a['flood'] >> 20} MiB" if a["flood"] % (1 << 20) == 0 else f"{fmt(a['flood'], 0)} bytes"
    words = {"scans": f"{fmt(a['scans'], 0)} scans", "volume": f"{fmt(a['volume'], 0)} scans", "flood": flood,
             "idle": f"{fmt(a['idle'], 0)} s", "trace": f"{fmt(a['trace'], 0)} s", "traced": f"{a['traced']} a run",
             "keyscans": f"{fmt(a['keyscans'], 0)} scans", "keyvolume": f"{fmt(a['keyvolume'], 0)} scans"}
    return {fig.key: fig.label.format(**words) for fig in FIGURES}


def table(summary, runs, env, problems):
    """The text of table.md."""
    names = labels(runs)
    lines = [f"Runs: {len(runs)}; machine: {env.get('nproc')} cores, {env.get('cpu')}, {env.get('kernel')}; "
             f"{env.get('wine')}; load average before each run: {', '.join(r['load_before'] for r in runs)}",
             "", "| Figure | median | min | max | unit |", "|---|---:|---:|---:|---|"]
    for fig in FIGURES:
        s = summary[fig.key]
        lines.append(f"| {names[fig.key]} | {fmt(s['median'], fig.digits)} | {fmt(s['min'], fig.digits)} | "
                     f"{fmt(s['max'], fig.digits)} | {fig.unit} |")
    lines += [""] + [f"- {k[5:]}: {v}" for k, v in env.items() if k.startswith("file:")]
    return "\n".join(lines + (["", "PROBLEMS:"] + [f"- {p}" for p in problems] if problems else [])) + "\n"


def check(runs, use_strace):
    """Each run's figures that must exist and do not, or exceed their bound."""
    problems, names = [], labels(runs)
    for r in runs:
        for fig in FIGURES:
            v = r["figures"].get(fig.key)
            if v is None and (fig.need == "always" or (fig.need == "strace" and use_strace)):
                problems.append(f"{r['dir']}: no figure for \"{names[fig.key].strip()}\""
                                + (" (did strace attach?)" if fig.need == "strace" else ""))
            elif v is not None and fig.most is not None and v > fig.most:
                problems.append(f"{r['dir']}: {names[fig.key].strip()}: {fmt(v, fig.digits)} {fig.unit}, "
                                f"more than the {fmt(fig.most, fig.digits)} allowed")
    return problems


def picture(path, title, xlabel, ylabel, draw):
    """One picture, its content drawn by `draw(ax)`."""
    fig, ax = plt.subplots(figsize=(9, 4.8), dpi=100)
    draw(ax)
    ax.set(title=title, xlabel=xlabel, ylabel=ylabel, axisbelow=True)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def histogram(ax, samples):
    """Scans per 10 ms of latency, from the floor to past the largest."""
    if samples:
        lo = math.floor(min(READ_TIMEOUT_MS, min(samples)) / 10.0) * 10
        hi = math.ceil((max(samples) + 0.001) / 10.0) * 10
        counts, _, _ = ax.hist(samples, bins=range(int(lo), int(hi) + 10, 10), color="#3c6eb4", edgecolor="white")
        ax.set_xlim(lo - 5, hi + 5)
        ax.set_ylim(0, max(counts) * 1.2 + 0.5)   # room for the legend above the bars
    ax.axvline(READ_TIMEOUT_MS, color="#c82828", linewidth=2,
               label=f"{READ_TIMEOUT_MS:.0f} ms read time-out: the floor every scan waits out")
    ax.xaxis.set_major_locator(MaxNLocator(nbins=12, steps=[1, 2, 5, 10]))   # on bin edges
    ax.yaxis.set_major_locator(MaxNLocator(integer=True, steps=[1, 2, 5, 10]))
    ax.grid(axis="y", color="#e0e0e0")
    ax.legend(loc="upper right")


def by_scan(ax, runs):
    """Each scan's latency in the order sent, the runs one after another,
    so that drift, a difference between runs and outliers show where."""
    start, top = 0, READ_TIMEOUT_MS
    for i, r in enumerate(runs):
        ys, load = r["latency_samples_ms"], r["load_before"].split()
        top = max([top] + ys)
        ax.plot(range(start + 1, start + len(ys) + 1), ys, linestyle="none", marker="o", markersize=3,
                label=r["dir"].replace("-", " ") + (f" (load average {load[0]})" if load else ""))
        if i:
            ax.axvline(start + 0.5, color="#b0b0b0", linewidth=1)
        start += len(ys)
    ax.axhline(READ_TIMEOUT_MS, color="#c82828", linewidth=1.5, label=f"{READ_TIMEOUT_MS:.0f} ms read time-out (floor)")
    ax.set_xlim(0, max(start, 1) + 1)
    ax.set_ylim(0, top * 1.3)   # room for the legend above the points
    ax.xaxis.set_major_locator(MaxNLocator(integer=True, steps=[1, 2, 5, 10]))
    ax.grid(color="#e8e8e8")
    ax.legend(loc="upper left", fontsize="small", ncol=2)   # two columns stay inside the axes


def main():
    out, use_strace = sys.argv[1], "--no-strace" not in sys.argv[2:]
    dirs = sorted(glob.glob(os.path.join(out, "run-*")), key=lambda p: int(p.rsplit("-", 1)[1]))
    done = [d for d in dirs if os.path.exists(os.path.join(d, "run.json"))]
    runs = [load_run(d) for d in done]
    if not runs:
        print("bench: no runs to report", file=sys.stderr)
        return 1
    env, summary = load_environment(out), summarise(runs)
    problems = [f"{os.path.basename(d)}: no run.json" for d in dirs if d not in done] + check(runs, use_strace)
    with open(os.path.join(out, "bench.json"), "w") as f:
        json.dump({"environment": env, "summary": summary, "runs": runs, "problems": problems}, f, indent=1)
    text = table(summary, runs, env, problems)
    with open(os.path.join(out, "table.md"), "w") as f:
        f.write(text)
    print(text)
    for p in problems:
        print(f"bench: {p}", file=sys.stderr)
    pooled = [s for r in runs for s in r["latency_samples_ms"]]
    picture(os.path.join(out, "latency.png"), f"Scan latency under Wine: {len(pooled)} scans, {len(runs)} "
            f"run{'s' if len(runs) != 1 else ''}", "Last byte written to first WM_CHAR (ms), 10 ms bins", "Scans",
            lambda ax: histogram(ax, pooled))
    picture(os.path.join(out, "latency-by-scan.png"), "Scan latency in the order the scans were sent",
            "Scan number (runs one after another)", "Last byte written to first WM_CHAR (ms)",
            lambda ax: by_scan(ax, runs))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
