// What every part of ferrow.spqr shares: module-level objects, the status translation,
// the ordering and method tables, the tolerance convention, value/index variants, the
// matrices handed to the library (validated once) and owners of the library's results.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <SuiteSparseQR.hpp>

#include <complex>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "common/buffers.hpp"
#include "common/cholmod_bridge.hpp"
#include "common/cholmod_common.hpp"
#include "common/csc_input.hpp"
#include "common/dispatch.hpp"
#include "common/errors.hpp"
#include "common/pyobj.hpp"
#include "spqr/status.hpp"

// The end of the Raises section that every documented call ending in a library call
// shares, and the start of its See Also section (pasted between raw string literals).
#define FERROW_SPQR_DOC_LIBRARY_FAILS                                                       \
    "SPQRError\n    When the library fails (a subclass names the reason).\n\nSee Also\n--------\n"

namespace ferrow::spqr {

namespace nb = nanobind;

// The CHOLMOD bridge, bound when the module loads.
extern const ferrow_cholmod_api *bridge;

// Module-level Python objects, bound once when the module loads.
struct Objects {
    Held np, csc_array, issparse, hstack, warnings;
    Held asfortranarray, ascontiguousarray, can_cast, dtype_int32, dtype_int64, dtype_float64,
        dtype_complex128, ndarray;
    Held SPQRWarning, SPQRRankDeficiencyWarning, SPQRError, SPQRNotInstalledError,
        SPQROutOfMemoryError, SPQROverflowError, SPQRInvalidInputError, SPQRGpuProblemError;
    Held SPQRHouseholder, SPQRInfo, SPQRFactor;
};
extern Objects obj;

//------------------------------------------------------------------------------
// Status translation: the one place a library status becomes an exception.
//------------------------------------------------------------------------------

// Returns normally for status 0; raises the class of the status table otherwise with
// "{message} (code {status})". Takes the GIL for its own duration.
void handle_errors(int status);

// handle_errors() for a worker's status, kNoResult (spqr/status.hpp) included.
void check_status(int status);

//------------------------------------------------------------------------------
// Tables
//------------------------------------------------------------------------------

// SuiteSparseQR's ordering code for an ordering name (None: 7, "default").
int ordering_code(nb::handle order);
// The name of an ordering code, or nullptr when it has none.
const char *ordering_name(int code);
// SuiteSparseQR's method code for "QX", "QTX", "XQ", "XQT".
int qmult_code(nb::handle method);
// Refuses a method that is neither a str nor None ("Expected str, got <type>").
void require_str_or_none(nb::handle method);
// None gives -2.0 (the library's default tolerance); any other value goes through the
// number protocol (a string raises TypeError).
double tolerance(nb::handle tol);

// "Expected {expected}, got {type name}" with the type name cut at 200 characters.
[[noreturn]] void raise_expected(const char *expected, nb::handle got);

//------------------------------------------------------------------------------
// Value/index variants
//------------------------------------------------------------------------------

// Variant<Entry, Int>, Complex and dispatch() come from common/dispatch.hpp.

//------------------------------------------------------------------------------
// CHOLMOD workspace
//------------------------------------------------------------------------------

// Starts `cc` with the family of the index type (cholmod_start or cholmod_l_start); the
// library's status becomes the exception when it fails.
void start_common(cholmod_common *cc, bool use_int32);
// Raises unless `cc` started.
void require_started(CholmodCommon &cc);
// Releases an integer array SuiteSparseQR allocated in `cc` (cholmod_free / cholmod_l_free).
void free_ints(cholmod_common *cc, bool use_int32, void *p, size_t n);

// Owners of the library's results, from the moment it returns them until the bridge
// takes them over; every exit path in between releases them.
// T is cholmod_sparse (the bridge makes a csc_array of it) or cholmod_dense (an ndarray).
template <class T> class Result {
public:
    Result(cholmod_common *cc, bool use_int32) : cc_(cc), int32_(use_int32) {}
    ~Result() { reset(nullptr); }
    Result(const Result &) = delete;
    Result &operator=(const Result &) = delete;
    T **out() { return &p_; }
    T *get() const { return p_; }
    // Releases the result held (with the family's free function) and holds `p` instead.
    void reset(T *p);
    // The Python object made by the bridge, which takes the result over; None when null.
    nb::object to_python();

private:
    T *p_ = nullptr;
    cholmod_common *cc_;
    bool int32_;
};
template <> void Result<cholmod_sparse>::reset(cholmod_sparse *p);
template <> void Result<cholmod_dense>::reset(cholmod_dense *p);
template <> nb::object Result<cholmod_sparse>::to_python();
template <> nb::object Result<cholmod_dense>::to_python();
using SparseResult = Result<cholmod_sparse>;
using DenseResult = Result<cholmod_dense>;

template <class Int> class IntResult {
public:
    IntResult(cholmod_common *cc, size_t n) : cc_(cc), n_(n) {}
    ~IntResult() {
        if (p_) free_ints(cc_, std::is_same_v<Int, int32_t>, p_, n_);
    }
    IntResult(const IntResult &) = delete;
    Int **out() { return &p_; }
    Int *get() const { return p_; }
    void set_length(size_t n) { n_ = n; }
    // A NumPy copy of the first `n` entries, or None when null.
    nb::object to_python(Py_ssize_t n) const {
        if (p_ == nullptr) return nb::none();
        PyObject *r = bridge->ndarray_copy_from_intptr(p_, n, std::is_same_v<Int, int32_t>);
        check_python(r != nullptr);
        return nb::steal(r);
    }

private:
    Int *p_ = nullptr;
    cholmod_common *cc_;
    size_t n_;
};

// Q in Householder form, an SPQRHouseholder(H, tau, perm) over the library's results (the
// bridge takes them over; perm is None when H is). `tau` is the 1 x h row of coefficients:
// flattened to 1-D, or squeezed as spqr() returns it (0-D for a single coefficient).
enum class TauShape { flat, squeezed };
template <class Int>
nb::object householder_form(SparseResult &H, IntResult<Int> &HPinv, DenseResult &HTau,
                            TauShape shape) {
    nb::object h = H.to_python();
    nb::object perm = nb::none();
    if (!h.is_none())
        perm = HPinv.to_python(nb::cast<Py_ssize_t>(h.attr("shape")[0]));
    nb::object tau = HTau.to_python();
    if (!tau.is_none())
        tau = shape == TauShape::flat ? tau.attr("reshape")(-1) : tau.attr("squeeze")();
    return obj.SPQRHouseholder(nb::arg("H") = h, nb::arg("tau") = tau, nb::arg("perm") = perm);
}

// A 32-bit instance computes its sizes in int32: a header whose dimensions do not fit
// cannot be handed to it (a CSC object may carry int32 indices and a larger shape).
template <class Int> void require_dimensions_fit(const cholmod_sparse &A, const char *name) {
    constexpr auto limit = (size_t)std::numeric_limits<Int>::max();
    if (A.nrow > limit || A.ncol > limit)
        raise(PyExc_ValueError,
              "%s has shape (%zu, %zu), too large for 32-bit indices; use int64 index arrays",
              name, A.nrow, A.ncol);
}

//------------------------------------------------------------------------------
// Matrices
//------------------------------------------------------------------------------

// A matrix validated once (validate_csc) with its values as float64 or complex128: other
// real numeric types convert to float64, complex64 to complex128 (the index arrays are
// shared, never recast); anything else raises TypeError naming the dtype. `header` views
// the validated arrays, held by `in` and `x` for as long as it is used.
struct QrMatrix {
    CscInput in;
    nb::object values;  // in.data, or its conversion
    Buffer x;           // view of `values`
    cholmod_sparse header;
    bool is_real() const { return header.xtype == CHOLMOD_REAL; }
    bool use_int32() const { return header.itype == CHOLMOD_INT; }
};
void qr_matrix(nb::handle A, QrMatrix &m);

// The values of a validated matrix as float64 or complex128 (`data` itself when it is).
nb::object qr_values(nb::handle data);

// Fills `header` over the views of a validated CSC matrix (its pattern checked once, by
// the validation): reads only the sizes, no pattern pass.
void fill_header(cholmod_sparse &header, int64_t nrow, int64_t ncol, const Buffer &p,
                 const Buffer &i, const Buffer &x);

// A csc_array over exactly these arrays (SciPy's own constructor may recast indices).
nb::object make_csc(nb::handle data, nb::handle indices, nb::handle indptr, Py_ssize_t nrow,
                    Py_ssize_t ncol);

// Fills `header` as a view of A's arrays through the bridge, which checks them
// completely (for matrices that were not validated, such as a Householder H).
struct CscArrays {
    nb::object shape, indptr, indices, data;
    BufferPin p, i, x;  // the arrays' memory, pinned while the header is used
};
void sparse_header(nb::handle A, cholmod_sparse *header, CscArrays &keep);

// Makes `header` a view of a 2-D array of float64 (is_real) or complex128 values whose
// first axis is contiguous; ValueError otherwise.
// `pin` holds the array's memory for as long as the header is used.
void dense_header(nb::handle X, bool is_real, cholmod_dense *header, const char *name,
                  BufferPin &pin);

//------------------------------------------------------------------------------
// Parts of the module, registered in this order by module.cpp
//------------------------------------------------------------------------------

void register_info(nb::module_ &m);
void register_factor(nb::module_ &m);
void register_qr(nb::module_ &m);
void register_rank(nb::module_ &m);  // spqr_null, spqr_pinv, SPQRFactor.Q

// Shared docstrings, formatted at load from the templates.
struct Docs {
    std::string solve_method, solve_function, qmult_method, qmult_function;
};
extern Docs docs;

}  // namespace ferrow::spqr
