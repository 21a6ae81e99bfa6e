from typing import Any

import numpy as np
from numpy.typing import NDArray
from scipy.sparse import csc_array

_C_API: Any
sizeof_cholmod_sparse: int
sizeof_cholmod_dense: int

def _cholmod_sparse_from_csc(shape: tuple[int, int], indptr: NDArray[np.integer],
                             indices: NDArray[np.integer], data: NDArray[np.inexact],
                             stype: int, address: bytearray | memoryview | NDArray[Any]) -> None: ...
def _csc_from_arrays(data: NDArray[Any], indices: NDArray[np.integer],
                     indptr: NDArray[np.integer], shape: tuple[int, int]) -> csc_array: ...
def _sparse_roundtrip(A: csc_array) -> csc_array: ...
def _dense_roundtrip(X: NDArray[np.inexact], use_int32: bool = ...) -> NDArray[np.inexact]: ...
def _copy_from_intptr(array: NDArray[np.integer]) -> NDArray[np.integer]: ...
