// ferrow.spqr: null spaces, pseudoinverse solutions and Q as a linear operator.
//
// The operators are SciPy LinearOperator subclasses, so the public functions forward to
// the private Python module ferrow._linops, imported on first use (it imports this
// module). Every library call they make goes through the compiled entry points of this
// module: SPQRFactor (factorisation, qmult, solve) and the two private helpers below,
// a Householder QR that also reports its statistics, and the conjugate transpose.
#include "spqr/factor.hpp"
#include "common/threads.hpp"
#include "spqr/frame.hpp"
#include "spqr/qr_worker.hpp"
#include "spqr/signature_types.hpp"

namespace ferrow::spqr {

namespace {

// ferrow._linops, imported on first use.
nb::object linops() {
    static Held module;
    if (module.get().ptr() == nullptr)
        module.set(nb::module_::import_("ferrow._linops"));
    return nb::borrow(module.get());
}

//------------------------------------------------------------------------------
// _householder_qr: spqr(A, mode="householder", tol=tol) with the statistics
//------------------------------------------------------------------------------

template <class V> nb::object householder_once(cholmod_sparse &A, double tol) {
    using Int = typename V::Int;
    require_dimensions_fit<Int>(A, "A");

    CholmodCommon ws(V::use_int32);
    require_started(ws);
    cholmod_common *cc = ws.get();
    SparseResult R(cc, V::use_int32), H(cc, V::use_int32);
    DenseResult HTau(cc, V::use_int32);
    IntResult<Int> E(cc, A.ncol), HPinv(cc, A.nrow);
    const QrSlots<Int> slots{nullptr, R.out(), H.out(), HTau.out(), E.out(), HPinv.out()};
    int status;
    {
        LibraryCall scope;
        status = qr_worker<typename V::Entry, Int>(Mode::householder, SPQR_ORDERING_DEFAULT, tol,
                                                   A, slots, cc);
    }
    handle_errors(status);
    nb::object info = info_from_common(cc);

    nb::object r = R.to_python();
    nb::object e = E.to_python((Py_ssize_t)A.ncol);
    return nb::make_tuple(householder_form(H, HPinv, HTau, TauShape::flat), r, e, info);
}

nb::object householder_entry(nb::handle A_in, nb::handle tol_obj) {
    QrMatrix A;
    qr_matrix(A_in, A);
    const double tol = tolerance(tol_obj);
    return dispatch(A.is_real(), A.use_int32(), [&](auto v) {
        return householder_once<decltype(v)>(A.header, tol);
    });
}

//------------------------------------------------------------------------------
// _ctranspose: the conjugate transpose, with the index type kept
//------------------------------------------------------------------------------

nb::object ctranspose_entry(nb::handle A_in) {
    QrMatrix A;
    qr_matrix(A_in, A);
    const bool int32 = A.use_int32();
    CholmodCommon ws(int32);
    require_started(ws);
    SparseResult T(ws.get(), int32);
    int status;
    {
        LibraryCall scope;
        status = ctranspose_worker(A.header, T.out(), ws.get());
    }
    if (status == kNoResult)
        raise(obj.SPQRError.ptr(), "the conjugate transpose could not be formed");
    handle_errors(status);
    return T.to_python();
}

//------------------------------------------------------------------------------
// Public functions and SPQRFactor.Q
//------------------------------------------------------------------------------

nb::object spqr_null_entry(nb::handle A, nb::handle tol, nb::handle explicit_,
                           nb::handle return_info) {
    return linops().attr("spqr_null")(A, nb::arg("tol") = tol, nb::arg("explicit") = explicit_,
                                      nb::arg("return_info") = return_info);
}

nb::object spqr_pinv_entry(nb::handle A, nb::handle b, nb::handle tol, nb::handle return_info) {
    return linops().attr("spqr_pinv")(A, b, nb::arg("tol") = tol,
                                      nb::arg("return_info") = return_info);
}

nb::object factor_q(nb::handle self) { return linops().attr("FactorQ")(self); }

const char *null_doc = R"(Orthonormal basis of the numerical null space of a sparse matrix.

The basis comes from a sparse QR factorisation of the conjugate transpose,
``A^H E = Q R``, with the library's rank detection: if r is the rank found, the
trailing N - r columns of Q span the null space of A. Q stays in its
Householder form, so the default result applies the basis without forming it.

Parameters
----------
A : (M, N) array_like or sparse array
    The matrix. Any SciPy sparse format or dense array-like is accepted (non-CSC
    input is converted with a ``SparseEfficiencyWarning``); real values are
    computed in float64, complex values in complex128; int32 or int64 index
    arrays select the 32- or 64-bit library instance.
tol : float, optional
    Rank-detection tolerance, with the convention of `spqr`: None (default) is
    the library's default ``20 eps (M + N) sqrt(max diag(A A^H))``; a column of
    ``A^H`` whose remaining 2-norm is below `tol` counts as dependent; 0 finds
    only exactly dependent columns (rarely what is wanted).
explicit : bool, optional
    Return the basis as a dense (N, N - r) array instead of an operator.
    Default False.
return_info : bool, optional
    Also return the `SPQRInfo` of the factorisation that decided the rank (its
    ``rank_A_estimate`` is r, its ``tol`` the tolerance used). Default False.

Returns
-------
N : LinearOperator or ndarray
    An (N, N - r) ``scipy.sparse.linalg.LinearOperator`` of A's value type
    (float64 or complex128) with ``matvec``/``matmat`` (``N @ v``) and
    ``rmatvec``/``rmatmat`` (``N.H @ w``); or, with ``explicit=True``, the
    dense basis. Its columns are orthonormal to rounding and ``||A N||`` is at
    the level of the tolerance. The operator keeps its factorisation alive.
info : SPQRInfo
    With ``return_info=True``.

Raises
------
ValueError
    For an invalid matrix.
TypeError
    For values that are neither real nor complex numbers, or a tolerance that
    is not a number.
)" FERROW_SPQR_DOC_LIBRARY_FAILS R"(spqr_pinv, spqr, SPQRFactor

Notes
-----
The numerical rank is the one SuiteSparseQR's rank detection finds; it is
reliable when the singular values of A have a clear gap around `tol`, and a
heuristic otherwise (a nearly dependent column can be kept or dropped).

Examples
--------
>>> import numpy as np
>>> import scipy.sparse as sp
>>> from ferrow.spqr import spqr_null
>>> A = sp.csc_array(np.array([[1., 2., 3.], [2., 4., 6.]]))
>>> N = spqr_null(A)
>>> N.shape
(3, 2)
>>> Z = spqr_null(A, explicit=True)
>>> bool(np.allclose(A @ Z, 0) and np.allclose(Z.T @ Z, np.eye(2)))
True
)";

const char *pinv_doc = R"(Minimum-norm least-squares solution ``x = pinv(A) b`` of a sparse system.

For any shape and rank of A, `x` minimises ``||A x - b||`` and, among all
minimisers, ``||x||``. It is computed through a complete orthogonal
decomposition built on one sparse QR factorisation with the library's rank
detection, ``A E = Q1 [R11 R12; 0 0]`` (rank r, R11 r x r upper triangular,
the N - r dependent columns last): the basic solution
``E [R11^-1 (Q1^H b)[:r]; 0]`` minus its component in the null space of
``[R11 R12]``, whose orthonormal basis comes from a dense QR factorisation of
``[-R11^-1 R12; I]`` (N - r columns). The second stage costs
``N (N - r)`` dense entries, little when few columns are dependent; no
factorisation of the conjugate transpose is needed, and the rank is decided once.

Parameters
----------
A : (M, N) array_like or sparse array
    The matrix, as for `spqr`.
b : (M,) or (M, K) ndarray or sparse array
    Right-hand side(s). Its values must cast safely to A's value type (a
    complex `b` needs a complex A).
tol : float, optional
    Rank-detection tolerance of the first factorisation, with the convention of
    `spqr` (None: the library's default).
return_info : bool, optional
    Also return the `SPQRInfo` of the first factorisation, which decided the
    rank (``rank_A_estimate`` and ``tol``). Default False.

Returns
-------
x : (N,) or (N, K) ndarray, or csc_array
    The minimum-norm least-squares solution; 1-D for a 1-D `b`, a ``csc_array``
    of A's index type for a sparse `b`.
info : SPQRInfo
    With ``return_info=True``.

Raises
------
ValueError
    For an invalid matrix, or a `b` that is not 1-D or 2-D, not an array, or
    whose length differs from M.
TypeError
    For a `b` whose values do not cast safely to A's value type.
)" FERROW_SPQR_DOC_LIBRARY_FAILS R"(spqr_solve, spqr_null, spqr

Notes
-----
For a matrix of full rank the result equals the least-squares (M >= N) or the
minimum-norm (M < N) solution of `spqr_solve`. For a rank-deficient matrix
`spqr_solve` returns the basic solution (zeros in the positions of dependent
columns), and this function the solution of least norm; both have the same
residual. Where the rank is ill-determined (no clear gap in the singular
values around `tol`) the result depends on the rank decision. Sparse
right-hand sides are solved 100 columns at a time through a dense block.

Examples
--------
>>> import numpy as np
>>> import scipy.sparse as sp
>>> from ferrow.spqr import spqr_pinv
>>> A = sp.csc_array(np.array([[1., 2., 0.], [2., 4., 0.], [0., 0., 1.]]))
>>> b = np.array([1., 0., 1.])
>>> spqr_pinv(A, b).round(6).tolist()
[0.04, 0.08, 1.0]
>>> bool(np.allclose(spqr_pinv(A, b), np.linalg.pinv(A.toarray()) @ b))
True
)";

const char *q_doc = R"(Q as a ``scipy.sparse.linalg.LinearOperator`` of shape (M, M).

``F.Q @ X`` is ``F.qmult(X, "QX")`` and ``F.Q.H @ X`` is ``F.qmult(X, "QTX")``;
Q is never formed. The operator holds the factor and applies its current
factorisation: refactorising the factor afterwards changes what it computes.
Each read returns a new operator; a factor without a numeric factorisation
raises ``ValueError``.
)";

}  // namespace

void register_rank(nb::module_ &m) {
    m.def("spqr_null", &spqr_null_entry,
          nb::sig("def spqr_null(A: " FERROW_SPQR_MATRIX ", *, " FERROW_SPQR_TOL
                  ", explicit: bool = False, return_info: bool = False) -> LinearOperator | "
                  FERROW_SPQR_DENSE " | tuple[LinearOperator | " FERROW_SPQR_DENSE ", SPQRInfo]"),
          nb::arg("A").none(), nb::kw_only(),
          nb::arg("tol").none() = nb::none(), nb::arg("explicit").none() = false,
          nb::arg("return_info").none() = false, null_doc);
    m.def("spqr_pinv", &spqr_pinv_entry,
          nb::sig("def spqr_pinv(A: " FERROW_SPQR_MATRIX ", b: " FERROW_SPQR_MATRIX ", *, "
                  FERROW_SPQR_TOL ", return_info: bool = False) -> " FERROW_SPQR_DENSE
                  " | csc_array | tuple[" FERROW_SPQR_DENSE " | csc_array, SPQRInfo]"),
          nb::arg("A").none(), nb::arg("b").none(), nb::kw_only(),
          nb::arg("tol").none() = nb::none(), nb::arg("return_info").none() = false, pinv_doc);
    m.def("_householder_qr", &householder_entry, nb::arg("A").none(),
          nb::arg("tol").none() = nb::none(),
          "spqr(A, mode='householder', tol=tol) with the library's default ordering, and the\n"
          "SPQRInfo of that call: returns (house, R, E, info).");
    m.def("_ctranspose", &ctranspose_entry, nb::arg("A").none(),
          "The conjugate transpose of a matrix as a csc_array, with the index type of A and\n"
          "float64 or complex128 values.");

    nb::object fget = nb::cpp_function(&factor_q, nb::arg("self"));
    nb::object property = nb::module_::import_("builtins").attr("property");
    m.attr("SPQRFactor").attr("Q") = property(fget, nb::none(), nb::none(), q_doc);
}

}  // namespace ferrow::spqr
