"""The switch that lets library calls run without the interpreter lock."""

import ctypes
import os
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import scipy.sparse as sp

import ferrow
from ferrow.amd import amd
from ferrow.btf import btf, maxtrans
from ferrow.camd import camd
from ferrow.ccolamd import ccolamd
from ferrow.colamd import _colamd, colamd
from ferrow.demos.problems import grid_least_squares, laplacian_2d, laplacian_3d
from ferrow.spqr import spqr, spqr_factor, spqr_qmult, spqr_solve


@pytest.fixture(scope="module", autouse=True)
def one_blas_thread():
    """One OpenBLAS thread per Python thread here, as the guide advises: with a pool of
    BLAS threads each, the threads of these tests oversubscribe the cores, and on a
    loaded machine every BLAS call waits for its pool to be scheduled (ten times the
    wall time of the test). The OpenBLAS libraries already loaded are set and restored."""
    restore = []
    try:
        with open("/proc/self/maps") as f:
            paths = {line.split()[-1] for line in f if "openblas" in line.rsplit("/", 1)[-1]}
    except OSError:
        paths = set()
    for path in sorted(paths):
        try:
            lib = ctypes.CDLL(path, mode=os.RTLD_NOLOAD)
            get, put = lib.openblas_get_num_threads, lib.openblas_set_num_threads
        except (OSError, AttributeError):
            continue
        restore.append((put, get()))
        put(1)
    yield
    for put, n in restore:
        put(n)


@pytest.fixture(autouse=True)
def switch_off():
    previous = ferrow.release_gil(False)
    yield
    ferrow.release_gil(previous)


def test_switch_is_off_by_default_and_returns_the_previous_setting():
    assert ferrow.get_release_gil() is False
    assert ferrow.release_gil(True) is False
    assert ferrow.get_release_gil() is True
    assert ferrow.release_gil(False) is True
    assert ferrow.get_release_gil() is False


def test_context_blocks_nest_and_restore_the_setting_on_errors():
    with ferrow.releasing_gil():
        with ferrow.releasing_gil():
            assert ferrow.get_release_gil()
        assert ferrow.get_release_gil()
    assert not ferrow.get_release_gil()
    with pytest.raises(KeyError):
        with ferrow.releasing_gil():
            raise KeyError
    assert not ferrow.get_release_gil()
    ferrow.release_gil(True)
    with ferrow.releasing_gil():
        pass
    assert ferrow.get_release_gil()  # leaving a block keeps release_gil's setting


def test_blocks_opened_in_many_threads_balance():
    barrier = threading.Barrier(8)

    def work():
        for _ in range(200):
            with ferrow.releasing_gil():
                barrier.wait() if _ == 0 else None
                assert ferrow.get_release_gil()

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not ferrow.get_release_gil()


# --- Whether other Python threads run during a library call ---------------------------


class Ticker:
    """A Python thread that adds one to `count` about once a millisecond.

    Inside the ``with`` block the interpreter's switch interval is raised to 100 s, so
    that a thread holding the interpreter lock is never asked to hand it over: the ticker
    then runs only while the lock is free, that is while the main thread sleeps, waits,
    or runs a library call that released the lock. Reading `count` before and after a
    call shows exactly whether the call let it run.
    """

    def __init__(self):
        self.count = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.count += 1
            time.sleep(0.001)

    def __enter__(self):
        self._interval = sys.getswitchinterval()
        sys.setswitchinterval(100.0)
        self._thread.start()
        # Sleeping hands the lock over: the ticker leaves any wait begun with the old
        # interval, and every later wait of it uses the new one.
        deadline = time.monotonic() + 10
        while self.count < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert self.count >= 3, "the ticking thread did not start"
        return self

    def __exit__(self, *exc):
        self._stop.set()
        sys.setswitchinterval(self._interval)
        self._thread.join()


@pytest.fixture(scope="module")
def long_calls():
    """Library calls of about 50-200 ms each (more under the sanitizers), made once.

    COLAMD is called through its raw entry point on arrays allocated here: the public
    call allocates its result with NumPy, which is free to let other threads run while it
    allocates (it does so while zero-filling a large array), before the library call starts.
    """
    L = laplacian_2d(600)
    N = L.shape[1]
    perm, stats = np.zeros(N + 1, L.indptr.dtype), np.zeros(20, L.indptr.dtype)
    knobs = np.zeros(20)
    knobs[:3] = (10.0, 10.0, 1.0)  # the default dense row and column thresholds, aggressive
    C = sp.csc_array(laplacian_3d(16), dtype=np.float64)
    calls = {"colamd": lambda: _colamd(N, N, L.indptr, L.indices, perm, knobs, stats),
             "spqr": lambda: spqr(C, mode="r")}
    for call in calls.values():
        call()
    assert np.array_equal(np.sort(perm[:N]), np.arange(N))
    return calls


def _ticks_during(call):
    with Ticker() as ticker:
        before = ticker.count
        t0 = time.perf_counter()
        call()
        elapsed = time.perf_counter() - t0
        ticks = ticker.count - before
    return ticks, elapsed


@pytest.mark.parametrize("name", ["colamd", "spqr"])
def test_with_the_switch_off_no_other_thread_runs_during_a_call(long_calls, name):
    ticks, elapsed = _ticks_during(long_calls[name])
    assert elapsed > 0.01  # long enough for a released lock to show ten ticks
    assert ticks == 0


@pytest.mark.parametrize("name", ["colamd", "spqr"])
def test_with_the_switch_on_other_threads_run_during_a_call(long_calls, name):
    ferrow.release_gil(True)
    ticks, elapsed = _ticks_during(long_calls[name])
    assert ticks >= 3, f"{ticks} ticks in {elapsed * 1e3:.0f} ms"


# --- Stress: a shared factor, orderings and QRs in parallel ---------------------------


def _close(x, y):
    if x.shape != y.shape:
        return False
    scale = abs(y).max() if y.size else 0.0
    return bool(abs(x - y).max() <= 1e-10 * scale) if y.size else True


def _one_of(x, choices):
    return any(_close(x, y) for y in choices)


def test_threads_share_a_factor_while_others_order_and_factorise():
    # Two matrices with one pattern: the shared factor is refactorised with either.
    A1, b = grid_least_squares(24)
    A2 = A1.copy()
    A2.data = A2.data * np.random.default_rng(1).uniform(0.5, 2.0, A2.nnz)
    M, N = A1.shape
    X = np.random.default_rng(2).standard_normal((M, 3))
    S = laplacian_2d(40)
    U = sp.csc_array(sp.random_array((400, 400), density=0.01, rng=3) + sp.eye_array(400))
    groups = (np.arange(N) >= N // 2).astype(np.int32)
    small, _ = grid_least_squares(8)  # Q stays small

    # Single-threaded references, with the switch off.
    solves, products = [], []
    for A in (A1, A2):
        F = spqr_factor(A)
        solves.append(F.solve(b))
        products.append(F.qmult(X, "QTX"))
    assert not _close(solves[0], solves[1])
    orderings = {
        "amd": (lambda: amd(S)), "camd": (lambda: camd(S)), "colamd": (lambda: colamd(A1)),
        "ccolamd": (lambda: ccolamd(A1, constraints=groups)), "maxtrans": (lambda: maxtrans(U)),
        "btf": (lambda: btf(U)),
    }
    ordered = {name: call() for name, call in orderings.items()}
    house, R, E = spqr(A2, mode="householder")
    qrs = {
        "r": (lambda: spqr(A1, mode="r")),
        "economic": (lambda: spqr(small, mode="economic")),
        "qmult": (lambda: spqr_qmult(house, X, "QTX")),
        "solve": (lambda: spqr_solve(A1, b)),
    }
    qr_results = {name: call() for name, call in qrs.items()}

    shared = spqr_factor(A1)
    perm = shared.perm
    ferrow.release_gil(True)
    rounds = 30
    start = threading.Barrier(6)

    def factor_user(seed):
        rng = np.random.default_rng(seed)
        start.wait()
        for _ in range(rounds):
            step = rng.integers(5)
            if step == 0:
                assert _one_of(shared.solve(b), solves)
            elif step == 1:
                assert _one_of(shared.qmult(X, "QTX"), products)
                assert np.array_equal(shared.perm, perm) and shared.shape == (M, N)
            elif step == 2:
                assert shared.factorize(A1 if rng.integers(2) else A2) is shared
                assert shared.is_numeric and shared.rank == N
            elif step == 3:
                twin = shared.copy()
                assert _one_of(twin.solve(b), solves)
                del twin  # freed while the other threads work
            else:
                fresh = spqr_factor(A2)
                assert _close(fresh.solve(b), solves[1])
                del fresh

    def orderer(names):
        start.wait()
        for k in range(rounds):
            name = names[k % len(names)]
            got, want = orderings[name](), ordered[name]
            got, want = (got, want) if isinstance(want, tuple) else ((got,), (want,))
            assert all(np.array_equal(g, w) for g, w in zip(got, want)), name

    def one_shot_qr():
        start.wait()
        for k in range(rounds):
            name = list(qrs)[k % len(qrs)]
            got, want = qrs[name](), qr_results[name]
            if name == "solve" or name == "qmult":
                assert _close(got, want), name
            else:
                assert all(_close(g, w) if sp.issparse(w) else np.array_equal(g, w)
                           for g, w in zip(got, want)), name

    jobs = [(factor_user, 10), (factor_user, 11), (factor_user, 12),
            (orderer, ["amd", "colamd", "maxtrans"]), (orderer, ["camd", "ccolamd", "btf"]),
            (one_shot_qr, None)]
    with ThreadPoolExecutor(len(jobs)) as pool:
        futures = [pool.submit(job, arg) if arg is not None else pool.submit(job)
                   for job, arg in jobs]
        for future in futures:
            future.result()

    # The shared factor is whole: refactorised with A1 it gives A1's answers.
    ferrow.release_gil(False)
    shared.factorize(A1)
    assert _close(shared.solve(b), solves[0])
    assert _close(shared.qmult(X, "QTX"), products[0])
