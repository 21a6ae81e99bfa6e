import copy
import gc
import pickle
import warnings

import numpy as np
import pytest
import scipy.sparse as sp

import ferrow.spqr as spqr
from conftest import is_permutation, random_csc, with_index_type
from ferrow.spqr import (SPQRFactor, SPQRInvalidInputError, SPQROutOfMemoryError,
                         SPQRRankDeficiencyWarning, spqr_factor, spqr_solve)

VARIANTS = [(np.dtype(v), np.dtype(i)) for v, i in [
    (np.float64, np.int32), (np.float64, np.int64), (np.complex128, np.int32),
    (np.complex128, np.int64)]]
VARIANT_IDS = ["float64-int32", "float64-int64", "complex128-int32", "complex128-int64"]
PICKLE_TEXT = ("self._cm,self._common,self._factor_di,self._factor_dl,self._factor_zi,"
               "self._factor_zl cannot be converted to a Python object for pickling")


@pytest.fixture(params=VARIANTS, ids=VARIANT_IDS)
def variant(request):
    return request.param


def matrix(m, n, variant, seed=0, density=0.4):
    """A random m x n CSC matrix of full rank min(m, n) (a unit diagonal is added)."""
    dtype, itype = variant
    return random_csc(m, n, density=density, seed=seed, itype=itype, dtype=dtype)


def rhs(m, variant, k=None, seed=1):
    rng = np.random.default_rng(seed)
    shape = (m,) if k is None else (m, k)
    b = rng.standard_normal(shape)
    if variant[0].kind == "c":
        b = b + 1j * rng.standard_normal(shape)
    return b


def lstsq(A, b):
    return np.linalg.lstsq(A.toarray(), b, rcond=None)[0]


def with_values(A, values):
    B = A.copy()
    B.data = values.astype(A.dtype)
    return B


def rank_deficient(variant):
    A = np.array([[1.0, 2, 3], [2, 4, 6], [1, 0, 1]], dtype=variant[0])
    return with_index_type(sp.csc_array(A), variant[1])


#------------------------------------------------------------------------------
# Construction, states, properties
#------------------------------------------------------------------------------


def test_symbolic_then_numeric(variant):
    dtype, itype = variant
    A = matrix(7, 5, variant)
    F = SPQRFactor(A)
    assert not F.is_numeric and F.rank is None
    assert F.shape == (7, 5) and F.dtype == dtype and F.itype == itype
    assert type(F.shape[0]) is int
    assert repr(F) == str(F) == (f"<SPQRFactor symbolic factor of dtype '{dtype}' with "
                                 f"'{itype}' indices\n    A: shape=(7, 5), rank=None>")
    assert F.factorize(A) is F
    assert F.is_numeric and F.rank == 5 and type(F.rank) is int
    assert repr(F).startswith("<SPQRFactor numeric factor of dtype")
    assert repr(F).endswith("A: shape=(7, 5), rank=5>")


@pytest.mark.parametrize("use_singletons", [False, True])
def test_numeric_at_once(variant, use_singletons):
    A = matrix(6, 4, variant)
    assert SPQRFactor(A, use_singletons=True).is_numeric
    F = spqr_factor(A, use_singletons=use_singletons)
    assert F.is_numeric and F.rank == 4


def test_use_singletons_by_truth_value():
    A = matrix(6, 4, VARIANTS[0])
    assert SPQRFactor(A, use_singletons=[1]).is_numeric
    assert not SPQRFactor(A, use_singletons=[]).is_numeric


def test_arguments():
    A = matrix(5, 3, VARIANTS[0])
    with pytest.raises(TypeError):
        SPQRFactor()
    with pytest.raises(TypeError):
        SPQRFactor(A, False)  # only A by position
    with pytest.raises(TypeError):
        SPQRFactor(A, singletons=True)
    assert SPQRFactor(A=A).shape == (5, 3)
    with pytest.raises(TypeError):
        spqr_factor(A, True)


def test_unknown_ordering():
    A = matrix(5, 3, VARIANTS[0])
    with pytest.raises(ValueError) as exc:
        SPQRFactor(A, order="given")
    text = str(exc.value)
    assert text.startswith("Unknown ordering method: given. Must be one of {")
    for name in ["default", "fixed", "natural", "colamd", "cholmod", "amd", "metis", "best",
                 "bestamd"]:
        assert f"'{name}'" in text
    assert isinstance(exc.value.__context__, KeyError)
    with pytest.raises(TypeError):
        SPQRFactor(A, order=["amd"])


@pytest.mark.parametrize("order", ["default", "fixed", "natural", "colamd", "cholmod", "amd",
                                   "metis", "best", "bestamd", None])
def test_orderings_give_permutations(order):
    A = matrix(9, 6, VARIANTS[1], seed=3)
    F = spqr_factor(A, order=order)
    assert is_permutation(F.perm, 6) and F.perm.dtype == np.int64
    assert np.allclose(F.solve(rhs(9, VARIANTS[1])), lstsq(A, rhs(9, VARIANTS[1])))


def test_tolerance_is_converted_by_the_number_protocol():
    A = matrix(5, 3, VARIANTS[0])
    assert spqr_factor(A, tol=np.float32(0.5)).info.tol == 0.5
    assert spqr_factor(A, tol=0).info.tol == 0.0
    with pytest.raises(TypeError):
        SPQRFactor(A, tol="0.1")


def test_perm_is_a_fresh_copy_and_q_r_equals_a_e(variant):
    A = matrix(8, 5, variant, seed=2)
    F = spqr_factor(A)
    p = F.perm
    assert is_permutation(p, 5) and p.dtype == variant[1]
    assert F.perm is not p
    p[:] = 0
    assert is_permutation(F.perm, 5)
    # Q^H (A E) = R is upper trapezoidal.
    AE = np.asfortranarray(A.toarray()[:, F.perm])
    R = F.qmult(AE, "QTX")
    assert np.allclose(np.tril(R, -1), 0, atol=1e-12)
    assert np.allclose(F.qmult(R, "QX"), AE)


def test_perm_of_a_symbolic_factor_and_of_the_fixed_ordering():
    A = matrix(6, 4, VARIANTS[0], seed=5)
    assert is_permutation(SPQRFactor(A).perm, 4)
    assert np.array_equal(SPQRFactor(A, order="fixed").perm, np.arange(4))


def test_non_csc_and_other_value_types_are_accepted():
    dense = np.array([[1.0, 2.0], [0.0, 3.0], [4.0, 0.0]])
    with pytest.warns(sp.SparseEfficiencyWarning):
        F = spqr_factor(dense)
    assert F.dtype == np.float64
    F32 = spqr_factor(sp.csc_array(dense.astype(np.float32)))
    assert F32.dtype == np.float64
    F64c = spqr_factor(sp.csc_array(dense.astype(np.complex64)))
    assert F64c.dtype == np.complex128


def test_failed_construction_releases_and_raises():
    # 2**62 rows: the library's first allocations overflow and it reports out of memory.
    A = sp.csc_array((np.array([1.0]), (np.array([0]), np.array([0]))), shape=(2**62, 2))
    A = with_index_type(A, np.int64)
    for _ in range(20):
        for singletons in (False, True):
            with pytest.raises(SPQROutOfMemoryError):
                SPQRFactor(A, use_singletons=singletons)
    gc.collect()


def test_an_instance_whose_constructor_failed_is_guarded():
    class Lenient(SPQRFactor):
        def __init__(self, A):
            try:
                super().__init__(A)
            except ValueError:
                pass

    F = Lenient(np.array([[1.0, 2.0], [3.0, 4.0]], dtype=object))  # refused by validation
    assert F.is_numeric is False and F.rank is None  # not numeric: no rank
    for call in (lambda: F.shape, lambda: F.perm, lambda: F.info, lambda: repr(F),
                 lambda: F.copy(), lambda: F.solve(np.ones(2)), lambda: F.factorize(np.eye(2)),
                 lambda: spqr._copy_with_failing_allocation(F, 0)):
        with pytest.raises(AssertionError):
            call()
    G = Lenient(matrix(3, 2, VARIANTS[0]))
    assert repr(G).startswith("<Lenient symbolic factor") and type(G.copy()) is SPQRFactor


def test_constructor_cannot_run_twice():
    A = matrix(5, 3, VARIANTS[0])
    F = SPQRFactor(A)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(TypeError):
            F.__init__(A)
    assert F.shape == (5, 3) and not F.is_numeric


@pytest.mark.parametrize("fn", [pickle.dumps, copy.copy, copy.deepcopy])
def test_pickling_is_refused(fn):
    F = spqr_factor(matrix(5, 3, VARIANTS[0]))
    with pytest.raises(TypeError) as exc:
        fn(F)
    assert str(exc.value) == PICKLE_TEXT
    with pytest.raises(TypeError) as exc:
        F.__setstate__(())
    assert str(exc.value) == PICKLE_TEXT


def test_docstrings():
    assert "Initialize the SPQRFactor object and perform symbolic analysis." in SPQRFactor.__init__.__doc__
    for doc in (SPQRFactor.__doc__, SPQRFactor.factorize.__doc__, spqr_factor.__doc__):
        assert "use_singletons=True" in doc and "code -4" in doc and "refactoris" in doc
    assert spqr._SOLVE_DOC_TEMPLATE.format(A_doc="", min2norm="") in SPQRFactor.solve.__doc__
    assert spqr._SOLVE_DOC_TEMPLATE.format(A_doc=spqr._A_doc, min2norm=spqr._min2norm_doc) \
        in spqr_solve.__doc__
    assert spqr._QMULT_DOC_TEMPLATE.format(house_doc="", see_also=", spqr_qmult") \
        in SPQRFactor.qmult.__doc__


#------------------------------------------------------------------------------
# factorize
#------------------------------------------------------------------------------


def test_refactorising_gives_the_new_factorisation(variant):
    A = matrix(9, 6, variant, seed=4)
    b = rhs(9, variant)
    F = spqr_factor(A)
    assert np.allclose(F.solve(b), lstsq(A, b))
    rng = np.random.default_rng(7)
    for _ in range(3):
        B = with_values(A, rng.standard_normal(A.nnz) + 3)
        assert F.factorize(B) is F
        assert np.allclose(F.solve(b), lstsq(B, b))


def test_factorize_checks_the_matrix():
    A = matrix(6, 4, VARIANTS[0])
    F = SPQRFactor(A)
    cases = [
        (matrix(6, 5, VARIANTS[0]), "The shape of the input matrix does not match the one used "
         "for symbolic factorization. Expected (6, 4), got (6, 5)."),
        (with_index_type(A, np.int64), "The integer size of the input matrix does not match the "
         "one used for symbolic factorization. Expected 'int32', got 'int64'."),
        (A.astype(np.complex128), "The data type of the input matrix does not match the one "
         "used for symbolic factorization. Expected 'float64', got 'complex128'."),
    ]
    for B, message in cases:
        with pytest.raises(ValueError) as exc:
            F.factorize(B)
        assert str(exc.value) == message
    assert not F.is_numeric
    with pytest.raises(ValueError, match="Expected 'int32', got 'int64'"):
        F._check_input_matrix(with_index_type(A, np.int64), np.dtype(np.int64))
    assert F._check_input_matrix(A, np.dtype(np.int32)) is None
    assert F._check_input_matrix(A=A, itype="int32") is None  # anything np.dtype accepts
    with pytest.raises(ValueError, match="Expected 'int32', got 'int64'"):
        F._check_input_matrix(A, np.int64)


def test_factorize_refuses_another_pattern(variant):
    # The library scatters the new values into the analysed pattern without checking
    # them: another pattern would write outside its arrays.
    dtype, itype = variant
    A = matrix(7, 4, variant, seed=1)
    dense = A.toarray()
    i, j = np.argwhere(dense == 0)[0]
    extra = dense.copy()
    extra[i, j] = 1.0
    fewer = A.copy()
    fewer.data[0] = 0
    fewer.eliminate_zeros()
    others = [matrix(7, 4, variant, seed=2), sp.csc_array(extra), fewer]
    for F in (SPQRFactor(A), spqr_factor(A)):
        state = F.is_numeric
        for B in others:
            with pytest.raises(ValueError) as exc:
                F.factorize(with_index_type(B, itype))
            assert str(exc.value) == ("The sparsity pattern of the input matrix does not match "
                                      "the one used for symbolic factorization.")
        assert F.is_numeric == state
    # The same pattern with explicit zeros among the values is the same pattern.
    F = spqr_factor(A)
    B = with_values(A, np.where(np.arange(A.nnz) % 3 == 0, 0.0, 2.0 + np.arange(A.nnz)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SPQRRankDeficiencyWarning)
        F.factorize(B)
        b = rhs(7, variant)
        assert np.allclose(B.toarray().conj().T @ (B @ F.solve(b) - b), 0, atol=1e-8)


def test_refactorising_a_singleton_factorisation(variant):
    dtype, itype = variant
    A = with_index_type(sp.csc_array(np.array(
        [[1.0, 2, 0], [0, 3, 4], [0, 0, 6], [0, 1, 1]], dtype=dtype)), itype)
    F = SPQRFactor(A, use_singletons=True)
    assert F.info.n1cols > 0
    with pytest.raises(SPQRInvalidInputError, match=r"\(code -4\)"):
        F.factorize(A)
    assert F.is_numeric  # the factorisation stays usable
    b = rhs(4, variant)
    assert np.allclose(F.solve(b), lstsq(A, b))


def test_tolerance_change_warns():
    A = matrix(6, 4, VARIANTS[0])
    F = SPQRFactor(A)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        F.factorize(A, tol=0.1)  # symbolic: nothing to compare with
        F.factorize(A)  # no tolerance given
    with pytest.warns(UserWarning) as record:
        F.factorize(A, tol=0.2)
    assert len(record) == 1 and str(record[0].message) == (
        "The tolerance has been changed from the one used during a previous numeric "
        "factorization. This may lead to inconsistent rank determination.")
    assert F.info.tol == 0.2
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        F.factorize(A, tol=0.2)
        F.factorize(A)
    assert F.info.tol == 0.2


def test_tolerance_decides_the_rank():
    A = with_index_type(sp.csc_array(np.diag([1.0, 1e-3, 1e-9])), np.int32)
    assert spqr_factor(A, tol=0).rank == 3
    F = SPQRFactor(A, tol=1e-6).factorize(A)
    assert F.rank == 2
    with pytest.warns(UserWarning):
        assert F.factorize(A, tol=1e-2).rank == 1


#------------------------------------------------------------------------------
# Solves
#------------------------------------------------------------------------------


@pytest.mark.parametrize("shape", [(9, 6), (6, 6)])
def test_least_squares_matches_numpy(variant, shape):
    A = matrix(*shape, variant, seed=6)
    F = spqr_factor(A)
    b = rhs(shape[0], variant)
    x = F.solve(b)
    assert x.shape == (shape[1],) and x.dtype == variant[0]
    assert np.allclose(x, lstsq(A, b))
    B = rhs(shape[0], variant, k=3)
    X = F.solve(B)
    assert X.shape == (shape[1], 3) and np.allclose(X, lstsq(A, B))


def test_transposed_solve_is_the_conjugate_transpose(variant):
    A = matrix(9, 6, variant, seed=8)
    F = spqr_factor(A)
    b = rhs(6, variant, k=2)
    x = F.solve(b, transpose=True)
    AH = A.toarray().conj().T
    assert x.shape == (9, 2)
    assert np.allclose(AH @ x, b)
    assert np.allclose(x, np.linalg.pinv(AH) @ b)  # the minimum-norm solution
    assert np.allclose(F.solve(b[:, 0], transpose=True), x[:, 0])


def test_transposed_solve_of_a_wide_factor_is_refused(variant):
    # R of a wide A is M x N trapezoidal: the least-squares solution of A^H x = b cannot be
    # had from it, and the library's transposed solve would satisfy only M of N equations.
    A = matrix(4, 7, variant, seed=14)
    F = spqr_factor(A)
    b = rhs(7, variant, k=2)
    calls = [lambda: F.solve(b, transpose=True), lambda: F.solve(b[:, 0], transpose=True),
             lambda: F.solve(sp.csc_array(b), transpose=True),
             lambda: F._solve_dense(np.asfortranarray(b), True)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for call in calls:
            with pytest.raises(ValueError) as exc:
                call()
            assert "A.shape=(4, 7)" in str(exc.value)
            assert "spqr_solve(A.conj().T, b)" in str(exc.value)
    # What the message proposes gives the least-squares solution; the plain solve still works.
    AH = A.toarray().conj().T
    x = spqr_solve(sp.csc_array(A.conj().T), b)
    assert np.allclose(x, np.linalg.lstsq(AH, b, rcond=None)[0])
    c = rhs(4, variant)
    assert np.allclose(A @ F.solve(c), c)


def test_spqr_solve_of_a_wide_transposed_system_is_least_squares(variant):
    A = matrix(4, 7, variant, seed=15)
    c = rhs(7, variant)
    AH = A.toarray().conj().T
    x = spqr_solve(A, c, transpose=True, min2norm=False)
    expected = np.linalg.lstsq(AH, c, rcond=None)[0]
    assert x.shape == (4,) and np.allclose(x, expected)
    assert np.linalg.norm(AH @ x - c) < np.linalg.norm(c)  # an inconsistent system: residual left
    assert not np.allclose(AH @ x, c)


def test_right_hand_sides_are_cast_safely():
    A = matrix(6, 4, VARIANTS[0])
    F = spqr_factor(A)
    b = np.arange(6)
    assert np.allclose(F.solve(b), lstsq(A, b.astype(float)))
    assert np.allclose(F.solve(b.astype(np.float32)), lstsq(A, b.astype(float)))
    with pytest.raises(TypeError) as exc:
        F.solve(b.astype(np.complex128))
    assert str(exc.value) == ("Cannot safely cast b.dtype=dtype('complex128') to "
                              "self.dtype=dtype('float64').")
    Fc = spqr_factor(matrix(6, 4, VARIANTS[2]))
    assert Fc.solve(b).dtype == np.complex128


@pytest.mark.parametrize("transpose", [False, True])
def test_solve_validation(transpose):
    F = spqr_factor(matrix(6, 4, VARIANTS[0]))
    with pytest.raises(ValueError, match=r"^b must be an ndarray or sparse matrix\.$"):
        F.solve([1.0] * 6, transpose=transpose)
    with pytest.raises(ValueError, match=r"^b must be a 1D or 2D array\.$"):
        F.solve(np.ones((6, 1, 1)), transpose=transpose)
    with pytest.raises(ValueError) as exc:
        F.solve(np.ones(5), transpose=transpose)
    assert str(exc.value) == ("Right-hand side b must have compatible shape with A. Got "
                              f"b.shape=(5,), but A.shape=(6, 4) (transpose={transpose}).")
    with pytest.raises(TypeError):
        F.solve(np.ones(6), rhs_batch_size=2.5)
    with pytest.raises(TypeError):
        F.solve(np.ones(6), True)  # transpose is keyword-only


def test_solve_needs_a_numeric_factor():
    F = SPQRFactor(matrix(6, 4, VARIANTS[0]))
    for call in (lambda: F.solve(np.ones(6)), lambda: F.qmult(np.ones(6)),
                 lambda: F._solve_dense(np.ones((6, 1), order="F"), False),
                 lambda: F._qmult_dense(1, np.ones((6, 1), order="F"))):
        with pytest.raises(AssertionError) as exc:
            call()
        assert str(exc.value) == ""


def test_rank_deficiency_warns_on_every_solve(variant):
    A = rank_deficient(variant)
    F = spqr_factor(A)
    assert F.rank == 2
    for _ in range(2):
        with pytest.warns(SPQRRankDeficiencyWarning) as record:
            x = F.solve(np.ones(3))
        assert str(record[0].message) == ("Matrix is rank deficient: rank=2, A.shape=(3, 3). "
                                          "The solution may not be unique.")
        # The basic solution: a least-squares solution with a zero in a dead column.
        assert np.allclose(A.toarray().conj().T @ (A @ x - 1), 0)
        assert np.count_nonzero(np.abs(x) > 1e-12) <= 2


def test_sparse_right_hand_sides_in_batches(variant):
    dtype, itype = variant
    A = matrix(12, 8, variant, seed=9)
    F = spqr_factor(A)
    b = sp.random_array((12, 250), density=0.1, rng=3, format="csc", dtype=np.float64)
    b = with_index_type(b.astype(dtype), np.int64 if itype == np.int32 else np.int32)
    x = F.solve(b, rhs_batch_size=100)
    assert isinstance(x, sp.csc_array) and x.shape == (8, 250) and x.dtype == dtype
    assert x.indptr.dtype == itype and x.indices.dtype == itype
    dense = F.solve(b.toarray())
    assert np.allclose(x.toarray(), dense) and np.allclose(dense, lstsq(A, b.toarray()))
    assert not np.any(x.data == 0)  # explicit zeros are not stored
    for batch in (1, 7, 250, 1000):
        assert np.allclose(F.solve(b, rhs_batch_size=batch).toarray(), dense)
    xt = F.solve(b[:8, :], transpose=True, rhs_batch_size=64)
    assert xt.shape == (12, 250) and np.allclose(xt.toarray(),
                                                 F.solve(b[:8, :].toarray(), transpose=True))


def test_sparse_right_hand_side_shapes_and_batch_sizes():
    A = matrix(6, 4, VARIANTS[0])
    F = spqr_factor(A)
    b = rhs(6, VARIANTS[0])
    column = sp.csr_array(b.reshape(-1, 1))
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a single column converts silently
        x = F.solve(column)
    assert isinstance(x, sp.csc_array) and x.shape == (4, 1)
    assert np.allclose(x.toarray()[:, 0], lstsq(A, b))
    x1 = F.solve(sp.coo_array(b))
    assert x1.shape == (4,) and np.allclose(x1.toarray(), lstsq(A, b))
    empty = F.solve(sp.csc_array((6, 0)))
    assert empty.shape == (4, 0) and empty.nnz == 0 and empty.indptr.dtype == np.int32
    for bad in (0, -3):
        with pytest.raises(ValueError):
            F.solve(column, rhs_batch_size=bad)


def test_sparse_right_hand_sides_read_like_scipy(variant):
    # Duplicates are summed and unsorted rows are fine; the caller's arrays stay as they
    # were; complex entries with a zero real part are kept; the result owns its memory.
    dtype, itype = variant
    A = matrix(6, 4, variant, seed=16)
    F = spqr_factor(A)
    data = np.array([1.0, 2.0, -1.5, 0.5, 3.0], dtype=dtype)
    if dtype.kind == "c":
        data = data * 1j
    indices = np.array([4, 1, 4, 0, 5], dtype=itype)
    indptr = np.array([0, 3, 3, 5], dtype=itype)
    b = sp.csc_array((6, 3), dtype=dtype)
    b.data, b.indices, b.indptr = data, indices, indptr
    saved = [data.copy(), indices.copy(), indptr.copy()]
    dense = np.zeros((6, 3), dtype=dtype)
    np.add.at(dense, (indices, [0, 0, 0, 2, 2]), data)
    x = F.solve(b, rhs_batch_size=2)
    assert all(np.array_equal(a, s) for a, s in zip((data, indices, indptr), saved))
    assert np.allclose(x.toarray(), lstsq(A, dense))
    assert x.indptr.tolist()[:2] == [0, 4] and x.indptr[2] == 4  # the zero column stays empty
    assert x.has_sorted_indices
    del b, data, indices, indptr
    gc.collect()
    assert np.allclose(x.toarray(), lstsq(A, dense))


@pytest.mark.parametrize("layout", ["F", "C", "strided"])
def test_dense_right_hand_sides_in_batches(variant, layout):
    # More columns than rhs_batch_size go to the library a batch at a time, whatever the
    # layout of b; the result is the same as in one call and the caller's b is not written.
    A = matrix(9, 6, variant, seed=17)
    F = spqr_factor(A)
    B = rhs(9, variant, k=23, seed=5)
    Bt = rhs(6, variant, k=23, seed=6)
    if layout == "F":
        B, Bt = np.asfortranarray(B), np.asfortranarray(Bt)
    elif layout == "strided":  # neither C- nor F-contiguous
        B = np.concatenate([B, B], axis=1)[:, ::2]
        Bt = np.concatenate([Bt, Bt], axis=1)[:, ::2]
    saved = B.copy()
    whole = F.solve(B, rhs_batch_size=100)
    assert np.allclose(whole, lstsq(A, B))
    for batch in (1, 5, 22):
        X = F.solve(B, rhs_batch_size=batch)
        assert X.shape == (6, 23) and X.dtype == variant[0] and np.allclose(X, whole)
    Xt = F.solve(Bt, transpose=True, rhs_batch_size=5)
    assert Xt.shape == (9, 23)
    assert np.allclose(Xt, np.linalg.pinv(A.toarray().conj().T) @ Bt)
    assert np.array_equal(B, saved)
    for bad in (0, -1):
        with pytest.raises(ValueError, match="rhs_batch_size"):
            F.solve(B, rhs_batch_size=bad)


def test_solve_writes_no_input(variant):
    A = matrix(8, 5, variant)
    saved = [A.data.copy(), A.indices.copy(), A.indptr.copy()]
    F = spqr_factor(A)
    b = rhs(8, variant, k=2)
    b = np.asfortranarray(b)
    b.flags.writeable = False
    b_saved = b.copy()
    x = F.solve(b)
    X = np.asfortranarray(rhs(8, variant, k=3))
    X.flags.writeable = False
    X_saved = X.copy()
    for method in ("QX", "QTX"):
        F.qmult(X, method)
    F._solve_dense(b, False)
    assert np.array_equal(b, b_saved) and np.array_equal(X, X_saved)
    assert all(np.array_equal(a, s) for a, s in zip([A.data, A.indices, A.indptr], saved))
    assert not np.shares_memory(x, b)


def test_solve_dense_refuses_bad_arrays():
    F = spqr_factor(matrix(6, 4, VARIANTS[0]))
    good = np.ones((6, 2), order="F")
    assert F._solve_dense(good, False).shape == (4, 2)
    assert F._solve_dense(b=np.ones((4, 3), order="F"), transpose=True).shape == (6, 3)
    with pytest.raises(TypeError, match="Argument 'b' must not be None"):
        F._solve_dense(None, False)
    for bad in (np.ones((6, 2)), np.ones(6), np.ones((6, 2), np.float32, order="F"),
                np.ones((6, 2), np.complex128, order="F"), np.ones((6, 2), np.int64, order="F"),
                np.ones((12, 2), order="F")[::2], "text", 3.0):
        with pytest.raises(TypeError):
            F._solve_dense(bad, False)
    for bad, transpose in ((np.ones((5, 2), order="F"), False), (np.ones((6, 2), order="F"), True)):
        with pytest.raises(ValueError, match="rows"):
            F._solve_dense(bad, transpose)
    # A view whose columns are further apart than its rows is described with its stride.
    big = np.asfortranarray(rhs(9, VARIANTS[0], k=3))
    assert np.allclose(F._solve_dense(big[:6], False), F.solve(np.array(big[:6])))
    Fc = spqr_factor(matrix(6, 4, VARIANTS[2]))
    with pytest.raises(TypeError):
        Fc._solve_dense(good, False)


#------------------------------------------------------------------------------
# spqr_solve
#------------------------------------------------------------------------------


def test_minimum_norm_solutions_match_pinv(variant):
    A = matrix(4, 7, variant, seed=11)
    b = rhs(4, variant)
    x = spqr_solve(A, b)
    assert x.shape == (7,)
    assert np.allclose(A @ x, b)
    assert np.allclose(x, np.linalg.pinv(A.toarray()) @ b)
    B = rhs(4, variant, k=3)
    assert np.allclose(spqr_solve(A, B, transpose=True), np.linalg.pinv(A.toarray()) @ B)


def test_basic_solution_without_min2norm(variant):
    A = matrix(4, 7, variant, seed=11)
    b = rhs(4, variant)
    x = spqr_solve(A, b, min2norm=False)
    assert np.allclose(A @ x, b)
    assert np.count_nonzero(np.abs(x) > 1e-12) <= 4
    assert not np.allclose(x, np.linalg.pinv(A.toarray()) @ b)


def test_spqr_solve_overdetermined_and_transposed(variant):
    A = matrix(9, 5, variant, seed=12)
    b = rhs(9, variant)
    assert np.allclose(spqr_solve(A, b), lstsq(A, b))
    c = rhs(5, variant)
    assert np.allclose(spqr_solve(A, c, transpose=True), np.linalg.pinv(A.toarray().conj().T) @ c)


def test_spqr_solve_keeps_the_index_type(variant):
    dtype, itype = variant
    A = matrix(4, 7, variant, seed=13)
    b = sp.csc_array(rhs(4, variant, k=2))
    x = spqr_solve(A, b)
    assert x.indptr.dtype == itype and x.indices.dtype == itype
    assert np.allclose(x.toarray(), np.linalg.pinv(A.toarray()) @ b.toarray())


def test_spqr_solve_arguments():
    A = matrix(5, 3, VARIANTS[0])
    with pytest.raises(TypeError):
        spqr_solve(A)
    with pytest.raises(TypeError):
        spqr_solve(A, np.ones(5), False)
    with pytest.raises(ValueError):
        spqr_solve(A, [1.0] * 5)


#------------------------------------------------------------------------------
# Multiplication by Q
#------------------------------------------------------------------------------


def test_qmult_round_trips_and_orthogonality(variant):
    A = matrix(7, 4, variant, seed=14)
    F = spqr_factor(A)
    X = rhs(7, variant, k=3)
    Y = F.qmult(F.qmult(X, "QTX"), "QX")
    assert Y.shape == (7, 3) and np.allclose(Y, X)
    Q = F.qmult(np.eye(7, dtype=variant[0]))  # "QX" is the default
    assert np.allclose(Q.conj().T @ Q, np.eye(7))
    Z = rhs(7, variant, k=2).T
    assert np.allclose(F.qmult(Z, "XQ"), Z @ Q)
    assert np.allclose(F.qmult(Z, method="XQT"), Z @ Q.conj().T)
    assert np.allclose(F.qmult(X, "QTX"), Q.conj().T @ X)
    x = X[:, 0]
    assert F.qmult(x).shape == (7,) and np.allclose(F.qmult(x), Q @ x)


def test_qmult_sparse(variant):
    dtype, itype = variant
    F = spqr_factor(matrix(7, 4, variant, seed=15))
    Q = F.qmult(np.eye(7, dtype=dtype))
    X = sp.random_array((7, 5), density=0.3, rng=2, format="csc").astype(dtype)
    for other in (np.int32, np.int64):
        Xs = with_index_type(X, other)
        Y = F.qmult(Xs, "QTX")
        assert isinstance(Y, sp.csc_array) and Y.dtype == dtype
        assert np.allclose(Y.toarray(), Q.conj().T @ X.toarray())
        YT = F.qmult(with_index_type(X.T, other), "XQ")
        assert np.allclose(YT.toarray(), X.T.toarray() @ Q)
        assert np.array_equal(Xs.indices, X.indices)  # not converted in place


def test_qmult_validation():
    F = spqr_factor(matrix(5, 3, VARIANTS[0]))
    X = np.ones((5, 2))
    assert F.qmult(np.ones((2, 5)), "XQ").shape == (2, 5)
    with pytest.raises(ValueError, match=r"^X must be an ndarray or sparse matrix\.$"):
        F.qmult([[1.0] * 2] * 5)
    with pytest.raises(ValueError) as exc:
        F.qmult(X.astype(np.float32))
    assert str(exc.value) == ("Input and factor dtypes do not match. self.dtype=dtype('float64') "
                              "and X.dtype=dtype('float32')")
    with pytest.raises(ValueError, match=r"^X must be a 1D or 2D array\.$"):
        F.qmult(np.ones((5, 1, 1)))
    with pytest.raises(ValueError) as exc:
        F.qmult(np.ones((6, 2)))
    assert str(exc.value) == "Input X must have compatible shape with Q. Expected 5, got 6."
    with pytest.raises(ValueError) as exc:
        F.qmult(np.ones((2, 6)), "XQT")
    assert str(exc.value) == "Input X must have compatible shape with Q. Expected 5, got 6."
    with pytest.raises(IndexError):
        F.qmult(np.ones(5), "XQ")
    with pytest.raises(ValueError) as exc:
        F.qmult(X, "qx")
    assert str(exc.value) == "Invalid method 'qx'. Expected one of ['QX', 'QTX', 'XQ', 'XQT']."
    with pytest.raises(ValueError, match="Invalid method 'None'"):
        F.qmult(X, None)
    with pytest.raises(TypeError) as exc:
        F.qmult(X, 1)
    assert str(exc.value) == "Expected str, got int"
    with pytest.raises(ValueError, match="dtypes do not match"):
        F.qmult(sp.csc_array(X.astype(np.complex128)))


def test_qmult_dense_refuses_bad_arrays():
    F = spqr_factor(matrix(5, 3, VARIANTS[0]))
    good = np.ones((5, 2), order="F")
    assert np.allclose(F._qmult_dense(1, good), F.qmult(good))
    assert F._qmult_dense(method=3, X=np.ones((2, 5), order="F")).shape == (2, 5)
    with pytest.raises(TypeError, match="Argument 'X' must not be None"):
        F._qmult_dense(0, None)
    for bad in (np.ones((5, 2)), np.ones(5), np.ones((5, 2), np.complex128, order="F"),
                np.ones((5, 2), np.float32, order="F")):
        with pytest.raises(TypeError):
            F._qmult_dense(0, bad)
    for method, bad in ((0, np.ones((4, 2), order="F")), (1, np.ones((2, 5), order="F")),
                        (2, np.ones((5, 2), order="F")), (3, np.ones((5, 4), order="F"))):
        with pytest.raises(ValueError):
            F._qmult_dense(method, bad)
    for method in (-1, 4, 2**40):
        with pytest.raises((ValueError, OverflowError)):
            F._qmult_dense(method, good)
    with pytest.raises(TypeError):
        F._qmult_dense("QX", good)


#------------------------------------------------------------------------------
# Copies
#------------------------------------------------------------------------------


def test_copy_of_a_numeric_factor(variant):
    A = matrix(9, 6, variant, seed=16)
    b = rhs(9, variant, k=2)
    F = spqr_factor(A)
    F.solve(b)
    G = F.copy()
    assert type(G) is SPQRFactor and G is not F
    assert G.info == F.info
    assert (G.shape, G.itype, G.dtype, repr(G), G.rank) == (F.shape, F.itype, F.dtype, repr(F),
                                                            F.rank)
    assert np.array_equal(G.perm, F.perm)
    x = F.solve(b)
    assert np.array_equal(G.solve(b), x)
    X = rhs(9, variant, k=3)
    assert np.array_equal(G.qmult(X, "QTX"), F.qmult(X, "QTX"))
    B = with_values(A, np.random.default_rng(1).standard_normal(A.nnz) + 3)
    F.factorize(B)  # refactorising the source leaves the copy alone
    assert np.allclose(F.solve(b), lstsq(B, b))
    assert np.array_equal(G.solve(b), x)
    del F
    gc.collect()
    assert np.array_equal(G.solve(b), x)
    G.factorize(B)  # and the copy refactorises on its own
    assert np.allclose(G.solve(b), lstsq(B, b))


def test_copy_of_a_symbolic_factor(variant):
    A = matrix(8, 5, variant, seed=17)
    F = SPQRFactor(A)
    G = F.copy()
    assert not G.is_numeric and G.rank is None and np.array_equal(G.perm, F.perm)
    G.factorize(A)
    assert G.is_numeric and not F.is_numeric
    b = rhs(8, variant)
    assert np.allclose(G.solve(b), lstsq(A, b))
    assert np.array_equal(F.factorize(A).solve(b), G.solve(b))


def test_copy_with_singletons_and_rank_deficiency(variant):
    dtype, itype = variant
    A = with_index_type(sp.csc_array(np.array(
        [[1.0, 2, 0, 1], [0, 3, 4, 0], [0, 0, 6, 0], [0, 1, 1, 0], [0, 0, 0, 2]], dtype=dtype)),
        itype)
    F = spqr_factor(A, use_singletons=True)
    assert F.info.n1cols > 0
    G = F.copy()
    b = rhs(5, variant)
    assert np.array_equal(G.solve(b), F.solve(b))
    R = rank_deficient(variant)
    F = spqr_factor(R)
    G = F.copy()
    with pytest.warns(SPQRRankDeficiencyWarning):
        assert np.array_equal(G.solve(np.ones(3)), F.solve(np.ones(3)))


@pytest.mark.parametrize("shape", [(0, 0), (0, 3), (3, 0), (4, 2), (2, 4)])
def test_factors_of_matrices_without_entries(shape):
    A = with_index_type(sp.csc_array(shape), np.int32)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SPQRRankDeficiencyWarning)
        F = spqr_factor(A)
        assert F.rank == 0 and is_permutation(F.perm, shape[1])
        x = F.solve(np.ones(shape[0]))
        assert x.shape == (shape[1],) and np.all(x == 0)
        G = F.copy()
        assert np.array_equal(G.solve(np.ones(shape[0])), x)


def test_copy_takes_no_arguments():
    F = spqr_factor(matrix(5, 3, VARIANTS[0]))
    with pytest.raises(TypeError):
        F.copy(1)


@pytest.mark.parametrize("kind", ["symbolic", "numeric", "singletons"])
def test_failed_allocations_release_the_partial_copy(variant, kind):
    A = matrix(9, 6, variant, seed=18)
    if kind == "singletons":
        A = sp.csc_array(sp.hstack([with_index_type(sp.eye_array(9, 1), variant[1]), A]))
        A = with_index_type(A.astype(variant[0]), variant[1])
    F = SPQRFactor(A) if kind == "symbolic" else spqr_factor(A, use_singletons=kind == "singletons")
    full = spqr._copy_with_failing_allocation(F, -1)
    assert full["error"] is None and full["released"]
    assert full["blocks_in_use"] == 0 and full["bytes_in_use"] == 0
    assert full["allocations"] > 10
    for k in range(full["allocations"]):
        report = spqr._copy_with_failing_allocation(F, k)
        assert report["error"] is SPQROutOfMemoryError and report["allocations"] == k + 1
        assert report["released"]
        assert report["blocks_in_use"] == 0 and report["bytes_in_use"] == 0
    assert spqr._copy_with_failing_allocation(F, full["allocations"])["error"] is None
    # The source is untouched by all of this.
    if F.is_numeric:
        b = rhs(A.shape[0], variant)
        assert np.allclose(F.solve(b), lstsq(A, b))


def test_demo_section_runs(monkeypatch):
    import io

    from ferrow.demos import spqr_factor as demo

    monkeypatch.setattr(demo, "GRID", 12)
    monkeypatch.setattr(demo, "COUNT", 3)
    out = io.StringIO()
    demo.run(out, repeat=1)
    text = out.getvalue()
    assert "numeric factorisation" in text and "fresh spqr_solve" in text
    difference = float(text.split("between the two solutions: ")[1].split()[0])
    assert difference < 1e-10


def test_operands_without_columns(variant):
    dtype, itype = variant
    F = spqr_factor(matrix(5, 3, variant))
    assert F.solve(np.zeros((5, 0), dtype)).shape == (3, 0)
    assert F.solve(np.zeros((3, 0), dtype), transpose=True).shape == (5, 0)
    assert F.qmult(np.zeros((5, 0), dtype)).shape == (5, 0)
    assert F.qmult(np.zeros((0, 5), dtype), "XQ").shape == (0, 5)
    empty = with_index_type(sp.csc_array((5, 0), dtype=dtype), itype)
    assert F.qmult(empty, "QTX").shape == (5, 0)
    assert F.solve(empty).shape == (3, 0)
