// ferrow.cholmod: conversions between NumPy/SciPy objects and CHOLMOD structures.
//
// Results that SuiteSparse allocated are adopted, not copied: each array handed to
// NumPy is a view of the library's block, whose base object frees the block with
// SuiteSparse_free when NumPy releases the array. The block leaves CHOLMOD's memory
// accounting of its common block at that moment, exactly as cholmod_free would.
#include <nanobind/nanobind.h>

#define PY_ARRAY_UNIQUE_SYMBOL ferrow_cholmod_ARRAY_API
#include <numpy/arrayobject.h>

#include <cholmod.h>

#include <algorithm>
#include <array>
#include <complex>
#include <cstring>

#include "common/buffers.hpp"
#include "common/cholmod_bridge.hpp"
#include "common/cholmod_common.hpp"
#include "common/module_def.hpp"
#include "common/pyobj.hpp"
#include "common/pattern.hpp"
#include "common/threads.hpp"

namespace nb = nanobind;
using namespace ferrow;

namespace {

Held csc_array_type;

// A csc_array over exactly the given arrays: its shape and these arrays are all it holds.
//
// SciPy's constructors check and possibly recast what they are given (the (data, indices,
// indptr) form may narrow int64 indices to int32); the empty-matrix constructor followed by
// assigning the three arrays keeps them, but both cost about 15 microseconds, which is most
// of the fixed overhead of a small QR. When, at load, a csc_array made by SciPy's own
// constructor turns out to keep exactly its shape, print limit and three arrays as
// instance attributes (`csc_layout` below), a result is made as a new instance with those
// attributes; otherwise, or for a SciPy whose layout differs, through the constructors.
struct CscLayout {
    bool direct = false;  // the attributes below are all an instance holds
    Held maxprint;
} csc_layout;

void probe_csc_layout() {
    nb::object proto = csc_array_type(nb::make_tuple(1, 1));
    PyObject *dict = PyObject_GenericGetDict(proto.ptr(), nullptr);
    if (dict == nullptr) {
        PyErr_Clear();
        return;
    }
    nb::object d = nb::steal(dict);
    static const char *keys[] = {"_shape", "maxprint", "indices", "indptr", "data"};
    if (PyDict_Size(dict) != 5)
        return;
    for (const char *k : keys)
        if (PyDict_GetItemString(dict, k) == nullptr)
            return;
    // New instances come from object.__new__ (SciPy defines no __new__ of its own).
    nb::object object_new = nb::module_::import_("builtins").attr("object").attr("__new__");
    if (!csc_array_type.get().attr("__new__").is(object_new))
        return;
    csc_layout.maxprint.set(PyDict_GetItemString(dict, "maxprint"));
    csc_layout.direct = true;
}

nb::object make_csc_array(npy_intp nrow, npy_intp ncol, nb::handle indptr, nb::handle indices,
                          nb::handle data) {
    nb::object shape = nb::make_tuple(nb::int_((Py_ssize_t)nrow), nb::int_((Py_ssize_t)ncol));
    if (!csc_layout.direct) {
        nb::object B = csc_array_type(shape, nb::arg("dtype") = data.attr("dtype"));
        B.attr("indptr") = indptr;
        B.attr("indices") = indices;
        B.attr("data") = data;
        return B;
    }
    PyTypeObject *type = (PyTypeObject *)csc_array_type.ptr();
#ifdef Py_LIMITED_API
    static newfunc object_new = (newfunc)PyType_GetSlot(&PyBaseObject_Type, Py_tp_new);
#else
    static newfunc object_new = PyBaseObject_Type.tp_new;
#endif
    nb::object B = nb::steal(object_new(type, nb::tuple().ptr(), nullptr));
    check_python(B.is_valid());
    nb::object dict = nb::steal(PyObject_GenericGetDict(B.ptr(), nullptr));
    check_python(dict.is_valid());
    check_python(PyDict_SetItemString(dict.ptr(), "_shape", shape.ptr()) == 0 &&
                 PyDict_SetItemString(dict.ptr(), "maxprint", csc_layout.maxprint.ptr()) == 0 &&
                 PyDict_SetItemString(dict.ptr(), "indices", indices.ptr()) == 0 &&
                 PyDict_SetItemString(dict.ptr(), "indptr", indptr.ptr()) == 0 &&
                 PyDict_SetItemString(dict.ptr(), "data", data.ptr()) == 0);
    return B;
}

PyObject *csc_from_arrays(Py_ssize_t nrow, Py_ssize_t ncol, PyObject *indptr, PyObject *indices,
                          PyObject *data) {
    try {
        return make_csc_array((npy_intp)nrow, (npy_intp)ncol, indptr, indices, data).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

// Python form, for ferrow.utils: csc_array over exactly (data, indices, indptr).
nb::object py_csc_from_arrays(nb::handle data, nb::handle indices, nb::handle indptr,
                              nb::handle shape) {
    std::array<nb::object, 2> mn = unpack<2>(shape);
    return make_csc_array((npy_intp)to_index(mn[0], "M"), (npy_intp)to_index(mn[1], "N"), indptr,
                          indices, data);
}

const char *block_capsule = "ferrow.cholmod.block";

void free_block(PyObject *capsule) {
    SuiteSparse_free(PyCapsule_GetPointer(capsule, block_capsule));
}

// Removes an adopted block from the common block's accounting (what cholmod_free does).
void forget_block(cholmod_common *cc, size_t n, size_t size) {
    if (cc != nullptr) {
        cc->memory_inuse -= n * size;
        cc->malloc_count--;
    }
}

// A 1-D or 2-D NumPy array viewing `block`, which it owns from then on. On failure the
// block is freed and nullptr returned with an exception set.
PyObject *adopt(void *block, int typenum, int ndim, npy_intp *shape, npy_intp *strides) {
    PyObject *base = PyCapsule_New(block, block_capsule, free_block);
    if (base == nullptr) {
        SuiteSparse_free(block);
        return nullptr;
    }
    PyObject *arr = PyArray_New(&PyArray_Type, ndim, shape, typenum, strides, block, 0,
                                NPY_ARRAY_WRITEABLE | NPY_ARRAY_ALIGNED, nullptr);
    if (arr == nullptr) {
        Py_DECREF(base);  // frees the block
        return nullptr;
    }
    if (PyArray_SetBaseObject((PyArrayObject *)arr, base) < 0) {  // steals base
        Py_DECREF(arr);
        return nullptr;
    }
    return arr;
}

// An empty array of `typenum` and the given 1-D length 0 (for blocks that are absent).
PyObject *empty_array(int typenum) {
    npy_intp zero = 0;
    return PyArray_SimpleNew(1, &zero, typenum);
}

int value_typenum(int xtype) { return xtype == CHOLMOD_COMPLEX ? NPY_COMPLEX128 : NPY_FLOAT64; }

//------------------------------------------------------------------------------
// CHOLMOD -> NumPy / SciPy
//------------------------------------------------------------------------------

PyObject *csc_from_cholmod_sparse(cholmod_sparse *A, cholmod_common *cc) {
    if (A == nullptr) {
        PyErr_SetString(PyExc_SystemError, "ferrow.cholmod: null sparse result");
        return nullptr;
    }
    const bool int32 = A->itype == CHOLMOD_INT;
    auto free_all = [&] {
        if (int32) cholmod_free_sparse(&A, cc);
        else cholmod_l_free_sparse(&A, cc);
    };
    if (!A->packed || A->z != nullptr || (A->xtype != CHOLMOD_REAL && A->xtype != CHOLMOD_COMPLEX) ||
        A->dtype != CHOLMOD_DOUBLE) {
        free_all();
        PyErr_SetString(PyExc_TypeError,
                        "ferrow.cholmod: only packed double real or complex sparse results convert");
        return nullptr;
    }
    const size_t isize = int32 ? 4 : 8, xsize = A->xtype == CHOLMOD_COMPLEX ? 16 : 8;
    const npy_intp ncol = (npy_intp)A->ncol, nrow = (npy_intp)A->nrow;
    const npy_intp nnz = int32 ? ((int32_t *)A->p)[ncol] : (npy_intp)((int64_t *)A->p)[ncol];
    const int itypenum = int32 ? NPY_INT32 : NPY_INT64, xtypenum = value_typenum(A->xtype);

    // Take the three blocks out of the header, then free the rest (header, nz).
    void *p = A->p, *i = A->i, *x = A->x;
    size_t nzmax = A->nzmax;
    A->p = A->i = A->x = nullptr;
    free_all();
    forget_block(cc, (size_t)ncol + 1, isize);
    if (i) forget_block(cc, nzmax, isize);
    if (x) forget_block(cc, nzmax, xsize);

    npy_intp np1 = ncol + 1;
    PyObject *indptr = adopt(p, itypenum, 1, &np1, nullptr);
    PyObject *indices = i ? adopt(i, itypenum, 1, const_cast<npy_intp *>(&nnz), nullptr)
                          : empty_array(itypenum);
    PyObject *data = x ? adopt(x, xtypenum, 1, const_cast<npy_intp *>(&nnz), nullptr)
                       : empty_array(xtypenum);
    if (!indptr || !indices || !data) {  // adopt() frees its block on failure
        Py_XDECREF(indptr);
        Py_XDECREF(indices);
        Py_XDECREF(data);
        return nullptr;
    }
    nb::object ip = nb::steal(indptr), ix = nb::steal(indices), dx = nb::steal(data);
    try {
        return make_csc_array(nrow, ncol, ip, ix, dx).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

PyObject *ndarray_from_cholmod_dense(cholmod_dense *X, int use_int32, cholmod_common *cc) {
    if (X == nullptr) {
        PyErr_SetString(PyExc_SystemError, "ferrow.cholmod: null dense result");
        return nullptr;
    }
    auto free_all = [&] {
        if (use_int32) cholmod_free_dense(&X, cc);
        else cholmod_l_free_dense(&X, cc);
    };
    if (X->z != nullptr || (X->xtype != CHOLMOD_REAL && X->xtype != CHOLMOD_COMPLEX) ||
        X->dtype != CHOLMOD_DOUBLE) {
        free_all();
        PyErr_SetString(PyExc_TypeError,
                        "ferrow.cholmod: only double real or complex dense results convert");
        return nullptr;
    }
    const size_t xsize = X->xtype == CHOLMOD_COMPLEX ? 16 : 8;
    const int typenum = value_typenum(X->xtype);
    npy_intp shape[2] = {(npy_intp)X->nrow, (npy_intp)X->ncol};
    npy_intp strides[2] = {(npy_intp)xsize, (npy_intp)(X->d * xsize)};
    void *x = X->x;
    size_t nzmax = X->nzmax;
    X->x = nullptr;
    free_all();
    if (x == nullptr)
        return PyArray_ZEROS(2, shape, typenum, 1);
    forget_block(cc, nzmax, xsize);
    return adopt(x, typenum, 2, shape, strides);
}

PyObject *ndarray_copy_from_intptr(const void *p, Py_ssize_t n, int use_int32) {
    if (p == nullptr && n > 0) {
        PyErr_SetString(PyExc_SystemError, "ferrow.cholmod: null integer array");
        return nullptr;
    }
    npy_intp len = n;
    PyObject *arr = PyArray_SimpleNew(1, &len, use_int32 ? NPY_INT32 : NPY_INT64);
    if (arr != nullptr && n > 0)
        std::memcpy(PyArray_DATA((PyArrayObject *)arr), p, (size_t)n * (use_int32 ? 4 : 8));
    return arr;
}

int copy_cholmod_common(cholmod_common *dest, const cholmod_common *src) {
    if (dest == nullptr || src == nullptr) {
        PyErr_SetString(PyExc_SystemError, "ferrow.cholmod: null common block");
        return -1;
    }
    if (dest->itype != src->itype) {
        PyErr_SetString(PyExc_TypeError, "ferrow.cholmod: common blocks of different index families");
        return -1;
    }
    // Everything but dest's own workspace, allocation counters and device handles.
    cholmod_common own;
    std::memcpy(&own, dest, sizeof own);
    std::memcpy(dest, src, sizeof *dest);
    dest->nrow = own.nrow;
    dest->mark = own.mark;
    dest->iworksize = own.iworksize;
    dest->xworkbytes = own.xworkbytes;
    dest->Flag = own.Flag;
    dest->Head = own.Head;
    dest->Xwork = own.Xwork;
    dest->Iwork = own.Iwork;
    dest->malloc_count = own.malloc_count;
    dest->memory_inuse = own.memory_inuse;
    dest->dev_mempool = own.dev_mempool;
    dest->dev_mempool_size = own.dev_mempool_size;
    dest->host_pinned_mempool = own.host_pinned_mempool;
    dest->host_pinned_mempool_size = own.host_pinned_mempool_size;
    dest->cublasHandle = own.cublasHandle;
    std::memcpy(dest->gpuStream, own.gpuStream, sizeof own.gpuStream);
    std::memcpy(dest->cublasEventPotrf, own.cublasEventPotrf, sizeof own.cublasEventPotrf);
    dest->updateCKernelsComplete = own.updateCKernelsComplete;
    std::memcpy(dest->updateCBuffersFree, own.updateCBuffersFree, sizeof own.updateCBuffersFree);
    return 0;
}

//------------------------------------------------------------------------------
// NumPy / SciPy -> CHOLMOD headers (views, no copies)
//------------------------------------------------------------------------------

double empty_values[2] = {0.0, 0.0};  // CHOLMOD refuses a null value pointer, even for no entries

struct DenseVariant {
    const char *format;  // buffer format of the element type
    Py_ssize_t itemsize;
    int xtype, dtype;
    const char *name;
};
const DenseVariant dense_variants[4] = {
    {"f", 4, CHOLMOD_REAL, CHOLMOD_SINGLE, "float32"},
    {"d", 8, CHOLMOD_REAL, CHOLMOD_DOUBLE, "float64"},
    {"Zf", 8, CHOLMOD_COMPLEX, CHOLMOD_SINGLE, "complex64"},
    {"Zd", 16, CHOLMOD_COMPLEX, CHOLMOD_DOUBLE, "complex128"},
};

bool format_is(const char *fmt, const char *want) {
    fmt = native_format(fmt);
    return fmt != nullptr && std::strcmp(fmt, want) == 0;
}

int dense_from_ndarray(int variant, PyObject *array, cholmod_dense *header) {
    const DenseVariant &v = dense_variants[variant];
    Py_buffer view;
    if (array == nullptr || header == nullptr || !PyObject_CheckBuffer(array)) {
        PyErr_Format(PyExc_TypeError, "expected a 2-D %s array", v.name);
        return -1;
    }
    if (PyObject_GetBuffer(array, &view, PyBUF_STRIDES | PyBUF_FORMAT) != 0)
        return -1;
    // The library reads the values with typed loads: an unaligned view is refused.
    bool ok = view.ndim == 2 && view.itemsize == v.itemsize && format_is(view.format, v.format) &&
              reinterpret_cast<std::uintptr_t>(view.buf) % (std::uintptr_t)std::min<Py_ssize_t>(v.itemsize, 8) == 0;
    Py_ssize_t nrow = ok ? view.shape[0] : 0, ncol = ok ? view.shape[1] : 0;
    // An empty block keeps d = nrow (zero rows: d = 0), so the library reads nothing.
    Py_ssize_t ld = nrow;
    if (ok && nrow > 1 && ncol > 0 && view.strides[0] != v.itemsize)  // (no entries: any strides)
        ok = false;
    if (ok && ncol > 1 && nrow > 0) {
        if (view.strides[1] % v.itemsize != 0 || view.strides[1] / v.itemsize < nrow)
            ok = false;
        else
            ld = view.strides[1] / v.itemsize;
    }
    void *buf = view.buf;
    PyBuffer_Release(&view);
    if (!ok) {
        PyErr_Format(PyExc_TypeError,
                     "expected a 2-D %s array whose first axis is contiguous", v.name);
        return -1;
    }
    std::memset(header, 0, sizeof *header);
    header->nrow = (size_t)nrow;
    header->ncol = (size_t)ncol;
    header->d = (size_t)ld;
    header->nzmax = (size_t)(ld * ncol);
    header->x = (nrow * ncol > 0 && buf != nullptr) ? buf : empty_values;
    header->z = nullptr;
    header->xtype = v.xtype;
    header->dtype = v.dtype;
    return 0;
}
int dense_from_ndarray_0(PyObject *a, cholmod_dense *h) { return dense_from_ndarray(0, a, h); }
int dense_from_ndarray_1(PyObject *a, cholmod_dense *h) { return dense_from_ndarray(1, a, h); }
int dense_from_ndarray_2(PyObject *a, cholmod_dense *h) { return dense_from_ndarray(2, a, h); }
int dense_from_ndarray_3(PyObject *a, cholmod_dense *h) { return dense_from_ndarray(3, a, h); }

// Fills a sparse header viewing a CSC matrix's arrays after checking them completely:
// the header is later read by the library, which trusts it.
void fill_sparse_header(nb::handle shape, nb::handle indptr, nb::handle indices, nb::handle data,
                        int stype, cholmod_sparse *header) {
    nb::object shape_seq = nb::borrow(shape);
    if (PySequence_Check(shape.ptr()) == 0 || PySequence_Size(shape.ptr()) != 2) {
        PyErr_Clear();
        raise(PyExc_ValueError, "shape must be a pair (M, N)");
    }
    int64_t M = to_index(nb::steal(PySequence_GetItem(shape.ptr(), 0)), "M");
    int64_t N = to_index(nb::steal(PySequence_GetItem(shape.ptr(), 1)), "N");
    if (M < 0 || N < 0)
        raise(PyExc_ValueError, "shape must be non-negative, got (%lld, %lld)", (long long)M,
              (long long)N);
    Buffer p, i, x;
    p.acquire(indptr, "indptr", false);
    i.acquire(indices, "indices", false);
    x.acquire(data, "data", false);
    if (p.elem() != Elem::i32 && p.elem() != Elem::i64)
        raise(PyExc_TypeError, "indptr must be an int32 or int64 array");
    i.require(p.elem());
    if (x.elem() != Elem::f64 && x.elem() != Elem::c128)
        raise(PyExc_TypeError,
              "CHOLMOD matrices hold float64 or complex128 values; data has another type");
    p.require_exact_length(plus_one(N, "N"), "N + 1 column pointers");
    Pattern pattern = p.elem() == Elem::i32
        ? check_pattern<int32_t>(p.data<int32_t>(), N, i.data<int32_t>(), i.size(), M)
        : check_pattern<int64_t>(p.data<int64_t>(), N, i.data<int64_t>(), i.size(), M);
    int64_t nnz = p.elem() == Elem::i32 ? p.data<int32_t>()[N] : p.data<int64_t>()[N];
    x.require_length(nnz, "one value per stored entry");
    if (stype != 0 && M != N)
        raise(PyExc_ValueError, "a symmetric CHOLMOD matrix must be square");
    std::memset(header, 0, sizeof *header);
    header->nrow = (size_t)M;
    header->ncol = (size_t)N;
    header->nzmax = (size_t)(nnz > 0 ? nnz : 0);
    header->p = p.data<void>();
    header->i = i.data<void>();
    header->nz = nullptr;
    header->x = x.size() > 0 ? x.data<void>() : empty_values;
    header->z = nullptr;
    header->stype = stype;
    header->itype = p.elem() == Elem::i32 ? CHOLMOD_INT : CHOLMOD_LONG;
    header->xtype = x.elem() == Elem::f64 ? CHOLMOD_REAL : CHOLMOD_COMPLEX;
    header->dtype = CHOLMOD_DOUBLE;
    header->sorted = pattern == Pattern::canonical;
    header->packed = 1;
}

int sparse_from_csc(PyObject *shape, PyObject *indptr, PyObject *indices, PyObject *data,
                    int stype, cholmod_sparse *header) {
    try {
        fill_sparse_header(shape, indptr, indices, data, stype, header);
        return 0;
    } catch (nb::python_error &e) {
        e.restore();
        return -1;
    }
}

// Python form: `address` is a writable buffer of at least sizeof(cholmod_sparse) bytes
// that receives the header (a raw integer address could not be checked).
void py_sparse_from_csc(nb::handle shape, nb::handle indptr, nb::handle indices, nb::handle data,
                        nb::handle stype, nb::handle address) {
    Py_buffer view;
    if (address.is_none() || !PyObject_CheckBuffer(address.ptr()) ||
        PyObject_GetBuffer(address.ptr(), &view, PyBUF_WRITABLE) != 0) {
        PyErr_Clear();
        raise(PyExc_TypeError,
              "address must be a writable buffer of at least %zu bytes (the sparse header)",
              sizeof(cholmod_sparse));
    }
    // Held until the header is written: the checks below run Python code (__index__ of the
    // shape), which must not be able to resize or free the buffer in between.
    struct Held_view {
        Py_buffer *v;
        ~Held_view() { PyBuffer_Release(v); }
    } hold{&view};
    void *buf = view.buf;
    Py_ssize_t len = view.len;
    if (len < (Py_ssize_t)sizeof(cholmod_sparse))
        raise(PyExc_ValueError, "address holds %zd bytes; a sparse header needs %zu", len,
              sizeof(cholmod_sparse));
    int64_t st = to_index(stype, "stype");
    if (st < -1 || st > 1)
        raise(PyExc_ValueError, "stype must be -1, 0 or 1");
    cholmod_sparse header;  // aligned scratch, copied into the caller's buffer at the end
    fill_sparse_header(shape, indptr, indices, data, (int)st, &header);
    std::memcpy(buf, &header, sizeof header);
}

//------------------------------------------------------------------------------
// Round trips through the published functions, for their tests
//------------------------------------------------------------------------------

nb::object sparse_roundtrip(nb::handle A) {
    cholmod_sparse view;
    fill_sparse_header(A.attr("shape"), A.attr("indptr"), A.attr("indices"), A.attr("data"), 0,
                       &view);
    CholmodCommon c(view.itype == CHOLMOD_INT);
    cholmod_sparse *copy = c.use_int32() ? cholmod_copy_sparse(&view, c.get())
                                         : cholmod_l_copy_sparse(&view, c.get());
    if (copy == nullptr)
        raise(PyExc_MemoryError, "cholmod_copy_sparse failed (status %d)", c.status());
    PyObject *r = csc_from_cholmod_sparse(copy, c.get());
    check_python(r != nullptr);
    return nb::steal(r);
}

nb::object dense_roundtrip(nb::handle X, Flag use_int32_flag) {
    bool use_int32 = use_int32_flag.value();
    cholmod_dense view;
    int variant = -1;
    for (int k = 0; k < 4 && variant < 0; ++k) {
        if (dense_from_ndarray(k, X.ptr(), &view) == 0) variant = k;
        else PyErr_Clear();
    }
    if (variant < 0)
        raise(PyExc_TypeError, "X must be a 2-D float or complex array, aligned for its type, "
                               "whose first axis is contiguous");
    if (view.dtype != CHOLMOD_DOUBLE)
        raise(PyExc_TypeError, "single-precision blocks are described but not converted back");
    CholmodCommon c(use_int32);
    cholmod_dense *copy = use_int32 ? cholmod_copy_dense(&view, c.get()) : cholmod_l_copy_dense(&view, c.get());
    if (copy == nullptr)
        raise(PyExc_MemoryError, "cholmod_copy_dense failed (status %d)", c.status());
    PyObject *r = ndarray_from_cholmod_dense(copy, use_int32, c.get());
    check_python(r != nullptr);
    return nb::steal(r);
}

nb::object copy_from_intptr(nb::handle array) {
    Buffer b;
    b.acquire(array, "array", false);
    if (b.elem() != Elem::i32 && b.elem() != Elem::i64)
        raise(PyExc_TypeError, "array must be int32 or int64");
    PyObject *r = ndarray_copy_from_intptr(b.data<void>(), b.size(), b.elem() == Elem::i32);
    check_python(r != nullptr);
    return nb::steal(r);
}

ferrow_cholmod_api api = {
    FERROW_CHOLMOD_API_VERSION,
    (uint32_t)sizeof(ferrow_cholmod_api),
    csc_from_cholmod_sparse,
    ndarray_from_cholmod_dense,
    ndarray_copy_from_intptr,
    copy_cholmod_common,
    {dense_from_ndarray_0, dense_from_ndarray_1, dense_from_ndarray_2, dense_from_ndarray_3},
    sparse_from_csc,
    csc_from_arrays,
};

int import_numpy() {
    import_array1(-1);
    return 0;
}

}  // namespace

FERROW_MODULE(cholmod, m) {
    m.doc() = "Conversions between NumPy/SciPy objects and CHOLMOD structures.\n\n"
              "The compiled functions are published in the capsule `_C_API` "
              "(see native/cholmod_api.hpp).";
    if (import_numpy() < 0)
        throw nb::python_error();
    bind_thread_switch();
    csc_array_type.set(nb::module_::import_("scipy.sparse").attr("csc_array"));
    probe_csc_layout();

    m.def("_cholmod_sparse_from_csc", &py_sparse_from_csc, nb::arg("shape"), nb::arg("indptr"),
          nb::arg("indices"), nb::arg("data"), nb::arg("stype"), nb::arg("address"),
          "Fill a CHOLMOD sparse header that views a CSC matrix's arrays (no copy).\n\n"
          "`address` is a writable buffer of at least the header's size that receives it.\n"
          "The arrays are checked completely (lengths, types, pointers, row indices).");
    m.def("_csc_from_arrays", &py_csc_from_arrays, nb::arg("data"), nb::arg("indices"),
          nb::arg("indptr"), nb::arg("shape"),
          "A csc_array of `shape` over exactly these checked arrays (no check, copy or recast).");
    m.def("_sparse_roundtrip", &sparse_roundtrip, nb::arg("A"),
          "Copy a CSC matrix into CHOLMOD-owned memory and convert it back (tests the bridge).");
    m.def("_dense_roundtrip", &dense_roundtrip, nb::arg("X"), nb::arg("use_int32") = true,
          "Copy a 2-D array into CHOLMOD-owned memory and convert it back (tests the bridge).");
    m.def("_copy_from_intptr", &copy_from_intptr, nb::arg("array"),
          "Copy an int32/int64 array through the published pointer-copy function.");
    m.attr("_C_API") = nb::steal(PyCapsule_New(&api, FERROW_CHOLMOD_CAPSULE, nullptr));
    m.attr("_direct_csc") = csc_layout.direct;
    m.attr("sizeof_cholmod_sparse") = sizeof(cholmod_sparse);
    m.attr("sizeof_cholmod_dense") = sizeof(cholmod_dense);
}
