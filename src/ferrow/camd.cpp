// ferrow.camd: constrained approximate minimum degree ordering (SuiteSparse CAMD).
// The module is the template of native/amd_twin.hpp; this file says what is CAMD's own.
#include <nanobind/nanobind.h>

#include <camd.h>

#include <cstdint>

#include "native/amd_twin.hpp"
#include "native/module.hpp"

namespace {

FERROW_AMD_TWIN_CHECK(CAMD);

struct CAMDLibrary {
    static constexpr bool constrained = true;
    static constexpr const char *library = "CAMD", *lib = "camd", *article = "a";
    static constexpr const char *all[] = {"CAMDError", "CAMDInvalidMatrixError", "CAMDMemoryError",
                                          "CAMDInfo", "camd", "camd_default_control"};
    static constexpr const char *order_name = "_camd_order";

    static void defaults(double *ctrl) { camd_defaults(ctrl); }
    static int order(int32_t n, const int32_t *Ap, const int32_t *Ai, int32_t *P, double *ctrl,
                     double *info, const int32_t *C) {
        return camd_order(n, Ap, Ai, P, ctrl, info, C);
    }
    static int order(int64_t n, const int64_t *Ap, const int64_t *Ai, int64_t *P, double *ctrl,
                     double *info, const int64_t *C) {
        return camd_l_order(n, Ap, Ai, P, ctrl, info, C);
    }

    static constexpr const char *ordering_doc = R"(Constrained approximate minimum degree ordering of a square sparse matrix.

Computes a fill-reducing symmetric permutation `p` such that the Cholesky factor
of ``A[p][:, p]`` has fewer nonzeros than that of `A`. For an unsymmetric `A` the
pattern of ``A + A.T`` is ordered. An optional constraint vector assigns each node
a group number: all nodes of group 0 come first in `p`, then group 1, and so on.

Parameters
----------
A : (N, N) array_like or sparse matrix
    Square matrix; only its pattern is read. Any SciPy sparse format or dense
    array-like is accepted (non-CSC input is converted with a
    ``SparseEfficiencyWarning``).
constraints : (N,) array_like of int, optional
    Group number of every node, each in ``0 .. N-1``. None (default) puts every
    node in the same group.
dense_thresh : float, optional
    Dense-row threshold. Rows or columns of ``A + A.T`` with more than
    ``max(dense_thresh * sqrt(N), 16)`` entries are set aside and placed last;
    a negative threshold sets none aside; 16 or fewer off-diagonal entries never
    count as dense. None keeps the library default (10). The value is rounded to
    single precision.
aggressive : bool, optional
    Aggressive absorption (on by default). None keeps the library default.
return_info : bool, optional
    Also return the statistics record. Default False.

Returns
-------
p : (N,) ndarray
    The permutation, of the index type of the validated matrix (int32 or int64).
info : CAMDInfo
    Statistics of the ordering, when `return_info` is true. A matrix without
    entries is answered without the library: its nodes in the order of their
    constraint sets (natural order within a set) and the statistics the library
    reports for such a matrix.

Raises
------
ValueError
    If `A` is not square or cannot be converted, or `constraints` has the
    wrong length.
TypeError
    If `constraints` is not an array of integers.
CAMDInvalidMatrixError
    If the library finds the matrix or the constraints invalid.
CAMDMemoryError
    If the library runs out of memory.

See Also
--------
ferrow.amd.amd, ferrow.colamd.colamd, ferrow.ccolamd.ccolamd

Examples
--------
>>> import numpy as np
>>> import scipy.sparse as sp
>>> from ferrow.camd import camd
>>> A = sp.csc_array(np.array([[4., 1., 0., 1.],
...                            [1., 4., 1., 0.],
...                            [0., 1., 4., 1.],
...                            [1., 0., 1., 4.]]))
>>> p, info = camd(A, return_info=True)
>>> sorted(p.tolist())
[0, 1, 2, 3]
>>> info.status, info.N, info.nz
(0, 4, 12)
>>> sorted(camd(A, constraints=[1, 1, 0, 0]).tolist()[:2])  # group 0 first
[2, 3]
)";

    static constexpr const char *module_doc = R"(Constrained Approximate Minimum Degree (CAMD) ordering (:mod:`ferrow.camd`)

Interface
---------
camd                  -- fill-reducing ordering of a square matrix, with constraints
camd_default_control  -- the library's default controls

Exceptions
----------
CAMDError              -- Base class for CAMD-related errors.
CAMDInvalidMatrixError -- Raised when the input matrix is invalid for CAMD.
CAMDMemoryError        -- Raised when CAMD runs out of memory.
CAMDInfo               -- Dataclass holding the statistics of an ordering.
)";
};

}  // namespace

FERROW_MODULE(camd, m) { ferrow::amd_twin::Twin<CAMDLibrary>::init(m); }
