from typing import Any

import numpy as np

__all__ = [
    "validate_csc_input",
]

def validate_csc_input(A: Any, require_square: bool = ...) -> tuple[Any, np.dtype[Any], np.dtype[Any]]: ...
