"""Goals, the Markdown results table and the plot of the ratios."""

from __future__ import annotations

import datetime
import os
import platform
import subprocess

import numpy as np
import scipy

TIME_LIMIT = 1.05  # ferrow / direct on the large inputs
MEMORY_LIMIT = 1.1  # ferrow / direct peak memory growth
ORDERING_OVERHEAD_US = 15.0
ONE_SHOT_QR_OVERHEAD_US = 60.0
ORDERING_CALLS = ["camd", "colamd", "symamd", "ccolamd", "csymamd", "maxtrans", "strongcomp", "btf"]
ONE_SHOT_QR_CALLS = ["spqr_full", "spqr_economic", "spqr_r", "spqr_householder", "spqr_qmult",
                     "spqr_solve"]


def fmt_time(s):
    if s is None:
        return "-"
    if s < 1e-3:
        return f"{s * 1e6:.1f} µs"
    if s < 1:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"


def progress_line(row, wall):
    if "skipped" in row:
        return f"{row['op']:17s} not measured: {row['skipped']}"
    if "error" in row:
        return f"{row['op']:17s} FAILED: {row['error']}"
    extra = f"  overhead {row['overhead_us']:+.1f} µs" if "overhead_us" in row else ""
    same = "" if row["agree"] else f"  RESULTS DIFFER: {row['ferrow_check']} | {row['direct_check']}"
    return (f"{row['op']:17s} ferrow {fmt_time(row['ferrow']):>10s}  direct {fmt_time(row['direct']):>10s}"
            f"  ratio {row['ratio']:.3f} (best {row['best_ratio']:.3f}, CPU {row['cpu_ratio']:.3f}){extra}"
            f"  ({row['rounds']}x{row['inner']}, "
            f"{wall:.1f} s){same}")


def memory_line(m):
    if "skipped" in m:
        return f"{m['op']:17s} not measured: {m['skipped']}"
    if "ratio" not in m:
        return f"{m['op']:17s} failed: {m.get('ferrow_error') or m.get('direct_error')}"
    return (f"{m['op']:17s} ferrow {m['ferrow_kib'] / 1024:.1f} MiB  direct {m['direct_kib'] / 1024:.1f} MiB"
            f"  ratio {m['ratio']:.3f}")


def _cpu():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _mem_gib():
    try:
        with open("/proc/meminfo") as f:
            return int(f.readline().split()[1]) / 2**20
    except (OSError, ValueError, IndexError):
        return float("nan")


def _git_commit():
    try:
        return subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                              cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip() or "unknown"
    except OSError:
        return "unknown"


def environment(versions):
    import ferrow

    try:
        from importlib.metadata import version
        ferrow_version = version("ferrow")
    except Exception:
        ferrow_version = getattr(ferrow, "__version__", "unknown")
    blas = {k: v for k, v in os.environ.items() if k.startswith("OPENBLAS")}
    return {
        "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
        "machine": f"{_cpu()}, {os.cpu_count()} cores, {_mem_gib():.0f} GiB",
        "os": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "numpy": np.__version__,
        "scipy": scipy.__version__,
        "ferrow": f"{ferrow_version} (commit {_git_commit()})",
        "suitesparse": (f"{versions['SuiteSparse']} (CAMD {versions['CAMD']}, COLAMD {versions['COLAMD']}, "
                        f"CCOLAMD {versions['CCOLAMD']}, BTF {versions['BTF']}, CHOLMOD {versions['CHOLMOD']}, "
                        f"SPQR {versions['SPQR']})"),
        "compiler": f"g++ {versions['compiler']} (driver and extensions, Release)",
        "blas": "OpenBLAS, " + (", ".join(f"{k}={v}" for k, v in sorted(blas.items())) or "defaults"),
    }


def goals(rows, mem_rows):
    """One entry per goal instance: (goal, op, case, measured text, limit text, passed)."""
    out = []
    for r in rows:
        if "skipped" in r:
            continue
        if "error" in r:
            out.append(("measurement", r["op"], r["case"], "failed", "a figure", False))
            continue
        if r["size"] == "large":
            out.append(("time vs direct, large input", r["op"], r["case"], f"{r['ratio']:.3f}x",
                        f"<= {TIME_LIMIT}x", r["ratio"] <= TIME_LIMIT, f"{r['best_ratio']:.3f}x"))
        if r["size"] == "tiny" and r["op"] in ORDERING_CALLS:
            out.append(("fixed overhead per ordering call", r["op"], r["case"], f"{r['overhead_us']:.1f} µs",
                        f"<= {ORDERING_OVERHEAD_US:g} µs", r["overhead_us"] <= ORDERING_OVERHEAD_US))
        if r["size"] == "tiny" and r["op"] in ONE_SHOT_QR_CALLS:
            out.append(("fixed overhead per one-shot QR call", r["op"], r["case"],
                        f"{r['overhead_us']:.1f} µs", f"<= {ONE_SHOT_QR_OVERHEAD_US:g} µs",
                        r["overhead_us"] <= ONE_SHOT_QR_OVERHEAD_US))
    for m in mem_rows:
        if "ratio" in m:
            out.append(("peak memory vs direct", m["op"], "ls_large", f"{m['ratio']:.3f}x",
                        f"<= {MEMORY_LIMIT}x", m["ratio"] <= MEMORY_LIMIT))
    return out


def _verdict(g):
    if g[5]:
        return "pass"
    if len(g) > 6 and float(g[6].rstrip("x")) <= TIME_LIMIT:
        return "**short** (best runs within)"
    return "**short**"


def goals_text(goal_rows):
    lines = ["Goals (time: ratio of the medians; in brackets the ratio of the best runs)", "-----"]
    if not goal_rows:
        return "\n".join(lines + ["(nothing measured)"])
    w = max(len(g[0]) for g in goal_rows)
    for g in goal_rows:
        best = f" [{g[6]}]" if len(g) > 6 else ""
        lines.append(f"{'pass ' if g[5] else 'SHORT'}  {g[0]:{w}s}  {g[1]:17s} {g[2]:12s} {g[3]:>10s}"
                     f"  ({g[4]}){best}")
    n = sum(g[5] for g in goal_rows)
    lines.append(f"{n} of {len(goal_rows)} goals met")
    return "\n".join(lines)


def _table(header, body):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join(" --- " for _ in header) + "|"]
    out += ["| " + " | ".join(str(c).replace("|", "\\|") for c in row) + " |" for row in body]
    return "\n".join(out)


def write_results(path, env, rows, mem_rows, peer_rows, goal_rows, elapsed, extra_md=()):
    md = ["# Benchmark results", "",
          f"Written by `make bench` on {env['date']} in {elapsed / 60:.1f} minutes. "
          "Method and definitions are at the end.", "",
          "## Machine and versions", "",
          _table(["", ""], [(k, v) for k, v in env.items() if k != "date"]), ""]

    md += ["## Goals", ""]
    if goal_rows:
        md.append(_table(["goal", "operation", "case", "measured", "limit", "result", "ratio of best runs"],
                         [(g[0], f"`{g[1]}`", g[2], g[3], g[4], _verdict(g), g[6] if len(g) > 6 else "")
                          for g in goal_rows]))
        n = sum(g[5] for g in goal_rows)
        within = sum(1 for g in goal_rows if _verdict(g) == "**short** (best runs within)")
        md += ["", f"{n} of {len(goal_rows)} goals met; of the {len(goal_rows) - n} short, {within} are "
               "within the goal on the ratio of the best runs (see Method on the drift of this machine)."]
    else:
        md.append("Nothing was measured.")
    md.append("")

    md += ["## ferrow against the direct call", ""]
    for size, title in (("tiny", "Tiny matrix (fixed overhead)"), ("mid", "Mid-size inputs"),
                        ("large", "Large inputs")):
        body = []
        for r in rows:
            if r["size"] != size or "skipped" in r or "error" in r:
                continue
            over = f"{r['overhead_us']:+.1f}" if "overhead_us" in r else ""
            body.append((f"`{r['op']}`", f"`{r['what']}`", r["label"], fmt_time(r["ferrow"]),
                         fmt_time(r["direct"]), f"{r['ratio']:.3f}", f"{r['best_ratio']:.3f}",
                         *([over] if size == "tiny" else []), "yes" if r["agree"] else "**no**"))
        if not body:
            continue
        header = ["operation", "ferrow call", "case", "ferrow", "direct", "ratio", "ratio of best runs"]
        header += ["overhead (µs)"] if size == "tiny" else []
        header += ["same result"]
        md += [f"### {title}", "", _table(header, body), ""]

    if mem_rows:
        md += ["## Peak memory, large least-squares problem (300000 x 100000)", ""]
        body = []
        for m in mem_rows:
            if "skipped" in m:
                body.append((f"`{m['op']}`", "-", "-", "-", f"not measured: {m['skipped']}"))
            elif "ratio" not in m:
                body.append((f"`{m['op']}`", "-", "-", "-",
                             f"failed: {m.get('ferrow_error') or m.get('direct_error')}"))
            else:
                body.append((f"`{m['op']}`", f"{m['ferrow_kib'] / 1024:.1f}", f"{m['direct_kib'] / 1024:.1f}",
                             f"{m['ratio']:.3f}", "same result" if m["agree"] else "**results differ**"))
        md += [_table(["operation", "ferrow (MiB)", "direct (MiB)", "ratio", ""], body), ""]

    if peer_rows:
        md += ["## Against what SciPy users use instead", ""]
        body = []
        for p in peer_rows:
            if "skipped" in p:
                body.append((p["what"], p["case"], "-", "-", "-", "-", "-", f"not measured: {p['skipped']}"))
                continue
            speed = "-" if p["peer_s"] is None else f"{p['peer_s'] / p['ferrow_s']:.2f}"
            body.append((p["what"], p["case"], f"`{p['ferrow']}`", fmt_time(p["ferrow_s"]), f"`{p['peer']}`",
                         fmt_time(p["peer_s"]), speed, p["result"]))
        md += [_table(["task", "case", "ferrow", "time", "peer", "time", "peer / ferrow", "result"], body), ""]

    md += list(extra_md)

    failed = [r for r in rows if "error" in r]
    if failed:
        md += ["## Failures", "", "These measurements raised an error; they have no figure.", ""]
        md += [f"- `{r['op']}` on {r['label']}: {r['error']}" for r in failed]
        md.append("")

    skipped = sorted({(r["op"], r["skipped"]) for r in rows if "skipped" in r})
    if skipped:
        md += ["## Not measured", "",
               "These operations have no ferrow module yet in this build, so only the direct "
               "call could have been timed; no figure is given for them.", ""]
        md += [f"- `{op}`: {why}" for op, why in skipped]
        md.append("")

    md += ["## Method", "", METHOD, ""]
    with open(path, "w") as f:
        f.write("\n".join(md))


METHOD = """\
- **Direct call.** `benchmarks/driver.cpp` (built by CMake as `ferrow_bench_driver`, not
  installed) reads the very `.npy` files the Python side loads and hands them to the
  SuiteSparse routine, doing only what a C caller must: allocate outputs and workspaces
  (uninitialised), fill the controls with the library defaults, copy what the routine
  overwrites (COLAMD's row indices into its `Alen` work array and the column pointers),
  start and finish a CHOLMOD common block per one-shot QR call, and free every result.
  For `copy` it duplicates the factorisation records itself (the library has none);
  for `solve_sparse` it runs the same batches of 100 columns through dense blocks as
  ferrow, gathering the solution into one CSC matrix.
- **Timing.** Each operation is set up outside the timing (for solves and `qmult`, one
  numeric factorisation), warmed up once on each side, then timed in alternating
  rounds (ferrow, driver, driver, ferrow, ...). A sample is the mean of `inner` calls
  (`inner` chosen so that a sample lasts about 20-50 ms; 1 for calls over 0.2 s), with
  `time.perf_counter` in Python (garbage collection off) and `std::chrono::steady_clock`
  in C++; the tables show medians over 15 (tiny), 3-9 (mid) and 3-7 (large) samples. As
  in `r = f()`, each call's result is freed when the next one has been made, on both sides.
- **Ratio** is the ratio of the two medians; the goals are judged on it. The **ratio of
  best runs** (fastest sample of each side) is given beside it: on this shared virtual
  machine the speed of both sides drifts by up to +-25 % from one sample to the next
  (process CPU time, recorded as well in `benchmarks/out/results.json`, drifts alike, so
  it is not time spent descheduled), and a median ratio of 1.06 whose best-run ratio is
  1.00 is that drift, not overhead.
- **Fixed overhead** is ferrow's median minus the driver's median on the 10 x 10 matrix.
- **Same result**: the driver prints a signature of its last result (hashes of
  permutations and block boundaries, shapes, nnz(R), norms of solutions) that is
  compared with the signature of ferrow's result; nnz(R) may differ by a few entries
  where the BLAS drops exact zeros differently.
- **Peak memory**: each side runs in a fresh process, first once on the tiny case, then
  the operation is set up on the large least-squares case, free heap memory is handed
  back to the system (`malloc_trim`, so that the call's allocations are not hidden in
  pages the set-up freed), the peak resident set is reset (`/proc/self/clear_refs`),
  the call runs once, and the growth of the peak
  (`VmHWM`) over the resident set before the call is reported; results stay alive.
- **BLAS.** Both sides run with one OpenBLAS thread (`OPENBLAS_NUM_THREADS=1` unless set
  by the caller): with two threads OpenBLAS spins in `sched_yield` between the many small
  calls of a sparse QR, which on this machine made the large solves several times slower
  and far noisier, for the library alike.
- **Threads** (`benchmarks/threads.py`) are measured with the switch
  `ferrow.release_gil` off and on, one BLAS thread per Python thread: two independent
  `spqr_solve` calls one after the other and in two threads started together (medians
  of three rounds; the speedup is their ratio, shown beside the same figure for
  NumPy's sort, which runs without the lock, as what the machine gives); a Python thread that appends the time
  and sleeps 1 ms, in a loop, while the main thread runs one QR (the stall is the
  longest gap between its ticks that overlaps the call, worst of three rounds); and the
  tiny operations, switch off and on in alternating rounds (best per call of each).
- **Peers** run on the same matrices; their times are medians of up to five runs.
  `lsqr`/`lsmr` are run with tightening `atol = btol` until the residual norm equals the
  QR solution's to 12 digits. Dense peers are timed without the `toarray` conversion.
- **Test matrices** (`benchmarks/cases.py`): 2-D and 3-D Laplacians from
  `ferrow.demos.problems`; random least-squares matrices whose entries lie near the
  diagonal position of their row (plus the leading identity), since uniformly scattered
  entries make R dense at these sizes; random unsymmetric patterns with one random entry
  per column and 95 % of the diagonal. All indices are int32. The "full" and "economic"
  QR modes are measured on the tiny and mid-size inputs only: for a tall least-squares
  matrix Q has of the order of M x N entries (4 x 10^8 for 40000 x 10000).
"""


def plot(path, rows):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    measured = [r for r in rows if "skipped" not in r and "error" not in r]
    if not measured:
        fig, ax = plt.subplots(figsize=(6, 2))
        ax.text(0.5, 0.5, "nothing measured", ha="center", va="center")
        ax.axis("off")
        fig.savefig(path, dpi=120)
        plt.close(fig)
        return
    order = []
    for r in measured:
        if r["op"] not in order:
            order.append(r["op"])
    x = {op: k for k, op in enumerate(order)}
    fig, ax = plt.subplots(figsize=(max(8, 0.55 * len(order) + 2), 5.2))
    styles = {"tiny": ("o", "tab:gray", "tiny (10 x 10)"), "mid": ("s", "tab:blue", "mid-size"),
              "large": ("D", "tab:red", "large")}
    for size, (marker, color, label) in styles.items():
        pts = [r for r in measured if r["size"] == size]
        if not pts:
            continue
        offs = {"tiny": -0.22, "mid": 0.0, "large": 0.22}[size]
        ax.scatter([x[r["op"]] + offs for r in pts], [r["ratio"] for r in pts], marker=marker,
                   color=color, label=label, s=28, zorder=3)
    ax.axhline(1.0, color="black", lw=0.8)
    ax.axhline(TIME_LIMIT, color="tab:red", lw=0.8, ls="--", label=f"goal on large inputs ({TIME_LIMIT}x)")
    ax.set_yscale("log")
    ticks = [t for t in (0.5, 0.75, 1, 1.5, 2, 3, 5, 10, 20, 50, 100, 200)
             if min(r["ratio"] for r in measured) / 1.5 <= t <= max(r["ratio"] for r in measured) * 1.5]
    ax.set_yticks(ticks)
    ax.set_yticklabels([f"{t:g}" for t in ticks])
    ax.minorticks_off()
    ax.set_xticks(range(len(order)))
    ax.set_xticklabels(order, rotation=45, ha="right")
    ax.set_ylabel("ferrow time / direct call time")
    ax.set_title("ferrow against the SuiteSparse routine called directly (median ratios)")
    ax.grid(axis="y", which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
