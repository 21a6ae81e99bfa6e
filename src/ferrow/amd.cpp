// ferrow.amd: approximate minimum degree ordering (SuiteSparse AMD).
#include <nanobind/nanobind.h>

#include <amd.h>

#include <cstdint>
#include <limits>

#include "native/buffers.hpp"
#include "native/module.hpp"
#include "native/pyobj.hpp"
#include "native/records.hpp"

namespace nb = nanobind;
using namespace ferrow;

namespace {

Held np_array, np_arange, np_empty, np_zeros, np_float64;
Held validate_csc_input, AMDError, AMDInvalidMatrixError, AMDMemoryError, AMDInfo;

const RecordField info_fields[] = {
    {"status", false, AMD_STATUS},      {"N", false, AMD_N},
    {"nz", false, AMD_NZ},              {"symmetry", true, AMD_SYMMETRY},
    {"nzdiag", false, AMD_NZDIAG},      {"nz_A_plus_AT", false, AMD_NZ_A_PLUS_AT},
    {"Ndense", false, AMD_NDENSE},      {"memory", true, AMD_MEMORY},
    {"Ncmpa", false, AMD_NCMPA},        {"Lnz", false, AMD_LNZ},
    {"Ndiv", false, AMD_NDIV},          {"Nmultsubs_LDL", false, AMD_NMULTSUBS_LDL},
    {"Nmultsubs_LU", false, AMD_NMULTSUBS_LU}, {"dmax", false, AMD_DMAX},
};

const char *info_doc = R"(Statistics of an AMD ordering, read from the library's Info array.

Attributes
----------
status : int
    0 OK, 1 OK but the input columns were unsorted or held duplicates,
    -1 out of memory, -2 invalid matrix.
N : int
    Number of rows and columns of `A`.
nz : int
    Number of entries of `A`.
symmetry : float
    Matched off-diagonal entries divided by all off-diagonal entries, in [0, 1].
nzdiag : int
    Number of diagonal entries.
nz_A_plus_AT : int
    Entries of ``A + A.T`` off the diagonal.
Ndense : int
    Dense rows/columns set aside and placed last in `p`.
memory : float
    Memory used, in bytes.
Ncmpa : int
    The library's count of workspace compactions.
Lnz : int
    Nonzeros of the Cholesky factor L below the diagonal (an upper bound).
Ndiv : int
    Divisions of an LU or Cholesky factorisation of the permuted matrix.
Nmultsubs_LDL : int
    Multiply-subtract pairs of an LDL' factorisation.
Nmultsubs_LU : int
    Multiply-subtract pairs of an LU factorisation without pivoting.
dmax : int
    Largest number of nonzeros in a column of L, diagonal included.
)";

const RecordSpec info_spec = {"AMDInfo", info_doc, info_fields,
                              sizeof(info_fields) / sizeof(info_fields[0]), "np.ndarray"};

template <class I> struct AmdTraits;
template <> struct AmdTraits<int32_t> {
    static int order(int32_t n, const int32_t *Ap, const int32_t *Ai, int32_t *P, double *ctrl,
                     double *info) {
        return amd_order(n, Ap, Ai, P, ctrl, info);
    }
};
template <> struct AmdTraits<int64_t> {
    static int order(int64_t n, const int64_t *Ap, const int64_t *Ai, int64_t *P, double *ctrl,
                     double *info) {
        return amd_l_order(n, Ap, Ai, P, ctrl, info);
    }
};

// Translates the library's status; the one place this module reads it.
void handle_status(int status, const double *info) {
    if (status == AMD_OUT_OF_MEMORY)
        raise_object(AMDMemoryError.get(), "amd: out of memory");
    if (status == AMD_INVALID) {
        nb::list values;
        for (int k = 0; k < AMD_INFO; ++k)
            values.append(nb::float_(info[k]));
        nb::object dump = AMDInfo.get().attr("from_array")(values);
        std::string text = "amd: input matrix A is invalid:\n";
        text += nb::repr(dump).c_str();
        raise_object(AMDInvalidMatrixError.get(), text);
    }
    // AMD_OK and AMD_OK_BUT_JUMBLED are both success.
}

template <class I>
void order(int64_t N, nb::handle Ap_obj, nb::handle Ai_obj, nb::handle p_obj, nb::handle ctrl_obj,
           nb::handle info_obj) {
    constexpr Elem E = elem_of<I>();
    Buffer Ap, Ai, p, ctrl, info;
    Ap.acquire(Ap_obj, "Ap", false, E);
    Ai.acquire(Ai_obj, "Ai", false, E);
    p.acquire(p_obj, "p", true, E);
    ctrl.acquire(ctrl_obj, "ctrl", false, Elem::f64);
    info.acquire(info_obj, "info", true, Elem::f64);

    if (N < 0)
        raise(PyExc_ValueError, "N must be non-negative, got %lld", (long long)N);
    if (N > (int64_t)std::numeric_limits<I>::max())
        raise(PyExc_ValueError, "N = %lld is too large for %s indices", (long long)N,
              elem_name(E));
    Ap.require_length(plus_one(N, "N"), "N + 1 column pointers");
    p.require_length(N, "one per column");
    ctrl.require_length(AMD_CONTROL, "the library's control length");
    info.require_length(AMD_INFO, "the library's information length");

    // The library reads Ai[Ap[j] .. Ap[j+1]-1] column by column before it notices
    // decreasing pointers, so the pointers are checked here; row indices it checks itself.
    const I *ap = Ap.data<I>();
    if (ap[0] != 0)
        raise(AMDInvalidMatrixError.ptr(), "amd: input matrix A is invalid: Ap[0] is %lld, not 0",
              (long long)ap[0]);
    for (int64_t j = 0; j < N; ++j)
        if (ap[j + 1] < ap[j])
            raise(AMDInvalidMatrixError.ptr(),
                  "amd: input matrix A is invalid: column pointers decrease at column %lld",
                  (long long)j);
    if ((int64_t)ap[N] > Ai.size())
        raise(PyExc_ValueError, "Ai is too short: Ap[N] is %lld but Ai has %zd entries",
              (long long)ap[N], Ai.size());

    double *info_p = info.data<double>();
    int status = AmdTraits<I>::order((I)N, ap, Ai.data<I>(), p.data<I>(), ctrl.data<double>(),
                                     info_p);
    handle_status(status, info_p);
}

void amd_order_entry(nb::handle N_obj, nb::handle Ap, nb::handle Ai, nb::handle p,
                     nb::handle ctrl, nb::handle info) {
    Elem variant = index_variant(Ap);
    int64_t N = to_index(N_obj, "N");
    if (variant == Elem::i32)
        order<int32_t>(N, Ap, Ai, p, ctrl, info);
    else
        order<int64_t>(N, Ap, Ai, p, ctrl, info);
}

nb::object amd_entry(nb::handle A_in, nb::handle dense_thresh, nb::handle aggressive,
                     nb::handle return_info) {
    nb::dict kw;
    kw["require_square"] = true;
    nb::tuple validated = nb::borrow<nb::tuple>(validate_csc_input.get()(A_in, **kw));
    nb::object A = validated[0];
    nb::object itype = validated[2];
    int64_t N = to_index(A.attr("shape")[0], "N");
    if (N == 0)
        return np_array(nb::list(), nb::arg("dtype") = itype);
    if (to_index(A.attr("nnz"), "nnz") == 0)
        return np_arange(N, nb::arg("dtype") = itype);

    nb::object ctrl = np_empty(AMD_CONTROL, nb::arg("dtype") = np_float64.get());
    Buffer ctrl_buf;
    ctrl_buf.acquire(ctrl, "ctrl", true, Elem::f64);
    double *c = ctrl_buf.data<double>();
    amd_defaults(c);
    if (!dense_thresh.is_none())
        c[AMD_DENSE] = (double)(float)to_double(dense_thresh);
    if (!aggressive.is_none())
        c[AMD_AGGRESSIVE] = truth(aggressive) ? 1.0 : 0.0;

    nb::object info = np_zeros(AMD_INFO, nb::arg("dtype") = np_float64.get());
    nb::object p = np_empty(N, nb::arg("dtype") = itype);
    amd_order_entry(nb::int_(N), A.attr("indptr"), A.attr("indices"), p, ctrl, info);
    if (truth(return_info))
        return nb::make_tuple(p, AMDInfo.get().attr("from_array")(info));
    return p;
}

nb::dict amd_default_control() {
    double ctrl[AMD_CONTROL];
    amd_defaults(ctrl);
    nb::dict d;
    d["dense_thresh"] = nb::float_(ctrl[AMD_DENSE]);
    d["aggressive"] = nb::bool_(ctrl[AMD_AGGRESSIVE] != 0.0);
    return d;
}

const char *amd_doc = R"(Approximate minimum degree ordering of a square sparse matrix.

Computes a fill-reducing symmetric permutation `p` such that the Cholesky factor
of ``A[p][:, p]`` has fewer nonzeros than that of `A`. For an unsymmetric `A` the
pattern of ``A + A.T`` is ordered. This is the ordering of `ferrow.camd.camd`
without constraints, computed by the AMD library.

Parameters
----------
A : (N, N) array_like or sparse matrix
    Square matrix; only its pattern is read. Any SciPy sparse format or dense
    array-like is accepted (non-CSC input is converted with a
    ``SparseEfficiencyWarning``).
dense_thresh : float, optional
    Dense-row threshold. Rows or columns of ``A + A.T`` with more than
    ``max(dense_thresh * sqrt(N), 16)`` entries are set aside and placed last;
    a negative threshold sets aside only completely dense ones (N - 1 entries
    off the diagonal); 16 or fewer off-diagonal entries never count as dense. None keeps the library default (10). The value is rounded to
    single precision.
aggressive : bool, optional
    Aggressive absorption (on by default). None keeps the library default.
return_info : bool, optional
    Also return the statistics record. Default False.

Returns
-------
p : (N,) ndarray
    The permutation, of the index type of the validated matrix (int32 or int64).
info : AMDInfo
    Statistics of the ordering, when `return_info` is true and the matrix had
    entries (a matrix without rows or entries gives the bare permutation).

Raises
------
ValueError
    If `A` is not square or cannot be converted.
AMDInvalidMatrixError
    If the library finds the matrix invalid.
AMDMemoryError
    If the library runs out of memory.

See Also
--------
ferrow.camd.camd, ferrow.colamd.symamd, ferrow.colamd.colamd

Examples
--------
>>> import numpy as np
>>> import scipy.sparse as sp
>>> from ferrow.amd import amd
>>> A = sp.csc_array(np.array([[4., 1., 0., 1.],
...                            [1., 4., 1., 0.],
...                            [0., 1., 4., 1.],
...                            [1., 0., 1., 4.]]))
>>> p, info = amd(A, return_info=True)
>>> sorted(p.tolist())
[0, 1, 2, 3]
>>> info.status, info.N, info.nz
(0, 4, 12)
)";

const char *amd_order_doc = R"(Call the library's AMD ordering on raw arrays.

Parameters
----------
N : int
    Order of the matrix.
Ap : (N+1,) ndarray of int32 or int64
    Column pointers; their element type selects ``amd_order`` or ``amd_l_order``.
Ai : (nnz,) ndarray
    Row indices, of the same type as `Ap`, at least ``Ap[N]`` of them.
p : (N,) ndarray
    Receives the permutation; same type as `Ap`.
ctrl : (5,) ndarray of float64
    The library's control array.
info : (20,) ndarray of float64
    Receives the library's statistics.
)";

const char *module_doc = R"(Approximate Minimum Degree (AMD) ordering (:mod:`ferrow.amd`)

Interface
---------
amd                  -- fill-reducing ordering of a square matrix
amd_default_control  -- the library's default controls

Exceptions
----------
AMDError              -- Base class for AMD-related errors.
AMDInvalidMatrixError -- Raised when the input matrix is invalid for AMD.
AMDMemoryError        -- Raised when AMD runs out of memory.
AMDInfo               -- Dataclass holding the statistics of an ordering.
)";

}  // namespace

FERROW_MODULE(amd, m) {
    m.doc() = module_doc;
    nb::module_ np = nb::module_::import_("numpy");
    m.attr("np") = np;
    np_array.set(np.attr("array"));
    np_arange.set(np.attr("arange"));
    np_empty.set(np.attr("empty"));
    np_zeros.set(np.attr("zeros"));
    np_float64.set(np.attr("float64"));
    import_into(m, "dataclasses", "dataclass");
    validate_csc_input.set(import_into(m, "ferrow.utils", "validate_csc_input"));

    static const char *all[] = {"AMDError", "AMDInvalidMatrixError", "AMDMemoryError",
                                "AMDInfo",  "amd",                   "amd_default_control"};
    m.attr("__all__") = make_list(all, 6);

    AMDError.set(add_exception(m, "AMDError", "Base class for AMD-related errors.",
                               {PyExc_Exception}));
    AMDInvalidMatrixError.set(add_exception(m, "AMDInvalidMatrixError",
                                            "Raised when the input matrix is invalid for AMD.",
                                            {AMDError.get()}));
    AMDMemoryError.set(add_exception(m, "AMDMemoryError", "Raised when AMD runs out of memory.",
                                     {AMDError.get()}));
    AMDInfo.set(add_record(m, info_spec));

    // .none(): None reaches the function's own checks (and their messages) like any value.
    m.def("amd", &amd_entry, nb::arg("A").none(), nb::arg("dense_thresh").none() = nb::none(),
          nb::arg("aggressive").none() = nb::none(), nb::arg("return_info").none() = false,
          amd_doc);
    m.def("_amd_order", &amd_order_entry, nb::arg("N").none(), nb::arg("Ap").none(),
          nb::arg("Ai").none(), nb::arg("p").none(), nb::arg("ctrl").none(), nb::arg("info").none(),
          amd_order_doc);
    m.def("amd_default_control", &amd_default_control,
          "Return the library's default controls as a dict with the keys 'dense_thresh' "
          "(float) and 'aggressive' (bool).");
}
