import numpy as np
import pytest
import scipy.sparse as sp


@pytest.fixture(params=[np.int32, np.int64], ids=["int32", "int64"])
def itype(request):
    """Index type of the matrices a test builds."""
    return np.dtype(request.param)


def with_index_type(A, itype):
    """A CSC copy of `A` whose index arrays have dtype `itype`."""
    A = sp.csc_array(A, copy=True)
    A.indptr = A.indptr.astype(itype)
    A.indices = A.indices.astype(itype)
    return A


def random_csc(m, n, density=0.3, seed=0, itype=np.int32, dtype=np.float64, diag=True):
    rng = np.random.default_rng(seed)
    A = sp.random_array((m, n), density=density, rng=rng, format="csc", dtype=np.float64)
    if diag:
        A = A + sp.eye_array(m, n, format="csc")
    if np.dtype(dtype).kind == "c":
        A = A + 1j * sp.random_array((m, n), density=density, rng=rng, format="csc")
    return with_index_type(A, itype)


def is_permutation(p, n):
    p = np.asarray(p)
    return p.shape == (n,) and np.array_equal(np.sort(p), np.arange(n))
