"""What COLAMD and CCOLAMD buy as column orderings for a sparse LU factorisation."""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import splu

from ferrow.ccolamd import ccolamd, csymamd
from ferrow.colamd import colamd, symamd
from ferrow.demos import table, timed
from ferrow.demos.problems import laplacian_2d

TITLE = "COLAMD / CCOLAMD: column orderings for sparse LU (convection-diffusion, 100 x 100 grid)"


def convection_diffusion(n):
    """The 2-D Laplacian with an upwind convection term: unsymmetric, pattern of a grid."""
    A = laplacian_2d(n)
    wind = sp.kron(sp.eye_array(n), sp.diags_array([np.ones(n), -np.ones(n - 1)], offsets=[0, -1]))
    return sp.csc_array(A + 0.8 * wind)


def lu_entries(A):
    """nnz(L) + nnz(U) of SuperLU's partial-pivoting LU in the given column order."""
    F = splu(sp.csc_matrix(A), permc_spec="NATURAL")
    return F.L.nnz + F.U.nnz


def cholesky_entries(S):
    F = splu(sp.csc_matrix(S), permc_spec="NATURAL", diag_pivot_thresh=0.0,
             options={"SymmetricMode": True})
    return F.L.nnz


def milliseconds(secs):
    return "-" if secs is None else f"{secs * 1e3:.2f}"


def kept(q, kw):
    """Whether the constraints (if any) are non-decreasing along the ordering."""
    if "constraints" not in kw:
        return "-"
    return "yes" if np.all(np.diff(kw["constraints"][q]) >= 0) else "NO"


def run(out):
    n = 100
    A = convection_diffusion(n)
    N = A.shape[1]
    out.write(f"A: {N} x {N}, {A.nnz} entries; fill of the LU factors of A[:, q]\n\n")
    # Two groups of columns: the left half of the grid first, then the right half.
    halves = (np.arange(N) % n >= n // 2).astype(np.int64)
    cases = [
        ("natural order", None, {}),
        ("COLAMD", colamd, {}),
        ("CCOLAMD, opt_lu='lu'", ccolamd, {"opt_lu": "lu"}),
        ("CCOLAMD, left half first", ccolamd, {"opt_lu": "lu", "constraints": halves}),
    ]
    rows = []
    for label, order, kw in cases:
        q, secs = (np.arange(N), None) if order is None else timed(order, A, **kw)
        rows.append([label, f"{lu_entries(A[:, q]):,}", milliseconds(secs), kept(q, kw)])
    table(out, ["column ordering", "nnz(L+U)", "ordering time [ms]", "groups kept"], rows)

    S = laplacian_2d(n)
    out.write(f"\nSymmetric orderings of the Laplacian ({N} x {N}) for Cholesky:\n\n")
    rows = []
    for label, order, kw in [("natural order", None, {}), ("SYMAMD", symamd, {}),
                             ("CSYMAMD, left half first", csymamd, {"constraints": halves})]:
        p, secs = (np.arange(N), None) if order is None else timed(order, S, **kw)
        rows.append([label, f"{cholesky_entries(S[p][:, p]):,}", milliseconds(secs), kept(p, kw)])
    table(out, ["symmetric ordering", "nnz(L)", "ordering time [ms]", "groups kept"], rows)
