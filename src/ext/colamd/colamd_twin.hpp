// The column orderings COLAMD/SYMAMD and their constrained twins CCOLAMD/CSYMAMD.
//
// ferrow.colamd and ferrow.ccolamd are one module written twice by the libraries: the same
// frame (exceptions, statistics record, status translation, default knobs, docstrings
// assembled from a template), the same road (validate, answer trivial shapes, fill the
// knobs, call the int32 or int64 routine, translate the status, return q) and the same
// buffer checks. `Twin<Traits>` is that module; a traits struct says what differs:
//
//   names and texts      library name, exception/record/function names, docstrings
//   library routines     set_defaults, and per index type recommended/column/symmetric
//   knob slots           dense row/column thresholds, aggressive absorption, LU target
//   constraints          whether the orderings take a constraint vector and `opt_lu`
//   statuses             texts for failure statuses the library reports beyond the table
//
// Each module instantiates the template once in its own extension, so each keeps its own
// exception classes, record, status table and module-level objects.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "common/buffers.hpp"
#include "common/errors.hpp"
#include "common/documented_function.hpp"
#include "common/module_def.hpp"
#include "common/pyobj.hpp"
#include "common/records.hpp"
#include "common/trivial.hpp"

namespace ferrow::colamd_twin {

namespace nb = nanobind;

// The library statuses both modules translate; the codes are the same in both libraries
// (each module checks them against its library's macros).
struct StatusMessage {
    int code;
    const char *text;
};
inline constexpr StatusMessage status_messages[] = {
    {0, "ok"},
    {1, "ok but A has unsorted columns or duplicate entries"},
    {-1, "A is a null pointer"},
    {-2, "p is a null pointer"},
    {-3, "nrow is negative"},
    {-4, "ncol is negative"},
    {-5, "nnz is negative"},
    {-6, "p[0] is nonzero"},
    {-7, "A is too small"},
    {-8, "column has a negative number of entries"},
    {-9, "row index out of bounds"},
    {-10, "out of memory"},
    {-999, "internal error"},
};
inline constexpr int status_slot = 3;
inline constexpr int status_out_of_memory = -10;
inline constexpr int status_internal_error = -999;

// The documentation of one ordering: the pieces bound as module attributes (attribute
// name and text) and the literal arguments of the template.
struct Piece {
    const char *attribute;
    const char *text;
};
struct FunctionDoc {
    Piece reftag;
    Piece intro_head;   // attribute: the name of the whole introduction
    const char *intro_tail;
    Piece A_param;
    Piece opt_lu_param;  // constrained modules: attribute nullptr means the literal `text`
    Piece example;
    const char *see_also;
};

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// Text of the record's class documentation, with the library's name and source file.
inline std::string stats_doc(const char *library, const char *source) {
    std::string L = library, S = source;
    return "Statistics of a " + L + " ordering, read from the library's statistics array.\n"
"\n"
"Records are built by the orderings when they are called with ``return_info=True``\n"
"(and by `from_array` from any array of at least seven integers).\n"
"\n"
"Attributes\n"
"----------\n"
"N_rows_ignored : int\n"
"    Number of dense or empty rows ignored by the ordering.\n"
"N_cols_ignored : int\n"
"    Number of dense or empty columns ignored by the ordering.\n"
"Ncmpa : int\n"
"    Number of garbage collections the library performed.\n"
"status : int\n"
"    The library's status code. Non-zero statuses are turned into exceptions\n"
"    before a record is ever built.\n"
"info1, info2, info3 : int\n"
"    Status-dependent details, copied unchanged from the library (``" + S + "``):\n"
"\n"
"    - unsorted or duplicate row indices (status 1): the highest-numbered such\n"
"      column, the last such row index and the number of such entries;\n"
"    - status -3: the number of rows (info1); -4: the number of columns;\n"
"      -5: the number of entries, ``p[n_col]``; -6: the value of ``p[0]``;\n"
"    - status -7: the required work length ``Alen`` (info1) and the length\n"
"      actually given (info2);\n"
"    - status -8: the column with a negative number of entries (info1);\n"
"    - status -9: the column with the bad row index (info1), that row index\n"
"      (info2) and the number of rows (info3).\n"
"\n"
"    After a successful ordering they are typically ``info1=-1, info2=-1, info3=0``.\n";
}

template <class Traits> struct Twin {
    using T = Traits;
    static constexpr bool constrained = T::constrained;

    static inline Held np_array, np_arange, np_zeros, np_asarray, np_float64;
    static inline Held validate_csc_input, Error, ValueError, MemoryError, InternalError, Stats;

    // ---- status translation: the one place the library's status is read -----------------

    static bool assertions_enabled() {
        PyObject *flags = PySys_GetObject("flags");  // borrowed
        check_python(flags != nullptr || !PyErr_Occurred());
        if (flags == nullptr)
            return true;
        nb::object optimize = nb::steal(PyObject_GetAttrString(flags, "optimize"));
        check_python(optimize.is_valid());
        return !truth(optimize);
    }

    static std::string status_text(int64_t status) {
        for (const StatusMessage &s : status_messages)
            if (s.code == status)
                return s.text;
        if (const char *text = T::extra_status_text(status))
            return text;
        return "unknown status " + std::to_string(status);
    }

    // `ok` is the library's return value (non-zero: success), `stats` its statistics.
    template <class I> static void handle_errors(int ok, const I *stats) {
        nb::gil_scoped_acquire gil;
        const std::string lib = T::library;
        const int64_t status = stats[status_slot];
        if (ok) {
            if (status == 0)
                return;
            if (assertions_enabled())
                raise_object(PyExc_AssertionError,
                             lib + " returned OK but status is not " + lib + "_OK.");
            if (status > 0)  // a notice, not a failure
                return;
            // A failure status behind a success return is still a failure.
        }
        if (status == status_out_of_memory)
            raise_object(MemoryError.get(), lib + " ran out of memory.");
        if (status == status_internal_error)
            raise_object(InternalError.get(), lib + " encountered an internal error.");
        raise_object(ValueError.get(), lib + " returned an error:" + status_text(status) + ".");
    }

    // ---- the library wrappers: every buffer checked before the library sees it -----------

    // Refuses a size that the index type of the arrays cannot carry.
    template <class I> static void require_fits(int64_t v, const char *name) {
        if (v > (int64_t)std::numeric_limits<I>::max() ||
            v < (int64_t)std::numeric_limits<I>::min())
            raise(PyExc_ValueError, "%s = %lld does not fit the %s index type of the arrays", name,
                  (long long)v, elem_name(elem_of<I>()));
    }

    // The libraries check monotonicity of the column pointers before they read a column
    // only as they go; with every pointer within Ai they cannot read outside it.
    template <class I> static void check_pointers(const Buffer &Ap, int64_t N, const Buffer &Ai) {
        const I *ap = Ap.data<I>();
        for (int64_t j = 0; j <= N; ++j)
            if ((int64_t)ap[j] > Ai.size())
                raise(PyExc_ValueError, "Ai is too short: Ap[%lld] is %lld but Ai has %zd entries",
                      (long long)j, (long long)ap[j], Ai.size());
    }

    // The library takes a constraint equal to N (and corrupts its workspace), and the
    // symmetric routine reports success after refusing constraints, so they are checked here.
    template <class I> static const I *checked_constraints(const Buffer &C, bool given, int64_t N) {
        return ferrow::checked_constraints<I>(
            C, given, N, ValueError.ptr(),
            "Constraint %lld at position %lld is outside 0..N-1 (N = %lld).");
    }

    template <class I>
    static void column(int64_t M, int64_t N, nb::handle Ap_obj, nb::handle Ai_obj,
                       nb::handle perm_obj, nb::handle knobs_obj, nb::handle stats_obj,
                       nb::handle C_obj) {
        using R = typename T::template Routines<I>;
        constexpr Elem E = elem_of<I>();
        const bool has_C = !C_obj.is_none();
        Buffer Ap, Ai, perm, knobs, stats, C;
        Ap.acquire(Ap_obj, "Ap", false, E);
        Ai.acquire(Ai_obj, "Ai", false, E);
        perm.acquire(perm_obj, "perm", true, E);
        knobs.acquire(knobs_obj, "knobs", false, Elem::f64);
        stats.acquire(stats_obj, "stats", true, E);
        if (has_C)
            C.acquire(C_obj, "constraints", false, E);

        const int64_t nnz = Ai.size();
        require_fits<I>(M, "M");
        require_fits<I>(N, "N");
        require_fits<I>(nnz, "nnz");
        const size_t recommended = R::recommended((I)nnz, (I)M, (I)N);  // 0 if any is negative
        if (recommended == 0)
            raise(PyExc_ValueError, "Recommended Alen is zero: one of {A.nnz, M, N} is erroneous.");
        if (recommended > (size_t)std::numeric_limits<I>::max())
            raise(Error.ptr(), "Recommended Alen (%zu) does not fit the %s index type: "
                  "use int64 index arrays.", recommended, elem_name(E));
        const I Alen = (I)recommended;
        if ((int64_t)Alen < nnz)
            raise(Error.ptr(), "Recommended Alen is less than nnz.");
        require_constraint_length(C.size(), has_C, N);
        Ap.require_exact_length(plus_one(N, "N"), "N + 1 column pointers");
        perm.require_exact_length(N + 1, "N + 1, as Ap");
        knobs.require_length(T::knob_count, "the library's knob count");
        stats.require_length(T::stats_count, "the library's statistics count");
        check_pointers<I>(Ap, N, Ai);
        const I *c = checked_constraints<I>(C, has_C, N);

        // The library reorders the row indices in place and uses the rest of the work
        // array as workspace; the column pointers become its output.
        std::unique_ptr<I, FreeDeleter> work(static_cast<I *>(std::calloc((size_t)Alen, sizeof(I))));
        if (!work)
            raise(PyExc_MemoryError, "cannot allocate the work array of %lld entries",
                  (long long)Alen);
        if (nnz > 0)
            std::memcpy(work.get(), Ai.data<I>(), (size_t)nnz * sizeof(I));
        std::memmove(perm.data<I>(), Ap.data<I>(), (size_t)(N + 1) * sizeof(I));
        I *st = stats.data<I>();
        int ok = R::column((I)M, (I)N, Alen, work.get(), perm.data<I>(), knobs.data<double>(),
                           st, c);
        handle_errors<I>(ok, st);
    }

    template <class I>
    static void symmetric(int64_t N, nb::handle Ap_obj, nb::handle Ai_obj, nb::handle perm_obj,
                          nb::handle knobs_obj, nb::handle stats_obj, nb::handle C_obj) {
        using R = typename T::template Routines<I>;
        constexpr Elem E = elem_of<I>();
        const bool has_C = !C_obj.is_none();
        Buffer Ap, Ai, perm, knobs, stats, C;
        Ap.acquire(Ap_obj, "Ap", false, E);
        Ai.acquire(Ai_obj, "Ai", false, E);
        perm.acquire(perm_obj, "perm", true, E);
        knobs.acquire(knobs_obj, "knobs", false, Elem::f64);
        stats.acquire(stats_obj, "stats", true, E);
        if (has_C)
            C.acquire(C_obj, "constraints", false, E);

        require_constraint_length(C.size(), has_C, N);
        require_fits<I>(N, "N");
        require_fits<I>(Ai.size(), "nnz");
        // A negative N is reported by the library before it touches any array.
        if (N >= 0) {
            Ap.require_exact_length(plus_one(N, "N"), "N + 1 column pointers");
            perm.require_exact_length(N + 1, "N + 1, as Ap");
            check_pointers<I>(Ap, N, Ai);
        }
        knobs.require_length(T::knob_count, "the library's knob count");
        stats.require_length(T::stats_count, "the library's statistics count");
        const I *c = checked_constraints<I>(C, has_C, N);

        // The library only reads Ap and Ai; it allocates its own work arrays.
        I *st = stats.data<I>();
        int ok = R::symmetric((I)N, const_cast<I *>(Ai.data<I>()), const_cast<I *>(Ap.data<I>()),
                              perm.data<I>(), knobs.data<double>(), st, &std::calloc, &std::free,
                              c);
        handle_errors<I>(ok, st);
    }

    static void column_entry(nb::handle M, nb::handle N, nb::handle Ap, nb::handle Ai,
                             nb::handle perm, nb::handle knobs, nb::handle stats,
                             nb::handle constraints) {
        Elem variant = index_variant(Ap);
        int64_t m = to_index(M, "M"), n = to_index(N, "N");
        if (variant == Elem::i32)
            column<int32_t>(m, n, Ap, Ai, perm, knobs, stats, constraints);
        else
            column<int64_t>(m, n, Ap, Ai, perm, knobs, stats, constraints);
    }

    static void symmetric_entry(nb::handle N, nb::handle Ap, nb::handle Ai, nb::handle perm,
                                nb::handle knobs, nb::handle stats, nb::handle constraints) {
        Elem variant = index_variant(Ap);
        int64_t n = to_index(N, "N");
        if (variant == Elem::i32)
            symmetric<int32_t>(n, Ap, Ai, perm, knobs, stats, constraints);
        else
            symmetric<int64_t>(n, Ap, Ai, perm, knobs, stats, constraints);
    }

    // ---- trivial shapes --------------------------------------------------------------------

    // A matrix without rows, columns or entries: its columns in the order of their
    // constraint sets (natural order within a set), as the library orders them, and the
    // statistics the library reports for it.
    template <class I>
    static void trivial(int64_t M, int64_t N, nb::handle q_obj, nb::handle C_obj,
                        nb::handle stats_obj) {
        constexpr Elem E = elem_of<I>();
        const bool has_C = !C_obj.is_none();
        Buffer q, C, stats;
        q.acquire(q_obj, "q", true, E);
        stats.acquire(stats_obj, "stats", true, E);
        if (has_C)
            C.acquire(C_obj, "constraints", false, E);
        require_fits<I>(M, "M");
        require_fits<I>(N, "N");
        q.require_exact_length(N, "one per column");
        stats.require_length(T::stats_count, "the library's statistics count");
        require_constraint_length(C.size(), has_C, N);
        order_by_constraints<I>(checked_constraints<I>(C, has_C, N), N, q.data<I>());
        I *st = stats.data<I>();
        if constexpr (T::counts_empty_as_ignored) {
            st[0] = (I)M;  // every row and every column is empty
            st[1] = (I)N;
        }
        st[4] = -1;  // info1 and info2 as after any successful ordering; the rest stay 0
        st[5] = -1;
    }

    static nb::object trivial_answer(int64_t M, int64_t N, nb::handle constraints,
                                     nb::handle out_dtype, bool return_info) {
        nb::object C = nb::none();
        if constexpr (constrained) {
            if (!constraints.is_none())
                C = convert_integer_vector(np_asarray, constraints, out_dtype,
                                           "Constraints must be an array of integers.", "C");
        }
        nb::object q = np_zeros(N, nb::arg("dtype") = out_dtype);
        nb::object stats = np_zeros(T::stats_count, nb::arg("dtype") = out_dtype);
        if (index_variant(q) == Elem::i32)
            trivial<int32_t>(M, N, q, C, stats);
        else
            trivial<int64_t>(M, N, q, C, stats);
        if (return_info)
            return nb::make_tuple(q, Stats.get().attr("from_array")(stats));
        return q;
    }

    // ---- the shared body of the two orderings --------------------------------------------

    static void store_threshold(double *knobs, int slot, nb::handle value) {
        if (!value.is_none())
            knobs[slot] = (double)(float)to_double(value);  // single precision, as the library's
    }

    static nb::object base(nb::handle A_in, nb::handle constraints, Flag is_symmetric_flag,
                           nb::handle dense_row_thresh, nb::handle dense_col_thresh,
                           nb::handle aggressive, nb::handle opt_lu, Flag return_info_flag) {
        const bool is_symmetric = is_symmetric_flag.value();
        const bool return_info = return_info_flag.value();

        auto [A, unused, out_dtype] = unpack<3>(validate_csc_input(A_in, nb::bool_(is_symmetric)));
        (void)unused;
        nb::object shape = A.attr("shape");
        const int64_t M = to_index(nb::object(shape[0]), "M");
        const int64_t N = to_index(nb::object(shape[1]), "N");
        if (M == 0 || N == 0 || to_index(A.attr("nnz"), "nnz") == 0)
            return trivial_answer(M, N, constraints, out_dtype, return_info);

        nb::object knobs = np_zeros(T::knob_count, nb::arg("dtype") = np_float64.get());
        {
            Buffer kb;
            kb.acquire(knobs, "knobs", true, Elem::f64);
            double *k = kb.data<double>();
            T::set_defaults(k);
            store_threshold(k, T::dense_row_slot, dense_row_thresh);
            store_threshold(k, T::dense_col_slot, dense_col_thresh);
            if (!aggressive.is_none())
                k[T::aggressive_slot] = truth(aggressive) ? 1.0 : 0.0;
            if constexpr (constrained) {
                if (!opt_lu.is_none()) {
                    nb::str lu("lu"), cholesky("cholesky");
                    const bool is_lu = opt_lu.equal(lu);
                    if (!is_lu && !opt_lu.equal(cholesky))
                        raise(PyExc_ValueError, "opt_lu must be either 'lu' or 'cholesky'.");
                    k[T::lu_slot] = is_lu ? 1.0 : 0.0;
                }
            }
        }
        nb::object C = nb::none();
        if constexpr (constrained) {
            if (!constraints.is_none())
                C = convert_integer_vector(np_asarray, constraints, out_dtype,
                                           "Constraints must be an array of integers.", "C");
        }

        nb::object perm = np_zeros(N + 1, nb::arg("dtype") = out_dtype);
        nb::object stats = np_zeros(T::stats_count, nb::arg("dtype") = out_dtype);
        if (is_symmetric)
            symmetric_entry(nb::int_(N), A.attr("indptr"), A.attr("indices"), perm, knobs, stats, C);
        else
            column_entry(nb::int_(M), nb::int_(N), A.attr("indptr"), A.attr("indices"), perm,
                         knobs, stats, C);

        nb::object q = perm[nb::slice(nb::int_(0), nb::int_(N), nb::none())];  // q.base is perm
        if (return_info)
            return nb::make_tuple(q, Stats.get().attr("from_array")(stats));
        return q;
    }

    static nb::dict get_defaults() {
        nb::object knobs = np_zeros(T::knob_count, nb::arg("dtype") = np_float64.get());
        Buffer kb;
        kb.acquire(knobs, "knobs", true, Elem::f64);
        T::set_defaults(kb.data<double>());
        nb::dict d;
        d["dense_row_thresh"] = nb::object(knobs[nb::int_(T::dense_row_slot)]);
        d["dense_col_thresh"] = nb::object(knobs[nb::int_(T::dense_col_slot)]);
        d["aggressive"] = nb::object(knobs[nb::int_(T::aggressive_slot)]);
        if constexpr (constrained)
            d["opt_lu"] = nb::str(kb.data<double>()[T::lu_slot] != 0.0 ? "lu" : "cholesky");
        return d;
    }

    // ---- module initialisation -------------------------------------------------------------

    static void bind_doc(nb::module_ &m, nb::handle function, const char *template_name,
                         const FunctionDoc &doc) {
        nb::str reftag(doc.reftag.text);
        m.attr(doc.reftag.attribute) = reftag;
        nb::str intro((std::string(doc.intro_head.text) + doc.reftag.text + doc.intro_tail).c_str());
        m.attr(doc.intro_head.attribute) = intro;
        nb::str A_param(doc.A_param.text);
        m.attr(doc.A_param.attribute) = A_param;
        nb::dict kw;
        if constexpr (constrained) {
            nb::str opt_lu(doc.opt_lu_param.text);
            if (doc.opt_lu_param.attribute != nullptr)
                m.attr(doc.opt_lu_param.attribute) = opt_lu;
            kw["opt_lu_param"] = opt_lu;
        }
        nb::str example(doc.example.text);
        m.attr(doc.example.attribute) = example;
        kw["intro"] = intro;
        kw["A_param"] = A_param;
        kw["see_also"] = nb::str(doc.see_also);
        kw["reftag"] = reftag;
        kw["example"] = example;
        nb::object text = m.attr(template_name).attr("format")(**kw);
        nb::setattr(function, "__doc__", text);
    }

    static void init(nb::module_ &m) {
        init_module_frame(m, T::module_doc,
                          {{&np_array, "array"},
                           {&np_arange, "arange"},
                           {&np_zeros, "zeros"},
                           {&np_asarray, "asarray"},
                           {&np_float64, "float64"}},
                          true, validate_csc_input, T::all, sizeof(T::all) / sizeof(T::all[0]));

        Error.set(add_exception(m, T::all[0], T::error_doc, {PyExc_Exception}));
        ValueError.set(add_exception(m, T::all[1], T::value_error_doc,
                                     {Error.get(), PyExc_ValueError}));
        MemoryError.set(add_exception(m, T::all[2], T::memory_error_doc,
                                      {Error.get(), PyExc_MemoryError}));
        InternalError.set(add_exception(m, T::all[3], T::internal_error_doc,
                                        {Error.get(), PyExc_RuntimeError}));

        static const std::string record_doc = stats_doc(T::library, T::source_file);
        static const RecordField fields[] = {
            {"N_rows_ignored", false, 0}, {"N_cols_ignored", false, 1}, {"Ncmpa", false, 2},
            {"status", false, 3},         {"info1", false, 4},          {"info2", false, 5},
            {"info3", false, 6}};
        static const RecordSpec record = {T::all[4], record_doc.c_str(), fields, 7, "np.ndarray",
                                          "stats"};
        Stats.set(add_record(m, record));

        bind_functions(m);

        m.attr(T::template_name) = nb::str(T::doc_template);
        bind_doc(m, m.attr(T::all[5]), T::template_name, T::column_doc);
        bind_doc(m, m.attr(T::all[6]), T::template_name, T::symmetric_doc);

        static const std::string defaults_sig =
            std::string("def ") + T::all[7] + "() -> dict[str, np.float64" +
            (constrained ? " | str]" : "]");
        nb::object defaults = nb::cpp_function(&get_defaults, nb::name(T::all[7]), nb::scope(m),
                                               nb::sig(defaults_sig.c_str()));
        nb::object f = add_documented_function(m, T::all[7], defaults, "()");
        nb::setattr(f, "__doc__", nb::str(T::defaults_doc));
    }

    // The public orderings: colamd/symamd, or ccolamd (with opt_lu) and csymamd.
    static nb::object column_ordering(nb::handle A, nb::handle drt, nb::handle dct,
                                      nb::handle aggressive, Flag return_info) {
        return base(A, Py_None, Flag{Py_False}, drt, dct, aggressive, Py_None, return_info);
    }
    static nb::object symmetric_ordering(nb::handle A, nb::handle drt, nb::handle dct,
                                         nb::handle aggressive, Flag return_info) {
        return base(A, Py_None, Flag{Py_True}, drt, dct, aggressive, Py_None, return_info);
    }
    static nb::object constrained_column_ordering(nb::handle A, nb::handle constraints,
                                                  nb::handle drt, nb::handle dct,
                                                  nb::handle aggressive, nb::handle opt_lu,
                                                  Flag return_info) {
        return base(A, constraints, Flag{Py_False}, drt, dct, aggressive, opt_lu, return_info);
    }
    static nb::object constrained_symmetric_ordering(nb::handle A, nb::handle constraints,
                                                     nb::handle drt, nb::handle dct,
                                                     nb::handle aggressive,
                                                     Flag return_info) {
        return base(A, constraints, Flag{Py_True}, drt, dct, aggressive, Py_None, return_info);
    }
    static nb::object unconstrained_base(nb::handle A, Flag is_symmetric, nb::handle drt,
                                         nb::handle dct, nb::handle aggressive,
                                         Flag return_info) {
        return base(A, Py_None, is_symmetric, drt, dct, aggressive, Py_None, return_info);
    }
    static void unconstrained_column_entry(nb::handle M, nb::handle N, nb::handle Ap,
                                           nb::handle Ai, nb::handle perm, nb::handle knobs,
                                           nb::handle stats) {
        column_entry(M, N, Ap, Ai, perm, knobs, stats, Py_None);
    }
    static void unconstrained_symmetric_entry(nb::handle M, nb::handle N, nb::handle Ap,
                                              nb::handle Ai, nb::handle perm, nb::handle knobs,
                                              nb::handle stats) {
        to_index(M, "M");  // validated as an integer, not used
        symmetric_entry(N, Ap, Ai, perm, knobs, stats, Py_None);
    }

    // The signature users' tools show (help(), inspect.signature), as in the stub.
    static std::string ordering_sig(const char *name, bool opt_lu) {
        return std::string("def ") + name + "(A: Any, " +
               (constrained ? "constraints: ArrayLike | None = None, " : "") +
               "dense_row_thresh: float | None = None, dense_col_thresh: float | None = None, "
               "aggressive: bool | None = None, " +
               (opt_lu ? "opt_lu: Literal['lu', 'cholesky'] | None = None, " : "") +
               "return_info: bool = False) -> NDArray[np.integer] | tuple[NDArray[np.integer], " +
               T::all[4] + "]";
    }

    static void bind_functions(nb::module_ &m) {
        const char *column_name = T::all[5], *symmetric_name = T::all[6];
        static const std::string column_sig = ordering_sig(column_name, constrained),
                                 symmetric_sig = ordering_sig(symmetric_name, false);
        if constexpr (constrained) {
            m.def(T::base_name, &base, nb::arg("A"), nb::kw_only(),
                  nb::arg("constraints") = nb::none(), nb::arg("is_symmetric") = false,
                  nb::arg("dense_row_thresh") = nb::none(), nb::arg("dense_col_thresh") = nb::none(),
                  nb::arg("aggressive") = nb::none(), nb::arg("opt_lu") = nb::none(),
                  nb::arg("return_info") = false, T::base_doc);
            m.def(T::column_wrapper_name, &column_entry, nb::arg("M"), nb::arg("N"), nb::arg("Ap"),
                  nb::arg("Ai"), nb::arg("perm"), nb::arg("knobs"), nb::arg("stats"),
                  nb::arg("constraints") = nb::none(), T::column_wrapper_doc);
            m.def(T::symmetric_wrapper_name, &symmetric_entry, nb::arg("N"), nb::arg("Ap"),
                  nb::arg("Ai"), nb::arg("perm"), nb::arg("knobs"), nb::arg("stats"),
                  nb::arg("constraints") = nb::none(), T::symmetric_wrapper_doc);
            add_documented_function(
                m, column_name,
                nb::cpp_function(&constrained_column_ordering, nb::name(column_name),
                                 nb::scope(m), nb::sig(column_sig.c_str()), nb::arg("A"),
                                 nb::arg("constraints") = nb::none(),
                                 nb::arg("dense_row_thresh") = nb::none(),
                                 nb::arg("dense_col_thresh") = nb::none(),
                                 nb::arg("aggressive") = nb::none(),
                                 nb::arg("opt_lu") = nb::none(), nb::arg("return_info") = false),
                "(A, constraints=None, dense_row_thresh=None, dense_col_thresh=None, "
                "aggressive=None, opt_lu=None, return_info=False)");
            add_documented_function(
                m, symmetric_name,
                nb::cpp_function(&constrained_symmetric_ordering, nb::name(symmetric_name),
                                 nb::scope(m), nb::sig(symmetric_sig.c_str()), nb::arg("A"),
                                 nb::arg("constraints") = nb::none(),
                                 nb::arg("dense_row_thresh") = nb::none(),
                                 nb::arg("dense_col_thresh") = nb::none(),
                                 nb::arg("aggressive") = nb::none(),
                                 nb::arg("return_info") = false),
                "(A, constraints=None, dense_row_thresh=None, dense_col_thresh=None, "
                "aggressive=None, return_info=False)");
        } else {
            m.def(T::base_name, &unconstrained_base, nb::arg("A"), nb::kw_only(),
                  nb::arg("is_symmetric") = false, nb::arg("dense_row_thresh") = nb::none(),
                  nb::arg("dense_col_thresh") = nb::none(), nb::arg("aggressive") = nb::none(),
                  nb::arg("return_info") = false, T::base_doc);
            m.def(T::column_wrapper_name, &unconstrained_column_entry, nb::arg("M"), nb::arg("N"),
                  nb::arg("Ap"), nb::arg("Ai"), nb::arg("perm"), nb::arg("knobs"),
                  nb::arg("stats"), T::column_wrapper_doc);
            m.def(T::symmetric_wrapper_name, &unconstrained_symmetric_entry, nb::arg("M"),
                  nb::arg("N"), nb::arg("Ap"), nb::arg("Ai"), nb::arg("perm"), nb::arg("knobs"),
                  nb::arg("stats"), T::symmetric_wrapper_doc);
            const char *signature = "(A, dense_row_thresh=None, dense_col_thresh=None, "
                                    "aggressive=None, return_info=False)";
            add_documented_function(
                m, column_name,
                nb::cpp_function(&column_ordering, nb::name(column_name), nb::scope(m),
                                 nb::sig(column_sig.c_str()), nb::arg("A"),
                                 nb::arg("dense_row_thresh") = nb::none(),
                                 nb::arg("dense_col_thresh") = nb::none(),
                                 nb::arg("aggressive") = nb::none(),
                                 nb::arg("return_info") = false),
                signature);
            add_documented_function(
                m, symmetric_name,
                nb::cpp_function(&symmetric_ordering, nb::name(symmetric_name), nb::scope(m),
                                 nb::sig(symmetric_sig.c_str()), nb::arg("A"),
                                 nb::arg("dense_row_thresh") = nb::none(),
                                 nb::arg("dense_col_thresh") = nb::none(),
                                 nb::arg("aggressive") = nb::none(),
                                 nb::arg("return_info") = false),
                signature);
        }
    }
};

}  // namespace ferrow::colamd_twin
