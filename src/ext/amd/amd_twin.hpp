// The symmetric orderings AMD and its constrained twin CAMD.
//
// ferrow.amd and ferrow.camd are one module written twice by the libraries: the same frame
// (exceptions, statistics record, status translation, default controls), the same road
// (validate, answer matrices without entries, fill the controls, call the int32 or int64
// routine, translate the status, return p) and the same checks of the raw arrays.
// `Twin<Traits>` is that module; a traits struct says what differs:
//
//   names and texts      library name, exception/record/function names, docstrings
//   library routines     defaults, and per index type the ordering routine
//   constraints          whether the ordering takes a constraint vector; a matrix without
//                        entries is then answered here with the statistics the library
//                        reports for it (without constraints the library orders it)
//
// The control and information slots and the status codes are the same in both libraries;
// each module checks them against its library's macros (`FERROW_AMD_TWIN_CHECK`).
// Each module instantiates the template once in its own extension, so each keeps its own
// exception classes, record and module-level objects.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <limits>
#include <initializer_list>
#include <string>
#include <utility>

#include "common/buffers.hpp"
#include "common/errors.hpp"
#include "common/pyobj.hpp"
#include "common/records.hpp"
#include "common/trivial.hpp"

namespace ferrow::amd_twin {

namespace nb = nanobind;

// Slots of the control and information arrays, and the statuses, of both libraries
// (plain ints: they also reach Python calls, where an enum would need a bound type).
inline constexpr int CONTROL = 5, DENSE = 0, AGGRESSIVE = 1;
inline constexpr int INFO = 20, STATUS = 0, N_ = 1, NZ = 2, SYMMETRY = 3, NZDIAG = 4,
                     NZ_A_PLUS_AT = 5, NDENSE = 6, MEMORY = 7, NCMPA = 8, LNZ = 9, NDIV = 10,
                     NMULTSUBS_LDL = 11, NMULTSUBS_LU = 12, DMAX = 13;
inline constexpr int OK = 0, OUT_OF_MEMORY = -1, INVALID = -2, OK_BUT_JUMBLED = 1;

// Compares the slots above with a library's own macros, in the module that includes its
// header: FERROW_AMD_TWIN_CHECK(CAMD) or FERROW_AMD_TWIN_CHECK(AMD).
#define FERROW_AMD_TWIN_SAME(LIB, slot) \
    static_assert(ferrow::amd_twin::slot == LIB##_##slot, #LIB "_" #slot " differs")
#define FERROW_AMD_TWIN_CHECK(LIB)                                                         \
    FERROW_AMD_TWIN_SAME(LIB, CONTROL); FERROW_AMD_TWIN_SAME(LIB, DENSE);                    \
    FERROW_AMD_TWIN_SAME(LIB, AGGRESSIVE); FERROW_AMD_TWIN_SAME(LIB, INFO);                  \
    FERROW_AMD_TWIN_SAME(LIB, STATUS); FERROW_AMD_TWIN_SAME(LIB, NZ);                        \
    FERROW_AMD_TWIN_SAME(LIB, SYMMETRY); FERROW_AMD_TWIN_SAME(LIB, NZDIAG);                  \
    FERROW_AMD_TWIN_SAME(LIB, NZ_A_PLUS_AT); FERROW_AMD_TWIN_SAME(LIB, NDENSE);              \
    FERROW_AMD_TWIN_SAME(LIB, MEMORY); FERROW_AMD_TWIN_SAME(LIB, NCMPA);                     \
    FERROW_AMD_TWIN_SAME(LIB, LNZ); FERROW_AMD_TWIN_SAME(LIB, NDIV);                         \
    FERROW_AMD_TWIN_SAME(LIB, NMULTSUBS_LDL); FERROW_AMD_TWIN_SAME(LIB, NMULTSUBS_LU);       \
    FERROW_AMD_TWIN_SAME(LIB, DMAX); FERROW_AMD_TWIN_SAME(LIB, OK);                          \
    FERROW_AMD_TWIN_SAME(LIB, OUT_OF_MEMORY); FERROW_AMD_TWIN_SAME(LIB, INVALID);            \
    FERROW_AMD_TWIN_SAME(LIB, OK_BUT_JUMBLED);                                               \
    static_assert(ferrow::amd_twin::N_ == LIB##_N, #LIB "_N differs")

// The record's docstring, with the library's name and its article.
inline std::string info_doc(const char *article, const char *library) {
    return std::string("Statistics of ") + article + " " + library +
           R"( ordering, read from the library's Info array.

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
}

// The raw wrapper's docstring; `lib` is the lower-case routine prefix.
inline std::string order_doc(const char *library, const char *lib, bool constrained) {
    std::string text = std::string("Call the library's ") + library +
                       R"( ordering on raw arrays.

Parameters
----------
N : int
    Order of the matrix.
Ap : (N+1,) ndarray of int32 or int64
    Column pointers; their element type selects ``)" +
                       lib + "_order`` or ``" + lib + R"(_l_order``.
Ai : (nnz,) ndarray
    Row indices, of the same type as `Ap`, at least ``Ap[N]`` of them.
p : (N,) ndarray
    Receives the permutation; same type as `Ap`.
ctrl : (5,) ndarray of float64
    The library's control array.
info : (20,) ndarray of float64
    Receives the library's statistics.
)";
    if (constrained)
        text += R"(constraints : (N,) ndarray, optional
    Group number of every node, each in ``0 .. N-1``; same type as `Ap`.
)";
    return text;
}

// The ordering's docstring; the traits give the parts in braces, the rest is shared.
inline constexpr const char *ordering_doc_template = R"({title} minimum degree ordering of a square sparse matrix.

Computes a fill-reducing symmetric permutation `p` such that the Cholesky factor
of ``A[p][:, p]`` has fewer nonzeros than that of `A`. For an unsymmetric `A` the
pattern of ``A + A.T`` is ordered. {intro}

Parameters
----------
A : (N, N) array_like or sparse matrix
    Square matrix; only its pattern is read. Any SciPy sparse format or dense
    array-like is accepted (non-CSC input is converted with a
    ``SparseEfficiencyWarning``).
{constraints_param}dense_thresh : float, optional
    Dense-row threshold. Rows or columns of ``A + A.T`` with more than
    ``max(dense_thresh * sqrt(N), 16)`` entries are set aside and placed last;
    {negative_thresh} None keeps the library default (10). The value is rounded to
    single precision.
aggressive : bool, optional
    Aggressive absorption (on by default). None keeps the library default.
return_info : bool, optional
    Also return the statistics record. Default False.

Returns
-------
p : (N,) ndarray
    The permutation, of the index type of the validated matrix (int32 or int64).
info : {Info}
    {info}

Raises
------
{raises}{Memory}
    If the library runs out of memory.

See Also
--------
{see_also}

Examples
--------
>>> import numpy as np
>>> import scipy.sparse as sp
>>> from ferrow.{lib} import {lib}
>>> A = sp.csc_array(np.array([[4., 1., 0., 1.],
...                            [1., 4., 1., 0.],
...                            [0., 1., 4., 1.],
...                            [1., 0., 1., 4.]]))
>>> p, info = {lib}(A, return_info=True)
>>> sorted(p.tolist())
[0, 1, 2, 3]
>>> info.status, info.N, info.nz
(0, 4, 12)
{example_tail})";

// The parts of the ordering's docstring that differ between the twins.
struct OrderingDoc {
    const char *title, *intro, *constraints_param, *negative_thresh, *info, *raises, *see_also,
        *example_tail;
};

// `text` with every "{key}" replaced by its value.
inline std::string fill_template(std::string text,
                                 std::initializer_list<std::pair<const char *, std::string>> values) {
    for (const auto &[key, value] : values) {
        const std::string field = std::string("{") + key + "}";
        for (size_t at = text.find(field); at != std::string::npos;
             at = text.find(field, at + value.size()))
            text.replace(at, field.size(), value);
    }
    return text;
}

inline constexpr RecordField info_fields[] = {
    {"status", false, STATUS},      {"N", false, N_},
    {"nz", false, NZ},              {"symmetry", true, SYMMETRY},
    {"nzdiag", false, NZDIAG},      {"nz_A_plus_AT", false, NZ_A_PLUS_AT},
    {"Ndense", false, NDENSE},      {"memory", true, MEMORY},
    {"Ncmpa", false, NCMPA},        {"Lnz", false, LNZ},
    {"Ndiv", false, NDIV},          {"Nmultsubs_LDL", false, NMULTSUBS_LDL},
    {"Nmultsubs_LU", false, NMULTSUBS_LU}, {"dmax", false, DMAX},
};

// T provides:
//   constrained                      whether the ordering takes constraints
//   library, lib, article            "CAMD", "camd", "a" (messages, docstrings)
//   all[6]                           Error, InvalidMatrixError, MemoryError, Info, the
//                                    ordering, the defaults function (also `__all__`)
//   order_name                       the raw wrapper, "_camd_order"
//   module_title, interface_note     "Constrained Approximate", ", with constraints":
//                                    the module docstring's own words
//   doc                              the ordering's own parts of its docstring: title,
//                                    intro, constraints_param, negative_thresh, info,
//                                    raises, see_also, example_tail
//   defaults(double *)               the library's defaults
//   order(n, Ap, Ai, P, ctrl, info, C) for int32_t and int64_t (C is null without
//                                    constraints)
template <class T> struct Twin {
    static constexpr bool constrained = T::constrained;

    static inline Held np_array, np_arange, np_empty, np_zeros, np_ascontiguousarray, np_float64;
    static inline Held validate_csc_input, Error, InvalidMatrixError, MemoryError, Info;

    // Translates the library's status; the one place this module reads it.
    static void handle_status(int status, const double *info) {
        if (status == OUT_OF_MEMORY)
            raise_object(MemoryError.get(), std::string(T::lib) + ": out of memory");
        if (status == INVALID) {
            nb::list values;
            for (int k = 0; k < INFO; ++k)
                values.append(nb::float_(info[k]));
            nb::object dump = Info.get().attr("from_array")(values);
            std::string text = std::string(T::lib) + ": input matrix A is invalid:\n";
            text += nb::repr(dump).c_str();
            raise_object(InvalidMatrixError.get(), text);
        }
        // OK and OK_BUT_JUMBLED are both success.
    }

    template <class I> static const I *checked_constraints(const Buffer &C, bool given, int64_t N) {
        static const std::string format =
            std::string(T::lib) + ": constraint %lld at position %lld is outside 0..N-1 (N = %lld)";
        return ferrow::checked_constraints<I>(C, given, N, InvalidMatrixError.ptr(),
                                              format.c_str());
    }

    template <class I>
    static void order(int64_t N, nb::handle Ap_obj, nb::handle Ai_obj, nb::handle p_obj,
                      nb::handle ctrl_obj, nb::handle info_obj, nb::handle C_obj) {
        constexpr Elem E = elem_of<I>();
        const bool given = !C_obj.is_none();
        Buffer Ap, Ai, p, ctrl, info, C;
        Ap.acquire(Ap_obj, "Ap", false, E);
        Ai.acquire(Ai_obj, "Ai", false, E);
        p.acquire(p_obj, "p", true, E);
        ctrl.acquire(ctrl_obj, "ctrl", false, Elem::f64);
        info.acquire(info_obj, "info", true, Elem::f64);
        if (given)
            C.acquire(C_obj, "constraints", false, E);

        if (N < 0)
            raise(PyExc_ValueError, "N must be non-negative, got %lld", (long long)N);
        if (N > (int64_t)std::numeric_limits<I>::max())
            raise(PyExc_ValueError, "N = %lld is too large for %s indices", (long long)N,
                  elem_name(E));
        Ap.require_length(plus_one(N, "N"), "N + 1 column pointers");
        p.require_length(N, "one per column");
        ctrl.require_length(CONTROL, "the library's control length");
        info.require_length(INFO, "the library's information length");
        require_constraint_length(C.size(), given, N);

        // The library reads Ai[Ap[j] .. Ap[j+1]-1] column by column before it notices
        // decreasing pointers, so the pointers are checked here; row indices it checks itself.
        const I *ap = Ap.data<I>();
        if (ap[0] != 0)
            raise(InvalidMatrixError.ptr(), "%s: input matrix A is invalid: Ap[0] is %lld, not 0",
                  T::lib, (long long)ap[0]);
        for (int64_t j = 0; j < N; ++j)
            if (ap[j + 1] < ap[j])
                raise(InvalidMatrixError.ptr(),
                      "%s: input matrix A is invalid: column pointers decrease at column %lld",
                      T::lib, (long long)j);
        if ((int64_t)ap[N] > Ai.size())
            raise(PyExc_ValueError, "Ai is too short: Ap[N] is %lld but Ai has %zd entries",
                  (long long)ap[N], Ai.size());
        const I *c = checked_constraints<I>(C, given, N);

        double *info_p = info.data<double>();
        int status = T::order((I)N, ap, Ai.data<I>(), p.data<I>(), ctrl.data<double>(), info_p, c);
        handle_status(status, info_p);
    }

    static void order_entry(nb::handle N_obj, nb::handle Ap, nb::handle Ai, nb::handle p,
                            nb::handle ctrl, nb::handle info, nb::handle constraints) {
        Elem variant = index_variant(Ap);
        int64_t N = to_index(N_obj, "N");
        if (variant == Elem::i32)
            order<int32_t>(N, Ap, Ai, p, ctrl, info, constraints);
        else
            order<int64_t>(N, Ap, Ai, p, ctrl, info, constraints);
    }
    static void unconstrained_order_entry(nb::handle N_obj, nb::handle Ap, nb::handle Ai,
                                          nb::handle p, nb::handle ctrl, nb::handle info) {
        order_entry(N_obj, Ap, Ai, p, ctrl, info, Py_None);
    }

    // A matrix without entries (or without rows and columns), with constraints: the order
    // by constraint set, and the statistics the library reports for it, computed here.
    template <class I>
    static void trivial(int64_t N, nb::handle p_obj, nb::handle C_obj, nb::handle info_obj) {
        constexpr Elem E = elem_of<I>();
        Buffer p, C, info;
        p.acquire(p_obj, "p", true, E);
        info.acquire(info_obj, "info", true, Elem::f64);
        const bool given = !C_obj.is_none();
        if (given)
            C.acquire(C_obj, "constraints", false, E);
        p.require_exact_length(N, "one per column");
        info.require_length(INFO, "the library's information length");
        require_constraint_length(C.size(), given, N);
        order_by_constraints<I>(checked_constraints<I>(C, given, N), N, p.data<I>());
        // What the ordering reports for N nodes and no entries: no off-diagonal entries (so
        // a symmetric pattern), a factor L without off-diagonal entries, and the memory of
        // its workspaces (two of N entries, eight of N + 1), none when N is 0.
        double *in = info.data<double>();
        in[STATUS] = OK;
        in[N_] = (double)N;
        in[SYMMETRY] = 1.0;
        in[MEMORY] = N == 0 ? 0.0 : (double)(10 * N + 8) * (double)sizeof(I);
        in[DMAX] = N == 0 ? 0.0 : 1.0;
        // nz, nzdiag, nz_A_plus_AT, Ndense, Ncmpa, Lnz, Ndiv and the flop counts stay 0.
    }

    static nb::object convert_constraints(nb::handle constraints, nb::handle itype) {
        if (constraints.is_none())
            return nb::none();
        return convert_integer_vector(np_ascontiguousarray, constraints, itype,
                                      "Constraints must be an array of integers.");
    }

    static nb::object ordering(nb::handle A_in, nb::handle constraints, nb::handle dense_thresh,
                               nb::handle aggressive, Flag return_info) {
        nb::dict kw;
        kw["require_square"] = true;
        nb::tuple validated = nb::borrow<nb::tuple>(validate_csc_input.get()(A_in, **kw));
        nb::object A = validated[0];
        nb::object itype = validated[2];
        int64_t N = to_index(A.attr("shape")[0], "N");
        // No rows and columns, or (with constraints) no entries: answered here, with the
        // statistics the library reports for such a matrix. AMD orders a matrix without
        // entries itself.
        if (N == 0 || (constrained && to_index(A.attr("nnz"), "nnz") == 0)) {
            nb::object p = np_empty(N, nb::arg("dtype") = itype);
            nb::object info = np_zeros(INFO, nb::arg("dtype") = np_float64.get());
            nb::object C = convert_constraints(constraints, itype);
            if (index_variant(p) == Elem::i32)
                trivial<int32_t>(N, p, C, info);
            else
                trivial<int64_t>(N, p, C, info);
            if (return_info.value())
                return nb::make_tuple(p, Info.get().attr("from_array")(info));
            return p;
        }

        nb::object ctrl = np_empty(CONTROL, nb::arg("dtype") = np_float64.get());
        Buffer ctrl_buf;
        ctrl_buf.acquire(ctrl, "ctrl", true, Elem::f64);
        double *c = ctrl_buf.data<double>();
        T::defaults(c);
        if (!dense_thresh.is_none())
            c[DENSE] = (double)(float)to_double(dense_thresh);
        if (!aggressive.is_none())
            c[AGGRESSIVE] = truth(aggressive) ? 1.0 : 0.0;

        nb::object info = np_zeros(INFO, nb::arg("dtype") = np_float64.get());
        nb::object p = np_empty(N, nb::arg("dtype") = itype);
        nb::object C = convert_constraints(constraints, itype);
        order_entry(nb::int_(N), A.attr("indptr"), A.attr("indices"), p, ctrl, info, C);
        if (return_info.value())
            return nb::make_tuple(p, Info.get().attr("from_array")(info));
        return p;
    }
    // return_info as a plain object: the signature the module has always shown.
    static nb::object unconstrained_ordering(nb::handle A_in, nb::handle dense_thresh,
                                             nb::handle aggressive, nb::handle return_info) {
        return ordering(A_in, Py_None, dense_thresh, aggressive, Flag{return_info});
    }

    static nb::dict default_control() {
        double ctrl[CONTROL];
        T::defaults(ctrl);
        nb::dict d;
        d["dense_thresh"] = nb::float_(ctrl[DENSE]);
        d["aggressive"] = nb::bool_(ctrl[AGGRESSIVE] != 0.0);
        return d;
    }

    // The module's docstring: its title, then the names of the interface and of the
    // exceptions, each in a column of its own, with their summaries.
    static std::string module_doc() {
        const std::string lib = T::lib, defaults = T::all[5];
        auto line = [](const std::string &name, size_t width, const std::string &summary) {
            return name + std::string(width - name.size(), ' ') + "-- " + summary + "\n";
        };
        std::string text = std::string(T::module_title) + " Minimum Degree (" + T::library +
                           ") ordering (:mod:`ferrow." + lib + "`)\n\nInterface\n---------\n";
        text += line(lib, defaults.size() + 2,
                     std::string("fill-reducing ordering of a square matrix") + T::interface_note);
        text += line(defaults, defaults.size() + 2, "the library's default controls");
        text += "\nExceptions\n----------\n";
        const size_t width = std::string(T::all[1]).size() + 1;
        for (int k = 0; k < 3; ++k)
            text += line(T::all[k], width, exception_doc(k));
        text += line(T::all[3], width, "Dataclass holding the statistics of an ordering.");
        return text;
    }

    // The docstrings of Error, InvalidMatrixError and MemoryError.
    static std::string exception_doc(int k) {
        const std::string library = T::library;
        if (k == 0)
            return "Base class for " + library + "-related errors.";
        if (k == 1)
            return "Raised when the input matrix is invalid for " + library + ".";
        return "Raised when " + library + " runs out of memory.";
    }

    static void init(nb::module_ &m) {
        static const std::string doc_of_module = module_doc();
        init_module_frame(m, doc_of_module.c_str(),
                          {{&np_array, "array"},
                           {&np_arange, "arange"},
                           {&np_empty, "empty"},
                           {&np_zeros, "zeros"},
                           {&np_ascontiguousarray, "ascontiguousarray"},
                           {&np_float64, "float64"}},
                          true, validate_csc_input, T::all, 6);

        static const std::string error_doc = exception_doc(0), invalid_doc = exception_doc(1),
                                 memory_doc = exception_doc(2);
        Error.set(add_exception(m, T::all[0], error_doc.c_str(), {PyExc_Exception}));
        InvalidMatrixError.set(add_exception(m, T::all[1], invalid_doc.c_str(), {Error.get()}));
        MemoryError.set(add_exception(m, T::all[2], memory_doc.c_str(), {Error.get()}));

        static const std::string record_doc = info_doc(T::article, T::library);
        static const RecordSpec record = {T::all[3], record_doc.c_str(), info_fields,
                                          sizeof(info_fields) / sizeof(info_fields[0]),
                                          "np.ndarray"};
        Info.set(add_record(m, record));

        static const std::string raw_doc = order_doc(T::library, T::lib, constrained);
        static const std::string doc = fill_template(
            ordering_doc_template,
            {{"title", T::doc.title}, {"intro", T::doc.intro},
             {"constraints_param", T::doc.constraints_param},
             {"negative_thresh", T::doc.negative_thresh}, {"Info", T::all[3]},
             {"info", T::doc.info}, {"raises", T::doc.raises}, {"Memory", T::all[2]},
             {"see_also", T::doc.see_also}, {"lib", T::lib},
             {"example_tail", T::doc.example_tail}});
        // The signature users' tools show (help(), inspect.signature), as in the stub.
        static const std::string sig =
            std::string("def ") + T::all[4] + "(A: Any, " +
            (constrained ? "constraints: ArrayLike | None = None, " : "") +
            "dense_thresh: float | None = None, aggressive: bool | None = None, "
            "return_info: bool = False) -> NDArray[np.integer] | tuple[NDArray[np.integer], " +
            T::all[3] + "]";
        static const std::string defaults_sig =
            std::string("def ") + T::all[5] + "() -> dict[str, float | bool]";
        // .none(): None reaches the function's own checks (and their messages) like any value.
        if constexpr (constrained) {
            m.def(T::all[4], &ordering, nb::sig(sig.c_str()), nb::arg("A").none(),
                  nb::arg("constraints").none() = nb::none(),
                  nb::arg("dense_thresh").none() = nb::none(),
                  nb::arg("aggressive").none() = nb::none(),
                  nb::arg("return_info").none() = false, doc.c_str());
            m.def(T::order_name, &order_entry, nb::arg("N").none(), nb::arg("Ap").none(),
                  nb::arg("Ai").none(), nb::arg("p").none(), nb::arg("ctrl").none(),
                  nb::arg("info").none(), nb::arg("constraints").none() = nb::none(),
                  raw_doc.c_str());
        } else {
            m.def(T::all[4], &unconstrained_ordering, nb::sig(sig.c_str()), nb::arg("A").none(),
                  nb::arg("dense_thresh").none() = nb::none(),
                  nb::arg("aggressive").none() = nb::none(),
                  nb::arg("return_info").none() = false, doc.c_str());
            m.def(T::order_name, &unconstrained_order_entry, nb::arg("N").none(),
                  nb::arg("Ap").none(), nb::arg("Ai").none(), nb::arg("p").none(),
                  nb::arg("ctrl").none(), nb::arg("info").none(), raw_doc.c_str());
        }
        m.def(T::all[5], &default_control, nb::sig(defaults_sig.c_str()),
              "Return the library's default controls as a dict with the keys 'dense_thresh' "
              "(float) and 'aggressive' (bool).");
    }
};

}  // namespace ferrow::amd_twin
