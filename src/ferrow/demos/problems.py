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


def reducible(block_sizes, coupling=2.0, seed=0, itype=np.int32):
    """A square matrix with known block triangular form, its rows and columns scrambled.

    Diagonal block b is an irreducible ``block_sizes[b]``-square pattern (a cycle through
    its nodes plus the diagonal and a few random entries); about ``coupling * N`` random
    entries lie above the diagonal blocks. Returns the CSC array with `itype` indices:
    its diagonal blocks are exactly the planted ones, in some order and with the rows and
    columns of the whole matrix permuted at random.
    """
    rng = np.random.default_rng(seed)
    sizes = np.asarray(block_sizes, dtype=np.int64)
    N = int(sizes.sum())
    start = np.concatenate([[0], np.cumsum(sizes)[:-1]])
    block = np.repeat(np.arange(len(sizes)), sizes)
    k = np.arange(N)
    local = k - start[block]
    # cycle: node k -> the next node of its block (wrapping), plus the diagonal
    nxt = start[block] + (local + 1) % sizes[block]
    rows = [k, nxt]
    cols = [k, k]
    # a few extra entries inside each block
    extra = rng.integers(0, N, size=N)
    partner = start[block[extra]] + rng.integers(0, sizes[block[extra]])
    rows.append(extra)
    cols.append(partner)
    # coupling above the diagonal blocks: row block < column block
    m = int(coupling * N)
    i, j = rng.integers(0, N, size=m), rng.integers(0, N, size=m)
    keep = block[i] < block[j]
    rows.append(i[keep])
    cols.append(j[keep])
    r, c = np.concatenate(rows), np.concatenate(cols)
    A = sp.csc_array((np.ones(r.size), (r, c)), shape=(N, N))
    A.sum_duplicates()
    A = sp.csc_array(A[rng.permutation(N)][:, rng.permutation(N)])
    A.indptr = A.indptr.astype(itype)
    A.indices = A.indices.astype(itype)
    return A


def grid_least_squares(n, weight=1.0, seed=0, itype=np.int32):
    """Smoothing of noisy data on an n x n grid as a sparse least-squares problem.

    Minimises ``||x - b0||^2 + weight^2 ||D x||^2`` with D the forward differences along
    both grid directions: A stacks the identity (n*n rows) and ``weight * D``
    (2 n (n - 1) rows) over n*n columns; b holds the noisy data, then zeros.
    """
    rng = np.random.default_rng(seed)
    D = sp.diags_array([-np.ones(n), np.ones(n - 1)], offsets=[0, 1], shape=(n - 1, n))
    I = sp.eye_array(n)
    A = sp.csc_array(sp.vstack([sp.eye_array(n * n), weight * sp.kron(I, D), weight * sp.kron(D, I)]))
    A.indptr = A.indptr.astype(itype)
    A.indices = A.indices.astype(itype)
    x = np.add.outer(np.sin(np.linspace(0, 3, n)), np.cos(np.linspace(0, 2, n))).ravel()
    b = np.concatenate([x + 0.1 * rng.standard_normal(n * n), np.zeros(A.shape[0] - n * n)])
    return A, b
