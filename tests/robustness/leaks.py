"""Call every operation thousands of times and check that memory stays flat.

    python -m tests.robustness.leaks [ROUNDS]

Each operation, on its successful and its failing paths (library errors included), runs
in rounds; after a warm-up the growth of Python allocations (tracemalloc) and of the
process's resident size (library memory included) must stay below small bounds.
"""

from __future__ import annotations

import faulthandler

import gc
import os
import importlib
import sys
import tracemalloc
import warnings

import numpy as np
import scipy.sparse as sp


UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def lap(n, itype=np.int32, dtype=np.float64):
    T = sp.diags_array([-np.ones(n - 1), 2 * np.ones(n), -np.ones(n - 1)], offsets=[-1, 0, 1])
    A = sp.csc_array(sp.kron(T, sp.eye_array(n)) + sp.kron(sp.eye_array(n), T)).astype(dtype)
    A.indptr, A.indices = A.indptr.astype(itype), A.indices.astype(itype)
    return A


def operations():
    """(name, callable) pairs; a callable may raise (failing paths are exercised too)."""
    ops = []
    A = lap(6)
    A64 = lap(6, np.int64)
    N = A.shape[0]
    rect = sp.csc_array(sp.random_array((40, 25), density=0.2, rng=1, format="csc") + sp.eye_array(40, 25))
    camd = optional("ferrow.camd")
    if camd:
        ops += [("camd", lambda: camd.camd(A, return_info=True)),
                ("camd int64 constraints", lambda: camd.camd(A64, constraints=np.arange(N) % 3)),
                ("camd bad constraints", lambda: camd.camd(A, constraints=np.full(N, N))),
                ("camd raw invalid", lambda: camd._camd_order(3, np.array([0, 1, 2, 3], np.int32),
                                                              np.array([0, 9, 1], np.int32),
                                                              np.zeros(3, np.int32), np.zeros(5), np.zeros(20)))]
    colamd = optional("ferrow.colamd")
    if colamd and hasattr(colamd, "colamd"):
        ops += [("colamd", lambda: colamd.colamd(rect, return_info=True)),
                ("symamd", lambda: colamd.symamd(A64, return_info=True)),
                ("colamd bad", lambda: colamd._colamd(3, 3, np.array([0, 1, 2, 3], np.int32),
                                                      np.array([0, 9, 1], np.int32), np.zeros(4, np.int32),
                                                      np.zeros(20), np.zeros(20, np.int32)))]
    ccolamd = optional("ferrow.ccolamd")
    if ccolamd and hasattr(ccolamd, "ccolamd"):
        ops += [("ccolamd", lambda: ccolamd.ccolamd(rect, constraints=np.arange(25) % 2, return_info=True)),
                ("csymamd", lambda: ccolamd.csymamd(A, constraints=np.arange(N) % 2)),
                ("csymamd bad constraints", lambda: ccolamd.csymamd(A, constraints=np.full(N, N)))]
    btf = optional("ferrow.btf")
    if btf and hasattr(btf, "btf"):
        ops += [("maxtrans", lambda: btf.maxtrans(rect)), ("btf", lambda: btf.btf(A64)),
                ("strongcomp", lambda: btf.strongcomp(A, np.arange(N))),
                ("btf bad", lambda: btf._btf(3, np.array([0, 1, 2, 3], np.int32), np.array([0, 9, 1], np.int32),
                                             0.0, np.zeros(3, np.int32), np.zeros(3, np.int32),
                                             np.zeros(4, np.int32)))]
    spqr = optional("ferrow.spqr")
    if spqr and hasattr(spqr, "spqr"):
        Z = lap(5, np.int64, np.complex128)
        ops += [("spqr full", lambda: spqr.spqr(rect)), ("spqr householder", lambda: spqr.spqr(Z, mode="householder")),
                ("spqr bad order", lambda: spqr.spqr(rect, order="given")),
                ("spqr_qmult", lambda: spqr.spqr_qmult(spqr.spqr(rect, mode="householder")[0], np.ones(40)))]
    if spqr and hasattr(spqr, "spqr_factor"):
        F = spqr.spqr_factor(rect)
        S = sp.csc_array(np.ones((40, 3)))
        singular = sp.csc_array(np.array([[1.0, 1.0], [1.0, 1.0]]))
        ops += [("spqr_factor", lambda: spqr.spqr_factor(rect)),
                ("factor solve", lambda: F.solve(np.ones(40))),
                ("factor sparse solve", lambda: F.solve(S, rhs_batch_size=2)),
                ("factor qmult", lambda: F.qmult(np.ones((40, 2)), method="QTX")),
                ("factor copy", lambda: F.copy().solve(np.ones(40))),
                ("factor info", lambda: F.info),
                ("spqr_solve min2norm", lambda: spqr.spqr_solve(sp.csc_array(rect.T), np.ones(25))),
                ("refactorise singletons", lambda: spqr.SPQRFactor(rect, use_singletons=True).factorize(rect)),
                ("rank deficient solve", lambda: spqr.spqr_factor(singular).solve(np.ones(2))),
                ("bad rhs", lambda: F.solve(np.ones(41)))]
    if spqr and hasattr(spqr, "spqr_pinv"):
        Z = lap(4, np.int64, np.complex128)
        deficient = sp.csc_array(sp.hstack([rect, rect[:, :3]]))
        ops += [("spqr_pinv", lambda: spqr.spqr_pinv(deficient, np.ones(40))),
                ("spqr_pinv sparse complex", lambda: spqr.spqr_pinv(Z, sp.csc_array(np.ones((16, 2))))),
                ("spqr_null", lambda: spqr.spqr_null(deficient) @ np.ones(3)),
                ("spqr_null explicit", lambda: spqr.spqr_null(Z, explicit=True, return_info=True)),
                ("factor Q", lambda: F.Q.H @ np.ones((40, 2))),
                ("_householder_qr", lambda: spqr._householder_qr(Z)),
                ("spqr_pinv bad rhs", lambda: spqr.spqr_pinv(rect, np.ones(41)))]
    amd = optional("ferrow.amd")
    if amd:
        ops += [("amd", lambda: amd.amd(A64, return_info=True)),
                ("amd raw invalid", lambda: amd._amd_order(3, np.array([0, 1, 2, 3], np.int32),
                                                           np.array([0, 9, 1], np.int32),
                                                           np.zeros(3, np.int32), np.zeros(5), np.zeros(20)))]
    return ops


def measure(fn, rounds):
    for _ in range(rounds):
        try:
            fn()
        except Exception:
            pass


def main(argv):
    faulthandler.enable()
    rounds = int(argv[0]) if argv else 4000
    warnings.simplefilter("ignore")
    problems = []
    for name, fn in operations():
        measure(fn, rounds // 4)  # warm-up: caches, allocator pools
        gc.collect()
        tracemalloc.start()
        rss0 = rss_bytes()
        py0 = tracemalloc.get_traced_memory()[0]
        measure(fn, rounds)
        gc.collect()
        py_growth = tracemalloc.get_traced_memory()[0] - py0
        tracemalloc.stop()
        rss_growth = rss_bytes() - rss0
        print(f"{name:28s} python {py_growth:>9d} B   rss {rss_growth:>9d} B", flush=True)
        # A leak of a single small block per call would be >= rounds * 16 bytes.
        # The sanitizer's quarantine holds freed blocks back, so there only Python's count is read.
        if py_growth > 64 * 1024 or (rss_growth > 1024 * 1024 and not UNDER_ASAN):
            problems.append(f"{name}: python +{py_growth} B, rss +{rss_growth} B over {rounds} calls")
    for p in problems:
        print("PROBLEM", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
