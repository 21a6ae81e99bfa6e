import fractions
import importlib
import sys
import warnings

import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy.sparse import SparseEfficiencyWarning

import ferrow.spqr as spqr_mod
from conftest import is_permutation, random_csc, with_index_type
from ferrow.spqr import (SPQRError, SPQRGpuProblemError, SPQRHouseholder, SPQRInvalidInputError,
                         SPQRNotInstalledError, SPQROutOfMemoryError, SPQROverflowError,
                         SPQRRankDeficiencyWarning, SPQRWarning, _qmult, spqr, spqr_qmult)

ORDERINGS = ["default", "fixed", "natural", "colamd", "cholmod", "amd", "metis", "best", "bestamd"]
METHODS = {"QX": 1, "QTX": 0, "XQ": 3, "XQT": 2}
MODES = "('full', 'economic', 'r', 'householder')"


@pytest.fixture(params=[np.float64, np.complex128], ids=["real", "complex"])
def dtype(request):
    """Value type of the matrices a test builds."""
    return np.dtype(request.param)


def columns(E, n):
    """The column permutation as an index array (None is the identity)."""
    return np.arange(n) if E is None else E


def nonzero_rows(R):
    return int(np.count_nonzero(np.diff(sp.csr_array(R).indptr)))


def check_qr(A, Q, R, E, rtol=1e-12):
    """Q R = A E, Q has orthonormal columns, R is upper trapezoidal."""
    A, Q, R = A.toarray(), Q.toarray(), R.toarray()
    AE = A[:, columns(E, A.shape[1])]
    scale = max(1.0, np.abs(A).max(initial=0.0))
    assert np.abs(Q @ R - AE).max(initial=0.0) <= rtol * scale * max(A.shape, default=1)
    assert np.allclose(Q.conj().T @ Q, np.eye(Q.shape[1]), atol=1e-12)
    assert not np.tril(R, -1).any()


def householder_q(house, M, dtype):
    """Dense Q = P' H_1 ... H_k with H_j = I - tau_j h_j h_j^H, formed with NumPy."""
    H, tau, perm = house
    Q = np.eye(M, dtype=dtype)[perm]
    Hd, tau = H.toarray(), np.atleast_1d(tau)
    for j in range(Hd.shape[1]):
        h = Hd[:, [j]]
        Q = Q - ((Q @ h) * tau[j]) @ h.conj().T
    return Q


def random_dense(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.standard_normal(shape)
    if np.dtype(dtype).kind == "c":
        X = X + 1j * rng.standard_normal(shape)
    return X.astype(dtype)


# ---------------------------------------------------------------------------------------
# Module frame
# ---------------------------------------------------------------------------------------

def test_exception_classes():
    table = [
        (SPQRWarning, (Warning,), "Base class for SPQR warnings."),
        (SPQRRankDeficiencyWarning, (SPQRWarning,), "Raised when SPQR detects a rank-deficient matrix."),
        (SPQRError, (Exception,), "Base class for SPQR exceptions."),
        (SPQRNotInstalledError, (SPQRError,), "Raised when the SPQR library is not installed."),
        (SPQROutOfMemoryError, (MemoryError, SPQRError), "Raised when SPQR runs out of memory."),
        (SPQROverflowError, (SPQRError,), "Raised when SPQR encounters an integer overflow."),
        (SPQRInvalidInputError, (SPQRError,), "Raised when SPQR receives invalid input."),
        (SPQRGpuProblemError, (SPQRError,), "Raised when SPQR encounters a problem with CUDA."),
    ]
    for cls, bases, doc in table:
        assert cls.__bases__ == bases and cls.__doc__ == doc
        assert cls.__module__ == "ferrow.spqr"
    assert not issubclass(SPQRRankDeficiencyWarning, SPQRError)


def test_module_names():
    assert spqr_mod.__all__ == ["SPQRError", "SPQRNotInstalledError", "SPQROutOfMemoryError",
                                "SPQROverflowError", "SPQRInvalidInputError", "SPQRGpuProblemError",
                                "SPQRFactor", "spqr_factor", "spqr_solve"]
    import typing
    import warnings as warnings_mod

    import ferrow.cholmod
    import ferrow.utils
    assert spqr_mod.np is np and spqr_mod.warnings is warnings_mod
    assert spqr_mod.csc_array is sp.csc_array and spqr_mod.issparse is sp.issparse
    assert spqr_mod.hstack is sp.hstack and spqr_mod.NamedTuple is typing.NamedTuple
    assert spqr_mod._cholmod_sparse_from_csc is ferrow.cholmod._cholmod_sparse_from_csc
    assert spqr_mod.validate_csc_input is ferrow.utils.validate_csc_input
    assert spqr_mod.__doc__.startswith("Sparse QR Decomposition")
    # The shared text of the function and of the factor's method.
    template, house_doc = spqr_mod._QMULT_DOC_TEMPLATE, spqr_mod._qmult_house_doc
    assert spqr_qmult.__doc__.endswith(template.format(house_doc=house_doc, see_also=""))
    assert "Householder" in spqr.__doc__ and "'bestamd'" in spqr.__doc__


def test_reinitialisation_is_refused():
    saved = sys.modules.pop("ferrow.spqr")
    try:
        with pytest.raises(RuntimeError, match="^Module 'spqr' has already been imported. "):
            importlib.import_module("ferrow.spqr")
    finally:
        sys.modules["ferrow.spqr"] = saved


def test_householder_record():
    assert SPQRHouseholder._fields == ("H", "tau", "perm")
    assert SPQRHouseholder.__annotations__ == {
        "H": "~scipy.sparse.csc_array", "tau": "~numpy.ndarray", "perm": "~numpy.ndarray"}
    assert SPQRHouseholder.__doc__.startswith("A class to hold the Householder representation of Q.")
    assert SPQRHouseholder.__module__ == "ferrow.spqr"
    record = SPQRHouseholder(1, 2, 3)
    H, tau, perm = record
    assert (H, tau, perm) == (1, 2, 3) and record.perm == 3
    with pytest.raises(TypeError):
        SPQRHouseholder(1, 2)


# ---------------------------------------------------------------------------------------
# spqr
# ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("shape", [(9, 6), (6, 6), (5, 8), (3, 2)])
def test_modes(shape, dtype, itype):
    M, N = shape
    K = min(M, N)
    A = random_csc(M, N, density=0.4, seed=M * N, itype=itype, dtype=dtype)
    before = (A.data.copy(), A.indices.copy(), A.indptr.copy())

    Q, R, E = spqr(A)
    assert Q.shape == (M, M) and R.shape == (M, N)
    for X in (Q, R):
        assert isinstance(X, sp.csc_array) and X.dtype == dtype
    assert E.dtype == itype and is_permutation(E, N)
    check_qr(A, Q, R, E)

    Qe, Re, Ee = spqr(A, mode="economic")
    assert Qe.shape == (M, K) and Re.shape == (K, N)
    check_qr(A, Qe, Re, Ee)

    result = spqr(A, mode="r")
    assert len(result) == 2
    Rr, Er = result
    assert Rr.shape == (M, N) and Rr.dtype == dtype
    np.testing.assert_allclose(abs(Rr.toarray()), abs(R.toarray()), atol=1e-12)

    house, Rh, Eh = spqr(A, mode="householder")
    H, tau, perm = house
    assert isinstance(house, SPQRHouseholder) and isinstance(H, sp.csc_array)
    assert H.shape[0] == M and H.dtype == dtype and tau.dtype == dtype
    assert tau.shape == ((H.shape[1],) if H.shape[1] != 1 else ())
    assert perm.dtype == itype and is_permutation(perm, M)
    check_qr(A, sp.csc_array(householder_q(house, M, dtype)), Rh, Eh)

    for a, b in zip(before, (A.data, A.indices, A.indptr)):
        assert np.array_equal(a, b)


def test_complex_and_int64():
    A = with_index_type(random_csc(7, 4, dtype=np.complex128, seed=2), np.int64)
    Q, R, E = spqr(A)
    assert Q.dtype == R.dtype == np.complex128 and E.dtype == np.int64
    assert Q.indptr.dtype == R.indices.dtype == np.int64
    check_qr(A, Q, R, E)


@pytest.mark.parametrize("order", ORDERINGS)
def test_orderings(order, itype):
    A = random_csc(12, 8, density=0.25, seed=11, itype=itype)
    Q, R, E = spqr(A, order=order)
    check_qr(A, Q, R, E)
    if order == "fixed":
        assert E is None  # the library returns no permutation
    elif E is not None:
        assert E.dtype == itype and is_permutation(E, 8)


def test_orderings_find_less_fill_than_none():
    from ferrow.demos.problems import grid_least_squares

    A, _ = grid_least_squares(30)
    fixed = spqr(A, mode="r", order="fixed")[0].nnz
    for order in ["default", "colamd", "amd", "metis", "best"]:
        assert spqr(A, mode="r", order=order)[0].nnz < fixed / 2


@settings(max_examples=60, deadline=None)
@given(m=st.integers(1, 9), n=st.integers(1, 9), density=st.floats(0.05, 1.0),
       seed=st.integers(0, 2**16), complex_values=st.booleans(), int64=st.booleans(),
       order=st.sampled_from(ORDERINGS), economic=st.booleans())
def test_qr_equals_ae(m, n, density, seed, complex_values, int64, order, economic):
    dtype = np.complex128 if complex_values else np.float64
    A = random_csc(m, n, density=density, seed=seed, dtype=dtype, diag=False,
                   itype=np.int64 if int64 else np.int32)
    Q, R, E = spqr(A, mode="economic" if economic else "full", order=order, tol=0)
    K = min(m, n) if economic else m
    assert Q.shape == (m, K) and R.shape == (K, n)
    check_qr(A, Q, R, E)


def test_rank_deficient_matrices_pass_through(dtype):
    A = random_csc(8, 5, density=0.5, seed=3, dtype=dtype).toarray()
    A[:, 3] = 2 * A[:, 0] - A[:, 1]   # dependent column
    A[:, 4] = 0                       # zero column
    A = sp.csc_array(A)
    for mode in ["full", "economic"]:
        Q, R, E = spqr(A, mode=mode)
        check_qr(A, Q, R, E)
        assert nonzero_rows(R) == 3
    house, R, E = spqr(A, mode="householder")
    check_qr(A, sp.csc_array(householder_q(house, 8, dtype)), R, E)


@pytest.mark.parametrize("shape", [(0, 0), (0, 3), (3, 0), (4, 3)])
def test_empty_matrices_pass_through(shape, itype):
    A = with_index_type(sp.csc_array(shape), itype)
    M, N = shape
    Q, R, E = spqr(A)
    assert Q.shape == (M, M) and R.shape == (M, N) and R.nnz == 0
    assert E.dtype == itype and is_permutation(E, N)
    Q, R, E = spqr(A, mode="economic")
    assert Q.shape == (M, min(M, N)) and R.shape == (min(M, N), N)
    R, E = spqr(A, mode="r")
    assert R.shape == (M, N)
    house, R, E = spqr(A, mode="householder")
    assert house.H.shape[0] == M and house.perm.shape == (M,)
    assert house.tau.shape == (house.H.shape[1],)
    # Q of a matrix without entries is a permutation: multiplication still works.
    X = random_dense((M, 2), np.float64)
    np.testing.assert_allclose(spqr_qmult(house, X), householder_q(house, M, np.float64) @ X)
    assert spqr_qmult(house, X, "QTX").shape == (M, 2)


def test_tolerance():
    # The last column is below the default tolerance but not below 0.
    A = sp.csc_array(np.array([[1.0, 2, 0], [0, 1, 3e-15], [3, 0, 1e-15], [1, 1, 0]]))
    assert nonzero_rows(spqr(A, mode="r")[0]) == 2
    assert nonzero_rows(spqr(A, mode="r", tol=-2.0)[0]) == 2   # the library's default
    for tol in [0, 0.0, -1, 1e-20, np.float32(1e-20), fractions.Fraction(1, 10**20)]:
        assert nonzero_rows(spqr(A, mode="r", tol=tol)[0]) == 3
    assert nonzero_rows(spqr(A, mode="r", tol=100)[0]) == 0


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def test_tolerance_uses_the_number_protocol():
    A = random_csc(4, 3)
    assert nonzero_rows(spqr(A, mode="r", tol=Index(0))[0]) == 3
    for tol in ["0.5", "abc", b"1", [0.5]]:
        with pytest.raises(TypeError):
            spqr(A, tol=tol)


@pytest.mark.parametrize("kwargs, exc, message", [
    (dict(mode="econ"), ValueError, f"Invalid mode 'econ'. Expected one of {MODES}."),
    (dict(mode="R"), ValueError, f"Invalid mode 'R'. Expected one of {MODES}."),
    (dict(mode=None), ValueError, f"Invalid mode 'None'. Expected one of {MODES}."),
    (dict(mode="econ", order="given", tol="x"), ValueError, "Invalid mode 'econ'"),
    (dict(order="given", tol="x"), ValueError, "Unknown ordering method: given. Must be one of {"),
    (dict(order=["amd"]), TypeError, "unhashable"),
    (dict(order="AMD"), ValueError, "Unknown ordering method: AMD."),
    (dict(tol="x"), TypeError, ""),
])
def test_argument_errors_in_order(kwargs, exc, message):
    A = random_csc(4, 3)
    with pytest.raises(exc) as info:
        spqr(A, **kwargs)
    assert str(info.value).startswith(message)


def test_unknown_ordering_message_and_context():
    with pytest.raises(ValueError) as info:
        spqr(random_csc(3, 3), order="given")
    names = str(set(ORDERINGS))
    text = str(info.value)
    assert text.startswith("Unknown ordering method: given. Must be one of {") and text.endswith("}.")
    assert sorted(eval(text[len("Unknown ordering method: given. Must be one of "):-1])) == sorted(
        eval(names))
    assert isinstance(info.value.__context__, KeyError)


def test_call_signature():
    A = random_csc(4, 3)
    with pytest.raises(TypeError):
        spqr(A, "full")
    with pytest.raises(TypeError):
        spqr(A, nomode="full")
    with pytest.raises(TypeError):
        spqr()
    Q, R, E = spqr(A=A, mode="full", order=None, tol=None)
    check_qr(A, Q, R, E)


@pytest.mark.parametrize("values, computed", [
    (np.int64, np.float64), (np.int8, np.float64), (np.bool_, np.float64), (np.float32, np.float64),
    (np.uint16, np.float64), (np.complex64, np.complex128),
])
def test_value_conversion(values, computed):
    A = sp.csc_array(np.array([[1, 0, 1], [1, 1, 0], [0, 1, 1], [1, 1, 1]]).astype(values))
    Q, R, E = spqr(A)
    assert Q.dtype == R.dtype == computed
    check_qr(sp.csc_array(A.astype(computed)), Q, R, E, rtol=1e-6)
    assert A.dtype == values  # the caller's matrix is not converted in place


@pytest.mark.parametrize("values", [np.longdouble, np.clongdouble])
def test_unsupported_value_types(values):
    A = sp.csc_array(np.eye(3).astype(values))
    with pytest.raises(TypeError, match=np.dtype(values).name):
        spqr(A)


def test_input_validation_runs_first():
    with pytest.raises(ValueError, match="two-dimensional"):
        spqr(np.ones(3), mode="bad")  # a 1-D input fails before the mode is checked
    with pytest.warns(SparseEfficiencyWarning):
        Q, R, E = spqr(sp.coo_array(random_csc(5, 3)))
    check_qr(random_csc(5, 3), Q, R, E)


# ---------------------------------------------------------------------------------------
# spqr_qmult
# ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("shape", [(10, 6), (7, 7), (5, 9)])
def test_qmult_methods_against_householder_vectors(shape, dtype, itype):
    M, N = shape
    A = random_csc(M, N, density=0.35, seed=M + N, itype=itype, dtype=dtype)
    house, R, E = spqr(A, mode="householder")
    Q = householder_q(house, M, dtype)
    X = random_dense((M, 3), dtype, seed=1)
    Xt = random_dense((3, M), dtype, seed=2)
    expected = {"QX": Q @ X, "QTX": Q.conj().T @ X, "XQ": Xt @ Q, "XQT": Xt @ Q.conj().T}
    for method, ref in expected.items():
        operand = X if method in ("QX", "QTX") else Xt
        before = operand.copy()
        Y = spqr_qmult(house, operand, method)
        assert isinstance(Y, np.ndarray) and Y.dtype == dtype and Y.shape == ref.shape
        np.testing.assert_allclose(Y, ref, atol=1e-12)
        Ys = spqr_qmult(house, sp.csc_array(operand), method=method)
        assert isinstance(Ys, sp.csc_array) and Ys.dtype == dtype
        np.testing.assert_allclose(Ys.toarray(), ref, atol=1e-12)
        assert np.array_equal(operand, before)
    # Raw worker, same answer.
    H, tau, perm = house
    Y = _qmult(1, H, np.reshape(tau, (1, -1)), perm, np.asfortranarray(X))
    np.testing.assert_allclose(Y, expected["QX"], atol=1e-12)


def test_qmult_reproduces_q_of_mode_full(dtype, itype):
    """Householder form and the explicit Q of mode "full" describe one Q.

    Q is unique up to the phase of each of its first N columns (visible in the signs of
    R's rows) and, for M > N, up to a unitary map of its trailing M - N columns.
    """
    for M, N in [(8, 8), (11, 6)]:
        A = with_index_type(sp.csc_array(random_csc(M, N, density=0.3, seed=M, dtype=dtype)
                                         + 3 * sp.eye_array(M, N)), itype)
        Q, R, E = spqr(A)
        house, Rh, Eh = spqr(A, mode="householder")
        assert np.array_equal(E, Eh)
        d = np.diag(R.toarray())[:N] / np.diag(Rh.toarray())[:N]
        np.testing.assert_allclose(abs(d), 1.0)
        np.testing.assert_allclose(Rh.toarray()[:N], (R.toarray()[:N].T / d).T, atol=1e-12)
        Qd = Q.toarray()
        Qd[:, :N] *= d          # Q of mode "full" with the phases of the Householder form
        X = random_dense((M, 4), dtype, seed=3)
        Xt = random_dense((4, M), dtype, seed=4)
        top, left = X.copy(), Xt.copy()
        top[N:] = 0             # only the determined columns of Q act
        left[:, N:] = 0
        np.testing.assert_allclose(spqr_qmult(house, top, "QX"), Qd @ top, atol=1e-12)
        np.testing.assert_allclose(spqr_qmult(house, left, "XQT"), left @ Qd.conj().T, atol=1e-12)
        Y, ref = spqr_qmult(house, X, "QTX"), Qd.conj().T @ X
        np.testing.assert_allclose(Y[:N], ref[:N], atol=1e-12)
        np.testing.assert_allclose(np.linalg.norm(Y[N:], axis=0), np.linalg.norm(ref[N:], axis=0))
        Y, ref = spqr_qmult(house, Xt, "XQ"), Xt @ Qd
        np.testing.assert_allclose(Y[:, :N], ref[:, :N], atol=1e-12)
        np.testing.assert_allclose(np.linalg.norm(Y[:, N:], axis=1), np.linalg.norm(ref[:, N:], axis=1))


def test_qmult_vectors_and_round_trip():
    A = random_csc(9, 5, seed=4)
    house, _, _ = spqr(A, mode="householder")
    x = np.random.default_rng(0).standard_normal(9)
    y = spqr_qmult(house, x, "QTX")
    assert y.shape == (9,)
    np.testing.assert_allclose(spqr_qmult(house, y), x, atol=1e-13)
    np.testing.assert_allclose(np.linalg.norm(y), np.linalg.norm(x))
    assert spqr_qmult(house, list(x)).shape == (9,)  # a list of floats is accepted
    with pytest.raises(IndexError):
        spqr_qmult(house, x, "XQ")
    # any 3-tuple serves as the Householder form
    H, tau, perm = house
    np.testing.assert_allclose(spqr_qmult((H, tau, perm), x), spqr_qmult(house, x))


def test_qmult_sparse_operands_are_converted_to_h_types(itype):
    A = random_csc(8, 5, seed=6, itype=itype)
    house, _, _ = spqr(A, mode="householder")
    Q = householder_q(house, 8, np.float64)
    X = random_csc(8, 3, density=0.5, seed=1)
    other = np.int64 if itype == np.int32 else np.int32
    for operand in [with_index_type(X, other), sp.csr_array(X), sp.coo_array(X)]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", SparseEfficiencyWarning)
            Y = spqr_qmult(house, operand)
        assert isinstance(Y, sp.csc_array) and Y.indptr.dtype == itype
        np.testing.assert_allclose(Y.toarray(), Q @ X.toarray(), atol=1e-12)
    for values in [np.complex128, np.float32, np.int64]:
        with pytest.raises(ValueError, match="float64"):
            spqr_qmult(house, sp.csc_array(X.astype(values)))
    # complex H: a real sparse X is refused as well (no silent promotion either way)
    Hc, _, _ = spqr(random_csc(8, 5, seed=6, dtype=np.complex128, itype=itype), mode="householder")
    with pytest.raises(ValueError, match="complex128"):
        spqr_qmult(Hc, X)


HOUSE_MESSAGE = ("house must be a tuple of (H, tau, v) representing the Householder vectors, "
                 "coefficients, and permutation. Got ")


@pytest.fixture
def house():
    return spqr(random_csc(6, 4, seed=9), mode="householder")[0]


@pytest.mark.parametrize("change, context, reason", [
    (lambda h: h[:2], ValueError, "not enough values"),
    (lambda h: tuple(h) + (1,), ValueError, "too many values"),
    (lambda h: 5, TypeError, "non-iterable"),
    (lambda h: (h.H, h.tau[:-1], h.perm), TypeError, "tau shape mismatch"),
    (lambda h: (h.H, h.tau.astype(np.float32), h.perm), TypeError, "tau dtype mismatch"),
    (lambda h: (h.H, h.tau, h.perm[:-1]), TypeError, "v shape mismatch"),
    (lambda h: (h.H, h.tau, h.perm.astype(np.int64)), TypeError, "v dtype mismatch"),
    (lambda h: (np.ones(3), h.tau, h.perm), ValueError, "two-dimensional"),
    (lambda h: h.H[:3], TypeError, "sparse matrix"),
])
def test_qmult_bad_householder_form(house, change, context, reason):
    bad = change(house)
    with pytest.raises(ValueError) as info:
        spqr_qmult(bad, np.ones(6))
    shown = repr(bad) if sp.issparse(bad) else str(bad)  # str() of a sparse matrix reads its entries
    assert str(info.value) == HOUSE_MESSAGE + shown + "."
    assert isinstance(info.value.__context__, context) and reason in str(info.value.__context__)


@pytest.mark.parametrize("X, method, exc, message", [
    (np.ones(5), "QX", ValueError, "Input X must have compatible shape with Q. Expected 6, got 5."),
    (np.ones((2, 5)), "XQ", ValueError, "Input X must have compatible shape with Q. Expected 6, got 5."),
    (np.ones((6, 2, 1)), "QX", ValueError, "X must be a 1D or 2D array."),
    (np.ones(6), "qx", ValueError, "Invalid method 'qx'. Expected one of ['QX', 'QTX', 'XQ', 'XQT']."),
    (np.ones(6), None, ValueError, "Invalid method 'None'. Expected one of ['QX', 'QTX', 'XQ', 'XQT']."),
    (np.ones(6), 1, TypeError, "Expected str, got int"),
    (np.ones(6, dtype=np.int64), "QX", ValueError, "X must be a 2-D float64 array"),
    ([1, 2, 3, 4, 5, 6], "QX", ValueError, "X must be a 2-D float64 array"),
    (np.ones(6, dtype=complex), "QX", ValueError, "X must be a 2-D float64 array"),
])
def test_qmult_bad_operands(house, X, method, exc, message):
    with pytest.raises(exc) as info:
        spqr_qmult(house, X, method)
    assert str(info.value).startswith(message)


def test_qmult_unconvertible_operand(house):
    class Bad:
        def __array__(self, *args, **kwargs):
            raise RuntimeError("no")

    with pytest.raises(ValueError, match="^X must be an ndarray or sparse matrix.$") as info:
        spqr_qmult(house, Bad())
    assert isinstance(info.value.__context__, RuntimeError)


# ---------------------------------------------------------------------------------------
# _qmult: every array it hands to the library is checked
# ---------------------------------------------------------------------------------------

class TestRawQmult:
    @pytest.fixture
    def args(self, itype):
        house, _, _ = spqr(random_csc(6, 4, seed=9, itype=itype), mode="householder")
        H, tau, perm = house
        return H, np.reshape(tau, (1, -1)), perm, np.asfortranarray(np.ones((6, 2)))

    def test_good_arguments_and_nothing_written(self, args):
        H, tau, v, X = args
        saved = [a.copy() for a in (H.data, H.indices, H.indptr, tau, v, X)]
        Y = _qmult(0, H, tau, v, X)
        assert Y.shape == (6, 2)
        Y = _qmult(method=3, H=H, tau=tau, v=v, X=np.asfortranarray(np.ones((2, 6))))
        assert Y.shape == (2, 6)
        for a, b in zip(saved, (H.data, H.indices, H.indptr, tau, v, X)):
            assert np.array_equal(a, b)

    def test_dispatch(self, args):
        H, tau, v, X = args
        for bad_tau, bad_v in [(tau.astype(np.float32), v), (tau, v.astype(np.int16)),
                               (tau.tolist(), v), (None, v), (tau, None)]:
            with pytest.raises(TypeError, match="^No matching signature found$"):
                _qmult(1, H, bad_tau, bad_v, X)
        with pytest.raises(TypeError):
            _qmult(1, H, tau, v)
        with pytest.raises(TypeError):
            _qmult("1", H, tau, v, X)
        with pytest.raises(OverflowError):
            _qmult(2**40, H, tau, v, X)

    def test_method_code_is_checked_by_the_library(self, args):
        with pytest.raises(SPQRInvalidInputError, match=r"^SPQR received invalid input\. \(code -4\)$"):
            _qmult(7, *args)

    def bad_h(self, H, kind):
        B = sp.csc_array(H, copy=True)
        if kind == "unsorted":
            c = np.flatnonzero(np.diff(B.indptr) > 1)[0]
            s = B.indptr[c]
            B.indices[[s, s + 1]] = B.indices[[s + 1, s]]
        elif kind == "duplicate":
            c = np.flatnonzero(np.diff(B.indptr) > 1)[0]
            s = B.indptr[c]
            B.indices[s + 1] = B.indices[s]
        elif kind == "empty column":
            B = sp.csc_array((B.shape), dtype=B.dtype)
            B.indptr = B.indptr.astype(H.indptr.dtype)
            B.indices = B.indices.astype(H.indptr.dtype)
        elif kind == "row out of range":
            B.indices[0] = 6
        elif kind == "short indptr":
            B.indptr = B.indptr[:-1]
        elif kind == "other index type":
            t = np.int64 if H.indptr.dtype == np.int32 else np.int32
            B.indptr, B.indices = B.indptr.astype(t), B.indices.astype(t)
        elif kind == "complex":
            B = B.astype(np.complex128)
        elif kind == "float32":
            B.data = B.data.astype(np.float32)
        return B

    @pytest.mark.parametrize("kind, exc, message", [
        ("unsorted", ValueError, "sorted row indices"),
        ("duplicate", ValueError, "sorted row indices"),
        ("empty column", ValueError, "column 0 of H is empty"),
        ("row out of range", ValueError, "out of range"),
        ("short indptr", ValueError, "indptr"),
        ("other index type", ValueError, "index arrays like v"),
        ("complex", ValueError, "H must hold float64 values"),
        ("float32", TypeError, "float64 or complex128"),
    ])
    def test_h(self, args, kind, exc, message):
        H, tau, v, X = args
        with pytest.raises(exc, match=message):
            _qmult(1, self.bad_h(H, kind), tau, v, X)

    def test_tau(self, args):
        H, tau, v, X = args
        wide = np.zeros((1, 8))
        wide[0, ::2] = tau[0]
        for bad in [tau[0], tau[:, :-1], np.hstack([tau, tau]), tau.T.copy(), wide[:, ::2]]:
            with pytest.raises(ValueError, match="tau must be"):
                _qmult(1, H, bad, v, X)

    def test_v(self, args):
        H, tau, v, X = args
        for bad in [v[:-1], np.append(v, v[:1]), v.reshape(2, 3)]:
            with pytest.raises(ValueError, match="v must|dimensions"):
                _qmult(1, H, tau, bad, X)
        strided = np.repeat(v, 2)[::2]
        with pytest.raises(ValueError, match="contiguous"):
            _qmult(1, H, tau, strided, X)
        for value in [6, -1, 2**20]:
            bad = v.copy()
            bad[2] = value
            with pytest.raises(ValueError, match="v must be a permutation of 0..5"):
                _qmult(1, H, tau, bad, X)
        bad = v.copy()
        bad[1] = bad[0]
        with pytest.raises(ValueError, match="v must be a permutation"):
            _qmult(0, H, tau, bad, X)

    def test_dense_x(self, args):
        H, tau, v, X = args
        for bad in [np.ones((6, 2)), np.ones(6), np.ones((6, 2), dtype=np.complex128, order="F"),
                    np.ones((6, 2), dtype=np.int64, order="F"), [[1.0] * 2] * 6]:
            with pytest.raises(ValueError, match="X must be a 2-D float64 array"):
                _qmult(1, H, tau, v, bad)
        for method, bad in [(1, np.ones((5, 2), order="F")), (0, np.ones((7, 2), order="F")),
                            (3, np.ones((6, 2), order="F")), (2, np.ones((2, 5), order="F"))]:
            with pytest.raises(ValueError, match="X must have 6 (rows|columns)"):
                _qmult(method, H, tau, v, bad)
        # a view with a leading dimension larger than its row count is read correctly
        big = np.asfortranarray(np.arange(20.0).reshape(10, 2))
        np.testing.assert_allclose(_qmult(1, H, tau, v, big[:6]),
                                   _qmult(1, H, tau, v, np.asfortranarray(big[:6])))

    def test_arrays_of_h_are_held_for_the_call(self, args):
        H, tau, v, X = args

        class Fresh:
            """An H whose attributes are new arrays on every access."""
            shape = H.shape
            indptr = property(lambda self: H.indptr.copy())
            indices = property(lambda self: H.indices.copy())
            data = property(lambda self: H.data.copy())

        np.testing.assert_array_equal(_qmult(1, Fresh(), tau, v, X), _qmult(1, H, tau, v, X))

    def test_sparse_x(self, args):
        H, tau, v, X = args
        with pytest.raises(ValueError, match="X must have 6 rows"):
            _qmult(1, H, tau, v, sp.csc_array(np.ones((5, 2))))
        with pytest.raises(ValueError, match="float64"):
            _qmult(1, H, tau, v, sp.csc_array(np.ones((6, 2), dtype=np.complex64)))
        Y = _qmult(1, H, tau, v, sp.csc_array(np.ones((6, 2))))
        np.testing.assert_allclose(Y.toarray(), _qmult(1, H, tau, v, X))
