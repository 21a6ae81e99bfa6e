"""Threads: what the switch that releases the interpreter lock buys, and what it costs.

Three measurements, each with the switch off and on (``ferrow.release_gil``):

- **parallel solves**: two independent ``spqr_solve`` calls of about 0.3 s each, one
  after the other and then in two threads; the speedup is the ratio of the two wall
  times (goal with the switch on: at least 1.6 on two cores);
- **processes and orderings**: the same two solves in two processes (what the machine
  gives for that work without any lock), and two COLAMD orderings in two threads;
- **stall**: a Python thread that wakes every millisecond, while another thread runs a
  sparse QR of about 0.3 s; the stall is the longest gap between two of its ticks
  (goal with the switch on: at most 50 ms);
- **tiny calls**: the time per call of every operation on the 10 x 10 case, switch off
  and on in alternating rounds (goal: the switch adds at most 1 µs per call).

``make bench`` runs them and adds a section to ``benchmarks/RESULTS.md``; on its own::

    python benchmarks/threads.py

prints the tables.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # one BLAS thread per Python thread

import statistics  # noqa: E402
import sys  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
import timeit  # noqa: E402

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import cases  # noqa: E402
import ops  # noqa: E402

SPEEDUP_GOAL = 1.6
STALL_GOAL_MS = 50.0
OVERHEAD_GOAL_US = 1.0

# The tiny operations timed with the switch off and on (those of abi_overhead.py).
# The problems: two least-squares matrices for the solves, a 3-D Laplacian for the QR.
SOLVE_SHAPE = (200_000, 50_000)
QR_GRID = 18
SOLVE_CASE = f"least squares {SOLVE_SHAPE[0]} x {SOLVE_SHAPE[1]}"
QR_CASE = f"3-D Laplacian {QR_GRID}^3"

TINY_OPS = ["camd", "colamd", "symamd", "ccolamd", "maxtrans", "strongcomp", "btf", "spqr_r",
            "spqr_householder", "spqr_solve", "factor", "factor_numeric", "solve_1", "qmult", "copy"]


def _switch(on):
    import ferrow

    ferrow.release_gil(on)


def _solve_problems():
    """Two independent least-squares problems whose spqr_solve takes about 0.3 s."""
    out = []
    for seed in (11, 12):
        A = cases.banded_least_squares(*SOLVE_SHAPE, seed=seed)
        out.append((A, np.random.default_rng(seed).standard_normal(A.shape[0])))
    return out


def _in_threads(calls):
    """Wall time of running every call in a thread of its own, all started together."""
    start = threading.Barrier(len(calls) + 1)
    errors = []

    def run(call):
        start.wait()
        try:
            call()
        except BaseException as exc:  # reported after the join, never hidden
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(c,)) for c in calls]
    for t in threads:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - t0
    if errors:
        raise errors[0]
    return elapsed


def _speedup(calls, rounds):
    """Median wall times of the calls one after the other and in threads of their own."""
    seq, par = [], []
    for _ in range(rounds):
        t0 = time.perf_counter()
        for c in calls:
            c()
        seq.append(time.perf_counter() - t0)
        par.append(_in_threads(calls))
    return statistics.median(seq), statistics.median(par)


def machine_speedup(rounds=3):
    """What two threads give on this machine now: NumPy's sort, which runs without the
    interpreter lock, on two arrays of about the solves' duration. Another program
    busy on a core shows here first."""
    arrays = [np.random.default_rng(k).random(4_000_000) for k in range(2)]
    calls = [lambda a=a: np.sort(a) for a in arrays]
    for c in calls:
        c()
    s, p = _speedup(calls, rounds)
    return {"sequential": s, "threads": p, "speedup": s / p}


def _switch_speedups(calls, same, rounds):
    """Sequential and threaded wall times of `calls`, switch off and on; every answer the
    threads give must pass `same` (against the answers of a first, warm-up run)."""
    ref = [c() for c in calls]
    out = {}
    for on in (False, True):
        _switch(on)
        got = []
        s, p = _speedup([lambda c=c: got.append(c()) for c in calls], rounds)
        _switch(False)
        assert len(got) == 2 * len(calls) * rounds and all(any(same(g, r) for r in ref) for g in got)
        out["on" if on else "off"] = {"single": s / len(calls), "sequential": s, "threads": p,
                                      "speedup": s / p}
    return out


def parallel_solves(rounds=3):
    from ferrow.spqr import spqr_solve

    calls = [lambda A=A, b=b: spqr_solve(A, b) for A, b in _solve_problems()]
    return _switch_speedups(calls, np.allclose, rounds)


_PROCESS_SOLVE = """
import os, sys, time
os.environ["OPENBLAS_NUM_THREADS"] = "1"
sys.path.insert(0, {here!r})
import threads
from ferrow.spqr import spqr_solve
A, b = threads._solve_problems()[{k}]
spqr_solve(A, b)
t0 = time.perf_counter()
spqr_solve(A, b)
print(time.perf_counter() - t0)
"""


def process_solves():
    """The same two solves in two processes at once, without Python threads at all: each
    one's time against its time alone shows what this machine gives for this work (the
    cores' shared floating-point units and memory bandwidth), apart from any lock."""
    import subprocess

    def run(ks):
        procs = [subprocess.Popen([sys.executable, "-c", _PROCESS_SOLVE.format(here=HERE, k=k)],
                                  stdout=subprocess.PIPE, text=True) for k in ks]
        return [float(p.communicate()[0].split()[-1]) for p in procs]

    alone = [run([k])[0] for k in (0, 1)]
    together = run([0, 1])
    return {"alone": sum(alone), "together": max(together), "speedup": sum(alone) / max(together)}


def parallel_orderings(rounds=3):
    """Two COLAMD orderings of a 2-D Laplacian (integer work, no BLAS) in two threads."""
    from ferrow.colamd import colamd
    from ferrow.demos.problems import laplacian_2d

    A = sp.csc_array(laplacian_2d(700))
    return _switch_speedups([lambda: colamd(A), lambda: colamd(A)], np.array_equal, rounds)


def _long_qr():
    from ferrow.demos.problems import laplacian_3d
    from ferrow.spqr import spqr

    A = sp.csc_array(laplacian_3d(QR_GRID), dtype=np.float64)
    return lambda: spqr(A, mode="r")


def stall(rounds=3):
    call = _long_qr()
    call()
    out = {}
    for on in (False, True):
        _switch(on)
        stalls, durations = [], []
        for _ in range(rounds):
            ticks = []
            done = threading.Event()

            def ticker():
                while True:  # the last tick comes after the call, once `done` is set
                    ticks.append(time.perf_counter())
                    if done.is_set():
                        return
                    time.sleep(0.001)

            t = threading.Thread(target=ticker)
            t.start()
            time.sleep(0.02)
            t0 = time.perf_counter()
            call()
            t1 = time.perf_counter()
            done.set()
            t.join()
            # The longest gap between two ticks that overlaps the call.
            stalls.append(max(b - a for a, b in zip(ticks, ticks[1:]) if b > t0 and a < t1))
            durations.append(t1 - t0)
        _switch(False)
        out["on" if on else "off"] = {"call": statistics.median(durations),
                                      "stall": max(stalls), "stalls": stalls}
    return out


def tiny_overhead(rounds=7, number=200):
    case = next(c for c in cases.case_list() if c.name == "tiny")
    case.matrix = case.build()
    data = {"A": case.matrix, **cases.extras(case)}
    out = {}
    for name in TINY_OPS:
        try:
            run, _ = ops.make(name, data)
        except ops.Unavailable as exc:
            out[name] = {"skipped": str(exc)}
            continue
        run()
        samples = {False: [], True: []}
        for r in range(rounds):
            for on in ((False, True) if r % 2 == 0 else (True, False)):
                _switch(on)
                samples[on].append(min(timeit.repeat(run, number=number, repeat=5)) / number)
        _switch(False)
        off, on = min(samples[False]), min(samples[True])
        out[name] = {"off": off, "on": on, "growth_us": (on - off) * 1e6}
    return out


def run_all(say=print):
    """Every measurement; `say` gets one progress line each."""
    res = {"machine": machine_speedup()}
    say(f"NumPy's sort (no lock) in two threads: speedup {res['machine']['speedup']:.2f} "
        "(what two threads give on this machine now)")
    res["solves"] = parallel_solves()
    for k, v in res["solves"].items():
        say(f"two spqr_solve, switch {k:3s}: one {v['single']:.3f} s, sequential "
            f"{v['sequential']:.3f} s, two threads {v['threads']:.3f} s, speedup {v['speedup']:.2f}")
    res["processes"] = process_solves()
    v = res["processes"]
    say(f"the same two solves in two processes: {v['alone']:.3f} s one after the other, "
        f"{v['together']:.3f} s at once, speedup {v['speedup']:.2f} (what the machine gives)")
    res["orderings"] = parallel_orderings()
    for k, v in res["orderings"].items():
        say(f"two colamd, switch {k:3s}: sequential {v['sequential']:.3f} s, two threads "
            f"{v['threads']:.3f} s, speedup {v['speedup']:.2f}")
    res["stall"] = stall()
    for k, v in res["stall"].items():
        say(f"ticking thread, switch {k:3s}: QR {v['call'] * 1e3:.0f} ms, longest stall "
            f"{v['stall'] * 1e3:.1f} ms")
    res["tiny"] = tiny_overhead()
    for name, v in res["tiny"].items():
        if "skipped" in v:
            say(f"{name:17s} not measured: {v['skipped']}")
        else:
            say(f"{name:17s} off {v['off'] * 1e6:7.2f} µs  on {v['on'] * 1e6:7.2f} µs  "
                f"growth {v['growth_us']:+.2f} µs")
    return res


def goals(res):
    """Goal rows in the form of report.goals: (goal, op, case, measured, limit, passed)."""
    if not res:
        return []
    out = []
    sp_on = res["solves"]["on"]["speedup"]
    out.append(("threads: two solves in two threads, switch on", "spqr_solve", SOLVE_CASE,
                f"{sp_on:.2f}x", f">= {SPEEDUP_GOAL}x", sp_on >= SPEEDUP_GOAL))
    if "orderings" in res:
        o_on = res["orderings"]["on"]["speedup"]
        out.append(("threads: two orderings in two threads, switch on", "colamd",
                    "2-D Laplacian 700^2", f"{o_on:.2f}x", f">= {SPEEDUP_GOAL}x",
                    o_on >= SPEEDUP_GOAL))
    st_on = res["stall"]["on"]["stall"] * 1e3
    out.append(("threads: longest stall of a ticking thread, switch on", "spqr_r", QR_CASE,
                f"{st_on:.1f} ms", f"<= {STALL_GOAL_MS:g} ms", st_on <= STALL_GOAL_MS))
    for name, v in res["tiny"].items():
        if "skipped" not in v:
            out.append(("threads: overhead growth with the switch on", name, "tiny",
                        f"{v['growth_us']:+.2f} µs", f"<= {OVERHEAD_GOAL_US:g} µs",
                        v["growth_us"] <= OVERHEAD_GOAL_US))
    return out


def _table(header, body):
    out = ["| " + " | ".join(header) + " |", "|" + "|".join(" --- " for _ in header) + "|"]
    return out + ["| " + " | ".join(str(c) for c in row) + " |" for row in body]


def markdown(res):
    if not res:
        return []
    md = ["## Threads", "",
          "With the switch on (`ferrow.release_gil(True)`) the library work runs without the "
          "interpreter lock; off (the default), it holds it. One OpenBLAS thread per Python thread.",
          "", f"### Two independent `spqr_solve` calls ({SOLVE_CASE})", ""]
    md += _table(["switch", "one call", "one after the other", "in two threads", "speedup"],
                 [(k, f"{v['single']:.3f} s", f"{v['sequential']:.3f} s", f"{v['threads']:.3f} s",
                   f"{v['speedup']:.2f}") for k, v in res["solves"].items()])
    m = res["machine"]
    md += ["", f"For comparison, NumPy's sort, which runs without the lock, on two arrays: "
           f"{m['sequential']:.3f} s one after the other, {m['threads']:.3f} s in two threads, "
           f"speedup {m['speedup']:.2f} (below 1.6 when another program keeps a core busy)."]
    if "processes" in res:
        v = res["processes"]
        md += ["", f"The same two solves in two processes at once (no Python threads, no lock): "
               f"{v['alone']:.3f} s one after the other, {v['together']:.3f} s together, speedup "
               f"{v['speedup']:.2f}. The threads cannot beat what two processes get from the "
               "machine for this floating-point work."]
    if "orderings" in res:
        md += ["", "### Two COLAMD orderings (2-D Laplacian 700^2, integer work)", ""]
        md += _table(["switch", "one after the other", "in two threads", "speedup"],
                     [(k, f"{v['sequential']:.3f} s", f"{v['threads']:.3f} s", f"{v['speedup']:.2f}")
                      for k, v in res["orderings"].items()])
    md += ["", f"### A Python thread ticking every millisecond during `spqr(A, mode=\"r\")` "
           f"({QR_CASE})", ""]
    md += _table(["switch", "QR call", "longest stall of the ticking thread"],
                 [(k, f"{v['call'] * 1e3:.0f} ms", f"{v['stall'] * 1e3:.1f} ms")
                  for k, v in res["stall"].items()])
    md += ["", "### Tiny calls (10 x 10), best of the rounds", ""]
    md += _table(["operation", "switch off (µs)", "switch on (µs)", "growth (µs)"],
                 [(f"`{n}`", "-", "-", f"not measured: {v['skipped']}") if "skipped" in v else
                  (f"`{n}`", f"{v['off'] * 1e6:.2f}", f"{v['on'] * 1e6:.2f}", f"{v['growth_us']:+.2f}")
                  for n, v in res["tiny"].items()])
    md.append("")
    return md


def main():
    res = run_all()
    print()
    print("\n".join(markdown(res)))
    for g in goals(res):
        print(f"{'pass ' if g[5] else 'SHORT'}  {g[0]}  {g[1]}: {g[3]} ({g[4]})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
