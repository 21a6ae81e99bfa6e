"""ferrow: fast, safe access to SuiteSparse from Python.

Modules
-------
ferrow.camd     -- constrained approximate minimum degree ordering (CAMD)
ferrow.colamd   -- column approximate minimum degree orderings (COLAMD, SYMAMD)
ferrow.ccolamd  -- constrained column orderings (CCOLAMD, CSYMAMD)
ferrow.btf      -- block triangular form (maximum transversal, strong components)
ferrow.spqr     -- sparse QR factorisation (SuiteSparseQR)
ferrow.utils    -- input validation
ferrow.cholmod  -- NumPy/SciPy <-> CHOLMOD bridge
"""

__version__ = "0.5.0"
