// ferrow.camd: constrained approximate minimum degree ordering (SuiteSparse CAMD).
#include <nanobind/nanobind.h>

#include <camd.h>

#include <cstdint>
#include <limits>

#include "native/buffers.hpp"
#include "native/module.hpp"
#include "native/pyobj.hpp"
#include "native/records.hpp"
#include "native/trivial.hpp"

namespace nb = nanobind;
using namespace ferrow;

namespace {

Held np_array, np_arange, np_empty, np_zeros, np_ascontiguousarray, np_float64;
Held validate_csc_input, CAMDError, CAMDInvalidMatrixError, CAMDMemoryError, CAMDInfo;

const RecordField info_fields[] = {
    {"status", false, CAMD_STATUS},      {"N", false, CAMD_N},
    {"nz", false, CAMD_NZ},              {"symmetry", true, CAMD_SYMMETRY},
    {"nzdiag", false, CAMD_NZDIAG},      {"nz_A_plus_AT", false, CAMD_NZ_A_PLUS_AT},
    {"Ndense", false, CAMD_NDENSE},      {"memory", true, CAMD_MEMORY},
    {"Ncmpa", false, CAMD_NCMPA},        {"Lnz", false, CAMD_LNZ},
    {"Ndiv", false, CAMD_NDIV},          {"Nmultsubs_LDL", false, CAMD_NMULTSUBS_LDL},
    {"Nmultsubs_LU", false, CAMD_NMULTSUBS_LU}, {"dmax", false, CAMD_DMAX},
};

const char *info_doc = R"(Statistics of a CAMD ordering, read from the library's Info array.

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

const RecordSpec info_spec = {"CAMDInfo", info_doc, info_fields,
                              sizeof(info_fields) / sizeof(info_fields[0]), "np.ndarray"};

template <class I> struct CamdTraits;
template <> struct CamdTraits<int32_t> {
    static int order(int32_t n, const int32_t *Ap, const int32_t *Ai, int32_t *P, double *ctrl,
                     double *info, const int32_t *C) {
        return camd_order(n, Ap, Ai, P, ctrl, info, C);
    }
};
template <> struct CamdTraits<int64_t> {
    static int order(int64_t n, const int64_t *Ap, const int64_t *Ai, int64_t *P, double *ctrl,
                     double *info, const int64_t *C) {
        return camd_l_order(n, Ap, Ai, P, ctrl, info, C);
    }
};

// Translates the library's status; the one place this module reads it.
void handle_status(int status, const double *info) {
    if (status == CAMD_OUT_OF_MEMORY)
        raise_object(CAMDMemoryError.get(), "camd: out of memory");
    if (status == CAMD_INVALID) {
        nb::list values;
        for (int k = 0; k < CAMD_INFO; ++k)
            values.append(nb::float_(info[k]));
        nb::object dump = CAMDInfo.get().attr("from_array")(values);
        std::string text = "camd: input matrix A is invalid:\n";
        text += nb::repr(dump).c_str();
        raise_object(CAMDInvalidMatrixError.get(), text);
    }
    // CAMD_OK and CAMD_OK_BUT_JUMBLED are both success.
}

void require_constraint_length(const Buffer &C, bool given, int64_t N) {
    if (given && C.size() != N)
        raise(PyExc_ValueError, "Constraints must have the same length as the matrix size.");
}

// The library indexes its workspace with the constraint values unchecked.
template <class I> const I *checked_constraints(const Buffer &C, bool given, int64_t N) {
    if (!given)
        return nullptr;
    const I *c = C.data<I>();
    for (int64_t k = 0; k < N; ++k)
        if (c[k] < 0 || (int64_t)c[k] >= N)
            raise(CAMDInvalidMatrixError.ptr(),
                  "camd: constraint %lld at position %lld is outside 0..N-1 (N = %lld)",
                  (long long)c[k], (long long)k, (long long)N);
    return c;
}

template <class I>
void order(int64_t N, nb::handle Ap_obj, nb::handle Ai_obj, nb::handle p_obj, nb::handle ctrl_obj,
           nb::handle info_obj, nb::handle C_obj) {
    constexpr Elem E = elem_of<I>();
    Buffer Ap, Ai, p, ctrl, info, C;
    Ap.acquire(Ap_obj, "Ap", false, E);
    Ai.acquire(Ai_obj, "Ai", false, E);
    p.acquire(p_obj, "p", true, E);
    ctrl.acquire(ctrl_obj, "ctrl", false, Elem::f64);
    info.acquire(info_obj, "info", true, Elem::f64);
    if (!C_obj.is_none())
        C.acquire(C_obj, "constraints", false, E);

    if (N < 0)
        raise(PyExc_ValueError, "N must be non-negative, got %lld", (long long)N);
    if (N > (int64_t)std::numeric_limits<I>::max())
        raise(PyExc_ValueError, "N = %lld is too large for %s indices", (long long)N,
              elem_name(E));
    Ap.require_length(plus_one(N, "N"), "N + 1 column pointers");
    p.require_length(N, "one per column");
    ctrl.require_length(CAMD_CONTROL, "the library's control length");
    info.require_length(CAMD_INFO, "the library's information length");
    require_constraint_length(C, !C_obj.is_none(), N);

    // The library reads Ai[Ap[j] .. Ap[j+1]-1] column by column before it notices
    // decreasing pointers, so the pointers are checked here; row indices it checks itself.
    const I *ap = Ap.data<I>();
    if (ap[0] != 0)
        raise(CAMDInvalidMatrixError.ptr(), "camd: input matrix A is invalid: Ap[0] is %lld, not 0",
              (long long)ap[0]);
    for (int64_t j = 0; j < N; ++j)
        if (ap[j + 1] < ap[j])
            raise(CAMDInvalidMatrixError.ptr(),
                  "camd: input matrix A is invalid: column pointers decrease at column %lld",
                  (long long)j);
    if ((int64_t)ap[N] > Ai.size())
        raise(PyExc_ValueError, "Ai is too short: Ap[N] is %lld but Ai has %zd entries",
              (long long)ap[N], Ai.size());
    const I *c = checked_constraints<I>(C, !C_obj.is_none(), N);

    double *info_p = info.data<double>();
    int status = CamdTraits<I>::order((I)N, ap, Ai.data<I>(), p.data<I>(), ctrl.data<double>(),
                                      info_p, c);
    handle_status(status, info_p);
}

void camd_order_entry(nb::handle N_obj, nb::handle Ap, nb::handle Ai, nb::handle p,
                      nb::handle ctrl, nb::handle info, nb::handle constraints) {
    Elem variant = index_variant(Ap);
    int64_t N = to_index(N_obj, "N");
    if (variant == Elem::i32)
        order<int32_t>(N, Ap, Ai, p, ctrl, info, constraints);
    else
        order<int64_t>(N, Ap, Ai, p, ctrl, info, constraints);
}

// A matrix without entries (or without rows and columns): the order by constraint set,
// and the statistics the library reports for it, computed here.
template <class I> void trivial(int64_t N, nb::handle p_obj, nb::handle C_obj, nb::handle info_obj) {
    constexpr Elem E = elem_of<I>();
    Buffer p, C, info;
    p.acquire(p_obj, "p", true, E);
    info.acquire(info_obj, "info", true, Elem::f64);
    const bool given = !C_obj.is_none();
    if (given)
        C.acquire(C_obj, "constraints", false, E);
    p.require_exact_length(N, "one per column");
    info.require_length(CAMD_INFO, "the library's information length");
    require_constraint_length(C, given, N);
    order_by_constraints<I>(checked_constraints<I>(C, given, N), N, p.data<I>());
    // What camd_order reports for N nodes and no entries: no off-diagonal entries (so a
    // symmetric pattern), a factor L without off-diagonal entries, and the memory of its
    // workspaces (two of N entries, eight of N + 1), none when N is 0.
    double *in = info.data<double>();
    in[CAMD_STATUS] = CAMD_OK;
    in[CAMD_N] = (double)N;
    in[CAMD_SYMMETRY] = 1.0;
    in[CAMD_MEMORY] = N == 0 ? 0.0 : (double)(10 * N + 8) * (double)sizeof(I);
    in[CAMD_DMAX] = N == 0 ? 0.0 : 1.0;
    // nz, nzdiag, nz_A_plus_AT, Ndense, Ncmpa, Lnz, Ndiv and the flop counts stay 0.
}

nb::object camd_entry(nb::handle A_in, nb::handle constraints, nb::handle dense_thresh,
                      nb::handle aggressive, Flag return_info) {
    nb::dict kw;
    kw["require_square"] = true;
    nb::tuple validated = nb::borrow<nb::tuple>(validate_csc_input.get()(A_in, **kw));
    nb::object A = validated[0];
    nb::object itype = validated[2];
    int64_t N = to_index(A.attr("shape")[0], "N");
    if (N == 0 || to_index(A.attr("nnz"), "nnz") == 0) {
        nb::object p = np_empty(N, nb::arg("dtype") = itype);
        nb::object info = np_zeros(CAMD_INFO, nb::arg("dtype") = np_float64.get());
        nb::object C = nb::none();
        if (!constraints.is_none())
            C = convert_integer_vector(np_ascontiguousarray, constraints, itype,
                                       "Constraints must be an array of integers.");
        if (index_variant(p) == Elem::i32)
            trivial<int32_t>(N, p, C, info);
        else
            trivial<int64_t>(N, p, C, info);
        if (return_info.value())
            return nb::make_tuple(p, CAMDInfo.get().attr("from_array")(info));
        return p;
    }

    nb::object ctrl = np_empty(CAMD_CONTROL, nb::arg("dtype") = np_float64.get());
    Buffer ctrl_buf;
    ctrl_buf.acquire(ctrl, "ctrl", true, Elem::f64);
    double *c = ctrl_buf.data<double>();
    camd_defaults(c);
    if (!dense_thresh.is_none())
        c[CAMD_DENSE] = (double)(float)to_double(dense_thresh);
    if (!aggressive.is_none())
        c[CAMD_AGGRESSIVE] = truth(aggressive) ? 1.0 : 0.0;

    nb::object info = np_zeros(CAMD_INFO, nb::arg("dtype") = np_float64.get());
    nb::object p = np_empty(N, nb::arg("dtype") = itype);
    nb::object C = nb::none();
    if (!constraints.is_none())
        C = convert_integer_vector(np_ascontiguousarray, constraints, itype,
                                   "Constraints must be an array of integers.");
    camd_order_entry(nb::int_(N), A.attr("indptr"), A.attr("indices"), p, ctrl, info, C);
    if (return_info.value())
        return nb::make_tuple(p, CAMDInfo.get().attr("from_array")(info));
    return p;
}

nb::dict camd_default_control() {
    double ctrl[CAMD_CONTROL];
    camd_defaults(ctrl);
    nb::dict d;
    d["dense_thresh"] = nb::float_(ctrl[CAMD_DENSE]);
    d["aggressive"] = nb::bool_(ctrl[CAMD_AGGRESSIVE] != 0.0);
    return d;
}

const char *camd_doc = R"(Constrained approximate minimum degree ordering of a square sparse matrix.

Computes a fill-reducing symmetric permutation `p` such that the Cholesky factor
of ``A[p][:, p]`` has fewer nonzeros than that of `A`. For an unsymmetric `A` the
pattern of ``A + A.T`` is ordered. An optional constraint vector assigns each node
a group number: all nodes of group 0 come first in `p`, then group 1, and so on.

Parameters
----------
A : (N, N) array_like or sparse matrix
    Square matrix; only its pattern is read. Any SciPy sparse format or dense
    array-like is accepted (non-CSC input is converted with a
    ``SparseEfficiencyWarning``).
constraints : (N,) array_like of int, optional
    Group number of every node, each in ``0 .. N-1``. None (default) puts every
    node in the same group.
dense_thresh : float, optional
    Dense-row threshold. Rows or columns of ``A + A.T`` with more than
    ``max(dense_thresh * sqrt(N), 16)`` entries are set aside and placed last;
    a negative threshold sets none aside; 16 or fewer off-diagonal entries never
    count as dense. None keeps the library default (10). The value is rounded to
    single precision.
aggressive : bool, optional
    Aggressive absorption (on by default). None keeps the library default.
return_info : bool, optional
    Also return the statistics record. Default False.

Returns
-------
p : (N,) ndarray
    The permutation, of the index type of the validated matrix (int32 or int64).
info : CAMDInfo
    Statistics of the ordering, when `return_info` is true. A matrix without
    entries is answered without the library: its nodes in the order of their
    constraint sets (natural order within a set) and the statistics the library
    reports for such a matrix.

Raises
------
ValueError
    If `A` is not square or cannot be converted, or `constraints` has the
    wrong length.
TypeError
    If `constraints` is not an array of integers.
CAMDInvalidMatrixError
    If the library finds the matrix or the constraints invalid.
CAMDMemoryError
    If the library runs out of memory.

See Also
--------
ferrow.amd.amd, ferrow.colamd.colamd, ferrow.ccolamd.ccolamd

Examples
--------
>>> import numpy as np
>>> import scipy.sparse as sp
>>> from ferrow.camd import camd
>>> A = sp.csc_array(np.array([[4., 1., 0., 1.],
...                            [1., 4., 1., 0.],
...                            [0., 1., 4., 1.],
...                            [1., 0., 1., 4.]]))
>>> p, info = camd(A, return_info=True)
>>> sorted(p.tolist())
[0, 1, 2, 3]
>>> info.status, info.N, info.nz
(0, 4, 12)
>>> sorted(camd(A, constraints=[1, 1, 0, 0]).tolist()[:2])  # group 0 first
[2, 3]
)";

const char *camd_order_doc = R"(Call the library's CAMD ordering on raw arrays.

Parameters
----------
N : int
    Order of the matrix.
Ap : (N+1,) ndarray of int32 or int64
    Column pointers; their element type selects ``camd_order`` or ``camd_l_order``.
Ai : (nnz,) ndarray
    Row indices, of the same type as `Ap`, at least ``Ap[N]`` of them.
p : (N,) ndarray
    Receives the permutation; same type as `Ap`.
ctrl : (5,) ndarray of float64
    The library's control array.
info : (20,) ndarray of float64
    Receives the library's statistics.
constraints : (N,) ndarray, optional
    Group number of every node, each in ``0 .. N-1``; same type as `Ap`.
)";

const char *module_doc = R"(Constrained Approximate Minimum Degree (CAMD) ordering (:mod:`ferrow.camd`)

Interface
---------
camd                  -- fill-reducing ordering of a square matrix, with constraints
camd_default_control  -- the library's default controls

Exceptions
----------
CAMDError              -- Base class for CAMD-related errors.
CAMDInvalidMatrixError -- Raised when the input matrix is invalid for CAMD.
CAMDMemoryError        -- Raised when CAMD runs out of memory.
CAMDInfo               -- Dataclass holding the statistics of an ordering.
)";

}  // namespace

FERROW_MODULE(camd, m) {
    m.doc() = module_doc;
    nb::module_ np = nb::module_::import_("numpy");
    m.attr("np") = np;
    np_array.set(np.attr("array"));
    np_arange.set(np.attr("arange"));
    np_empty.set(np.attr("empty"));
    np_zeros.set(np.attr("zeros"));
    np_ascontiguousarray.set(np.attr("ascontiguousarray"));
    np_float64.set(np.attr("float64"));
    import_into(m, "dataclasses", "dataclass");
    validate_csc_input.set(import_into(m, "ferrow.utils", "validate_csc_input"));

    static const char *all[] = {"CAMDError", "CAMDInvalidMatrixError", "CAMDMemoryError",
                                "CAMDInfo",  "camd",                   "camd_default_control"};
    m.attr("__all__") = make_list(all, 6);

    CAMDError.set(add_exception(m, "CAMDError", "Base class for CAMD-related errors.",
                                {PyExc_Exception}));
    CAMDInvalidMatrixError.set(add_exception(m, "CAMDInvalidMatrixError",
                                             "Raised when the input matrix is invalid for CAMD.",
                                             {CAMDError.get()}));
    CAMDMemoryError.set(add_exception(m, "CAMDMemoryError", "Raised when CAMD runs out of memory.",
                                      {CAMDError.get()}));
    CAMDInfo.set(add_record(m, info_spec));

    // .none(): None reaches the function's own checks (and their messages) like any value.
    m.def("camd", &camd_entry, nb::arg("A").none(), nb::arg("constraints").none() = nb::none(),
          nb::arg("dense_thresh").none() = nb::none(), nb::arg("aggressive").none() = nb::none(),
          nb::arg("return_info").none() = false, camd_doc);
    m.def("_camd_order", &camd_order_entry, nb::arg("N").none(), nb::arg("Ap").none(),
          nb::arg("Ai").none(), nb::arg("p").none(), nb::arg("ctrl").none(), nb::arg("info").none(),
          nb::arg("constraints").none() = nb::none(), camd_order_doc);
    m.def("camd_default_control", &camd_default_control,
          "Return the library's default controls as a dict with the keys 'dense_thresh' "
          "(float) and 'aggressive' (bool).");
}
