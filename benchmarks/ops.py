"""The ferrow side of every benchmarked operation.

``make(name, data)`` sets an operation up on a loaded case (outside any timing) and
returns ``(run, check)``: ``run()`` performs the timed call and returns its result;
``check(result)`` gives the same signature the direct-call driver prints for its own
result, so that the two sides are seen to compute the same thing.

An operation whose ferrow module is not built raises ``Unavailable``.
"""

from __future__ import annotations

import importlib

import numpy as np

# operation -> (module, the name it needs there, the call measured)
OPERATIONS = {
    "camd": ("ferrow.camd", "camd", "camd(A)"),
    "colamd": ("ferrow.colamd", "colamd", "colamd(A)"),
    "symamd": ("ferrow.colamd", "symamd", "symamd(A)"),
    "ccolamd": ("ferrow.ccolamd", "ccolamd", "ccolamd(A, constraints)"),
    "csymamd": ("ferrow.ccolamd", "csymamd", "csymamd(A, constraints)"),
    "maxtrans": ("ferrow.btf", "maxtrans", "maxtrans(A)"),
    "strongcomp": ("ferrow.btf", "strongcomp", "strongcomp(A)"),
    "btf": ("ferrow.btf", "btf", "btf(A)"),
    "spqr_full": ("ferrow.spqr", "spqr", 'spqr(A, mode="full")'),
    "spqr_economic": ("ferrow.spqr", "spqr", 'spqr(A, mode="economic")'),
    "spqr_r": ("ferrow.spqr", "spqr", 'spqr(A, mode="r")'),
    "spqr_householder": ("ferrow.spqr", "spqr", 'spqr(A, mode="householder")'),
    "spqr_qmult": ("ferrow.spqr", "spqr_qmult", "spqr_qmult(house, b)"),
    "factor_symbolic": ("ferrow.spqr", "SPQRFactor", "SPQRFactor(A)"),
    "factor_numeric": ("ferrow.spqr", "SPQRFactor", "F.factorize(A)"),
    "factor": ("ferrow.spqr", "spqr_factor", "spqr_factor(A)"),
    "solve_1": ("ferrow.spqr", "SPQRFactor", "F.solve(b)"),
    "solve_100": ("ferrow.spqr", "SPQRFactor", "F.solve(B), 100 columns"),
    "solve_sparse": ("ferrow.spqr", "SPQRFactor", "F.solve(B), B sparse"),
    "qmult": ("ferrow.spqr", "SPQRFactor", "F.qmult(b)"),
    "copy": ("ferrow.spqr", "SPQRFactor", "F.copy()"),
    "spqr_solve": ("ferrow.spqr", "spqr_solve", "spqr_solve(A, b)"),
}


class Unavailable(Exception):
    """The module (or the function) an operation needs is not there."""


def _get(module, *names):
    try:
        mod = importlib.import_module(module)
    except ImportError as exc:
        raise Unavailable(f"{module} is not built") from exc
    try:
        return [getattr(mod, n) for n in names]
    except AttributeError as exc:
        raise Unavailable(f"{module} has no {exc.name} yet") from exc


def unavailable(name):
    """Why an operation cannot be measured (its module or function is not built yet),
    or None."""
    module, attr, _ = OPERATIONS[name]
    try:
        _get(module, attr)
    except Unavailable as exc:
        return str(exc)
    return None


def vhash(v):
    """Sum of (k+1) * v[k], wrapping modulo 2**64, as the driver computes it."""
    v = np.asarray(v).astype(np.int64).astype(np.uint64)
    k = np.arange(1, v.size + 1, dtype=np.uint64)
    return int((k * v).sum(dtype=np.uint64))


def _dense_sig(X):
    X = np.asarray(X)
    shape = X.shape if X.ndim == 2 else (X.shape[0], 1)
    return f"shape={shape[0]}x{shape[1]} norm={float(np.sqrt(np.sum(X * X))):.17g}"


def _sparse_sig(X):
    return f"shape={X.shape[0]}x{X.shape[1]} norm={float(np.sqrt(np.sum(X.data * X.data))):.17g}"


def _blocks(r, N):
    """The boundaries of a block vector whose last used entry is N."""
    r = np.asarray(r)
    nb = int(np.flatnonzero(r[1:] == N)[0]) + 1 if N else 0
    return r[: nb + 1]


def make(name, data):
    A = data["A"]
    M, N = A.shape
    if name not in OPERATIONS:
        raise KeyError(name)
    module = OPERATIONS[name][0]

    if name in ("camd", "colamd", "symamd", "maxtrans"):
        (f,) = _get(module, name)
        return (lambda: f(A)), (lambda p: f"h={vhash(p)}")
    if name in ("ccolamd", "csymamd"):
        (f,) = _get(module, name)
        c = data["cmember"]
        return (lambda: f(A, constraints=c)), (lambda p: f"h={vhash(p)}")
    if name == "strongcomp":
        (f,) = _get(module, name)
        return (lambda: f(A)), (lambda pr: f"h={vhash(pr[0])} h2={vhash(pr[1])}")
    if name == "btf":
        (f,) = _get(module, name)
        return (lambda: f(A)), (
            lambda pqr: f"h={vhash(pqr[0])} h2={vhash(pqr[1])} h3={vhash(_blocks(pqr[2], N))}")

    if name.startswith("spqr_") and name not in ("spqr_qmult", "spqr_solve"):
        (spqr,) = _get(module, "spqr")
        mode = name[5:]

        def sig(res):
            if mode == "r":
                R, E = res
                Q = None
            else:
                Q, R, E = res
                if mode == "householder":
                    Q = None
            s = f"R={R.shape[0]}x{R.shape[1]} nnzR={R.nnz}"
            if Q is not None:
                s += f" Q={Q.shape[0]}x{Q.shape[1]}"
            if E is not None:
                s += f" hE={vhash(E)}"
            return s

        return (lambda: spqr(A, mode=mode)), sig

    if name == "spqr_qmult":
        spqr, spqr_qmult = _get(module, "spqr", "spqr_qmult")
        house = spqr(A, mode="householder")[0]
        b = data["b1"]
        return (lambda: spqr_qmult(house, b, "QX")), _dense_sig
    if name == "spqr_solve":
        (spqr_solve,) = _get(module, "spqr_solve")
        b = data["b1"]
        return (lambda: spqr_solve(A, b)), _dense_sig
    if name == "factor_symbolic":
        (SPQRFactor,) = _get(module, "SPQRFactor")
        return (lambda: SPQRFactor(A)), (lambda F: f"hQ={vhash(F.perm)}")
    if name == "factor":
        (spqr_factor,) = _get(module, "spqr_factor")
        return (lambda: spqr_factor(A)), (lambda F: f"rank={F.rank}")

    (SPQRFactor,) = _get(module, "SPQRFactor")
    F = SPQRFactor(A)
    F.factorize(A)
    if name == "factor_numeric":
        return (lambda: F.factorize(A)), (lambda G: f"rank={G.rank}")
    if name == "solve_1":
        b = data["b1"]
        return (lambda: F.solve(b)), _dense_sig
    if name == "solve_100":
        B = data["B100"]
        return (lambda: F.solve(B)), _dense_sig
    if name == "solve_sparse":
        B = data["Bs"]
        return (lambda: F.solve(B)), _sparse_sig
    if name == "qmult":
        b = data["b1"]
        return (lambda: F.qmult(b)), _dense_sig
    if name == "copy":
        b = data["b1"]
        return (lambda: F.copy()), (lambda G: f"rank={G.rank} " + _dense_sig(G.solve(b)))
    raise KeyError(name)


def signatures_agree(ours, theirs):
    """True when two signatures name the same result: integers equal (nnz(R) within 2 %,
    as the BLAS may drop different exact zeros), floats equal to 1e-9 relatively."""
    a = dict(kv.split("=", 1) for kv in ours.split())
    b = dict(kv.split("=", 1) for kv in theirs.split())
    if a.keys() != b.keys():
        return False
    for key in a:
        x, y = a[key], b[key]
        if key == "nnzR":
            if abs(int(x) - int(y)) > 0.02 * max(int(x), int(y)):
                return False
        elif key == "norm":
            fx, fy = float(x), float(y)
            if abs(fx - fy) > 1e-9 * max(abs(fx), abs(fy), 1e-300):
                return False
        elif x != y:
            return False
    return True
