"""ferrow.btf with the interpreter lock released: the same calls made from several threads
at once give the results they give one after the other."""

import threading

import numpy as np
import scipy.sparse as sp

import ferrow
from conftest import random_csc, with_index_type
from ferrow.btf import btf, maxtrans, strongcomp
from ferrow.demos.problems import reducible

METHODS = ["library", "hopcroft-karp", "pothen-fan", "push-relabel", "auto"]


def matrices():
    """Matrices large enough for the calls to release the lock: structurally singular,
    rows permuted away from the diagonal, planted blocks; both index types."""
    rng = np.random.default_rng(5)
    n = 2000
    rows = rng.integers(0, n, size=3 * n)
    singular = sp.csc_array((np.ones(rows.size), (rows, np.repeat(np.arange(n), 3))),
                            shape=(n, n))
    permuted = random_csc(n, n, density=3.0 / n, seed=6)[rng.permutation(n)]
    planted = reducible(list(rng.integers(1, 40, size=80)), seed=7)
    perm = rng.permutation(planted.shape[0])
    planted = sp.csc_array(planted[perm][:, perm])
    tall = random_csc(n, n // 2, density=2.0 / n, seed=8)
    return [with_index_type(sp.csc_array(A), itype) for A in (singular, permuted, planted, tall)
            for itype in (np.int32, np.int64)]


def jobs():
    out = []
    for A in matrices():
        out += [lambda A=A, m=m: (maxtrans(A, method=m),) for m in METHODS]
        if A.shape[0] != A.shape[1]:
            continue
        q = maxtrans(A)
        q[q < 0] = np.setdiff1d(np.arange(A.shape[1]), q[q >= 0])  # a full permutation
        out.append(lambda A=A: strongcomp(A))
        out.append(lambda A=A, q=q: strongcomp(A, q=q.copy()))  # q is updated in place
        out += [lambda A=A, m=m: btf(A, method=m) for m in METHODS]
    return out


def test_calls_from_several_threads_agree_with_one_thread():
    work = jobs()
    expected = [job() for job in work]
    nthreads = 4
    got = [[None] * len(work) for _ in range(nthreads)]
    errors = []
    start = threading.Barrier(nthreads)

    def run(t):
        try:
            start.wait()
            for k in np.random.default_rng(t).permutation(len(work)):  # each its own order
                got[t][k] = work[k]()
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    assert not ferrow.get_release_gil()
    with ferrow.releasing_gil():
        threads = [threading.Thread(target=run, args=(t,)) for t in range(nthreads)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    assert not errors, errors
    for t in range(nthreads):
        for k, (want, have) in enumerate(zip(expected, got[t])):
            assert have is not None, (t, k)
            for a, b in zip(want, have):
                assert a.dtype == b.dtype and np.array_equal(a, b), (t, k)
