// SPQRFactor: a SuiteSparseQR factorisation Q R = A E with separate symbolic and numeric
// phases, its solves and multiplications by Q, and spqr_factor / spqr_solve.
//
// Every operation on a factor holds its FactorLock (factor.hpp) from the first read of
// its records to the last conversion of a result; the library calls inside run in a
// LibraryCall scope, without the interpreter lock when the thread switch is on.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "common/threads.hpp"
#include "spqr/factor.hpp"
#include "spqr/qr_worker.hpp"
#include "spqr/signature_types.hpp"

namespace ferrow::spqr {

//------------------------------------------------------------------------------
// Lifetime and the factor's lock
//------------------------------------------------------------------------------

bool Factor::free_factorization() {
    if (cm == nullptr)
        return true;
    return visit([&](auto v) {
        using V = decltype(v);
        auto *&h = handle<typename V::Entry, typename V::Int>();
        if (h == nullptr)
            return true;
        return SuiteSparseQR_free<typename V::Entry, typename V::Int>(&h, cm) != 0;
    });
}

void Factor::release() {
    if (cm == nullptr)
        return;
    // Reached from the destructor, when no reference is left: no other thread can be in
    // an operation on this factor (each holds a reference for its duration), so the
    // mutex is free and taking it never waits.
    std::lock_guard<std::mutex> hold(mutex);
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (free_factorization()) {
        finish_cholmod_common(cm, use_int32);
    } else {
        PyErr_SetNone(PyExc_AssertionError);
        PyErr_WriteUnraisable(nullptr);
    }
    cm = nullptr;
    PyErr_Restore(type, value, traceback);
}

namespace {
thread_local int factor_locks_held = 0;  // factor mutexes this thread holds
}

FactorLock::FactorLock(Factor &f) : f_(f) {
    const std::thread::id self = std::this_thread::get_id();
    if (f.owner.load(std::memory_order_relaxed) == self)
        raise(PyExc_RuntimeError,
              "the SPQRFactor is already in use by this thread (an operation on it was "
              "re-entered from Python code it ran)");
    if (!f.mutex.try_lock()) {
        if (factor_locks_held > 0)
            raise(PyExc_RuntimeError,
                  "the SPQRFactor is in use by another thread, and this thread holds another "
                  "factor's lock; waiting could deadlock");
        nb::gil_scoped_release unlocked;  // never wait for the mutex holding the GIL
        f.mutex.lock();
    }
    f.owner.store(self, std::memory_order_relaxed);
    ++factor_locks_held;
}

FactorLock::~FactorLock() {
    --factor_locks_held;
    f_.owner.store(std::thread::id(), std::memory_order_relaxed);
    f_.mutex.unlock();
}

nb::object new_factor_object(Factor **out) {
    nb::object o = nb::inst_alloc(nb::type<Factor>());
    *out = new (nb::inst_ptr<Factor>(o)) Factor();
    nb::inst_mark_ready(o);
    return o;
}

// The factor of `self`; an instance whose constructor did not complete (it failed, or a
// subclass did not call it) fails the state guards like any factor below its state.
Factor &factor_of(nb::handle self) {
    if (!nb::isinstance<Factor>(self))
        raise(PyExc_TypeError, "expected an SPQRFactor, got %.200s", type_name(self.ptr()).c_str());
    if (!nb::inst_ready(self)) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
    return *nb::inst_ptr<Factor>(self);
}

namespace {

const char *pickle_refusal =
    "self._cm,self._common,self._factor_di,self._factor_dl,self._factor_zi,self._factor_zl "
    "cannot be converted to a Python object for pickling";

[[noreturn]] void raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
}

template <class E, class I> QRFactorization<E, I> *require_symbolic(Factor &f) {
    QRFactorization<E, I> *qr = f.cm ? f.handle<E, I>() : nullptr;
    if (qr == nullptr || qr->QRsym == nullptr)
        raise_assertion();
    return qr;
}

template <class E, class I> QRFactorization<E, I> *require_numeric(Factor &f) {
    QRFactorization<E, I> *qr = require_symbolic<E, I>(f);
    if (qr->QRnum == nullptr)
        raise_assertion();
    return qr;
}

void require_numeric(Factor &f) {
    f.visit([&](auto v) {
        using V = decltype(v);
        require_numeric<typename V::Entry, typename V::Int>(f);
    });
}

bool is_numeric(Factor &f) {
    return f.visit([&](auto v) {
        using V = decltype(v);
        QRFactorization<typename V::Entry, typename V::Int> *qr =
            f.cm ? f.handle<typename V::Entry, typename V::Int>() : nullptr;
        return qr != nullptr && qr->QRsym != nullptr && qr->QRnum != nullptr;
    });
}

void warn(PyObject *category, const std::string &message) {
    check_python(PyErr_WarnEx(category, message.c_str(), 1) == 0);
}

bool differ(nb::handle a, nb::handle b) {
    PyObject *r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE);
    check_python(r != nullptr);
    return truth(nb::steal(r));
}

std::string format(nb::handle x) {
    PyObject *s = PyObject_Format(x.ptr(), nullptr);
    check_python(s != nullptr);
    return nb::cast<std::string>(nb::steal(s));
}

std::string repr_of(nb::handle x) { return nb::cast<std::string>(nb::repr(x)); }

nb::tuple shape_of(const Factor &f) { return nb::make_tuple(f.shape[0], f.shape[1]); }

nb::object rank_of(Factor &f) {
    if (!is_numeric(f))
        return nb::none();
    return f.visit([&](auto v) -> nb::object {
        using V = decltype(v);
        return nb::int_((int64_t)f.handle<typename V::Entry, typename V::Int>()->rank);
    });
}

bool is_ndarray(nb::handle x) {
    int r = PyObject_IsInstance(x.ptr(), obj.ndarray.ptr());
    check_python(r >= 0);
    return r != 0;
}

int64_t ndim_of(nb::handle x) { return to_index(x.attr("ndim"), "ndim"); }

nb::object column(nb::handle Y) {
    return Y[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), 0)];
}

// Runs a worker in a LibraryCall scope and returns its status.
template <class F> int run(F &&worker) {
    LibraryCall scope;
    return worker();
}

//------------------------------------------------------------------------------
// Construction and numeric factorisation
//------------------------------------------------------------------------------

// The analysis of `A` (a validated matrix) into the new factor `f`, which no other
// thread can see yet.
void analyse(Factor &f, cholmod_sparse &A, bool use_singletons, int ordering, double tol) {
    f.tol = tol;
    f.use_int32 = A.itype == CHOLMOD_INT;
    f.is_real = A.xtype == CHOLMOD_REAL;
    start_common(&f.common, f.use_int32);
    f.cm = &f.common;
    int status = f.visit([&](auto v) {
        using E = typename decltype(v)::Entry;
        using I = typename decltype(v)::Int;
        return run([&] {
            return analyse_worker<E, I>(use_singletons, ordering, f.tol, A, &f.handle<E, I>(), f.cm);
        });
    });
    check_status(status);
    f.itype = nb::borrow(f.use_int32 ? obj.dtype_int32.get() : obj.dtype_int64.get());
    f.dtype = nb::borrow(f.is_real ? obj.dtype_float64.get() : obj.dtype_complex128.get());
    f.shape[0] = (int64_t)A.nrow;
    f.shape[1] = (int64_t)A.ncol;
}

// A new SPQRFactor object analysing `A`.
nb::object new_factor(cholmod_sparse &A, bool use_singletons, int ordering, double tol) {
    Factor *f;
    nb::object o = new_factor_object(&f);  // releases whatever was built on failure
    analyse(*f, A, use_singletons, ordering, tol);
    return o;
}

void factor_init(Factor *self, nb::handle A_in, Flag use_singletons, nb::handle order,
                 nb::handle tol_obj) {
    bool singletons = use_singletons.value();
    Factor *f = new (self) Factor();
    try {
        QrMatrix A;  // held while the library may read it
        qr_matrix(A_in, A);
        const int ordering = ordering_code(order);
        const double tol = tolerance(tol_obj);
        analyse(*f, A.header, singletons, ordering, tol);
    } catch (...) {
        // The instance never becomes ready, so its destructor would not run: release the
        // common block and whatever the library returned here, once.
        f->~Factor();
        throw;
    }
}

// np.dtype(x): dtypes compare with each other in NumPy's own code. (A comparison that
// dispatched to an arbitrary object could run SciPy's compiled code on a sparse object
// whose arrays were never checked.)
nb::object as_dtype(nb::handle x) { return obj.np.get().attr("dtype")(x); }

// shape, itype and dtype never change once the factor exists: no lock needed.
void check_input_matrix(Factor &f, nb::handle A_shape, nb::handle itype_obj, nb::handle dtype_obj) {
    nb::object shape = shape_of(f);
    nb::object itype = as_dtype(itype_obj);
    if (differ(shape, A_shape))
        raise(PyExc_ValueError,
              "The shape of the input matrix does not match the one used for symbolic "
              "factorization. Expected %s, got %s.",
              format(shape).c_str(), format(A_shape).c_str());
    if (differ(itype, f.itype))
        raise(PyExc_ValueError,
              "The integer size of the input matrix does not match the one used for symbolic "
              "factorization. Expected '%s', got '%s'.",
              format(f.itype).c_str(), format(itype).c_str());
    nb::object dtype = as_dtype(dtype_obj);
    if (differ(dtype, f.dtype))
        raise(PyExc_ValueError,
              "The data type of the input matrix does not match the one used for symbolic "
              "factorization. Expected '%s', got '%s'.",
              format(f.dtype).c_str(), format(dtype).c_str());
}

// The numeric factorisation of `A` (validated, of the factor's types) with the factor's
// lock held. `check_pattern` is false only for the matrix the factor was just analysed
// with.
void factorize_locked(Factor &f, cholmod_sparse &A, double t, bool check_pattern) {
    int status = f.visit([&](auto v) {
        using E = typename decltype(v)::Entry;
        using I = typename decltype(v)::Int;
        QRFactorization<E, I> *qr = require_symbolic<E, I>(f);
        return run([&] { return numeric_worker<E, I>(t, A, qr, check_pattern, f.cm); });
    });
    if (status == kPatternMismatch)
        raise(PyExc_ValueError,
              "The sparsity pattern of the input matrix does not match the one used for "
              "symbolic factorization.");
    f.tol = t;
    handle_errors(status);
}

nb::object factorize(nb::handle self, nb::handle A_in, nb::handle tol) {
    Factor &f = factor_of(self);
    QrMatrix A;  // held while the library may read it
    qr_matrix(A_in, A);
    check_input_matrix(f, nb::make_tuple(A.in.nrow, A.in.ncol), A.in.indptr.attr("dtype"),
                       A.values.attr("dtype"));
    if (A.use_int32() != f.use_int32 || A.is_real() != f.is_real)
        raise(PyExc_ValueError, "The input matrix does not match the factor's index or value type.");
    double t = tol.is_none() ? 0.0 : tolerance(tol);
    FactorLock lock(f);
    if (tol.is_none())
        t = f.tol;
    else if (is_numeric(f) && t != f.tol)
        warn(PyExc_UserWarning,
             "The tolerance has been changed from the one used during a previous numeric "
             "factorization. This may lead to inconsistent rank determination.");
    factorize_locked(f, A.header, t, true);
    return nb::borrow(self);
}

//------------------------------------------------------------------------------
// Dense blocks handed to the library
//------------------------------------------------------------------------------

// Describes `X` (a 2-D array of the factor's value type whose first axis is contiguous)
// as a dense block viewing its memory, pinned by `pin`; TypeError otherwise.
void dense_view(Factor &f, nb::handle X, const char *name, cholmod_dense *block, BufferPin &pin) {
    if (X.is_none())
        raise(PyExc_TypeError, "Argument '%s' must not be None", name);
    pin.pin(X);
    if (bridge->dense_from_ndarray[f.is_real ? 1 : 3](X.ptr(), block) == 0)
        return;
    PyErr_Clear();
    std::string got = type_name(X.ptr());
    if (is_ndarray(X)) {
        got = "a " + std::to_string(ndim_of(X)) + "-D " + format(X.attr("dtype")) + " array";
        if (ndim_of(X) == 2 && !differ(X.attr("dtype"), f.dtype))
            got += truth(X.attr("flags").attr("aligned"))
                       ? " whose first axis is not contiguous"
                       : " whose data is not aligned for its type (pass an aligned copy)";
    }
    raise(PyExc_TypeError,
          "%s must be a 2-D %s array whose first axis is contiguous (column-major), the value "
          "type of the factor; got %.200s",
          name, f.is_real ? "float64" : "complex128", got.c_str());
}

// A factor of a wide A (M < N) holds R as M x N upper trapezoidal: its transposed solve
// would satisfy only the first M equations of A^H x = b, whose least-squares solution
// needs a factorisation of A^H instead. Refused rather than answered wrongly.
void require_transposable(Factor &f, bool transpose) {
    if (transpose && f.shape[0] < f.shape[1])
        raise(PyExc_ValueError,
              "A transposed solve needs a factor of A^H when A has fewer rows than columns "
              "(A.shape=%s): the least-squares solution of A^H x = b cannot be computed from "
              "Q R = A E. Use spqr_solve(A.conj().T, b), or solve with a factor of A.conj().T, "
              "instead.",
              format(shape_of(f)).c_str());
}

// One dense block solved (the factor's lock held): the result in X.
template <class E, class I>
void solve_block(Factor &f, QRFactorization<E, I> *qr, cholmod_dense *B, bool transpose,
                 DenseResult &X) {
    check_status(run([&] { return solve_worker<E, I>(qr, B, transpose, X.out(), f.cm); }));
}

// The checks of b, then the solve, with the factor's lock held.
nb::object solve_dense_locked(Factor &f, nb::handle b, bool transpose) {
    require_numeric(f);
    require_transposable(f, transpose);
    cholmod_dense B;
    BufferPin pin;
    dense_view(f, b, "b", &B, pin);
    const int64_t rows = transpose ? f.shape[1] : f.shape[0];
    if ((int64_t)B.nrow != rows)
        raise(PyExc_ValueError, "b must have %lld rows (%s), got %lld", (long long)rows,
              transpose ? "N, the columns of A, for transpose=True" : "M, the rows of A",
              (long long)B.nrow);
    return f.visit([&](auto v) -> nb::object {
        using E = typename decltype(v)::Entry;
        using I = typename decltype(v)::Int;
        QRFactorization<E, I> *qr = require_numeric<E, I>(f);
        DenseResult X(f.cm, f.use_int32);
        solve_block<E, I>(f, qr, &B, transpose, X);
        return X.to_python();
    });
}

nb::object solve_dense(nb::handle self, nb::handle b, nb::handle transpose_obj) {
    Factor &f = factor_of(self);
    bool transpose = truth(transpose_obj);
    FactorLock lock(f);
    return solve_dense_locked(f, b, transpose);
}

// The product with Q of a dense X, with the factor's lock held.
nb::object qmult_dense_locked(Factor &f, int64_t method, nb::handle X) {
    require_numeric(f);
    if (method < SPQR_QTX || method > SPQR_XQ)
        raise(PyExc_ValueError,
              "method must be one of SuiteSparseQR's method codes 0 (QTX), 1 (QX), 2 (XQT), "
              "3 (XQ); got %lld",
              (long long)method);
    cholmod_dense Xd;
    BufferPin pin;
    dense_view(f, X, "X", &Xd, pin);
    const bool left = method == SPQR_QTX || method == SPQR_QX;
    const int64_t n = left ? (int64_t)Xd.nrow : (int64_t)Xd.ncol;
    if (n != f.shape[0])
        raise(PyExc_ValueError, "X must have %lld %s (M, the order of Q), got %lld",
              (long long)f.shape[0], left ? "rows" : "columns", (long long)n);
    return f.visit([&](auto v) -> nb::object {
        using E = typename decltype(v)::Entry;
        using I = typename decltype(v)::Int;
        QRFactorization<E, I> *qr = require_numeric<E, I>(f);
        DenseResult Y(f.cm, f.use_int32);
        check_status(run([&] { return qmult_worker<E, I>((int)method, qr, Xd, Y.out(), f.cm); }));
        return Y.to_python();
    });
}

nb::object qmult_dense(nb::handle self, nb::handle method_obj, nb::handle X) {
    Factor &f = factor_of(self);
    int64_t method = to_index(method_obj, "method");
    FactorLock lock(f);
    return qmult_dense_locked(f, method, X);
}

//------------------------------------------------------------------------------
// Sparse operands
//------------------------------------------------------------------------------

// X validated once, as a header of the factor's index type: int64 indices are narrowed
// to int32 only when every value fits (the index arrays are never read as another width).
struct Operand {
    CscInput in;
    nb::object indptr, indices;  // in's, or their conversions
    Buffer p, i, x;
    cholmod_sparse header;
};

// validate_csc, silently for a single column (a reshaped 1-D operand).
void validated_operand(nb::handle X, CscInput &in) {
    bool quiet = to_index(X.attr("shape")[1], "columns") == 1;
    if (!quiet)
        return validate_csc(X, false, in);
    nb::object guard = obj.warnings.get().attr("catch_warnings")();
    guard.attr("__enter__")();
    try {
        obj.warnings.get().attr("simplefilter")("ignore", nb::module_::import_("scipy.sparse")
                                                            .attr("SparseEfficiencyWarning"));
        validate_csc(X, false, in);
    } catch (nb::python_error &e) {
        guard.attr("__exit__")(nb::none(), nb::none(), nb::none());
        throw;
    }
    guard.attr("__exit__")(nb::none(), nb::none(), nb::none());
}

void operand(Factor &f, nb::handle X_in, Operand &X, bool factor_index_type) {
    validated_operand(X_in, X.in);
    X.indptr = X.in.indptr;
    X.indices = X.in.indices;
    if (factor_index_type && X.in.int32() != f.use_int32) {
        const int64_t rows = X.in.nrow, cols = X.in.ncol, nnz = X.in.nnz();
        const int64_t limit = INT32_MAX;
        if (f.use_int32 && (rows > limit || cols >= limit || nnz > limit))
            raise(PyExc_ValueError,
                  "X is too large for a factor with int32 indices (shape (%lld, %lld), %lld entries)",
                  (long long)rows, (long long)cols, (long long)nnz);
        X.indptr = X.in.indptr.attr("astype")(f.itype);
        X.indices = X.in.indices.attr("astype")(f.itype);
    }
    X.p.acquire(X.indptr, "indptr", false);
    X.i.acquire(X.indices, "indices", false);
    X.x.acquire(X.in.data, "data", false);
    fill_header(X.header, X.in.nrow, X.in.ncol, X.p, X.i, X.x);
}

nb::object qmult_sparse_locked(Factor &f, int method, cholmod_sparse &Xs) {
    if ((Xs.xtype == CHOLMOD_REAL) != f.is_real)
        raise(PyExc_ValueError, "X must have the value type of the factor");
    return f.visit([&](auto v) -> nb::object {
        using E = typename decltype(v)::Entry;
        using I = typename decltype(v)::Int;
        QRFactorization<E, I> *qr = require_numeric<E, I>(f);
        SparseResult Y(f.cm, f.use_int32);
        check_status(run([&] { return qmult_worker<E, I>(method, qr, Xs, Y.out(), f.cm); }));
        return Y.to_python();
    });
}

nb::object empty_csc(Factor &f, int64_t rows, int64_t cols) {
    nb::object np = nb::borrow(obj.np.get());
    nb::object data = np.attr("zeros")(0, nb::arg("dtype") = f.dtype);
    nb::object indices = np.attr("zeros")(0, nb::arg("dtype") = f.itype);
    nb::object indptr = np.attr("zeros")(cols + 1, nb::arg("dtype") = f.itype);
    return make_csc(data, indices, indptr, rows, cols);
}

nb::object solve_sparse_locked(Factor &f, cholmod_sparse &b, bool transpose, int64_t batch) {
    if (batch <= 0)
        raise(PyExc_ValueError, "rhs_batch_size must be a positive integer, got %lld",
              (long long)batch);
    if ((b.xtype == CHOLMOD_REAL) != f.is_real)
        raise(PyExc_TypeError, "b must have the value type of the factor");
    const int64_t out_rows = transpose ? f.shape[0] : f.shape[1];
    if ((int64_t)b.ncol == 0)
        return empty_csc(f, out_rows, 0);
    return f.visit([&](auto v) -> nb::object {
        using E = typename decltype(v)::Entry;
        using I = typename decltype(v)::Int;
        QRFactorization<E, I> *qr = require_numeric<E, I>(f);
        SparseResult R(f.cm, f.use_int32);
        int status = run([&] {
            return solve_sparse_worker<E, I>(qr, b, transpose, batch, out_rows, R.out(), f.cm);
        });
        if (status == kTooManyEntries)
            raise(PyExc_ValueError,
                  "The sparse solution has more than %lld nonzero entries, more than the "
                  "factor's int32 indices can address; solve with an int64 factor or a dense b.",
                  (long long)std::numeric_limits<I>::max());
        check_status(status);
        return R.to_python();
    });
}

template <class I>
cholmod_dense *allocate_dense(size_t nrow, size_t ncol, int xtype, cholmod_common *cc) {
    if constexpr (std::is_same_v<I, int32_t>)
        return cholmod_allocate_dense(nrow, ncol, nrow, xtype + CHOLMOD_DOUBLE, cc);
    else
        return cholmod_l_allocate_dense(nrow, ncol, nrow, xtype + CHOLMOD_DOUBLE, cc);
}

// Solves for a dense 2-D b of the factor's value type. At most `batch` columns go to the
// library at a time: its Q products keep their work arrays in cache for a narrow block
// (ten calls of 100 columns beat one of 1000), and a b that is not column-major is
// converted one batch at a time into a reused block instead of as a whole. A b of at most
// `batch` columns that is column-major goes to the library without a copy.
nb::object solve_dense_batches(Factor &f, nb::handle B, bool transpose, int64_t batch) {
    if (batch <= 0)
        raise(PyExc_ValueError, "rhs_batch_size must be a positive integer, got %lld",
              (long long)batch);
    nb::object shape = B.attr("shape");
    const int64_t rows = to_index(shape[0], "rows"), K = to_index(shape[1], "columns");
    // An unaligned column-major b is copied batch by batch like a row-major one.
    nb::object flags = B.attr("flags");
    const bool fortran = truth(flags.attr("f_contiguous")) && truth(flags.attr("aligned"));
    if (K <= batch)
        return solve_dense_locked(f, fortran ? nb::borrow(B) : obj.asfortranarray(B), transpose);
    require_transposable(f, transpose);
    const int64_t out_rows = transpose ? f.shape[0] : f.shape[1];
    nb::object np = nb::borrow(obj.np.get());
    nb::object work = fortran ? nb::none()
                              : np.attr("empty")(nb::make_tuple(rows, batch),
                                                 nb::arg("dtype") = f.dtype, nb::arg("order") = "F");
    nb::object all = nb::slice(nb::none(), nb::none(), nb::none());
    return f.visit([&](auto v) -> nb::object {
        using E = typename decltype(v)::Entry;
        using I = typename decltype(v)::Int;
        QRFactorization<E, I> *qr = require_numeric<E, I>(f);
        const int xtype = std::is_same_v<E, double> ? CHOLMOD_REAL : CHOLMOD_COMPLEX;
        DenseResult R(f.cm, f.use_int32);
        R.reset(allocate_dense<I>((size_t)out_rows, (size_t)K, xtype, f.cm));
        check_status(R.get() != nullptr ? f.cm->status : (f.cm->status ? f.cm->status : kNoResult));
        for (int64_t start = 0; start < K; start += batch) {
            const int64_t stop = std::min(start + batch, K), w = stop - start;
            nb::object columns = B[nb::make_tuple(all, nb::slice(nb::int_(start), nb::int_(stop), nb::none()))];
            nb::object block = columns;
            if (!fortran) {
                block = work[nb::make_tuple(all, nb::slice(nb::none(), nb::int_(w), nb::none()))];
                np.attr("copyto")(block, columns);
            }
            cholmod_dense Bd;
            BufferPin pin;
            dense_view(f, block, "b", &Bd, pin);
            DenseResult X(f.cm, f.use_int32);
            solve_block<E, I>(f, qr, &Bd, transpose, X);
            const cholmod_dense &Xd = *X.get();
            E *r = static_cast<E *>(R.get()->x) + start * (int64_t)R.get()->d;
            for (int64_t j = 0; j < w; ++j)
                std::memcpy(r + j * (int64_t)R.get()->d,
                            static_cast<const E *>(Xd.x) + j * (int64_t)Xd.d,
                            (size_t)out_rows * sizeof(E));
        }
        return R.to_python();
    });
}

//------------------------------------------------------------------------------
// Public methods
//------------------------------------------------------------------------------

// solve() after its flags are read, with the factor's lock held.
nb::object solve_locked(Factor &f, nb::handle b, bool transpose, int64_t batch) {
    require_numeric(f);
    bool sparse = truth(obj.issparse(b));
    if (!sparse && !is_ndarray(b))
        raise(PyExc_ValueError, "b must be an ndarray or sparse matrix.");
    int64_t ndim = ndim_of(b);
    if (ndim != 1 && ndim != 2)
        raise(PyExc_ValueError, "b must be a 1D or 2D array.");
    nb::object b_shape = b.attr("shape");
    int64_t lead = to_index(b_shape[0], "rows");
    if (lead != (transpose ? f.shape[1] : f.shape[0]))
        raise(PyExc_ValueError,
              "Right-hand side b must have compatible shape with A. Got b.shape=%s, but "
              "A.shape=%s (transpose=%s).",
              repr_of(b_shape).c_str(), format(shape_of(f)).c_str(), transpose ? "True" : "False");
    nb::object b_dtype = b.attr("dtype");
    if (!truth(obj.can_cast(b_dtype, f.dtype)))
        raise(PyExc_TypeError, "Cannot safely cast b.dtype=%s to self.dtype=%s.",
              repr_of(b_dtype).c_str(), repr_of(f.dtype).c_str());
    nb::object B = b.attr("astype")(f.dtype, nb::arg("copy") = false);
    require_transposable(f, transpose);
    int64_t rank = nb::cast<int64_t>(rank_of(f));
    if (rank < std::min(f.shape[0], f.shape[1]))
        warn(obj.SPQRRankDeficiencyWarning.ptr(),
             "Matrix is rank deficient: rank=" + std::to_string(rank) + ", A.shape=" +
                 format(shape_of(f)) + ". The solution may not be unique.");
    bool one_d = ndim == 1;
    if (one_d)
        B = B.attr("reshape")(nb::make_tuple(-1, 1));
    nb::object x;
    if (sparse) {
        Operand op;
        operand(f, B, op, false);
        x = solve_sparse_locked(f, op.header, transpose, batch);
    } else {
        x = solve_dense_batches(f, B, transpose, batch);
    }
    return one_d ? column(x) : x;
}

nb::object solve(nb::handle self, nb::handle b, Flag transpose_flag, nb::handle batch_obj) {
    Factor &f = factor_of(self);
    bool transpose = transpose_flag.value();
    int64_t batch = to_index(batch_obj, "rhs_batch_size");
    FactorLock lock(f);
    return solve_locked(f, b, transpose, batch);
}

nb::object qmult(nb::handle self, nb::handle X, nb::handle method) {
    Factor &f = factor_of(self);
    FactorLock lock(f);
    require_numeric(f);
    bool sparse = truth(obj.issparse(X));
    if (!sparse && !is_ndarray(X))
        raise(PyExc_ValueError, "X must be an ndarray or sparse matrix.");
    nb::object X_dtype = X.attr("dtype");
    if (differ(X_dtype, f.dtype))
        raise(PyExc_ValueError,
              "Input and factor dtypes do not match. self.dtype=%s and X.dtype=%s",
              repr_of(f.dtype).c_str(), repr_of(X_dtype).c_str());
    int64_t ndim = ndim_of(X);
    if (ndim != 1 && ndim != 2)
        raise(PyExc_ValueError, "X must be a 1D or 2D array.");
    require_str_or_none(method);
    int code = qmult_code(method);
    nb::object X_shape = X.attr("shape");
    const bool left = code == SPQR_QTX || code == SPQR_QX;
    int64_t n = to_index(X_shape[left ? 0 : 1], "length");  // IndexError for a 1-D X with XQ
    if (n != f.shape[0])
        raise(PyExc_ValueError, "Input X must have compatible shape with Q. Expected %lld, got %lld.",
              (long long)f.shape[0], (long long)n);
    bool one_d = ndim == 1;
    nb::object Xm = one_d ? X.attr("reshape")(nb::make_tuple(-1, 1)) : nb::borrow(X);
    nb::object Y;
    if (sparse) {
        Operand op;
        operand(f, Xm, op, true);
        Y = qmult_sparse_locked(f, code, op.header);
    } else {
        Y = qmult_dense_locked(f, code, obj.asfortranarray(Xm));
    }
    return one_d ? column(Y) : Y;
}

nb::object perm(nb::handle self) {
    Factor &f = factor_of(self);
    FactorLock lock(f);
    return f.visit([&](auto v) -> nb::object {
        using E = typename decltype(v)::Entry;
        using I = typename decltype(v)::Int;
        QRFactorization<E, I> *qr = require_symbolic<E, I>(f);
        if (qr->Q1fill == nullptr)  // the "fixed" ordering: the identity
            return obj.np.get().attr("arange")(f.shape[1], nb::arg("dtype") = f.itype);
        PyObject *r = bridge->ndarray_copy_from_intptr(qr->Q1fill, (Py_ssize_t)f.shape[1],
                                                       f.use_int32);
        check_python(r != nullptr);
        return nb::steal(r);
    });
}

nb::str factor_repr(nb::handle self) {
    Factor &f = factor_of(self);
    std::string name = nb::cast<std::string>(
        nb::str(nb::handle((PyObject *)Py_TYPE(self.ptr())).attr("__name__")));
    bool numeric;
    nb::object rank;
    {
        FactorLock lock(f);
        numeric = is_numeric(f);
        rank = rank_of(f);
    }
    std::string text = "<" + name + " " + (numeric ? "numeric" : "symbolic") +
                       " factor of dtype '" + format(f.dtype) + "' with '" + format(f.itype) +
                       "' indices\n    A: shape=" + format(shape_of(f)) +
                       ", rank=" + format(rank) + ">";
    return nb::str(text.c_str(), text.size());
}

// The new factor's common block and scalars, as `src`'s (whose lock the caller holds);
// its factorisation still empty.
Factor &start_copy(nb::object &o, Factor &src) {
    if (src.cm == nullptr || !src.has_handle())
        raise_assertion();
    Factor *dst;
    o = new_factor_object(&dst);
    dst->use_int32 = src.use_int32;
    dst->is_real = src.is_real;
    start_common(&dst->common, dst->use_int32);
    dst->cm = &dst->common;
    check_python(bridge->copy_cholmod_common(dst->cm, src.cm) == 0);
    dst->shape[0] = src.shape[0];
    dst->shape[1] = src.shape[1];
    dst->tol = src.tol;
    dst->itype = src.itype;
    dst->dtype = src.dtype;
    return *dst;
}

// The deep copy, in a LibraryCall scope; a CopyFailure or an allocation failure comes
// back as the exception it stands for once the lock is taken back.
void run_copy(Factor &dst, Factor &src, CopyAllocator &alloc) {
    CopyFailure failure{CopyFailure::assertion};
    bool failed = false, out_of_memory = false;
    {
        LibraryCall scope;
        try {
            copy_factorization(dst, src, alloc);
        } catch (const CopyFailure &e) {
            failure = e;
            failed = true;
        } catch (const std::bad_alloc &) {
            out_of_memory = true;
        }
    }
    if (out_of_memory)
        handle_errors(CHOLMOD_OUT_OF_MEMORY);
    if (failed)
        raise_copy_failure(failure);
}

nb::object factor_copy(nb::handle self) {
    Factor &src = factor_of(self);
    FactorLock lock(src);
    nb::object o;
    Factor &dst = start_copy(o, src);
    CopyAllocator alloc{dst.cm, dst.use_int32};
    run_copy(dst, src, alloc);  // on failure `o` releases the partial copy
    return o;
}

// Testing aid: a copy whose allocation number `fail_at` fails. Reports how many blocks the
// copy asked for, whether it failed and with what, and how many blocks and bytes of the
// copy's common block were still in use after the (partial) copy was released.
nb::dict copy_with_failing_allocation(nb::handle factor, int64_t fail_at) {
    Factor &src = factor_of(factor);
    FactorLock lock(src);
    nb::object o;
    Factor &dst = start_copy(o, src);
    const int64_t blocks = dst.cm->malloc_count, bytes = (int64_t)dst.cm->memory_inuse;
    CopyAllocator alloc{dst.cm, dst.use_int32, fail_at};
    nb::object error = nb::none();
    try {
        run_copy(dst, src, alloc);
    } catch (nb::python_error &e) {
        error = nb::borrow(e.type());
    }
    bool released = dst.free_factorization();
    nb::dict r;
    r["allocations"] = alloc.count;
    r["error"] = error;
    r["released"] = released;
    r["blocks_in_use"] = (int64_t)dst.cm->malloc_count - blocks;
    r["bytes_in_use"] = (int64_t)dst.cm->memory_inuse - bytes;
    return r;
}

[[noreturn]] void refuse_pickling() { raise(PyExc_TypeError, "%s", pickle_refusal); }

//------------------------------------------------------------------------------
// Module-level functions
//------------------------------------------------------------------------------

nb::object spqr_factor(nb::handle A_in, Flag use_singletons, nb::handle order,
                       nb::handle tol_obj) {
    bool singletons = use_singletons.value();
    QrMatrix A;  // validated once: the analysis and the factorisation read it
    qr_matrix(A_in, A);
    const int ordering = ordering_code(order);
    const double tol = tolerance(tol_obj);
    nb::object F = new_factor(A.header, singletons, ordering, tol);
    if (singletons)
        return F;
    Factor &f = *nb::inst_ptr<Factor>(F);  // not shared yet: no other thread can see it
    factorize_locked(f, A.header, f.tol, false);
    return F;
}

nb::object spqr_solve(nb::handle A_in, nb::handle b, Flag transpose_flag, Flag min2norm_flag,
                      nb::handle batch) {
    bool transpose = transpose_flag.value();
    bool min2norm = min2norm_flag.value();
    QrMatrix A;
    qr_matrix(A_in, A);
    const int64_t M = A.in.nrow, N = A.in.ncol;
    // The minimum 2-norm solution of A x = b (M < N) is x = Q (R^H \ (E^T b)) for the
    // factorisation Q R = A^H E: the transposed solve with the factor of A^H. And A^H x = b
    // has more equations than unknowns when M < N: its least-squares solution is the plain
    // solve with the factor of A^H (the transposed solve of A's factor is not).
    const bool adjoint = M < N && (min2norm || transpose);
    if (adjoint)
        transpose = min2norm;
    nb::object F;
    if (adjoint) {
        CholmodCommon ws(A.use_int32());
        require_started(ws);
        SparseResult AH(ws.get(), A.use_int32());
        int status = run([&] { return ctranspose_worker(A.header, AH.out(), ws.get()); });
        check_status(status);
        F = new_factor(*AH.get(), true, SPQR_ORDERING_DEFAULT, -2.0);
    } else {
        F = new_factor(A.header, true, SPQR_ORDERING_DEFAULT, -2.0);
    }
    Factor &f = *nb::inst_ptr<Factor>(F);
    int64_t batch_size = to_index(batch, "rhs_batch_size");
    FactorLock lock(f);
    return solve_locked(f, b, transpose, batch_size);
}

// A numeric factor of A^H, for spqr_null: A validated once, transposed by the library.
nb::object adjoint_factor(nb::handle A_in, nb::handle tol_obj) {
    QrMatrix A;
    qr_matrix(A_in, A);
    const double tol = tolerance(tol_obj);
    CholmodCommon ws(A.use_int32());
    require_started(ws);
    SparseResult AH(ws.get(), A.use_int32());
    check_status(run([&] { return ctranspose_worker(A.header, AH.out(), ws.get()); }));
    nb::object F = new_factor(*AH.get(), false, SPQR_ORDERING_DEFAULT, tol);
    Factor &f = *nb::inst_ptr<Factor>(F);
    factorize_locked(f, *AH.get(), f.tol, false);
    return F;
}

//------------------------------------------------------------------------------
// Docstrings
//------------------------------------------------------------------------------

const char *factor_doc = R"(A sparse QR factorisation ``Q R = A E`` that can be reused.

The factorisation is computed in two phases. The constructor performs the
symbolic analysis of A (column ordering and structure); the numeric
factorisation is then reached in one of two ways:

- ``SPQRFactor(A)`` followed by ``factorize(A)``: the analysis is kept and
  ``factorize`` can be called again with any matrix of the same shape, index
  type, value type and sparsity pattern (refactorisation with new values).
- ``SPQRFactor(A, use_singletons=True)``: analysis and numeric factorisation
  in one call, exploiting singleton rows and columns of A. Such a factor
  cannot be refactorised once singletons were found: ``factorize`` then
  raises ``SPQRInvalidInputError`` (the library refuses, code -4).

A numeric factor solves least-squares and transposed systems (``solve``),
multiplies by Q (``qmult``) and can be duplicated (``copy``). Factors cannot
be pickled.

Parameters
----------
A : (M, N) array_like or sparse array
    The matrix, float64 or complex128 values (other real types are converted
    to float64, complex64 to complex128) and int32 or int64 indices. Any SciPy
    sparse format or a dense array-like is accepted.
use_singletons : bool, optional
    Exploit singletons and compute the numeric factorisation at once. Default
    False. A factor made this way cannot be refactorised when singletons were
    found.
order : str, optional
    Column ordering: "default" (None), "fixed", "natural", "colamd",
    "cholmod", "amd", "metis", "best" or "bestamd".
tol : float, optional
    Columns with 2-norm at most `tol` are treated as zero. None (default) asks
    for the library's default tolerance; zero and negative values are passed
    unchanged.

Attributes
----------
is_numeric : bool
    Whether the numeric factorisation exists.
shape : tuple of int
    (M, N), the shape of A.
rank : int or None
    The library's rank estimate of A; None before the numeric factorisation.
perm : ndarray
    The column permutation E (a copy on every read): column k of ``A E`` is
    column ``perm[k]`` of A.
info : SPQRInfo
    Statistics of the last library call made with this factor.
itype : numpy.dtype
    Index type, int32 or int64.
dtype : numpy.dtype
    Value type, float64 or complex128.

See Also
--------
spqr_factor, spqr_solve, spqr, spqr_qmult

Examples
--------
>>> import numpy as np
>>> import scipy.sparse as sp
>>> from ferrow.spqr import SPQRFactor
>>> A = sp.csc_array(np.array([[2., 0.], [1., 3.], [0., 1.]]))
>>> F = SPQRFactor(A).factorize(A)
>>> x = F.solve(np.array([2., 4., 1.]))
>>> np.allclose(x, np.linalg.lstsq(A.toarray(), [2., 4., 1.], rcond=None)[0])
True
)";

const char *init_doc = "Initialize the SPQRFactor object and perform symbolic analysis.";

const char *factorize_doc = R"(Compute (or recompute) the numeric factorisation of A.

A must have the shape, index type and value type of the matrix analysed by the
constructor, and the same sparsity pattern; its values may differ. Calling
``factorize`` again refactorises with the new values, reusing the analysis.

A factor made with ``use_singletons=True`` cannot be refactorised once the
library found singletons in the analysed matrix: the library reports invalid
input and ``SPQRInvalidInputError`` (code -4) is raised.

Parameters
----------
A : (M, N) array_like or sparse array
    The matrix to factorise.
tol : float, optional
    Columns with 2-norm at most `tol` are treated as zero. None (default)
    keeps the tolerance in use (the constructor's, or the last one given).

Returns
-------
self : SPQRFactor
    The factor, now numeric.

Raises
------
ValueError
    If the shape, index type or value type of A differs from the analysed
    matrix.
SPQRInvalidInputError
    If the factor was made with ``use_singletons=True`` and singletons were
    found.

Warns
-----
UserWarning
    When `tol` differs from the tolerance of a previous numeric factorisation.
)";

const char *spqr_factor_doc = R"(Factor A and return a numeric SPQRFactor.

With ``use_singletons=False`` (the default) this is ``SPQRFactor(A).factorize(A)``:
the factor can be refactorised with new values of the same pattern. With
``use_singletons=True`` singletons are exploited in one combined analysis and
factorisation (often faster), but such a factor cannot be refactorised once
singletons were found: ``factorize`` then raises ``SPQRInvalidInputError``
(code -4).

Parameters
----------
A : (M, N) array_like or sparse array
    The matrix to factor.
use_singletons : bool, optional
    Exploit singleton rows and columns. Default False.
order : str, optional
    Column ordering name (see ``SPQRFactor``); None for the default.
tol : float, optional
    Column-norm tolerance; None for the library's default.

Returns
-------
F : SPQRFactor
    A numeric factor.

See Also
--------
SPQRFactor, spqr_solve
)";

}  // namespace

void register_factor(nb::module_ &m) {
    nb::class_<Factor> cls(m, "SPQRFactor", factor_doc);
    obj.SPQRFactor.set(cls);

    cls.def("__init__", &factor_init,
            nb::sig("def __init__(self, A: " FERROW_SPQR_MATRIX ", *, use_singletons: bool = "
                    "False, " FERROW_SPQR_ORDER ", " FERROW_SPQR_TOL ") -> None"),
            nb::arg("A"), nb::kw_only(),
            nb::arg("use_singletons") = false, nb::arg("order") = nb::none(),
            nb::arg("tol") = nb::none(), init_doc);
    cls.def("factorize", &factorize,
            nb::sig("def factorize(self, A: " FERROW_SPQR_MATRIX ", *, " FERROW_SPQR_TOL
                    ") -> SPQRFactor"),
            nb::arg("A"), nb::kw_only(), nb::arg("tol") = nb::none(),
            factorize_doc);
    cls.def(
        "_check_input_matrix",
        [](nb::handle self, nb::handle A, nb::handle itype) {
            check_input_matrix(factor_of(self), A.attr("shape"), itype, A.attr("dtype"));
        },
        nb::arg("A"), nb::arg("itype"),
        "Raise ValueError unless the validated matrix A and its index dtype match the analysis.");

    cls.def_prop_ro("is_numeric",
                    [](nb::handle self) {
                        // An instance whose constructor did not complete is not numeric.
                        if (nb::isinstance<Factor>(self) && !nb::inst_ready(self))
                            return false;
                        Factor &f = factor_of(self);
                        FactorLock lock(f);
                        return is_numeric(f);
                    },
                    "Whether the numeric factorisation exists.");
    cls.def_prop_ro("shape", [](nb::handle self) { return shape_of(factor_of(self)); },
                    "(M, N), the shape of the factored matrix.");
    cls.def_prop_ro("rank",
                    [](nb::handle self) -> nb::object {
                        // Not numeric either when the constructor did not complete.
                        if (nb::isinstance<Factor>(self) && !nb::inst_ready(self))
                            return nb::none();
                        Factor &f = factor_of(self);
                        FactorLock lock(f);
                        return rank_of(f);
                    },
                    "The library's rank estimate of A, or None before the numeric factorisation.");
    cls.def_prop_ro("perm", &perm, "The column permutation E (a new array on every read).");
    cls.def_prop_ro(
        "info",
        [](nb::handle self) {
            Factor &f = factor_of(self);
            FactorLock lock(f);
            if (f.cm == nullptr)
                raise_assertion();
            return info_from_common(f.cm);
        },
        "Statistics of the last library call made with this factor (a new SPQRInfo).");
    cls.def_prop_ro("itype", [](nb::handle self) { return factor_of(self).itype; },
                    "Index type of the factored matrix (int32 or int64).");
    cls.def_prop_ro("dtype", [](nb::handle self) { return factor_of(self).dtype; },
                    "Value type of the factored matrix (float64 or complex128).");
    cls.def("__repr__", &factor_repr);

    cls.def("copy", &factor_copy, nb::sig("def copy(self) -> SPQRFactor"),
            "Return an independent deep copy of the factor, in the same state.\n\n"
            "The copy has its own common block and factorisation: it can be refactorised,\n"
            "used and deleted independently of the source.");
    cls.def("solve", &solve,
            nb::sig("def solve(self, b: " FERROW_SPQR_MATRIX ", *, transpose: bool = False, "
                    "rhs_batch_size: int = 100) -> " FERROW_SPQR_DENSE " | csc_array"),
            nb::arg("b"), nb::kw_only(), nb::arg("transpose") = false,
            nb::arg("rhs_batch_size") = 100, docs.solve_method.c_str());
    cls.def("_solve_dense",
            [](nb::handle self, nb::handle b, Flag transpose) {
                return solve_dense(self, b, transpose.obj);
            },
            nb::arg("b").none(), nb::arg("transpose"),
            "Solve with a 2-D column-major right-hand side of the factor's value type.\n\n"
            "Returns a new 2-D array: N rows, or M rows when `transpose` is true.");
    cls.def("qmult", &qmult,
            nb::sig("def qmult(self, X: " FERROW_SPQR_MATRIX ", " FERROW_SPQR_METHOD ") -> "
                    FERROW_SPQR_DENSE " | csc_array"),
            nb::arg("X"), nb::arg("method").none() = "QX",
            docs.qmult_method.c_str());
    cls.def("_qmult_dense", &qmult_dense, nb::arg("method"), nb::arg("X").none(),
            "Multiply a 2-D column-major array of the factor's value type by Q.\n\n"
            "`method` is SuiteSparseQR's code: 0 Q^H X, 1 Q X, 2 X Q^H, 3 X Q.");

    cls.def("__reduce__", [](nb::handle) -> nb::object { refuse_pickling(); });
    cls.def("__reduce_ex__", [](nb::handle, nb::handle) -> nb::object { refuse_pickling(); },
            nb::arg("protocol").none());
    cls.def("__getstate__", [](nb::handle) -> nb::object { refuse_pickling(); });
    cls.def("__setstate__", [](nb::handle, nb::handle) { refuse_pickling(); },
            nb::arg("state").none());

    m.def("spqr_factor", &spqr_factor,
          nb::sig("def spqr_factor(A: " FERROW_SPQR_MATRIX ", *, use_singletons: bool = False, "
                  FERROW_SPQR_ORDER ", " FERROW_SPQR_TOL ") -> SPQRFactor"),
          nb::arg("A"), nb::kw_only(),
          nb::arg("use_singletons") = false, nb::arg("order") = nb::none(),
          nb::arg("tol") = nb::none(), spqr_factor_doc);
    m.def("spqr_solve", &spqr_solve,
          nb::sig("def spqr_solve(A: " FERROW_SPQR_MATRIX ", b: " FERROW_SPQR_MATRIX ", *, "
                  "transpose: bool = False, min2norm: bool = True, rhs_batch_size: int = 100) "
                  "-> " FERROW_SPQR_DENSE " | csc_array"),
          nb::arg("A"), nb::arg("b"), nb::kw_only(),
          nb::arg("transpose") = false, nb::arg("min2norm") = true,
          nb::arg("rhs_batch_size") = 100, docs.solve_function.c_str());
    m.def("_adjoint_factor", &adjoint_factor, nb::arg("A"), nb::arg("tol").none() = nb::none(),
          "A numeric SPQRFactor of the conjugate transpose of A (validated once), with the\n"
          "rank-detection tolerance `tol`; the factorisation behind spqr_null.");
    m.def("_copy_with_failing_allocation", &copy_with_failing_allocation, nb::arg("factor"),
          nb::arg("fail_at"),
          "Testing aid: copy `factor` with allocation number `fail_at` failing, release the\n"
          "(partial) copy and report the allocations made, the error, and the blocks and\n"
          "bytes of the copy's common block still in use afterwards.");
}

}  // namespace ferrow::spqr
