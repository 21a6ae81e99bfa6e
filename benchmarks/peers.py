"""What a SciPy user would reach for instead, on the same inputs.

Each comparison returns rows of the form
``{"what", "case", "ferrow", "peer", "ferrow_s", "peer_s", "result"}`` (times in
seconds, medians of a few runs); a comparison whose ferrow module is not built
returns a row with ``skipped``.
"""

from __future__ import annotations

import statistics
import time

import numpy as np
import scipy.linalg
import scipy.sparse.linalg as spla
from scipy.sparse.csgraph import connected_components, maximum_bipartite_matching

import cases
import ops

DENSE_LIMIT_BYTES = 400 * 2**20  # dense copies up to this size are "where it fits"


def timed(fn, budget=2.0, most=5):
    """Median time of fn() over up to `most` runs within about `budget` seconds, and
    the last result."""
    times = []
    while True:
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
        if len(times) >= most or sum(times) + times[-1] > budget:
            return statistics.median(times), result


def matching(data, case):
    if (why := ops.unavailable("maxtrans")):
        return [{"what": "maximum matching", "case": case, "skipped": why}]
    from ferrow.btf import maxtrans

    A = data["A"]
    tf, jm = timed(lambda: maxtrans(A))
    tp, pm = timed(lambda: maximum_bipartite_matching(A, perm_type="column"))
    nf, np_ = int((jm >= 0).sum()), int((pm >= 0).sum())
    rows, cols = np.flatnonzero(jm >= 0), jm[jm >= 0]
    valid = bool(np.all(A[rows, cols] != 0))
    res = (f"both match {nf} of {A.shape[0]} rows" if nf == np_
           else f"ferrow matches {nf}, SciPy {np_} of {A.shape[0]} rows")
    if not valid:
        res += "; ferrow's matching uses a zero entry"
    return [{"what": "maximum matching", "case": case, "ferrow": "maxtrans(A)",
             "peer": 'csgraph.maximum_bipartite_matching(A, perm_type="column")',
             "ferrow_s": tf, "peer_s": tp, "result": res}]


def strong_components(data, case):
    if (why := ops.unavailable("strongcomp")):
        return [{"what": "strong components", "case": case, "skipped": why}]
    from ferrow.btf import strongcomp

    A = data["A"]
    tf, (p, r) = timed(lambda: strongcomp(A))
    tp, (n, labels) = timed(lambda: connected_components(A, directed=True, connection="strong"))
    nb = len(r) - 1
    word = "component" if n == 1 else "components"
    res = f"both find {nb} {word}" if nb == n else f"ferrow finds {nb}, SciPy {n} {word}"
    return [{"what": "strong components", "case": case, "ferrow": "strongcomp(A)",
             "peer": 'csgraph.connected_components(A, connection="strong")',
             "ferrow_s": tf, "peer_s": tp, "result": res}]


def _iterative_to_residual(solver, A, b, r_ref):
    """Run lsqr/lsmr with tightening tolerances until its residual norm matches the
    QR solution's to 12 digits; the time of that run and what it reached."""
    for tol in (1e-6, 1e-8, 1e-10, 1e-12, 1e-14):
        kw = {"atol": tol, "btol": tol}
        if solver is spla.lsqr:
            kw["iter_lim"] = 20 * A.shape[1]
        else:
            kw["maxiter"] = 20 * A.shape[1]
        t, out = timed(lambda: solver(A, b, **kw), budget=1.0, most=3)
        x, itn = out[0], out[2]
        r = float(np.linalg.norm(A @ x - b))
        if r <= r_ref * (1 + 1e-12):
            return t, x, itn, tol, r
    return t, x, itn, tol, r


def least_squares(data, case):
    if (why := ops.unavailable("spqr_solve")):
        return [{"what": "least squares", "case": case, "skipped": why}]
    from ferrow.spqr import spqr_solve

    A, b = data["A"], data["b1"]
    M, N = A.shape
    tf, x = timed(lambda: spqr_solve(A, b), budget=3.0, most=3)
    r_qr = float(np.linalg.norm(A @ x - b))
    rows = []
    for solver in (spla.lsqr, spla.lsmr):
        t, xs, itn, tol, r = _iterative_to_residual(solver, A, b, r_qr)
        err = np.linalg.norm(xs - x) / np.linalg.norm(x)
        rows.append({"what": "least squares", "case": case, "ferrow": "spqr_solve(A, b)",
                     "peer": f"sparse.linalg.{solver.__name__}(A, b, atol=btol={tol:g})",
                     "ferrow_s": tf, "peer_s": t,
                     "result": f"‖r‖ {r:.12g} vs {r_qr:.12g} in {itn} iterations; "
                               f"‖x − x_qr‖ / ‖x_qr‖ = {err:.1e}"})
    nbytes = M * N * 8
    if nbytes <= DENSE_LIMIT_BYTES:
        D = A.toarray()
        t, out = timed(lambda: np.linalg.lstsq(D, b, rcond=None), budget=3.0, most=3)
        err = np.linalg.norm(out[0] - x) / np.linalg.norm(x)
        rows.append({"what": "least squares", "case": case, "ferrow": "spqr_solve(A, b)",
                     "peer": "numpy.linalg.lstsq(A.toarray(), b)", "ferrow_s": tf, "peer_s": t,
                     "result": f"‖x − x_qr‖ / ‖x_qr‖ = {err:.1e} (toarray not timed)"})
    else:
        rows.append({"what": "least squares", "case": case, "ferrow": "spqr_solve(A, b)",
                     "peer": "numpy.linalg.lstsq(A.toarray(), b)", "ferrow_s": tf, "peer_s": None,
                     "result": f"not run: the dense matrix would take {nbytes / 2**30:.1f} GiB"})
    return rows


def dense_qr(data, case):
    if (why := ops.unavailable("spqr_r")):
        return [{"what": "QR", "case": case, "skipped": why}]
    from ferrow.spqr import spqr

    A = data["A"]
    D = A.toarray()
    rows = []
    for mode, dmode in (("economic", "economic"), ("r", "r")):
        tf, res = timed(lambda: spqr(A, mode=mode), budget=2.0, most=5)
        tp, _ = timed(lambda: scipy.linalg.qr(D, mode=dmode), budget=3.0, most=3)
        R = res[1] if mode != "r" else res[0]
        rows.append({"what": "QR", "case": case, "ferrow": f'spqr(A, mode="{mode}")',
                     "peer": f'scipy.linalg.qr(A.toarray(), mode="{dmode}")',
                     "ferrow_s": tf, "peer_s": tp,
                     "result": f"nnz(R) {R.nnz} of {R.shape[0] * R.shape[1]} dense entries "
                               f"(toarray not timed)"})
    return rows


def lu_fill(data, case):
    if (why := ops.unavailable("colamd")):
        return [{"what": "LU fill", "case": case, "skipped": why}]
    from ferrow.colamd import colamd

    A = data["A"]
    Ac = A.tocsc()

    def ours():
        q = colamd(A)
        return spla.splu(Ac[:, q], permc_spec="NATURAL")

    tf, lu1 = timed(ours, budget=3.0, most=3)
    tp, lu2 = timed(lambda: spla.splu(Ac, permc_spec="COLAMD"), budget=3.0, most=3)
    f1, f2 = lu1.L.nnz + lu1.U.nnz, lu2.L.nnz + lu2.U.nnz
    return [{"what": "LU fill", "case": case,
             "ferrow": 'splu(A[:, colamd(A)], permc_spec="NATURAL")',
             "peer": 'splu(A, permc_spec="COLAMD")', "ferrow_s": tf, "peer_s": tp,
             "result": f"nnz(L+U) {f1} vs {f2} ({f1 / f2:.3f}x)"}]


PLAN = [
    (matching, ["unsym_mid", "unsym_large", "lap2d_large", "ls_large"]),
    (strong_components, ["unsym_mid", "unsym_large", "lap2d_large"]),
    (least_squares, ["ls_small", "ls_mid", "ls_large"]),
    (dense_qr, ["lap2d_small", "ls_small"]),
    (lu_fill, ["lap2d_mid", "lap3d_mid"]),
]


def run_all(dirs, say):
    rows = []
    for fn, names in PLAN:
        for name in names:
            if name not in dirs:
                continue
            for row in fn(cases.load(dirs[name]), name):
                rows.append(row)
                say(line(row))
    if "ls_large" in dirs:  # a full run: add the problems where the choice of solver matters
        import rank_peers

        rows += rank_peers.run_all(say)
    return rows


def line(row):
    if "skipped" in row:
        return f"{row['what']:18s} {row['case']:12s} not measured: {row['skipped']}"
    peer = "-" if row["peer_s"] is None else f"{row['peer_s']:.4g} s"
    return (f"{row['what']:18s} {row['case']:12s} ferrow {row['ferrow_s']:.4g} s, "
            f"{row['peer']}: {peer}; {row['result']}")
