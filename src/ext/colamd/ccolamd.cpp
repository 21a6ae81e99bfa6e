// ferrow.ccolamd: constrained column and symmetric approximate minimum degree orderings
// (SuiteSparse CCOLAMD). The module is the shared column-ordering template; this file says
// what is CCOLAMD's own: its routines, the factorisation-target knob, constraints, names
// and texts.
#include <nanobind/nanobind.h>

#include <ccolamd.h>

#include <cstdint>

#include "colamd/colamd_twin.hpp"

using namespace ferrow;
using namespace ferrow::colamd_twin;

namespace {

static_assert(CCOLAMD_STATUS == status_slot && CCOLAMD_OK == 0 && CCOLAMD_OK_BUT_JUMBLED == 1 &&
              CCOLAMD_ERROR_A_not_present == -1 && CCOLAMD_ERROR_p_not_present == -2 &&
              CCOLAMD_ERROR_nrow_negative == -3 && CCOLAMD_ERROR_ncol_negative == -4 &&
              CCOLAMD_ERROR_nnz_negative == -5 && CCOLAMD_ERROR_p0_nonzero == -6 &&
              CCOLAMD_ERROR_A_too_small == -7 && CCOLAMD_ERROR_col_length_negative == -8 &&
              CCOLAMD_ERROR_row_index_out_of_bounds == -9 &&
              CCOLAMD_ERROR_out_of_memory == status_out_of_memory &&
              CCOLAMD_ERROR_internal_error == status_internal_error,
              "the status table follows the library's codes");

const char *ccolamd_doc_template = R"(
{intro}

Parameters
----------
{A_param}
constraints : (N,) array_like, optional
    One constraint per column, each in the range 0 to N-1. All columns with
    constraint 0 are ordered first, then those with constraint 1, and so
    on, so that the constraints permuted by the result are non-decreasing.
    None means no constraints, which gives an ordering like
    `ferrow.colamd.colamd`, except that the default knob values may differ.
dense_row_thresh, dense_col_thresh : float, optional
    Thresholds for dense rows and columns. None means the library default,
    which is 10. `ccolamd` ignores a row with more than
    ``max(dense_row_thresh * sqrt(N), 16)`` entries and a column with more
    than ``max(dense_col_thresh * sqrt(min(M, N)), 16)`` entries during the
    ordering and places such columns last (subject to the constraints).
    `csymamd` applies ``max(dense_row_thresh * sqrt(N), 16)`` to the rows
    and columns of `A` and does not use `dense_col_thresh`. A negative
    threshold sets aside only completely dense rows or columns. The values
    are rounded to single precision.
aggressive : bool, optional
    Whether to perform aggressive absorption. None means the library
    default, True.
{opt_lu_param}

Returns
-------
q : (N,) numpy.ndarray
    The permutation, with the index type (int32 or int64) of the validated
    matrix.
stats : CCOLAMDStats, optional
    Statistics about the ordering, returned when `return_info` is true.
    Matrices without rows, columns or entries are answered without the
    library: their columns in the order of their constraint sets (natural
    order within a set) and the statistics the library reports for them.

See Also
--------
{see_also}

.. versionadded:: 0.5.0

References
----------
.. {reftag}
   ``ccolamd.c``, the source file of the SuiteSparse CCOLAMD library.

Examples
--------
{example}
)";

const char *ccolamd_intro_head = R"(Compute the column approximate minimum degree ordering of
a sparse matrix.

Adapted from the CCOLAMD documentation )";

const char *ccolamd_intro_tail = R"(_:

    The ordering serves the LU factorisation of symmetric or unsymmetric
    matrices, QR factorisation, least-squares problems and interior-point
    methods for linear programming. CCOLAMD finds a column permutation Q
    such that the Cholesky factor of (AQ)ᵀ(AQ) has less fill-in and needs
    fewer floating-point operations than that of AᵀA, while honouring the
    constraints. The same Q is a good column order for sparse partial
    pivoting, P(AQ) = LU, where Q is computed before the numerical
    factorisation and P during it, by ordinary partial pivoting with row
    interchanges.)";

const char *ccolamd_A_param = R"(A : (M, N) {array_like, sparse matrix}
    2-D matrix whose pattern is ordered; it is converted to CSC format if
    necessary (with a ``SparseEfficiencyWarning``). It need not be square.)";

const char *ccolamd_opt_lu_param = R"(opt_lu : {'lu', 'cholesky'}, optional
    "lu" optimises the ordering for the LU factorisation of `A`, "cholesky"
    for the Cholesky factorisation of AᵀA. None means the library default,
    "cholesky".)";

const char *ccolamd_example = R"(>>> import numpy as np
>>> from scipy.sparse import random_array
>>> from ferrow.ccolamd import ccolamd
>>> rng = np.random.default_rng(56)
>>> A = random_array((11, 8), density=0.5, format="csc", rng=rng)
>>> A.setdiag(11)
>>> C = np.full(8, 4)
>>> C[:4] = [0, 1, 2, 3]
>>> q, stats = ccolamd(A, constraints=C, return_info=True)
>>> q
array([0, 1, 2, 3, 4, 7, 6, 5], dtype=int32)
>>> stats
CCOLAMDStats(N_rows_ignored=0, N_cols_ignored=0, Ncmpa=0, status=0, info1=-1, info2=-1, info3=0))";

const char *csymamd_intro_head = R"(Compute the symmetric approximate minimum degree ordering of
a sparse symmetric matrix.

Adapted from the CCOLAMD documentation )";

const char *csymamd_intro_tail = R"(_:

    CSYMAMD orders a symmetric matrix A for the Cholesky factorisation of
    PAPᵀ while honouring the constraints. It builds a matrix M such that
    MᵀM has the same nonzero pattern as A and orders the columns of M with
    CCOLAMD; the column order of M is the symmetric permutation P of A.)";

const char *csymamd_A_param = R"(A : (N, N) array_like or sparse matrix
    2-D square matrix; it is converted to CSC format if necessary (with a
    ``SparseEfficiencyWarning``). Only the lower triangular part of `A` is
    accessed; it is assumed to be symmetric.)";

const char *csymamd_example = R"(>>> import numpy as np
>>> from scipy.sparse import csc_array, random_array
>>> from ferrow.ccolamd import csymamd
>>> rng = np.random.default_rng(56)
>>> A = random_array((11, 8), density=0.5, format="csc", rng=rng)
>>> A.setdiag(11)
>>> S = csc_array(A.T @ A)
>>> C = np.full(8, 4)
>>> C[:4] = [0, 1, 2, 3]
>>> p, stats = csymamd(S, constraints=C, return_info=True)
>>> p
array([0, 1, 2, 3, 7, 6, 5, 4], dtype=int32)
>>> stats
CCOLAMDStats(N_rows_ignored=0, N_cols_ignored=0, Ncmpa=0, status=0, info1=-1, info2=-1, info3=0))";

struct CcolamdTraits {
    static constexpr const char *library = "CCOLAMD";
    static constexpr const char *source_file = "ccolamd.c";
    static constexpr bool constrained = true;
    // CCOLAMD and CSYMAMD count only dense rows and columns as ignored.
    static constexpr bool counts_empty_as_ignored = false;

    static constexpr const char *all[] = {"CCOLAMDError",  "CCOLAMDValueError",
                                          "CCOLAMDMemoryError", "CCOLAMDInternalError",
                                          "CCOLAMDStats",  "ccolamd",
                                          "csymamd",       "ccolamd_get_defaults"};
    static constexpr const char *error_doc = "Base class for CCOLAMD errors.";
    static constexpr const char *value_error_doc = "Raised when CCOLAMD encounters a value error.";
    static constexpr const char *memory_error_doc = "Raised when CCOLAMD runs out of memory.";
    static constexpr const char *internal_error_doc =
        "Raised when CCOLAMD encounters an internal error.";

    static constexpr int knob_count = CCOLAMD_KNOBS;
    static constexpr int stats_count = CCOLAMD_STATS;
    static constexpr int dense_row_slot = CCOLAMD_DENSE_ROW;
    static constexpr int dense_col_slot = CCOLAMD_DENSE_COL;
    static constexpr int aggressive_slot = CCOLAMD_AGGRESSIVE;
    static constexpr int lu_slot = CCOLAMD_LU;
    static void set_defaults(double *knobs) { ccolamd_set_defaults(knobs); }

    template <class I> struct Routines;

    // Failure statuses the library reports beyond the message table.
    static const char *extra_status_text(int64_t status) {
        return status == CCOLAMD_ERROR_invalid_cmember ? "constraints are invalid" : nullptr;
    }

    static constexpr const char *base_name = "_ccolamd_base";
    static constexpr const char *column_wrapper_name = "_ccolamd";
    static constexpr const char *symmetric_wrapper_name = "_csymamd";
    static constexpr const char *template_name = "_CCOLAMD_DOC_TEMPLATE";
    static inline const char *doc_template = ccolamd_doc_template;
    static inline const FunctionDoc column_doc = {
        {"ccolamd_reftag", "[#ccolamd_c]"}, {"ccolamd_intro", ccolamd_intro_head},
        ccolamd_intro_tail, {"ccolamd_A_param", ccolamd_A_param},
        {"ccolamd_opt_lu_param", ccolamd_opt_lu_param}, {"_ccolamd_example", ccolamd_example},
        "csymamd, ~ferrow.colamd.colamd, ~ferrow.colamd.symamd"};
    static inline const FunctionDoc symmetric_doc = {
        {"csymamd_reftag", "[#csymamd_c]"}, {"csymamd_intro", csymamd_intro_head},
        csymamd_intro_tail, {"csymamd_A_param", csymamd_A_param}, {nullptr, ""},
        {"_csymamd_example", csymamd_example},
        "ccolamd, ~ferrow.colamd.colamd, ~ferrow.colamd.symamd"};

    static constexpr const char *base_doc = R"(The shared body of `ccolamd` and `csymamd`.

Validates `A`, answers trivial shapes, fills the knobs, converts the constraints
and calls `_ccolamd` or (with `is_symmetric` true) `_csymamd`. Returns ``q`` or
``(q, CCOLAMDStats)``.)";

    static constexpr const char *column_wrapper_doc = R"(Call the library's CCOLAMD ordering on raw arrays.

The element type of `Ap` selects ``ccolamd`` (int32) or ``ccolamd_l`` (int64); all
integer arrays must share it. `Ap`, `Ai` and `constraints` are left unchanged: the
library works on a copy of the row indices of the length it recommends.

Parameters
----------
M, N : int
    Number of rows and columns.
Ap : (N + 1,) ndarray of int32 or int64
    Column pointers.
Ai : (nnz,) ndarray
    Row indices.
perm : (N + 1,) ndarray
    Receives the column ordering in its first N entries.
knobs : (CCOLAMD_KNOBS,) ndarray of float64
    The library's knobs (CCOLAMD_KNOBS is 20).
stats : (CCOLAMD_STATS,) ndarray
    Receives the library's statistics (CCOLAMD_STATS is 20).
constraints : (N,) ndarray, optional
    Constraint of every column, each in 0..N-1.
)";

    static constexpr const char *symmetric_wrapper_doc = R"(Call the library's CSYMAMD ordering on raw arrays.

The element type of `Ap` selects ``csymamd`` (int32) or ``csymamd_l`` (int64); all
integer arrays must share it. Only the lower triangular part is read.

Parameters
----------
N : int
    Number of rows and columns.
Ap : (N + 1,) ndarray of int32 or int64
    Column pointers.
Ai : (nnz,) ndarray
    Row indices.
perm : (N + 1,) ndarray
    Receives the symmetric permutation in its first N entries.
knobs : (CCOLAMD_KNOBS,) ndarray of float64
    The library's knobs (CCOLAMD_KNOBS is 20).
stats : (CCOLAMD_STATS,) ndarray
    Receives the library's statistics (CCOLAMD_STATS is 20).
constraints : (N,) ndarray, optional
    Constraint of every row and column, each in 0..N-1.
)";

    static constexpr const char *defaults_doc = R"(Get the default knobs for CCOLAMD.

Returns
-------
knobs : dict
    The library's defaults under four keys:

    dense_row_thresh : float
        A row with more than ``max(dense_row_thresh * sqrt(N), 16)`` entries
        is ignored during the ordering (default 10).
    dense_col_thresh : float
        Like `dense_row_thresh`, but for columns.
    aggressive : float
        Non-zero for aggressive absorption (default 1.0).
    opt_lu : str
        "lu" when the ordering targets LU factorisation, "cholesky" when it
        targets the Cholesky factorisation of AᵀA (default "cholesky").
)";

    static constexpr const char *module_doc = R"(
Constrained Column Approximate Minimum Degree (CCOLAMD) Ordering (:mod:`ferrow.ccolamd`)
========================================================================================

.. versionadded:: 0.5.0

Fill-reducing orderings of the SuiteSparse CCOLAMD library with ordering
constraints: a column ordering of a matrix of any shape, optimised for LU or for
Cholesky factorisation of AᵀA, and a symmetric ordering of a symmetric matrix.
Every column carries a constraint number; columns with smaller numbers come first.

Interface
---------

   ccolamd - Constrained column approximate minimum degree ordering of a matrix of any shape.
   csymamd - Constrained symmetric approximate minimum degree ordering of a symmetric matrix.
   ccolamd_get_defaults - Function to get the default knobs for CCOLAMD.

Exceptions and Warnings
-----------------------

   CCOLAMDError - Base class for CCOLAMD errors.
   CCOLAMDValueError - Raised when CCOLAMD encounters a value error.
   CCOLAMDMemoryError - Raised when CCOLAMD runs out of memory.
   CCOLAMDInternalError - Raised when CCOLAMD encounters an internal error.
   CCOLAMDStats - Dataclass containing statistics about the ordering.

References
----------
.. [1] T. A. Davis, J. R. Gilbert, S. I. Larimore and E. G. Ng, "A column
   approximate minimum degree ordering algorithm", ACM Transactions on
   Mathematical Software, vol. 30, no. 3, 2004, pp. 353-376.
.. [2] T. A. Davis, J. R. Gilbert, S. I. Larimore and E. G. Ng, "Algorithm 836:
   COLAMD, a column approximate minimum degree ordering algorithm", ACM
   Transactions on Mathematical Software, vol. 30, no. 3, 2004, pp. 377-380.
)";
};

// The library declares its constraint arrays non-const but only reads them.
template <> struct CcolamdTraits::Routines<int32_t> {
    using I = int32_t;
    static size_t recommended(I nnz, I m, I n) { return ccolamd_recommended(nnz, m, n); }
    static int column(I m, I n, I alen, I *A, I *p, double *knobs, I *stats, const I *cmember) {
        return ccolamd(m, n, alen, A, p, knobs, stats, const_cast<I *>(cmember));
    }
    static int symmetric(I n, I *A, I *p, I *perm, double *knobs, I *stats,
                         void *(*allocate)(size_t, size_t), void (*release)(void *),
                         const I *cmember) {
        return csymamd(n, A, p, perm, knobs, stats, allocate, release, const_cast<I *>(cmember),
                       -1);  // -1: use the lower triangular part
    }
};

template <> struct CcolamdTraits::Routines<int64_t> {
    using I = int64_t;
    static size_t recommended(I nnz, I m, I n) { return ccolamd_l_recommended(nnz, m, n); }
    static int column(I m, I n, I alen, I *A, I *p, double *knobs, I *stats, const I *cmember) {
        return ccolamd_l(m, n, alen, A, p, knobs, stats, const_cast<I *>(cmember));
    }
    static int symmetric(I n, I *A, I *p, I *perm, double *knobs, I *stats,
                         void *(*allocate)(size_t, size_t), void (*release)(void *),
                         const I *cmember) {
        return csymamd_l(n, A, p, perm, knobs, stats, allocate, release,
                         const_cast<I *>(cmember), -1);  // -1: use the lower triangular part
    }
};

}  // namespace

FERROW_MODULE(ccolamd, m) { Twin<CcolamdTraits>::init(m); }
