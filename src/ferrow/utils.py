"""Input validation shared by every ferrow module."""

from __future__ import annotations

import warnings

import numpy as np
from scipy.sparse import SparseEfficiencyWarning, csc_array, csc_matrix, issparse

from ferrow._structure import check_compressed, check_coordinates, csc_fast_path

__all__ = ["validate_csc_input"]

_INDEX_TYPES = (np.dtype(np.int32), np.dtype(np.int64))
_INT32_MAX = np.iinfo(np.int32).max
_CSC_TYPES = (csc_array, csc_matrix)


def _numeric_values(data, what="A"):
    dtype = np.asarray(data).dtype if not hasattr(data, "dtype") else data.dtype
    if dtype.kind not in "biufc":
        raise ValueError(f"{what} must hold numeric values, got dtype {dtype}")


def _index_array(arr, name, fits_int32):
    """Return `arr` as a contiguous int32/int64 array, converting only when needed."""
    arr = np.asarray(arr)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got {arr.ndim} dimensions")
    if arr.dtype in _INDEX_TYPES:
        return np.ascontiguousarray(arr)
    if arr.dtype.kind not in "iu" and arr.size:
        raise ValueError(f"{name} must hold integers, got dtype {arr.dtype}")
    target = np.int32 if fits_int32 else np.int64
    if arr.dtype.kind == "u" and arr.size and arr.max() > np.iinfo(np.int64).max:
        raise ValueError(f"{name} holds values too large for int64")
    return np.ascontiguousarray(arr, dtype=target)


def _csc_from_parts(data, indices, indptr, shape):
    """A csc_array over exactly these arrays (SciPy's constructor may recast indices)."""
    B = csc_array((data, indices, indptr), shape=shape, copy=False)
    if B.indices is not indices or B.indptr is not indptr:
        B.indices = indices
        B.indptr = indptr
    return B


def _checked_csc(A):
    """Check a CSC object's structure; return it, or a canonical copy when needed."""
    M, N = A.shape
    indptr, indices, data = A.indptr, A.indices, A.data
    fits = max(M, N, np.size(indices)) <= _INT32_MAX
    if not (
        isinstance(indptr, np.ndarray) and isinstance(indices, np.ndarray)
        and indptr.dtype == indices.dtype and indptr.dtype in _INDEX_TYPES
        and indptr.ndim == 1 and indices.ndim == 1
        and indptr.flags.c_contiguous and indices.flags.c_contiguous
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
    if canonical:
        if indptr is A.indptr and indices is A.indices:
            return A
        return _csc_from_parts(data, indices, indptr, (M, N))
    # Unsorted row indices or duplicates: sort and sum them in a copy, never in place.
    itype = indptr.dtype
    B = csc_array((data[:nnz].copy(), indices[:nnz].copy(), indptr.copy()), shape=(M, N))
    B.sum_duplicates()
    B.indptr = B.indptr.astype(itype, copy=False)
    B.indices = B.indices.astype(itype, copy=False)
    return B


def _checked_conversion(A):
    """Convert a non-CSC sparse object after checking its structure.

    SciPy's compiled conversions trust ``indptr`` and ``indices``: an object built
    from inconsistent arrays would make them read or write out of bounds.
    """
    M, N = A.shape
    fmt = A.format
    if fmt == "csr":
        fits = max(M, N, np.size(A.indices)) <= _INT32_MAX
        indptr = _index_array(A.indptr, "indptr", fits)
        indices = _index_array(A.indices, "indices", fits)
        if indptr.dtype != indices.dtype:
            indptr, indices = indptr.astype(np.int64), indices.astype(np.int64)
        if len(indptr) != M + 1:
            raise ValueError(f"indptr must have M + 1 = {M + 1} entries, got {len(indptr)}")
        check_compressed(indptr, indices, M, N)
        _numeric_values(A.data)
        if np.asarray(A.data).shape[0] < int(indptr[M]):
            raise ValueError("data holds fewer values than the row pointers need")
        return A.tocsc()
    if fmt == "bsr":
        R, C = A.blocksize
        if R <= 0 or C <= 0 or M % R or N % C:
            raise ValueError(f"block size {A.blocksize} does not divide the shape {A.shape}")
        fits = max(M, N, np.size(A.indices)) <= _INT32_MAX
        indptr = _index_array(A.indptr, "indptr", fits)
        indices = _index_array(A.indices, "indices", fits)
        if indptr.dtype != indices.dtype:
            indptr, indices = indptr.astype(np.int64), indices.astype(np.int64)
        if len(indptr) != M // R + 1:
            raise ValueError(f"indptr must have {M // R + 1} entries, got {len(indptr)}")
        check_compressed(indptr, indices, M // R, N // C)
        data = np.asarray(A.data)
        _numeric_values(data)
        if data.ndim != 3 or data.shape[1:] != (R, C) or data.shape[0] < int(indptr[-1]):
            raise ValueError("BSR data does not match its block structure")
        return A.tocsc()
    if fmt == "csc":
        return _checked_csc(A)
    # COO, and formats whose conversions go through COO (DIA, DOK, LIL).
    coo = A if fmt == "coo" else A.tocoo()
    row, col = np.asarray(coo.row), np.asarray(coo.col)
    check_coordinates(_index_array(row, "row", False), _index_array(col, "col", False), M, N)
    data = np.asarray(coo.data)
    _numeric_values(data)
    if data.ndim != 1 or data.shape[0] != row.shape[0]:
        raise ValueError("COO data does not match its coordinates")
    return coo.tocsc()


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

    Warns
    -----
    SparseEfficiencyWarning
        When `A` is not in CSC form and has to be converted.
    """
    if type(A) in _CSC_TYPES:
        result = csc_fast_path(A, require_square)
        if result is not None:
            return result
    if issparse(A):
        if A.ndim != 2:
            raise ValueError(f"A must be two-dimensional, got {A.ndim} dimensions")
        if A.format == "csc":
            A = _checked_csc(A)
        else:
            warnings.warn(
                f"Converting a {A.format} matrix to CSC format; pass a CSC matrix to avoid the copy.",
                SparseEfficiencyWarning, stacklevel=2,
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
            SparseEfficiencyWarning, stacklevel=2,
        )
        A = _checked_csc(csc_array(dense))
    if require_square and A.shape[0] != A.shape[1]:
        raise ValueError(f"A must be square, got shape {A.shape}")
    return A, A.data.dtype, A.indptr.dtype
