"""ferrow.ccolamd: CCOLAMD and CSYMAMD. The behaviour it shares with ferrow.colamd is checked
by the classes of tests/twins.py; constraints and the LU/Cholesky choice are below."""

import numpy as np
import pytest
import scipy.sparse as sp

from conftest import is_permutation, random_csc, with_index_type
from twins import CCOLAMD, FrameChecks, OrderingChecks, RawWrapperChecks, lu_nnz, spd
from ferrow.ccolamd import (CCOLAMDError, CCOLAMDStats, CCOLAMDValueError, _ccolamd, _csymamd,
                            ccolamd, csymamd)
from ferrow.colamd import COLAMDError, COLAMDStats
from ferrow.demos.problems import random_least_squares


class TestFrame(FrameChecks):
    twin = CCOLAMD


class TestOrderings(OrderingChecks):
    twin = CCOLAMD


class TestRawWrappers(RawWrapperChecks):
    twin = CCOLAMD


def test_twins_share_no_classes():
    fields = dict(N_rows_ignored=0, N_cols_ignored=0, Ncmpa=0, status=0, info1=-1, info2=-1,
                  info3=0)
    assert CCOLAMDStats(**fields) != COLAMDStats(**fields)
    assert not issubclass(CCOLAMDError, COLAMDError) and not issubclass(COLAMDError, CCOLAMDError)


def matrix(symmetric, itype, seed=5):
    A = random_csc(30, 30 if symmetric else 24, density=0.15, seed=seed, itype=itype)
    return with_index_type(spd(A), itype) if symmetric else A


@pytest.mark.parametrize("symmetric", [False, True], ids=["ccolamd", "csymamd"])
class TestConstraints:
    def order(self, symmetric, A, C, **kw):
        return (csymamd if symmetric else ccolamd)(A, constraints=C, **kw)

    def test_constraints_are_kept(self, symmetric, itype):
        A = matrix(symmetric, itype)
        N = A.shape[1]
        Ap, Ai = A.indptr.copy(), A.indices.copy()
        for seed in range(3):
            C = np.random.default_rng(seed).integers(0, 4, N).astype(itype)
            C_copy = C.copy()
            q, stats = self.order(symmetric, A, C, return_info=True)
            assert q.dtype == itype and is_permutation(q, N) and stats.status == 0
            assert np.all(np.diff(C[q]) >= 0)
            assert np.array_equal(C, C_copy)
        assert np.array_equal(A.indptr, Ap) and np.array_equal(A.indices, Ai)
        # every column in a set of its own: the natural order; all in one set: no constraint
        assert np.array_equal(self.order(symmetric, A, np.arange(N)), np.arange(N))
        assert np.array_equal(self.order(symmetric, A, [0] * N), self.order(symmetric, A, None))

    def test_leading_singletons_come_first_in_order(self, symmetric):
        rng = np.random.default_rng(56)
        A = sp.random_array((11, 8), density=0.5, format="csc", rng=rng)
        A.setdiag(11)
        if symmetric:
            A = sp.csc_array(A.T @ A)
        q = self.order(symmetric, A, [0, 1, 2, 3, 4, 4, 4, 4])
        assert q[:4].tolist() == [0, 1, 2, 3] and sorted(q[4:]) == [4, 5, 6, 7]

    def test_constraints_are_converted_to_the_index_type(self, symmetric, itype):
        A = matrix(symmetric, itype)
        N = A.shape[1]
        C = np.random.default_rng(7).integers(0, 3, N)
        ref = self.order(symmetric, A, C.astype(itype))
        for given in (C.tolist(), C.astype(np.int8), C.astype(np.float64), np.asfortranarray(C),
                      np.repeat(C, 2)[::2]):
            assert np.array_equal(self.order(symmetric, A, given), ref)

    def test_conversion_errors(self, symmetric):
        A = matrix(symmetric, np.int32)
        N = A.shape[1]
        with pytest.raises(TypeError, match="^Constraints must be an array of integers.$") as err:
            self.order(symmetric, A, [object()] * N)
        assert isinstance(err.value.__context__, TypeError)
        with pytest.raises(ValueError, match="invalid literal"):  # NumPy's own error
            self.order(symmetric, A, ["a"] * N)
        with pytest.raises(ValueError, match="one-dimensional"):
            self.order(symmetric, A, np.zeros((2, N // 2)))
        with pytest.raises(ValueError, match="^Constraints must have the same length as the "
                                             "matrix size.$"):
            self.order(symmetric, A, [0] * (N - 1))

    @pytest.mark.parametrize("bad", ["N", "-1", "2N"])
    def test_constraint_values_outside_range_are_refused(self, symmetric, bad, itype):
        A = matrix(symmetric, itype)
        N = A.shape[1]
        C = np.zeros(N, itype)
        C[3] = {"N": N, "-1": -1, "2N": 2 * N}[bad]
        with pytest.raises(CCOLAMDValueError, match=r"^Constraint -?\d+ at position 3 is outside "
                                                    rf"0\.\.N-1 \(N = {N}\)\.$"):
            self.order(symmetric, A, C)
        with pytest.raises(CCOLAMDValueError, match="outside 0..N-1"):
            CCOLAMD.raw(symmetric, A, constraints=C)

    def test_trivial_matrices_follow_the_constraints(self, symmetric, itype):
        C = np.array([1, 0, 1, 0, 2], dtype=itype)
        shapes = [(5, 5)] if symmetric else [(5, 5), (0, 5), (2, 5), (1, 5)]
        for shape in shapes:
            A = with_index_type(sp.csc_array(shape), itype)
            q, stats = self.order(symmetric, A, C, return_info=True)
            assert q.dtype == itype and q.tolist() == [1, 3, 0, 2, 4]  # stable by set
            perm, raw = CCOLAMD.raw(symmetric, A, constraints=C)  # what the library does
            assert perm[:5].tolist() == q.tolist() and stats == CCOLAMDStats.from_array(raw)
        # the example: two rows, four columns, no entries
        assert ccolamd(sp.csc_array((2, 4)), constraints=[1, 1, 0, 0]).tolist() == [2, 3, 0, 1]
        # constraints are checked as for any matrix
        Z = sp.csc_array((4, 4))
        with pytest.raises(ValueError, match="^Constraints must have the same length"):
            self.order(symmetric, Z, [0, 1])
        with pytest.raises(CCOLAMDValueError, match="outside 0..N-1"):
            self.order(symmetric, Z, [0, 1, 2, 4])
        with pytest.raises(TypeError, match="^Constraints must be an array of integers.$"):
            self.order(symmetric, Z, [object()] * 4)
        assert self.order(symmetric, sp.csc_array((0, 0)), [], return_info=True)[0].size == 0
        # the other options are not looked at: the library is never reached
        assert self.order(symmetric, Z, None, dense_row_thresh="x").tolist() == [0, 1, 2, 3]
        assert ccolamd(Z, opt_lu="x").tolist() == [0, 1, 2, 3]

    def test_raw_wrapper_constraint_checks(self, symmetric, itype):
        A = matrix(symmetric, itype)
        N = A.shape[1]
        other = np.int64 if itype == np.int32 else np.int32
        with pytest.raises(ValueError, match="^Constraints must have the same length"):
            CCOLAMD.raw(symmetric, A, constraints=np.zeros(N + 1, itype))
        with pytest.raises(ValueError, match="dtype mismatch"):
            CCOLAMD.raw(symmetric, A, constraints=np.zeros(N, other))
        C = np.zeros(N, itype)
        C.flags.writeable = False  # the library only reads the constraints
        perm, _ = CCOLAMD.raw(symmetric, A, constraints=C)
        assert is_permutation(perm[:N], N)


def test_constrained_column_ordering_still_reduces_fill():
    A, _ = random_least_squares(600, 600, 0.005, seed=1)
    halves = (np.arange(600) >= 300).astype(np.int64)  # columns 0..299 first
    q = ccolamd(A, constraints=halves, opt_lu="lu")
    assert np.all(np.diff(halves[q]) >= 0)
    assert lu_nnz(A[:, q]) < 0.95 * lu_nnz(A)


def test_opt_lu_reaches_the_library():
    A = random_csc(40, 40, density=0.08, seed=0)
    lu = CCOLAMD.raw(False, A, CCOLAMD.knobs(k3=1.0))[0][:40]
    cholesky = CCOLAMD.raw(False, A, CCOLAMD.knobs(k3=0.0))[0][:40]
    assert not np.array_equal(lu, cholesky)  # this matrix tells the two apart
    assert np.array_equal(ccolamd(A, opt_lu="lu"), lu)
    assert np.array_equal(ccolamd(A, opt_lu=np.str_("lu")), lu)
    assert np.array_equal(ccolamd(A, opt_lu="cholesky"), cholesky)
    assert np.array_equal(ccolamd(A, opt_lu=None), cholesky)


@pytest.mark.parametrize("bad", ["LU", "Cholesky", "", "lu ", 1, True, b"lu"])
def test_opt_lu_names(bad):
    with pytest.raises(ValueError, match="^opt_lu must be either 'lu' or 'cholesky'.$"):
        ccolamd(random_csc(8, 8, seed=1), opt_lu=bad)


def test_csymamd_has_no_opt_lu():
    with pytest.raises(TypeError):
        csymamd(spd(random_csc(8, 8, seed=1)), opt_lu="lu")
    assert "opt_lu" not in csymamd.__doc__ and "opt_lu :" in ccolamd.__doc__


def test_csymamd_wrapper_has_no_M(itype):
    Ap, Ai = np.array([0, 1, 2, 3], itype), np.array([0, 1, 2], itype)
    perm, stats = np.zeros(4, itype), np.zeros(20, itype)
    _csymamd(3, Ap, Ai, perm, CCOLAMD.knobs(), stats, np.array([2, 1, 0], itype))
    assert perm[:3].tolist() == [2, 1, 0]
    with pytest.raises(TypeError):
        _csymamd(3, 3, Ap, Ai, perm, CCOLAMD.knobs(), stats)
    _ccolamd(M=3, N=3, Ap=Ap, Ai=Ai, perm=perm, knobs=CCOLAMD.knobs(), stats=stats,
             constraints=np.array([1, 0, 1], itype))
    assert perm[0] == 1
