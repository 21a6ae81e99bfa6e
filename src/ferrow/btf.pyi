from typing import Any, Literal, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "maxtrans",
    "strongcomp",
    "btf",
    "btf_q_permutation",
]

_Method = Literal["library", "hopcroft-karp", "pothen-fan", "push-relabel", "auto"]

def maxtrans(A: Any, *, method: _Method | None = "library") -> NDArray[np.integer]: ...
def _maxtrans(M: int, N: int, Ap: NDArray[np.integer], Ai: NDArray[np.integer], maxwork: float,
              jmatch: NDArray[np.integer]) -> None: ...
@overload
def strongcomp(A: Any, q: None = ...) -> tuple[NDArray[np.integer], NDArray[np.integer]]: ...
@overload
def strongcomp(A: Any, q: ArrayLike) -> tuple[NDArray[np.integer], NDArray[np.integer],
                                              NDArray[np.integer]]: ...
def _strongcomp(N: int, Ap: NDArray[np.integer], Ai: NDArray[np.integer],
                q: NDArray[np.integer] | None, p: NDArray[np.integer],
                r: NDArray[np.integer]) -> int: ...
def btf(A: Any, *, method: _Method | None = "library") -> tuple[NDArray[np.integer], NDArray[np.integer], NDArray[np.integer]]: ...
def _btf(N: int, Ap: NDArray[np.integer], Ai: NDArray[np.integer], maxwork: float,
         p: NDArray[np.integer], q: NDArray[np.integer], r: NDArray[np.integer]) -> None: ...
def btf_q_permutation(q: ArrayLike) -> NDArray[Any]: ...
