"""ferrow.colamd: COLAMD and SYMAMD. The behaviour it shares with ferrow.ccolamd is checked
by the classes of tests/twins.py; what is COLAMD's own is below."""

import numpy as np
import pytest

from twins import COLAMD, FrameChecks, OrderingChecks, RawWrapperChecks
from ferrow.colamd import _symamd, colamd, symamd


class TestFrame(FrameChecks):
    twin = COLAMD


class TestOrderings(OrderingChecks):
    twin = COLAMD


class TestRawWrappers(RawWrapperChecks):
    twin = COLAMD


def test_orderings_take_no_constraints():
    A = np.eye(3)
    with pytest.raises(TypeError):
        colamd(A, constraints=[0, 1, 2])
    with pytest.raises(TypeError):
        symamd(A, opt_lu="lu")


def test_symamd_wrapper_checks_but_ignores_M(itype):
    Ap, Ai = np.array([0, 1, 2, 3], itype), np.array([0, 1, 2], itype)
    perm, stats = np.zeros(4, itype), np.zeros(20, itype)
    knobs = COLAMD.knobs()
    with pytest.raises(TypeError):
        _symamd(3.0, 3, Ap, Ai, perm, knobs, stats)
    assert _symamd(-7, 3, Ap, Ai, perm, knobs, stats) is None
    assert sorted(perm[:3]) == [0, 1, 2]
