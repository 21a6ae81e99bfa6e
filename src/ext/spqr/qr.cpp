// ferrow.spqr: the one-shot QR (`spqr`) and multiplication by Q in Householder form
// (`spqr_qmult`, with the raw worker `_qmult` behind it).
#include "common/threads.hpp"
#include "spqr/frame.hpp"
#include "spqr/qr_worker.hpp"
#include "spqr/signature_types.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

namespace ferrow::spqr {

namespace {

//------------------------------------------------------------------------------
// Shared checks
//------------------------------------------------------------------------------

// The element type of a buffer-protocol object; Elem::other for anything else.
Elem buffer_elem(nb::handle x) {
    Py_buffer view;
    if (x.is_none() || !PyObject_CheckBuffer(x.ptr()) ||
        PyObject_GetBuffer(x.ptr(), &view, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
        PyErr_Clear();
        return Elem::other;
    }
    Elem e = elem_from_format(view.format, view.itemsize);
    PyBuffer_Release(&view);
    return e;
}

const char *value_name(bool is_real) { return is_real ? "float64" : "complex128"; }

//------------------------------------------------------------------------------
// spqr
//------------------------------------------------------------------------------

Mode mode_of(nb::handle mode) {
    static const std::pair<const char *, Mode> modes[] = {
        {"full", Mode::full}, {"economic", Mode::economic}, {"r", Mode::r},
        {"householder", Mode::householder}};
    for (const auto &[name, value] : modes) {
        int eq = PyObject_RichCompareBool(mode.ptr(), nb::str(name).ptr(), Py_EQ);
        check_python(eq >= 0);
        if (eq)
            return value;
    }
    std::string text = std::string("Invalid mode '") + nb::str(mode).c_str() +
                       "'. Expected one of ('full', 'economic', 'r', 'householder').";
    raise(PyExc_ValueError, "%s", text.c_str());
}

// The library call of one variant, without the interpreter lock when the switch is on,
// and the conversion of its results.
template <class V>
nb::object factor_once(cholmod_sparse &A, Mode mode, int ordering, double tol) {
    using Entry = typename V::Entry;
    using Int = typename V::Int;
    require_dimensions_fit<Int>(A, "A");
    const Py_ssize_t N = (Py_ssize_t)A.ncol;

    CholmodCommon ws(V::use_int32);
    require_started(ws);
    cholmod_common *cc = ws.get();
    // Declared after the workspace: released before it is finished, on every path.
    SparseResult Q(cc, V::use_int32), R(cc, V::use_int32), H(cc, V::use_int32);
    DenseResult HTau(cc, V::use_int32);
    IntResult<Int> E(cc, A.ncol), HPinv(cc, A.nrow);
    const QrSlots<Int> slots{Q.out(), R.out(), H.out(), HTau.out(), E.out(), HPinv.out()};
    int status;
    {
        LibraryCall scope;
        status = qr_worker<Entry, Int>(mode, ordering, tol, A, slots, cc);
    }
    handle_errors(status);

    nb::object q = Q.to_python();
    nb::object r = R.to_python();
    nb::object e = E.to_python(N);
    switch (mode) {
        case Mode::r:
            return nb::make_tuple(r, e);
        case Mode::householder:
            return nb::make_tuple(householder_form(H, HPinv, HTau, TauShape::squeezed), r, e);
        default:
            return nb::make_tuple(q, r, e);
    }
}

nb::object spqr_entry(nb::handle A_in, nb::handle mode_obj, nb::handle order, nb::handle tol_obj) {
    QrMatrix A;  // held for the call: the header views its arrays
    qr_matrix(A_in, A);
    const Mode mode = mode_of(mode_obj);
    const int ordering = ordering_code(order);
    const double tol = tolerance(tol_obj);
    return dispatch(A.is_real(), A.use_int32(), [&](auto v) {
        return factor_once<decltype(v)>(A.header, mode, ordering, tol);
    });
}

//------------------------------------------------------------------------------
// _qmult
//------------------------------------------------------------------------------

// X validated once, as a header of H's value and index types: the index arrays are
// converted when their type differs (the library reads X with H's index width); a value
// type that differs is refused (converting could drop an imaginary part or invent one).
struct SparseOperand {
    CscInput in;
    nb::object indptr, indices;  // in's, or their conversions
    Buffer p, i, x;
    cholmod_sparse header;
};

template <class V> void sparse_operand(nb::handle X_in, SparseOperand &X) {
    validate_csc(X_in, false, X.in);
    nb::handle want = V::is_real ? obj.dtype_float64.get() : obj.dtype_complex128.get();
    if (!X.in.dtype.equal(want))
        raise(PyExc_ValueError, "X must hold %s values like H, got %s; convert it first",
              value_name(V::is_real), nb::str(X.in.dtype).c_str());
    const int64_t M = X.in.nrow, N = X.in.ncol, nnz = X.in.nnz();
    X.indptr = X.in.indptr;
    X.indices = X.in.indices;
    if (X.in.index() != elem_of<typename V::Int>()) {
        if (V::use_int32 && std::max({M, N, nnz}) > (int64_t)std::numeric_limits<int32_t>::max())
            raise(PyExc_ValueError,
                  "X is too large for the 32-bit indices of H (shape (%lld, %lld), %lld entries)",
                  (long long)M, (long long)N, (long long)nnz);
        nb::handle itype = V::use_int32 ? obj.dtype_int32.get() : obj.dtype_int64.get();
        X.indptr = X.in.indptr.attr("astype")(itype);
        X.indices = X.in.indices.attr("astype")(itype);
    }
    X.p.acquire(X.indptr, "indptr", false);
    X.i.acquire(X.indices, "indices", false);
    X.x.acquire(X.in.data, "data", false);
    fill_header(X.header, M, N, X.p, X.i, X.x);
}

// H as a header: a valid CSC matrix (checked completely) of the variant's types, every
// column a Householder vector with sorted rows: the library's panel search relies on it.
template <class V> void check_householder_vectors(const cholmod_sparse &Hs) {
    using Int = typename V::Int;
    if ((Hs.itype == CHOLMOD_INT) != V::use_int32)
        raise(PyExc_ValueError, "H must have %s index arrays like v", V::use_int32 ? "int32" : "int64");
    if ((Hs.xtype == CHOLMOD_REAL) != V::is_real)
        raise(PyExc_ValueError, "H must hold %s values like tau", value_name(V::is_real));
    require_dimensions_fit<Int>(Hs, "H");
    if (!Hs.sorted)
        raise(PyExc_ValueError, "H must have sorted row indices without duplicates in every column");
    const Int *Hp = static_cast<const Int *>(Hs.p);
    for (size_t k = 0; k < Hs.ncol; ++k)
        if (Hp[k + 1] == Hp[k])
            raise(PyExc_ValueError,
                  "column %zu of H is empty; every Householder vector has at least one entry", k);
}

// Runs the product in a LibraryCall scope and converts the result.
template <class V, class X, class Result>
nb::object householder_product(int method, cholmod_sparse &Hs, cholmod_dense &HTau,
                               typename V::Int *perm, X &x) {
    CholmodCommon ws(V::use_int32);
    require_started(ws);
    Result Y(ws.get(), V::use_int32);
    int status;
    {
        LibraryCall scope;
        status = householder_qmult_worker<typename V::Entry, typename V::Int>(
            method, Hs, HTau, perm, x, Y.out(), ws.get());
    }
    check_status(status);
    return Y.to_python();
}

// Q in Householder form applied to X: `Hs` views H (checked by the caller), tau, v and X
// are checked here; X dense (a 2-D array of tau's type) or sparse.
template <class V>
nb::object qmult_once(int method, cholmod_sparse &Hs, nb::handle tau, nb::handle v, nb::handle X_in) {
    using Int = typename V::Int;
    check_householder_vectors<V>(Hs);
    const int64_t M = (int64_t)Hs.nrow, nh = (int64_t)Hs.ncol;

    // tau: the 1 x nh row of coefficients, which the library reads as nh contiguous values.
    cholmod_dense HTau;
    BufferPin tau_pin, x_pin;
    dense_header(tau, V::is_real, &HTau, "tau", tau_pin);
    if (HTau.nrow != 1 || (int64_t)HTau.ncol != nh || (nh > 1 && HTau.d != 1))
        raise(PyExc_ValueError,
              "tau must be a contiguous 1 x %lld row (one coefficient per column of H), got "
              "shape (%zu, %zu)",
              (long long)nh, HTau.nrow, HTau.ncol);

    // v: the row permutation; the library indexes with it, so every value is checked.
    Buffer vb;
    vb.acquire(v, "v", false, elem_of<Int>());
    vb.require_exact_length(M, "one per row of H");
    const Int *pv = vb.data<Int>();
    std::vector<bool> seen((size_t)M, false);
    for (int64_t i = 0; i < M; ++i) {
        const Int k = pv[i];
        if (k < 0 || (int64_t)k >= M || seen[(size_t)k])
            raise(PyExc_ValueError, "v must be a permutation of 0..%lld (v[%lld] is %lld)",
                  (long long)(M - 1), (long long)i, (long long)k);
        seen[(size_t)k] = true;
    }
    Int no_rows = 0;  // a valid address when H has no rows (the library reads none)
    Int *perm = M > 0 ? const_cast<Int *>(pv) : &no_rows;

    const bool left = method == SPQR_QX || method == SPQR_QTX;
    const bool known = left || method == SPQR_XQ || method == SPQR_XQT;  // else the library refuses it
    auto require_length = [&](size_t rows, size_t cols) {
        if (known && (int64_t)(left ? rows : cols) != M)
            raise(PyExc_ValueError, "X must have %lld %s for method %d (Q is %lld x %lld), got %zu",
                  (long long)M, left ? "rows" : "columns", method, (long long)M, (long long)M,
                  left ? rows : cols);
    };

    if (!truth(obj.issparse(X_in))) {
        cholmod_dense Xd;
        dense_header(X_in, V::is_real, &Xd, "X", x_pin);
        require_length(Xd.nrow, Xd.ncol);
        // The 32-bit instance counts the entries of X (and of its copy) in int32.
        if (V::use_int32 && Xd.ncol > 0 &&
            Xd.nrow > (size_t)std::numeric_limits<int32_t>::max() / Xd.ncol)
            raise(PyExc_ValueError,
                  "X has %zu x %zu entries, too many for the 32-bit indices of H; use int64 "
                  "index arrays", Xd.nrow, Xd.ncol);
        return householder_product<V, cholmod_dense, DenseResult>(method, Hs, HTau, perm, Xd);
    }
    SparseOperand X;
    sparse_operand<V>(X_in, X);
    require_dimensions_fit<Int>(X.header, "X");
    require_length(X.header.nrow, X.header.ncol);
    return householder_product<V, cholmod_sparse, SparseResult>(method, Hs, HTau, perm, X.header);
}

// The index and value variant of a call from the buffers of tau and v.
template <class F> nb::object dispatch_householder(nb::handle tau, nb::handle v, F &&f) {
    const Elem te = buffer_elem(tau), ve = buffer_elem(v);
    if ((te != Elem::f64 && te != Elem::c128) || (ve != Elem::i32 && ve != Elem::i64))
        raise(PyExc_TypeError, "No matching signature found");
    return dispatch(te == Elem::f64, ve == Elem::i32, std::forward<F>(f));
}

int method_code(nb::handle method_obj) {
    const int64_t method = to_index(method_obj, "method");
    if (method < std::numeric_limits<int32_t>::min() || method > std::numeric_limits<int32_t>::max())
        raise(PyExc_OverflowError, "method %lld does not fit in a 32-bit integer", (long long)method);
    return (int)method;
}

nb::object qmult_entry(nb::handle method_obj, nb::handle H, nb::handle tau, nb::handle v,
                       nb::handle X) {
    const int method = method_code(method_obj);
    return dispatch_householder(tau, v, [&](auto var) {
        // H was not validated: the bridge checks its arrays completely (held meanwhile).
        CscArrays H_arrays;
        cholmod_sparse Hs;
        sparse_header(H, &Hs, H_arrays);
        return qmult_once<decltype(var)>(method, Hs, tau, v, X);
    });
}

//------------------------------------------------------------------------------
// spqr_qmult
//------------------------------------------------------------------------------

struct Householder {
    QrMatrix H;  // validated once; its header is what the library reads
    nb::object tau, v;
};

void checked_householder(nb::handle house, Householder &h) {
    // SciPy's iteration and str() of a sparse matrix trust its index arrays: a corrupted
    // one could crash them, and no sparse matrix is a Householder form anyway.
    const bool sparse = truth(obj.issparse(house));
    try {
        if (sparse)
            raise(PyExc_TypeError, "a sparse matrix is not a tuple (H, tau, v)");
        std::array<nb::object, 3> items = unpack<3>(house);
        qr_matrix(items[0], h.H);
        nb::object itype = h.H.in.indptr.attr("dtype");
        h.tau = obj.asfortranarray(items[1]).attr("reshape")(1, -1);
        if (!h.tau.attr("shape").equal(nb::make_tuple(1, h.H.in.ncol)))
            raise(PyExc_TypeError, "tau shape mismatch");
        if (!h.tau.attr("dtype").equal(h.H.values.attr("dtype")))
            raise(PyExc_TypeError, "tau dtype mismatch");
        h.v = obj.asfortranarray(items[2]);
        if (!h.v.attr("shape").equal(nb::make_tuple(h.H.in.nrow)))
            raise(PyExc_TypeError, "v shape mismatch");
        if (!h.v.attr("dtype").equal(itype))
            raise(PyExc_TypeError, "v dtype mismatch");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        std::string text = std::string("house must be a tuple of (H, tau, v) representing the "
                                       "Householder vectors, coefficients, and permutation. Got ") +
                           (sparse ? nb::repr(house) : nb::str(house)).c_str() + ".";
        e.restore();
        raise_in_place_of_current(PyExc_ValueError, text.c_str());
    }
}

nb::object spqr_qmult_entry(nb::handle house, nb::handle X_in, nb::handle method) {
    Householder h;
    checked_householder(house, h);

    nb::object X = nb::borrow(X_in);
    if (!truth(obj.issparse(X))) {
        PyObject *r = call_one(obj.asfortranarray.ptr(), X.ptr());
        if (r == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_Exception))
                throw nb::python_error();
            raise_in_place_of_current(PyExc_ValueError, "X must be an ndarray or sparse matrix.");
        }
        X = nb::steal(r);
    }
    const int64_t ndim = to_index(X.attr("ndim"), "ndim");
    if (ndim != 1 && ndim != 2)
        raise(PyExc_ValueError, "X must be a 1D or 2D array.");

    require_str_or_none(method);
    const int code = qmult_code(method);

    nb::object shape = X.attr("shape");
    const bool left = code == SPQR_QTX || code == SPQR_QX;
    nb::object n = nb::steal(PySequence_GetItem(shape.ptr(), left ? 0 : 1));  // IndexError for 1-D XQ
    check_python(n.is_valid());
    nb::object rows = nb::int_(h.H.in.nrow);
    if (!rows.equal(n))
        raise(PyExc_ValueError, "Input X must have compatible shape with Q. Expected %s, got %s.",
              nb::str(rows).c_str(), nb::str(n).c_str());

    const bool return_1d = ndim == 1;
    if (return_1d)
        X = X.attr("reshape")(-1, 1);
    nb::object Y = dispatch_householder(h.tau, h.v, [&](auto var) {
        return qmult_once<decltype(var)>(code, h.H.header, h.tau, h.v, X);
    });
    if (return_1d)
        return Y[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), 0)];
    return Y;
}

//------------------------------------------------------------------------------
// Docstrings
//------------------------------------------------------------------------------

const char *householder_doc = R"(A class to hold the Householder representation of Q.

``Q = P^T H_1 H_2 ... H_k`` where ``H_j = I - tau[j] h_j h_j^H`` and ``h_j`` is
column j of `H`; `spqr_qmult` applies it without forming Q.

Attributes
----------
H : scipy.sparse.csc_array
    The Householder vectors stored in a sparse matrix, one per column (M rows).
tau : numpy.ndarray
    The Householder coefficients (array of float, complex for complex data), one
    per column of `H`.
perm : numpy.ndarray
    The permutation vector (array of int) of the rows of `H`.
)";

const char *spqr_doc = R"(Sparse QR factorisation ``Q R = A E`` of a sparse matrix.

The factorisation is computed in one call with SuiteSparseQR, with a
fill-reducing column permutation E and rank detection; nothing is kept between
calls (see `spqr_factor` for a reusable factorisation).

Parameters
----------
A : (M, N) array_like or sparse array
    The matrix. Any SciPy sparse format or dense array-like is accepted (non-CSC
    input is converted with a ``SparseEfficiencyWarning``). Real values are
    computed in float64, complex values in complex128; int32 or int64 index
    arrays select the 32- or 64-bit library instance.
mode : {'full', 'economic', 'r', 'householder'}, optional
    What to return:

    - ``'full'`` (default): ``(Q, R, E)`` with Q of shape (M, M) and R (M, N).
    - ``'economic'``: ``(Q, R, E)`` with Q (M, K) and R (K, N), K = min(M, N).
    - ``'r'``: ``(R, E)``, R with M rows; Q is not formed.
    - ``'householder'``: ``(house, R, E)`` with Q in Householder form, an
      `SPQRHouseholder` that `spqr_qmult` accepts.
order : str, optional
    The fill-reducing ordering (S is A without its singleton rows and columns):

    - ``'default'``: COLAMD on S (the default, also for None)
    - ``'fixed'``: the identity, no singletons removed (E is None)
    - ``'natural'``: singletons removed, no fill-reducing ordering
    - ``'colamd'``: COLAMD on S
    - ``'cholmod'``: the same as ``'best'``
    - ``'amd'``: AMD on ``S^H S``
    - ``'metis'``: METIS on ``S^H S``
    - ``'best'``: try ``'amd'``, ``'colamd'`` and ``'metis'`` and keep the best
    - ``'bestamd'``: try ``'amd'`` and ``'colamd'`` and keep the best
tol : float, optional
    Columns whose 2-norm is below `tol` are treated as zero. None (default) uses
    the library's default, ``20 eps (M + N) sqrt(max diag(A^H A))``; 0 treats no
    column as zero. Other values are passed on as given: the library uses its
    default for -2 and below and no tolerance between -2 and 0.

Returns
-------
Q : (M, M) or (M, K) csc_array
    The orthogonal (unitary) factor, modes 'full' and 'economic'.
house : SPQRHouseholder
    Q in Householder form ``(H, tau, perm)``, mode 'householder'. `tau` is
    1-D (0-D for a single coefficient).
R : csc_array
    The upper trapezoidal factor, float64 or complex128 like the computation.
E : (N,) ndarray or None
    The column permutation, of the index type of the matrix: column k of
    ``A E`` is column ``E[k]`` of A. None when the library returns none (the
    identity, for instance with ``order='fixed'``).

Raises
------
ValueError
    For an invalid matrix, mode or ordering name.
TypeError
    For a tolerance that is not a number, or values that are neither real nor
    complex numbers.
)" FERROW_SPQR_DOC_LIBRARY_FAILS R"(spqr_qmult, spqr_factor, spqr_solve

Notes
-----
This function is part of an interface to the SuiteSparse SPQR library. Entries
of R that cancel to exactly zero are dropped, so ``R.nnz`` can differ slightly
between machines. The rank the library finds is not returned.

.. versionadded:: 0.5.0

References
----------
.. [1] T. A. Davis, "Algorithm 915, SuiteSparseQR: Multifrontal multithreaded
   rank-revealing sparse QR factorization", ACM Trans. Math. Softw. 38(1), 2011.

Examples
--------
>>> import numpy as np
>>> import scipy.sparse as sp
>>> from ferrow.spqr import spqr
>>> A = sp.csc_array(np.array([[1., 0.], [2., 3.], [0., 4.]]))
>>> Q, R, E = spqr(A)
>>> Q.shape, R.shape
((3, 3), (3, 2))
>>> np.allclose((Q @ R).toarray(), A[:, E].toarray())
True
>>> Q, R, E = spqr(A, mode="economic")
>>> Q.shape, R.shape
((3, 2), (2, 2))
)";

const char *qmult_raw_doc = R"(Multiply by Q in Householder form on raw arrays (the worker of `spqr_qmult`).

Parameters
----------
method : int
    The library's method code: 0 Q^H X, 1 Q X, 2 X Q^H, 3 X Q.
H : csc_array
    The Householder vectors (M rows), float64 or complex128 values, sorted row
    indices, no empty column.
tau : (1, k) ndarray
    The coefficients, one per column of H, stored contiguously; its type
    (float64 or complex128) selects the value variant.
v : (M,) ndarray
    The row permutation, a contiguous int32 or int64 array (selecting the index
    variant) holding a permutation of 0..M-1.
X : ndarray or sparse array
    A 2-D array of tau's type whose first axis is contiguous, or a sparse matrix
    of that value type; M rows for methods 0 and 1, M columns for 2 and 3.

Returns
-------
Y : ndarray or csc_array
    The product, 2-D; sparse when `X` is sparse.
)";

}  // namespace

void register_qr(nb::module_ &m) {
    // SPQRHouseholder: the functional form of typing.NamedTuple would record the field
    // types as forward references, so the annotations are assigned afterwards.
    nb::list fields;
    fields.append(nb::make_tuple("H", "~scipy.sparse.csc_array"));
    fields.append(nb::make_tuple("tau", "~numpy.ndarray"));
    fields.append(nb::make_tuple("perm", "~numpy.ndarray"));
    nb::object house = m.attr("NamedTuple")("SPQRHouseholder", fields);
    nb::dict annotations;
    annotations["H"] = "~scipy.sparse.csc_array";
    annotations["tau"] = "~numpy.ndarray";
    annotations["perm"] = "~numpy.ndarray";
    house.attr("__annotations__") = annotations;
    house.attr("__doc__") = householder_doc;
    house.attr("__module__") = m.attr("__name__");
    m.attr("SPQRHouseholder") = house;
    obj.SPQRHouseholder.set(house);

    // .none(): every argument reaches the checks of its function, None included.
    m.def("spqr", &spqr_entry,
          nb::sig("def spqr(A: " FERROW_SPQR_MATRIX ", *, mode: Literal['full', 'economic', 'r', "
                  "'householder'] = 'full', " FERROW_SPQR_ORDER ", " FERROW_SPQR_TOL ") -> "
                  "tuple[csc_array, csc_array, " FERROW_SPQR_INDEX " | None] | tuple[csc_array, "
                  FERROW_SPQR_INDEX " | None] | tuple[SPQRHouseholder, csc_array, "
                  FERROW_SPQR_INDEX " | None]"),
          nb::arg("A").none(), nb::kw_only(), nb::arg("mode").none() = "full",
          nb::arg("order").none() = nb::none(), nb::arg("tol").none() = nb::none(), spqr_doc);
    m.def("_qmult", &qmult_entry, nb::arg("method").none(), nb::arg("H").none(),
          nb::arg("tau").none(), nb::arg("v").none(), nb::arg("X").none(), qmult_raw_doc);
    m.def("spqr_qmult", &spqr_qmult_entry,
          nb::sig("def spqr_qmult(house: SPQRHouseholder | tuple[Any, Any, Any], X: "
                  FERROW_SPQR_MATRIX ", " FERROW_SPQR_METHOD ") -> NDArray[np.float64] | "
                  "NDArray[np.complex128] | csc_array"),
          nb::arg("house").none(), nb::arg("X").none(),
          nb::arg("method").none() = "QX", docs.qmult_function.c_str());
}

}  // namespace ferrow::spqr
