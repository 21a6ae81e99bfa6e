// The one validation of a public call's matrix, in C++.
//
// validate_csc() runs the common case of ferrow.utils.validate_csc_input without a line
// of Python (a csc_array/csc_matrix whose index arrays are contiguous, aligned int32 or
// int64 arrays of one type with a canonical pattern and numeric values) and hands every
// other input to the Python part of validate_csc_input (conversions, canonical copies),
// once. The result holds the validated object, its arrays and views of its index arrays,
// so the worker reads exactly the memory that was checked.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "buffers.hpp"
#include "dispatch.hpp"
#include "errors.hpp"
#include "pattern.hpp"

namespace ferrow {

namespace nb = nanobind;

struct CscInput {
    nb::object A;                     // the validated CSC object: the caller's, or a checked copy
    nb::object indptr, indices, data;  // A's arrays, held for as long as the views are used
    nb::object dtype, itype;          // data.dtype, indptr.dtype
    int64_t nrow = 0, ncol = 0;
    Buffer p, i;                      // views of indptr and indices (int32 or int64)

    CscInput() = default;
    CscInput(const CscInput &) = delete;
    CscInput &operator=(const CscInput &) = delete;

    Elem index() const { return p.elem(); }
    bool int32() const { return p.elem() == Elem::i32; }
    int64_t nnz() const {
        return int32() ? (int64_t)p.data<int32_t>()[ncol] : (int64_t)p.data<int64_t>()[ncol];
    }
    template <class I> CscPattern<I> pattern() const {
        return CscPattern<I>{nrow, ncol, p.data<I>(), i.data<I>()};
    }
};

namespace csc_detail {

inline bool numeric_format(const char *fmt) {
    if (fmt == nullptr) return true;  // unsigned bytes
    fmt = native_format(fmt);
    if (fmt[0] == 'Z') ++fmt;  // complex
    return fmt[0] != '\0' && fmt[1] == '\0' && std::strchr("?bBhHiIlLqQnNefdg", fmt[0]) != nullptr;
}

inline bool get_view(nb::handle o, Py_buffer *v) {
    if (PyObject_GetBuffer(o.ptr(), v, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

inline bool nonnegative_index(PyObject *o, int64_t *out) {
    PyObject *num = PyNumber_Index(o);
    if (num == nullptr) {
        PyErr_Clear();
        return false;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(num, &overflow);
    Py_DECREF(num);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    *out = v;
    return v >= 0;
}

// Module-level objects of ferrow.utils, bound on first use (one set per extension).
struct UtilsObjects {
    PyObject *csc_array = nullptr, *csc_matrix = nullptr, *general = nullptr;
};
inline UtilsObjects &utils_objects() {
    static UtilsObjects u;  // never released: needed until the process ends
    if (u.general == nullptr) {
        nb::module_ utils = nb::module_::import_("ferrow.utils");
        nb::tuple types = nb::borrow<nb::tuple>(utils.attr("_CSC_TYPES"));
        u.csc_array = nb::object(types[0]).release().ptr();
        u.csc_matrix = nb::object(types[1]).release().ptr();
        u.general = nb::object(utils.attr("_validate_general")).release().ptr();
    }
    return u;
}

}  // namespace csc_detail

// The fast path: fills `out` and returns true when `A` needs neither conversion nor a
// canonical copy; returns false (nothing kept) when the general path must look at it.
// Raises ValueError only for a non-square A that must be square.
inline bool csc_fast_path(nb::handle A, bool require_square, CscInput &out) {
    using namespace csc_detail;
    nb::object shape = A.attr("shape");
    if (!PyTuple_Check(shape.ptr()) || tuple_size(shape.ptr()) != 2)
        return false;
    int64_t M, N;
    if (!nonnegative_index(tuple_item(shape.ptr(), 0), &M) ||
        !nonnegative_index(tuple_item(shape.ptr(), 1), &N) ||
        N >= std::numeric_limits<int64_t>::max())
        return false;
    nb::object indptr = A.attr("indptr"), indices = A.attr("indices"), data = A.attr("data");
    Py_buffer pv, iv, dv;
    if (!get_view(indptr, &pv))
        return false;
    if (!get_view(indices, &iv)) {
        PyBuffer_Release(&pv);
        return false;
    }
    if (!get_view(data, &dv)) {
        PyBuffer_Release(&pv);
        PyBuffer_Release(&iv);
        return false;
    }
    auto release_all = [&] {
        PyBuffer_Release(&pv);
        PyBuffer_Release(&iv);
        PyBuffer_Release(&dv);
    };
    const Elem e = elem_from_format(pv.format, pv.itemsize);
    auto contiguous = [&] {
        for (Py_buffer *v : {&pv, &iv, &dv})
            if (v->ndim != 1 || (v->shape[0] > 1 && v->strides[0] != v->itemsize)) return false;
        return true;
    };
    // Unaligned arrays (views into byte buffers) take the general path, which copies them.
    auto data_aligned = [&] {
        const Py_ssize_t align = std::min<Py_ssize_t>(dv.itemsize & -dv.itemsize, 8);
        return dv.shape[0] == 0 || align <= 1 ||
               reinterpret_cast<std::uintptr_t>(dv.buf) % (std::uintptr_t)align == 0;
    };
    bool ok = (e == Elem::i32 || e == Elem::i64) && elem_from_format(iv.format, iv.itemsize) == e &&
              numeric_format(dv.format) && contiguous() && pv.shape[0] == N + 1 &&
              is_aligned(pv.buf, e) && (iv.shape[0] == 0 || is_aligned(iv.buf, e)) && data_aligned();
    if (ok) {
        try {
            Pattern pat = e == Elem::i32
                ? check_pattern<int32_t>((int32_t *)pv.buf, N, (int32_t *)iv.buf, iv.shape[0], M)
                : check_pattern<int64_t>((int64_t *)pv.buf, N, (int64_t *)iv.buf, iv.shape[0], M);
            int64_t nnz = e == Elem::i32 ? ((int32_t *)pv.buf)[N] : ((int64_t *)pv.buf)[N];
            ok = pat == Pattern::canonical && dv.shape[0] >= nnz;
            if (ok && require_square && M != N)
                raise(PyExc_ValueError, "A must be square, got shape (%lld, %lld)", (long long)M,
                      (long long)N);
        } catch (...) {
            release_all();
            throw;
        }
    }
    if (!ok) {
        release_all();
        return false;
    }
    PyBuffer_Release(&dv);
    out.p.adopt(pv, "indptr");
    out.i.adopt(iv, "indices");
    out.A = nb::borrow(A);
    out.indptr = std::move(indptr);
    out.indices = std::move(indices);
    out.data = std::move(data);
    out.nrow = M;
    out.ncol = N;
    return true;
}

// validate_csc_input(A, require_square), with its results and views in `out`. The
// dtypes are read only when asked for (`with_dtypes`), as most callers never need them.
inline void validate_csc(nb::handle A, bool require_square, CscInput &out, bool with_dtypes = true) {
    using namespace csc_detail;
    UtilsObjects &u = utils_objects();
    PyObject *tp = (PyObject *)Py_TYPE(A.ptr());
    if (!((tp == u.csc_array || tp == u.csc_matrix) && csc_fast_path(A, require_square, out))) {
        nb::tuple r = nb::borrow<nb::tuple>(
            nb::handle(u.general)(A, nb::bool_(require_square), 2));
        out.A = r[0];
        nb::object shape = out.A.attr("shape");
        out.nrow = to_index(nb::handle(tuple_item(shape.ptr(), 0)), "M");
        out.ncol = to_index(nb::handle(tuple_item(shape.ptr(), 1)), "N");
        out.indptr = out.A.attr("indptr");
        out.indices = out.A.attr("indices");
        out.data = out.A.attr("data");
        out.p.acquire(out.indptr, "indptr", false);
        out.i.acquire(out.indices, "indices", false, out.p.elem());
        out.dtype = r[1];
        out.itype = r[2];
        return;
    }
    if (with_dtypes) {
        out.dtype = out.data.attr("dtype");
        out.itype = out.indptr.attr("dtype");
    }
}

}  // namespace ferrow
