// Compiled helpers of ferrow.utils: the O(nnz) structural check of a sparse pattern.
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/buffers.hpp"
#include "common/module_def.hpp"
#include "common/pyobj.hpp"
#include "common/csc_input.hpp"
#include "common/pattern.hpp"
#include "common/threads.hpp"

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

// validate_csc_input for a CSC object that needs no conversion: (A, data.dtype,
// indptr.dtype), or None when the general path must look at A.
nb::object fast_path(nb::handle A, Flag require_square) {
    CscInput in;
    if (!ferrow::csc_fast_path(A, require_square.value(), in))
        return nb::none();
    return nb::make_tuple(in.A, in.data.attr("dtype"), in.indptr.attr("dtype"));
}

// The switch every module reads (common/threads.hpp); lives as long as the process.
ThreadSwitch the_switch{kThreadSwitchVersion, (uint32_t)sizeof(ThreadSwitch), {0}, {0}};

bool set_release_gil(Flag enabled) {
    return the_switch.enabled.exchange(enabled.value() ? 1 : 0) != 0;
}
bool get_release_gil() { return release_gil_enabled(); }
void enter_releasing_gil() { the_switch.scoped.fetch_add(1); }
void exit_releasing_gil() { the_switch.scoped.fetch_sub(1); }

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
    // Bound before the capsule is published, so a module that finds the capsule finds
    // its own pointer too (release_gil_enabled() reads through it).
    thread_switch = &the_switch;
    m.attr("_thread_switch") = nb::steal(PyCapsule_New(&the_switch, kThreadSwitchCapsule, nullptr));
    m.def("_set_release_gil", &set_release_gil, nb::arg("enabled"),
          "Set the process-wide switch; return its previous setting.");
    m.def("_get_release_gil", &get_release_gil,
          "Whether library calls release the interpreter lock now.");
    m.def("_enter_releasing_gil", &enter_releasing_gil);
    m.def("_exit_releasing_gil", &exit_releasing_gil);
    m.def("csc_fast_path", &fast_path, nb::arg("A"), nb::arg("require_square"),
          "validate_csc_input for a CSC object that needs no conversion; None otherwise.");
}
