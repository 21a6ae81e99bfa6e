import warnings

import numpy as np
import pytest
import scipy.sparse as sp
from scipy.sparse import SparseEfficiencyWarning

from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import random_csc, with_index_type
from ferrow._structure import check_compressed
from ferrow.utils import validate_csc_input


def test_valid_csc_passes_without_copy(itype):
    A = random_csc(6, 4, itype=itype)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        B, dtype, out_itype = validate_csc_input(A)
    assert B is A
    assert out_itype == itype and dtype == np.float64
    assert np.shares_memory(B.indptr, A.indptr) and np.shares_memory(B.indices, A.indices)
    assert np.shares_memory(B.data, A.data)


@pytest.mark.parametrize("fmt", ["csr", "coo", "lil", "dok", "dia", "bsr"])
def test_other_formats_convert_with_warning(fmt):
    A = random_csc(6, 6, seed=3)
    with pytest.warns(SparseEfficiencyWarning):
        B, _, itype = validate_csc_input(A.asformat(fmt))
    assert B.format == "csc" and itype in (np.int32, np.int64)
    assert np.array_equal(B.toarray(), A.toarray())


def test_dense_input_converts_with_warning():
    with pytest.warns(SparseEfficiencyWarning):
        B, _, _ = validate_csc_input([[1.0, 0.0], [2.0, 3.0]])
    assert np.array_equal(B.toarray(), [[1, 0], [2, 3]])


def test_empty_shapes_are_returned():
    for shape in [(0, 0), (0, 3), (3, 0), (4, 4)]:
        B, _, _ = validate_csc_input(sp.csc_array(shape))
        assert B.shape == shape and B.nnz == 0


def test_require_square():
    with pytest.raises(ValueError, match="square"):
        validate_csc_input(sp.csc_array((3, 4)), require_square=True)
    validate_csc_input(sp.csc_array((3, 4)))


def test_unsorted_and_duplicate_entries_are_canonicalised_in_a_copy(itype):
    indptr = np.array([0, 3, 4], dtype=itype)
    indices = np.array([2, 0, 2, 1], dtype=itype)
    data = np.array([1.0, 2.0, 3.0, 4.0])
    A = sp.csc_array((data, indices, indptr), shape=(3, 2))
    A.indices = indices  # keep the caller's own arrays
    before = indices.copy()
    B, _, out_itype = validate_csc_input(A)
    assert B is not A and out_itype == itype
    assert np.array_equal(A.indices, before), "the caller's matrix must not be sorted in place"
    assert np.array_equal(B.indptr, [0, 2, 3]) and np.array_equal(B.indices, [0, 2, 1])
    assert np.array_equal(B.data, [2.0, 4.0, 4.0])


def corrupted(indptr, indices, shape=(3, 3)):
    A = sp.csc_array(shape)
    A.indptr = np.asarray(indptr, dtype=np.int32)
    A.indices = np.asarray(indices, dtype=np.int32)
    A.data = np.ones(len(indices))
    return A


@pytest.mark.parametrize(
    "indptr, indices, match",
    [
        ([1, 1, 2, 2], [0, 1], "start at 0"),
        ([0, 2, 1, 2], [0, 1], "decrease"),
        ([0, 1, 2, 5], [0, 1, 2], "beyond"),
        ([0, 1, 2, 3], [0, -1, 2], "out of range"),
        ([0, 1, 2, 3], [0, 3, 2], "out of range"),
        ([0, 1, 2], [0, 1], "N \\+ 1"),
    ],
)
def test_corrupted_csc_is_refused(indptr, indices, match):
    with pytest.raises(ValueError, match=match):
        validate_csc_input(corrupted(indptr, indices))


def test_corrupted_csr_and_coo_are_refused_before_scipy_converts_them():
    A = sp.csr_array((3, 3))
    A.indptr = np.array([0, 1, 2, 3], dtype=np.int32)
    A.indices = np.array([0, 7, 1], dtype=np.int32)
    A.data = np.ones(3)
    with pytest.warns(SparseEfficiencyWarning), pytest.raises(ValueError, match="out of range"):
        validate_csc_input(A)
    C = sp.coo_array((np.ones(2), (np.array([0, 1]), np.array([0, 1]))), shape=(2, 2))
    C.coords = (np.array([0, 5]), np.array([0, 1]))
    with pytest.warns(SparseEfficiencyWarning), pytest.raises(ValueError, match="out of range"):
        validate_csc_input(C)


@pytest.mark.parametrize("bad", [np.zeros((2, 2, 2)), np.zeros(3), np.array([["a", "b"]]),
                                 np.array([[object()]], dtype=object)])
def test_unusable_dense_input(bad):
    with pytest.raises(ValueError):
        validate_csc_input(bad)


def test_other_integer_index_types_are_converted():
    A = random_csc(5, 5)
    A.indptr = A.indptr.astype(np.uint16)
    A.indices = A.indices.astype(np.int16)
    B, _, itype = validate_csc_input(A)
    assert itype == np.int32
    assert np.array_equal(B.toarray(), A.toarray())


def test_non_contiguous_index_arrays_are_copied(itype):
    A = random_csc(5, 5, itype=itype)
    big = np.zeros(2 * A.indices.size, dtype=itype)
    big[::2] = A.indices
    A.indices = big[::2]
    B, _, out_itype = validate_csc_input(A)
    assert out_itype == itype and B.indices.flags.c_contiguous
    assert np.array_equal(B.toarray(), A.toarray())


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_pattern_check_tells_canonical_from_jumbled(data):
    """check_compressed against a plain per-column reading of the same arrays: sorted
    columns, unsorted ones, duplicates, empty columns, both index widths."""
    itype = data.draw(st.sampled_from([np.int32, np.int64]))
    nrow = data.draw(st.integers(1, 6))
    counts = data.draw(st.lists(st.integers(0, 4), min_size=0, max_size=6))
    indptr = np.concatenate([[0], np.cumsum(counts)]).astype(itype)
    indices = np.array(data.draw(st.lists(st.integers(0, nrow - 1), min_size=int(indptr[-1]),
                                          max_size=int(indptr[-1]))), dtype=itype)
    if data.draw(st.booleans()):  # mostly canonical patterns: sort and drop duplicates
        cols = [np.unique(indices[indptr[j]:indptr[j + 1]]) for j in range(len(counts))]
        indptr = np.concatenate([[0], np.cumsum([len(c) for c in cols])]).astype(itype)
        indices = np.concatenate(cols + [np.zeros(0)]).astype(itype)
    canonical = all(np.all(np.diff(indices[indptr[j]:indptr[j + 1]]) > 0) for j in range(len(counts)))
    assert check_compressed(indptr, indices, len(counts), nrow) == canonical
    if indices.size:  # one index out of range, anywhere, is refused
        k = data.draw(st.integers(0, indices.size - 1))
        bad = indices.copy()
        bad[k] = data.draw(st.sampled_from([-1, nrow, np.iinfo(itype).max, np.iinfo(itype).min]))
        with pytest.raises(ValueError, match="out of range"):
            check_compressed(indptr, bad, len(counts), nrow)
