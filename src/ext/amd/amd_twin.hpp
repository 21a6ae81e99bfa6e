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

#include "amd/amd_worker.hpp"
#include "common/buffers.hpp"
#include "common/csc_input.hpp"
#include "common/doc_parts.hpp"
#include "common/dispatch.hpp"
#include "common/errors.hpp"
#include "common/ordering_frame.hpp"
#include "common/pyobj.hpp"
#include "common/records.hpp"
#include "common/text_template.hpp"
#include "common/threads.hpp"
#include "common/trivial.hpp"

namespace ferrow::amd_twin {

namespace nb = nanobind;

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
{A_param}{constraints_param}dense_thresh : float, optional
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
//   library, lib, article            "CAMD", "camd", "a" (names, messages, docstrings)
//   module_title, interface_note     "Constrained Approximate", ", with constraints":
//                                    the module docstring's own words
//   doc                              the ordering's own parts of its docstring: title,
//                                    intro, constraints_param, negative_thresh, info,
//                                    raises, see_also, example_tail
//   defaults(double *)               the library's defaults
//   order                            the routine pair, std::make_pair(&camd_order,
//                                    &camd_l_order)
template <class T> struct Twin {
    static constexpr bool constrained = T::constrained;

    // The module's public names, in the order of `__all__`: Error, InvalidMatrixError,
    // MemoryError, Info, the ordering, the defaults function.
    static const char *const *all() {
        static const std::string lib = T::library, name = T::lib;
        static const std::string names[] = {lib + "Error", lib + "InvalidMatrixError",
                                            lib + "MemoryError", lib + "Info", name,
                                            name + "_default_control"};
        static const char *const pointers[] = {names[0].c_str(), names[1].c_str(),
                                               names[2].c_str(), names[3].c_str(),
                                               names[4].c_str(), names[5].c_str()};
        return pointers;
    }
    // The raw wrapper: _amd_order, _camd_order.
    static std::string order_name() { return "_" + std::string(T::lib) + "_order"; }

    static inline OrderingNumpy np;
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

    // The worker over checked arrays (without the interpreter lock when the switch is on),
    // then the status translation.
    template <class I>
    static void run_order(CscPattern<I> A, I *p, double *ctrl, double *info, const I *c) {
        handle_status(run_worker([&] { return order_worker<T>(A, p, ctrl, info, c); }), info);
    }

    // The raw wrapper: every array checked, as the library trusts their lengths.
    template <class I>
    static void order(nb::handle N_obj, nb::handle Ap_obj, nb::handle Ai_obj, nb::handle p_obj,
                      nb::handle ctrl_obj, nb::handle info_obj, nb::handle C_obj) {
        const int64_t N = to_index(N_obj, "N");
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
        // The library writes p and info while it reads the other arrays.
        require_disjoint(p, {&Ap, &Ai, &ctrl, &C});
        require_disjoint(info, {&Ap, &Ai, &ctrl, &C, &p});

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
        run_order<I>(CscPattern<I>{N, N, ap, Ai.data<I>()}, p.data<I>(), ctrl.data<double>(),
                     info.data<double>(), c);
    }

    static void order_entry(nb::handle N_obj, nb::handle Ap, nb::handle Ai, nb::handle p,
                            nb::handle ctrl, nb::handle info, nb::handle constraints) {
        dispatch_index(index_variant(Ap), [&](auto index) {
            order<decltype(index)>(N_obj, Ap, Ai, p, ctrl, info, constraints);
        });
    }
    static void unconstrained_order_entry(nb::handle N_obj, nb::handle Ap, nb::handle Ai,
                                          nb::handle p, nb::handle ctrl, nb::handle info) {
        order_entry(N_obj, Ap, Ai, p, ctrl, info, Py_None);
    }

    static nb::object convert_constraints(nb::handle constraints, nb::handle itype) {
        if (constraints.is_none())
            return nb::none();
        return convert_integer_vector(np.ascontiguousarray, constraints, itype,
                                      "Constraints must be an array of integers.");
    }

    // The ordering: validate A, answer trivial shapes, fill the controls, run the worker,
    // translate its status, return p (and the statistics).
    static nb::object ordering(nb::handle A_in, nb::handle constraints, nb::handle dense_thresh,
                               nb::handle aggressive, Flag return_info) {
        CscInput in;
        validate_csc(A_in, true, in, false);
        const int64_t N = in.ncol;
        nb::handle itype = np.index_dtype(in.index());
        // No rows and columns, or (with constraints) no entries: answered here, with the
        // statistics the library reports for such a matrix. AMD orders a matrix without
        // entries itself.
        const bool trivial = N == 0 || (constrained && in.nnz() == 0);

        double ctrl[CONTROL];
        if (!trivial) {
            T::defaults(ctrl);
            if (!dense_thresh.is_none())
                ctrl[DENSE] = (double)(float)to_double(dense_thresh);
            if (!aggressive.is_none())
                ctrl[AGGRESSIVE] = truth(aggressive) ? 1.0 : 0.0;
        }

        nb::object p_obj = np.empty(N, nb::arg("dtype") = itype);
        nb::object info_obj = np.zeros(INFO, nb::arg("dtype") = np.float64.get());
        nb::object C_obj = convert_constraints(constraints, itype);
        const bool given = !C_obj.is_none();
        Buffer p, info, C;
        p.acquire(p_obj, "p", true, in.index());
        info.acquire(info_obj, "info", true, Elem::f64);
        if (given)
            C.acquire(C_obj, "constraints", false, in.index());
        require_constraint_length(C.size(), given, N);

        dispatch_index(in.index(), [&](auto index) {
            using I = decltype(index);
            const I *c = checked_constraints<I>(C, given, N);
            if (trivial)
                trivial_worker<I>(N, c, p.data<I>(), info.data<double>());
            else
                run_order<I>(in.pattern<I>(), p.data<I>(), ctrl, info.data<double>(), c);
        });
        if (return_info.value())
            return nb::make_tuple(p_obj, Info.get().attr("from_array")(info_obj));
        return p_obj;
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
        const std::string lib = T::lib, defaults = all()[5];
        auto line = [](const std::string &name, size_t width, const std::string &summary) {
            return name + std::string(width - name.size(), ' ') + "-- " + summary + "\n";
        };
        std::string text = std::string(T::module_title) + " Minimum Degree (" + T::library +
                           ") ordering (:mod:`ferrow." + lib + "`)\n\nInterface\n---------\n";
        text += line(lib, defaults.size() + 2,
                     std::string("fill-reducing ordering of a square matrix") + T::interface_note);
        text += line(defaults, defaults.size() + 2, "the library's default controls");
        text += "\nExceptions\n----------\n";
        const size_t width = std::string(all()[1]).size() + 1;
        for (int k = 0; k < 3; ++k)
            text += line(all()[k], width, exception_doc(k));
        text += line(all()[3], width, "Dataclass holding the statistics of an ordering.");
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
        init_ordering_module(m, doc_of_module.c_str(), np, validate_csc_input, all(), 6);

        static const std::string error_doc = exception_doc(0), invalid_doc = exception_doc(1),
                                 memory_doc = exception_doc(2);
        Error.set(add_exception(m, all()[0], error_doc.c_str(), {PyExc_Exception}));
        InvalidMatrixError.set(add_exception(m, all()[1], invalid_doc.c_str(), {Error.get()}));
        MemoryError.set(add_exception(m, all()[2], memory_doc.c_str(), {Error.get()}));

        static const std::string record_doc = info_doc(T::article, T::library);
        static const RecordSpec record = {all()[3], record_doc.c_str(), info_fields,
                                          sizeof(info_fields) / sizeof(info_fields[0]),
                                          "np.ndarray"};
        Info.set(add_record(m, record));

        static const std::string raw_doc = order_doc(T::library, T::lib, constrained);
        static const std::string doc = fill_template(
            ordering_doc_template,
            {{"title", T::doc.title}, {"intro", T::doc.intro},
             {"A_param", doc_parts::square_pattern_A},
             {"constraints_param", T::doc.constraints_param},
             {"negative_thresh", T::doc.negative_thresh}, {"Info", all()[3]},
             {"info", T::doc.info}, {"raises", T::doc.raises}, {"Memory", all()[2]},
             {"see_also", T::doc.see_also}, {"lib", T::lib},
             {"example_tail", T::doc.example_tail}});
        // The signature users' tools show (help(), inspect.signature), as in the stub.
        static const std::string sig =
            std::string("def ") + all()[4] + "(A: Any, " +
            (constrained ? "constraints: ArrayLike | None = None, " : "") +
            "dense_thresh: float | None = None, aggressive: bool | None = None, "
            "return_info: bool = False) -> NDArray[np.integer] | tuple[NDArray[np.integer], " +
            all()[3] + "]";
        static const std::string defaults_sig =
            std::string("def ") + all()[5] + "() -> dict[str, float | bool]";
        // .none(): None reaches the function's own checks (and their messages) like any value.
        if constexpr (constrained) {
            m.def(all()[4], &ordering, nb::sig(sig.c_str()), nb::arg("A").none(),
                  nb::arg("constraints").none() = nb::none(),
                  nb::arg("dense_thresh").none() = nb::none(),
                  nb::arg("aggressive").none() = nb::none(),
                  nb::arg("return_info").none() = false, doc.c_str());
            m.def(order_name().c_str(), &order_entry, nb::arg("N").none(), nb::arg("Ap").none(),
                  nb::arg("Ai").none(), nb::arg("p").none(), nb::arg("ctrl").none(),
                  nb::arg("info").none(), nb::arg("constraints").none() = nb::none(),
                  raw_doc.c_str());
        } else {
            m.def(all()[4], &unconstrained_ordering, nb::sig(sig.c_str()), nb::arg("A").none(),
                  nb::arg("dense_thresh").none() = nb::none(),
                  nb::arg("aggressive").none() = nb::none(),
                  nb::arg("return_info").none() = false, doc.c_str());
            m.def(order_name().c_str(), &unconstrained_order_entry, nb::arg("N").none(),
                  nb::arg("Ap").none(), nb::arg("Ai").none(), nb::arg("p").none(),
                  nb::arg("ctrl").none(), nb::arg("info").none(), raw_doc.c_str());
        }
        m.def(all()[5], &default_control, nb::sig(defaults_sig.c_str()),
              "Return the library's default controls as a dict with the keys 'dense_thresh' "
              "(float) and 'aggressive' (bool).");
    }
};

}  // namespace ferrow::amd_twin
