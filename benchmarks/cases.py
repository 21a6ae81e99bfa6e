"""The benchmark's test matrices and the files the direct-call driver reads.

Every case is written once into its own directory as .npy files: the CSC arrays
``Ap``, ``Ai``, ``Ax`` and ``shape`` exactly as ferrow receives them, plus the
right-hand sides and constraint vectors the operations use. Both sides read the
same files, so ferrow and the driver work on identical bytes.
"""

from __future__ import annotations

import hashlib
import os
from dataclasses import dataclass, field

import numpy as np
import scipy
import scipy.sparse as sp

from ferrow.demos.problems import laplacian_2d, laplacian_3d

# Cached case files are rewritten when this file or the random generators change.
with open(__file__, "rb") as _f:
    _DIGEST = hashlib.sha256(_f.read() + f"{np.__version__} {scipy.__version__}".encode()).hexdigest()

ORDERINGS = ["camd", "colamd", "symamd", "ccolamd", "csymamd"]
BTF_OPS = ["maxtrans", "strongcomp", "btf"]
QR_OPS = ["spqr_full", "spqr_economic", "spqr_r", "spqr_householder", "spqr_qmult",
          "factor_symbolic", "factor_numeric", "solve_1", "solve_100", "solve_sparse",
          "qmult", "copy", "spqr_solve"]
SQUARE_ONLY = {"camd", "symamd", "csymamd", "strongcomp", "btf"}


def _int32(A):
    A.indptr = A.indptr.astype(np.int32)
    A.indices = A.indices.astype(np.int32)
    return A


def banded_least_squares(m, n, per_row=2, reach=4, seed=0):
    """A random sparse m x n least-squares matrix whose QR stays sparse.

    Row i holds ``per_row`` normally distributed entries in random columns within
    ``reach`` of its diagonal position ``i * n / m``, plus the leading identity, so
    that the matrix has full column rank. Uniformly scattered random entries would
    make R dense at these sizes.
    """
    rng = np.random.default_rng(seed)
    rows = np.repeat(np.arange(m), per_row)
    centre = (rows * (n / m)).astype(np.int64)
    cols = np.clip(centre + rng.integers(-reach, reach + 1, size=rows.size), 0, n - 1)
    A = sp.coo_array((rng.standard_normal(rows.size), (rows, cols)), shape=(m, n))
    A = sp.csc_array(A + sp.eye_array(m, n, format="csc"))
    A.sum_duplicates()
    return _int32(A)


def random_square(n, diag_fraction=0.95, seed=0):
    """A random n x n pattern: one random entry per column and a diagonal entry in
    about ``diag_fraction`` of the columns. Structurally singular, with many strongly
    connected components, and a matching problem the transversal has to search for."""
    rng = np.random.default_rng(seed)
    cols = np.arange(n)
    rows = rng.integers(0, n, size=n)
    d = np.flatnonzero(rng.random(n) < diag_fraction)
    rows, cols = np.concatenate([rows, d]), np.concatenate([cols, d])
    A = sp.csc_array(sp.coo_array((rng.standard_normal(rows.size), (rows, cols)), shape=(n, n)))
    A.sum_duplicates()
    return _int32(A)


def tiny_matrix():
    """A fixed 10 x 10 unsymmetric matrix with a full diagonal (27 entries)."""
    rng = np.random.default_rng(7)
    A = sp.random_array((10, 10), density=0.2, rng=rng, format="csc")
    A = sp.csc_array(A + 4 * sp.eye_array(10, format="csc"))
    A.sum_duplicates()
    return _int32(A)


@dataclass
class Case:
    name: str
    label: str
    size: str  # "tiny", "mid" or "large"
    build: object
    ops: list
    sparse_rhs_cols: int = 250
    dense_peers: bool = False  # small enough for dense NumPy/SciPy QR and lstsq
    matrix: object = field(default=None, repr=False)

    def shape(self):
        return self.matrix.shape


def case_list():
    sq = ORDERINGS + BTF_OPS
    rect = ["colamd", "ccolamd", "maxtrans"]
    # Q of a tall least-squares matrix fills in (dense-ish M x N), so the "full" and
    # "economic" modes are measured where Q stays within reach.
    qr_no_q = [op for op in QR_OPS if op not in ("spqr_full", "spqr_economic")]
    return [
        Case("tiny", "10 x 10 random", "tiny", tiny_matrix, sq + QR_OPS, sparse_rhs_cols=10),
        Case("lap2d_small", "2-D Laplacian 40^2", "mid", lambda: laplacian_2d(40), [],
             dense_peers=True),
        Case("ls_small", "least squares 4000 x 1000", "mid",
             lambda: banded_least_squares(4000, 1000, seed=3), rect + QR_OPS, dense_peers=True),
        Case("lap2d_mid", "2-D Laplacian 100^2", "mid", lambda: laplacian_2d(100), sq + QR_OPS),
        Case("lap3d_mid", "3-D Laplacian 20^3", "mid", lambda: laplacian_3d(20), sq),
        Case("ls_mid", "least squares 40000 x 10000", "mid",
             lambda: banded_least_squares(40_000, 10_000, seed=2), rect + qr_no_q),
        Case("unsym_mid", "random unsymmetric 10^4", "mid", lambda: random_square(10_000, seed=4),
             BTF_OPS),
        Case("lap2d_large", "2-D Laplacian 1000^2", "large", lambda: laplacian_2d(1000), sq),
        Case("lap3d_large", "3-D Laplacian 80^3", "large", lambda: laplacian_3d(80), sq),
        Case("unsym_large", "random unsymmetric 10^6", "large",
             lambda: random_square(1_000_000, seed=5), BTF_OPS),
        Case("ls_large", "least squares 300000 x 100000", "large",
             lambda: banded_least_squares(300_000, 100_000, seed=1), rect + qr_no_q,
             sparse_rhs_cols=120),
    ]


def extras(case):
    """Right-hand sides and constraints of a case, made reproducibly from its name."""
    A = case.matrix
    M, N = A.shape
    itype = A.indptr.dtype
    rng = np.random.default_rng(sum(map(ord, case.name)))
    out = {"b1": rng.standard_normal(M)}
    if any(op in QR_OPS for op in case.ops):
        out["B100"] = np.asfortranarray(rng.standard_normal((M, 100)))
        K = case.sparse_rhs_cols
        Bs = sp.random_array((M, K), density=min(1.0, 10 / M), rng=rng, format="csc")
        Bs = sp.csc_array(Bs)
        Bs.indptr = Bs.indptr.astype(itype)
        Bs.indices = Bs.indices.astype(itype)
        out["Bs"] = Bs
    # Two constraint groups for CCOLAMD/CSYMAMD: the second half of the columns last.
    out["cmember"] = (np.arange(N) >= N // 2).astype(itype)
    return out


def write(case, root):
    """Write the case's arrays into root/<name>/ (once) and return that directory."""
    d = os.path.join(root, case.name)
    done = os.path.join(d, ".complete")
    if os.path.exists(done) and open(done).read() == _DIGEST:
        return d
    os.makedirs(d, exist_ok=True)
    if case.matrix is None:
        case.matrix = case.build()
    A = case.matrix
    np.save(os.path.join(d, "shape.npy"), np.array(A.shape, dtype=np.int64))
    np.save(os.path.join(d, "Ap.npy"), A.indptr)
    np.save(os.path.join(d, "Ai.npy"), A.indices)
    np.save(os.path.join(d, "Ax.npy"), A.data)
    for key, value in extras(case).items():
        if sp.issparse(value):
            np.save(os.path.join(d, f"{key}_p.npy"), value.indptr)
            np.save(os.path.join(d, f"{key}_i.npy"), value.indices)
            np.save(os.path.join(d, f"{key}_x.npy"), value.data)
            np.save(os.path.join(d, f"{key}_shape.npy"), np.array(value.shape, dtype=np.int64))
        else:
            np.save(os.path.join(d, f"{key}.npy"), value)
    with open(done, "w") as f:
        f.write(_DIGEST)
    return d


class Data:
    """The arrays of a written case, each read from its file on first use. ``A`` is a
    csc_array over the very arrays the driver reads; ``Bs`` the sparse right-hand side."""

    def __init__(self, d):
        self.dir = d

    def _arr(self, name):
        return np.load(os.path.join(self.dir, name + ".npy"))

    def _csc(self, prefix):
        shape = tuple(int(s) for s in self._arr(prefix + "shape"))
        i, p = self._arr(prefix + "i" if prefix else "Ai"), self._arr(prefix + "p" if prefix else "Ap")
        x = self._arr(prefix + "x" if prefix else "Ax")
        B = sp.csc_array((x, i, p), shape=shape, copy=False)
        B.indices, B.indptr = i, p  # SciPy may narrow the index type; keep the files' arrays
        return B

    def __getitem__(self, key):
        value = self.__dict__.get("_" + key)
        if value is None:
            if key == "A":
                value = self._csc("")
            elif key == "Bs":
                value = self._csc("Bs_")
            else:
                value = self._arr(key)
            self.__dict__["_" + key] = value
        return value


def load(d):
    return Data(d)
