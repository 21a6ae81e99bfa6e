"""Benchmarks: ferrow against the library called directly, and against SciPy.

Run by ``make bench``, which builds the direct-call driver first. Writes
``benchmarks/RESULTS.md`` and ``benchmarks/ratios.png`` and prints the goals as a
pass/short table.

For every operation and case, ferrow's call and the driver's direct call are timed
in alternating rounds (ferrow, driver, driver, ferrow, ...), so that load from other
processes falls on both sides alike; each sample is the mean of ``inner`` calls and
the figures are the medians of the samples.
"""

from __future__ import annotations

import os

# One BLAS thread on both sides (unless the caller chose otherwise): on two shared cores
# OpenBLAS threads spin in sched_yield between the many small BLAS calls of a sparse QR,
# which makes it both slower and far noisier. The driver inherits this environment, and
# any OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE setting is left as it is for both.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import gc  # noqa: E402
import json  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cases  # noqa: E402
import matching  # noqa: E402
import ops  # noqa: E402
import peers  # noqa: E402
import report  # noqa: E402
import rhs  # noqa: E402
import threads  # noqa: E402

# Operations whose peak memory is compared, on the large least-squares case.
MEMORY_OPS = ["spqr_r", "spqr_householder", "factor", "solve_1", "solve_100", "spqr_solve"]


class Driver:
    """The direct-call driver, serving commands over a pipe."""

    def __init__(self, path):
        self.path = path
        self.proc = subprocess.Popen([path, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1)

    def ask(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        reply = self.proc.stdout.readline()
        if not reply:
            raise RuntimeError(f"the driver died on: {line}")
        out = json.loads(reply)
        if not out.get("ok"):
            raise RuntimeError(f"driver: {out.get('error')} (on: {line})")
        return out

    def close(self):
        try:
            self.ask("quit")
        except Exception:
            pass
        self.proc.stdin.close()
        self.proc.wait(timeout=60)


def ferrow_sample(run, inner):
    """(wall-clock seconds, CPU seconds) per call, averaged over `inner` calls, and the
    last result."""
    gc.disable()
    try:
        c0 = time.process_time()
        t0 = time.perf_counter()
        for _ in range(inner):
            result = run()
        t1 = time.perf_counter()
        c1 = time.process_time()
    finally:
        gc.enable()
    return (t1 - t0) / inner, (c1 - c0) / inner, result


def driver_sample(driver, name, inner):
    out = driver.ask(f"time {name} 1 {inner}")
    return out["times"][0], out["cpu"][0]


# The timing rounds stop growing when the run is behind this schedule (seconds since the
# start), so that `make bench` stays well within ten minutes on a busy machine.
TIMING_DEADLINE = 6.5 * 60


def plan(t_single, size, behind=False):
    """(inner, rounds) for an operation whose single call took about t_single seconds."""
    if t_single < 1e-3:
        inner = max(1, int(0.02 / max(t_single, 1e-7)))
        return inner, 15 if size == "tiny" else 9
    if t_single < 0.2:
        inner = max(1, int(0.05 / t_single))
        return inner, max(3, min(9, int(1.0 / (t_single * inner))))
    if behind or t_single >= 2.0:
        return 1, 3
    return 1, 7 if t_single < 0.6 else 5


def measure(driver, case, data, name, behind=False):
    """Time one operation on both sides; return a result row."""
    row = {"op": name, "case": case.name, "label": case.label, "size": case.size,
           "what": ops.OPERATIONS[name][2]}
    try:
        run, check = ops.make(name, data)
    except ops.Unavailable as exc:
        row["skipped"] = str(exc)
        return row
    # Warm-up and calibration: one call on each side.
    t_f, _, result = ferrow_sample(run, 1)
    t_d, _ = driver_sample(driver, name, 1)
    inner, rounds = plan(max(t_f, t_d), case.size, behind)
    tf, td, cf, cd = [], [], [], []
    for k in range(rounds):  # ferrow, driver, driver, ferrow, ...
        for side in ((0, 1) if k % 2 == 0 else (1, 0)):
            if side == 0:
                t, c, result = ferrow_sample(run, inner)
                tf.append(t)
                cf.append(c)
            else:
                t, c = driver_sample(driver, name, inner)
                td.append(t)
                cd.append(c)
    ours = check(result)
    theirs = driver.ask(f"check {name}")["check"]
    driver.ask("drop")
    del result, run, check
    med = statistics.median
    row.update(ferrow=med(tf), direct=med(td), ferrow_cpu=med(cf), direct_cpu=med(cd), inner=inner,
               rounds=rounds, ferrow_samples=tf, direct_samples=td, ferrow_cpu_samples=cf,
               direct_cpu_samples=cd,
               agree=ops.signatures_agree(ours, theirs), ferrow_check=ours, direct_check=theirs)
    row["ratio"] = row["ferrow"] / row["direct"]
    row["best_ratio"] = min(tf) / min(td)
    row["cpu_ratio"] = row["ferrow_cpu"] / row["direct_cpu"] if row["direct_cpu"] > 0 else float("nan")
    if case.size == "tiny":
        row["overhead_us"] = (row["ferrow"] - row["direct"]) * 1e6
    return row


def memory(driver_path, warm_dir, case_dir, name):
    """Peak memory growth of one call, ferrow and direct, each in a fresh process."""
    py = subprocess.run([sys.executable, os.path.join(HERE, "memprobe.py"), warm_dir, case_dir, name],
                        capture_output=True, text=True)
    dr = subprocess.run([driver_path, "mem", warm_dir, case_dir, name], capture_output=True, text=True)
    out = {"op": name}
    for side, proc in (("ferrow", py), ("direct", dr)):
        try:
            res = json.loads(proc.stdout.strip().splitlines()[-1])
        except (IndexError, json.JSONDecodeError):
            res = {"ok": False, "error": (proc.stderr or proc.stdout).strip()[-300:]}
        if not res.get("ok"):
            out[side + "_error"] = res.get("error", "failed")
            continue
        out[side + "_kib"] = res["delta_kib"]
        out[side + "_check"] = res["check"]
    if "ferrow_kib" in out and "direct_kib" in out:
        out["ratio"] = out["ferrow_kib"] / max(out["direct_kib"], 1)
        out["agree"] = ops.signatures_agree(out["ferrow_check"], out["direct_check"])
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--driver", required=True, help="path of the ferrow_bench_driver executable")
    ap.add_argument("--data", default=os.path.join("build", "bench", "data"),
                    help="directory for the case files (kept between runs)")
    ap.add_argument("--out", default=HERE, help="where RESULTS.md and ratios.png go")
    ap.add_argument("--cases", nargs="*", help="only these cases (for development)")
    ap.add_argument("--ops", nargs="*", help="only these operations (for development)")
    ap.add_argument("--no-peers", action="store_true")
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--no-rhs", action="store_true",
                    help="skip the right-hand-side cases (" + ", ".join(rhs.CASES) + ")")
    ap.add_argument("--no-matching", action="store_true",
                    help="skip the maximum matching methods against SciPy (benchmarks/matching.py; "
                         "with --cases it runs only when 'matching' is among them)")
    ap.add_argument("--matching-sizes", nargs="*", type=int, default=matching.SIZES)
    ap.add_argument("--no-threads", action="store_true",
                    help="skip the thread measurements (benchmarks/threads.py; with --cases they "
                         "run only when 'threads' is among them)")
    args = ap.parse_args(argv)
    start = time.perf_counter()
    load_before = os.getloadavg()

    rhs_names = [] if args.no_rhs else [n for n in rhs.CASES if not args.cases or n in args.cases]
    rhs_only = bool(args.cases) and all(n in rhs.CASES or n == "threads" for n in args.cases)
    all_cases = [c for c in cases.case_list() if not args.cases or c.name in args.cases or c.name == "tiny"]
    if rhs_only:
        all_cases = []
    print(f"[bench] writing the test cases into {args.data}", flush=True)
    dirs = {c.name: cases.write(c, args.data) for c in all_cases}
    for c in all_cases:
        c.matrix = None  # the benchmark reads the files, as the driver does

    driver = Driver(args.driver)
    versions = driver.ask("version")
    rows = []
    try:
        for c in all_cases:
            names = [op for op in c.ops if not args.ops or op in args.ops]
            if not names:
                continue
            data = cases.load(dirs[c.name])
            info = driver.ask(f"load {dirs[c.name]}")
            print(f"[bench] {c.name}: {c.label}, {info['M']} x {info['N']}, "
                  f"nnz {int(data['A'].nnz)}", flush=True)
            for name in names:
                t0 = time.perf_counter()
                behind = t0 - start > TIMING_DEADLINE
                try:
                    row = measure(driver, c, data, name, behind)
                except Exception as exc:  # reported in the results, never hidden
                    row = {"op": name, "case": c.name, "label": c.label, "size": c.size,
                           "what": ops.OPERATIONS[name][2], "error": f"{type(exc).__name__}: {exc}"}
                    try:
                        driver.ask("drop")
                    except RuntimeError:
                        driver.close()
                        driver = Driver(args.driver)
                        driver.ask(f"load {dirs[c.name]}")
                rows.append(row)
                print("  " + report.progress_line(row, time.perf_counter() - t0), flush=True)
            del data
            gc.collect()
    finally:
        driver.close()

    mem_rows = []
    if not args.no_memory and "ls_large" in dirs:
        print("[bench] peak memory on ls_large (separate processes)", flush=True)
        for name in MEMORY_OPS:
            if args.ops and name not in args.ops:
                continue
            missing = ops.unavailable(name)
            if missing:
                mem_rows.append({"op": name, "skipped": missing})
                continue
            m = memory(args.driver, dirs["tiny"], dirs["ls_large"], name)
            mem_rows.append(m)
            print("  " + report.memory_line(m), flush=True)

    peer_rows = []
    if not args.no_peers and all_cases:
        print("[bench] peers", flush=True)
        peer_rows = peers.run_all({c.name: dirs[c.name] for c in all_cases},
                                  lambda line: print("  " + line, flush=True))

    rhs_rows, rhs_mem = [], None
    if rhs_names:
        print("[bench] right-hand sides of solve (ferrow against itself)", flush=True)
        rhs_rows, rhs_mem = rhs.run_all(rhs_names, memory_too=not args.no_memory,
                                        say=lambda line: print("  " + line, flush=True))

    matching_rows = []
    if (not args.no_matching and (not args.cases or "matching" in args.cases)
            and not ops.unavailable("maxtrans")):
        print("[bench] maximum matching by method against SciPy", flush=True)
        matching_rows = matching.run(lambda line: print("  " + line, flush=True),
                                     args.matching_sizes)

    thread_res = {}
    if not args.no_threads and (not args.cases or "threads" in args.cases):
        print("[bench] threads: the switch that releases the interpreter lock, off and on", flush=True)
        thread_res = threads.run_all(lambda line: print("  " + line, flush=True))

    elapsed = time.perf_counter() - start
    env = report.environment(versions)
    load_after = os.getloadavg()
    env["load"] = (f"1-minute load average {load_before[0]:.1f} at the start, {load_after[0]:.1f} "
                   "at the end (other processes share the cores)")
    goals = report.goals(rows, mem_rows) + rhs.goals(rhs_rows, rhs_mem) + threads.goals(thread_res)
    print()
    print(report.goals_text(goals))
    report.write_results(os.path.join(args.out, "RESULTS.md"), env, rows, mem_rows, peer_rows, goals,
                         elapsed, (rhs.markdown(rhs_rows, rhs_mem) if rhs_rows else [])
                         + matching.markdown(matching_rows) + threads.markdown(thread_res))
    report.plot(os.path.join(args.out, "ratios.png"), rows)
    raw = os.path.join(HERE, "out")
    os.makedirs(raw, exist_ok=True)
    with open(os.path.join(raw, "results.json"), "w") as f:  # every sample, for a closer look
        json.dump({"environment": env, "timings": rows, "memory": mem_rows, "peers": peer_rows,
                   "rhs": rhs_rows, "rhs_memory": rhs_mem, "matching": matching_rows,
                   "threads": thread_res}, f,
                  indent=1)
    print(f"\n[bench] wrote {os.path.join(args.out, 'RESULTS.md')} and ratios.png "
          f"in {elapsed:.0f} s", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
