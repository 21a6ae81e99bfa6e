"""The matching methods of maxtrans and btf: the library's search, Hopcroft-Karp,
Pothen-Fan, push-relabel and "auto" (the library with a work limit, finished by
push-relabel)."""

import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from scipy.sparse.csgraph import connected_components, maximum_bipartite_matching, structural_rank

from conftest import is_permutation, with_index_type
from ferrow.btf import _maxtrans, btf, btf_q_permutation, maxtrans
from ferrow.demos.problems import laplacian_2d, reducible

METHODS = ["library", "hopcroft-karp", "pothen-fan", "push-relabel", "auto"]
OTHERS = ["hopcroft-karp", "pothen-fan", "push-relabel", "auto"]


def random_singular(n, per_col=3, seed=0, m=None):
    """Random entries only (no diagonal): structurally singular, hard for a depth-first
    matching search."""
    rng = np.random.default_rng(seed)
    m = n if m is None else m
    rows = rng.integers(0, m, size=n * per_col)
    cols = np.repeat(np.arange(n), per_col)
    return sp.csc_array(sp.coo_array((np.ones(rows.size), (rows, cols)), shape=(m, n)))


def permuted_diagonal(n, per_col=3, seed=0):
    """A full diagonal plus random entries, rows permuted: structurally nonsingular, with a
    perfect matching far from the diagonal."""
    rng = np.random.default_rng(seed)
    A = random_singular(n, per_col, seed) + sp.eye_array(n, format="csc")
    return sp.csc_array(A[rng.permutation(n)])


def banded(n, lower=2, upper=3):
    offsets = list(range(-lower, upper + 1))
    return sp.csc_array(sp.diags_array([np.ones(n - abs(k)) for k in offsets], offsets=offsets))


def scrambled(A, seed=0):
    rng = np.random.default_rng(seed)
    return sp.csc_array(A[rng.permutation(A.shape[0])][:, rng.permutation(A.shape[1])])


MATRICES = {
    "random singular": lambda: random_singular(2000, seed=1),
    "random, diagonal, rows permuted": lambda: permuted_diagonal(2000, seed=2),
    "banded": lambda: banded(500),
    "banded, scrambled": lambda: scrambled(banded(500), seed=3),
    "laplacian": lambda: laplacian_2d(30),
    "planted blocks, scrambled": lambda: reducible([5, 1, 40, 3, 1, 100, 7], seed=5),
    # Many blocks: the late phases augment along few paths, and the search changes sides.
    "many planted blocks, scrambled": lambda: reducible(
        list(np.random.default_rng(9).integers(1, 60, size=300)), seed=9),
    "tall": lambda: random_singular(300, seed=6, m=900),
    "wide": lambda: random_singular(900, seed=7, m=300),
    "empty rows and columns": lambda: sp.csc_array(
        sp.block_diag([random_singular(50, seed=8), sp.csc_array((20, 30))])),
}


def check_matching(A, jmatch):
    """jmatch is a matching of A through stored entries; returns its cardinality."""
    M, _ = A.shape
    assert jmatch.dtype == A.indptr.dtype and jmatch.shape == (M,)
    assert np.all(jmatch >= -1)
    rows = np.flatnonzero(jmatch >= 0)
    cols = jmatch[rows]
    assert len(np.unique(cols)) == len(cols), "a column is matched twice"
    stored = np.repeat(np.arange(A.shape[1]), np.diff(A.indptr)) * M + A.indices
    assert np.all(np.isin(cols.astype(np.int64) * M + rows, stored)), "a pair is not stored"
    return len(rows)


def blocks(p, q, r):
    """The diagonal blocks of btf's result as a set of (rows, columns) pairs."""
    N = len(p)
    nb = int(1 + np.flatnonzero(r[1:] == N)[0])
    qq = btf_q_permutation(q.copy())
    return {(frozenset(p[r[b]:r[b + 1]].tolist()), frozenset(qq[r[b]:r[b + 1]].tolist()))
            for b in range(nb)}


def check_btf(A, p, q, r):
    """A[p][:, q] is block upper triangular, its diagonal blocks are the strong components
    of its graph, and the flags mark exactly the structurally zero diagonal entries."""
    N = A.shape[0]
    qq = btf_q_permutation(q.copy())
    assert is_permutation(p, N) and is_permutation(qq, N)
    B = sp.csc_array(A[p][:, qq])
    assert np.array_equal(B.diagonal() != 0, q >= 0)
    assert np.count_nonzero(q >= 0) == structural_rank(A)
    nb = int(1 + np.flatnonzero(r[1:] == N)[0])
    bounds = r[:nb + 1].astype(np.int64)
    assert bounds[0] == 0 and np.all(np.diff(bounds) > 0)
    label = np.repeat(np.arange(nb), np.diff(bounds))
    coo = sp.coo_array(B)
    assert np.all(label[coo.row] <= label[coo.col]), "an entry lies below the diagonal blocks"
    ncomp, comp = connected_components(B, directed=True, connection="strong")
    assert ncomp == nb and len(set(zip(label, comp))) == nb


@pytest.mark.parametrize("name", MATRICES)
def test_every_method_finds_a_maximum_matching(name, itype):
    A = with_index_type(MATRICES[name](), itype)
    indptr, indices = A.indptr.copy(), A.indices.copy()
    scipy_rank = np.count_nonzero(maximum_bipartite_matching(sp.csr_array(A), "column") >= 0)
    sizes = {method: check_matching(A, maxtrans(A, method=method)) for method in METHODS}
    assert set(sizes.values()) == {scipy_rank}, sizes
    assert np.array_equal(A.indptr, indptr) and np.array_equal(A.indices, indices)


@settings(max_examples=150, deadline=None)
@given(hnp.arrays(np.bool_, st.tuples(st.integers(1, 12), st.integers(1, 12))),
       st.sampled_from([np.int32, np.int64]), st.sampled_from(OTHERS))
def test_small_patterns(dense, itype, method):
    A = with_index_type(sp.csc_array(dense.astype(np.float64)), itype)
    assert check_matching(A, maxtrans(A, method=method)) == structural_rank(A)
    if A.shape[0] == A.shape[1]:
        check_btf(A, *btf(A, method=method))


def test_the_work_limit_leaves_a_matching_that_auto_completes(itype):
    # The library stopped by the work limit of "auto" returns a valid matching that is not
    # maximum; "auto" then finds a maximum one.
    A = with_index_type(random_singular(20000, seed=11), itype)
    rank = structural_rank(A)
    limited = np.zeros(A.shape[0], dtype=itype)
    _maxtrans(*A.shape, A.indptr, A.indices, 0.01, limited)
    assert check_matching(A, limited) < rank
    assert check_matching(A, maxtrans(A, method="auto")) == rank
    assert check_matching(A, maxtrans(A)) == rank


@pytest.mark.parametrize("name", ["banded", "laplacian"])
def test_auto_is_the_library_when_the_library_finishes_in_time(name, itype):
    A = with_index_type(MATRICES[name](), itype)
    assert np.array_equal(maxtrans(A, method="auto"), maxtrans(A))
    for ours, lib in zip(btf(A, method="auto"), btf(A)):
        assert np.array_equal(ours, lib)


@pytest.mark.parametrize("name", ["random, diagonal, rows permuted", "banded, scrambled",
                                  "laplacian", "planted blocks, scrambled",
                                  "many planted blocks, scrambled"])
@pytest.mark.parametrize("method", OTHERS)
def test_btf_blocks_of_a_nonsingular_matrix_are_the_librarys(name, method, itype):
    A = with_index_type(MATRICES[name](), itype)
    p, q, r = btf(A, method=method)
    assert p.dtype == q.dtype == r.dtype == itype and r.shape == (A.shape[0] + 1,)
    assert np.all(q >= 0)
    check_btf(A, p, q, r)
    assert blocks(p, q, r) == blocks(*btf(A))


@pytest.mark.parametrize("method", OTHERS)
def test_btf_of_a_singular_matrix(method, itype):
    A = with_index_type(random_singular(3000, seed=12), itype)
    p, q, r = btf(A, method=method)
    assert np.any(q < 0)
    check_btf(A, p, q, r)


def test_unmatched_positions_are_completed_as_the_library_does(itype):
    # Rows 1 and 3 are empty, columns 0 and 2 are empty: the unmatched rows in
    # increasing order take the unmatched columns in increasing order, flagged.
    A = with_index_type(sp.csc_array(np.array([[0, 1, 0, 0],
                                               [0, 0, 0, 0],
                                               [0, 0, 0, 1],
                                               [0, 0, 0, 0]], dtype=float)), itype)
    for method in ["hopcroft-karp", "pothen-fan", "push-relabel"]:
        assert maxtrans(A, method=method).tolist() == [1, -1, 3, -1]
    lib = btf(A)
    for method in OTHERS:
        for ours, theirs in zip(btf(A, method=method), lib):
            assert np.array_equal(ours, theirs)


@pytest.mark.parametrize("method", METHODS + [None])
def test_trivial_shapes(method, itype):
    for shape in [(0, 0), (0, 3), (3, 0)]:
        jm = maxtrans(with_index_type(sp.csc_array(shape), itype), method=method)
        assert jm.dtype == itype and jm.shape == (0,)
    Z = with_index_type(sp.csc_array((3, 3)), itype)
    assert maxtrans(Z, method=method).tolist() == [-1, -1, -1]
    p, q, r = btf(Z, method=method)
    assert p.tolist() == [0, 1, 2] and q.tolist() == [-2, -3, -4] and r.tolist() == [0, 1, 2, 3]


@pytest.mark.parametrize("fn", [maxtrans, btf])
def test_method_argument(fn):
    A = sp.csc_array(np.eye(3))
    for bad in ["Library", "hopcroft_karp", "pothen_fan", "push_relabel", "", 1, b"auto"]:
        with pytest.raises(ValueError, match=r"Unknown matching method: .*\. Must be one of "
                                             r"'library', 'hopcroft-karp', 'pothen-fan', "
                                             r"'push-relabel', 'auto'\."):
            fn(A, method=bad)
    with pytest.raises(ValueError, match="Unknown matching method"):
        fn(sp.csc_array((0, 0)), method="fast")  # checked before the shape shortcuts
    with pytest.raises(TypeError):
        fn(A, "auto")  # keyword only
    lib = fn(A)
    for same in [None, "library"]:
        ours = fn(A, method=same)
        if fn is btf:
            assert all(np.array_equal(x, y) for x, y in zip(ours, lib))
        else:
            assert np.array_equal(ours, lib)
