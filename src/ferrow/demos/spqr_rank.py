"""A rank-deficient problem solved both ways (basic and pseudoinverse), with its null space."""

from __future__ import annotations

import warnings

import numpy as np

from ferrow.demos import table, timed
from ferrow.demos.rank_problems import gradient_2d
from ferrow.spqr import SPQRRankDeficiencyWarning, spqr_factor, spqr_null, spqr_pinv, spqr_solve

TITLE = "SPQR and rank: basic and minimum-norm solutions, null space, Q as an operator"

GRID = 40  # the gradient of a 40 x 40 grid: 3120 x 1600, rank 1599


def run(out):
    G = gradient_2d(GRID)
    m, n = G.shape
    # "measured" differences: the gradient of a smooth field plus noise
    rng = np.random.default_rng(0)
    u = np.sin(np.linspace(0, 3, n)) + 2.0
    b = G @ u + 1e-3 * rng.standard_normal(m)
    out.write(f"G: the finite-difference gradient of a {GRID} x {GRID} grid, {m} x {n}, "
              f"{G.nnz} entries.\nG x = b has many least-squares solutions: adding a constant "
              "to x changes nothing.\n\n")

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SPQRRankDeficiencyWarning)
        x_basic, t_basic = timed(spqr_solve, G, b)
    (x_pinv, info), t_pinv = timed(spqr_pinv, G, b, return_info=True)
    (N, ninfo), t_null = timed(spqr_null, G, return_info=True)

    res = lambda x: np.linalg.norm(G @ x - b)
    table(out, ["solution", "||G x - b||", "||x||", "mean(x)", "time [ms]"], [
        ["basic: spqr_solve(G, b)", f"{res(x_basic):.6e}", f"{np.linalg.norm(x_basic):.4f}",
         f"{x_basic.mean():+.4f}", f"{t_basic * 1e3:.1f}"],
        ["minimum norm: spqr_pinv(G, b)", f"{res(x_pinv):.6e}", f"{np.linalg.norm(x_pinv):.4f}",
         f"{x_pinv.mean():+.1e}", f"{t_pinv * 1e3:.1f}"],
    ])
    out.write(f"\n  rank found: {info.rank_A_estimate} of {n} (tolerance {info.tol:.2e}); both "
              "solutions have the same residual.\n  The basic one puts a zero where the "
              "dependent column was dropped; the minimum-norm one has mean zero.\n\n")

    z = N @ np.ones(N.shape[1])
    const = np.full(n, 1 / np.sqrt(n))
    out.write(f"  spqr_null(G): an operator of shape {N.shape}, rank {ninfo.rank_A_estimate}, "
              f"in {t_null * 1e3:.1f} ms\n")
    out.write(f"  its column is +-1/sqrt(n) everywhere: "
              f"||N e - c|| = {min(np.linalg.norm(z - const), np.linalg.norm(z + const)):.1e}, "
              f"||G N e|| = {np.linalg.norm(G @ z):.1e}\n")
    t = (N.H @ x_basic)[0]
    out.write(f"  x_basic - N (N^H x_basic) equals x_pinv to "
              f"{np.linalg.norm(x_basic - z * t - x_pinv) / np.linalg.norm(x_pinv):.1e} "
              "(relative)\n\n")

    F = spqr_factor(G)
    X = rng.standard_normal((m, 4))
    Y, t_op = timed(lambda: F.Q.H @ X)
    out.write(f"  F.Q: Q of spqr_factor(G) as a {F.Q.shape[0]} x {F.Q.shape[1]} LinearOperator; "
              f"F.Q.H @ X for 4 columns in {t_op * 1e3:.2f} ms, "
              f"||X|| - ||Q^H X|| = {np.linalg.norm(X) - np.linalg.norm(Y):.1e}\n")
