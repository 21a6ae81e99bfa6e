import collections
import copy
import dataclasses
import datetime
import math
import pickle
import re

import numpy as np
import pytest
import scipy.sparse as sp

import ferrow.spqr as spqr
from ferrow.spqr import SPQRInfo

FIELDS = [
    "nnzR_upper_bound", "nnzH_upper_bound", "nf", "rank_A_estimate", "n1cols", "n1rows",
    "ordering", "memory", "flops_upper_bound", "tol", "norm_E_fro", "analyze_time",
    "factorize_time", "solve_time", "total_time", "flops",
]
FLOAT_FIELDS = {"tol", "norm_E_fro", "analyze_time", "factorize_time", "solve_time", "total_time"}
ANNOTATION = {f: ("float | None" if f in FLOAT_FIELDS else "str | None" if f == "ordering"
                  else "int | None") for f in FIELDS}


def sample():
    return SPQRInfo(3, 7, 1, 2, 0, 0, "colamd", 4096, 120, 1e-12, 0.0, 0.5, 0.25, 0.125,
                    0.875, 99)


def test_presents_itself_as_a_frozen_dataclass():
    params = SPQRInfo.__dataclass_params__
    assert type(params) is dataclasses._DataclassParams
    assert (params.init, params.repr, params.eq, params.order, params.unsafe_hash,
            params.frozen) == (True, True, True, False, False, True)
    for name, value in [("match_args", True), ("kw_only", False), ("slots", False),
                        ("weakref_slot", False)]:
        assert getattr(params, name, value) is value  # absent on older interpreters
    assert list(SPQRInfo.__dataclass_fields__) == FIELDS
    assert SPQRInfo.__match_args__ == tuple(FIELDS)
    for f in dataclasses.fields(SPQRInfo):
        assert isinstance(f, dataclasses.Field) and f._field_type is dataclasses._FIELD
        assert f.type == ANNOTATION[f.name] and f.default is None
        assert f.init and f.repr and f.compare and f.hash is None and not f.metadata
    assert dataclasses.is_dataclass(SPQRInfo) and dataclasses.is_dataclass(SPQRInfo())
    assert not hasattr(SPQRInfo(), "__dict__")
    assert SPQRInfo.__doc__.startswith("A dataclass to hold SPQR info statistics.")


def test_dataclass_tools_and_matching_work():
    info = sample()
    assert dataclasses.asdict(info) == {f: getattr(info, f) for f in FIELDS}
    changed = dataclasses.replace(info, nf=5)
    assert type(changed) is SPQRInfo and changed.nf == 5 and changed.flops == 99
    match info:
        case SPQRInfo(r, h, nf, ordering=name):
            assert (r, h, nf, name) == (3, 7, 1, "colamd")
        case _:
            pytest.fail("no match")


def test_defaults_repr_and_hash():
    info = SPQRInfo()
    assert all(getattr(info, f) is None for f in FIELDS)
    assert repr(info) == str(info) == "SPQRInfo(" + ", ".join(f"{f}=None" for f in FIELDS) + ")"
    assert hash(info) == hash((None,) * 16)
    info = sample()
    assert repr(info) == "SPQRInfo(" + ", ".join(f"{f}={getattr(info, f)!r}" for f in FIELDS) + ")"
    assert hash(info) == hash(tuple(getattr(info, f) for f in FIELDS))


def test_instances_made_without_the_constructor_are_empty_records():
    assert SPQRInfo.__new__(SPQRInfo) == SPQRInfo()

    class Quiet(SPQRInfo):
        def __init__(self):
            pass

    assert Quiet().nf is None and Quiet() == Quiet() and Quiet() != SPQRInfo()
    assert repr(Quiet()).startswith("test_instances_made_without_the_constructor_are_empty_records"
                                    ".<locals>.Quiet(nnzR_upper_bound=None, ")


def test_arguments_by_position_and_keyword():
    values = [getattr(sample(), f) for f in FIELDS]
    assert SPQRInfo(*values) == SPQRInfo(**dict(zip(FIELDS, values))) == sample()
    with pytest.raises(TypeError):
        SPQRInfo(*values, 1)
    with pytest.raises(TypeError):
        SPQRInfo(rank=3)


@pytest.mark.parametrize("field, given, stored", [
    ("nf", 2.9, 2), ("nf", True, 1), ("nf", np.int64(4), 4), ("nf", -3.5, -3),
    ("memory", 2**70, 2**70), ("tol", 1, 1.0), ("tol", np.float32(0.5), 0.5),
    ("tol", True, 1.0), ("analyze_time", 0.25, 0.25), ("ordering", "amd", "amd"),
])
def test_coercion(field, given, stored):
    value = getattr(SPQRInfo(**{field: given}), field)
    assert value == stored and type(value) is type(stored)


def test_exact_values_are_stored_unchanged():
    big, x, name = 10**30, 0.1, "".join(["me", "tis"])
    info = SPQRInfo(flops=big, tol=x, ordering=name)
    assert info.flops is big and info.tol is x and info.ordering is name


@pytest.mark.parametrize("field, given, message", [
    ("ordering", 5, "Expected str, got int"),
    ("ordering", b"amd", "Expected str, got bytes"),
    ("tol", "x", "Expected float, got str"),
    ("nf", "3", "Expected int, got str"),
    ("nf", [1], "Expected int, got list"),
    ("memory", None.__class__, "Expected int, got type"),
])
def test_coercion_errors(field, given, message):
    with pytest.raises(TypeError) as exc:
        SPQRInfo(**{field: given})
    assert str(exc.value) == message


def test_coercion_failures_of_numbers_propagate():
    with pytest.raises(OverflowError):
        SPQRInfo(tol=10**400)
    with pytest.raises(ValueError):
        SPQRInfo(flops=float("nan"))
    with pytest.raises(TypeError):
        SPQRInfo(nf=1j)


def test_type_names_are_cut_at_200_characters():
    cls = type("T" * 300, (), {})
    with pytest.raises(TypeError) as exc:
        SPQRInfo(nf=cls())
    assert str(exc.value) == "Expected int, got " + "T" * 200


class Local:
    pass


Renamed = type("Original", (), {"__module__": "elsewhere"})
Renamed.__name__ = "Renamed"


# Messages name a type as Python's own do: a class by its bare name, a type defined in C
# with its module, a builtin without one.
@pytest.mark.parametrize("value, name", [
    ([1], "list"),
    (Local(), "Local"),
    (Renamed(), "Renamed"),
    (KeyError(), "KeyError"),
    (re.compile("a"), "re.Pattern"),
    (collections.deque(), "collections.deque"),
    (datetime.date(2000, 1, 1), "datetime.date"),
    (np.dtype("f8"), "numpy.dtypes.Float64DType"),
])
def test_type_names_in_messages(value, name):
    with pytest.raises(TypeError) as exc:
        SPQRInfo(nf=value)
    assert str(exc.value) == "Expected int, got " + name


def test_fields_are_read_only():
    info = sample()
    with pytest.raises(AttributeError):
        info.nf = 3
    with pytest.raises(AttributeError):
        info.extra = 3
    assert info.nf == 1


def test_equality_and_ordering():
    assert sample() == sample() and not (sample() != sample())
    assert hash(sample()) == hash(sample())
    assert sample() != dataclasses.replace(sample(), flops=100)
    assert sample() != tuple(getattr(sample(), f) for f in FIELDS)
    assert SPQRInfo() != (None,) * 16
    assert SPQRInfo.__eq__(SPQRInfo(), 1) is NotImplemented

    class Sub(SPQRInfo):
        pass

    assert Sub() != SPQRInfo() and SPQRInfo() != Sub() and Sub() == Sub()
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(sample(), op)(sample()) is NotImplemented
    with pytest.raises(TypeError):
        sample() < sample()
    # Fields are compared with `!=`: a NaN field makes two records unequal, even the same record.
    nan = SPQRInfo(tol=math.nan)
    assert nan != nan


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("make", [SPQRInfo, sample, lambda: SPQRInfo(ordering="amd")])
def test_pickle_round_trip(make, protocol):
    info = make()
    back = pickle.loads(pickle.dumps(info, protocol=protocol))
    assert type(back) is SPQRInfo and back == info and repr(back) == repr(info)
    assert copy.copy(info) == info and copy.deepcopy(info) == info


def test_reduction_layout():
    order = sorted(FIELDS)
    func, args = SPQRInfo().__reduce__()
    assert func is spqr._unpickle_SPQRInfo
    assert args == (SPQRInfo, 0x4FE1628, (None,) * 16)
    info = sample()
    func, args, state = info.__reduce__()
    assert args == (SPQRInfo, 0x4FE1628, None)
    assert state == tuple(getattr(info, f) for f in order)


@pytest.mark.parametrize("checksum", [0x4FE1628, 0x7E9E7B5, 0xD5B19E3])
def test_accepted_checksums(checksum):
    state = tuple(getattr(sample(), f) for f in sorted(FIELDS))
    assert spqr._unpickle_SPQRInfo(SPQRInfo, checksum, state) == sample()
    assert spqr._unpickle_SPQRInfo(SPQRInfo, checksum, None) == SPQRInfo()


def test_incompatible_checksum():
    with pytest.raises(pickle.PickleError) as exc:
        spqr._unpickle_SPQRInfo(SPQRInfo, 0xABC, None)
    assert str(exc.value) == (
        "Incompatible checksums (0xabc vs (0x4fe1628, 0x7e9e7b5, 0xd5b19e3) = ("
        + ", ".join(sorted(FIELDS)) + "))")


def test_state_is_checked_and_coerced():
    info = SPQRInfo()
    with pytest.raises(TypeError) as exc:
        info.__setstate__([None] * 16)
    assert str(exc.value) == "Expected tuple, got list"
    with pytest.raises(ValueError):
        info.__setstate__((None,) * 15)
    state = [None] * 16
    state[sorted(FIELDS).index("nf")] = 2.5
    state[sorted(FIELDS).index("tol")] = 3
    back = spqr._unpickle_SPQRInfo(SPQRInfo, 0x4FE1628, tuple(state))
    assert back.nf == 2 and back.tol == 3.0 and type(back.tol) is float
    state[sorted(FIELDS).index("ordering")] = 1
    with pytest.raises(TypeError, match="Expected str, got int"):
        spqr._unpickle_SPQRInfo(SPQRInfo, 0x4FE1628, tuple(state))
    with pytest.raises(TypeError):
        spqr._unpickle_SPQRInfo(int, 0x4FE1628, None)


def test_filled_from_a_common_block():
    info = spqr._info_from_common_values({
        "SPQR_istat": [11, 12, 13, 14, 15, 16, 17, 5], "memory_usage": 2**40,
        "SPQR_flopcount_bound": 123.9, "SPQR_flopcount": -7.9, "SPQR_tol_used": 0.5,
        "SPQR_norm_E_fro": 0.25, "SPQR_analyze_time": 0.1, "SPQR_factorize_time": 0.2,
        "SPQR_solve_time": 0.3,
    })
    assert (info.nnzR_upper_bound, info.nnzH_upper_bound, info.nf, info.rank_A_estimate,
            info.n1cols, info.n1rows) == (11, 12, 13, 15, 16, 17)
    assert info.ordering == "amd" and info.memory == 2**40
    assert info.flops_upper_bound == 123 and info.flops == -7  # truncated toward zero
    assert (info.tol, info.norm_E_fro, info.analyze_time, info.factorize_time,
            info.solve_time) == (0.5, 0.25, 0.1, 0.2, 0.3)
    assert info.total_time == (0.1 + 0.2) + 0.3


@pytest.mark.parametrize("code, name", [
    (0, "fixed"), (1, "natural"), (2, "colamd"), (3, "unknown 3"), (4, "cholmod"), (5, "amd"),
    (6, "metis"), (7, "default"), (8, "best"), (9, "bestamd"), (-5, "unknown -5"),
    (2**32 + 6, "metis"),  # the slot is read as a 32-bit code
])
def test_ordering_names(code, name):
    assert spqr._info_from_common_values({"SPQR_istat": [0] * 7 + [code]}).ordering == name


@pytest.mark.parametrize("value", [math.nan, math.inf])
def test_non_finite_flop_counts_raise(value):
    with pytest.raises((ValueError, OverflowError)):
        spqr._info_from_common_values({"SPQR_flopcount": value})


def test_factor_info_reflects_the_factorisation():
    A = sp.csc_array(np.array([[1.0, 2, 0], [0, 3, 4], [0, 0, 6], [0, 1, 1]]))
    S = spqr.spqr_factor(A, use_singletons=True)
    info = S.info
    assert isinstance(info, SPQRInfo) and info is not S.info and info == S.info
    assert info.rank_A_estimate == S.rank == 3
    assert info.n1cols >= 1 and info.n1rows >= 1
    assert info.total_time == (info.analyze_time + info.factorize_time) + info.solve_time

    F = spqr.SPQRFactor(A, order="amd")
    assert F.info.ordering == "amd" and F.info.n1cols == 0
    F.factorize(A, tol=0.5)
    before = F.info
    assert before.tol == 0.5 and before.rank_A_estimate == F.rank
    with pytest.warns(UserWarning):
        F.factorize(A, tol=0.25)
    assert F.info.tol == 0.25 and before.tol == 0.5  # a record does not follow the factor
