import ctypes
import dataclasses
import os
import re

import numpy as np
import pytest
import scipy.sparse as sp

import ferrow.amd as amd_mod
from conftest import is_permutation, random_csc, with_index_type
from twins import same_results_in_threads, threaded_problems
from ferrow.amd import (AMDError, AMDInfo, AMDInvalidMatrixError, AMDMemoryError, amd,
                        amd_default_control)
from ferrow.demos.problems import laplacian_2d


def loaded_libamd():
    """The AMD library this process loaded with ferrow.amd, opened again with ctypes."""
    # An installed wheel carries it under a hashed name (libamd-<hash>.so.3).
    with open("/proc/self/maps") as maps:
        paths = {line.split()[-1] for line in maps
                 if re.fullmatch(r"libamd(-[0-9a-f]+)?\.so[.0-9]*", os.path.basename(line.split()[-1]))}
    assert len(paths) == 1, paths
    return ctypes.CDLL(paths.pop())


def amd_called_directly(A, itype, ctrl=None):
    """amd_order / amd_l_order on A's own arrays through ctypes: (status, p, info)."""
    lib = loaded_libamd()
    ct = ctypes.c_int32 if itype == np.int32 else ctypes.c_int64
    fn = lib.amd_order if itype == np.int32 else lib.amd_l_order
    control = np.zeros(5)
    (lib.amd_defaults if itype == np.int32 else lib.amd_l_defaults)(control.ctypes.data_as(
        ctypes.POINTER(ctypes.c_double)))
    if ctrl is not None:
        control[:2] = ctrl
    n = A.shape[0]
    p = np.empty(n, itype)
    info = np.zeros(20)
    dp = ctypes.POINTER(ctypes.c_double)
    fn.restype = ctypes.c_int
    status = fn(ct(n), A.indptr.ctypes.data_as(ctypes.POINTER(ct)),
                A.indices.ctypes.data_as(ctypes.POINTER(ct)), p.ctypes.data_as(ctypes.POINTER(ct)),
                control.ctypes.data_as(dp), info.ctypes.data_as(dp))
    return status, p, info


def test_module_frame():
    assert amd_mod.__all__ == ["AMDError", "AMDInvalidMatrixError", "AMDMemoryError", "AMDInfo",
                               "amd", "amd_default_control"]
    assert issubclass(AMDInvalidMatrixError, AMDError) and issubclass(AMDMemoryError, AMDError)
    assert AMDError.__doc__ == "Base class for AMD-related errors."
    assert AMDInvalidMatrixError.__doc__ == "Raised when the input matrix is invalid for AMD."
    assert AMDMemoryError.__doc__ == "Raised when AMD runs out of memory."
    assert AMDError.__module__ == "ferrow.amd"
    assert "Examples" in amd.__doc__ and "ferrow.camd.camd" in amd.__doc__
    assert amd_default_control() == {"dense_thresh": 10.0, "aggressive": True}


@pytest.mark.parametrize("ctrl", [None, (1.0, 0.0), (-1.0, 1.0)])
@pytest.mark.parametrize("make", [lambda: laplacian_2d(15),
                                  lambda: random_csc(80, 80, density=0.05, seed=3),
                                  lambda: random_csc(50, 50, density=0.3, seed=4, diag=False)])
def test_equals_library_called_directly(make, ctrl, itype):
    A = with_index_type(make(), itype)
    kw = {} if ctrl is None else {"dense_thresh": ctrl[0], "aggressive": bool(ctrl[1])}
    p, info = amd(A, return_info=True, **kw)
    status, p_ref, info_ref = amd_called_directly(A, itype, ctrl)
    assert status == 0 and p.dtype == itype and is_permutation(p, A.shape[0])
    assert np.array_equal(p, p_ref)
    assert info == AMDInfo.from_array(info_ref)


def test_dense_threshold_sets_rows_aside():
    n = 60
    A = sp.lil_array(sp.eye_array(n))
    A[0, :] = 1
    A[:, 0] = 1
    p, info = amd(sp.csc_array(A), dense_thresh=1.0, return_info=True)
    assert info.Ndense == 1 and p[-1] == 0
    # a negative threshold sets aside only completely dense rows (N - 1 off-diagonal entries)
    assert amd(sp.csc_array(A), dense_thresh=-1.0, return_info=True)[1].Ndense == 1
    A[0, 1] = A[1, 0] = 0
    A = sp.csc_array(A)
    A.eliminate_zeros()
    assert amd(A, dense_thresh=-1.0, return_info=True)[1].Ndense == 0
    assert amd(A, dense_thresh=1.0, return_info=True)[1].Ndense == 1


def test_trivial_shapes_and_errors(itype):
    # return_info=True always gives the pair, also where the library is not called
    p, info = amd(with_index_type(sp.csc_array((0, 0)), itype), return_info=True)
    assert p.dtype == itype and p.size == 0
    assert info == AMDInfo(status=0, N=0, nz=0, symmetry=1.0, nzdiag=0, nz_A_plus_AT=0,
                           Ndense=0, memory=0.0, Ncmpa=0, Lnz=0, Ndiv=0, Nmultsubs_LDL=0,
                           Nmultsubs_LU=0, dmax=0)
    Z = with_index_type(sp.csc_array((4, 4)), itype)
    p, info = amd(Z, return_info=True)
    assert p.dtype == itype and is_permutation(p, 4)
    assert info.status == 0 and info.N == 4 and info.nz == 0 and info.Lnz == 0
    with pytest.raises(ValueError, match="square"):
        amd(random_csc(6, 5))
    with pytest.raises(TypeError):
        amd(random_csc(6, 6), dense_thresh="10")
    with pytest.raises(TypeError):
        amd(random_csc(6, 6), constraints=np.zeros(6))  # no constraints in AMD
    with pytest.warns(sp.SparseEfficiencyWarning):
        assert is_permutation(amd(sp.csr_array(random_csc(6, 6))), 6)


def test_info_record():
    info = AMDInfo.from_array(np.arange(20, dtype=float) + 0.7)
    assert info.status == 0 and info.N == 1 and info.symmetry == 3.7
    with pytest.raises(dataclasses.FrozenInstanceError):
        info.status = 3
    assert repr(info).startswith("AMDInfo(status=0, N=1, nz=2, symmetry=3.7")


class TestRawWorker:
    def test_success_and_variants(self, itype):
        A = random_csc(7, 7, itype=itype, seed=2)
        p, ctrl, info = np.empty(7, itype), np.array([10.0, 1, 0, 0, 0]), np.zeros(20)
        assert amd_mod._amd_order(7, A.indptr, A.indices, p, ctrl, info) is None
        assert is_permutation(p, 7) and info[0] == 0
        with pytest.raises(TypeError, match="^No matching signature found$"):
            amd_mod._amd_order(2, np.zeros(3), np.zeros(0, np.int32), np.zeros(2, np.int32),
                               np.zeros(5), np.zeros(20))

    def test_buffers_and_patterns_are_checked(self, itype):
        A = random_csc(5, 5, itype=itype, seed=2)
        p, ctrl, info = np.empty(5, itype), np.zeros(5), np.zeros(20)
        other = np.int64 if itype == np.int32 else np.int32
        run = amd_mod._amd_order
        for args in [(5, A.indptr[:-1], A.indices, p, ctrl, info),
                     (5, A.indptr, A.indices[:-1], p, ctrl, info),
                     (5, A.indptr, A.indices, p[:4], ctrl, info),
                     (5, A.indptr, A.indices, p, ctrl[:4], info),
                     (5, A.indptr, A.indices, p, ctrl, info[:19]),
                     (5, A.indptr, A.indices.astype(other), p, ctrl, info),
                     (-1, A.indptr, A.indices, p, ctrl, info)]:
            with pytest.raises((ValueError, TypeError)):
                run(*args)
        p3 = np.empty(3, itype)
        with pytest.raises(AMDInvalidMatrixError, match="decrease"):
            run(3, np.array([0, 100, 2, 3], itype), np.zeros(3, itype), p3, ctrl, info)
        with pytest.raises(AMDInvalidMatrixError, match="^amd: input matrix A is invalid:\nAMDInfo"):
            run(3, np.array([0, 1, 2, 3], itype), np.array([0, 7, 2], itype), p3, ctrl, info)

    def test_order_beyond_the_index_type_is_refused(self, itype):
        # N + 1 of the largest int64, or an N an int32 cannot hold, is refused before any
        # size arithmetic or narrowing cast.
        A = random_csc(3, 3, itype=itype, seed=2)
        p, ctrl, info = np.empty(3, itype), np.zeros(5), np.zeros(20)
        with pytest.raises(ValueError, match="too large"):
            amd_mod._amd_order(2**63 - 1, A.indptr, A.indices, p, ctrl, info)
        if itype == np.int32:
            with pytest.raises(ValueError, match="^N = 2147483648 is too large for int32 indices$"):
                amd_mod._amd_order(2**31, A.indptr, A.indices, p, ctrl, info)


def test_threads_without_the_lock_get_the_single_threaded_results():
    same_results_in_threads(amd, threaded_problems(constrained=False))
