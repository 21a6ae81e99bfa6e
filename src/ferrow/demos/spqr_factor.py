"""One analysis, many factorisations: what a reusable SPQR factor saves."""

from __future__ import annotations

import time

import numpy as np
import scipy.sparse as sp

from ferrow.demos import table
from ferrow.demos.problems import laplacian_2d
from ferrow.spqr import SPQRFactor, spqr_solve

TITLE = "SPQR factor: analyse once, refactorise a sequence of matrices of one pattern, solve"

GRID = 60  # a 2-D grid problem: 3600 unknowns
COUNT = 8  # matrices in the sequence


def sequence(count, seed=0):
    """Overdetermined systems of one pattern: a grid operator stacked on a diagonal
    weighting whose values change from step to step (as in a Gauss-Newton iteration)."""
    L = laplacian_2d(GRID)
    n = L.shape[0]
    pattern = sp.csc_array(sp.vstack([L, sp.eye_array(n)], format="csc"))
    weights = pattern.indices >= n  # the entries of the stacked diagonal
    rng = np.random.default_rng(seed)
    for _ in range(count):
        A = pattern.copy()
        A.data = A.data * (1.0 + 0.5 * rng.random(A.nnz))
        A.data[weights] = 0.1 + rng.random(np.count_nonzero(weights))
        yield A, rng.standard_normal(A.shape[0])


def run(out):
    problems = list(sequence(COUNT))
    A0 = problems[0][0]
    out.write(f"A: {A0.shape[0]} x {A0.shape[1]}, {A0.nnz} entries; {COUNT} matrices of one "
              "pattern, one right-hand side each\n\n")

    t0 = time.perf_counter()
    F = SPQRFactor(A0)
    t_analyse = time.perf_counter() - t0
    t_factor = t_solve = 0.0
    reused = []
    for A, b in problems:
        t0 = time.perf_counter()
        F.factorize(A)
        t1 = time.perf_counter()
        reused.append(F.solve(b))
        t2 = time.perf_counter()
        t_factor += t1 - t0
        t_solve += t2 - t1

    fresh = []
    t0 = time.perf_counter()
    for A, b in problems:
        fresh.append(spqr_solve(A, b))
    t_fresh = time.perf_counter() - t0

    diff = max(np.linalg.norm(x - y) / np.linalg.norm(y) for x, y in zip(reused, fresh))
    ms = lambda t: f"{t * 1e3 / COUNT:.2f}"
    table(out, ["phase", "time per matrix [ms]"], [
        ["analysis, done once (its share)", ms(t_analyse)],
        ["numeric factorisation", ms(t_factor)],
        ["solve", ms(t_solve)],
        ["reused factor: total", ms(t_analyse + t_factor + t_solve)],
        ["fresh spqr_solve(A, b) each time", ms(t_fresh)],
    ])
    out.write(f"\n  analysis {t_analyse * 1e3:.2f} ms in all; largest relative difference "
              f"between the two solutions: {diff:.1e}\n")
    out.write(f"  {F!r}\n")
