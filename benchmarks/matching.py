"""Maximum matching: the methods of ferrow.btf.maxtrans against SciPy's
csgraph.maximum_bipartite_matching (Hopcroft-Karp) on matrices of 10^4 to 10^6 columns,
five entries per column: random structurally singular, random with a full diagonal and
the rows permuted, banded, the 2-D Laplacian, and planted block triangular with rows and
columns permuted.

The library's depth-first search is quadratic on some of these, so every measurement
runs in a forked process that is stopped after a time limit. Run on its own with
``.venv/bin/python benchmarks/matching.py [--sizes 10000 100000] [--limit 30]``;
``make bench`` runs it too (``--no-matching`` skips it).
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import statistics
import sys
import time

import numpy as np
import scipy.sparse as sp
from scipy.sparse.csgraph import maximum_bipartite_matching

from ferrow.demos.problems import laplacian_2d, reducible

SIZES = [10_000, 100_000, 1_000_000]
METHODS = ["library", "hopcroft-karp", "pothen-fan", "push-relabel", "auto"]
PER_COL = 5


def _csc32(A):
    A = sp.csc_array(A)
    A.sum_duplicates()
    A.indptr = A.indptr.astype(np.int32)
    A.indices = A.indices.astype(np.int32)
    return A


def random_singular(n, seed):
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, n, size=n * PER_COL)
    cols = np.repeat(np.arange(n), PER_COL)
    return _csc32(sp.coo_array((np.ones(rows.size), (rows, cols)), shape=(n, n)))


def permuted_diagonal(n, seed):
    rng = np.random.default_rng(seed)
    rows = np.concatenate([rng.integers(0, n, size=n * (PER_COL - 1)), np.arange(n)])
    cols = np.concatenate([np.repeat(np.arange(n), PER_COL - 1), np.arange(n)])
    rows = rng.permutation(n)[rows]
    return _csc32(sp.coo_array((np.ones(rows.size), (rows, cols)), shape=(n, n)))


def banded(n, seed):
    offsets = range(-(PER_COL // 2), PER_COL // 2 + 1)
    return _csc32(sp.diags_array([np.ones(n - abs(k)) for k in offsets], offsets=list(offsets)))


def laplacian(n, seed):
    return _csc32(laplacian_2d(int(round(np.sqrt(n)))))


def planted(n, seed):
    rng = np.random.default_rng(seed)
    sizes = []
    while sum(sizes) < n:
        sizes.append(int(min(n - sum(sizes), rng.integers(1, 200))))
    return _csc32(reducible(sizes, coupling=2.0, seed=seed))


CASES = [
    ("random singular", random_singular),
    ("random, diagonal, rows permuted", permuted_diagonal),
    ("banded", banded),
    ("2-D Laplacian", laplacian),
    ("planted blocks, permuted", planted),
]


def _call(A, method):
    if method == "scipy":
        m = maximum_bipartite_matching(A, perm_type="column")
    else:
        from ferrow.btf import maxtrans
        m = maxtrans(A, method=method)
    return int(np.count_nonzero(m >= 0))


def _child(A, method, budget, conn):
    times = []
    while True:
        t0 = time.perf_counter()
        matched = _call(A, method)
        times.append(time.perf_counter() - t0)
        if len(times) >= 5 or sum(times) + times[-1] > budget:
            break
    conn.send((statistics.median(times), matched))
    conn.close()


def measure(A, method, limit, budget=2.0):
    """Median seconds and matched rows of one method on A, in a forked process; None
    for the time when the limit passed first."""
    ctx = mp.get_context("fork")
    here, there = ctx.Pipe(duplex=False)
    proc = ctx.Process(target=_child, args=(A, method, budget, there))
    proc.start()
    there.close()
    if here.poll(limit):
        t, matched = here.recv()
        proc.join()
        return t, matched
    proc.kill()
    proc.join()
    return None, None


def run(say, sizes=SIZES, limit=30.0):
    rows = []
    for n in sizes:
        for name, build in CASES:
            A = build(n, seed=n % 997)
            row = {"case": name, "n": A.shape[1], "nnz": int(A.nnz), "limit": limit}
            for method in METHODS + ["scipy"]:
                row[method], row[method + "_matched"] = measure(A, method, limit)
            rows.append(row)
            say(line(row))
    return rows


def _t(x, limit):
    return f"> {limit:.0f} s" if x is None else f"{x:.4g} s"


def line(row):
    lim = row["limit"]
    parts = [f"{m} {_t(row[m], lim)}" for m in METHODS + ["scipy"]]
    return f"{row['case']:32s} n={row['n']:<8d} " + ", ".join(parts) + f"; {verdict(row)}"


def verdict(row):
    """Whether every method matched as many rows as SciPy, and the two goals: the best
    method at least as fast as SciPy; "auto" within 1.2 x the fastest of the others."""
    counts = {row[m + "_matched"] for m in METHODS + ["scipy"] if row[m] is not None}
    if not counts:
        return "no method finished in time"
    notes = ["same size of matching" if len(counts) == 1 else f"**sizes differ: {sorted(counts)}**"]
    known = [row[m] for m in METHODS if row[m] is not None]
    if row["scipy"] is not None and known:
        notes.append(f"best / SciPy {min(known) / row['scipy']:.2f}")
    others = [row[m] for m in METHODS if m != "auto"]
    if row["auto"] is not None:
        fastest = min((t for t in others if t is not None), default=None)
        if fastest is not None:
            notes.append(f"auto / fastest other {row['auto'] / fastest:.2f}")
    return "; ".join(notes)


def markdown(rows):
    if not rows:
        return []
    lim = rows[0]["limit"]
    md = ["## Maximum matching by method", "",
          "`maxtrans(A, method=...)` against `csgraph.maximum_bipartite_matching(A, "
          f'perm_type="column")`, five entries per column, medians of up to five runs; a run '
          f"that passes {lim:.0f} s is stopped.", ""]
    head = ["case", "n", "nnz", *METHODS, "SciPy", "result"]
    body = [(r["case"], f"{r['n']:,}", f"{r['nnz']:,}", *[_t(r[m], lim) for m in METHODS],
             _t(r["scipy"], lim), verdict(r)) for r in rows]
    md.append("| " + " | ".join(head) + " |")
    md.append("|" + "---|" * len(head))
    md += ["| " + " | ".join(str(c) for c in b) + " |" for b in body]
    return md + [""]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", nargs="*", type=int, default=SIZES)
    ap.add_argument("--limit", type=float, default=30.0, help="seconds before a run is stopped")
    args = ap.parse_args(argv)
    rows = run(lambda s: print(s, flush=True), args.sizes, args.limit)
    print("\n".join(markdown(rows)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
