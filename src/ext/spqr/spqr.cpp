// ferrow.spqr: the module frame. Loading binds the NumPy and CHOLMOD-bridge interfaces,
// the exception classes, the tables, and then the parts of the module in order.
#include <nanobind/nanobind.h>

#define PY_ARRAY_UNIQUE_SYMBOL ferrow_spqr_ARRAY_API
#include <numpy/arrayobject.h>

#include "common/module_def.hpp"
#include "common/threads.hpp"
#include "spqr/frame.hpp"

namespace ferrow::spqr {

const ferrow_cholmod_api *bridge = nullptr;
Objects obj;
Docs docs;

//------------------------------------------------------------------------------
// Status translation
//------------------------------------------------------------------------------

struct StatusEntry {
    int status;
    Held Objects::*cls;
    const char *message;
};
const StatusEntry status_table[] = {
    {CHOLMOD_NOT_INSTALLED, &Objects::SPQRNotInstalledError, "SPQR library is not installed or not found."},
    {CHOLMOD_OUT_OF_MEMORY, &Objects::SPQROutOfMemoryError, "SPQR ran out of memory."},
    {CHOLMOD_TOO_LARGE, &Objects::SPQROverflowError, "SPQR encountered an integer overflow."},
    {CHOLMOD_INVALID, &Objects::SPQRInvalidInputError, "SPQR received invalid input."},
    {CHOLMOD_GPU_PROBLEM, &Objects::SPQRGpuProblemError, "SPQR encountered a problem with CUDA."},
};

void handle_errors(int status) {
    if (status == 0)
        return;
    nb::gil_scoped_acquire gil;
    Held Objects::*cls = &Objects::SPQRError;
    const char *message = "An unknown SPQR error occurred.";
    for (const StatusEntry &e : status_table)
        if (e.status == status) {
            cls = e.cls;
            message = e.message;
        }
    std::string text = std::string(message) + " (code " + std::to_string(status) + ")";
    raise_object((obj.*cls).get(), text);
}

void check_status(int status) {
    if (status == kNoResult)
        raise_object(obj.SPQRError.get(), "An unknown SPQR error occurred. (no result)");
    handle_errors(status);
}

//------------------------------------------------------------------------------
// Tables
//------------------------------------------------------------------------------

struct Ordering {
    const char *name;
    int code;
};
// In this order: the reverse table is built by walking it.
const Ordering orderings[] = {
    {"default", SPQR_ORDERING_DEFAULT}, {"fixed", SPQR_ORDERING_FIXED},
    {"natural", SPQR_ORDERING_NATURAL}, {"colamd", SPQR_ORDERING_COLAMD},
    {"cholmod", SPQR_ORDERING_CHOLMOD}, {"amd", SPQR_ORDERING_AMD},
    {"metis", SPQR_ORDERING_METIS},     {"best", SPQR_ORDERING_BEST},
    {"bestamd", SPQR_ORDERING_BESTAMD},
};

int ordering_code(nb::handle order) {
    if (order.is_none())
        return SPQR_ORDERING_DEFAULT;
    if (PyObject_Hash(order.ptr()) == -1)  // the mapping lookup's TypeError
        throw nb::python_error();
    if (PyUnicode_Check(order.ptr())) {
        for (const Ordering &o : orderings)
            if (PyUnicode_CompareWithASCIIString(order.ptr(), o.name) == 0)
                return o.code;
    }
    nb::set names;
    for (const Ordering &o : orderings)
        names.add(nb::str(o.name));
    std::string text = std::string("Unknown ordering method: ") + nb::str(order).c_str() +
                       ". Must be one of " + nb::str(names).c_str() + ".";
    // The failed lookup's KeyError becomes the context; set only once the text is built
    // (no Python call may run while an exception is pending).
    PyErr_SetObject(PyExc_KeyError, order.ptr());
    raise_in_place_of_current(PyExc_ValueError, text.c_str());
}

const char *ordering_name(int code) {
    for (const Ordering &o : orderings)
        if (o.code == code)
            return o.name;
    return nullptr;
}

struct Method {
    const char *name;
    int code;
};
const Method methods[] = {{"QX", SPQR_QX}, {"QTX", SPQR_QTX}, {"XQ", SPQR_XQ}, {"XQT", SPQR_XQT}};

int qmult_code(nb::handle method) {
    for (const Method &m : methods) {
        int eq = PyObject_RichCompareBool(method.ptr(), nb::str(m.name).ptr(), Py_EQ);
        check_python(eq >= 0);
        if (eq)
            return m.code;
    }
    std::string text = std::string("Invalid method '") + nb::str(method).c_str() +
                       "'. Expected one of ['QX', 'QTX', 'XQ', 'XQT'].";
    raise(PyExc_ValueError, "%s", text.c_str());
}

[[noreturn]] void raise_expected(const char *expected, nb::handle got) {
    raise(PyExc_TypeError, "Expected %s, got %.200s", expected, type_name(got.ptr()).c_str());
}

void require_str_or_none(nb::handle method) {
    if (!method.is_none() && !PyUnicode_Check(method.ptr()))
        raise_expected("str", method);
}

double tolerance(nb::handle tol) { return tol.is_none() ? -2.0 : to_double(tol); }

//------------------------------------------------------------------------------
// Common blocks and owners
//------------------------------------------------------------------------------

void start_common(cholmod_common *cc, bool use_int32) {
    if (!start_cholmod_common(cc, use_int32))
        handle_errors(cc->status != 0 ? cc->status : CHOLMOD_INVALID);
}

void require_started(CholmodCommon &cc) {
    if (!cc.started())
        handle_errors(cc.status() != 0 ? cc.status() : CHOLMOD_INVALID);
}

void free_ints(cholmod_common *cc, bool use_int32, void *p, size_t n) {
    if (use_int32) cholmod_free(n, sizeof(int32_t), p, cc);
    else cholmod_l_free(n, sizeof(int64_t), p, cc);
}

template <> void Result<cholmod_sparse>::reset(cholmod_sparse *p) {
    if (int32_) free_sparse<int32_t>(&p_, cc_);
    else free_sparse<int64_t>(&p_, cc_);
    p_ = p;
}

template <> void Result<cholmod_dense>::reset(cholmod_dense *p) {
    if (int32_) free_dense<int32_t>(&p_, cc_);
    else free_dense<int64_t>(&p_, cc_);
    p_ = p;
}

template <> nb::object Result<cholmod_sparse>::to_python() {
    if (p_ == nullptr)
        return nb::none();
    cholmod_sparse *p = std::exchange(p_, nullptr);  // the bridge takes it over, also on failure
    PyObject *r = bridge->csc_from_cholmod_sparse(p, cc_);
    check_python(r != nullptr);
    return nb::steal(r);
}

template <> nb::object Result<cholmod_dense>::to_python() {
    if (p_ == nullptr)
        return nb::none();
    cholmod_dense *p = std::exchange(p_, nullptr);
    PyObject *r = bridge->ndarray_from_cholmod_dense(p, int32_, cc_);
    check_python(r != nullptr);
    return nb::steal(r);
}

//------------------------------------------------------------------------------
// Matrices
//------------------------------------------------------------------------------

nb::object make_csc(nb::handle data, nb::handle indices, nb::handle indptr, Py_ssize_t nrow,
                    Py_ssize_t ncol) {
    PyObject *B = bridge->csc_from_arrays(nrow, ncol, indptr.ptr(), indices.ptr(), data.ptr());
    check_python(B != nullptr);
    return nb::steal(B);
}

nb::object qr_values(nb::handle data) {
    nb::object dtype = data.attr("dtype");
    if (dtype.equal(obj.dtype_float64.get()) || dtype.equal(obj.dtype_complex128.get()))
        return nb::borrow(data);
    std::string kind = nb::cast<std::string>(dtype.attr("kind"));
    int itemsize = nb::cast<int>(dtype.attr("itemsize"));
    nb::handle target;
    if (kind == "b" || kind == "i" || kind == "u" || (kind == "f" && itemsize < 8))
        target = obj.dtype_float64.get();
    else if (kind == "c" && itemsize < 16)
        target = obj.dtype_complex128.get();
    else
        raise(PyExc_TypeError,
              "SPQR computes with float64 or complex128 values; a matrix of dtype %s cannot be "
              "converted to either without loss",
              nb::str(dtype).c_str());
    return data.attr("astype")(target);
}

void fill_header(cholmod_sparse &header, int64_t nrow, int64_t ncol, const Buffer &p,
                 const Buffer &i, const Buffer &x) {
    static double no_values[2] = {0.0, 0.0};  // CHOLMOD refuses a null value pointer
    const bool int32 = p.elem() == Elem::i32;
    const int64_t nnz = int32 ? (int64_t)p.data<int32_t>()[ncol] : (int64_t)p.data<int64_t>()[ncol];
    x.require_length(nnz, "one value per stored entry");
    std::memset(&header, 0, sizeof header);
    header.nrow = (size_t)nrow;
    header.ncol = (size_t)ncol;
    header.nzmax = (size_t)nnz;
    header.p = p.data<void>();
    header.i = i.data<void>();
    header.x = x.size() > 0 ? x.data<void>() : no_values;
    header.itype = int32 ? CHOLMOD_INT : CHOLMOD_LONG;
    header.xtype = x.elem() == Elem::f64 ? CHOLMOD_REAL : CHOLMOD_COMPLEX;
    header.dtype = CHOLMOD_DOUBLE;
    header.sorted = 1;  // validated: sorted rows, no duplicates
    header.packed = 1;
}

void qr_matrix(nb::handle A, QrMatrix &m) {
    validate_csc(A, false, m.in, false);
    m.values = qr_values(m.in.data);
    m.x.acquire(m.values, "data", false);
    fill_header(m.header, m.in.nrow, m.in.ncol, m.in.p, m.in.i, m.x);
}

void sparse_header(nb::handle A, cholmod_sparse *header, CscArrays &keep) {
    keep.shape = A.attr("shape");
    keep.indptr = A.attr("indptr");
    keep.indices = A.attr("indices");
    keep.data = A.attr("data");
    keep.p.pin(keep.indptr);
    keep.i.pin(keep.indices);
    keep.x.pin(keep.data);
    int rc = bridge->sparse_from_csc(keep.shape.ptr(), keep.indptr.ptr(), keep.indices.ptr(),
                                     keep.data.ptr(), 0, header);
    check_python(rc == 0);
}

void dense_header(nb::handle X, bool is_real, cholmod_dense *header, const char *name,
                  BufferPin &pin) {
    pin.pin(X);
    if (bridge->dense_from_ndarray[is_real ? 1 : 3](X.ptr(), header) != 0) {
        PyErr_Clear();
        std::string got = type_name(X.ptr());
        if (PyObject_TypeCheck(X.ptr(), &PyArray_Type))
            got = nb::cast<std::string>(nb::str(nb::object(X.attr("dtype")))) + " array of shape " +
                  nb::cast<std::string>(nb::str(nb::object(X.attr("shape")))) + " and strides " +
                  nb::cast<std::string>(nb::str(nb::object(X.attr("strides")))) +
                  (truth(X.attr("flags").attr("aligned")) ? "" : ", not aligned for its type");
        raise(PyExc_ValueError,
              "%s must be a 2-D %s array whose first axis is contiguous (got %.200s)", name,
              is_real ? "float64" : "complex128", got.c_str());
    }
}

//------------------------------------------------------------------------------
// Docstring templates
//------------------------------------------------------------------------------

// The end that the solve and qmult templates share.
const char *notes_and_references = R"(Notes
-----
This function is part of an interface to the SuiteSparse SPQR library.

.. versionadded:: 0.5.0

References
----------
.. [1] T. A. Davis, "Algorithm 915, SuiteSparseQR: Multifrontal multithreaded
   rank-revealing sparse QR factorization", ACM Trans. Math. Softw. 38(1), 2011.
)";

const char *solve_head = R"(Solve the linear system ``A x = b`` in the least-squares sense.

With ``transpose=False`` the least-squares problem :math:`\min_x \|A x - b\|_2` is
solved with the factorisation ``Q R = A E``: ``x = E (R \ (Q^{{H}} b))``. With
``transpose=True`` the (conjugate) transposed system :math:`A^{{H}} x = b` is solved
instead, ``x = Q (R^{{H}} \ (E^{{T}} b))``: for ``M >= N`` its minimum-norm solution.
For ``M < N`` that system has more equations than unknowns and its least-squares
solution needs a factorisation of ``A^{{H}}``, not of ``A``.

Parameters
----------
{A_doc}
b : (M,) or (M, K) array_like or sparse array
    Right-hand side, 1-D or 2-D, dense or sparse; ``N`` rows when `transpose`
    is true. Its values must cast safely to the factor's value type.
transpose : bool, optional
    Solve the transposed system (the conjugate transpose for complex values).
    Default False.
{min2norm}
rhs_batch_size : int, optional
    The number of columns of a 2-D `b` solved at a time: a sparse `b` is made
    dense one batch at a time, and a dense `b` with more columns is solved in
    batches too (faster: the library's work arrays stay in cache). Default 100.

Returns
-------
x : (N,) or (N, K) ndarray or sparse array
    The solution; 1-D for a 1-D `b`, sparse (CSC) for a sparse `b`; ``M`` rows
    when `transpose` is true.

Raises
------
ValueError
    When `b` is not a 1-D or 2-D array or sparse array of the right length; and
    for a factor with ``transpose=True`` when ``M < N`` (solve with a factor of
    ``A^{{H}}`` instead, for example ``spqr_solve(A.conj().T, b)``).

Warns
-----
SPQRRankDeficiencyWarning
    When the rank found is below ``min(M, N)``: the basic solution is returned.

See Also
--------
SPQRFactor, spqr_factor, spqr, spqr_qmult

)";

const char *A_doc = R"(A : (M, N) array_like or sparse array
    The matrix to factor; any SciPy sparse format or dense array-like.)";

const char *min2norm_doc = R"(min2norm : bool, optional
    If True (default) and ``M < N``, return the minimum 2-norm solution of the
    underdetermined system; `transpose` is ignored in that case. If False and
    ``M < N``, ``transpose=True`` gives the least-squares solution of
    ``A^H x = b`` (through a factorisation of ``A^H``).)";

const char *qmult_head = R"(Multiply by Q, or by its conjugate transpose, in Householder form.

Q is the orthogonal (unitary) factor of ``Q R = A E``, applied without forming it.

Parameters
----------
{house_doc}
X : (M,) or (M, K) or (K, M) array_like or sparse array
    The matrix to multiply, dense or sparse; its length along the side that Q
    meets must be M.
method : {{'QX', 'QTX', 'XQ', 'XQT'}}, optional
    ``'QX'`` computes Q X (the default), ``'QTX'`` Q^{{H}} X, ``'XQ'`` X Q and
    ``'XQT'`` X Q^{{H}}. For complex data the transpose is the conjugate
    transpose.

Returns
-------
Y : ndarray or sparse array
    The product: sparse (CSC) when `X` is sparse; 1-D when `X` is 1-D.

See Also
--------
SPQRFactor, spqr_factor, spqr, spqr_solve{see_also}

)";

const char *qmult_house_doc = R"(house : SPQRHouseholder or tuple (H, tau, v)
    Q in Householder form, typically ``spqr(A, mode='householder')[0]``: the
    Householder vectors H (sparse, M rows), their coefficients tau and the row
    permutation v.)";

const char *module_doc = R"(Sparse QR Decomposition (:mod:`ferrow.spqr`)
================================================

Sparse QR factorisation ``Q R = A E`` with SuiteSparseQR, for real and complex
matrices with 32- or 64-bit indices.

Function interface
------------------
spqr             -- one-shot QR: Q and R (full or economy), R alone, or Householder form
spqr_qmult       -- multiply by Q given in Householder form
spqr_solve       -- least-squares or minimum 2-norm solution of A x = b
SPQRHouseholder  -- Q in Householder form (H, tau, perm)

Object interface
----------------
spqr_factor      -- factor a matrix once, then solve and multiply many times
SPQRFactor       -- a factorisation with separate symbolic and numeric phases
SPQRInfo         -- statistics of the last library call of a factor

Warnings and exceptions
-----------------------
SPQRWarning                -- Base class for SPQR warnings.
SPQRRankDeficiencyWarning  -- Raised when SPQR detects a rank-deficient matrix.
SPQRError                  -- Base class for SPQR exceptions.
SPQRNotInstalledError      -- Raised when the SPQR library is not installed.
SPQROutOfMemoryError       -- Raised when SPQR runs out of memory.
SPQROverflowError          -- Raised when SPQR encounters an integer overflow.
SPQRInvalidInputError      -- Raised when SPQR receives invalid input.
SPQRGpuProblemError        -- Raised when SPQR encounters a problem with CUDA.
)";

std::string format_doc(const std::string &templ, std::initializer_list<std::pair<const char *, const char *>> kv) {
    nb::dict kw;
    for (auto &[k, v] : kv)
        kw[k] = nb::str(v);
    return nb::cast<std::string>(nb::str(templ.c_str(), templ.size()).attr("format")(**kw));
}

int import_numpy() {
    import_array1(-1);
    return 0;
}

}  // namespace ferrow::spqr

using namespace ferrow;
using namespace ferrow::spqr;

FERROW_MODULE(spqr, m) {
    m.doc() = module_doc;
    // 1. NumPy's compiled interface, 2. the CHOLMOD bridge.
    if (import_numpy() < 0)
        throw nb::python_error();
    bridge = ferrow_import_cholmod_api();
    if (bridge == nullptr)
        throw nb::python_error();
    bind_thread_switch();

    // 3. Names bound in the module.
    nb::module_ np = nb::module_::import_("numpy");
    m.attr("np") = np;
    obj.np.set(np);
    obj.csc_array.set(import_into(m, "scipy.sparse", "csc_array"));
    obj.issparse.set(import_into(m, "scipy.sparse", "issparse"));
    obj.hstack.set(import_into(m, "scipy.sparse", "hstack"));
    import_into(m, "typing", "NamedTuple");
    nb::module_ warnings = nb::module_::import_("warnings");
    m.attr("warnings") = warnings;
    obj.warnings.set(warnings);
    import_into(m, "ferrow.cholmod", "_cholmod_sparse_from_csc");
    import_into(m, "ferrow.utils", "validate_csc_input");
    // np.asfortranarray, plus a copy when the caller's data is not aligned for typed reads
    // (np.frombuffer(buf, np.float64, offset=1)): what it returns reaches the library.
    static Held np_asfortranarray;
    np_asfortranarray.set(np.attr("asfortranarray"));
    obj.asfortranarray.set(nb::cpp_function(
        [](nb::handle x) { return aligned(np_asfortranarray(x)); }, nb::arg("a").none()));
    obj.ascontiguousarray.set(np.attr("ascontiguousarray"));
    obj.can_cast.set(np.attr("can_cast"));
    obj.ndarray.set(np.attr("ndarray"));
    obj.dtype_int32.set(np.attr("dtype")("int32"));
    obj.dtype_int64.set(np.attr("dtype")("int64"));
    obj.dtype_float64.set(np.attr("dtype")("float64"));
    obj.dtype_complex128.set(np.attr("dtype")("complex128"));

    // 4. __all__
    static const char *all[] = {"SPQRError", "SPQRNotInstalledError", "SPQROutOfMemoryError",
                                "SPQROverflowError", "SPQRInvalidInputError", "SPQRGpuProblemError",
                                "SPQRFactor", "spqr_factor", "spqr_solve"};
    m.attr("__all__") = make_list(all, 9);

    // 5. Exceptions and warnings
    obj.SPQRWarning.set(add_exception(m, "SPQRWarning", "Base class for SPQR warnings.", {PyExc_Warning}));
    obj.SPQRRankDeficiencyWarning.set(add_exception(m, "SPQRRankDeficiencyWarning",
        "Raised when SPQR detects a rank-deficient matrix.", {obj.SPQRWarning.get()}));
    obj.SPQRError.set(add_exception(m, "SPQRError", "Base class for SPQR exceptions.", {PyExc_Exception}));
    obj.SPQRNotInstalledError.set(add_exception(m, "SPQRNotInstalledError",
        "Raised when the SPQR library is not installed.", {obj.SPQRError.get()}));
    obj.SPQROutOfMemoryError.set(add_exception(m, "SPQROutOfMemoryError",
        "Raised when SPQR runs out of memory.", {PyExc_MemoryError, obj.SPQRError.get()}));
    obj.SPQROverflowError.set(add_exception(m, "SPQROverflowError",
        "Raised when SPQR encounters an integer overflow.", {obj.SPQRError.get()}));
    obj.SPQRInvalidInputError.set(add_exception(m, "SPQRInvalidInputError",
        "Raised when SPQR receives invalid input.", {obj.SPQRError.get()}));
    obj.SPQRGpuProblemError.set(add_exception(m, "SPQRGpuProblemError",
        "Raised when SPQR encounters a problem with CUDA.", {obj.SPQRError.get()}));

    // 6. The tables are compiled in (status_table, orderings, methods).
    // Docstrings shared by a function and a method, formatted before those are defined.
    const std::string solve_template = std::string(solve_head) + notes_and_references;
    const std::string qmult_template = std::string(qmult_head) + notes_and_references;
    docs.solve_method = format_doc(solve_template, {{"A_doc", ""}, {"min2norm", ""}});
    docs.solve_function = format_doc(solve_template, {{"A_doc", A_doc}, {"min2norm", min2norm_doc}});
    docs.qmult_method = format_doc(qmult_template, {{"house_doc", ""}, {"see_also", ", spqr_qmult"}});
    docs.qmult_function = format_doc(qmult_template, {{"house_doc", qmult_house_doc}, {"see_also", ""}});

    // 7. SPQRInfo, SPQRFactor, spqr_factor, spqr_solve; 8. SPQRHouseholder, spqr, _qmult, spqr_qmult
    register_info(m);
    register_factor(m);
    register_qr(m);
    register_rank(m);

    // 9. The templates and fragments stay bound in the module.
    m.attr("_SOLVE_DOC_TEMPLATE") = solve_template.c_str();
    m.attr("_A_doc") = A_doc;
    m.attr("_min2norm_doc") = min2norm_doc;
    m.attr("_QMULT_DOC_TEMPLATE") = qmult_template.c_str();
    m.attr("_qmult_house_doc") = qmult_house_doc;
}
