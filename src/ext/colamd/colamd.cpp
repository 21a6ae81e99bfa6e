// ferrow.colamd: column and symmetric approximate minimum degree orderings (SuiteSparse
// COLAMD). The module is the shared column-ordering template; this file says what is
// COLAMD's own: its routines, knob slots, names and texts.
#include <nanobind/nanobind.h>

#include <colamd.h>

#include <cstdint>
#include <utility>

#include "colamd/colamd_twin.hpp"

using namespace ferrow;
using namespace ferrow::colamd_twin;

namespace {

FERROW_COLAMD_TWIN_CHECK(COLAMD);

struct ColamdTraits {
    static constexpr const char *library = "COLAMD";
    static constexpr bool constrained = false;
    // COLAMD and SYMAMD count empty rows and columns among the ignored ones.
    static constexpr bool counts_empty_as_ignored = true;

    static constexpr const char *orderings[] = {"colamd", "symamd"};

    static void set_defaults(double *knobs) { colamd_set_defaults(knobs); }

    // The library's routine pairs (int32, int64).
    static constexpr auto recommended = std::make_pair(&colamd_recommended, &colamd_l_recommended);
    static constexpr auto column = std::make_pair(&colamd, &colamd_l);
    static constexpr auto symmetric = std::make_pair(&symamd, &symamd_l);

    // Every status the library reports is in the table.
    static const char *extra_status_text(int64_t) { return nullptr; }

    // COLAMD's own words in the texts of colamd/colamd_docs.hpp.
    static constexpr const char *attribute_prefix = "_";  // _colamd_intro, ...
    static constexpr const char *title_prefix = "";
    static constexpr const char *module_summary =
        R"(Fill-reducing orderings of the SuiteSparse COLAMD library: a column ordering of a
matrix of any shape for LU, QR and least-squares factorisations, and a symmetric
ordering of a symmetric matrix for Cholesky factorisation.)";
    static constexpr const char *interface_column = "Column";
    static constexpr const char *interface_symmetric = "Symmetric";
    static constexpr const char *see_also_others = "~ferrow.ccolamd.ccolamd, ~ferrow.ccolamd.csymamd";
    static constexpr const char *column_intro_end = R"(. The same Q is a good
    column order for sparse partial pivoting, P(AQ) = LU, where Q is
    computed before the numerical factorisation and P during it, by
    ordinary partial pivoting with row interchanges.)";
    static constexpr const char *symmetric_intro_end =
        R"(PAPᵀ. It builds a matrix M such that MᵀM has the same nonzero pattern
    as A and orders the columns of M with COLAMD; the column order of M
    is the symmetric permutation P of A.)";
    static constexpr const char *column_A_kind = "array_like or sparse matrix";
    static constexpr const char *symmetric_A_kind = "{array_like, sparse matrix}";
    static constexpr const char *constraints_param = "";
    static constexpr const char *dense_tail = R"(. `symamd` applies
    ``max(dense_row_thresh * sqrt(N), 16)`` to the rows and columns of `A`
    and does not use `dense_col_thresh`. A negative threshold sets aside
    only completely dense rows or columns. The values are rounded to single
    precision.)";
    static constexpr const char *opt_lu_line = "";
    static constexpr const char *trivial_order = R"(their columns in natural order and the statistics the library
    reports for them (every row and column empty, hence ignored).)";
    static constexpr const char *example_constraints = "", *example_arguments = "";
    static constexpr const char *column_example_order = "0, 3, 5, 6, 7, 1, 2, 4";
    static constexpr const char *symmetric_example_order = "4, 6, 7, 0, 1, 2, 3, 5";
    static constexpr const char *base_steps = R"( and calls `_colamd` or
(with `is_symmetric` true) `_symamd`. Returns ``q`` or )";
    static constexpr const char *column_wrapper_unchanged =
        "`Ap` and `Ai` are left unchanged: the library works\non a copy of";
    static constexpr const char *column_wrapper_constraints = "";
    static constexpr const char *symmetric_wrapper_M = R"(M : int
    Number of rows; checked to be an integer, otherwise unused.
)";
    static constexpr const char *symmetric_wrapper_constraints = "";
    static constexpr const char *default_keys = "three", *default_opt_lu = "";
};

}  // namespace

FERROW_MODULE(colamd, m) { Twin<ColamdTraits>::init(m); }
