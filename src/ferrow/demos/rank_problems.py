"""Least-squares problems where the choice of solver matters: rank-deficient and
ill-conditioned sparse matrices that the demos and benchmarks build themselves."""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp


def _difference(n):
    """The (n-1) x n forward difference: row i is e_{i+1} - e_i."""
    return sp.diags_array([-np.ones(n - 1), np.ones(n - 1)], offsets=[0, 1], shape=(n - 1, n))


def gradient_2d(n, itype=np.int32):
    """The finite-difference gradient of an n x n grid: 2 n (n-1) rows (one per edge),
    n^2 columns. Its null space is the constant vectors, so its rank is n^2 - 1."""
    D, I = _difference(n), sp.eye_array(n)
    G = sp.csc_array(sp.vstack([sp.kron(D, I), sp.kron(I, D)]))
    return _with_itype(G, itype)


def scaled_gradient(n, cond, seed=0, itype=np.int32):
    """A full-rank, ill-conditioned least-squares matrix: the gradient of an n x n grid
    with one row fixing node 0, its columns scaled by factors spread geometrically
    between 1 and 1/cond (in random order)."""
    G = sp.vstack([gradient_2d(n), sp.csr_array(([1.0], ([0], [0])), shape=(1, n * n))])
    scale = np.geomspace(1.0, 1.0 / cond, n * n)
    np.random.default_rng(seed).shuffle(scale)
    return _with_itype(sp.csc_array(G @ sp.diags_array(scale)), itype)


def bspline_gaps(nbasis, npoints, gaps=((0.3, 0.4), (0.62, 0.7)), degree=3, seed=0,
                 itype=np.int32):
    """Collocation of a cubic B-spline basis of `nbasis` functions on [0, 1] at `npoints`
    random data sites with gaps in the data: basis functions whose support lies in a gap
    have empty columns (rank deficiency) and those that barely reach a site have tiny
    ones (ill conditioning)."""
    from scipy.interpolate import BSpline

    rng = np.random.default_rng(seed)
    x = np.sort(rng.random(npoints))
    for lo, hi in gaps:
        x = x[(x < lo) | (x > hi)]
    inner = np.linspace(0.0, 1.0, nbasis - degree + 1)
    knots = np.r_[[0.0] * degree, inner, [1.0] * degree]
    B = BSpline.design_matrix(x, knots, degree)
    return _with_itype(sp.csc_array(B), itype)


def with_dependent_columns(A, count, seed=0):
    """A with `count` extra columns, each a copy of a column or the sum of two: the rank
    stays that of A while the column count grows."""
    rng = np.random.default_rng(seed)
    A = sp.csc_array(A)
    n = A.shape[1]
    extra = []
    for k in range(count):
        i, j = rng.integers(0, n, 2)
        extra.append(A[:, [i]] if k % 2 == 0 else A[:, [i]] + A[:, [j]])
    itype = A.indptr.dtype
    return _with_itype(sp.csc_array(sp.hstack([A] + extra)), itype)


def _with_itype(A, itype):
    A = sp.csc_array(A)
    A.sort_indices()
    A.indptr = A.indptr.astype(itype)
    A.indices = A.indices.astype(itype)
    return A
