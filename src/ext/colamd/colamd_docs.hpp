// The texts of the twin modules ferrow.colamd and ferrow.ccolamd, written once.
//
// Each text is a template filled when a module loads (`Twin<T>::text`): "{Lib}" is the
// library's name (COLAMD, CCOLAMD), "{LIB_SYMMETRIC}" the symmetric routine's (SYMAMD,
// CSYMAMD), "{column}" and "{symmetric}" the orderings' names, "{source}" the library's
// source file; every other field in braces that a traits struct defines is that module's
// own wording. Fields no traits struct defines ({intro}, {A_param}, {opt_lu_param},
// {see_also}, {reftag}, {example}) stay for the function template the module publishes
// as `_{Lib}_DOC_TEMPLATE`, which Python's str.format fills.
#pragma once

namespace ferrow::colamd_twin::docs {

inline constexpr const char *function_template = R"(
{intro}

Parameters
----------
{A_param}
{constraints_param}dense_row_thresh, dense_col_thresh : float, optional
    Thresholds for dense rows and columns. None means the library default,
    which is 10. `{column}` ignores a row with more than
    ``max(dense_row_thresh * sqrt(N), 16)`` entries and a column with more
    than ``max(dense_col_thresh * sqrt(min(M, N)), 16)`` entries during the
    ordering and places such columns last{dense_tail}
aggressive : bool, optional
    Whether to perform aggressive absorption. None means the library
    default, True.
{opt_lu_line}
Returns
-------
q : (N,) numpy.ndarray
    The permutation, with the index type (int32 or int64) of the validated
    matrix.
stats : {Lib}Stats, optional
    Statistics about the ordering, returned when `return_info` is true.
    Matrices without rows, columns or entries are answered without the
    library: {trivial_order}

See Also
--------
{see_also}

.. versionadded:: 0.5.0

References
----------
.. {reftag}
   ``{source}``, the source file of the SuiteSparse {Lib} library.

Examples
--------
{example}
)";

inline constexpr const char *column_intro_head =
    R"(Compute the column approximate minimum degree ordering of
a sparse matrix.

Adapted from the {Lib} documentation )";

inline constexpr const char *column_intro_tail = R"(_:

    The ordering serves the LU factorisation of symmetric or unsymmetric
    matrices, QR factorisation, least-squares problems and interior-point
    methods for linear programming. {Lib} finds a column permutation Q
    such that the Cholesky factor of (AQ)ᵀ(AQ) has less fill-in and needs
    fewer floating-point operations than that of AᵀA{column_intro_end})";

inline constexpr const char *symmetric_intro_head =
    R"(Compute the symmetric approximate minimum degree ordering of
a sparse symmetric matrix.

Adapted from the {Lib} documentation )";

inline constexpr const char *symmetric_intro_tail = R"(_:

    {LIB_SYMMETRIC} orders a symmetric matrix A for the Cholesky factorisation of
    {symmetric_intro_end})";

inline constexpr const char *column_A_param = R"(A : (M, N) {column_A_kind}
    2-D matrix whose pattern is ordered; it is converted to CSC format if
    necessary (with a ``SparseEfficiencyWarning``). It need not be square.)";

inline constexpr const char *symmetric_A_param = R"(A : (N, N) {symmetric_A_kind}
    2-D square matrix; it is converted to CSC format if necessary (with a
    ``SparseEfficiencyWarning``). Only the lower triangular part of `A` is
    accessed; it is assumed to be symmetric.)";

inline constexpr const char *example_head = R"(>>> import numpy as np
>>> from scipy.sparse import {imports}
>>> from ferrow.{column} import {name}
>>> rng = np.random.default_rng(56)
>>> A = random_array((11, 8), density=0.5, format="csc", rng=rng)
>>> A.setdiag(11)
)";

inline constexpr const char *example_tail = R"(>>> {result}, stats = {name}({matrix}, {example_arguments}return_info=True)
>>> {result}
array([{example_order}], dtype=int32)
>>> stats
{Lib}Stats(N_rows_ignored=0, N_cols_ignored=0, Ncmpa=0, status=0, info1=-1, info2=-1, info3=0))";

inline constexpr const char *base_doc = R"(The shared body of `{column}` and `{symmetric}`.

Validates `A`, answers trivial shapes, fills the knobs{base_steps}``(q, {Lib}Stats)``.)";

inline constexpr const char *raw_array_params = R"(
Ap : (N + 1,) ndarray of int32 or int64
    Column pointers.
Ai : (nnz,) ndarray
    Row indices.
perm : (N + 1,) ndarray
    Receives the {ordering} in its first N entries.
knobs : ({Lib}_KNOBS,) ndarray of float64
    The library's knobs ({Lib}_KNOBS is 20).
stats : ({Lib}_STATS,) ndarray
    Receives the library's statistics ({Lib}_STATS is 20).
)";

inline constexpr const char *column_wrapper_doc = R"(Call the library's {Lib} ordering on raw arrays.

The element type of `Ap` selects ``{column}`` (int32) or ``{column}_l`` (int64); all
integer arrays must share it. {column_wrapper_unchanged} the row indices of the length it recommends.

Parameters
----------
M, N : int
    Number of rows and columns.{column_params}{column_wrapper_constraints})";

inline constexpr const char *symmetric_wrapper_doc = R"(Call the library's {LIB_SYMMETRIC} ordering on raw arrays.

The element type of `Ap` selects ``{symmetric}`` (int32) or ``{symmetric}_l`` (int64); all
integer arrays must share it. Only the lower triangular part is read.

Parameters
----------
{symmetric_wrapper_M}N : int
    Number of rows and columns.{symmetric_params}{symmetric_wrapper_constraints})";

inline constexpr const char *defaults_doc = R"(Get the default knobs for {Lib}.

Returns
-------
knobs : dict
    The library's defaults under {default_keys} keys:

    dense_row_thresh : float
        A row with more than ``max(dense_row_thresh * sqrt(N), 16)`` entries
        is ignored during the ordering (default 10).
    dense_col_thresh : float
        Like `dense_row_thresh`, but for columns.
    aggressive : float
        Non-zero for aggressive absorption (default 1.0).
{default_opt_lu})";

inline constexpr const char *module_doc = R"(
{title}
{title_rule}

.. versionadded:: 0.5.0

{module_summary}

Interface
---------

   {column} - {interface_column} approximate minimum degree ordering of a matrix of any shape.
   {symmetric} - {interface_symmetric} approximate minimum degree ordering of a symmetric matrix.
   {column}_get_defaults - Function to get the default knobs for {Lib}.

Exceptions and Warnings
-----------------------

   {Lib}Error - Base class for {Lib} errors.
   {Lib}ValueError - Raised when {Lib} encounters a value error.
   {Lib}MemoryError - Raised when {Lib} runs out of memory.
   {Lib}InternalError - Raised when {Lib} encounters an internal error.
   {Lib}Stats - Dataclass containing statistics about the ordering.

References
----------
.. [1] T. A. Davis, J. R. Gilbert, S. I. Larimore and E. G. Ng, "A column
   approximate minimum degree ordering algorithm", ACM Transactions on
   Mathematical Software, vol. 30, no. 3, 2004, pp. 353-376.
.. [2] T. A. Davis, J. R. Gilbert, S. I. Larimore and E. G. Ng, "Algorithm 836:
   COLAMD, a column approximate minimum degree ordering algorithm", ACM
   Transactions on Mathematical Software, vol. 30, no. 3, 2004, pp. 377-380.
)";

}  // namespace ferrow::colamd_twin::docs
