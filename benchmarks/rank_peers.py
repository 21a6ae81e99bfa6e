"""Problems where the choice of least-squares solver matters, and what a SciPy user
would reach for instead: rank-deficient and ill-conditioned sparse matrices, many
right-hand sides, null spaces, and Q as an operator.

Rows have the form of peers.py (``what``, ``case``, ``ferrow``, ``peer``, ``ferrow_s``,
``peer_s``, ``result``); `run_all` is called by peers.run_all and runs on its own as
``python benchmarks/rank_peers.py [--only NAME ...]``.

Accuracy is measured against a known answer: consistent systems ``b = A x_true`` for the
full-rank ill-conditioned problems (the digits of x each method keeps), and the
minimum-norm solution for the rank-deficient ones (LSQR from a zero start converges to
it). Iterative solvers run to the QR residual or to their iteration limit, reported as
not converged.
"""

from __future__ import annotations

import os
import warnings

if __name__ == "__main__":
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # before NumPy loads its BLAS

import numpy as np
import scipy.linalg
import scipy.sparse as sp
import scipy.sparse.linalg as spla

from peers import DENSE_LIMIT_BYTES, line, timed

from ferrow.demos.rank_problems import (bspline_gaps, gradient_2d, scaled_gradient,
                                        with_dependent_columns)

ITER_LIMIT = 20000  # at most this many LSQR/LSMR iterations (and at most 10 N)


def _quiet(fn):
    def run():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return fn()
    return run


def _rel(x, ref):
    return float(np.linalg.norm(x - ref) / max(np.linalg.norm(ref), 1e-300))


def _digits(err):
    return f"{-np.log10(max(err, 1e-17)):.1f} digits"


def _iterative(solver, A, b, r_target):
    """LSQR/LSMR from a zero start with tightening tolerances until the residual norm
    reaches r_target (to 1e-9 relative, 1e-12 of ||b|| absolute: a consistent system's
    QR residual is rounding) or the iteration limit stops it. Returns the time, x, the
    iterations, the tolerance, the residual norm and a word on how it ended."""
    limit = min(ITER_LIMIT, 10 * A.shape[1])
    for tol in (1e-10, 1e-12, 1e-14):
        kw = {"atol": tol, "btol": tol}
        kw["iter_lim" if solver is spla.lsqr else "maxiter"] = limit
        t, out = timed(lambda: solver(A, b, **kw), budget=1.0, most=2)
        x, itn = out[0], out[2]
        r = float(np.linalg.norm(A @ x - b))
        if r <= r_target * (1 + 1e-9) + 1e-12 * np.linalg.norm(b):
            return t, x, itn, tol, r, f"reached it in {itn} iterations"
        if itn >= limit:
            return t, x, itn, tol, r, f"NOT converged: iteration limit {limit}"
    return t, x, itn, tol, r, f"NOT converged: stopped by atol=btol=1e-14 after {itn} iterations"


def _iterative_rows(what, case, A, b, ours, x_ours, t_ours, x_ref, ref_name):
    r_qr = float(np.linalg.norm(A @ x_ours - b))
    rows = []
    for solver in (spla.lsqr, spla.lsmr):
        t, x, itn, tol, r, state = _iterative(solver, A, b, r_qr)
        rows.append({"what": what, "case": case, "ferrow": ours,
                     "peer": f"sparse.linalg.{solver.__name__}(A, b, atol=btol={tol:g})",
                     "ferrow_s": t_ours, "peer_s": t,
                     "result": f"‖r‖ {r:.6g} vs QR {r_qr:.6g}: {state}; error vs {ref_name}: "
                               f"ferrow {_rel(x_ours, x_ref):.1e}, peer {_rel(x, x_ref):.1e}"})
    return rows


def _normal_equations(what, case, A, b, ours, x_ours, t_ours, x_true):
    def solve():
        AtA = sp.csc_array(A.T @ A)
        return spla.splu(AtA).solve(A.T @ b)

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            t, x = timed(solve, budget=2.0, most=3)
        ok = np.all(np.isfinite(x))
        res = (f"error ferrow {_rel(x_ours, x_true):.1e} ({_digits(_rel(x_ours, x_true))}), "
               f"normal equations {_rel(x, x_true):.1e} ({_digits(_rel(x, x_true))})"
               if ok else "normal equations: non-finite solution (A^T A singular)")
    except RuntimeError as exc:
        t, res = None, f"normal equations fail: {exc}"
    return [{"what": what, "case": case, "ferrow": ours, "peer": "splu(A^T A).solve(A^T b)",
             "ferrow_s": t_ours, "peer_s": t, "result": res}]


def ill_conditioned(n, cond):
    """Full rank, condition about `cond`: basic = minimum-norm solution; b = A x_true."""
    from ferrow.spqr import spqr_factor, spqr_solve

    A = scaled_gradient(n, cond)
    case = f"grad{n}² κ≈1e{int(np.log10(cond))}"
    x_true = np.random.default_rng(1).standard_normal(A.shape[1])
    b = A @ x_true
    t, x = timed(_quiet(lambda: spqr_solve(A, b)), budget=3.0, most=3)
    ours = "spqr_solve(A, b)"
    rank = spqr_factor(A).rank
    t0, x0 = timed(_quiet(lambda: spqr_factor(A, tol=0).solve(b)), budget=3.0, most=3)
    rows = [{"what": "ill-conditioned LS", "case": case, "ferrow": ours,
             "peer": "spqr_factor(A, tol=0).solve(b)", "ferrow_s": t, "peer_s": t0,
             "result": f"{A.shape[0]} x {A.shape[1]}, rank found {rank} (default tol); error vs "
                       f"x_true {_rel(x, x_true):.1e} ({_digits(_rel(x, x_true))}), with tol=0 "
                       f"{_rel(x0, x_true):.1e} ({_digits(_rel(x0, x_true))})"}]
    rows += _iterative_rows("ill-conditioned LS", case, A, b, ours, x, t, x_true, "x_true")
    rows += _normal_equations("ill-conditioned LS", case, A, b, ours, x, t, x_true)
    return rows


def rank_deficient(name, A, b):
    """spqr_pinv against LSQR/LSMR (zero start: the minimum-norm solution), the basic
    solution, and dense pinv/lstsq where they fit."""
    from ferrow.spqr import spqr_pinv, spqr_solve

    t, (x, info) = timed(lambda: spqr_pinv(A, b, return_info=True), budget=3.0, most=3)
    ours = "spqr_pinv(A, b)"
    M, N = A.shape
    tb, xb = timed(_quiet(lambda: spqr_solve(A, b)), budget=3.0, most=3)
    rows = [{"what": "rank-deficient LS", "case": name, "ferrow": ours,
             "peer": "spqr_solve(A, b) (basic)", "ferrow_s": t, "peer_s": tb,
             "result": f"{M} x {N}, rank {info.rank_A_estimate}; ‖x_pinv‖ {np.linalg.norm(x):.6g}, "
                       f"‖x_basic‖ {np.linalg.norm(xb):.6g}; ‖r‖ "
                       f"{np.linalg.norm(A @ x - b):.6g} vs {np.linalg.norm(A @ xb - b):.6g}"}]
    if M * N * 8 <= DENSE_LIMIT_BYTES // 4:
        D = A.toarray()
        tp, P = timed(lambda: np.linalg.pinv(D) @ b, budget=5.0, most=1)
        tl, out = timed(lambda: scipy.linalg.lstsq(D, b, lapack_driver="gelsd"), budget=5.0, most=1)
        rows.append({"what": "rank-deficient LS", "case": name, "ferrow": ours,
                     "peer": "numpy.linalg.pinv(A.toarray()) @ b", "ferrow_s": t, "peer_s": tp,
                     "result": f"‖x − x_svd‖ / ‖x_svd‖ = {_rel(x, P):.1e} (toarray not timed)"})
        rows.append({"what": "rank-deficient LS", "case": name, "ferrow": ours,
                     "peer": "scipy.linalg.lstsq(A.toarray(), b) (gelsd, default cond)", "ferrow_s": t,
                     "peer_s": tl, "result": f"‖x − x_gelsd‖ / ‖x_gelsd‖ = {_rel(x, out[0]):.1e}"})
        x_ref, ref_name = P, "pinv"
    else:
        x_ref, ref_name = x, "spqr_pinv"
    rows += _iterative_rows("rank-deficient LS", name, A, b, ours, x, t, x_ref, ref_name)
    return rows


def null_space(name, A):
    from ferrow.spqr import spqr_null

    t, N = timed(lambda: spqr_null(A), budget=3.0, most=3)
    te, Z = timed(lambda: spqr_null(A, explicit=True), budget=3.0, most=3)
    res = f"{A.shape[0]} x {A.shape[1]}: null space of dimension {N.shape[1]}, ‖A N‖ " \
          f"{np.linalg.norm(A @ Z):.1e}"
    rows = [{"what": "null space", "case": name, "ferrow": "spqr_null(A)",
             "peer": 'spqr_null(A, explicit=True)', "ferrow_s": t, "peer_s": te, "result": res}]
    if A.shape[0] * A.shape[1] * 8 <= DENSE_LIMIT_BYTES // 4:
        D = A.toarray()
        tp, ref = timed(lambda: scipy.linalg.null_space(D), budget=5.0, most=1)
        same = np.linalg.norm(Z @ Z.T - ref @ ref.T) if ref.shape == Z.shape else float("nan")
        rows.append({"what": "null space", "case": name, "ferrow": "spqr_null(A, explicit=True)",
                     "peer": "scipy.linalg.null_space(A.toarray())", "ferrow_s": te, "peer_s": tp,
                     "result": f"dimension {Z.shape[1]} vs {ref.shape[1]}; ‖P − P_svd‖ {same:.1e}"})
    return rows


def many_rhs(n, cond, k):
    from ferrow.spqr import spqr_factor, spqr_solve

    A = scaled_gradient(n, cond)
    case = f"grad{n}² κ≈1e{int(np.log10(cond))}, {k} rhs"
    X_true = np.random.default_rng(2).standard_normal((A.shape[1], k))
    B = A @ X_true
    t, X = timed(lambda: spqr_solve(A, B), budget=3.0, most=3)

    def iterate():
        return np.column_stack([spla.lsmr(A, B[:, j], atol=1e-12, btol=1e-12,
                                          maxiter=ITER_LIMIT)[0] for j in range(k)])

    tp, Xl = timed(iterate, budget=1.0, most=1)
    return [{"what": "many right-hand sides", "case": case, "ferrow": "spqr_solve(A, B)",
             "peer": "sparse.linalg.lsmr per column (atol=btol=1e-12)", "ferrow_s": t,
             "peer_s": tp, "result": f"error vs X_true: ferrow {_rel(X, X_true):.1e}, "
                                     f"lsmr {_rel(Xl, X_true):.1e}"}]


def q_operator(m, n, k):
    from ferrow.demos.problems import random_least_squares
    from ferrow.spqr import spqr, spqr_factor

    A, _ = random_least_squares(m, n, 0.01)
    F = spqr_factor(A)
    X = np.random.default_rng(3).standard_normal((m, k))
    t, Y = timed(lambda: F.Q @ X, budget=2.0, most=5)

    def formed():
        Q, _, _ = spqr(A, mode="full")
        return Q @ X

    tp, Y2 = timed(formed, budget=3.0, most=3)
    return [{"what": "Q @ X", "case": f"ls {m}x{n}, {k} cols", "ferrow": "F.Q @ X",
             "peer": 'Q = spqr(A, mode="full")[0]; Q @ X', "ferrow_s": t, "peer_s": tp,
             "result": f"‖Q X‖ {np.linalg.norm(Y):.6g} vs {np.linalg.norm(Y2):.6g} (orderings "
                       "may differ, the norm not)"}]


def plan():
    rng = np.random.default_rng(0)
    g40 = gradient_2d(40)
    g100 = gradient_2d(100)
    g316 = gradient_2d(316)
    spline = bspline_gaps(2000, 20000)
    A_dup = with_dependent_columns(scaled_gradient(100, 1.0), 200)  # full rank, then 200 more
    return [
        ("pinv_grad40", lambda: rank_deficient("grad 40² (rank n−1)", g40,
                                               rng.standard_normal(g40.shape[0]))),
        ("pinv_grad100", lambda: rank_deficient("grad 100²", g100,
                                                rng.standard_normal(g100.shape[0]))),
        ("pinv_grad316", lambda: rank_deficient("grad 316² (10⁵ cols)", g316,
                                                rng.standard_normal(g316.shape[0]))),
        ("pinv_spline", lambda: rank_deficient("B-spline 2000, gaps", spline,
                                               rng.standard_normal(spline.shape[0]))),
        ("pinv_dup", lambda: rank_deficient("grad 100² + 200 dup./summed cols", A_dup,
                                            rng.standard_normal(A_dup.shape[0]))),
        ("null_grad40", lambda: null_space("grad 40²", g40)),
        ("null_spline", lambda: null_space("B-spline 2000, gaps", spline)),
        ("ill_1e6", lambda: ill_conditioned(100, 1e6)),
        ("ill_1e10", lambda: ill_conditioned(100, 1e10)),
        ("many_rhs", lambda: many_rhs(100, 1e6, 20)),
        ("q_operator", lambda: q_operator(4000, 500, 10)),
    ]


def run_all(say, only=None):
    rows = []
    for name, fn in plan():
        if only and name not in only:
            continue
        try:
            new = fn()
        except Exception as exc:  # reported, never hidden
            new = [{"what": name, "case": name, "skipped": f"{type(exc).__name__}: {exc}"}]
        for row in new:
            rows.append(row)
            say(line(row))
    return rows


if __name__ == "__main__":
    import argparse

    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--only", nargs="*", help="only these problems (names of plan())")
    ap.add_argument("--out", help="also write the rows to this Markdown file")
    args = ap.parse_args()
    rows = run_all(lambda s: print(s, flush=True), args.only)
    if args.out:
        load = os.getloadavg()[0]
        with open(args.out, "w") as f:
            f.write("# Rank-deficient and ill-conditioned problems (benchmarks/rank_peers.py)\n\n"
                    f"One BLAS thread; 1-minute load average {load:.1f} at the end (other "
                    "processes shared the two cores, so times are noisy). Times are medians of "
                    "up to a few runs; ferrow's time is repeated on each row of its problem.\n\n")
            f.write("| task | case | ferrow | time | peer | time | result |\n|---|---|---|---|---|---|---|\n")
            for r in rows:
                if "skipped" in r:
                    f.write(f"| {r['what']} | {r['case']} | | | | | not measured: {r['skipped']} |\n")
                    continue
                pt = "-" if r["peer_s"] is None else f"{r['peer_s']:.4g} s"
                f.write(f"| {r['what']} | {r['case']} | `{r['ferrow']}` | {r['ferrow_s']:.4g} s | "
                        f"`{r['peer']}` | {pt} | {r['result']} |\n")
