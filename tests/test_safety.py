"""Odd buffers and extreme sizes: unaligned arrays, corrupted DIA/LIL/DOK objects, N + 1
overflow. Public functions succeed on unaligned data (they copy it); the raw workers
refuse it before anything reads it."""

import warnings

import numpy as np
import pytest
import scipy.sparse as sp
from scipy.sparse import SparseEfficiencyWarning

from conftest import is_permutation, random_csc
from ferrow.utils import validate_csc_input
from robustness.values import corrupted_sparse, unaligned

camd = pytest.importorskip("ferrow.camd")
colamd = pytest.importorskip("ferrow.colamd")
ccolamd = pytest.importorskip("ferrow.ccolamd")
btf = pytest.importorskip("ferrow.btf")
spqr = pytest.importorskip("ferrow.spqr")
cholmod = pytest.importorskip("ferrow.cholmod")


def odd_csc(A, data_too=True):
    """`A` (CSC) with unaligned copies of its index arrays (and values)."""
    B = sp.csc_array(A, copy=True)
    B.indptr = unaligned(A.indptr)
    B.indices = unaligned(A.indices)
    if data_too:
        B.data = unaligned(A.data)
    assert not (B.indptr.flags.aligned or B.indices.flags.aligned)
    return B


# -- sparse formats ----------------------------------------------------------------------

@pytest.mark.parametrize("k", range(len(corrupted_sparse())))
def test_corrupted_dia_lil_dok_are_refused(k):
    A = corrupted_sparse()[k]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SparseEfficiencyWarning)
        if A.format == "dia" and A.data.shape[0] == A.offsets.shape[0]:
            B, _, _ = validate_csc_input(A)  # a diagonal far outside the matrix is empty
            assert B.nnz == 0
            return
        with pytest.raises(ValueError):
            validate_csc_input(A)


@pytest.mark.parametrize("entry", [
    lambda A: camd.camd(A), lambda A: colamd.colamd(A), lambda A: ccolamd.csymamd(A),
    lambda A: btf.btf(A), lambda A: spqr.spqr(A), lambda A: spqr.SPQRFactor(A),
    lambda A: spqr.spqr_solve(A, np.ones(3)),
    lambda A: spqr.spqr_factor(sp.eye_array(3, format="csc")).solve(A),
    lambda A: spqr.spqr_factor(sp.eye_array(3, format="csc")).qmult(A, "QX"),
    lambda A: spqr.spqr_qmult(spqr.spqr(sp.eye_array(3, format="csc"), mode="householder")[0],
                              A, "QX"),
], ids=["camd", "colamd", "csymamd", "btf", "spqr", "SPQRFactor", "spqr_solve", "solve-rhs",
        "qmult-X", "spqr_qmult-X"])
def test_every_entry_refuses_corrupted_formats(entry):
    for A in corrupted_sparse():
        if A.format == "dia" and A.data.shape[0] == A.offsets.shape[0]:
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with pytest.raises(ValueError):
                entry(A)


def test_dia_lil_dok_convert_like_scipy():
    """Explicit zeros, a diagonal outside the matrix, data wider than the matrix;
    unsorted LIL rows; a DOK object: the values agree with SciPy's own reading."""
    D = sp.dia_array((np.array([[1.0, 0.0, 2.0, 3.0, 9.0], [4.0, 5.0, 6.0, 7.0, 9.0],
                                [1.0, 1.0, 1.0, 1.0, 1.0], [8.0, 8.0, 8.0, 8.0, 8.0]]),
                      np.array([0, -1, 2, 7])), shape=(4, 4))
    L = sp.lil_array((3, 4))
    L.rows[0], L.data[0] = [3, 0], [1.0, 2.0]
    L.rows[2], L.data[2] = [1], [5.0]
    K = sp.dok_array((3, 5), dtype=np.complex128)
    K[2, 4], K[0, 1] = 1 + 2j, 3.0
    for A in (D, L, K, sp.dia_matrix(D), sp.lil_matrix(L), sp.dok_matrix(K)):
        with pytest.warns(SparseEfficiencyWarning):
            B, dtype, _ = validate_csc_input(A)
        assert B.format == "csc" and dtype == A.dtype
        assert isinstance(B, sp.spmatrix) == isinstance(A, sp.spmatrix)
        assert B.has_canonical_format and np.all(B.data != 0)
        assert np.array_equal(B.toarray(), A.toarray())


@pytest.mark.parametrize("fmt", ["csr", "coo", "bsr"])
def test_wide_indices_stay_wide(fmt):
    A = random_csc(6, 6, seed=1).asformat(fmt)
    if fmt == "coo":
        A.coords = tuple(c.astype(np.int64) for c in A.coords)
    else:
        A.indptr, A.indices = A.indptr.astype(np.int64), A.indices.astype(np.int64)
    with pytest.warns(SparseEfficiencyWarning):
        B, _, itype = validate_csc_input(A)
    assert itype == np.int64 and np.array_equal(B.toarray(), A.toarray())


def test_unknown_sparse_format_is_a_type_error():
    class Odd(sp.csr_array):
        _format = "odd"

    A = Odd(np.eye(3))
    assert sp.issparse(A)
    with pytest.raises(TypeError, match="format 'odd'"):
        validate_csc_input(A)
    with pytest.raises(TypeError, match="format 'odd'"):
        camd.camd(A)


# -- unaligned buffers -------------------------------------------------------------------

@pytest.mark.parametrize("dtype", [np.float64, np.complex128])
@pytest.mark.parametrize("fmt", ["csc", "csr", "coo"])
def test_unaligned_arrays_are_copied(itype, dtype, fmt):
    A = random_csc(7, 5, seed=2, itype=itype, dtype=dtype)
    if fmt == "csc":
        odd = odd_csc(A)
    elif fmt == "csr":
        odd = sp.csr_array(A)
        odd.indptr, odd.indices = unaligned(odd.indptr.astype(itype)), unaligned(odd.indices.astype(itype))
        odd.data = unaligned(odd.data)
    else:
        odd = sp.coo_array(A)
        odd.coords = tuple(unaligned(c.astype(itype)) for c in odd.coords)
        odd.data = unaligned(odd.data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", SparseEfficiencyWarning)
        B, _, out_itype = validate_csc_input(odd)
    assert out_itype == itype
    for arr in (B.indptr, B.indices, B.data):
        assert arr.flags.aligned and arr.flags.c_contiguous
    assert np.array_equal(B.toarray(), A.toarray())


def test_public_orderings_accept_unaligned_input(itype):
    A = random_csc(8, 8, seed=4, itype=itype)
    A = A + A.T
    A = sp.csc_array(A)
    A.indptr, A.indices = A.indptr.astype(itype), A.indices.astype(itype)
    groups = np.array([1, 0, 1, 0, 1, 0, 1, 0])
    odd_groups = unaligned(groups.astype(itype))
    p = camd.camd(odd_csc(A), constraints=odd_groups)
    assert is_permutation(p, 8) and np.all(np.diff(groups[p]) >= 0)
    assert np.array_equal(p, camd.camd(A, constraints=groups))
    assert np.array_equal(colamd.colamd(odd_csc(A)), colamd.colamd(A))
    assert np.array_equal(colamd.symamd(odd_csc(A)), colamd.symamd(A))
    q = ccolamd.ccolamd(odd_csc(A), constraints=odd_groups)
    assert is_permutation(q, 8) and np.all(np.diff(groups[q]) >= 0)
    assert np.array_equal(ccolamd.csymamd(odd_csc(A), constraints=odd_groups),
                          ccolamd.csymamd(A, constraints=groups))
    for got, want in zip(btf.btf(odd_csc(A)), btf.btf(A)):
        assert np.array_equal(got, want)
    jmatch = btf.maxtrans(A)
    for got, want in zip(btf.strongcomp(odd_csc(A), unaligned(jmatch)), btf.strongcomp(A, jmatch)):
        assert np.array_equal(got, want)
    flagged = unaligned(np.array([0, -3, 1], dtype=itype))
    assert np.array_equal(btf.btf_q_permutation(flagged), [0, 1, 1])


def test_public_qr_accepts_unaligned_input(itype):
    A = random_csc(9, 5, seed=5, itype=itype)
    rng = np.random.default_rng(0)
    b = rng.standard_normal((9, 2))
    x_ref = np.linalg.lstsq(A.toarray(), b, rcond=None)[0]
    odd_b = unaligned(np.asfortranarray(b).T).T  # unaligned, column-major
    assert not odd_b.flags.aligned
    assert np.allclose(spqr.spqr_solve(odd_csc(A), odd_b), x_ref)
    F = spqr.spqr_factor(odd_csc(A))
    assert np.allclose(F.solve(odd_b), x_ref)
    assert np.allclose(F.qmult(F.qmult(odd_b, "QTX"), "QX"), b)
    house, R, E = spqr.spqr(A, mode="householder")
    H, tau, v = house
    Y = spqr.spqr_qmult((odd_csc(H), unaligned(tau), unaligned(v)), odd_b, "QTX")
    assert np.allclose(Y, spqr.spqr_qmult(house, b, "QTX"))


def test_raw_workers_refuse_unaligned_arrays():
    A = random_csc(6, 6, seed=6)
    Ap, Ai = unaligned(A.indptr), unaligned(A.indices)
    knobs = np.zeros(20)
    knobs[:3] = [10, 10, 1]
    calls = [
        lambda: camd._camd_order(6, Ap, Ai, np.zeros(6, np.int32), np.array([10.0, 1, 0, 0, 0]),
                                 np.zeros(20)),
        lambda: camd._camd_order(6, A.indptr, A.indices, unaligned(np.zeros(6, np.int32)),
                                 np.array([10.0, 1, 0, 0, 0]), np.zeros(20)),
        lambda: camd._camd_order(6, A.indptr, A.indices, np.zeros(6, np.int32),
                                 unaligned(np.array([10.0, 1, 0, 0, 0])), np.zeros(20)),
        lambda: colamd._colamd(6, 6, Ap, Ai, np.zeros(7, np.int32), knobs, np.zeros(20, np.int32)),
        lambda: ccolamd._csymamd(6, Ap, Ai, np.zeros(7, np.int32), knobs, np.zeros(20, np.int32),
                                 None),
        lambda: btf._maxtrans(6, 6, Ap, Ai, 0.0, np.zeros(6, np.int32)),
        lambda: btf._btf(6, Ap, Ai, 0.0, np.zeros(6, np.int32), np.zeros(6, np.int32),
                         np.zeros(7, np.int32)),
        lambda: cholmod._cholmod_sparse_from_csc((6, 6), A.indptr, A.indices, unaligned(A.data), 0,
                                                 bytearray(cholmod.sizeof_cholmod_sparse)),
        lambda: spqr.spqr_factor(A)._solve_dense(unaligned(np.ones((1, 6))).T, False),
        lambda: cholmod._dense_roundtrip(unaligned(np.ones((2, 3))).T, False),
    ]
    for call in calls:
        with pytest.raises((ValueError, TypeError), match="aligned"):
            call()


# -- extreme sizes -----------------------------------------------------------------------

@pytest.mark.parametrize("N", [2**63 - 1, 2**62, 2**31 - 1, 2**31])
def test_huge_sizes_are_refused_before_any_arithmetic(N, itype):
    A = random_csc(4, 4, itype=itype)
    Ap, Ai = A.indptr, A.indices
    knobs = np.zeros(20)
    knobs[:3] = [10, 10, 1]
    z = lambda n: np.zeros(n, itype)  # noqa: E731
    calls = [
        lambda: camd._camd_order(N, Ap, Ai, z(4), np.array([10.0, 1, 0, 0, 0]), np.zeros(20)),
        lambda: colamd._colamd(4, N, Ap, Ai, z(5), knobs.copy(), z(20)),
        lambda: colamd._symamd(N, N, Ap, Ai, z(5), knobs.copy(), z(20)),
        lambda: ccolamd._ccolamd(4, N, Ap, Ai, z(5), knobs.copy(), z(20), None),
        lambda: ccolamd._csymamd(N, Ap, Ai, z(5), knobs.copy(), z(20), None),
        lambda: btf._maxtrans(N, N, Ap, Ai, 0.0, z(4)),
        lambda: btf._strongcomp(N, Ap, Ai, None, z(4), z(5)),
        lambda: btf._btf(N, Ap, Ai, 0.0, z(4), z(4), z(5)),
        lambda: cholmod._cholmod_sparse_from_csc((4, N), Ap, Ai, A.data, 0,
                                                 bytearray(cholmod.sizeof_cholmod_sparse)),
    ]
    refusals = (ValueError, OverflowError, colamd.COLAMDError, ccolamd.CCOLAMDError)
    for call in calls:
        with pytest.raises(refusals):
            call()
    from ferrow._structure import check_compressed
    with pytest.raises(ValueError):
        check_compressed(Ap, Ai, N, 4)


# -- the command line's files ------------------------------------------------------------

def _corrupted_npz(path, fmt, shape, **arrays):
    """A file that scipy.sparse.load_npz reads as `fmt` from arrays no check has seen."""
    np.savez(path, format=np.array(fmt), shape=np.array(shape), **arrays)
    return path


@pytest.mark.parametrize("fmt, shape, arrays", [
    ("csr", (3, 3), dict(data=np.ones(3), indices=np.array([0, 9, 1], np.int32),
                         indptr=np.array([0, 1, 2, 3], np.int32))),
    ("csc", (3, 3), dict(data=np.ones(3), indices=np.array([0, 1, 2], np.int32),
                         indptr=np.array([0, 2, 1, 3], np.int32))),
    ("bsr", (4, 4), dict(data=np.ones((2, 2, 2)), indices=np.array([0, 5], np.int32),
                         indptr=np.array([0, 1, 2], np.int32))),
    ("coo", (3, 3), dict(data=np.ones(2), row=np.array([0, 7]), col=np.array([0, 1]))),
    ("dia", (3, 3), dict(data=np.ones((4, 3)), offsets=np.array([0]))),
    ("dia", (3, 3), dict(data=np.ones((1, 3)), offsets=np.array([0, 1, 2, -1, 5]))),
], ids=["csr", "csc", "bsr", "coo", "dia-short-offsets", "dia-long-offsets"])
def test_cli_refuses_corrupted_npz_files(tmp_path, capsys, fmt, shape, arrays):
    from ferrow.cli import main
    from ferrow.demos.problems import laplacian_2d

    bad = _corrupted_npz(tmp_path / "bad.npz", fmt, shape, **arrays)
    good = tmp_path / "A.npz"
    sp.save_npz(good, sp.csc_array(laplacian_2d(2)[:3, :3]))
    for argv in (["btf", bad], ["order", bad], ["qr", bad], ["solve", bad, good],
                 ["solve", good, bad]):
        assert main([str(a) for a in argv]) == 2
        out, err = capsys.readouterr()
        assert len(err.strip().splitlines()) == 1 and "bad.npz" in err


def test_sparse_header_buffer_cannot_be_resized_while_written():
    """The shape's __index__ runs while the header buffer is held: resizing it fails
    instead of leaving the header to be written into freed memory."""
    A = sp.csc_array(np.eye(3))
    buf = bytearray(cholmod.sizeof_cholmod_sparse)

    class Shrinking:
        def __index__(self):
            buf.clear()
            return 3

    with pytest.raises(BufferError):
        cholmod._cholmod_sparse_from_csc((Shrinking(), 3), A.indptr, A.indices, A.data, 0, buf)
    assert len(buf) == cholmod.sizeof_cholmod_sparse
