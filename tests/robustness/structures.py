"""Random sparse structures, valid and corrupted, through every raw worker.

    python -m tests.robustness.structures [EXAMPLES]

Hypothesis draws small patterns: column pointers that may start elsewhere than 0,
decrease or run past the row indices; row indices that may be negative or too large;
both index widths. Every worker must either refuse the arrays with an exception or,
when they are valid, return a correct result (a permutation, a matching). Deterministic
(derandomized, no example database). Exit status 0 means no problem was found.
"""

from __future__ import annotations

import faulthandler

import importlib
import sys
import warnings

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from ferrow.utils import validate_csc_input
from tests.robustness.values import unaligned


def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


camd = optional("ferrow.camd")
amd = optional("ferrow.amd")
colamd = optional("ferrow.colamd")
ccolamd = optional("ferrow.ccolamd")
btf = optional("ferrow.btf")
cholmod = optional("ferrow.cholmod")


@st.composite
def patterns(draw):
    itype = draw(st.sampled_from([np.int32, np.int64]))
    m = draw(st.integers(0, 7))
    n = draw(st.integers(0, 7))
    if draw(st.booleans()):  # a valid pattern
        cols = [sorted(draw(st.sets(st.integers(0, max(m - 1, 0)), max_size=m))) if m else []
                for _ in range(n)]
        indptr = np.cumsum([0] + [len(c) for c in cols])
        indices = [i for c in cols for i in c]
        valid = True
    else:  # anything
        indptr = draw(st.lists(st.integers(-2, 12), min_size=max(n + 1 + draw(st.integers(-1, 1)), 0),
                               max_size=n + 2))
        indices = draw(st.lists(st.integers(-3, m + 3), max_size=12))
        valid = None
    return m, n, np.array(indptr, dtype=itype), np.array(indices, dtype=itype), valid


def is_perm(p, n):
    return np.array_equal(np.sort(np.asarray(p)[:n]), np.arange(n))


problems = []


def attempt(label, fn, check=None):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = fn()
    except Exception:
        return
    if check is not None and not check(result):
        problems.append(label)


def run(m, n, Ap, Ai, valid):
    it = Ap.dtype
    knobs = np.zeros(20)
    knobs[:3] = [10, 10, 1]
    square = m == n
    if cholmod is not None:
        attempt("sparse header", lambda: cholmod._cholmod_sparse_from_csc(
            (m, n), Ap, Ai, np.ones(len(Ai)), 0, bytearray(cholmod.sizeof_cholmod_sparse)))
    if camd is not None and square:
        p = np.zeros(n, it)
        attempt(f"camd {Ap} {Ai}", lambda: camd._camd_order(n, Ap, Ai, p, np.array([10.0, 1, 0, 0, 0]),
                                                           np.zeros(20)),
                lambda _: is_perm(p, n))
    if amd is not None and square:
        pa = np.zeros(n, it)
        attempt(f"amd {Ap} {Ai}", lambda: amd._amd_order(n, Ap, Ai, pa, np.array([10.0, 1, 0, 0, 0]),
                                                         np.zeros(20)),
                lambda _: is_perm(pa, n))
    if colamd is not None:
        perm = np.zeros(n + 1, it)
        attempt(f"colamd {Ap} {Ai}", lambda: colamd._colamd(m, n, Ap, Ai, perm, knobs.copy(), np.zeros(20, it)),
                lambda _: is_perm(perm, n))
        if square:
            perm2 = np.zeros(n + 1, it)
            attempt(f"symamd {Ap} {Ai}", lambda: colamd._symamd(m, n, Ap, Ai, perm2, knobs.copy(),
                                                                np.zeros(20, it)),
                    lambda _: is_perm(perm2, n))
    if ccolamd is not None:
        perm = np.zeros(n + 1, it)
        attempt(f"ccolamd {Ap} {Ai}", lambda: ccolamd._ccolamd(m, n, Ap, Ai, perm, knobs.copy(),
                                                              np.zeros(20, it), None),
                lambda _: is_perm(perm, n))
        if square:
            perm2 = np.zeros(n + 1, it)
            attempt(f"csymamd {Ap} {Ai}", lambda: ccolamd._csymamd(n, Ap, Ai, perm2, knobs.copy(),
                                                                  np.zeros(20, it), None),
                    lambda _: is_perm(perm2, n))
    if btf is not None:
        jmatch = np.zeros(m, it)
        attempt(f"maxtrans {Ap} {Ai}", lambda: btf._maxtrans(m, n, Ap, Ai, 0.0, jmatch),
                lambda _: all(-1 <= j < n for j in jmatch))
        if square:
            p, q, r = np.zeros(n, it), np.zeros(n, it), np.zeros(n + 1, it)
            attempt(f"btf {Ap} {Ai}", lambda: btf._btf(n, Ap, Ai, 0.0, p, q, r),
                    lambda _: is_perm(p, n))
            p2, r2 = np.zeros(n, it), np.zeros(n + 1, it)
            attempt(f"strongcomp {Ap} {Ai}", lambda: btf._strongcomp(n, Ap, Ai, None, p2, r2),
                    lambda _: is_perm(p2, n))
    if valid:  # a structurally valid pattern must also pass validation
        import scipy.sparse as sp
        A = sp.csc_array((1, 1))
        A._shape = (m, n)
        A.indptr, A.indices, A.data = Ap, Ai, np.ones(len(Ai))
        try:
            validate_csc_input(A)
        except Exception as exc:
            problems.append(f"valid pattern refused: {exc}")
        # the same arrays at an odd address: copied, never read in place
        B = sp.csc_array((1, 1))
        B._shape = (m, n)
        B.indptr, B.indices, B.data = unaligned(Ap), unaligned(Ai), unaligned(np.ones(len(Ai)))
        try:
            C = validate_csc_input(B)[0]
            if not (C.indptr.flags.aligned and C.indices.flags.aligned and C.data.flags.aligned):
                problems.append("unaligned arrays passed validation uncopied")
        except Exception as exc:
            problems.append(f"valid unaligned pattern refused: {exc}")


def main(argv):
    faulthandler.enable()
    examples = int(argv[0]) if argv else 600

    @settings(max_examples=examples, derandomize=True, database=None, deadline=None,
              suppress_health_check=list(HealthCheck))
    @given(patterns())
    def fuzz(pattern):
        run(*pattern)

    fuzz()
    print(f"{examples} patterns; {len(problems)} problems", flush=True)
    for p in problems[:20]:
        print("PROBLEM", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
