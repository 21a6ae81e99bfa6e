from typing import Any, ClassVar, Literal, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__: list[str]

class AMDError(Exception): ...
class AMDInvalidMatrixError(AMDError): ...
class AMDMemoryError(AMDError): ...

class AMDInfo:
    __dataclass_fields__: ClassVar[dict[str, Any]]
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
    def __init__(self, status: int, N: int, nz: int, symmetry: float, nzdiag: int,
                 nz_A_plus_AT: int, Ndense: int, memory: float, Ncmpa: int, Lnz: int,
                 Ndiv: int, Nmultsubs_LDL: int, Nmultsubs_LU: int, dmax: int) -> None: ...
    @classmethod
    def from_array(cls, info: np.ndarray) -> AMDInfo: ...

@overload
def amd(A: Any, dense_thresh: float | None = ...,
        aggressive: bool | None = ..., return_info: Literal[False] = ...) -> NDArray[np.integer]: ...
@overload
def amd(A: Any, dense_thresh: float | None = ...,
        aggressive: bool | None = ..., *, return_info: Literal[True]
        ) -> NDArray[np.integer] | tuple[NDArray[np.integer], AMDInfo]: ...
def amd_default_control() -> dict[str, float | bool]: ...
def _amd_order(N: int, Ap: NDArray[np.integer], Ai: NDArray[np.integer], p: NDArray[np.integer],
               ctrl: NDArray[np.float64], info: NDArray[np.float64]) -> None: ...
