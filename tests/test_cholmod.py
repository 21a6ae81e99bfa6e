import pickle

import numpy as np
import pytest
import scipy.sparse as sp

import ferrow.cholmod as ch
from conftest import random_csc


@pytest.mark.parametrize("dtype", [np.float64, np.complex128])
def test_sparse_round_trip(itype, dtype):
    A = random_csc(9, 6, itype=itype, dtype=dtype, seed=4)
    B = ch._sparse_roundtrip(A)
    assert isinstance(B, sp.csc_array)
    assert B.shape == A.shape and B.dtype == dtype and B.indptr.dtype == itype
    assert B.indices.dtype == itype
    assert np.array_equal(B.toarray(), A.toarray())
    # Indistinguishable from a csc_array that SciPy builds itself over the same arrays.
    ref = sp.csc_array(B.shape, dtype=dtype)
    ref.indptr, ref.indices, ref.data = B.indptr, B.indices, B.data
    assert type(B) is sp.csc_array and vars(B).keys() == vars(ref).keys()
    assert {k: type(v) for k, v in vars(B).items()} == {k: type(v) for k, v in vars(ref).items()}
    assert B.shape == ref.shape and B.maxprint == ref.maxprint
    B.check_format(full_check=True)
    assert B.has_canonical_format
    C = pickle.loads(pickle.dumps(B))
    assert np.array_equal((C @ np.ones(6)), A @ np.ones(6)) and repr(C) == repr(ref)


@pytest.mark.parametrize("dtype", [np.float64, np.complex128])
@pytest.mark.parametrize("use_int32", [True, False])
def test_dense_round_trip(dtype, use_int32):
    X = np.asfortranarray((np.arange(12) + (1j if dtype == np.complex128 else 0)).reshape(3, 4))
    X = X.astype(dtype)
    Y = ch._dense_roundtrip(X, use_int32)
    assert Y.shape == X.shape and Y.dtype == dtype and np.array_equal(Y, X)
    # a view with a leading dimension larger than its row count
    big = np.asfortranarray(np.arange(20, dtype=dtype).reshape(5, 4))
    assert np.array_equal(ch._dense_roundtrip(big[:3], use_int32), big[:3])


def test_empty_matrices_round_trip(itype):
    A = random_csc(4, 3, itype=itype)
    E = sp.csc_array((4, 3))
    E.indptr = E.indptr.astype(itype)
    E.indices = E.indices.astype(itype)
    assert ch._sparse_roundtrip(E).nnz == 0
    assert ch._dense_roundtrip(np.zeros((0, 3), order="F")).shape == (0, 3)
    assert ch._sparse_roundtrip(A).nnz == A.nnz


def test_dense_layouts_refused():
    with pytest.raises(TypeError):
        ch._dense_roundtrip(np.zeros((3, 4)))  # C order: rows are not contiguous
    with pytest.raises(TypeError):
        ch._dense_roundtrip(np.zeros((3, 4), dtype=np.int64, order="F"))


@pytest.mark.parametrize("dtype", [np.float32, np.int64, np.bool_, np.complex64])
def test_sparse_header_refuses_other_value_types(dtype):
    A = random_csc(4, 4)
    header = bytearray(ch.sizeof_cholmod_sparse)
    with pytest.raises(TypeError, match="float64 or complex128"):
        ch._cholmod_sparse_from_csc(A.shape, A.indptr, A.indices, A.data.astype(dtype), 0, header)


def test_sparse_header_checks_its_arrays_and_destination():
    A = random_csc(4, 4)
    header = bytearray(ch.sizeof_cholmod_sparse)
    ch._cholmod_sparse_from_csc(A.shape, A.indptr, A.indices, A.data, 0, header)
    assert any(header)
    with pytest.raises(ValueError, match="bytes"):
        ch._cholmod_sparse_from_csc(A.shape, A.indptr, A.indices, A.data, 0, bytearray(8))
    with pytest.raises(TypeError, match="writable buffer"):
        ch._cholmod_sparse_from_csc(A.shape, A.indptr, A.indices, A.data, 0, 12345)
    with pytest.raises(ValueError):
        ch._cholmod_sparse_from_csc((4, 4), A.indptr[:-1], A.indices, A.data, 0, header)
    bad = A.indices.copy()
    bad[0] = 9
    with pytest.raises(ValueError, match="out of range"):
        ch._cholmod_sparse_from_csc(A.shape, A.indptr, bad, A.data, 0, header)
    with pytest.raises(ValueError):
        ch._cholmod_sparse_from_csc(A.shape, A.indptr, A.indices, A.data[:2], 0, header)


def test_pointer_copy_and_capsule(itype):
    p = np.arange(7, dtype=itype)
    q = ch._copy_from_intptr(p)
    assert q.dtype == itype and np.array_equal(p, q) and not np.shares_memory(p, q)
    assert type(ch._C_API).__name__ == "PyCapsule"
