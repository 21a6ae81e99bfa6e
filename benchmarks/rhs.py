"""Right-hand sides of ``SPQRFactor.solve``: ferrow against itself.

A sparse ``b`` is solved in batches through one reused dense block; these cases show
what that costs next to the dense call on the same columns, and how the layout and the
number of columns of a dense ``b`` change the time:

- ``rhs_tiny``: a 12 x 10 least-squares problem, 4 sparse columns (fixed overhead);
- ``rhs_mid``: the 20000 x 10000 grid problem [L; I] (L the 2-D Laplacian of a 100 x 100
  grid), 200 sparse columns, 10 entries each;
- ``rhs_dense``: the 29800 x 10000 grid problem [Dx; Dy; I] (the gradient of a 100 x 100
  grid and the identity), 1000 dense columns: all at once, in ten calls of 100 columns,
  and C-ordered against Fortran-ordered.

Peak memory of the sparse solve is measured in fresh processes (``python rhs.py probe
NAME``) against the size of its result and the peak of one dense batch.

Each timing is the median of alternating rounds (A, B, B, A, ...), as in bench.py.
"""

from __future__ import annotations

import ctypes
import gc
import json
import os
import statistics
import subprocess
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import scipy.sparse as sp  # noqa: E402

from ferrow.demos.problems import laplacian_2d  # noqa: E402

CASES = ["rhs_tiny", "rhs_mid", "rhs_dense"]
TINY_OVERHEAD_US = 30.0  # sparse b over the dense call, tiny problem
MID_RATIO = 1.10  # sparse b / dense call, mid-size problem
BATCH = 100  # rhs_batch_size (the default)


def _difference(n):
    return sp.diags_array([-np.ones(n - 1), np.ones(n - 1)], offsets=[0, 1], shape=(n - 1, n))


def grid_gradient_problem(n=100):
    """[Dx; Dy; I]: (2 n (n - 1) + n^2) x n^2."""
    D, eye = _difference(n), sp.eye_array(n)
    return sp.csc_array(sp.vstack([sp.kron(eye, D), sp.kron(D, eye), sp.eye_array(n * n)]))


def grid_laplacian_problem(n=100):
    """[L; I]: 2 n^2 x n^2."""
    return sp.csc_array(sp.vstack([laplacian_2d(n), sp.eye_array(n * n)]))


def tiny_problem():
    rng = np.random.default_rng(12)
    A = sp.random_array((12, 10), density=0.25, rng=rng, format="csc") + sp.eye_array(12, 10)
    return sp.csc_array(A)


def sparse_columns(m, k, per_column, seed):
    rng = np.random.default_rng(seed)
    rows = np.concatenate([rng.choice(m, per_column, replace=False) for _ in range(k)])
    cols = np.repeat(np.arange(k), per_column)
    return sp.csc_array((rng.standard_normal(rows.size), (rows, cols)), shape=(m, k))


def _factor(A):
    from ferrow.spqr import spqr_factor
    return spqr_factor(A)


def setup(name):
    """(factor, dict of right-hand sides) of a case."""
    if name == "rhs_tiny":
        A = tiny_problem()
        Bs = sparse_columns(12, 4, 3, seed=1)
        return _factor(A), {"sparse": Bs, "dense": Bs.toarray(order="F")}
    if name == "rhs_mid":
        A = grid_laplacian_problem(100)
        Bs = sparse_columns(A.shape[0], 200, 10, seed=2)
        return _factor(A), {"sparse": Bs, "dense": Bs.toarray(order="F")}
    if name == "rhs_dense":
        A = grid_gradient_problem(100)
        B = np.random.default_rng(3).standard_normal((A.shape[0], 1000))
        return _factor(A), {"F": np.asfortranarray(B), "C": np.ascontiguousarray(B)}
    raise KeyError(name)


def _sample(run, inner):
    gc.disable()
    try:
        t0 = time.perf_counter()
        for _ in range(inner):
            run()
        return (time.perf_counter() - t0) / inner
    finally:
        gc.enable()


def compare(run_a, run_b, budget=1.5):
    """Medians (a, b) and the best runs of two calls timed in alternating rounds."""
    run_a()
    run_b()
    t = _sample(run_a, 1)
    inner = max(1, int(0.02 / max(t, 1e-7))) if t < 1e-3 else 1
    rounds = max(3, min(15, int(budget / max(2 * t * inner, 1e-9))))
    ta, tb = [], []
    for k in range(rounds):
        for side in ((0, 1) if k % 2 == 0 else (1, 0)):
            (ta if side == 0 else tb).append(_sample(run_a if side == 0 else run_b, inner))
    med = statistics.median
    return {"a": med(ta), "b": med(tb), "best_a": min(ta), "best_b": min(tb), "rounds": rounds,
            "inner": inner}


def timings(names):
    """Rows: one per comparison."""
    rows = []
    for name in names:
        F, rhs = setup(name)
        if name in ("rhs_tiny", "rhs_mid"):
            Bs, Bd = rhs["sparse"], rhs["dense"]
            xs, xd = F.solve(Bs), F.solve(Bd)
            same = bool(np.allclose(xs.toarray(), xd, rtol=1e-12, atol=1e-14 * np.abs(xd).max()))
            r = compare(lambda: F.solve(Bs), lambda: F.solve(Bd))
            rows.append({"case": name, "what": f"F.solve(B), B sparse, {Bs.shape[1]} columns",
                         "against": "F.solve(B.toarray())", "same": same,
                         "shape": F.shape, **r})
        else:
            BF, BC = rhs["F"], rhs["C"]
            K = BF.shape[1]
            xF = F.solve(BF, rhs_batch_size=K)
            same = bool(np.allclose(F.solve(BF), xF, rtol=1e-12, atol=0))
            r = compare(lambda: F.solve(BF, rhs_batch_size=K), lambda: F.solve(BF))
            rows.append({"case": name, "what": f"F.solve(B, rhs_batch_size={K}), one call",
                         "against": f"F.solve(B), batches of {BATCH}", "same": same,
                         "shape": F.shape, **r})
            for batch in (K, BATCH):
                same = bool(np.array_equal(F.solve(BC, rhs_batch_size=batch),
                                           F.solve(BF, rhs_batch_size=batch)))
                r = compare(lambda: F.solve(BC, rhs_batch_size=batch),
                            lambda: F.solve(BF, rhs_batch_size=batch))
                rows.append({"case": name, "what": f"B C-ordered, rhs_batch_size={batch}",
                             "against": "B Fortran-ordered, the same", "same": same,
                             "shape": F.shape, **r})
        del F, rhs
        gc.collect()
    return rows


#------------------------------------------------------------------------------
# Peak memory, in fresh processes
#------------------------------------------------------------------------------


def _status_kib(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise RuntimeError(key)


def probe(what):
    """Peak growth of one call on rhs_mid: 'sparse' (all 200 columns) or 'batch' (the
    first BATCH columns made dense and solved). Prints one JSON line."""
    F, rhs = setup("rhs_mid")
    Bs = rhs["sparse"]
    F.solve(Bs[:, :2])  # warm up
    if what == "sparse":
        def run():
            return F.solve(Bs, rhs_batch_size=BATCH)
    else:
        first = Bs[:, :BATCH]

        def run():  # one batch made dense and solved
            return F.solve(first.toarray(order="F"))
    del rhs
    gc.collect()
    ctypes.CDLL(None).malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    rss0 = _status_kib("VmRSS")
    x = run()
    hwm = _status_kib("VmHWM")
    size = (x.data.nbytes + x.indices.nbytes + x.indptr.nbytes) if sp.issparse(x) else x.nbytes
    print(json.dumps({"delta_kib": hwm - rss0, "result_kib": size / 1024}))


def memory():
    out = {}
    for what in ("sparse", "batch"):
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "probe", what],
                              capture_output=True, text=True)
        try:
            out[what] = json.loads(proc.stdout.strip().splitlines()[-1])
        except (IndexError, json.JSONDecodeError):
            out["error"] = (proc.stderr or proc.stdout).strip()[-300:]
            return out
    s, b = out["sparse"], out["batch"]
    out["beyond_result_kib"] = s["delta_kib"] - s["result_kib"]
    out["batch_kib"] = b["delta_kib"]
    return out


#------------------------------------------------------------------------------
# Goals and text
#------------------------------------------------------------------------------


def goals(rows, mem):
    out = []
    for r in rows:
        if r["case"] == "rhs_tiny":
            over = (r["a"] - r["b"]) * 1e6
            out.append(("sparse b: time over the dense call, tiny", "solve_sparse", r["case"],
                        f"{over:.1f} µs", f"<= {TINY_OVERHEAD_US:g} µs", over <= TINY_OVERHEAD_US))
        elif r["case"] == "rhs_mid":
            ratio = r["a"] / r["b"]
            out.append(("sparse b: time vs the dense call, mid-size", "solve_sparse", r["case"],
                        f"{ratio:.3f}x", f"<= {MID_RATIO:g}x", ratio <= MID_RATIO,
                        f"{r['best_a'] / r['best_b']:.3f}x"))
    if mem and "beyond_result_kib" in mem:
        beyond, batch = mem["beyond_result_kib"], mem["batch_kib"]
        out.append(("sparse b: peak memory beyond the result", "solve_sparse", "rhs_mid",
                    f"{beyond / 1024:.1f} MiB", f"<= one dense batch, {batch / 1024:.1f} MiB",
                    beyond <= batch))
    return out


def fmt(s):
    return f"{s * 1e6:.1f} µs" if s < 1e-3 else f"{s * 1e3:.2f} ms" if s < 1 else f"{s:.2f} s"


def line(r):
    return (f"{r['case']:10s} {r['what']:42s} {fmt(r['a']):>10s}  vs {r['against']:30s}"
            f" {fmt(r['b']):>10s}  ratio {r['a'] / r['b']:.3f} (best {r['best_a'] / r['best_b']:.3f})"
            f"  same result: {'yes' if r['same'] else 'NO'}  ({r['rounds']}x{r['inner']})")


def memory_text(mem):
    if "error" in mem:
        return f"peak memory: failed: {mem['error']}"
    s = mem["sparse"]
    return (f"peak memory, rhs_mid, 200 sparse columns in batches of {BATCH}: "
            f"{s['delta_kib'] / 1024:.1f} MiB, of which the result {s['result_kib'] / 1024:.1f} MiB; "
            f"one batch of {BATCH} columns made dense and solved: {mem['batch_kib'] / 1024:.1f} MiB")


def markdown(rows, mem):
    md = ["## Right-hand sides of solve (ferrow against itself)", "",
          "A sparse `b` against the dense call on the same columns, a C-ordered dense `b` against "
          "a Fortran-ordered one, and 1000 dense columns in one call against ten calls of 100.",
          "`rhs_tiny` is a 12 x 10 problem; `rhs_mid` the 20000 x 10000 grid problem [L; I]; "
          "`rhs_dense` the 29800 x 10000 grid problem [Dx; Dy; I].", "",
          "| case | call | time | against | time | ratio | ratio of best runs | same result |",
          "| --- | --- | --- | --- | --- | --- | --- | --- |"]
    for r in rows:
        md.append(f"| {r['case']} | `{r['what']}` | {fmt(r['a'])} | `{r['against']}` | {fmt(r['b'])} | "
                  f"{r['a'] / r['b']:.3f} | {r['best_a'] / r['best_b']:.3f} | "
                  f"{'yes' if r['same'] else '**no**'} |")
    if mem:
        md += ["", memory_text(mem) + "."]
    return md + [""]


def run_all(names, memory_too=True, say=print):
    rows = []
    for name in names:
        for r in timings([name]):
            rows.append(r)
            say(line(r))
    mem = None
    if memory_too and "rhs_mid" in names:
        mem = memory()
        say(memory_text(mem))
    return rows, mem


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "probe":
        probe(sys.argv[2])
    else:
        names = sys.argv[1:] or CASES
        rows, mem = run_all(names)
        for g in goals(rows, mem):
            print(("pass " if g[5] else "SHORT"), *g[:5])
