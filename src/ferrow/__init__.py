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
"""

import importlib as _importlib

__version__ = "0.5.0"

_SUBMODULES = ("amd", "btf", "camd", "ccolamd", "cholmod", "colamd", "spqr", "utils")

__all__ = ["__version__", *_SUBMODULES]


def __getattr__(name):
    if name in _SUBMODULES:
        return _importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted({*globals(), *_SUBMODULES})
