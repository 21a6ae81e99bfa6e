"""Every Python-callable entry point of ferrow with a valid call to mutate.

A target builds fresh arguments on every call: ``make()`` returns
``(function, args, kwargs, outputs)`` where ``outputs`` names the argument positions
or keywords the function may write (every other array must come back unchanged).
A module that is not importable contributes no targets.
"""

from __future__ import annotations

import importlib

import numpy as np
import scipy.sparse as sp

TARGETS: dict[str, object] = {}


def target(name, module):
    def register(make):
        try:
            mod = importlib.import_module(module)
        except ImportError:
            return make
        try:
            make(mod)
        except AttributeError:  # the module does not have this entry point yet
            return make
        TARGETS[name] = lambda: make(mod)
        return make
    return register


def matrix(n=6, m=None, itype=np.int32, dtype=np.float64, seed=0):
    m = n if m is None else m
    A = sp.random_array((n, m), density=0.4, rng=seed, format="csc") + sp.eye_array(n, m, format="csc")
    A = sp.csc_array(A).astype(dtype)
    A.indptr = A.indptr.astype(itype)
    A.indices = A.indices.astype(itype)
    return A


# -- package services --------------------------------------------------------------

@target("utils.validate_csc_input", "ferrow.utils")
def _(mod):
    return mod.validate_csc_input, (matrix(),), {"require_square": True}, ()


@target("_structure.check_compressed", "ferrow._structure")
def _(mod):
    A = matrix()
    return mod.check_compressed, (A.indptr, A.indices, 6, 6), {}, ()


@target("_structure.check_coordinates", "ferrow._structure")
def _(mod):
    C = sp.coo_array(matrix())
    return mod.check_coordinates, (C.row.astype(np.int32), C.col.astype(np.int32), 6, 6), {}, ()


@target("cholmod._cholmod_sparse_from_csc", "ferrow.cholmod")
def _(mod):
    A = matrix()
    return (mod._cholmod_sparse_from_csc,
            (A.shape, A.indptr, A.indices, A.data, 0, bytearray(mod.sizeof_cholmod_sparse)), {}, (5,))


@target("cholmod._sparse_roundtrip", "ferrow.cholmod")
def _(mod):
    return mod._sparse_roundtrip, (matrix(itype=np.int64),), {}, ()


@target("cholmod._dense_roundtrip", "ferrow.cholmod")
def _(mod):
    return mod._dense_roundtrip, (np.asfortranarray(np.ones((3, 2))), False), {}, ()


@target("cholmod._copy_from_intptr", "ferrow.cholmod")
def _(mod):
    return mod._copy_from_intptr, (np.arange(4),), {}, ()


# -- CAMD --------------------------------------------------------------------------

@target("camd.camd", "ferrow.camd")
def _(mod):
    return mod.camd, (matrix(), np.array([0, 1, 0, 1, 0, 1])), {"dense_thresh": 5.0,
                                                                 "aggressive": True,
                                                                 "return_info": True}, ()


@target("camd._camd_order", "ferrow.camd")
def _(mod):
    A = matrix()
    return (mod._camd_order, (6, A.indptr, A.indices, np.zeros(6, np.int32), np.array([10.0, 1, 0, 0, 0]),
                              np.zeros(20), np.zeros(6, np.int32)), {}, (3, 5))


@target("camd.CAMDInfo.from_array", "ferrow.camd")
def _(mod):
    return mod.CAMDInfo.from_array, (np.zeros(20),), {}, ()


# -- COLAMD and CCOLAMD ------------------------------------------------------------

def _knobs(mod_defaults):
    return np.zeros(20)


@target("colamd.colamd", "ferrow.colamd")
def _(mod):
    return mod.colamd, (matrix(8, 5),), {"dense_row_thresh": 0.5, "dense_col_thresh": 0.5,
                                         "aggressive": False, "return_info": True}, ()


@target("colamd.symamd", "ferrow.colamd")
def _(mod):
    return mod.symamd, (matrix(),), {"dense_row_thresh": 0.5, "return_info": True}, ()


@target("colamd._colamd", "ferrow.colamd")
def _(mod):
    A = matrix(8, 5)
    knobs = np.zeros(20)
    knobs[:3] = [10, 10, 1]
    return (mod._colamd, (8, 5, A.indptr, A.indices, np.zeros(6, np.int32), knobs, np.zeros(20, np.int32)),
            {}, (4, 6))


@target("colamd._symamd", "ferrow.colamd")
def _(mod):
    A = matrix()
    knobs = np.zeros(20)
    knobs[:3] = [10, 10, 1]
    return (mod._symamd, (6, 6, A.indptr, A.indices, np.zeros(7, np.int32), knobs, np.zeros(20, np.int32)),
            {}, (4, 6))


@target("colamd.COLAMDStats.from_array", "ferrow.colamd")
def _(mod):
    return mod.COLAMDStats.from_array, (np.zeros(20, np.int32),), {}, ()


@target("ccolamd.ccolamd", "ferrow.ccolamd")
def _(mod):
    return mod.ccolamd, (matrix(8, 5), np.array([0, 1, 0, 1, 2])), {"opt_lu": "lu", "return_info": True}, ()


@target("ccolamd.csymamd", "ferrow.ccolamd")
def _(mod):
    return mod.csymamd, (matrix(), np.array([0, 1, 0, 1, 0, 1])), {"aggressive": 0, "return_info": True}, ()


@target("ccolamd._ccolamd", "ferrow.ccolamd")
def _(mod):
    A = matrix(8, 5)
    knobs = np.zeros(20)
    knobs[:3] = [10, 10, 1]
    return (mod._ccolamd, (8, 5, A.indptr, A.indices, np.zeros(6, np.int32), knobs, np.zeros(20, np.int32),
                           np.array([0, 1, 0, 1, 2], np.int32)), {}, (4, 6))


@target("ccolamd._csymamd", "ferrow.ccolamd")
def _(mod):
    A = matrix()
    knobs = np.zeros(20)
    knobs[:3] = [10, 10, 1]
    return (mod._csymamd, (6, A.indptr, A.indices, np.zeros(7, np.int32), knobs, np.zeros(20, np.int32),
                           np.array([0, 1, 0, 1, 0, 1], np.int32)), {}, (3, 5))


# -- BTF ---------------------------------------------------------------------------

@target("btf.maxtrans", "ferrow.btf")
def _(mod):
    return mod.maxtrans, (matrix(7, 5),), {}, ()


@target("btf.strongcomp", "ferrow.btf")
def _(mod):
    return mod.strongcomp, (matrix(), np.arange(6, dtype=np.int32)), {}, (1,)


@target("btf.btf", "ferrow.btf")
def _(mod):
    return mod.btf, (matrix(),), {}, ()


@target("btf.btf_q_permutation", "ferrow.btf")
def _(mod):
    return mod.btf_q_permutation, (np.array([0, -3, 1]),), {}, (0,)


@target("btf._maxtrans", "ferrow.btf")
def _(mod):
    A = matrix(7, 5)
    return mod._maxtrans, (7, 5, A.indptr, A.indices, 0.0, np.zeros(7, np.int32)), {}, (5,)


@target("btf._strongcomp", "ferrow.btf")
def _(mod):
    A = matrix()
    return (mod._strongcomp, (6, A.indptr, A.indices, np.arange(6, dtype=np.int32), np.zeros(6, np.int32),
                              np.zeros(7, np.int32)), {}, (3, 4, 5))


@target("btf._btf", "ferrow.btf")
def _(mod):
    A = matrix()
    return (mod._btf, (6, A.indptr, A.indices, 0.0, np.zeros(6, np.int32), np.zeros(6, np.int32),
                       np.zeros(7, np.int32)), {}, (4, 5, 6))


# -- SPQR --------------------------------------------------------------------------

@target("spqr.spqr", "ferrow.spqr")
def _(mod):
    return mod.spqr, (matrix(7, 5),), {"mode": "householder", "order": "colamd", "tol": 0.0}, ()


@target("spqr.spqr_qmult", "ferrow.spqr")
def _(mod):
    house, _, _ = mod.spqr(matrix(7, 5), mode="householder")
    return mod.spqr_qmult, (house, np.ones((7, 2)), "QTX"), {}, ()


@target("spqr._qmult", "ferrow.spqr")
def _(mod):
    house, _, _ = mod.spqr(matrix(7, 5), mode="householder")
    tau = np.asfortranarray(np.asarray(house.tau).reshape(1, -1))
    return mod._qmult, (1, house.H, tau, house.perm, np.asfortranarray(np.ones((7, 2)))), {}, ()


@target("spqr.SPQRFactor", "ferrow.spqr")
def _(mod):
    return mod.SPQRFactor, (matrix(7, 5),), {"use_singletons": False, "order": "amd", "tol": None}, ()


@target("spqr.spqr_factor", "ferrow.spqr")
def _(mod):
    return mod.spqr_factor, (matrix(7, 5, dtype=np.complex128),), {"order": "default"}, ()


@target("spqr.SPQRFactor.factorize", "ferrow.spqr")
def _(mod):
    A = matrix(7, 5)
    return mod.SPQRFactor(A).factorize, (A,), {"tol": 0.5}, ()


@target("spqr.SPQRFactor.solve", "ferrow.spqr")
def _(mod):
    A = matrix(7, 5)
    return mod.spqr_factor(A).solve, (np.ones(7),), {"transpose": False, "rhs_batch_size": 2}, ()


@target("spqr.SPQRFactor._solve_dense", "ferrow.spqr")
def _(mod):
    A = matrix(7, 5)
    return mod.spqr_factor(A)._solve_dense, (np.asfortranarray(np.ones((7, 2))), False), {}, ()


@target("spqr.SPQRFactor.qmult", "ferrow.spqr")
def _(mod):
    A = matrix(7, 5, itype=np.int64)
    return mod.spqr_factor(A).qmult, (np.ones((7, 3)), "QX"), {}, ()


@target("spqr.SPQRFactor._qmult_dense", "ferrow.spqr")
def _(mod):
    A = matrix(7, 5)
    return mod.spqr_factor(A)._qmult_dense, (0, np.asfortranarray(np.ones((7, 3)))), {}, ()


@target("spqr.SPQRFactor._check_input_matrix", "ferrow.spqr")
def _(mod):
    A = matrix(7, 5)
    return mod.SPQRFactor(A)._check_input_matrix, (A, np.dtype(np.int32)), {}, ()


@target("spqr.SPQRFactor.copy", "ferrow.spqr")
def _(mod):
    return mod.spqr_factor(matrix(7, 5)).copy, (), {}, ()


@target("spqr.spqr_solve", "ferrow.spqr")
def _(mod):
    return mod.spqr_solve, (matrix(5, 7), np.ones(5)), {"transpose": False, "min2norm": True,
                                                        "rhs_batch_size": 100}, ()


@target("spqr.SPQRInfo", "ferrow.spqr")
def _(mod):
    return mod.SPQRInfo, (1, 2, 3, 4, 5, 6, "amd", 8, 9, 0.5, 0.25, 1.0, 2.0, 3.0, 6.0, 10), {}, ()


# -- AMD ---------------------------------------------------------------------------

@target("amd.amd", "ferrow.amd")
def _(mod):
    return mod.amd, (matrix(),), {"dense_thresh": 5.0, "aggressive": True, "return_info": True}, ()


@target("amd._amd_order", "ferrow.amd")
def _(mod):
    A = matrix()
    return (mod._amd_order, (6, A.indptr, A.indices, np.zeros(6, np.int32), np.array([10.0, 1, 0, 0, 0]),
                             np.zeros(20)), {}, (3, 5))


# -- SPQR: null spaces, pseudoinverse, Q as an operator ------------------------------

@target("spqr.spqr_null", "ferrow.spqr")
def _(mod):
    return mod.spqr_null, (matrix(5, 7),), {"tol": None, "explicit": True, "return_info": True}, ()


@target("spqr.spqr_pinv", "ferrow.spqr")
def _(mod):
    return mod.spqr_pinv, (matrix(7, 5), np.ones(7)), {"tol": None, "return_info": True}, ()


@target("spqr._householder_qr", "ferrow.spqr")
def _(mod):
    return mod._householder_qr, (matrix(7, 5), None), {}, ()


@target("spqr._ctranspose", "ferrow.spqr")
def _(mod):
    return mod._ctranspose, (matrix(7, 5, dtype=np.complex128),), {}, ()


@target("spqr.SPQRFactor.Q.matmat", "ferrow.spqr")
def _(mod):
    return mod.spqr_factor(matrix(7, 5)).Q.matmat, (np.ones((7, 2)),), {}, ()
