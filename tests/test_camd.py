import dataclasses
import pickle

import numpy as np
import pytest
import scipy.sparse as sp

import ferrow.camd as camd_mod
from ferrow.amd import _amd_order as amd_order
from conftest import is_permutation, random_csc, with_index_type
from twins import same_results_in_threads, threaded_problems
from ferrow.camd import (CAMDError, CAMDInfo, CAMDInvalidMatrixError, CAMDMemoryError, camd,
                         camd_default_control)
from ferrow.demos.problems import laplacian_2d


def cholesky_nnz(A):
    """Nonzeros of the Cholesky factor of the pattern of A + A.T (dense, small A)."""
    import scipy.linalg

    S = (abs(A) + abs(A.T)).toarray() != 0
    M = S.astype(float) + np.eye(A.shape[0]) * A.shape[0]
    L = scipy.linalg.cholesky(M, lower=True)
    return int(np.count_nonzero(np.abs(L) > 1e-12))


def test_module_frame():
    assert camd_mod.__all__ == ["CAMDError", "CAMDInvalidMatrixError", "CAMDMemoryError",
                                "CAMDInfo", "camd", "camd_default_control"]
    assert issubclass(CAMDInvalidMatrixError, CAMDError) and issubclass(CAMDMemoryError, CAMDError)
    assert CAMDError.__doc__ == "Base class for CAMD-related errors."
    assert CAMDInvalidMatrixError.__doc__ == "Raised when the input matrix is invalid for CAMD."
    assert CAMDMemoryError.__doc__ == "Raised when CAMD runs out of memory."
    assert CAMDError.__module__ == "ferrow.camd"
    assert camd_mod.np is np and camd_mod.dataclass is dataclasses.dataclass
    assert "Examples" in camd.__doc__ and "ferrow.ccolamd.ccolamd" in camd.__doc__


def test_ordering_is_a_permutation_and_reduces_fill(itype):
    A = with_index_type(laplacian_2d(12), itype)
    p, info = camd(A, return_info=True)
    assert p.dtype == itype and is_permutation(p, A.shape[0])
    assert info.status == 0 and info.N == A.shape[0] and info.nz == A.nnz
    P = A[p][:, p]
    assert cholesky_nnz(P) < cholesky_nnz(A)
    assert info.Lnz + A.shape[0] >= cholesky_nnz(P)  # Lnz is an upper bound below the diagonal


def test_constraints_order_the_groups(itype):
    A = random_csc(30, 30, density=0.2, itype=itype, seed=5)
    C = np.random.default_rng(1).integers(0, 4, 30)
    p = camd(A, constraints=C)
    assert is_permutation(p, 30)
    assert np.all(np.diff(C[p]) >= 0)
    # every node in a group of its own: the natural order
    assert np.array_equal(camd(A, constraints=np.arange(30)), np.arange(30))


def test_defaults_match_explicit_defaults():
    A = random_csc(40, 40, density=0.1, seed=8)
    assert camd_default_control() == {"dense_thresh": 10.0, "aggressive": True}
    ref = camd(A)
    assert np.array_equal(camd(A, dense_thresh=None, aggressive=None), ref)
    assert np.array_equal(camd(A, dense_thresh=10.0, aggressive=True), ref)


def test_dense_threshold_sets_rows_aside():
    n = 60
    A = sp.lil_array(sp.eye_array(n))
    A[0, :] = 1
    A[:, 0] = 1
    A = sp.csc_array(A)
    p, info = camd(A, dense_thresh=1.0, return_info=True)  # max(sqrt(60), 16) = 16 < 59
    assert info.Ndense == 1 and p[-1] == 0


def library_order(A, constraints=None):
    """camd_order itself, through the raw worker, with the default controls."""
    N = A.shape[0]
    ctrl = np.array([camd_default_control()["dense_thresh"], 1.0, 0.0, 0.0, 0.0])
    p, info = np.empty(N, A.indptr.dtype), np.zeros(20)
    C = None if constraints is None else np.asarray(constraints, A.indptr.dtype)
    camd_mod._camd_order(N, A.indptr, A.indices, p, ctrl, info, C)
    return p, CAMDInfo.from_array(info)


@pytest.mark.parametrize("N", [1, 5, 300])
def test_matrices_without_entries_are_answered_as_the_library_answers(N, itype):
    Z = with_index_type(sp.csc_array((N, N)), itype)
    C = np.random.default_rng(N).integers(0, min(N, 3), N)
    for constraints in (None, C):
        p, info = camd(Z, constraints=constraints, dense_thresh="not looked at", return_info=True)
        assert p.dtype == itype
        lib_p, lib_info = library_order(Z, constraints)
        assert np.array_equal(p, lib_p) and info == lib_info
    assert np.array_equal(p, np.argsort(C, kind="stable"))  # by constraint set, then natural
    assert np.array_equal(camd(Z, return_info=None), np.arange(N))


def test_trivial_shapes(itype):
    E = with_index_type(sp.csc_array((0, 0)), itype)
    p, info = camd(E, return_info=True)
    assert p.dtype == itype and p.size == 0
    assert info == CAMDInfo(status=0, N=0, nz=0, symmetry=1.0, nzdiag=0, nz_A_plus_AT=0,
                            Ndense=0, memory=0.0, Ncmpa=0, Lnz=0, Ndiv=0, Nmultsubs_LDL=0,
                            Nmultsubs_LU=0, dmax=0)
    assert camd(E, constraints=[]).size == 0
    Z = with_index_type(sp.csc_array((2, 2)), itype)
    assert camd(Z, constraints=[1, 0]).tolist() == [1, 0]
    with pytest.raises(ValueError, match="^Constraints must have the same length"):
        camd(Z, constraints=[0])
    with pytest.raises(CAMDInvalidMatrixError, match="outside 0..N-1"):
        camd(Z, constraints=[0, 2])


def test_jumbled_input_is_success():
    # duplicates are summed by validation, so the library sees a canonical matrix
    A = sp.csc_array((np.ones(4), np.array([1, 0, 1, 1]), np.array([0, 2, 4])), shape=(2, 2))
    p, info = camd(A, return_info=True)
    assert is_permutation(p, 2) and info.status == 0


def test_argument_errors():
    A = random_csc(6, 6)
    with pytest.raises(ValueError, match="square"):
        camd(random_csc(6, 5))
    with pytest.raises(ValueError, match="^Constraints must have the same length as the matrix size.$"):
        camd(A, constraints=[0, 1])
    with pytest.raises(TypeError, match="^Constraints must be an array of integers.$"):
        camd(A, constraints=[object()] * 6)
    with pytest.raises(ValueError):  # NumPy's own error, not the module's TypeError
        camd(A, constraints=["a"] * 6)
    with pytest.raises(TypeError):
        camd(A, dense_thresh="10")
    with pytest.raises(TypeError):
        camd(A, dense_thresh="abc")


@pytest.mark.parametrize("bad", [[0, 1, 2, 3, 4, 6], [0, 1, 2, 3, 4, -1], [0, 0, 0, 0, 0, 7]])
def test_constraints_outside_range_are_refused(bad):
    with pytest.raises(CAMDInvalidMatrixError, match="outside 0..N-1"):
        camd(random_csc(6, 6), constraints=np.array(bad, dtype=np.int64))


def test_info_record():
    arr = np.arange(20, dtype=float) + 0.7
    info = CAMDInfo.from_array(arr)
    assert info.status == 0 and info.N == 1 and info.symmetry == 3.7 and info.memory == 7.7
    assert dataclasses.is_dataclass(info) and [f.name for f in dataclasses.fields(info)][:3] == [
        "status", "N", "nz"]
    with pytest.raises(dataclasses.FrozenInstanceError):
        info.status = 3
    assert pickle.loads(pickle.dumps(info)) == info and hash(info) == hash(CAMDInfo.from_array(arr))
    assert repr(info).startswith("CAMDInfo(status=0, N=1, nz=2, symmetry=3.7")
    assert CAMDInfo.from_array([-2.9] * 14).status == -2
    with pytest.raises(IndexError):
        CAMDInfo.from_array([0] * 13)
    # indexing a (possibly corrupted) sparse object would run SciPy's unchecked code
    bad = sp.csc_array((3, 3))
    bad.indptr = np.array([0, 1, 2], dtype=np.int32)
    with pytest.raises(TypeError, match="not a sparse matrix"):
        CAMDInfo.from_array(bad)


class TestRawWorker:
    def arrays(self, itype, n=5):
        A = random_csc(n, n, itype=itype, seed=2)
        return A, np.empty(n, itype), np.zeros(5), np.zeros(20)

    def test_success_and_inputs_unchanged(self, itype):
        A, p, ctrl, info = self.arrays(itype)
        ctrl[:] = [10, 1, 0, 0, 0]
        Ap, Ai = A.indptr.copy(), A.indices.copy()
        assert camd_mod._camd_order(5, A.indptr, A.indices, p, ctrl, info) is None
        assert is_permutation(p, 5) and info[0] == 0
        assert np.array_equal(Ap, A.indptr) and np.array_equal(Ai, A.indices)

    @pytest.mark.parametrize("Ap_type", [np.float64, np.int16, np.uint32, object])
    def test_no_variant(self, Ap_type):
        with pytest.raises(TypeError, match="^No matching signature found$"):
            camd_mod._camd_order(2, np.zeros(3, Ap_type), np.zeros(0, np.int32),
                                 np.zeros(2, np.int32), np.zeros(5), np.zeros(20))
        with pytest.raises(TypeError, match="^No matching signature found$"):
            camd_mod._camd_order(2, [0, 0, 0], [], [0, 0], np.zeros(5), np.zeros(20))

    def test_buffers_are_checked(self, itype):
        A, p, ctrl, info = self.arrays(itype)
        other = np.int64 if itype == np.int32 else np.int32
        run = camd_mod._camd_order
        cases = [
            (5, A.indptr[:-1], A.indices, p, ctrl, info),          # Ap too short
            (5, A.indptr, A.indices[:-1], p, ctrl, info),          # Ai shorter than Ap[N]
            (5, A.indptr, A.indices, p[:4], ctrl, info),           # p too short
            (5, A.indptr, A.indices, p, ctrl[:4], info),           # ctrl too short
            (5, A.indptr, A.indices, p, ctrl, info[:19]),          # info too short
            (5, A.indptr, A.indices.astype(other), p, ctrl, info),  # mixed index types
            (5, A.indptr, A.indices, p.astype(other), ctrl, info),
            (5, A.indptr, A.indices, p, ctrl.astype(np.float32), info),
            (5, A.indptr, A.indices, p[::-1], ctrl, info),         # negative stride
            (5, A.indptr, A.indices, p.reshape(1, 5), ctrl, info),  # 2-D
            (-1, A.indptr, A.indices, p, ctrl, info),
        ]
        for args in cases:
            with pytest.raises((ValueError, TypeError)):
                run(*args)
        ro = p.copy()
        ro.flags.writeable = False
        with pytest.raises(ValueError, match="writable"):
            run(5, A.indptr, A.indices, ro, ctrl, info)
        with pytest.raises(ValueError, match="^Constraints must have the same length"):
            run(5, A.indptr, A.indices, p, ctrl, info, np.zeros(4, itype))

    @pytest.mark.parametrize("run", [camd_mod._camd_order, amd_order], ids=["camd", "amd"])
    def test_outputs_must_not_share_memory_with_what_the_library_reads(self, run, itype):
        # Such calls used to crash the interpreter: the library writes p while it reads Ap.
        A, p, ctrl, info = self.arrays(itype, n=30)
        Ap, Ai = A.indptr.copy(), A.indices.copy()
        C, memory = np.zeros(30, itype), np.zeros(60)  # one memory as floats and as indices
        cases = [((30, Ap, Ai, Ap[:30], ctrl, info), "p", "Ap"),
                 ((30, Ap, Ai, Ai[:30], ctrl, info), "p", "Ai"),
                 ((30, Ap, Ai, p, info[15:], info), "info", "ctrl"),
                 ((30, Ap, Ai, memory.view(itype)[:30], ctrl, memory[:20]), "info", "p")]
        if run is camd_mod._camd_order:
            cases.append(((30, Ap, Ai, C, ctrl, info, C), "p", "constraints"))
        for args, out, other in cases:
            with pytest.raises(ValueError, match=f"^{out} must not share memory with {other}$"):
                run(*args)
        assert np.array_equal(Ap, A.indptr) and np.array_equal(Ai, A.indices)

    def test_invalid_patterns(self, itype):
        _, p, ctrl, info = self.arrays(itype, n=3)
        run = camd_mod._camd_order
        with pytest.raises(CAMDInvalidMatrixError, match="decrease"):
            run(3, np.array([0, 100, 2, 3], itype), np.zeros(3, itype), p, ctrl, info)
        with pytest.raises(CAMDInvalidMatrixError, match="^camd: input matrix A is invalid:\nCAMDInfo"):
            run(3, np.array([0, 1, 2, 3], itype), np.array([0, 7, 2], itype), p, ctrl, info)
        with pytest.raises(CAMDInvalidMatrixError):
            run(3, np.array([1, 1, 2, 3], itype), np.array([0, 1, 2], itype), p, ctrl, info)


def test_reinitialisation_is_refused():
    import importlib
    import sys

    saved = sys.modules.pop("ferrow.camd")
    try:
        with pytest.raises(RuntimeError, match="^Module 'camd' has already been imported. "
                                               "Re-initialisation is not supported.$"):
            importlib.import_module("ferrow.camd")
    finally:
        sys.modules["ferrow.camd"] = saved


def test_threads_without_the_lock_get_the_single_threaded_results():
    same_results_in_threads(camd, threaded_problems(constrained=True))
