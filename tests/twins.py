"""Checks shared by the twin column-ordering modules ferrow.colamd and ferrow.ccolamd.

Both modules are one template in C++; the behaviour they share is checked once here, in
classes that tests/test_colamd.py and tests/test_ccolamd.py bind to their module.
"""

from __future__ import annotations

import dataclasses
import doctest
import importlib
import pickle
import re
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from types import ModuleType

import numpy as np
import pytest
import scipy.sparse as sp
from scipy.sparse.linalg import splu

import ferrow
from conftest import is_permutation, random_csc, with_index_type
from ferrow.demos.problems import laplacian_2d, random_least_squares

STATUS_TEXTS = {
    -1: "A is a null pointer", -2: "p is a null pointer", -3: "nrow is negative",
    -4: "ncol is negative", -5: "nnz is negative", -6: "p[0] is nonzero", -7: "A is too small",
    -8: "column has a negative number of entries", -9: "row index out of bounds",
}


@dataclass
class Twin:
    """What differs between the two modules, as a test sees it."""

    name: str            # module name, also the column ordering's name
    lib: str             # library name in messages
    symmetric_name: str  # symamd / csymamd
    constrained: bool

    @property
    def mod(self) -> ModuleType:
        return importlib.import_module(f"ferrow.{self.name}")

    @property
    def column(self):
        return getattr(self.mod, self.name)

    @property
    def symmetric(self):
        return getattr(self.mod, self.symmetric_name)

    @property
    def stats_class(self):
        return getattr(self.mod, f"{self.lib}Stats")

    def exc(self, role=""):
        return getattr(self.mod, f"{self.lib}{role}Error")

    @property
    def defaults(self):
        return getattr(self.mod, f"{self.name}_get_defaults")

    def knobs(self, **slots):
        """The library's default knobs with some slots overridden."""
        knobs = np.zeros(20)
        d = self.defaults()
        knobs[:3] = d["dense_row_thresh"], d["dense_col_thresh"], d["aggressive"]
        if self.constrained:
            knobs[3] = d["opt_lu"] == "lu"
        for slot, value in slots.items():
            knobs[int(slot[1:])] = value
        return knobs

    def raw_column(self, M, N, Ap, Ai, perm, knobs, stats, **kw):
        return getattr(self.mod, f"_{self.name}")(M, N, Ap, Ai, perm, knobs, stats, **kw)

    def raw_symmetric(self, N, Ap, Ai, perm, knobs, stats, **kw):
        f = getattr(self.mod, f"_{self.symmetric_name}")
        if self.constrained:
            return f(N, Ap, Ai, perm, knobs, stats, **kw)
        return f(N, N, Ap, Ai, perm, knobs, stats, **kw)

    def raw(self, symmetric, A, knobs=None, **kw):
        """Order A through the raw wrapper; return (perm, stats)."""
        M, N = A.shape
        itype = A.indptr.dtype
        perm, stats = np.zeros(N + 1, itype), np.zeros(20, itype)
        knobs = self.knobs() if knobs is None else knobs
        if symmetric:
            self.raw_symmetric(N, A.indptr, A.indices, perm, knobs, stats, **kw)
        else:
            self.raw_column(M, N, A.indptr, A.indices, perm, knobs, stats, **kw)
        return perm, stats


COLAMD = Twin("colamd", "COLAMD", "symamd", constrained=False)
CCOLAMD = Twin("ccolamd", "CCOLAMD", "csymamd", constrained=True)


def same_results_in_threads(order, problems, rounds=3):
    """Runs `order(A, **kw)` for every (A, kw) of `problems` from as many threads at once,
    with the interpreter lock released around library work, and checks that every result
    (an ordering and its statistics) equals the one computed in this thread beforehand."""
    def run(problem):
        A, kw = problem
        p, info = order(A, return_info=True, **kw)
        return p.dtype, p.tolist(), info

    expected = [run(problem) for problem in problems]
    with ferrow.releasing_gil(), ThreadPoolExecutor(len(problems)) as pool:
        for _ in range(rounds):
            assert list(pool.map(run, problems)) == expected


def threaded_problems(constrained):
    """Different matrices of both index types, with constraints where the ordering takes them."""
    problems = []
    for k, itype in [(30, np.int32), (34, np.int64), (38, np.int32), (26, np.int64)]:
        A = laplacian_2d(k, itype)
        kw = {"constraints": np.arange(k * k) % 3} if constrained else {}
        problems.append((A, kw))
    return problems


def lu_nnz(A):
    """Entries of L and U of a partial-pivoting LU of A in the given column order."""
    F = splu(sp.csc_matrix(A), permc_spec="NATURAL")
    return F.L.nnz + F.U.nnz


def cholesky_nnz(S):
    """Entries of the Cholesky-like factor L of symmetric S in the given order."""
    F = splu(sp.csc_matrix(S), permc_spec="NATURAL", diag_pivot_thresh=0.0,
             options={"SymmetricMode": True})
    return F.L.nnz


def spd(B):
    """A symmetric positive definite matrix with the pattern of B'B."""
    n = B.shape[1]
    return sp.csc_array(B.T @ B + n * sp.eye_array(n))


class FrameChecks:
    """The module frame: namespace, exceptions, record, defaults, docstrings."""

    twin: Twin

    def test_namespace(self):
        t = self.twin
        m = t.mod
        assert m.__all__ == [f"{t.lib}Error", f"{t.lib}ValueError", f"{t.lib}MemoryError",
                             f"{t.lib}InternalError", f"{t.lib}Stats", t.name, t.symmetric_name,
                             f"{t.name}_get_defaults"]
        assert m.np is np and m.dataclass is dataclasses.dataclass
        from ferrow.utils import validate_csc_input
        assert m.validate_csc_input is validate_csc_input
        for private in [f"_{t.name}_base", f"_{t.name}", f"_{t.symmetric_name}"]:
            assert callable(getattr(m, private)) and private not in m.__all__
        assert not any("STATUS" in name or "handle_errors" in name for name in vars(m))
        assert m.__doc__.lstrip().startswith(
            f"{'Constrained ' if t.constrained else ''}Column Approximate Minimum Degree "
            f"({t.lib}) Ordering (:mod:`ferrow.{t.name}`)")
        assert f"{t.lib}Stats - Dataclass containing statistics about the ordering." in m.__doc__

    def test_exceptions(self):
        t = self.twin
        cases = [("", (Exception,), f"Base class for {t.lib} errors."),
                 ("Value", (t.exc(), ValueError), f"Raised when {t.lib} encounters a value error."),
                 ("Memory", (t.exc(), MemoryError), f"Raised when {t.lib} runs out of memory."),
                 ("Internal", (t.exc(), RuntimeError),
                  f"Raised when {t.lib} encounters an internal error.")]
        for role, bases, doc in cases:
            cls = t.exc(role)
            assert cls.__bases__ == bases and cls.__doc__ == doc
            assert cls.__module__ == f"ferrow.{t.name}" and cls.__name__ == f"{t.lib}{role}Error"

    def test_stats_record(self):
        Stats = self.twin.stats_class
        rec = Stats.from_array(np.array([0, 0, 0, 0, -1, -1, 0] + [0] * 13))
        assert repr(rec) == (f"{Stats.__name__}(N_rows_ignored=0, N_cols_ignored=0, Ncmpa=0, "
                             "status=0, info1=-1, info2=-1, info3=0)")
        assert [(f.name, f.type) for f in dataclasses.fields(Stats)] == [
            (n, int) for n in ["N_rows_ignored", "N_cols_ignored", "Ncmpa", "status", "info1",
                               "info2", "info3"]]
        with pytest.raises(dataclasses.FrozenInstanceError):
            rec.status = 1
        same = Stats(N_rows_ignored=0, N_cols_ignored=0, Ncmpa=0, status=0, info1=-1, info2=-1,
                     info3=0)
        assert rec == same and hash(rec) == hash(same)
        assert pickle.loads(pickle.dumps(rec)) == rec
        truncated = Stats.from_array([1.9, 2.2, 3.7, -0.5, -1.9, 4.0, 5.5])
        assert dataclasses.astuple(truncated) == (1, 2, 3, 0, -1, 4, 5)
        with pytest.raises(IndexError):
            Stats.from_array([0] * 6)

    def test_defaults(self):
        t = self.twin
        d = t.defaults()
        expected = {"dense_row_thresh": 10.0, "dense_col_thresh": 10.0, "aggressive": 1.0}
        if t.constrained:
            expected["opt_lu"] = "cholesky"
        assert d == expected and list(d) == list(expected)
        assert all(type(d[k]) is np.float64 for k in ["dense_row_thresh", "dense_col_thresh",
                                                      "aggressive"])
        d["aggressive"] = 0.0
        assert t.defaults()["aggressive"] == 1.0
        assert t.defaults.__doc__.startswith(f"Get the default knobs for {t.lib}.\n\nReturns\n")

    def test_docstrings_are_assembled_from_the_template(self):
        t = self.twin
        m = t.mod
        prefix = "_" if not t.constrained else ""
        template = getattr(m, f"_{t.lib}_DOC_TEMPLATE")
        other = "colamd" if t.constrained else "ccolamd"
        for fn, partner in [(t.name, t.symmetric_name), (t.symmetric_name, t.name)]:
            reftag = getattr(m, f"{prefix}{fn}_reftag")
            assert reftag == f"[#{fn}_c]"
            pieces = {"intro": getattr(m, f"{prefix}{fn}_intro"),
                      "A_param": getattr(m, f"{prefix}{fn}_A_param"),
                      "see_also": f"{partner}, ~ferrow.{other}.{other}, "
                                  f"~ferrow.{other}.{'symamd' if t.constrained else 'csymamd'}",
                      "reftag": reftag, "example": getattr(m, f"_{fn}_example")}
            if t.constrained:
                pieces["opt_lu_param"] = m.ccolamd_opt_lu_param if fn == t.name else ""
            doc = getattr(m, fn).__doc__
            assert doc == template.format(**pieces)
            assert doc.count(reftag) == 2
            assert f"documentation {reftag}_:" in doc and f"\n.. {reftag}\n" in doc
            assert pieces["intro"].startswith(
                "Compute the " + ("column" if fn == t.name else "symmetric")
                + " approximate minimum degree ordering of\na sparse "
                + ("matrix." if fn == t.name else "symmetric matrix."))
            assert "return_info :" not in doc

    @pytest.mark.parametrize("symmetric", [False, True], ids=["column", "symmetric"])
    def test_docstring_examples_run(self, symmetric):
        f = self.twin.symmetric if symmetric else self.twin.column
        test = doctest.DocTestParser().get_doctest(f.__doc__, {}, f.__name__, None, 0)
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(test)
        assert runner.summarize(verbose=False) == (0, len(test.examples))

    def test_functions_introspect_and_pickle_like_functions(self):
        import inspect

        t = self.twin
        params = list(inspect.signature(t.column).parameters)
        assert params[0] == "A" and params[-1] == "return_info"
        assert ("constraints" in params) == t.constrained and ("opt_lu" in params) == t.constrained
        assert pickle.loads(pickle.dumps(t.symmetric)) is t.symmetric
        assert t.column.__name__ == t.name and t.column.__module__ == f"ferrow.{t.name}"

    def test_reinitialisation_is_refused(self):
        name = f"ferrow.{self.twin.name}"
        saved = sys.modules.pop(name)
        try:
            with pytest.raises(RuntimeError, match=f"^Module '{self.twin.name}' has already been "
                                                   "imported. Re-initialisation is not supported.$"):
                importlib.import_module(name)
        finally:
            sys.modules[name] = saved


TRIVIAL = [  # (shape, symmetric): no rows, no columns or no entries
    ((0, 0), False), ((0, 5), False), ((5, 0), False), ((0, 0), True),
    ((4, 3), False), ((1, 6), False), ((4, 4), True), ((1, 1), True),
]

# Shapes the early answers of older versions covered: one row or one column, with entries.
SMALL = [((1, 3), False), ((1, 1), True), ((6, 1), False), ((1, 40), False)]


class OrderingChecks:
    """The two orderings and their raw library wrappers."""

    twin: Twin

    def order(self, symmetric, A, **kw):
        return (self.twin.symmetric if symmetric else self.twin.column)(A, **kw)

    @pytest.mark.parametrize("symmetric", [False, True], ids=["column", "symmetric"])
    def test_threads_without_the_lock_get_the_single_threaded_results(self, symmetric):
        f = self.twin.symmetric if symmetric else self.twin.column
        same_results_in_threads(f, threaded_problems(self.twin.constrained))

    @pytest.mark.parametrize("shape,symmetric", TRIVIAL)
    def test_trivial_shapes_are_answered_as_the_library_answers(self, shape, symmetric, itype):
        A = with_index_type(sp.csc_array(shape), itype)
        N = shape[1]
        # options are not even looked at: the library is never reached
        q, stats = self.order(symmetric, A, dense_row_thresh="x", return_info=True)
        assert q.dtype == itype and q.tolist() == list(range(N))
        # the library itself, through the raw wrapper, on the same matrix
        perm, raw = self.twin.raw(symmetric, A)
        assert perm[:N].tolist() == q.tolist() and raw[3] == 0
        assert type(stats) is self.twin.stats_class
        assert stats == self.twin.stats_class.from_array(raw)
        assert self.order(symmetric, A, return_info=np.True_)[1] == stats
        assert np.array_equal(self.order(symmetric, A, return_info=None), q)

    @pytest.mark.parametrize("shape,symmetric", SMALL)
    def test_one_row_or_column_reaches_the_library(self, shape, symmetric, itype):
        A = with_index_type(sp.csc_array(np.ones(shape)), itype)
        if shape == (1, 40):  # an empty column too, which the library orders last
            A = with_index_type(sp.csc_array(np.r_[np.ones(39), 0.0].reshape(1, 40)), itype)
        q, stats = self.order(symmetric, A, return_info=True)
        perm, raw = self.twin.raw(symmetric, A)
        assert q.dtype == itype and is_permutation(q, shape[1])
        assert q.tolist() == perm[:shape[1]].tolist()
        assert stats == self.twin.stats_class.from_array(raw) and stats.status == 0

    @pytest.mark.parametrize("symmetric", [False, True], ids=["column", "symmetric"])
    def test_result_is_a_view_of_a_permutation_buffer(self, symmetric, itype):
        A = random_csc(30, 30 if symmetric else 20, density=0.15, seed=4, itype=itype)
        if symmetric:
            A = with_index_type(spd(A), itype)
        N = A.shape[1]
        Ap, Ai, data = A.indptr.copy(), A.indices.copy(), A.data.copy()
        q, stats = self.order(symmetric, A, return_info=True)
        assert q.dtype == itype and is_permutation(q, N)
        assert isinstance(q.base, np.ndarray) and q.base.shape == (N + 1,) and q.base.dtype == itype
        assert np.shares_memory(q, q.base)
        assert type(stats) is self.twin.stats_class and stats.status == 0
        assert np.array_equal(A.indptr, Ap) and np.array_equal(A.indices, Ai)
        assert np.array_equal(A.data, data)
        # the raw wrapper on the same arrays gives the same ordering, int32 or int64 routine
        perm, raw_stats = self.twin.raw(symmetric, A)
        assert np.array_equal(perm[:N], q) and raw_stats[3] == 0

    def test_column_ordering_reduces_lu_fill(self, itype):
        for A in [laplacian_2d(30, itype=itype), random_least_squares(600, 600, 0.005, seed=1)[0]]:
            A = with_index_type(A, itype)
            q = self.twin.column(A)
            assert is_permutation(q, A.shape[1])
            assert lu_nnz(A[:, q]) < 0.85 * lu_nnz(A)

    def test_column_ordering_of_a_rectangular_matrix_reduces_qr_fill(self):
        # the Cholesky factor of (AQ)'(AQ) is R of the QR factorisation of AQ
        A, _ = random_least_squares(900, 300, 0.01, seed=3)
        q = self.twin.column(A)
        assert is_permutation(q, 300)
        assert cholesky_nnz(spd(A[:, q])) < 0.8 * cholesky_nnz(spd(A))

    def test_symmetric_ordering_reduces_cholesky_fill(self, itype):
        S = with_index_type(laplacian_2d(30), itype)
        p = self.twin.symmetric(S)
        assert is_permutation(p, S.shape[0])
        assert cholesky_nnz(S[p][:, p]) < 0.5 * cholesky_nnz(S)

    def test_symmetric_ordering_reads_the_lower_triangle_only(self):
        S = spd(random_csc(40, 40, density=0.1, seed=9))
        junk_upper = sp.csc_array(sp.tril(S) + sp.triu(random_csc(40, 40, density=0.3, seed=1), 1))
        assert np.array_equal(self.twin.symmetric(junk_upper), self.twin.symmetric(S))

    def test_symmetric_ordering_needs_a_square_matrix(self):
        with pytest.raises(ValueError):
            self.twin.symmetric(random_csc(5, 4))

    def test_thresholds_are_rounded_to_single_precision(self):
        # 10000 columns, sqrt 100: a row is dense beyond floor(100 * threshold) entries.
        # float32(0.19) = 0.18999999761..., so the 19-entry row is dense; in double it is not.
        n = 10000
        rows = np.r_[np.zeros(19, int), np.ones(n, int)]
        A = sp.csc_array((np.ones(rows.size), (rows, np.r_[np.arange(19), np.arange(n)])),
                         shape=(2, n))
        assert self.twin.column(A, dense_row_thresh=0.19, return_info=True)[1].N_rows_ignored == 2
        assert self.twin.column(A, dense_row_thresh=0.2, return_info=True)[1].N_rows_ignored == 1
        # The symmetric ordering takes its threshold for rows and columns from slot 0. In a
        # band of 400 columns plus 33 extra entries in column 0, column 0 has 34 entries
        # below the diagonal; it is dense beyond 1.6 * sqrt(400) = 32, not beyond 34.
        n = 400
        S = sp.csc_array(sp.eye_array(n) + sp.eye_array(n, k=-1) + sp.csc_array(
            (np.ones(33), (np.arange(2, 35), np.zeros(33, int))), shape=(n, n)))
        p, stats = self.twin.symmetric(S, dense_row_thresh=1.6, return_info=True)
        assert stats.N_rows_ignored == 1 and p[-1] == 0
        p, stats = self.twin.symmetric(S, dense_row_thresh=1.7, return_info=True)
        assert stats.N_rows_ignored == 0 and p[-1] != 0

    def test_knobs_reach_the_library(self):
        t = self.twin
        A = random_csc(40, 40, density=0.08, seed=0)
        on, off = t.raw(False, A)[0][:40], t.raw(False, A, t.knobs(k2=0.0))[0][:40]
        assert not np.array_equal(on, off)  # this matrix tells the two apart
        assert np.array_equal(t.column(A, aggressive=0), off)
        assert np.array_equal(t.column(A, aggressive=[1]), on)
        assert np.array_equal(t.column(A, aggressive=None, dense_row_thresh=None), on)
        assert np.array_equal(t.column(A, dense_row_thresh=10, dense_col_thresh=10.0), on)
        sym = t.raw(True, spd(A), t.knobs(k0=0.5, k2=0.0))[0][:40]
        assert np.array_equal(t.symmetric(spd(A), dense_row_thresh=0.5, aggressive=False), sym)

    @pytest.mark.parametrize("bad", ["10", "abc", b"1", [1.0]])
    def test_threshold_must_be_a_number(self, bad):
        A = random_csc(8, 8, seed=1)
        with pytest.raises(TypeError):
            self.twin.column(A, dense_row_thresh=bad)
        with pytest.raises(TypeError):
            self.twin.symmetric(spd(A), dense_col_thresh=bad)

    def test_truth_errors_propagate(self):
        class NoTruth:
            def __bool__(self):
                raise ZeroDivisionError

        A = random_csc(8, 8, seed=1)
        with pytest.raises(ZeroDivisionError):
            self.twin.column(A, aggressive=NoTruth())
        with pytest.raises(ZeroDivisionError):
            self.twin.column(sp.csc_array((0, 0)), return_info=NoTruth())

    def test_argument_binding(self):
        t = self.twin
        A = random_csc(8, 8, seed=1)
        with pytest.raises(TypeError):
            t.column(A, bogus=1)
        with pytest.raises(TypeError):
            t.column()
        with pytest.raises(TypeError):  # everything but A is keyword-only in the shared body
            getattr(t.mod, f"_{t.name}_base")(A, True)
        q = getattr(t.mod, f"_{t.name}_base")(spd(A), is_symmetric=1)
        assert np.array_equal(q, t.symmetric(spd(A)))


class RawWrapperChecks:
    """Every buffer of the raw wrappers is checked before the library sees it."""

    twin: Twin

    def arrays(self, itype, n=5):
        A = random_csc(n, n, itype=itype, seed=2)
        return A, np.zeros(n + 1, itype), self.twin.knobs(), np.zeros(20, itype)

    def calls(self, symmetric):
        t = self.twin
        return t.raw_symmetric if symmetric else (lambda N, *a, **k: t.raw_column(N, N, *a, **k))

    @pytest.mark.parametrize("symmetric", [False, True], ids=["column", "symmetric"])
    @pytest.mark.parametrize("Ap_type", [np.float64, np.int16, np.uint32, list])
    def test_no_variant(self, symmetric, Ap_type):
        Ap = [0, 0, 0] if Ap_type is list else np.zeros(3, Ap_type)
        with pytest.raises(TypeError, match="^No matching signature found$"):
            self.calls(symmetric)(2, Ap, np.zeros(0, np.int32), np.zeros(3, np.int32),
                                  np.zeros(20), np.zeros(20, np.int32))

    @pytest.mark.parametrize("symmetric", [False, True], ids=["column", "symmetric"])
    def test_buffers_are_checked(self, symmetric, itype):
        A, perm, knobs, stats = self.arrays(itype)
        other = np.int64 if itype == np.int32 else np.int32
        Ap, Ai = A.indptr, A.indices
        run = self.calls(symmetric)
        ro = perm.copy()
        ro.flags.writeable = False
        cases = [
            (5, Ap[:-1], Ai, perm, knobs, stats),           # Ap too short
            (5, np.r_[Ap, Ap[-1]], Ai, perm, knobs, stats),  # Ap too long
            (5, Ap, Ai[:-1], perm, knobs, stats),           # Ai shorter than Ap[N]
            (5, Ap, Ai, perm[:5], knobs, stats),            # perm too short
            (5, Ap, Ai, perm, knobs[:19], stats),           # knobs too short
            (5, Ap, Ai, perm, knobs, stats[:19]),           # stats too short
            (5, Ap, Ai.astype(other), perm, knobs, stats),  # mixed index types
            (5, Ap, Ai, perm.astype(other), knobs, stats),
            (5, Ap, Ai, perm, knobs, stats.astype(other)),
            (5, Ap, Ai, perm, knobs.astype(np.float32), stats),
            (5, Ap, Ai, np.zeros(12, itype)[::2], knobs, stats),  # not contiguous
            (5, Ap, Ai, perm.reshape(2, 3), knobs, stats),        # 2-D
            (5, Ap, Ai, ro, knobs, stats),                        # read-only output
            (5, Ap, Ai, perm, knobs, None),
            (5, Ap, Ai, perm, [0.0] * 20, stats),
            (7, Ap, Ai, np.zeros(8, itype), knobs, stats),        # N larger than Ap says
        ]
        for k, args in enumerate(cases):
            with pytest.raises((ValueError, TypeError)) as err:
                run(*args)
            assert not isinstance(err.value, self.twin.exc()), k  # refused before the library
        with pytest.raises(TypeError):
            run(5.0, Ap, Ai, perm, knobs, stats)
        # read-only inputs are fine: the library never writes Ap, Ai or the knobs
        for arr in (Ap, Ai, knobs):
            arr.flags.writeable = False
        run(5, Ap, Ai, perm, knobs, stats)
        assert is_permutation(perm[:5], 5)

    @pytest.mark.parametrize("symmetric", [False, True], ids=["column", "symmetric"])
    def test_outputs_must_not_share_memory_with_what_the_library_reads(self, symmetric, itype):
        A, perm, knobs, stats = self.arrays(itype)
        Ap, Ai = A.indptr.copy(), A.indices.copy()
        run = self.calls(symmetric)
        shared = np.zeros(26, itype)  # perm and stats over one memory
        cases = [((5, Ap, Ai, Ap, knobs, stats), "perm", "Ap"),
                 ((5, Ap, Ai, perm, knobs, knobs.view(itype)[:20]), "stats", "knobs"),
                 ((5, Ap, Ai, shared[:6], knobs, shared[5:25]), "stats", "perm")]
        if self.twin.constrained:
            C = np.zeros(5, itype)
            cases += [((5, Ap, Ai, perm, knobs, stats, C), None, None),
                      ((5, Ap, Ai, shared[:6], knobs, stats, shared[1:6]), "perm", "constraints"),
                      ((5, Ap, Ai, perm, knobs, shared[:20], shared[3:8]), "stats", "constraints")]
        for args, out, other in cases:
            if out is None:  # apart: ordered as usual
                run(*args[:6], constraints=args[6])
                assert is_permutation(args[3][:5], 5)
                continue
            with pytest.raises(ValueError, match=f"^{out} must not share memory with {other}$"):
                run(*args[:6], **({"constraints": args[6]} if len(args) > 6 else {}))
        assert np.array_equal(Ap, A.indptr) and np.array_equal(Ai, A.indices)

    @pytest.mark.parametrize("symmetric", [False, True], ids=["column", "symmetric"])
    def test_keywords_and_unchanged_inputs(self, symmetric, itype):
        A, perm, knobs, stats = self.arrays(itype)
        Ap, Ai, kn = A.indptr.copy(), A.indices.copy(), knobs.copy()
        kw = dict(Ap=A.indptr, Ai=A.indices, perm=perm, knobs=knobs, stats=stats)
        if symmetric:
            f = getattr(self.twin.mod, f"_{self.twin.symmetric_name}")
            r = f(N=5, **kw) if self.twin.constrained else f(M=5, N=5, **kw)
        else:
            r = getattr(self.twin.mod, f"_{self.twin.name}")(M=5, N=5, **kw)
        assert r is None and is_permutation(perm[:5], 5) and stats[3] == 0
        assert np.array_equal(Ap, A.indptr) and np.array_equal(Ai, A.indices)
        assert np.array_equal(kn, knobs)

    @pytest.mark.parametrize("symmetric", [False, True], ids=["column", "symmetric"])
    @pytest.mark.parametrize("Ap,Ai,status", [
        ([0, 1, 2, 3], [0, 7, 2], -9),      # row index out of bounds
        ([0, 2, 1, 3], [0, 1, 2], -8),      # decreasing column pointers
        ([1, 1, 2, 3], [0, 1, 2], -6),      # p[0] is not zero
        ([0, 1, 2, -1], [0, 1, 2], -5),     # negative entry count
    ])
    def test_library_statuses_become_value_errors(self, symmetric, Ap, Ai, status, itype):
        _, perm, knobs, stats = self.arrays(itype, n=3)
        lib = self.twin.lib
        with pytest.raises(self.twin.exc("Value"),
                           match=f"^{lib} returned an error:{re.escape(STATUS_TEXTS[status])}\\.$") as err:
            self.calls(symmetric)(3, np.array(Ap, itype), np.array(Ai, itype), perm, knobs, stats)
        assert isinstance(err.value, ValueError) and stats[3] == status

    def test_negative_sizes(self, itype):
        _, perm, knobs, stats = self.arrays(itype, n=3)
        Ap, Ai = np.array([0, 1, 2, 3], itype), np.array([0, 1, 2], itype)
        with pytest.raises(ValueError, match=r"^Recommended Alen is zero: one of \{A.nnz, M, N\} "
                                             r"is erroneous\.$"):
            self.twin.raw_column(-1, 3, Ap, Ai, perm, knobs, stats)
        with pytest.raises(self.twin.exc("Value"), match="^.* returned an error:ncol is negative.$"):
            self.twin.raw_symmetric(-3, Ap, Ai, perm, knobs, stats)

    def test_sizes_beyond_the_index_type(self):
        _, perm, knobs, stats = self.arrays(np.int32, n=3)
        Ap, Ai = np.array([0, 1, 2, 3], np.int32), np.array([0, 1, 2], np.int32)
        with pytest.raises(ValueError, match="does not fit the int32 index type"):
            self.twin.raw_column(2**31, 3, Ap, Ai, perm, knobs, stats)
        with pytest.raises(OverflowError):
            self.twin.raw_column(2**70, 3, Ap, Ai, perm, knobs, stats)

    def test_pointers_beyond_the_row_indices_are_refused(self, itype):
        # the symmetric routine reads column 0 (100 entries) before it sees column 1 decrease
        _, perm, knobs, stats = self.arrays(itype, n=3)
        for symmetric in (False, True):
            with pytest.raises(ValueError, match="^Ai is too short: Ap\\[1\\] is 100"):
                self.calls(symmetric)(3, np.array([0, 100, 2, 3], itype),
                                      np.array([0, 1, 2], itype), perm, knobs, stats)

    def test_jumbled_columns_fail_the_success_assertion(self, itype):
        # duplicate row index in column 0: the library orders it but reports status 1
        _, perm, knobs, stats = self.arrays(itype, n=3)
        Ap, Ai = np.array([0, 2, 2, 3], itype), np.array([1, 1, 2], itype)
        with pytest.raises(AssertionError, match=f"^{self.twin.lib} returned OK but status is not "
                                                 f"{self.twin.lib}_OK\\.$"):
            self.twin.raw_column(3, 3, Ap, Ai, perm, knobs, stats)
        assert stats[3] == 1 and is_permutation(perm[:3], 3)

    def test_success_check_is_an_assertion(self):
        # under -O the jumbled-input notice passes silently
        code = textwrap.dedent(f"""
            import numpy as np
            from ferrow.{self.twin.name} import _{self.twin.name} as run
            perm, stats = np.zeros(4, np.int32), np.zeros(20, np.int32)
            knobs = np.zeros(20); knobs[:3] = 10, 10, 1
            print(run(3, 3, np.array([0, 2, 2, 3], np.int32), np.array([1, 1, 2], np.int32),
                      perm, knobs, stats), sorted(perm[:3].tolist()), stats[3])
        """)
        out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True,
                             check=True).stdout
        assert out.split() == ["None", "[0,", "1,", "2]", "1"]
