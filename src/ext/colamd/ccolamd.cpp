// ferrow.ccolamd: constrained column and symmetric approximate minimum degree orderings
// (SuiteSparse CCOLAMD). The module is the shared column-ordering template; this file says
// what is CCOLAMD's own: its routines, the factorisation-target knob, constraints, names
// and texts.
#include <nanobind/nanobind.h>

#include <ccolamd.h>

#include <cstdint>
#include <utility>

#include "colamd/colamd_twin.hpp"

using namespace ferrow;
using namespace ferrow::colamd_twin;

namespace {

FERROW_COLAMD_TWIN_CHECK(CCOLAMD);

struct CcolamdTraits {
    static constexpr const char *library = "CCOLAMD";
    static constexpr bool constrained = true;
    // CCOLAMD and CSYMAMD count only dense rows and columns as ignored.
    static constexpr bool counts_empty_as_ignored = false;

    static constexpr const char *orderings[] = {"ccolamd", "csymamd"};

    static constexpr int lu_slot = CCOLAMD_LU;
    static void set_defaults(double *knobs) { ccolamd_set_defaults(knobs); }

    // The library's routine pairs (int32, int64).
    static constexpr auto recommended = std::make_pair(&ccolamd_recommended, &ccolamd_l_recommended);
    static constexpr auto column = std::make_pair(&ccolamd, &ccolamd_l);
    static constexpr auto symmetric = std::make_pair(&csymamd, &csymamd_l);

    // Failure statuses the library reports beyond the message table.
    static const char *extra_status_text(int64_t status) {
        return status == CCOLAMD_ERROR_invalid_cmember ? "constraints are invalid" : nullptr;
    }

    // CCOLAMD's own words in the texts of colamd/colamd_docs.hpp.
    static constexpr const char *attribute_prefix = "";  // ccolamd_intro, ...
    static constexpr const char *title_prefix = "Constrained ";
    static constexpr const char *module_summary =
        R"(Fill-reducing orderings of the SuiteSparse CCOLAMD library with ordering
constraints: a column ordering of a matrix of any shape, optimised for LU or for
Cholesky factorisation of AᵀA, and a symmetric ordering of a symmetric matrix.
Every column carries a constraint number; columns with smaller numbers come first.)";
    static constexpr const char *interface_column = "Constrained column";
    static constexpr const char *interface_symmetric = "Constrained symmetric";
    static constexpr const char *see_also_others = "~ferrow.colamd.colamd, ~ferrow.colamd.symamd";
    static constexpr const char *column_intro_end = R"(, while honouring the
    constraints. The same Q is a good column order for sparse partial
    pivoting, P(AQ) = LU, where Q is computed before the numerical
    factorisation and P during it, by ordinary partial pivoting with row
    interchanges.)";
    static constexpr const char *symmetric_intro_end =
        R"(PAPᵀ while honouring the constraints. It builds a matrix M such that
    MᵀM has the same nonzero pattern as A and orders the columns of M with
    CCOLAMD; the column order of M is the symmetric permutation P of A.)";
    static constexpr const char *column_A_kind = "{array_like, sparse matrix}";
    static constexpr const char *symmetric_A_kind = "array_like or sparse matrix";
    static constexpr const char *constraints_param = R"(constraints : (N,) array_like, optional
    One constraint per column, each in the range 0 to N-1. All columns with
    constraint 0 are ordered first, then those with constraint 1, and so
    on, so that the constraints permuted by the result are non-decreasing.
    None means no constraints, which gives an ordering like
    `ferrow.colamd.colamd`, except that the default knob values may differ.
)";
    static constexpr const char *dense_tail = R"( (subject to the constraints).
    `csymamd` applies ``max(dense_row_thresh * sqrt(N), 16)`` to the rows
    and columns of `A` and does not use `dense_col_thresh`. A negative
    threshold sets aside only completely dense rows or columns. The values
    are rounded to single precision.)";
    static constexpr const char *opt_lu_line = "{opt_lu_param}\n";
    static constexpr const char *opt_lu_param = R"(opt_lu : {'lu', 'cholesky'}, optional
    "lu" optimises the ordering for the LU factorisation of `A`, "cholesky"
    for the Cholesky factorisation of AᵀA. None means the library default,
    "cholesky".)";
    static constexpr const char *trivial_order = R"(their columns in the order of their constraint sets (natural
    order within a set) and the statistics the library reports for them.)";
    static constexpr const char *example_constraints = ">>> C = np.full(8, 4)\n>>> C[:4] = [0, 1, 2, 3]\n";
    static constexpr const char *example_arguments = "constraints=C, ";
    static constexpr const char *column_example_order = "0, 1, 2, 3, 4, 7, 6, 5";
    static constexpr const char *symmetric_example_order = "0, 1, 2, 3, 7, 6, 5, 4";
    static constexpr const char *base_steps = R"(, converts the constraints
and calls `_ccolamd` or (with `is_symmetric` true) `_csymamd`. Returns ``q`` or
)";
    static constexpr const char *column_wrapper_unchanged =
        "`Ap`, `Ai` and `constraints` are left unchanged: the\nlibrary works on a copy of";
    static constexpr const char *column_wrapper_constraints = R"(constraints : (N,) ndarray, optional
    Constraint of every column, each in 0..N-1.
)";
    static constexpr const char *symmetric_wrapper_M = "";
    static constexpr const char *symmetric_wrapper_constraints = R"(constraints : (N,) ndarray, optional
    Constraint of every row and column, each in 0..N-1.
)";
    static constexpr const char *default_keys = "four";
    static constexpr const char *default_opt_lu = R"(    opt_lu : str
        "lu" when the ordering targets LU factorisation, "cholesky" when it
        targets the Cholesky factorisation of AᵀA (default "cholesky").
)";
};

}  // namespace

FERROW_MODULE(ccolamd, m) { Twin<CcolamdTraits>::init(m); }
