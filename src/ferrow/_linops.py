"""Linear operators over SuiteSparseQR factorisations, and the functions built on them.

`ferrow.spqr` forwards ``spqr_null``, ``spqr_pinv`` and ``SPQRFactor.Q`` here (this
module imports it, so it is imported on first use). Every library call goes through the
compiled entry points of `ferrow.spqr`, which check their input.
"""

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import LinearOperator

from ferrow.spqr import SPQRFactor, _adjoint_factor, _householder_qr, spqr_qmult

__all__ = ["FactorQ", "NullSpace", "spqr_null", "spqr_pinv"]


def _as_operand(X, dtype):
    """X as an array (or sparse matrix) of `dtype`, or None when X is complex and
    `dtype` real (the caller then applies the real and imaginary parts apart)."""
    if not sp.issparse(X):
        X = np.asarray(X)
    if X.dtype == dtype:
        return X
    if np.can_cast(X.dtype, dtype):
        return X.astype(dtype)
    if X.dtype.kind == "c" and dtype.kind == "f":
        return None
    raise TypeError(f"Cannot apply an operator of dtype {dtype} to values of dtype {X.dtype}.")


def _split_complex(apply, X, dtype):
    """apply(X) for X of `dtype`; a complex X on a real operator, part by part."""
    Y = _as_operand(X, dtype)
    if Y is not None:
        return apply(Y)
    return apply(X.real.astype(dtype)) + 1j * apply(X.imag.astype(dtype))


class FactorQ(LinearOperator):
    """Q of an `SPQRFactor` as an (M, M) operator: ``@`` is ``qmult(X, "QX")``,
    ``.H @`` is ``qmult(X, "QTX")``. Q is never formed; the operator holds the factor
    and applies its current factorisation."""

    def __init__(self, factor):
        if not factor.is_numeric:
            raise ValueError("SPQRFactor.Q needs a numeric factorisation; call factorize(A) first.")
        M = factor.shape[0]
        self.factor = factor
        super().__init__(dtype=factor.dtype, shape=(M, M))

    def _apply(self, X, method):
        return _split_complex(lambda Y: self.factor.qmult(Y, method), X, self.dtype)

    def _matvec(self, x):
        return self._apply(np.asarray(x).reshape(-1), "QX")

    def _rmatvec(self, x):
        return self._apply(np.asarray(x).reshape(-1), "QTX")

    def _matmat(self, X):
        return self._apply(X, "QX")

    def _rmatmat(self, X):
        return self._apply(X, "QTX")


class NullSpace(LinearOperator):
    """The trailing N - r columns of Q of a factor of ``A^H`` (N rows): an orthonormal
    basis of the numerical null space of A, applied in Householder form."""

    def __init__(self, factor):
        n = factor.shape[0]
        self.factor = factor
        self.rank = factor.rank
        super().__init__(dtype=factor.dtype, shape=(n, n - self.rank))

    def _expand(self, X):
        # [0; X]: the coordinates of N X in the basis of all columns of Q.
        Z = np.zeros((self.shape[0], X.shape[1]), dtype=self.dtype, order="F")
        Z[self.rank:] = X.toarray() if sp.issparse(X) else X
        return Z

    def _matmat(self, X):
        if X.ndim != 2 or X.shape[0] != self.shape[1]:
            raise ValueError(f"X must have {self.shape[1]} rows, got shape {X.shape}")
        return _split_complex(lambda Y: self.factor.qmult(self._expand(Y), "QX"), X, self.dtype)

    def _rmatmat(self, X):
        if X.ndim != 2 or X.shape[0] != self.shape[0]:
            raise ValueError(f"X must have {self.shape[0]} rows, got shape {X.shape}")

        def apply(Y):
            Y = Y.toarray() if sp.issparse(Y) else Y
            return self.factor.qmult(np.asfortranarray(Y), "QTX")[self.rank:]

        return _split_complex(apply, X, self.dtype)

    def _matvec(self, x):
        return self._matmat(np.asarray(x).reshape(-1, 1))[:, 0]

    def _rmatvec(self, x):
        return self._rmatmat(np.asarray(x).reshape(-1, 1))[:, 0]

    def toarray(self):
        """The basis as a dense (N, N - r) array."""
        return self._matmat(np.eye(self.shape[1], dtype=self.dtype))


def spqr_null(A, *, tol=None, explicit=False, return_info=False):
    factor = _adjoint_factor(A, tol)  # validates A once
    basis = NullSpace(factor)
    if explicit:
        basis = basis.toarray()
    return (basis, factor.info) if return_info else basis


def _check_rhs(b, M, dtype):
    """b as an array or sparse matrix of `dtype` with M rows, or the error of solve()."""
    if not sp.issparse(b):
        if isinstance(b, (str, bytes)) or b is None:
            raise ValueError("b must be an ndarray or sparse matrix.")
        b = np.asarray(b)
        if b.dtype == object:
            raise ValueError("b must be an ndarray or sparse matrix.")
    if b.ndim not in (1, 2):
        raise ValueError("b must be a 1D or 2D array.")
    if b.shape[0] != M:
        raise ValueError(f"Right-hand side b must have compatible shape with A. "
                         f"Got b.shape={b.shape!r}, but A.shape has {M} rows.")
    if not np.can_cast(b.dtype, dtype):
        raise TypeError(f"Cannot safely cast b.dtype={b.dtype!r} to the dtype of A, {dtype!r}.")
    return b.astype(dtype, copy=False)


_BATCH = 100  # columns of a sparse right-hand side solved at a time


class _MinimumNorm:
    """The minimum-norm solutions of ``A x = b`` in the least-squares sense, from one
    rank-revealing QR factorisation ``A E = Q1 [R11 R12; 0 0]`` (R11 r x r upper
    triangular, the N - r dependent columns last) completed to an orthogonal
    decomposition: the solutions are ``E y``, where y is the basic solution
    ``[R11^-1 (Q1^H b)[:r]; 0]`` minus its component in the null space of
    ``[R11 R12]``. That null space is the range of ``[-W; I]``, ``W = R11^-1 R12``,
    and its orthonormal basis comes from a dense QR factorisation of N - r columns."""

    def __init__(self, A, tol):
        self.house, R, self.E, self.info = _householder_qr(A, tol)  # validates A
        r = self.info.rank_A_estimate
        self.M, self.N, self.r = self.house.H.shape[0], R.shape[1], r
        self.dtype, self.itype = R.dtype, self.house.perm.dtype
        if r == 0:
            return
        R1 = R[:r]
        R11 = R1[:, :r]
        # Triangular solves with R11 by the library: an upper triangular matrix is all
        # singletons, so this "factorisation" costs one pass over R11.
        self.T = SPQRFactor(R11, use_singletons=True, order="natural", tol=0)
        self.basis = None
        if self.N > r:
            W = self.T.solve(np.asfortranarray(R1[:, r:].toarray()))
            S = np.vstack([-W, np.eye(self.N - r, dtype=self.dtype)])
            self.basis = np.linalg.qr(S)[0]  # orthonormal basis of the null space of R1

    def solve(self, B):
        """x for a dense (M, K) block B of the factor's value type."""
        N, r = self.N, self.r
        if r == 0 or B.shape[1] == 0:
            return np.zeros((N, B.shape[1]), dtype=self.dtype)
        c = spqr_qmult(self.house, np.asfortranarray(B), "QTX")[:r]
        y = np.zeros((N, B.shape[1]), dtype=self.dtype)
        y[:r] = self.T.solve(np.asfortranarray(c))
        if self.basis is not None:
            y -= self.basis @ (self.basis[:r].conj().T @ y[:r])
        if self.E is None:
            return y
        x = np.empty_like(y)
        x[self.E] = y
        return x


def spqr_pinv(A, b, *, tol=None, return_info=False):
    mn = _MinimumNorm(A, tol)
    b = _check_rhs(b, mn.M, mn.dtype)
    one_d = b.ndim == 1
    if one_d:
        b = b.reshape(-1, 1)
    if sp.issparse(b):
        # column batches through a dense block, like SPQRFactor.solve
        b = sp.csc_array(b)
        K = b.shape[1]
        parts = [sp.csc_array(mn.solve(b[:, k:k + _BATCH].toarray()))
                 for k in range(0, K, _BATCH)]
        x = sp.hstack(parts, format="csc") if parts else sp.csc_array((mn.N, 0), dtype=mn.dtype)
        x = sp.csc_array(x)
        x.indptr = x.indptr.astype(mn.itype, copy=False)
        x.indices = x.indices.astype(mn.itype, copy=False)
    else:
        x = mn.solve(b)
        if one_d:
            x = x[:, 0]
    return (x, mn.info) if return_info else x
