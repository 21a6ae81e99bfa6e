# --- Module frame, one-shot QR and multiplication in Householder form ---
import warnings as warnings
from typing import Any, Literal, NamedTuple as NamedTuple, SupportsFloat, SupportsIndex, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.sparse import csc_array as csc_array, hstack as hstack, issparse as issparse
from scipy.sparse import sparray, spmatrix

from ferrow.cholmod import _cholmod_sparse_from_csc as _cholmod_sparse_from_csc
from ferrow.utils import validate_csc_input as validate_csc_input

__all__: list[str]

_Sparse = sparray | spmatrix
_Method = Literal["QX", "QTX", "XQ", "XQT"]
_Ordering = Literal["default", "fixed", "natural", "colamd", "cholmod", "amd", "metis", "best",
                    "bestamd"]
_Index = NDArray[np.int32] | NDArray[np.int64]
_Tol = SupportsFloat | SupportsIndex | None

class SPQRWarning(Warning): ...
class SPQRRankDeficiencyWarning(SPQRWarning): ...
class SPQRError(Exception): ...
class SPQRNotInstalledError(SPQRError): ...
class SPQROutOfMemoryError(MemoryError, SPQRError): ...
class SPQROverflowError(SPQRError): ...
class SPQRInvalidInputError(SPQRError): ...
class SPQRGpuProblemError(SPQRError): ...

_SOLVE_DOC_TEMPLATE: str
_A_doc: str
_min2norm_doc: str
_QMULT_DOC_TEMPLATE: str
_qmult_house_doc: str

class SPQRHouseholder(NamedTuple):
    H: csc_array
    tau: np.ndarray
    perm: np.ndarray

@overload
def spqr(A: ArrayLike | _Sparse, *, mode: Literal["full", "economic"] = "full",
         order: _Ordering | None = None, tol: _Tol = None
         ) -> tuple[csc_array, csc_array, _Index | None]: ...
@overload
def spqr(A: ArrayLike | _Sparse, *, mode: Literal["r"], order: _Ordering | None = None,
         tol: _Tol = None) -> tuple[csc_array, _Index | None]: ...
@overload
def spqr(A: ArrayLike | _Sparse, *, mode: Literal["householder"], order: _Ordering | None = None,
         tol: _Tol = None) -> tuple[SPQRHouseholder, csc_array, _Index | None]: ...

@overload
def spqr_qmult(house: SPQRHouseholder | tuple[Any, Any, Any], X: _Sparse,
               method: _Method = "QX") -> csc_array: ...
@overload
def spqr_qmult(house: SPQRHouseholder | tuple[Any, Any, Any], X: ArrayLike,
               method: _Method = "QX") -> NDArray[np.float64] | NDArray[np.complex128]: ...
def _qmult(method: SupportsIndex, H: csc_array,
           tau: NDArray[np.float64] | NDArray[np.complex128], v: _Index,
           X: NDArray[np.float64] | NDArray[np.complex128] | _Sparse
           ) -> NDArray[np.float64] | NDArray[np.complex128] | csc_array: ...

# --- Factor objects, solves and statistics: SPQRInfo, SPQRFactor, spqr_factor, spqr_solve ---
