"""An SPQRFactor shared by threads with the interpreter lock released around library
calls: every operation takes the factor's own lock, so results match single-threaded
ones and nothing crashes or corrupts the factor."""

import threading

import numpy as np
import pytest
import scipy.sparse as sp

import ferrow
from ferrow.spqr import SPQRFactor, spqr, spqr_factor, spqr_solve


@pytest.fixture(autouse=True)
def switch_on():
    previous = ferrow.release_gil(True)
    yield
    ferrow.release_gil(previous)


def random_matrix(m, n, density, seed, dtype=np.float64):
    rng = np.random.default_rng(seed)
    A = sp.random_array((m, n), density=density, format="csc", rng=rng, dtype=np.float64)
    A = A + sp.eye_array(m, n, format="csc")  # full column rank
    if dtype == np.complex128:
        A = A + 1j * sp.random_array((m, n), density=density, format="csc", rng=rng)
    A = sp.csc_array(A, dtype=dtype)
    A.sort_indices()
    return A


def run_threads(workers, rounds):
    errors = []
    barrier = threading.Barrier(len(workers))

    def body(work):
        try:
            barrier.wait()
            for k in range(rounds):
                work(k)
        except BaseException as exc:  # reported in the main thread
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


@pytest.mark.parametrize("dtype", [np.float64, np.complex128])
def test_shared_factor_under_concurrent_operations(dtype):
    A = random_matrix(300, 200, 0.02, 1, dtype)
    A2 = sp.csc_array((A.data * 2, A.indices, A.indptr), shape=A.shape)  # same pattern
    rng = np.random.default_rng(2)
    b = rng.standard_normal(300).astype(dtype)
    B = sp.random_array((300, 7), density=0.1, format="csc", rng=rng).astype(dtype)
    X = np.asfortranarray(rng.standard_normal((300, 3)).astype(dtype))

    F = spqr_factor(A)
    x_ref = np.linalg.lstsq(A.toarray(), b, rcond=None)[0]
    XB_ref = F.solve(B).toarray()
    QX_ref = F.qmult(X)
    perm_ref, rank_ref = F.perm, F.rank

    # A refactorisation with 2 A leaves Q unchanged and halves every solution: a result
    # computed in between must be one of the two, never a mix.
    def one_of(x, ref):
        assert np.allclose(x, ref) or np.allclose(x, ref / 2), "a solve saw a torn factor"

    def solver(k):
        one_of(F.solve(b), x_ref)
        one_of(F.solve(B).toarray(), XB_ref)

    def multiplier(k):
        assert np.allclose(F.qmult(X), QX_ref)
        assert np.allclose(F.qmult(F.qmult(X, "QTX"), "QX"), X)

    def refactoriser(k):
        F.factorize(A2 if k % 2 == 0 else A)

    def copier(k):
        C = F.copy()
        one_of(C.solve(b), x_ref)
        C.factorize(A)  # the copy is independent of F
        assert np.allclose(C.solve(b), x_ref)
        del C

    def reader(k):
        assert F.is_numeric and F.rank == rank_ref and F.shape == A.shape
        assert np.array_equal(F.perm, perm_ref)
        assert F.info.rank_A_estimate == rank_ref
        assert "numeric" in repr(F)

    def one_shot(k):
        Q, R, E = spqr(A, mode="economic")
        assert np.allclose((Q @ R).toarray(), A[:, E].toarray())
        assert np.allclose(spqr_solve(A, b), x_ref)

    run_threads([solver, solver, multiplier, refactoriser, copier, reader, one_shot], rounds=8)

    F.factorize(A)
    assert np.allclose(F.solve(b), x_ref)
    assert np.allclose(F.solve(B).toarray(), XB_ref)


def test_threads_dropping_their_references_to_shared_factors():
    A = random_matrix(200, 150, 0.03, 3)
    b = np.ones(200)
    x_ref = spqr_solve(A, b)
    factors = [spqr_factor(A) for _ in range(4)]

    def worker(k):
        F = factors[k % len(factors)]
        G = F.copy()
        assert np.allclose(G.solve(b), x_ref)
        assert np.allclose(F.solve(b), x_ref)

    run_threads([worker] * 4, rounds=8)
    factors.clear()  # the last references go while other factors still exist
    assert np.allclose(SPQRFactor(A, use_singletons=True).solve(b), x_ref)


def test_reentering_a_factor_from_its_own_operation_raises():
    # A warning filter runs Python code while solve() holds the factor's lock; using the
    # same factor from there must raise instead of waiting for itself.
    A = sp.csc_array(np.array([[1.0, 1.0], [1.0, 1.0], [0.0, 0.0]]))  # rank 1
    F = spqr_factor(A)
    seen = []

    def showwarning(message, category, filename, lineno, file=None, line=None):
        with pytest.raises(RuntimeError, match="already in use by this thread"):
            F.rank
        seen.append(category)

    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = showwarning
        F.solve(np.ones(3))
    assert seen and seen[0] is ferrow.spqr.SPQRRankDeficiencyWarning
    assert F.rank == 1  # usable again once the operation returned
