"""Input validation shared by every ferrow module."""

from __future__ import annotations

import operator
import warnings
from itertools import chain

import numpy as np
from scipy.sparse import (SparseEfficiencyWarning, bsr_array, bsr_matrix, coo_array, coo_matrix,
                          csc_array, csc_matrix, csr_array, csr_matrix, issparse, spmatrix)

from ferrow._structure import check_compressed, check_coordinates, csc_fast_path
from ferrow.cholmod import _csc_from_arrays

__all__ = ["validate_csc_input"]

_INDEX_TYPES = (np.dtype(np.int32), np.dtype(np.int64))
_INT32_MAX = np.iinfo(np.int32).max
_CSC_TYPES = (csc_array, csc_matrix)
_FORMATS = ("csc", "csr", "bsr", "coo", "dia", "lil", "dok")


def _numeric_values(data, what="A"):
    dtype = np.asarray(data).dtype if not hasattr(data, "dtype") else data.dtype
    if dtype.kind not in "biufc":
        raise ValueError(f"{what} must hold numeric values, got dtype {dtype}")


def _aligned(arr):
    """`arr` when it is contiguous and aligned for typed reads, else such a copy.

    A view into a byte buffer (``np.frombuffer(buf, np.int64, offset=1)``) is neither
    refused nor read in place: compiled code reads its elements with typed loads.
    """
    if arr.flags.c_contiguous and arr.flags.aligned:
        return arr
    return np.require(arr, requirements=("C", "A"))


def _index_array(arr, name, fits_int32):
    """Return `arr` as a contiguous, aligned int32/int64 array, converting only when needed."""
    arr = np.asarray(arr)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got {arr.ndim} dimensions")
    if arr.dtype in _INDEX_TYPES:
        return _aligned(arr)
    if arr.dtype.kind not in "iu" and arr.size:
        raise ValueError(f"{name} must hold integers, got dtype {arr.dtype}")
    target = np.int32 if fits_int32 else np.int64
    if arr.dtype.kind == "u" and arr.size and arr.max() > np.iinfo(np.int64).max:
        raise ValueError(f"{name} holds values too large for int64")
    return _aligned(np.asarray(arr, dtype=target))


def _dimensions(A):
    """The pair (M, N) of a two-dimensional sparse object, checked."""
    shape = A.shape
    try:
        M, N = (operator.index(n) for n in shape)
    except (TypeError, ValueError):
        raise ValueError(f"A has an invalid shape {shape!r}") from None
    if M < 0 or N < 0:
        raise ValueError(f"A has a negative dimension in its shape {shape!r}")
    return M, N


def _csc_from_parts(data, indices, indptr, shape):
    """A csc_array over exactly these checked arrays (SciPy's constructor may recast
    indices): the compiled builder that every module's results go through."""
    return _csc_from_arrays(data, indices, indptr, shape)


def _checked_csc(A):
    """Check a CSC object's structure; return it, or a canonical copy when needed."""
    M, N = _dimensions(A)
    indptr, indices, data = A.indptr, A.indices, A.data
    fits = max(M, N, np.size(indices)) <= _INT32_MAX
    if not (
        isinstance(indptr, np.ndarray) and isinstance(indices, np.ndarray)
        and indptr.dtype == indices.dtype and indptr.dtype in _INDEX_TYPES
        and indptr.ndim == 1 and indices.ndim == 1
        and indptr.flags.c_contiguous and indices.flags.c_contiguous
        and indptr.flags.aligned and indices.flags.aligned
    ):
        indptr = _index_array(indptr, "indptr", fits)
        indices = _index_array(indices, "indices", fits)
        if indptr.dtype != indices.dtype:
            indptr = indptr.astype(np.int64)
            indices = indices.astype(np.int64)
    if len(indptr) != N + 1:
        raise ValueError(f"indptr must have N + 1 = {N + 1} entries, got {len(indptr)}")
    data = np.asarray(data)
    _numeric_values(data)
    if data.ndim != 1:
        raise ValueError(f"data must be one-dimensional, got {data.ndim} dimensions")
    canonical = check_compressed(indptr, indices, N, M)
    nnz = int(indptr[N])
    if data.shape[0] < nnz:
        raise ValueError(f"data holds {data.shape[0]} values but the column pointers need {nnz}")
    if data.size and data.dtype.kind not in "biu" and not (data.flags.c_contiguous and data.flags.aligned):
        data = _aligned(data)
    if canonical:
        if indptr is A.indptr and indices is A.indices and data is A.data:
            return A
        return _csc_from_parts(data, indices, indptr, (M, N))
    # Unsorted row indices or duplicates: sort and sum them in a copy, never in place.
    itype = indptr.dtype
    B = csc_array((data[:nnz].copy(), indices[:nnz].copy(), indptr.copy()), shape=(M, N))
    B.sum_duplicates()
    B.indptr = B.indptr.astype(itype, copy=False)
    B.indices = B.indices.astype(itype, copy=False)
    return B


def _compressed_parts(A, n_major, n_minor, what):
    """indptr, indices and data of a CSR or BSR object, checked and aligned."""
    fits = max(n_major, n_minor, np.size(A.indices)) <= _INT32_MAX
    indptr = _index_array(A.indptr, "indptr", fits)
    indices = _index_array(A.indices, "indices", fits)
    if indptr.dtype != indices.dtype:
        indptr, indices = indptr.astype(np.int64), indices.astype(np.int64)
    if len(indptr) != n_major + 1:
        raise ValueError(f"indptr must have {n_major + 1} entries (one more than the {what}), "
                         f"got {len(indptr)}")
    check_compressed(indptr, indices, n_major, n_minor)
    nnz = int(indptr[-1])
    data = np.asarray(A.data)
    _numeric_values(data)
    if data.ndim < 1 or data.shape[0] < nnz:
        raise ValueError("data holds fewer values than the pointers need")
    return indptr, indices[:nnz], _aligned(data[:nnz])


def _coordinate_vector(values, name):
    """A one-dimensional integer array of coordinates."""
    arr = np.asarray(values)
    if arr.ndim != 1 or (arr.dtype.kind not in "iu" and arr.size):
        raise ValueError(f"{name} indices must be a one-dimensional array of integers")
    return _index_array(arr, name, False)


def _numeric_vector(values, dtype, n):
    """`n` values of a LIL or DOK object as an array of its dtype."""
    try:
        dtype = np.dtype(dtype)
        if dtype.kind not in "biufc":
            raise TypeError
        data = np.array(values, dtype=dtype)
    except (TypeError, ValueError, OverflowError):
        raise ValueError("A must hold numeric values") from None
    if data.shape != (n,):
        raise ValueError("the values of A do not match its coordinates")
    return data


def _dia_coordinates(A, M, N):
    """Coordinates of the stored entries of a DIA object: column j of diagonal k is
    entry (j - offsets[k], j); explicit zeros are dropped, as SciPy's conversion does."""
    data, offsets = np.asarray(A.data), np.asarray(A.offsets)
    _numeric_values(data)
    if data.ndim != 2 or offsets.ndim != 1 or offsets.shape[0] != data.shape[0]:
        raise ValueError(f"DIA data of shape {data.shape} does not match its {offsets.size} offsets")
    if offsets.dtype.kind not in "iu" and offsets.size:
        raise ValueError("DIA offsets must be integers")
    width = min(data.shape[1], N)
    # Diagonals outside the matrix hold nothing; the rest have |offset| < max(M, N), so the
    # row arithmetic below cannot overflow.
    inside = (offsets < N) & (offsets > -M) if offsets.size else np.zeros(0, bool)
    offsets = offsets[inside].astype(np.int64)
    values = data[inside, :width]
    cols = np.broadcast_to(np.arange(width, dtype=np.int64), values.shape)
    rows = cols - offsets[:, None]
    keep = (rows >= 0) & (rows < M) & (values != 0)
    return rows[keep], cols[keep], values[keep]


def _lil_coordinates(A, M, N):
    rows, vals = A.rows, A.data
    if not (isinstance(rows, np.ndarray) and isinstance(vals, np.ndarray)
            and rows.shape == (M,) and vals.shape == (M,)):
        raise ValueError("LIL rows and data must be arrays of one list per row")
    try:
        lengths = np.fromiter((len(r) for r in rows), dtype=np.int64, count=M)
        if not all(len(v) == n for v, n in zip(vals, lengths.tolist())):
            raise ValueError("LIL rows and data lists differ in length")
    except TypeError:
        raise ValueError("LIL rows and data must hold one list per row") from None
    nnz = int(lengths.sum())
    try:
        col = np.array(list(chain.from_iterable(rows)))
    except (TypeError, ValueError, OverflowError):
        raise ValueError("LIL column indices must be integers") from None
    if nnz == 0:
        col = np.zeros(0, np.int64)
    col = _coordinate_vector(col, "column")
    row = np.repeat(np.arange(M, dtype=np.int64), lengths)
    return row, col, _numeric_vector(list(chain.from_iterable(vals)), A.dtype, nnz)


def _dok_coordinates(A, M, N):
    try:
        items = list(A.items())
        keys = [key for key, _ in items]
    except (TypeError, ValueError):
        raise ValueError("DOK entries must be (key, value) pairs") from None
    values = [value for _, value in items]
    if not keys:
        empty = np.zeros(0, np.int64)
        return empty, empty, _numeric_vector([], A.dtype, 0)
    try:
        coords = np.array(keys)
    except (TypeError, ValueError, OverflowError):
        coords = None
    if coords is None or coords.shape != (len(keys), 2) or coords.dtype.kind not in "iu":
        raise ValueError("DOK keys must be pairs of integers (row, column)")
    return (_index_array(coords[:, 0], "row", False), _index_array(coords[:, 1], "column", False),
            _numeric_vector(values, A.dtype, len(keys)))


_COORDINATES = {"dia": _dia_coordinates, "lil": _lil_coordinates, "dok": _dok_coordinates}


def _checked_conversion(A):
    """Convert a non-CSC sparse object to CSC after checking its structure.

    SciPy's compiled conversions trust the arrays of a sparse object: one built from
    inconsistent arrays would make them read or write out of bounds. So nothing of the
    caller's object reaches them: its arrays are checked in one pass and a new object is
    built from the checked (and aligned) copies or views, then converted.
    """
    M, N = _dimensions(A)
    fmt = A.format
    matrix = isinstance(A, spmatrix)
    if fmt == "csc":
        return _checked_csc(A)
    if fmt == "csr":
        indptr, indices, data = _compressed_parts(A, M, N, "rows")
        if data.ndim != 1:
            raise ValueError(f"data must be one-dimensional, got {data.ndim} dimensions")
        B = _from_parts(csr_matrix if matrix else csr_array, data, indices, indptr, (M, N))
        return _keep_wide_indices(B.tocsc(), indptr.dtype)
    if fmt == "bsr":
        data = np.asarray(A.data)
        if data.ndim != 3:
            raise ValueError(f"BSR data must be three-dimensional, got {data.ndim} dimensions")
        R, C = data.shape[1:]
        if R <= 0 or C <= 0 or M % R or N % C:
            raise ValueError(f"block size {(R, C)} does not divide the shape {(M, N)}")
        indptr, indices, data = _compressed_parts(A, M // R, N // C, "block rows")
        B = _from_parts(bsr_matrix if matrix else bsr_array, data, indices, indptr, (M, N),
                        blocksize=(R, C))
        return _keep_wide_indices(B.tocsc(), indptr.dtype)
    if fmt == "coo":
        row = _coordinate_vector(A.row, "row")
        col = _coordinate_vector(A.col, "column")
        data = np.asarray(A.data)
        _numeric_values(data)
        if data.ndim != 1 or data.shape[0] != row.shape[0]:
            raise ValueError("COO data does not match its coordinates")
        wide = np.dtype(np.int64) if np.int64 in (row.dtype, col.dtype) else None
    else:
        row, col, data = _COORDINATES[fmt](A, M, N)
        _numeric_values(data)
        wide = None
    check_coordinates(row, col, M, N)
    B = (coo_matrix if matrix else coo_array)((_aligned(data), (row, col)), shape=(M, N))
    return _keep_wide_indices(B.tocsc(), wide)


def _from_parts(cls, data, indices, indptr, shape, **kwargs):
    """A compressed object over exactly these checked arrays (the constructor may recast)."""
    B = cls((data, indices, indptr), shape=shape, copy=False, **kwargs)
    if B.indices is not indices or B.indptr is not indptr:
        B.indices = indices
        B.indptr = indptr
    return B


def _keep_wide_indices(B, itype):
    """int64 index arrays of the caller give int64 index arrays after the conversion."""
    if itype == np.int64 and B.indptr.dtype != np.int64:
        B.indptr = B.indptr.astype(np.int64)
        B.indices = B.indices.astype(np.int64)
    return B


def validate_csc_input(A, require_square=False):
    """Validate a matrix and return it in compressed sparse column form.

    Parameters
    ----------
    A : sparse matrix or array_like
        A SciPy sparse array or matrix in any format, or a dense 2-D array-like
        of numbers.
    require_square : bool, optional
        Refuse a matrix whose number of rows differs from its number of columns.

    Returns
    -------
    A : csc_array or csc_matrix
        A structurally valid CSC matrix: column pointers start at 0, never
        decrease and end at ``nnz``; row indices lie in range, sorted and without
        duplicates within each column. ``indptr`` and ``indices`` are contiguous
        and share one dtype, int32 or int64. A CSC input that already satisfies
        all this is returned as is, without copying any array; an unsorted or
        duplicated one is returned as a canonical copy (the input is never
        sorted in place).
    dtype : numpy.dtype
        The dtype of the values.
    itype : numpy.dtype
        The index dtype (int32 or int64) of ``indptr`` and ``indices``.

    Raises
    ------
    ValueError
        If `A` cannot be converted, is structurally invalid, is not
        two-dimensional, holds non-numeric values, or is not square while
        `require_square` is true.
    TypeError
        If `A` is a sparse object of a format other than CSC, CSR, BSR, COO,
        DIA, LIL or DOK.

    Notes
    -----
    The structure of a non-CSC object is checked in one pass over its entries
    before any of SciPy's compiled conversions sees it, and the conversion
    starts from a new object built from the checked arrays. Index or value
    arrays that are not aligned for their type (views into byte buffers) are
    copied, never read in place.

    Warns
    -----
    SparseEfficiencyWarning
        When `A` is not in CSC form and has to be converted.
    """
    if type(A) in _CSC_TYPES:
        result = csc_fast_path(A, require_square)
        if result is not None:
            return result
    return _validate_general(A, require_square, 3)


def _validate_general(A, require_square, stacklevel):
    """validate_csc_input for what the compiled fast path does not take.

    The extension modules call this directly once their own fast path (the same
    compiled code as ``csc_fast_path``) has declined `A`; `stacklevel` makes the
    conversion warnings name the user's line.
    """
    if issparse(A):
        fmt = getattr(A, "format", None)
        if fmt not in _FORMATS:
            raise TypeError(f"A is a sparse object of format {fmt!r}, which ferrow does not "
                            f"know; the formats it converts are {', '.join(_FORMATS)}")
        if A.ndim != 2:
            raise ValueError(f"A must be two-dimensional, got {A.ndim} dimensions")
        if A.format == "csc":
            A = _checked_csc(A)
        else:
            warnings.warn(
                f"Converting a {A.format} matrix to CSC format; pass a CSC matrix to avoid the copy.",
                SparseEfficiencyWarning, stacklevel=stacklevel,
            )
            A = _checked_csc(_checked_conversion(A))
    else:
        try:
            dense = np.asarray(A)
        except Exception as exc:
            raise ValueError(
                f"A must be a sparse matrix or an array-like convertible to one, got {type(A).__name__}"
            ) from exc
        if dense.ndim != 2:
            raise ValueError(f"A must be two-dimensional, got {dense.ndim} dimensions")
        _numeric_values(dense)
        warnings.warn(
            "Converting a dense array to CSC format; pass a CSC matrix to avoid the conversion.",
            SparseEfficiencyWarning, stacklevel=stacklevel,
        )
        A = _checked_csc(csc_array(dense))
    if require_square and A.shape[0] != A.shape[1]:
        raise ValueError(f"A must be square, got shape {A.shape}")
    return A, A.data.dtype, A.indptr.dtype
