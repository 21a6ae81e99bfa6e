"""Every flag of every entry point is taken by its truth value, as ``if flag:`` takes it.

One table of calls, each run with a row of values of every kind (None, numbers, NumPy
booleans, strings, lists) and compared with the same call given ``bool(value)``.
"""

import numpy as np
import pytest
import scipy.sparse as sp

from conftest import random_csc
import ferrow.ccolamd as ccolamd_mod
import ferrow.colamd as colamd_mod
from ferrow import cholmod
from ferrow.camd import camd
from ferrow.spqr import SPQRFactor, spqr_factor, spqr_solve
from ferrow.utils import validate_csc_input

VALUES = [None, 0, 1, 2.5, np.True_, np.False_, np.int64(0), "yes", "", [], [0], (), object()]

SQUARE = random_csc(7, 7, seed=3)
TALL = random_csc(9, 5, seed=4)
WIDE = sp.csc_array(TALL.T)
TRI = sp.csc_array(np.triu(np.arange(1.0, 26.0).reshape(5, 5)))
b9, b5 = np.linspace(1, 2, 9), np.linspace(-1, 1, 5)


def outcome(call, value):
    """What a call returns, reduced to something comparable, or the exception it raises."""
    try:
        r = call(value)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome compared
        return ("raised", type(exc), str(exc))
    if isinstance(r, tuple):
        return ("tuple",) + tuple(outcome(lambda _: item, None) for item in r)
    if isinstance(r, np.ndarray):
        return ("array", r.dtype, r.shape, r.round(12).tolist())
    if isinstance(r, SPQRFactor):
        return ("factor", r.is_numeric)
    return ("value", r)


def numeric_factor(A):
    F = SPQRFactor(A)
    return F.factorize(A)


FLAG_CALLS = {
    "validate_csc_input(require_square)": lambda v: validate_csc_input(TALL, require_square=v)[2],
    "validate_csc_input(require_square) positional": lambda v: validate_csc_input(TALL, v)[2],
    "camd(return_info)": lambda v: camd(SQUARE, return_info=v),
    "camd(return_info) trivial": lambda v: camd(sp.csc_array((3, 3)), return_info=v),
    "colamd(return_info)": lambda v: colamd_mod.colamd(TALL, return_info=v),
    "colamd(return_info) trivial": lambda v: colamd_mod.colamd(sp.csc_array((0, 4)), return_info=v),
    "symamd(return_info)": lambda v: colamd_mod.symamd(SQUARE, return_info=v),
    "ccolamd(return_info)": lambda v: ccolamd_mod.ccolamd(TALL, return_info=v),
    "csymamd(return_info)": lambda v: ccolamd_mod.csymamd(SQUARE, return_info=v),
    "_colamd_base(is_symmetric)": lambda v: colamd_mod._colamd_base(SQUARE, is_symmetric=v),
    "_ccolamd_base(is_symmetric)": lambda v: ccolamd_mod._ccolamd_base(SQUARE, is_symmetric=v),
    "_ccolamd_base(return_info)": lambda v: ccolamd_mod._ccolamd_base(TALL, return_info=v),
    "SPQRFactor(use_singletons)": lambda v: SPQRFactor(TALL, use_singletons=v),
    # a factor made with singletons of a triangular matrix cannot be refactorised
    "spqr_factor(use_singletons)": lambda v: spqr_factor(TRI, use_singletons=v).factorize(TRI).rank,
    "SPQRFactor.solve(transpose)": lambda v: numeric_factor(SQUARE).solve(np.ones(7), transpose=v),
    "SPQRFactor._solve_dense(transpose)":
        lambda v: numeric_factor(SQUARE)._solve_dense(np.asfortranarray(np.ones((7, 2))), v),
    "SPQRFactor._solve_dense(transpose) keyword":
        lambda v: numeric_factor(SQUARE)._solve_dense(b=np.asfortranarray(np.ones((7, 1))),
                                                      transpose=v),
    "spqr_solve(transpose)": lambda v: spqr_solve(SQUARE, np.ones(7), transpose=v),
    "spqr_solve(min2norm)": lambda v: spqr_solve(WIDE, b5, min2norm=v),
    "cholmod._dense_roundtrip(use_int32)":
        lambda v: cholmod._dense_roundtrip(np.asfortranarray(np.ones((3, 2))), v),
}


@pytest.mark.parametrize("name", FLAG_CALLS)
def test_flags_take_their_truth_value(name):
    call = FLAG_CALLS[name]
    for value in VALUES:
        assert outcome(call, value) == outcome(call, bool(value)), (name, value)
    assert outcome(call, True) != outcome(call, False) or name.startswith("cholmod")


def test_truth_errors_propagate():
    class NoTruth:
        def __bool__(self):
            raise ZeroDivisionError("no truth value")

    for name, call in FLAG_CALLS.items():
        with pytest.raises(ZeroDivisionError, match="no truth value"):
            call(NoTruth())


@pytest.mark.parametrize("order", [camd, colamd_mod.colamd, ccolamd_mod.csymamd])
def test_aggressive_keeps_none_as_the_library_default(order):
    A = random_csc(40, 40, density=0.1, seed=8)
    assert np.array_equal(order(A, aggressive=None), order(A))
    for value in (0, np.False_, "", []):
        assert np.array_equal(order(A, aggressive=value), order(A, aggressive=False))
    for value in (1, np.True_, "no", [0]):
        assert np.array_equal(order(A, aggressive=value), order(A, aggressive=True))


def test_unconstructed_factor_has_no_rank():
    F = SPQRFactor.__new__(SPQRFactor)
    assert F.rank is None and F.is_numeric is False
    with pytest.raises(AssertionError):
        F.shape  # noqa: B018 - the other properties still need a constructed factor
