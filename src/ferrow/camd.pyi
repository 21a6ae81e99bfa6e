from dataclasses import dataclass
from typing import Any, Literal, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "CAMDError",
    "CAMDInvalidMatrixError",
    "CAMDMemoryError",
    "CAMDInfo",
    "camd",
    "camd_default_control",
]

class CAMDError(Exception): ...
class CAMDInvalidMatrixError(CAMDError): ...
class CAMDMemoryError(CAMDError): ...

@dataclass(frozen=True)
class CAMDInfo:
    status: int
    N: int
    nz: int
    symmetry: float
    nzdiag: int
    nz_A_plus_AT: int
    Ndense: int
    memory: float
    Ncmpa: int
    Lnz: int
    Ndiv: int
    Nmultsubs_LDL: int
    Nmultsubs_LU: int
    dmax: int
    @classmethod
    def from_array(cls, info: np.ndarray) -> CAMDInfo: ...

@overload
def camd(A: Any, constraints: ArrayLike | None = ..., dense_thresh: float | None = ...,
         aggressive: bool | None = ..., return_info: Literal[False] = ...) -> NDArray[np.integer]: ...
@overload
def camd(A: Any, constraints: ArrayLike | None = ..., dense_thresh: float | None = ...,
         aggressive: bool | None = ..., *, return_info: Literal[True]
         ) -> NDArray[np.integer] | tuple[NDArray[np.integer], CAMDInfo]: ...
def camd_default_control() -> dict[str, float | bool]: ...
def _camd_order(N: int, Ap: NDArray[np.integer], Ai: NDArray[np.integer], p: NDArray[np.integer],
                ctrl: NDArray[np.float64], info: NDArray[np.float64],
                constraints: NDArray[np.integer] | None = ...) -> None: ...
