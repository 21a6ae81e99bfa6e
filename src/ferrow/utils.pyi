from typing import Any

import numpy as np

__all__: list[str]

def validate_csc_input(A: Any, require_square: bool = ...) -> tuple[Any, np.dtype[Any], np.dtype[Any]]: ...
