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
COUNT = 5  # matrices in the sequence


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


def best_of(repeat, fn):
    """(result of the last run, best wall time in seconds) of fn() over `repeat` runs."""
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return result, best


def run(out, repeat=3):
    problems = list(sequence(COUNT))
    A0 = problems[0][0]
    out.write(f"A: {A0.shape[0]} x {A0.shape[1]}, {A0.nnz} entries; {COUNT} matrices of one "
              f"pattern, one right-hand side each; best of {repeat} runs\n\n")

    F, t_analyse = best_of(repeat, lambda: SPQRFactor(A0))
    _, t_factor = best_of(repeat, lambda: [F.factorize(A) for A, _ in problems])
    reused, t_both = best_of(repeat, lambda: [F.factorize(A).solve(b) for A, b in problems])
    t_solve = max(t_both - t_factor, 0.0)
    _, t_fresh_factor = best_of(
        repeat, lambda: [SPQRFactor(A).factorize(A).solve(b) for A, b in problems])
    fresh, t_fresh = best_of(repeat, lambda: [spqr_solve(A, b) for A, b in problems])

    diff = max(np.linalg.norm(x - y) / np.linalg.norm(y) for x, y in zip(reused, fresh))
    ms = lambda t: f"{t * 1e3 / COUNT:.2f}"
    table(out, ["phase", "time per matrix [ms]"], [
        ["analysis, done once (its share)", ms(t_analyse)],
        ["numeric factorisation", ms(t_factor)],
        ["solve", ms(t_solve)],
        ["reused factor: total", ms(t_analyse + t_both)],
        ["fresh SPQRFactor(A).factorize(A).solve(b)", ms(t_fresh_factor)],
        ["fresh spqr_solve(A, b)", ms(t_fresh)],
    ])
    share = t_analyse / (t_analyse + t_both / COUNT)
    out.write(f"\n  one analysis takes {t_analyse * 1e3:.2f} ms, {share:.0%} of analysing, "
              f"factorising and solving one matrix: the share each reuse saves\n")
    out.write(f"  largest relative difference between the two solutions: {diff:.1e}\n")
    out.write(f"  {F!r}\n")
