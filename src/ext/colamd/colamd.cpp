// ferrow.colamd: column and symmetric approximate minimum degree orderings (SuiteSparse
// COLAMD). The module is the shared column-ordering template; this file says what is
// COLAMD's own: its routines, knob slots, names and texts.
#include <nanobind/nanobind.h>

#include <colamd.h>

#include <cstdint>

#include "colamd/colamd_twin.hpp"

using namespace ferrow;
using namespace ferrow::colamd_twin;

namespace {

static_assert(COLAMD_STATUS == status_slot && COLAMD_OK == 0 && COLAMD_OK_BUT_JUMBLED == 1 &&
              COLAMD_ERROR_A_not_present == -1 && COLAMD_ERROR_p_not_present == -2 &&
              COLAMD_ERROR_nrow_negative == -3 && COLAMD_ERROR_ncol_negative == -4 &&
              COLAMD_ERROR_nnz_negative == -5 && COLAMD_ERROR_p0_nonzero == -6 &&
              COLAMD_ERROR_A_too_small == -7 && COLAMD_ERROR_col_length_negative == -8 &&
              COLAMD_ERROR_row_index_out_of_bounds == -9 &&
              COLAMD_ERROR_out_of_memory == status_out_of_memory &&
              COLAMD_ERROR_internal_error == status_internal_error,
              "the status table follows the library's codes");

const char *colamd_doc_template = R"(
{intro}

Parameters
----------
{A_param}
dense_row_thresh, dense_col_thresh : float, optional
    Thresholds for dense rows and columns. None means the library default,
    which is 10. `colamd` ignores a row with more than
    ``max(dense_row_thresh * sqrt(N), 16)`` entries and a column with more
    than ``max(dense_col_thresh * sqrt(min(M, N)), 16)`` entries during the
    ordering and places such columns last. `symamd` applies
    ``max(dense_row_thresh * sqrt(N), 16)`` to the rows and columns of `A`
    and does not use `dense_col_thresh`. A negative threshold sets aside
    only completely dense rows or columns. The values are rounded to single
    precision.
aggressive : bool, optional
    Whether to perform aggressive absorption. None means the library
    default, True.

Returns
-------
q : (N,) numpy.ndarray
    The permutation, with the index type (int32 or int64) of the validated
    matrix.
stats : COLAMDStats, optional
    Statistics about the ordering, returned when `return_info` is true.
    Matrices without rows, columns or entries are answered without the
    library: their columns in natural order and the statistics the library
    reports for them (every row and column empty, hence ignored).

See Also
--------
{see_also}

.. versionadded:: 0.5.0

References
----------
.. {reftag}
   ``colamd.c``, the source file of the SuiteSparse COLAMD library.

Examples
--------
{example}
)";

const char *colamd_intro_head = R"(Compute the column approximate minimum degree ordering of
a sparse matrix.

Adapted from the COLAMD documentation )";

const char *colamd_intro_tail = R"(_:

    The ordering serves the LU factorisation of symmetric or unsymmetric
    matrices, QR factorisation, least-squares problems and interior-point
    methods for linear programming. COLAMD finds a column permutation Q
    such that the Cholesky factor of (AQ)ᵀ(AQ) has less fill-in and needs
    fewer floating-point operations than that of AᵀA. The same Q is a good
    column order for sparse partial pivoting, P(AQ) = LU, where Q is
    computed before the numerical factorisation and P during it, by
    ordinary partial pivoting with row interchanges.)";

const char *colamd_A_param = R"(A : (M, N) array_like or sparse matrix
    2-D matrix whose pattern is ordered; it is converted to CSC format if
    necessary (with a ``SparseEfficiencyWarning``). It need not be square.)";

const char *colamd_example = R"(>>> import numpy as np
>>> from scipy.sparse import random_array
>>> from ferrow.colamd import colamd
>>> rng = np.random.default_rng(56)
>>> A = random_array((11, 8), density=0.5, format="csc", rng=rng)
>>> A.setdiag(11)
>>> q, stats = colamd(A, return_info=True)
>>> q
array([0, 3, 5, 6, 7, 1, 2, 4], dtype=int32)
>>> stats
COLAMDStats(N_rows_ignored=0, N_cols_ignored=0, Ncmpa=0, status=0, info1=-1, info2=-1, info3=0))";

const char *symamd_intro_head = R"(Compute the symmetric approximate minimum degree ordering of
a sparse symmetric matrix.

Adapted from the COLAMD documentation )";

const char *symamd_intro_tail = R"(_:

    SYMAMD orders a symmetric matrix A for the Cholesky factorisation of
    PAPᵀ. It builds a matrix M such that MᵀM has the same nonzero pattern
    as A and orders the columns of M with COLAMD; the column order of M
    is the symmetric permutation P of A.)";

const char *symamd_A_param = R"(A : (N, N) {array_like, sparse matrix}
    2-D square matrix; it is converted to CSC format if necessary (with a
    ``SparseEfficiencyWarning``). Only the lower triangular part of `A` is
    accessed; it is assumed to be symmetric.)";

const char *symamd_example = R"(>>> import numpy as np
>>> from scipy.sparse import csc_array, random_array
>>> from ferrow.colamd import symamd
>>> rng = np.random.default_rng(56)
>>> A = random_array((11, 8), density=0.5, format="csc", rng=rng)
>>> A.setdiag(11)
>>> S = csc_array(A.T @ A)
>>> p, stats = symamd(S, return_info=True)
>>> p
array([4, 6, 7, 0, 1, 2, 3, 5], dtype=int32)
>>> stats
COLAMDStats(N_rows_ignored=0, N_cols_ignored=0, Ncmpa=0, status=0, info1=-1, info2=-1, info3=0))";

struct ColamdTraits {
    static constexpr const char *library = "COLAMD";
    static constexpr const char *source_file = "colamd.c";
    static constexpr bool constrained = false;
    // COLAMD and SYMAMD count empty rows and columns among the ignored ones.
    static constexpr bool counts_empty_as_ignored = true;

    static constexpr const char *all[] = {"COLAMDError",   "COLAMDValueError", "COLAMDMemoryError",
                                          "COLAMDInternalError", "COLAMDStats", "colamd",
                                          "symamd",        "colamd_get_defaults"};
    static constexpr const char *error_doc = "Base class for COLAMD errors.";
    static constexpr const char *value_error_doc = "Raised when COLAMD encounters a value error.";
    static constexpr const char *memory_error_doc = "Raised when COLAMD runs out of memory.";
    static constexpr const char *internal_error_doc =
        "Raised when COLAMD encounters an internal error.";

    static constexpr int knob_count = COLAMD_KNOBS;
    static constexpr int stats_count = COLAMD_STATS;
    static constexpr int dense_row_slot = COLAMD_DENSE_ROW;
    static constexpr int dense_col_slot = COLAMD_DENSE_COL;
    static constexpr int aggressive_slot = COLAMD_AGGRESSIVE;
    static void set_defaults(double *knobs) { colamd_set_defaults(knobs); }

    template <class I> struct Routines;

    // Every status the library reports is in the table.
    static const char *extra_status_text(int64_t) { return nullptr; }

    static constexpr const char *base_name = "_colamd_base";
    static constexpr const char *column_wrapper_name = "_colamd";
    static constexpr const char *symmetric_wrapper_name = "_symamd";
    static constexpr const char *template_name = "_COLAMD_DOC_TEMPLATE";
    static inline const char *doc_template = colamd_doc_template;
    static inline const FunctionDoc column_doc = {
        {"_colamd_reftag", "[#colamd_c]"}, {"_colamd_intro", colamd_intro_head}, colamd_intro_tail,
        {"_colamd_A_param", colamd_A_param}, {nullptr, nullptr}, {"_colamd_example", colamd_example},
        "symamd, ~ferrow.ccolamd.ccolamd, ~ferrow.ccolamd.csymamd"};
    static inline const FunctionDoc symmetric_doc = {
        {"_symamd_reftag", "[#symamd_c]"}, {"_symamd_intro", symamd_intro_head}, symamd_intro_tail,
        {"_symamd_A_param", symamd_A_param}, {nullptr, nullptr}, {"_symamd_example", symamd_example},
        "colamd, ~ferrow.ccolamd.ccolamd, ~ferrow.ccolamd.csymamd"};

    static constexpr const char *base_doc = R"(The shared body of `colamd` and `symamd`.

Validates `A`, answers trivial shapes, fills the knobs and calls `_colamd` or
(with `is_symmetric` true) `_symamd`. Returns ``q`` or ``(q, COLAMDStats)``.)";

    static constexpr const char *column_wrapper_doc = R"(Call the library's COLAMD ordering on raw arrays.

The element type of `Ap` selects ``colamd`` (int32) or ``colamd_l`` (int64); all
integer arrays must share it. `Ap` and `Ai` are left unchanged: the library works
on a copy of the row indices of the length it recommends.

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
knobs : (COLAMD_KNOBS,) ndarray of float64
    The library's knobs (COLAMD_KNOBS is 20).
stats : (COLAMD_STATS,) ndarray
    Receives the library's statistics (COLAMD_STATS is 20).
)";

    static constexpr const char *symmetric_wrapper_doc = R"(Call the library's SYMAMD ordering on raw arrays.

The element type of `Ap` selects ``symamd`` (int32) or ``symamd_l`` (int64); all
integer arrays must share it. Only the lower triangular part is read.

Parameters
----------
M : int
    Number of rows; checked to be an integer, otherwise unused.
N : int
    Number of rows and columns.
Ap : (N + 1,) ndarray of int32 or int64
    Column pointers.
Ai : (nnz,) ndarray
    Row indices.
perm : (N + 1,) ndarray
    Receives the symmetric permutation in its first N entries.
knobs : (COLAMD_KNOBS,) ndarray of float64
    The library's knobs (COLAMD_KNOBS is 20).
stats : (COLAMD_STATS,) ndarray
    Receives the library's statistics (COLAMD_STATS is 20).
)";

    static constexpr const char *defaults_doc = R"(Get the default knobs for COLAMD.

Returns
-------
knobs : dict
    The library's defaults under three keys:

    dense_row_thresh : float
        A row with more than ``max(dense_row_thresh * sqrt(N), 16)`` entries
        is ignored during the ordering (default 10).
    dense_col_thresh : float
        Like `dense_row_thresh`, but for columns.
    aggressive : float
        Non-zero for aggressive absorption (default 1.0).
)";

    static constexpr const char *module_doc = R"(
Column Approximate Minimum Degree (COLAMD) Ordering (:mod:`ferrow.colamd`)
==========================================================================

.. versionadded:: 0.5.0

Fill-reducing orderings of the SuiteSparse COLAMD library: a column ordering of a
matrix of any shape for LU, QR and least-squares factorisations, and a symmetric
ordering of a symmetric matrix for Cholesky factorisation.

Interface
---------

   colamd - Column approximate minimum degree ordering of a matrix of any shape.
   symamd - Symmetric approximate minimum degree ordering of a symmetric matrix.
   colamd_get_defaults - Function to get the default knobs for COLAMD.

Exceptions and Warnings
-----------------------

   COLAMDError - Base class for COLAMD errors.
   COLAMDValueError - Raised when COLAMD encounters a value error.
   COLAMDMemoryError - Raised when COLAMD runs out of memory.
   COLAMDInternalError - Raised when COLAMD encounters an internal error.
   COLAMDStats - Dataclass containing statistics about the ordering.

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

template <> struct ColamdTraits::Routines<int32_t> {
    using I = int32_t;
    static size_t recommended(I nnz, I m, I n) { return colamd_recommended(nnz, m, n); }
    static int column(I m, I n, I alen, I *A, I *p, double *knobs, I *stats, const I *) {
        return colamd(m, n, alen, A, p, knobs, stats);
    }
    static int symmetric(I n, I *A, I *p, I *perm, double *knobs, I *stats,
                         void *(*allocate)(size_t, size_t), void (*release)(void *), const I *) {
        return symamd(n, A, p, perm, knobs, stats, allocate, release);
    }
};

template <> struct ColamdTraits::Routines<int64_t> {
    using I = int64_t;
    static size_t recommended(I nnz, I m, I n) { return colamd_l_recommended(nnz, m, n); }
    static int column(I m, I n, I alen, I *A, I *p, double *knobs, I *stats, const I *) {
        return colamd_l(m, n, alen, A, p, knobs, stats);
    }
    static int symmetric(I n, I *A, I *p, I *perm, double *knobs, I *stats,
                         void *(*allocate)(size_t, size_t), void (*release)(void *), const I *) {
        return symamd_l(n, A, p, perm, knobs, stats, allocate, release);
    }
};

}  // namespace

FERROW_MODULE(colamd, m) { Twin<ColamdTraits>::init(m); }
