"""Test problems the demos and benchmarks build themselves."""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp


def laplacian_2d(n, itype=np.int32):
    """The 5-point Laplacian of an n x n grid, as a CSC array with `itype` indices."""
    T = sp.diags_array([-np.ones(n - 1), 2 * np.ones(n), -np.ones(n - 1)], offsets=[-1, 0, 1])
    I = sp.eye_array(n)
    A = sp.csc_array(sp.kron(T, I) + sp.kron(I, T))
    A.indptr = A.indptr.astype(itype)
    A.indices = A.indices.astype(itype)
    return A


def laplacian_3d(n, itype=np.int32):
    """The 7-point Laplacian of an n x n x n grid, as a CSC array."""
    T = sp.diags_array([-np.ones(n - 1), 2 * np.ones(n), -np.ones(n - 1)], offsets=[-1, 0, 1])
    I = sp.eye_array(n)
    A = sp.csc_array(sp.kron(sp.kron(T, I), I) + sp.kron(sp.kron(I, T), I) + sp.kron(sp.kron(I, I), T))
    A.indptr = A.indptr.astype(itype)
    A.indices = A.indices.astype(itype)
    return A


def random_least_squares(m, n, density, seed=0):
    """A random sparse m x n matrix with a full-rank diagonal block, and a right-hand side."""
    rng = np.random.default_rng(seed)
    A = sp.random_array((m, n), density=density, rng=rng, format="csc")
    A = sp.csc_array(A + sp.eye_array(m, n, format="csc"))
    b = rng.standard_normal(m)
    return A, b
