"""Sparse QR: what the fill-reducing orderings buy, and a least-squares solve with Q kept
in Householder form."""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import spsolve_triangular

from ferrow.demos import table, timed
from ferrow.demos.problems import grid_least_squares, random_least_squares
from ferrow.spqr import spqr, spqr_qmult

TITLE = "SPQR: sparse QR, orderings and least squares"

ORDERINGS = ["default", "fixed", "natural", "colamd", "cholmod", "amd", "metis", "best", "bestamd"]


def rank_of(R):
    """The rank SuiteSparseQR found: its R has one nonzero row per independent column."""
    return int(np.count_nonzero(np.diff(sp.csr_array(R).indptr)))


def run(out):
    # 1. Every ordering on a smoothing problem over a 100 x 100 grid.
    n = 100
    A, _ = grid_least_squares(n)
    M, N = A.shape
    out.write(f"Smoothing on a {n} x {n} grid: A is {M:,} x {N:,} with {A.nnz:,} entries\n\n")
    spqr(A[:, :100], mode="r")  # the first call pays for loading the libraries
    rows = []
    for order in ORDERINGS:
        (R, E), secs = timed(spqr, A, mode="r", order=order, repeat=1)
        rows.append([order, f"{R.nnz:,}", f"{secs * 1e3:.0f}", f"{rank_of(R):,}",
                     "none (identity)" if E is None else "returned"])
    table(out, ["order", "nnz(R)", "time [ms]", "rank", "E"], rows)

    # 2. A least-squares problem of 300,000 rows with three dependent columns.
    m, k = 300_000, 100_000
    A, b = random_least_squares(m, k, 0.45 / k)
    W = sp.csc_array(np.array([[1.0, 0, 2], [0, 1, -1], [3, 1, 0]]))
    A = sp.csc_array(sp.hstack([A, A[:, :3] @ W]))
    N = A.shape[1]
    out.write(f"\nLeast squares: A is {m:,} x {N:,} with {A.nnz:,} entries; "
              f"its last 3 columns combine the first 3\n")
    (house, R, E), secs = timed(spqr, A, mode="householder", repeat=1)
    r = rank_of(R)
    out.write(f"  spqr(A, mode='householder'): {secs:.2f} s, nnz(R) = {R.nnz:,}, "
              f"nnz(H) = {house.H.nnz:,}, rank found = {r:,} of {N:,} columns\n")
    # Basic solution: x[E[:r]] = R11 \ (Q^T b)[:r], the dependent columns set to zero.
    c, qsecs = timed(spqr_qmult, house, b, "QTX", repeat=1)
    R11 = sp.csr_array(R[:r, :r])
    x = np.zeros(N)
    x[E[:r]] = spsolve_triangular(R11, c[:r], lower=False)
    res = b - A @ x
    opt = np.linalg.norm(A.T @ res) / (sp.linalg.norm(A) * np.linalg.norm(res))
    out.write(f"  Q^T b with spqr_qmult: {qsecs * 1e3:.0f} ms; ||b - A x|| = {np.linalg.norm(res):.4f}"
              f" = ||(Q^T b)[r:]|| = {np.linalg.norm(c[r:]):.4f}\n")
    out.write(f"  optimality ||A^T r|| / (||A|| ||r||) = {opt:.1e}\n")
