"""Malformed and unusual inputs for the robustness sweeps."""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp

DTYPES = [np.bool_, np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32,
          np.uint64, np.float16, np.float32, np.float64, np.longdouble, np.complex64,
          np.complex128, np.clongdouble, object, "U3", "S3", "M8[s]"]


class RaisingArray:
    """An array-like whose conversion fails."""

    def __array__(self, dtype=None, copy=None):
        raise RuntimeError("__array__ refuses")

    def __len__(self):
        return 3

    def __getitem__(self, k):
        raise RuntimeError("__getitem__ refuses")


class RaisingIndex:
    def __index__(self):
        raise RuntimeError("__index__ refuses")

    def __float__(self):
        raise RuntimeError("__float__ refuses")

    def __bool__(self):
        raise RuntimeError("__bool__ refuses")


class HugeIndex:
    def __index__(self):
        return 2**70


def corrupted_csc(indptr, indices, shape, data=None, itype=np.int32):
    """A csc_array whose arrays were replaced after construction (SciPy does not check)."""
    A = sp.csc_array((1, 1))
    A._shape = shape
    A.indptr = np.asarray(indptr, dtype=itype)
    A.indices = np.asarray(indices, dtype=itype)
    A.data = np.ones(len(indices)) if data is None else np.asarray(data)
    return A


def corrupted_csr(indptr, indices, shape):
    A = sp.csr_array((1, 1))
    A._shape = shape
    A.indptr = np.asarray(indptr, dtype=np.int32)
    A.indices = np.asarray(indices, dtype=np.int32)
    A.data = np.ones(len(indices))
    return A


def unaligned(arr):
    """A copy of `arr` (C order) whose data starts one byte past an aligned address."""
    arr = np.asarray(arr)
    out = np.frombuffer(bytearray(arr.nbytes + 1), dtype=arr.dtype, count=arr.size, offset=1)
    out = out.reshape(arr.shape)
    out[...] = arr
    return out


def unaligned_csc(itype=np.int32, dtype=np.float64):
    """A valid csc_array whose three arrays are all unaligned views."""
    A = sp.csc_array(np.eye(4, dtype=dtype) + np.eye(4, k=1, dtype=dtype))
    A.indptr = unaligned(A.indptr.astype(itype))
    A.indices = unaligned(A.indices.astype(itype))
    A.data = unaligned(A.data)
    return A


def corrupted_dia(data_rows, offsets, shape=(3, 3)):
    """A dia_array whose data and offsets were replaced after construction."""
    A = sp.dia_array(np.eye(*shape))
    A.data = np.ones((data_rows, shape[1]))
    A.offsets = np.asarray(offsets)
    return A


def corrupted_lil(rows, data, shape=(3, 3)):
    """A lil_array whose per-row lists were replaced after construction."""
    A = sp.lil_array(shape)
    for i, (r, d) in enumerate(zip(rows, data)):
        A.rows[i] = r
        A.data[i] = d
    return A


def corrupted_dok(items, shape=(3, 3)):
    """A dok_array holding keys that its own item assignment would refuse."""
    A = sp.dok_array(shape)
    store = A._dict if hasattr(A, "_dict") else A  # SciPy < 1.13 keeps the entries in A itself
    for key, value in items:
        dict.__setitem__(store, key, value)
    return A


def corrupted_sparse():
    """DIA, LIL and DOK objects whose structure no conversion may trust."""
    short_rows = sp.lil_array((3, 3))
    short_rows.rows = short_rows.rows[:2]
    short_rows.data = short_rows.data[:2]
    return [
        corrupted_dia(2, [0]),                             # fewer offsets than diagonals
        corrupted_dia(1, [0, 1, 2]),                       # more offsets than diagonals
        corrupted_dia(1, [2**62]),                         # a diagonal far outside
        corrupted_lil([[5]], [[1.0]]),                     # column index out of range
        corrupted_lil([[-1]], [[1.0]]),                    # negative column index
        corrupted_lil([[0, 1]], [[1.0]]),                  # rows and data lists differ
        corrupted_lil([[0], [2**70]], [[1.0], [2.0]]),     # an index beyond int64
        corrupted_lil([["a"]], [[1.0]]),                   # not an index
        short_rows,                                        # fewer row lists than rows
        corrupted_dok([((5, 0), 1.0)]),                    # key out of range
        corrupted_dok([((0, -1), 1.0)]),                   # negative key
        corrupted_dok([((0, 0, 0), 1.0)]),                 # key of three items
        corrupted_dok([((0, 0), 1.0), ((1, 1, 1), 2.0)]),  # keys of two lengths
        corrupted_dok([(7, 1.0)]),                         # not a pair
    ]


def weird_values():
    """A fixed list of inputs no function should crash on."""
    vals = [None, 0, 1, -1, 3, 2**31, 2**31 - 1, 2**40, 2**62, 2**63 - 1, 2**63, -2**63,
            -2**63 - 1, 1.5, -0.0, float("nan"),
            float("inf"), True, 1j, "abc", "1", "", b"x", [], (), [1, 2], [[1, 2]], [[[1]]],
            ["a", "b"], {}, {1: 2}, object(), RaisingArray(), RaisingIndex(), HugeIndex(),
            slice(None), Ellipsis, np.float64("nan"), np.int64(-5), np.True_, np.False_]
    for dt in DTYPES:
        vals.append(np.zeros(4, dtype=dt))
        vals.append(np.ones((2, 3), dtype=dt))
        vals.append(np.zeros(0, dtype=dt))
        vals.append(np.array(1, dtype=dt))
    base = np.arange(12, dtype=np.int32)
    base64 = np.arange(12, dtype=np.int64)
    ro = np.arange(6, dtype=np.int32)
    ro.flags.writeable = False
    ro64 = np.zeros(20)
    ro64.flags.writeable = False
    vals += [
        base[::2], base64[::-1], np.asfortranarray(np.arange(12.0).reshape(3, 4)),
        np.arange(24.0).reshape(2, 3, 4), ro, ro64, np.full(20, np.nan), np.full(20, np.inf),
        np.array([-1, 5, 7], np.int32), np.array([2**40, 0], np.int64),
        np.zeros(10**6, np.int8)[::100000],
        # views at an odd address: compiled code must copy or refuse them, never load from them
        unaligned(np.arange(6, dtype=np.int32)), unaligned(np.arange(7, dtype=np.int64)),
        unaligned(np.zeros(20)), unaligned(np.ones(7, dtype=np.complex128)),
        unaligned(np.ones((7, 2))), unaligned(np.arange(8, dtype=np.int64).reshape(1, 8)),
    ]
    # sparse objects: valid but odd, and corrupted
    vals += [
        sp.csc_array((0, 0)), sp.csc_array((3, 0)), sp.csc_array((0, 3)),
        sp.coo_array((2**40, 2**40)), sp.dok_array((2**40, 2**40)),
        sp.csc_array(np.array([[np.nan, 1.0], [np.inf, -np.inf]])),
        sp.csc_array(np.eye(3, dtype=np.complex64)), sp.csc_array(np.eye(3, dtype=np.int8)),
        sp.csc_array(np.eye(3, dtype=bool)), sp.csr_array(np.eye(4)), sp.coo_array(np.eye(4)),
        sp.csc_matrix(np.eye(3)), sp.random_array((5, 4), density=0.5, rng=0, format="csc"),
        corrupted_csc([0, 2, 1, 3], [0, 1, 2], (3, 3)),          # pointers decrease
        corrupted_csc([0, 1, 2, 9], [0, 1, 2], (3, 3)),          # pointers beyond indices
        corrupted_csc([1, 1, 2, 3], [0, 1, 2], (3, 3)),          # does not start at 0
        corrupted_csc([0, 1, 2], [0, 1, 2], (3, 3)),             # wrong indptr length
        corrupted_csc([0, 1, 2, 3], [0, -4, 2], (3, 3)),         # negative row index
        corrupted_csc([0, 1, 2, 3], [0, 99, 2], (3, 3)),         # row index too large
        corrupted_csc([0, 1, 2, 3], [0, 1, 2], (3, 3), data=[1.0]),  # too few values
        corrupted_csc([0, 1, 2, 3], [0, 1, 2], (3, 3), itype=np.int64),
        corrupted_csc(np.array([0, 1, 2, 3]), [0, 2**33, 2], (3, 3), itype=np.int64),
        corrupted_csr([0, 1, 2, 3], [0, 99, 2], (3, 3)),
        corrupted_csr([0, 3, 1, 3], [0, 1, 2], (3, 3)),
        unaligned_csc(np.int32), unaligned_csc(np.int64, np.complex128),
        *corrupted_sparse(),
    ]
    return vals
