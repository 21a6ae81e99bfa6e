"""ferrow: fast, safe access to SuiteSparse from Python.

Modules
-------
ferrow.amd      -- approximate minimum degree ordering (AMD)
ferrow.camd     -- constrained approximate minimum degree ordering (CAMD)
ferrow.colamd   -- column approximate minimum degree orderings (COLAMD, SYMAMD)
ferrow.ccolamd  -- constrained column orderings (CCOLAMD, CSYMAMD)
ferrow.btf      -- block triangular form (maximum transversal, strong components)
ferrow.spqr     -- sparse QR factorisation (SuiteSparseQR)
ferrow.utils    -- input validation
ferrow.cholmod  -- NumPy/SciPy <-> CHOLMOD bridge

The submodules are imported on first use, so ``import ferrow`` is cheap and
``ferrow.spqr.spqr(A)`` works without importing ``ferrow.spqr`` first.

Threads
-------
release_gil, releasing_gil, get_release_gil -- let library calls run without
the interpreter lock (off by default).
"""

import importlib as _importlib
from typing import TYPE_CHECKING

if TYPE_CHECKING:  # what __getattr__ gives, for type checkers
    from ferrow import amd, btf, camd, ccolamd, cholmod, colamd, spqr, utils
    from ferrow._threads import get_release_gil, release_gil, releasing_gil

__version__ = "0.5.0"

# Spelled out for type checkers: the submodules, then the thread switch.
__all__ = [
    "__version__",
    "amd",
    "btf",
    "camd",
    "ccolamd",
    "cholmod",
    "colamd",
    "spqr",
    "utils",
    "get_release_gil",
    "release_gil",
    "releasing_gil",
]

_SUBMODULES = tuple(__all__[1:9])

# The thread switch, from ferrow._threads (imported on first use too).
_THREAD_NAMES = tuple(__all__[9:])


def __getattr__(name):
    if name in _SUBMODULES:
        return _importlib.import_module(f"{__name__}.{name}")
    if name in _THREAD_NAMES:
        return getattr(_importlib.import_module(f"{__name__}._threads"), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted({*globals(), *_SUBMODULES, *_THREAD_NAMES})
