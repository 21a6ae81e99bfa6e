"""Null spaces, pseudoinverse solutions and Q as an operator, against NumPy's SVD."""
import numpy as np
import pytest
import scipy.linalg
import scipy.sparse as sp
from scipy.sparse.linalg import LinearOperator, aslinearoperator

from conftest import random_csc, with_index_type
from ferrow.spqr import SPQRFactor, SPQRInfo, spqr_factor, spqr_null, spqr_pinv, spqr_solve


def low_rank(m, n, k, seed, complex_=False):
    """An m x n sparse matrix of rank k with a clear gap: a product of sparse factors,
    with a column duplicated and a column the sum of two others."""
    rng = np.random.default_rng(seed)
    B = sp.random_array((m, k), density=0.5, rng=rng) + sp.eye_array(m, k)
    C = sp.random_array((k, n), density=0.5, rng=rng) + sp.eye_array(k, n)
    if complex_:
        B = B + 1j * sp.random_array((m, k), density=0.5, rng=rng)
    return sp.csc_array(B @ C)


def dependent_columns(m, n, seed, complex_=False):
    A = random_csc(m, n, density=0.4, seed=seed, dtype=np.complex128 if complex_ else np.float64)
    D = A.toarray()
    D[:, 1] = D[:, 0]            # duplicated
    D[:, 2] = D[:, 3] + D[:, 4]  # summed
    return sp.csc_array(D)


C = np.complex128
CASES = {  # name: (matrix, value type); the rank comes from NumPy's SVD of a dense copy
    "tall full rank": lambda: random_csc(12, 7, seed=1, dtype=C),
    "wide full rank": lambda: random_csc(6, 11, seed=2),
    "square full rank": lambda: random_csc(9, 9, seed=3),
    "tall rank 3": lambda: low_rank(12, 8, 3, 4, complex_=True),
    "wide rank 4": lambda: low_rank(5, 10, 4, 5, complex_=True),
    "square rank 5": lambda: low_rank(9, 9, 5, 6),
    "dependent columns": lambda: dependent_columns(10, 8, 7, complex_=True),
    "wide dependent columns": lambda: dependent_columns(6, 9, 8),
    "zero column and row": lambda: sp.csc_array(np.diag([1.0, 0, 2, 0, 3])),
    "rank 0 with entries": lambda: sp.csc_array((np.zeros(3), ([0, 2, 3], [1, 1, 0])),
                                                shape=(4, 3)),
    "rank 0 without entries": lambda: sp.csc_array((4, 6)),
    "no rows": lambda: sp.csc_array((0, 5)),
    "no columns": lambda: sp.csc_array((5, 0)),
}


@pytest.fixture(params=list(CASES), ids=list(CASES))
def case(request, itype):
    return with_index_type(CASES[request.param](), itype)


def svd_rank(D):
    return int(np.linalg.matrix_rank(D)) if D.size else 0


def test_null_space_against_svd(case, itype):
    D = case.toarray()
    m, n = D.shape
    r = svd_rank(D)
    Z, info = spqr_null(case, explicit=True, return_info=True)
    assert isinstance(info, SPQRInfo) and info.rank_A_estimate == r
    assert Z.shape == (n, n - r) and Z.dtype == (np.complex128 if D.dtype.kind == "c" else float)
    assert np.allclose(Z.conj().T @ Z, np.eye(n - r), atol=1e-12)
    assert np.linalg.norm(D @ Z) <= 1e-12 * max(1.0, np.linalg.norm(D))
    # the same subspace as SciPy's SVD-based basis: equal orthogonal projectors
    ref = scipy.linalg.null_space(D) if m and n else np.eye(n)
    assert np.allclose(Z @ Z.conj().T, ref @ ref.conj().T, atol=1e-10)


def test_null_space_operator_matches_explicit(case):
    N = spqr_null(case)
    Z = spqr_null(case, explicit=True)
    n, k = Z.shape
    assert isinstance(N, LinearOperator) and N.shape == (n, k) and N.dtype == Z.dtype
    rng = np.random.default_rng(0)
    v, V = rng.standard_normal(k), rng.standard_normal((k, 3))
    w, W = rng.standard_normal(n), rng.standard_normal((n, 2)) + 1j * rng.standard_normal((n, 2))
    assert np.allclose(N @ v, Z @ v) and (N @ v).shape == (n,)
    assert np.allclose(N.matmat(V), Z @ V)
    assert np.allclose(N.rmatvec(w), Z.conj().T @ w) and np.allclose(N.H @ W, Z.conj().T @ W)
    assert np.allclose(N @ (V + 2j * V), Z @ (V + 2j * V))  # complex input on a real basis too


def test_pinv_against_numpy(case, itype):
    D = case.toarray()
    m, n = D.shape
    rng = np.random.default_rng(1)
    b = rng.standard_normal(m)
    B = rng.standard_normal((m, 3))
    if D.dtype.kind == "c":
        B = B + 1j * rng.standard_normal((m, 3))
    P = np.linalg.pinv(D)
    x, info = spqr_pinv(case, b, return_info=True)
    assert info.rank_A_estimate == svd_rank(D)
    assert x.shape == (n,)
    scale = max(np.linalg.norm(P @ b), 1.0)
    assert np.linalg.norm(x - P @ b) <= 1e-8 * scale
    X = spqr_pinv(case, B)
    assert X.shape == (n, 3) and np.linalg.norm(X - P @ B) <= 1e-8 * max(np.linalg.norm(P @ B), 1)
    Xs = spqr_pinv(case, sp.csc_array(B))
    assert sp.issparse(Xs) and Xs.format == "csc" and Xs.indptr.dtype == itype
    assert Xs.indices.dtype == itype and np.allclose(Xs.toarray(), X, atol=1e-12)


def test_pinv_differs_from_basic_solution_only_in_the_null_space():
    # the example of the documentation: the basic solution puts a zero in a dependent column
    A = sp.csc_array(np.array([[1.0, 2.0, 0.0], [2.0, 4.0, 0.0], [0.0, 0.0, 1.0]]))
    b = np.array([1.0, 0.0, 1.0])
    x = spqr_pinv(A, b)
    assert np.allclose(x, [0.04, 0.08, 1.0])
    with pytest.warns(Warning):
        xb = spqr_solve(A, b)
    assert np.allclose(A @ xb, A @ x) and np.linalg.norm(x) < np.linalg.norm(xb)
    Z = spqr_null(A, explicit=True)
    assert np.allclose(Z.T @ x, 0)  # the minimum-norm solution has no null-space component


@pytest.mark.parametrize("shape", [(30, 12), (12, 30), (15, 15)])
def test_pinv_of_full_rank_equals_spqr_solve(shape, itype):
    A = random_csc(*shape, density=0.3, seed=11, itype=itype)
    b = np.random.default_rng(2).standard_normal(shape[0])
    assert np.allclose(spqr_pinv(A, b), spqr_solve(A, b), rtol=1e-10, atol=1e-12)


def test_tolerance_decides_the_rank():
    # singular values 1, 1e-3 and 1e-9: the rank depends on tol
    A = sp.csc_array(np.diag([1.0, 1e-3, 1e-9]))
    for tol, r in [(1e-12, 3), (1e-6, 2), (1e-2, 1), (10.0, 0)]:
        N, info = spqr_null(A, tol=tol, return_info=True)
        assert info.rank_A_estimate == r and N.shape == (3, 3 - r) and info.tol == tol
        x, info = spqr_pinv(A, np.ones(3), tol=tol, return_info=True)
        assert info.rank_A_estimate == r
        assert np.allclose(x, [1.0, 1e3, 1e9][:r] + [0.0] * (3 - r))


def test_pinv_argument_errors():
    A = random_csc(5, 3)
    with pytest.raises(ValueError, match="compatible shape"):
        spqr_pinv(A, np.ones(4))
    with pytest.raises(ValueError, match="1D or 2D"):
        spqr_pinv(A, np.ones((5, 1, 1)))
    with pytest.raises(ValueError, match="ndarray or sparse"):
        spqr_pinv(A, None)
    with pytest.raises(TypeError, match="safely cast"):
        spqr_pinv(A, np.ones(5) * 1j)
    with pytest.raises(TypeError):
        spqr_pinv(A, np.ones(5), tol="x")
    with pytest.raises(TypeError):
        spqr_null(A, 1e-3)  # tol is keyword-only
    assert np.allclose(spqr_pinv(A, [1, 2, 3, 4, 5]), spqr_pinv(A, np.arange(1.0, 6)))
    assert spqr_pinv(A, np.ones((5, 0))).shape == (3, 0)


class TestFactorQ:
    def test_operator_is_q(self, itype):
        for dtype in (np.float64, np.complex128):
            A = random_csc(20, 8, density=0.3, seed=4, itype=itype, dtype=dtype)
            F = spqr_factor(A)
            Q = F.Q
            assert isinstance(Q, LinearOperator) and Q.shape == (20, 20) and Q.dtype == dtype
            X = np.random.default_rng(3).standard_normal((20, 4))
            assert np.array_equal(Q @ X, F.qmult(X.astype(dtype), "QX"))  # real X on complex Q
            X = X.astype(dtype)
            assert np.array_equal(Q @ X, F.qmult(X, "QX"))
            assert np.array_equal(Q.H @ X, F.qmult(X, "QTX"))
            assert np.array_equal(Q @ X[:, 0], F.qmult(X[:, 0], "QX"))
            assert np.array_equal(aslinearoperator(Q).rmatvec(X[:, 0]), F.qmult(X[:, 0], "QTX"))
            Qd = Q @ np.eye(20)
            assert np.allclose(Qd.conj().T @ Qd, np.eye(20), atol=1e-12)
            R = Q.H @ A.toarray()[:, F.perm]   # Q^H A E is R: upper triangular
            assert np.allclose(np.tril(R, -1), 0, atol=1e-12)
            S = sp.csc_array(X)
            assert sp.issparse(Q @ S) and np.allclose((Q @ S).toarray(), Q @ X)

    def test_refactorisation_is_visible_and_symbolic_refused(self):
        A = random_csc(10, 6, seed=5)
        F = spqr_factor(A)
        Q = F.Q
        x = np.arange(10.0)
        before = Q @ x
        B = A.copy()
        B.data = np.random.default_rng(6).standard_normal(B.nnz)
        F.factorize(B)
        assert np.array_equal(Q @ x, F.qmult(x, "QX")) and not np.allclose(Q @ x, before)
        with pytest.raises(ValueError, match="numeric factorisation"):
            SPQRFactor(A).Q
        assert np.allclose(F.Q @ (x + 1j * x), (F.Q @ x) * (1 + 1j))


def test_pinv_sparse_rhs_in_batches(itype):
    A = with_index_type(dependent_columns(10, 8, 9), itype)
    B = sp.random_array((10, 250), density=0.2, rng=3, format="csr")  # 3 batches; not CSC
    X = spqr_pinv(A, B)
    assert X.format == "csc" and X.shape == (8, 250) and X.indptr.dtype == itype
    assert np.allclose(X.toarray(), np.linalg.pinv(A.toarray()) @ B.toarray(), atol=1e-10)
