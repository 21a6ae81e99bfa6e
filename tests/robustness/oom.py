"""Library allocations that fail under an address-space limit raise, they do not crash.

    python -m tests.robustness.oom CASE

The process builds a large problem, then limits its address space to what it uses now
plus a small margin, so that the library's own allocations fail. The operation must raise
the module's memory error (or MemoryError), and afterwards the interpreter must still work.
Prints "ok" and exits 0 on success.
"""

from __future__ import annotations

import importlib
import resource
import sys

import numpy as np
import scipy.sparse as sp


def vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize")


def grid(n):
    T = sp.diags_array([-np.ones(n - 1), 2 * np.ones(n), -np.ones(n - 1)], offsets=[-1, 0, 1])
    return sp.csc_array(sp.kron(T, sp.eye_array(n)) + sp.kron(sp.eye_array(n), T))


def case_camd():
    camd = importlib.import_module("ferrow.camd")
    A = grid(1000)  # a million unknowns, five million entries
    return lambda: camd.camd(A), (camd.CAMDMemoryError, MemoryError)


def case_colamd():
    colamd = importlib.import_module("ferrow.colamd")
    A = grid(1000)
    return lambda: colamd.colamd(A), (colamd.COLAMDMemoryError, MemoryError)


def case_spqr():
    spqr = importlib.import_module("ferrow.spqr")
    A = sp.csc_array(sp.random_array((3000, 3000), density=0.02, rng=0, format="csc") + sp.eye_array(3000))
    return lambda: spqr.spqr(A, mode="r"), (spqr.SPQROutOfMemoryError, MemoryError)


def case_spqr_factor():
    spqr = importlib.import_module("ferrow.spqr")
    A = sp.csc_array(sp.random_array((3000, 3000), density=0.02, rng=0, format="csc") + sp.eye_array(3000))
    return lambda: spqr.spqr_factor(A), (spqr.SPQROutOfMemoryError, MemoryError)


def main(argv):
    operation, expected = globals()["case_" + argv[0]]()
    small = grid(4)
    margin = 2 * 1024 * 1024
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + margin, resource.RLIM_INFINITY))
    try:
        operation()
    except expected as exc:
        print("raised", type(exc).__name__, exc, flush=True)
    else:
        print("no memory error under the limit", flush=True)
        return 1
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    # still usable: the same module answers a small problem
    fn_mod = importlib.import_module("ferrow." + argv[0].split("_")[0])
    if argv[0] == "camd":
        assert sorted(fn_mod.camd(small)) == list(range(16))
    print("ok", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
