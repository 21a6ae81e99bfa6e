// Compiled helpers of ferrow.utils: the O(nnz) structural check of a sparse pattern.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "native/buffers.hpp"
#include "native/module.hpp"
#include "native/pyobj.hpp"
#include "native/structure.hpp"

namespace nb = nanobind;
using namespace ferrow;

namespace {

template <class I>
bool check(const Buffer &ptr, const Buffer &idx, int64_t n_major, int64_t n_minor) {
    return check_pattern<I>(ptr.data<I>(), n_major, idx.data<I>(), idx.size(), n_minor) ==
           Pattern::canonical;
}

// Checks a compressed pattern (CSC: pointers per column, indices are rows; CSR the
// other way round). Returns True when every major slice is sorted without duplicates.
bool check_compressed(nb::handle indptr, nb::handle indices, nb::handle n_major_obj,
                      nb::handle n_minor_obj) {
    int64_t n_major = to_index(n_major_obj, "n_major");
    int64_t n_minor = to_index(n_minor_obj, "n_minor");
    if (n_major < 0 || n_minor < 0)
        raise(PyExc_ValueError, "matrix dimensions must be non-negative");
    Buffer ptr, idx;
    ptr.acquire(indptr, "indptr", false);
    idx.acquire(indices, "indices", false);
    if (ptr.elem() != Elem::i32 && ptr.elem() != Elem::i64)
        raise(PyExc_ValueError, "indptr must be an int32 or int64 array");
    idx.require(ptr.elem());
    const int64_t n_ptr = plus_one(n_major, "n_major");
    if (ptr.size() != n_ptr)
        raise(PyExc_ValueError, "indptr has %zd entries, expected %lld", ptr.size(),
              (long long)n_ptr);
    return ptr.elem() == Elem::i32 ? check<int32_t>(ptr, idx, n_major, n_minor)
                                   : check<int64_t>(ptr, idx, n_major, n_minor);
}

// Checks coordinates: row and column indices of equal length, each in range.
void check_coordinates(nb::handle row, nb::handle col, nb::handle nrow_obj, nb::handle ncol_obj) {
    int64_t nrow = to_index(nrow_obj, "nrow"), ncol = to_index(ncol_obj, "ncol");
    if (nrow < 0 || ncol < 0)
        raise(PyExc_ValueError, "matrix dimensions must be non-negative");
    Buffer r, c;
    r.acquire(row, "row", false);
    c.acquire(col, "col", false);
    if (r.size() != c.size())
        raise(PyExc_ValueError, "row and column index arrays differ in length (%zd and %zd)",
              r.size(), c.size());
    auto scan = [](const Buffer &b, int64_t bound, const char *what) {
        auto run = [&](auto *x) {
            for (Py_ssize_t k = 0; k < b.size(); ++k)
                if (x[k] < 0 || (int64_t)x[k] >= bound)
                    raise(PyExc_ValueError, "%s index %lld out of range 0..%lld", what,
                          (long long)x[k], (long long)(bound - 1));
        };
        if (b.elem() == Elem::i32) run(b.data<int32_t>());
        else if (b.elem() == Elem::i64) run(b.data<int64_t>());
        else raise(PyExc_ValueError, "%s indices must be int32 or int64", what);
    };
    scan(r, nrow, "row");
    scan(c, ncol, "column");
}

bool numeric_format(const char *fmt) {
    if (fmt == nullptr) return true;  // unsigned bytes
    if (*fmt == '@' || *fmt == '=' || *fmt == '<') ++fmt;
    if (fmt[0] == 'Z') ++fmt;  // complex
    return fmt[0] != '\0' && fmt[1] == '\0' && std::strchr("?bBhHiIlLqQnNefdg", fmt[0]) != nullptr;
}

// The common case of validate_csc_input, without a line of Python: a CSC object whose
// index arrays are contiguous int32 or int64 arrays of one type, a canonical pattern and
// numeric values. Returns (A, data.dtype, indptr.dtype), or None when the general path
// must look at A (conversions, canonicalisation); raises ValueError for a corrupted
// structure or a non-square A that must be square.
nb::object csc_fast_path(nb::handle A, Flag require_square_flag) {
    const bool require_square = require_square_flag.value();
    nb::object shape = A.attr("shape");
    nb::object indptr = A.attr("indptr"), indices = A.attr("indices"), data = A.attr("data");
    if (!PyTuple_Check(shape.ptr()) || tuple_size(shape.ptr()) != 2)
        return nb::none();
    int64_t M = to_index(tuple_item(shape.ptr(), 0), "M");
    int64_t N = to_index(tuple_item(shape.ptr(), 1), "N");
    if (M < 0 || N < 0)
        return nb::none();
    Py_buffer pv, iv, dv;
    auto get = [](nb::handle o, Py_buffer *v) {
        if (PyObject_GetBuffer(o.ptr(), v, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
            PyErr_Clear();
            return false;
        }
        return true;
    };
    if (!get(indptr, &pv))
        return nb::none();
    bool have_i = get(indices, &iv), have_d = have_i && get(data, &dv);
    nb::object result = nb::none();
    Elem e = elem_from_format(pv.format, pv.itemsize);
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
    if (have_d && (e == Elem::i32 || e == Elem::i64) && elem_from_format(iv.format, iv.itemsize) == e &&
        numeric_format(dv.format) && contiguous() && N < std::numeric_limits<int64_t>::max() &&
        pv.shape[0] == N + 1 && is_aligned(pv.buf, e) && (iv.shape[0] == 0 || is_aligned(iv.buf, e)) &&
        data_aligned()) {
        try {
            Pattern pat = e == Elem::i32
                ? check_pattern<int32_t>((int32_t *)pv.buf, N, (int32_t *)iv.buf, iv.shape[0], M)
                : check_pattern<int64_t>((int64_t *)pv.buf, N, (int64_t *)iv.buf, iv.shape[0], M);
            int64_t nnz = e == Elem::i32 ? ((int32_t *)pv.buf)[N] : ((int64_t *)pv.buf)[N];
            if (pat == Pattern::canonical && dv.shape[0] >= nnz) {
                if (require_square && M != N)
                    raise(PyExc_ValueError, "A must be square, got shape (%lld, %lld)", (long long)M,
                          (long long)N);
                result = nb::make_tuple(A, data.attr("dtype"), indptr.attr("dtype"));
            }
        } catch (...) {
            PyBuffer_Release(&pv); PyBuffer_Release(&iv); PyBuffer_Release(&dv);
            throw;
        }
    }
    PyBuffer_Release(&pv);
    if (have_i) PyBuffer_Release(&iv);
    if (have_d) PyBuffer_Release(&dv);
    return result;
}

}  // namespace

FERROW_MODULE(_structure, m) {
    m.doc() = "Structural checks of sparse index arrays (one pass, no copies).";
    m.def("check_compressed", &check_compressed, nb::arg("indptr"), nb::arg("indices"),
          nb::arg("n_major"), nb::arg("n_minor"),
          "Check a compressed sparse pattern; return True when it is canonical.\n\n"
          "Raises ValueError when the pointers do not start at 0, decrease, or end beyond\n"
          "the index array, or when an index lies outside 0 .. n_minor-1.");
    m.def("check_coordinates", &check_coordinates, nb::arg("row"), nb::arg("col"),
          nb::arg("nrow"), nb::arg("ncol"),
          "Check coordinate index arrays for equal length and range; raise ValueError otherwise.");
    m.def("csc_fast_path", &csc_fast_path, nb::arg("A"), nb::arg("require_square"),
          "validate_csc_input for a CSC object that needs no conversion; None otherwise.");
}
