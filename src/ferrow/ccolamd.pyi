from dataclasses import dataclass
from typing import Any, Literal, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "CCOLAMDError",
    "CCOLAMDValueError",
    "CCOLAMDMemoryError",
    "CCOLAMDInternalError",
    "CCOLAMDStats",
    "ccolamd",
    "csymamd",
    "ccolamd_get_defaults",
]

class CCOLAMDError(Exception): ...
class CCOLAMDValueError(CCOLAMDError, ValueError): ...
class CCOLAMDMemoryError(CCOLAMDError, MemoryError): ...
class CCOLAMDInternalError(CCOLAMDError, RuntimeError): ...

@dataclass(frozen=True)
class CCOLAMDStats:
    N_rows_ignored: int
    N_cols_ignored: int
    Ncmpa: int
    status: int
    info1: int
    info2: int
    info3: int
    @classmethod
    def from_array(cls, stats: np.ndarray) -> CCOLAMDStats: ...

@overload
def ccolamd(A: Any, constraints: ArrayLike | None = ..., dense_row_thresh: float | None = ...,
            dense_col_thresh: float | None = ..., aggressive: bool | None = ...,
            opt_lu: Literal["lu", "cholesky"] | None = ..., return_info: Literal[False] = ...
            ) -> NDArray[np.integer]: ...
@overload
def ccolamd(A: Any, constraints: ArrayLike | None = ..., dense_row_thresh: float | None = ...,
            dense_col_thresh: float | None = ..., aggressive: bool | None = ...,
            opt_lu: Literal["lu", "cholesky"] | None = ..., *, return_info: Literal[True]
            ) -> NDArray[np.integer] | tuple[NDArray[np.integer], CCOLAMDStats]: ...
@overload
def csymamd(A: Any, constraints: ArrayLike | None = ..., dense_row_thresh: float | None = ...,
            dense_col_thresh: float | None = ..., aggressive: bool | None = ...,
            return_info: Literal[False] = ...) -> NDArray[np.integer]: ...
@overload
def csymamd(A: Any, constraints: ArrayLike | None = ..., dense_row_thresh: float | None = ...,
            dense_col_thresh: float | None = ..., aggressive: bool | None = ..., *,
            return_info: Literal[True]
            ) -> NDArray[np.integer] | tuple[NDArray[np.integer], CCOLAMDStats]: ...
def ccolamd_get_defaults() -> dict[str, np.float64 | str]: ...

def _ccolamd_base(A: Any, *, constraints: ArrayLike | None = ..., is_symmetric: bool = ...,
                  dense_row_thresh: float | None = ..., dense_col_thresh: float | None = ...,
                  aggressive: bool | None = ..., opt_lu: str | None = ...,
                  return_info: bool = ...) -> Any: ...
def _ccolamd(M: int, N: int, Ap: NDArray[np.integer], Ai: NDArray[np.integer],
             perm: NDArray[np.integer], knobs: NDArray[np.float64], stats: NDArray[np.integer],
             constraints: NDArray[np.integer] | None = ...) -> None: ...
def _csymamd(N: int, Ap: NDArray[np.integer], Ai: NDArray[np.integer],
             perm: NDArray[np.integer], knobs: NDArray[np.float64], stats: NDArray[np.integer],
             constraints: NDArray[np.integer] | None = ...) -> None: ...

_CCOLAMD_DOC_TEMPLATE: str
ccolamd_reftag: str
ccolamd_intro: str
ccolamd_A_param: str
ccolamd_opt_lu_param: str
_ccolamd_example: str
csymamd_reftag: str
csymamd_intro: str
csymamd_A_param: str
_csymamd_example: str
