import doctest
import io
import warnings

import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from scipy.sparse.csgraph import connected_components, maximum_bipartite_matching, structural_rank

import ferrow.btf as btf_mod
from conftest import is_permutation, random_csc, with_index_type
from ferrow.btf import btf, btf_q_permutation, maxtrans, strongcomp
from ferrow.demos.problems import reducible

INDEX_TYPES = st.sampled_from([np.dtype(np.int32), np.dtype(np.int64)])


@st.composite
def patterns(draw, square=True, max_n=12):
    """A small random sparse pattern as a CSC array of either index type."""
    m = draw(st.integers(1, max_n))
    n = m if square else draw(st.integers(1, max_n))
    dense = draw(hnp.arrays(np.bool_, (m, n)))
    return with_index_type(sp.csc_array(dense.astype(np.float64)), draw(INDEX_TYPES))


def nblocks_of(r, N):
    """Number of blocks: the first k >= 1 with r[k] == N."""
    return int(1 + np.flatnonzero(np.asarray(r)[1:] == N)[0])


def check_blocks(B, r, nblocks):
    """B is block upper triangular with boundaries r[:nblocks+1], and its diagonal blocks
    are exactly the strongly connected components of its graph."""
    N = B.shape[0]
    r = np.asarray(r[:nblocks + 1], dtype=np.int64)
    assert r[0] == 0 and r[-1] == N and np.all(np.diff(r) > 0)
    label = np.repeat(np.arange(nblocks), np.diff(r))
    coo = sp.coo_array(B)
    assert np.all(label[coo.row] <= label[coo.col]), "an entry lies below the diagonal blocks"
    ncomp, comp = connected_components(B, directed=True, connection="strong")
    assert ncomp == nblocks
    assert len({(a, b) for a, b in zip(label, comp)}) == nblocks  # same partition


def test_module_frame():
    assert btf_mod.__all__ == ["maxtrans", "strongcomp", "btf", "btf_q_permutation"]
    names = [k for k in vars(btf_mod) if not k.startswith("__")]
    assert names == ["np", "validate_csc_input", "maxtrans", "_maxtrans", "strongcomp",
                     "_strongcomp", "btf", "_btf", "btf_q_permutation"]
    assert list(vars(btf_mod)).index("__all__") < list(vars(btf_mod)).index("maxtrans")
    assert btf_mod.np is np
    from ferrow.utils import validate_csc_input
    assert btf_mod.validate_csc_input is validate_csc_input


@pytest.mark.parametrize("fn", [maxtrans, strongcomp, btf, btf_q_permutation])
def test_docstring_examples(fn):
    for section in ("Parameters", "Returns", "Examples"):
        assert section in fn.__doc__
    test = doctest.DocTestParser().get_doctest(fn.__doc__, {}, fn.__name__, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    out = io.StringIO()
    runner.run(test, out=out.write)
    assert runner.failures == 0, out.getvalue()


# ---------------------------------------------------------------------------------------
# Correctness against scipy.sparse.csgraph

@settings(max_examples=150, deadline=None)
@given(patterns(square=False))
def test_maxtrans_is_a_maximum_matching(A):
    M, N = A.shape
    jmatch = maxtrans(A)
    assert jmatch.dtype == A.indptr.dtype and jmatch.shape == (M,)
    matched = np.flatnonzero(jmatch >= 0)
    assert np.all(jmatch[jmatch < 0] == -1)
    assert np.all(A.toarray()[matched, jmatch[matched]] != 0)
    assert len(np.unique(jmatch[matched])) == len(matched)
    assert len(matched) == structural_rank(A)
    assert len(matched) == np.count_nonzero(maximum_bipartite_matching(sp.csr_array(A), "column") >= 0)


@settings(max_examples=150, deadline=None)
@given(patterns())
def test_btf_is_block_upper_triangular(A):
    N = A.shape[0]
    p, q, r = btf(A)
    itype = A.indptr.dtype
    assert p.dtype == q.dtype == r.dtype == itype and r.shape == (N + 1,)
    rank = structural_rank(A)
    assert np.count_nonzero(q < 0) == N - rank
    qq = btf_q_permutation(q.copy())
    assert is_permutation(p, N) and is_permutation(qq, N)
    B = A[p][:, qq]
    assert np.array_equal(B.diagonal() != 0, q >= 0)  # flags mark exactly the zero diagonal
    check_blocks(B, r, nblocks_of(r, N))
    if rank == N:
        # The blocks of a structurally nonsingular matrix do not depend on the matching:
        # compare with the components of the matrix matched by SciPy.
        cols = maximum_bipartite_matching(sp.csr_array(A), "column")
        ncomp, _ = connected_components(A[:, cols], directed=True, connection="strong")
        assert nblocks_of(r, N) == ncomp


@settings(max_examples=150, deadline=None)
@given(patterns())
def test_strongcomp_finds_the_strong_components(A):
    N = A.shape[0]
    p, r = strongcomp(A)
    assert p.dtype == r.dtype == A.indptr.dtype
    assert is_permutation(p, N)
    check_blocks(A[p][:, p], r, len(r) - 1)


@settings(max_examples=150, deadline=None)
@given(patterns(), st.randoms(use_true_random=False))
def test_strongcomp_with_a_column_permutation(A, rnd):
    N = A.shape[0]
    q_in = np.array(rnd.sample(range(N), N), dtype=A.indptr.dtype)
    p, q, r = strongcomp(A, q=q_in.copy())
    assert is_permutation(q, N) and np.array_equal(q, q_in[p])
    check_blocks(A[p][:, q], r, len(r) - 1)
    # with the matching as q the blocks are those of btf
    if structural_rank(A) == N:
        # with the matching as q: a zero-free diagonal and the blocks of btf
        p2, q2, r2 = strongcomp(A, q=maxtrans(A))
        assert np.all(A[p2][:, q2].diagonal() != 0)
        assert len(r2) - 1 == nblocks_of(btf(A)[2], N)


def test_strongcomp_keeps_the_flags_of_btf(itype):
    A = random_csc(30, 30, density=0.05, seed=4, itype=itype, diag=False)
    _, q_btf, _ = btf(A)
    assert np.any(q_btf < 0)  # structurally singular: some positions flagged
    p, q, r = strongcomp(A, q=q_btf.copy())
    assert np.count_nonzero(q < 0) == np.count_nonzero(q_btf < 0)
    check_blocks(A[p][:, btf_q_permutation(q.copy())], r, len(r) - 1)


@pytest.mark.parametrize("sizes", [[1] * 6, [4, 1, 7, 1, 1, 30, 2], [50]])
def test_planted_blocks_are_recovered(sizes, itype):
    A = reducible(sizes, seed=len(sizes), itype=itype)
    N = A.shape[0]
    p, q, r = btf(A)
    nb = nblocks_of(r, N)
    assert np.all(q >= 0)
    assert sorted(np.diff(r[:nb + 1]).tolist()) == sorted(sizes)
    check_blocks(A[p][:, q], r, nb)


# ---------------------------------------------------------------------------------------
# Trivial shapes and arguments

@pytest.mark.parametrize("shape", [(0, 0), (0, 4), (4, 0)])
def test_maxtrans_empty(shape, itype):
    j = maxtrans(with_index_type(sp.csc_array(shape), itype))
    assert j.dtype == itype and j.shape == (0,)


def test_trivial_shapes(itype):
    Z = with_index_type(sp.csc_array((3, 4)), itype)
    j = maxtrans(Z)
    assert j.dtype == itype and j.tolist() == [-1, -1, -1]

    E = with_index_type(sp.csc_array((0, 0)), itype)
    for result in (strongcomp(E), strongcomp(E, q="not looked at"), btf(E)):
        assert all(x.dtype == itype for x in result)
        assert [x.tolist() for x in result[:-1]] == [[]] * (len(result) - 1)
        assert result[-1].tolist() == [0]

    Z = with_index_type(sp.csc_array((4, 4)), itype)
    p, r = strongcomp(Z)
    assert p.dtype == r.dtype == itype
    assert p.tolist() == [0, 1, 2, 3] and r.tolist() == [0, 1, 2, 3, 4]  # four 1-by-1 blocks
    q_in = np.array([3, 1, 0, 2], dtype=itype)
    p, q, r = strongcomp(Z, q=q_in)
    assert q is q_in and q.tolist() == [3, 1, 0, 2] and r.tolist() == [0, 1, 2, 3, 4]
    with pytest.raises(ValueError, match="lengthas"):
        strongcomp(Z, q=[0, 1])
    with pytest.raises(ValueError, match="not a column"):
        strongcomp(Z, q=[0, 1, 2, 4])

    p, q, r = btf(Z)
    assert all(x.dtype == itype for x in (p, q, r))
    assert p.tolist() == [0, 1, 2, 3] and q.tolist() == [-2, -3, -4, -5]
    assert r.tolist() == [0, 1, 2, 3, 4] and btf_q_permutation(q).tolist() == [0, 1, 2, 3]


def test_strongcomp_q_conversion_and_in_place_update(itype):
    A = random_csc(6, 6, density=0.3, seed=1, itype=itype)
    as_floats = [5.7, 4.2, 3.0, 2.9, 1.1, 0.0]
    p, q, r = strongcomp(A, q=as_floats)
    assert q.dtype == itype and as_floats == [5.7, 4.2, 3.0, 2.9, 1.1, 0.0]
    assert np.array_equal(q, np.array([5, 4, 3, 2, 1, 0])[p])
    q_in = np.arange(6, dtype=itype)[::-1].copy()
    p, q, r = strongcomp(A, q=q_in)
    assert q is q_in and np.array_equal(q_in, np.arange(6)[::-1][p])
    other = np.int64 if itype == np.int32 else np.int32
    q_other = np.arange(6, dtype=other)
    _, q, _ = strongcomp(A, q=q_other)
    assert q is not q_other and q.dtype == itype and q_other.tolist() == list(range(6))


def test_strongcomp_q_errors():
    A = random_csc(5, 5, seed=2)
    with pytest.raises(ValueError, match=r"^qin must have the same lengthas the number of columns in A\.$"):
        strongcomp(A, q=[0, 1, 2])
    with pytest.raises(TypeError, match=r"^qin must be an integer array\.$"):
        strongcomp(A, q=[object()] * 5)
    with pytest.raises(ValueError):  # NumPy's own error passes unchanged
        strongcomp(A, q=["a"] * 5)
    # the library indexes the column pointers with q: entries must be columns 0..N-1
    for bad in ([0, 1, 2, 3, 5], [0, 1, 2, 3, -1], [0, 1, 2, 3, -7], [2**31 - 1, 0, 1, 2, 3]):
        with pytest.raises(ValueError, match=r"^qin\[\d\] = -?\d+ is not a column of A"):
            strongcomp(A, q=np.array(bad, dtype=np.int64))
    ro = np.arange(5, dtype=np.int32)
    ro.flags.writeable = False
    with pytest.raises(ValueError, match="writable"):
        strongcomp(A, q=ro)


def test_matrix_arguments():
    with pytest.raises(ValueError, match="square"):
        strongcomp(random_csc(4, 5))
    with pytest.raises(ValueError, match="square"):
        btf(random_csc(5, 4))
    assert maxtrans(random_csc(4, 6)).shape == (4,)
    dense = random_csc(5, 5, seed=3).toarray()
    for fn in (maxtrans, strongcomp, btf):
        with pytest.warns(sp.SparseEfficiencyWarning):
            fn(sp.csr_array(dense))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        btf(sp.csc_array(dense))
    for bad in (np.zeros((2, 2, 2)), None):
        with pytest.raises(ValueError):
            btf(bad)
        with pytest.raises(ValueError):
            maxtrans(bad)


def test_btf_q_permutation():
    q = np.array([0, 1, 2, -5, 10])
    assert btf_q_permutation(q) is q and q.tolist() == [0, 1, 2, 3, 10]
    lst = [0, -2, -3]
    out = btf_q_permutation(lst)
    assert isinstance(out, np.ndarray) and out.tolist() == [0, 0, 1] and lst == [0, -2, -3]
    for dtype in (np.int16, np.int32, np.int64, np.float64):
        x = np.array([-4, 3, -2], dtype=dtype)
        y = btf_q_permutation(x)
        assert y is x and y.dtype == dtype and y.tolist() == [2, 3, 0]
    strided = np.array([-2, 99, -3, 99, 4])
    btf_q_permutation(strided[::2])  # a view is updated through the view
    assert strided.tolist() == [0, 99, 1, 99, 4]
    lowest = np.array([np.iinfo(np.int32).min, -1], dtype=np.int32)
    assert btf_q_permutation(lowest).tolist() == [2**31 - 2, -1]
    with pytest.raises(ValueError, match=r"^Input must be a 1D array\.$"):
        btf_q_permutation(np.zeros((2, 2), dtype=np.int64))
    with pytest.raises(ValueError, match=r"^Input must be a 1D array\.$"):
        btf_q_permutation(3)
    ro = np.array([-3, 1])
    ro.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        btf_q_permutation(ro)


# ---------------------------------------------------------------------------------------
# The raw workers refuse every buffer the library would leave

SENTINEL = 77


class TestRawWorkers:
    def matrix(self, itype, n=5):
        A = random_csc(n, n, density=0.3, itype=itype, seed=2)
        return A.indptr.copy(), A.indices.copy()

    def out(self, itype, n):
        return np.full(n, SENTINEL, dtype=itype)

    def calls(self, itype, Ap, Ai, n=5):
        """A valid call of each worker, as (function, argument list, positions of outputs that
        the library fills completely)."""
        return [
            (btf_mod._maxtrans, [n, n, Ap, Ai, 0.0, self.out(itype, n)], [5]),
            (btf_mod._strongcomp, [n, Ap, Ai, None, self.out(itype, n), self.out(itype, n + 1)],
             [4]),
            (btf_mod._strongcomp, [n, Ap, Ai, np.arange(n, dtype=itype), self.out(itype, n),
                                   self.out(itype, n + 1)], [4]),
            (btf_mod._btf, [n, Ap, Ai, 0.0, self.out(itype, n), self.out(itype, n),
                            self.out(itype, n + 1)], [4, 5]),
        ]

    def test_success_and_inputs_unchanged(self, itype):
        Ap, Ai = self.matrix(itype)
        ro_Ap, ro_Ai = Ap.copy(), Ai.copy()
        ro_Ap.flags.writeable = ro_Ai.flags.writeable = False  # inputs may be read-only
        for fn, args, outs in self.calls(itype, ro_Ap, ro_Ai):
            result = fn(*args)
            assert (result is None) == (fn is not btf_mod._strongcomp)
            assert np.array_equal(ro_Ap, Ap) and np.array_equal(ro_Ai, Ai)
            for k in outs:
                assert not np.any(args[k] == SENTINEL)
        A = sp.csc_array((np.ones(len(Ai)), Ai, Ap), shape=(5, 5))
        jmatch = np.zeros(5, itype)
        btf_mod._maxtrans(5, 5, Ap, Ai, 0.0, jmatch)
        assert np.array_equal(jmatch, maxtrans(A))
        p, r = np.zeros(5, itype), np.zeros(6, itype)
        nb = btf_mod._strongcomp(5, Ap, Ai, None, p, r)
        ref = strongcomp(A)
        assert isinstance(nb, int) and nb == len(ref[1]) - 1 and np.array_equal(p, ref[0])

    def test_jumbled_columns_and_rectangles_are_accepted(self, itype):
        # the library takes unsorted columns with duplicates; rows of maxtrans go to M-1
        Ap = np.array([0, 3, 4], dtype=itype)
        Ai = np.array([6, 1, 6, 0], dtype=itype)
        jmatch = self.out(itype, 7)
        btf_mod._maxtrans(7, 2, Ap, Ai, 0.0, jmatch)
        assert jmatch.tolist() == [1, -1, -1, -1, -1, -1, 0]

    @pytest.mark.parametrize("Ap_type", [np.float64, np.int16, np.uint32, np.uint64, object])
    def test_no_variant(self, Ap_type):
        Ap = np.zeros(3, Ap_type)
        z = np.zeros(2, np.int32)
        for call in (lambda: btf_mod._maxtrans(2, 2, Ap, z, 0.0, z),
                     lambda: btf_mod._strongcomp(2, Ap, z, None, z, z),
                     lambda: btf_mod._btf(2, Ap, z, 0.0, z, z, z),
                     lambda: btf_mod._btf(2, [0, 0, 0], z, 0.0, z, z, z),
                     lambda: btf_mod._maxtrans(2, 2, None, z, 0.0, z)):
            with pytest.raises(TypeError, match="^No matching signature found$"):
                call()

    def bad_calls(self, itype):
        """Each worker call with one fault: (description, function, arguments)."""
        other = np.int64 if itype == np.int32 else np.int32
        Ap, Ai = self.matrix(itype)
        o = lambda n: self.out(itype, n)  # noqa: E731
        mt, sc, bt = btf_mod._maxtrans, btf_mod._strongcomp, btf_mod._btf
        pat = lambda p, i: (np.array(p, itype), np.array(i, itype))  # noqa: E731
        cases = []
        # every array against M and N
        cases += [
            ("Ap short", mt, [5, 5, Ap[:-1], Ai, 0.0, o(5)]),
            ("Ap long", mt, [5, 4, Ap, Ai, 0.0, o(5)]),
            ("jmatch short", mt, [5, 5, Ap, Ai, 0.0, o(4)]),
            ("jmatch long", mt, [4, 5, Ap, Ai, 0.0, o(5)]),
            ("N larger than arrays", sc, [6, Ap, Ai, None, o(5), o(6)]),
            ("p short", sc, [5, Ap, Ai, None, o(4), o(6)]),
            ("r short", sc, [5, Ap, Ai, None, o(5), o(5)]),
            ("q short", sc, [5, Ap, Ai, np.arange(4, dtype=itype), o(5), o(6)]),
            ("btf p short", bt, [5, Ap, Ai, 0.0, o(4), o(5), o(6)]),
            ("btf q short", bt, [5, Ap, Ai, 0.0, o(5), o(4), o(6)]),
            ("btf r short", bt, [5, Ap, Ai, 0.0, o(5), o(5), o(5)]),
            ("Ai shorter than Ap[N]", bt, [5, Ap, Ai[:-1], 0.0, o(5), o(5), o(6)]),
        ]
        # dimensions
        cases += [
            ("M negative", mt, [-1, 5, Ap, Ai, 0.0, o(5)]),
            ("N negative", sc, [-1, Ap, Ai, None, o(5), o(6)]),
            ("N not an integer", bt, [5.0, Ap, Ai, 0.0, o(5), o(5), o(6)]),
            ("N beyond the index type", mt, [5, 2**31, Ap, Ai, 0.0, o(5)]),
            ("N beyond int64", sc, [2**70, Ap, Ai, None, o(5), o(6)]),
            ("maxwork not a number", mt, [5, 5, Ap, Ai, "0", o(5)]),
        ]
        # element types, shapes, writability, aliasing
        ro = o(5)
        ro.flags.writeable = False
        cases += [
            ("Ai other type", mt, [5, 5, Ap, Ai.astype(other), 0.0, o(5)]),
            ("jmatch other type", mt, [5, 5, Ap, Ai, 0.0, o(5).astype(other)]),
            ("q other type", sc, [5, Ap, Ai, np.arange(5, dtype=other), o(5), o(6)]),
            ("r float", bt, [5, Ap, Ai, 0.0, o(5), o(5), np.zeros(6)]),
            ("p a list", sc, [5, Ap, Ai, None, [0] * 5, o(6)]),
            ("p None", bt, [5, Ap, Ai, 0.0, None, o(5), o(6)]),
            ("Ai None", mt, [5, 5, Ap, None, 0.0, o(5)]),
            ("N None", sc, [None, Ap, Ai, None, o(5), o(6)]),
            ("p read-only", bt, [5, Ap, Ai, 0.0, ro, o(5), o(6)]),
            ("jmatch read-only", mt, [5, 5, Ap, Ai, 0.0, ro]),
            ("p two-dimensional", sc, [5, Ap, Ai, None, o(5).reshape(1, 5), o(6)]),
            ("q strided", bt, [5, Ap, Ai, 0.0, o(5), o(10)[::2], o(6)]),
            ("jmatch is Ai", mt, [5, 5, Ap, Ai[:5], 0.0, Ai[:5]]),
            ("p overlaps r", sc, [5, Ap, Ai, None, (r := o(7))[:5], r[1:]]),
            ("q is p", bt, [5, Ap, Ai, 0.0, (s := o(5)), s, o(6)]),
            ("q overlaps Ap", sc, [5, Ap, Ai, Ap[:5], o(5), o(6)]),
        ]
        # patterns the library would leave its arrays with
        cases += [
            ("Ap[0] not 0", mt, [3, 3, *pat([1, 1, 2, 3], [0, 1, 2]), 0.0, o(3)]),
            ("Ap decreasing", sc, [3, *pat([0, 9, 2, 3], [0] * 10), None, o(3), o(4)]),
            ("Ap negative", bt, [3, *pat([0, -1, 2, 3], [0, 1, 2]), 0.0, o(3), o(3), o(4)]),
            ("row index M", mt, [3, 2, *pat([0, 1, 2], [0, 3]), 0.0, o(3)]),
            ("row index negative", bt, [3, *pat([0, 1, 2, 3], [0, -1, 2]), 0.0, o(3), o(3), o(4)]),
            ("row index N", sc, [3, *pat([0, 1, 2, 3], [0, 1, 3]), None, o(3), o(4)]),
            ("q out of range", sc, [3, *pat([0, 1, 2, 3], [0, 1, 2]), np.array([0, 1, 3], itype),
                                    o(3), o(4)]),
            ("q unflagged -1", sc, [3, *pat([0, 1, 2, 3], [0, 1, 2]), np.array([0, -1, 2], itype),
                                    o(3), o(4)]),
            ("q flagged beyond N", sc, [3, *pat([0, 1, 2, 3], [0, 1, 2]),
                                        np.array([0, -5, 2], itype), o(3), o(4)]),
        ]
        return cases

    def test_bad_buffers_are_refused_before_the_library_runs(self, itype):
        for what, fn, args in self.bad_calls(itype):
            outputs = [a for a in args if isinstance(a, np.ndarray) and a.flags.writeable]
            before = [a.copy() for a in outputs]
            with pytest.raises((ValueError, TypeError, OverflowError)):
                fn(*args)
                pytest.fail(f"accepted: {what}")
            for a, b in zip(outputs, before):
                assert np.array_equal(a, b), f"written although refused: {what}"

    def test_messages(self, itype):
        o = lambda n: self.out(itype, n)  # noqa: E731
        Ap, Ai = np.array([0, 1, 2, 3], itype), np.array([0, 1, 2], itype)
        with pytest.raises(ValueError, match=r"^qin must have the same lengthas the number of columns in A\.$"):
            btf_mod._strongcomp(3, Ap, Ai, np.arange(4, dtype=itype), o(3), o(4))
        with pytest.raises(ValueError, match="row index 5 out of range 0..2 in column 1"):
            btf_mod._btf(3, Ap, np.array([0, 5, 2], itype), 0.0, o(3), o(3), o(4))
        with pytest.raises(ValueError, match="decrease at column 1"):
            btf_mod._maxtrans(3, 3, np.array([0, 2, 1, 3], itype), Ai, 0.0, o(3))
        with pytest.raises(ValueError, match="must start at 0"):
            btf_mod._maxtrans(3, 3, np.array([1, 2, 2, 3], itype), Ai, 0.0, o(3))
        with pytest.raises(ValueError, match="beyond the 3 stored row indices"):
            btf_mod._maxtrans(3, 3, np.array([0, 1, 2, 4], itype), Ai, 0.0, o(3))
        with pytest.raises(ValueError, match="must not share memory"):
            p = o(4)
            btf_mod._btf(3, Ap, Ai, 0.0, p[:3], p[1:], o(4))
        with pytest.raises(ValueError, match="N must be non-negative"):
            btf_mod._btf(-2, Ap, Ai, 0.0, o(3), o(3), o(4))

    def test_empty_matrix(self, itype):
        Ap, Ai = np.zeros(1, itype), np.zeros(0, itype)
        z = np.zeros(0, itype)
        btf_mod._maxtrans(0, 0, Ap, Ai, 0.0, z)
        jm = self.out(itype, 3)
        btf_mod._maxtrans(3, 0, Ap, Ai, 0.0, jm)
        assert jm.tolist() == [-1, -1, -1]
        r = self.out(itype, 1)
        assert btf_mod._strongcomp(0, Ap, Ai, None, z, r) == 0 and r.tolist() == [0]
        btf_mod._btf(0, Ap, Ai, 0.0, z, np.zeros(0, itype), r)


def test_demo_section():
    from ferrow.demos import btf as demo

    out = io.StringIO()
    demo.run(out)
    text = out.getvalue()
    assert demo.TITLE and "blocks" in text and "recovered" in text
