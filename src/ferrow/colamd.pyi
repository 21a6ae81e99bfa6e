from dataclasses import dataclass
from typing import Any, Literal, overload

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "COLAMDError",
    "COLAMDValueError",
    "COLAMDMemoryError",
    "COLAMDInternalError",
    "COLAMDStats",
    "colamd",
    "symamd",
    "colamd_get_defaults",
]

class COLAMDError(Exception): ...
class COLAMDValueError(COLAMDError, ValueError): ...
class COLAMDMemoryError(COLAMDError, MemoryError): ...
class COLAMDInternalError(COLAMDError, RuntimeError): ...

@dataclass(frozen=True)
class COLAMDStats:
    N_rows_ignored: int
    N_cols_ignored: int
    Ncmpa: int
    status: int
    info1: int
    info2: int
    info3: int
    @classmethod
    def from_array(cls, stats: np.ndarray) -> COLAMDStats: ...

@overload
def colamd(A: Any, dense_row_thresh: float | None = ..., dense_col_thresh: float | None = ...,
           aggressive: bool | None = ..., return_info: Literal[False] = ...
           ) -> NDArray[np.integer]: ...
@overload
def colamd(A: Any, dense_row_thresh: float | None = ..., dense_col_thresh: float | None = ...,
           aggressive: bool | None = ..., *, return_info: Literal[True]
           ) -> NDArray[np.integer] | tuple[NDArray[np.integer], COLAMDStats]: ...
@overload
def symamd(A: Any, dense_row_thresh: float | None = ..., dense_col_thresh: float | None = ...,
           aggressive: bool | None = ..., return_info: Literal[False] = ...
           ) -> NDArray[np.integer]: ...
@overload
def symamd(A: Any, dense_row_thresh: float | None = ..., dense_col_thresh: float | None = ...,
           aggressive: bool | None = ..., *, return_info: Literal[True]
           ) -> NDArray[np.integer] | tuple[NDArray[np.integer], COLAMDStats]: ...
def colamd_get_defaults() -> dict[str, np.float64]: ...

def _colamd_base(A: Any, *, is_symmetric: bool = ..., dense_row_thresh: float | None = ...,
                 dense_col_thresh: float | None = ..., aggressive: bool | None = ...,
                 return_info: bool = ...) -> Any: ...
def _colamd(M: int, N: int, Ap: NDArray[np.integer], Ai: NDArray[np.integer],
            perm: NDArray[np.integer], knobs: NDArray[np.float64],
            stats: NDArray[np.integer]) -> None: ...
def _symamd(M: int, N: int, Ap: NDArray[np.integer], Ai: NDArray[np.integer],
            perm: NDArray[np.integer], knobs: NDArray[np.float64],
            stats: NDArray[np.integer]) -> None: ...

_COLAMD_DOC_TEMPLATE: str
_colamd_reftag: str
_colamd_intro: str
_colamd_A_param: str
_colamd_example: str
_symamd_reftag: str
_symamd_intro: str
_symamd_A_param: str
_symamd_example: str
