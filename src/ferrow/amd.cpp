// ferrow.amd: approximate minimum degree ordering (SuiteSparse AMD).
// The module is the template of native/amd_twin.hpp; this file says what is AMD's own.
#include <nanobind/nanobind.h>

#include <amd.h>

#include <cstdint>

#include "native/amd_twin.hpp"
#include "native/module.hpp"

namespace {

FERROW_AMD_TWIN_CHECK(AMD);

struct AMDLibrary {
    static constexpr bool constrained = false;
    static constexpr const char *library = "AMD", *lib = "amd", *article = "an";
    static constexpr const char *all[] = {"AMDError", "AMDInvalidMatrixError", "AMDMemoryError",
                                          "AMDInfo", "amd", "amd_default_control"};
    static constexpr const char *order_name = "_amd_order";

    static void defaults(double *ctrl) { amd_defaults(ctrl); }
    static int order(int32_t n, const int32_t *Ap, const int32_t *Ai, int32_t *P, double *ctrl,
                     double *info, const int32_t * /* AMD takes no constraints */) {
        return amd_order(n, Ap, Ai, P, ctrl, info);
    }
    static int order(int64_t n, const int64_t *Ap, const int64_t *Ai, int64_t *P, double *ctrl,
                     double *info, const int64_t * /* AMD takes no constraints */) {
        return amd_l_order(n, Ap, Ai, P, ctrl, info);
    }

    static constexpr const char *ordering_doc = R"(Approximate minimum degree ordering of a square sparse matrix.

Computes a fill-reducing symmetric permutation `p` such that the Cholesky factor
of ``A[p][:, p]`` has fewer nonzeros than that of `A`. For an unsymmetric `A` the
pattern of ``A + A.T`` is ordered. This is the ordering of `ferrow.camd.camd`
without constraints, computed by the AMD library.

Parameters
----------
A : (N, N) array_like or sparse matrix
    Square matrix; only its pattern is read. Any SciPy sparse format or dense
    array-like is accepted (non-CSC input is converted with a
    ``SparseEfficiencyWarning``).
dense_thresh : float, optional
    Dense-row threshold. Rows or columns of ``A + A.T`` with more than
    ``max(dense_thresh * sqrt(N), 16)`` entries are set aside and placed last;
    a negative threshold sets aside only completely dense ones (N - 1 entries
    off the diagonal); 16 or fewer off-diagonal entries never count as dense. None keeps the library default (10). The value is rounded to
    single precision.
aggressive : bool, optional
    Aggressive absorption (on by default). None keeps the library default.
return_info : bool, optional
    Also return the statistics record. Default False.

Returns
-------
p : (N,) ndarray
    The permutation, of the index type of the validated matrix (int32 or int64).
info : AMDInfo
    Statistics of the ordering, when `return_info` is true and the matrix had
    entries (a matrix without rows or entries gives the bare permutation).

Raises
------
ValueError
    If `A` is not square or cannot be converted.
AMDInvalidMatrixError
    If the library finds the matrix invalid.
AMDMemoryError
    If the library runs out of memory.

See Also
--------
ferrow.camd.camd, ferrow.colamd.symamd, ferrow.colamd.colamd

Examples
--------
>>> import numpy as np
>>> import scipy.sparse as sp
>>> from ferrow.amd import amd
>>> A = sp.csc_array(np.array([[4., 1., 0., 1.],
...                            [1., 4., 1., 0.],
...                            [0., 1., 4., 1.],
...                            [1., 0., 1., 4.]]))
>>> p, info = amd(A, return_info=True)
>>> sorted(p.tolist())
[0, 1, 2, 3]
>>> info.status, info.N, info.nz
(0, 4, 12)
)";

    static constexpr const char *module_doc = R"(Approximate Minimum Degree (AMD) ordering (:mod:`ferrow.amd`)

Interface
---------
amd                  -- fill-reducing ordering of a square matrix
amd_default_control  -- the library's default controls

Exceptions
----------
AMDError              -- Base class for AMD-related errors.
AMDInvalidMatrixError -- Raised when the input matrix is invalid for AMD.
AMDMemoryError        -- Raised when AMD runs out of memory.
AMDInfo               -- Dataclass holding the statistics of an ordering.
)";
};

}  // namespace

FERROW_MODULE(amd, m) { ferrow::amd_twin::Twin<AMDLibrary>::init(m); }
