// The column orderings COLAMD/SYMAMD and their constrained twins CCOLAMD/CSYMAMD.
//
// ferrow.colamd and ferrow.ccolamd are one module written twice by the libraries: the same
// frame (exceptions, statistics record, status translation, default knobs, docstrings
// assembled from the templates of colamd_docs.hpp), the same road (validate once, answer
// trivial shapes, fill the knobs, run the int32 or int64 worker of colamd_worker.hpp,
// translate the status, return q) and the same buffer checks. `Twin<Traits>` is that
// module; a traits struct says what differs:
//
//   names and texts      library name, the orderings' names, the module's own words in
//                        the texts of colamd_docs.hpp
//   library routines     set_defaults, and the routine pairs recommended/column/symmetric
//   knob slots           the LU target of the constrained library (the others are shared)
//   constraints          whether the orderings take a constraint vector and `opt_lu`
//   statuses             texts for failure statuses the library reports beyond the table
//
// Each module instantiates the template once in its own extension, so each keeps its own
// exception classes, record, status table and module-level objects.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <limits>
#include <string>
#include <tuple>

#include "colamd/colamd_docs.hpp"
#include "colamd/colamd_worker.hpp"
#include "common/buffers.hpp"
#include "common/csc_input.hpp"
#include "common/dispatch.hpp"
#include "common/documented_function.hpp"
#include "common/errors.hpp"
#include "common/module_def.hpp"
#include "common/ordering_frame.hpp"
#include "common/pyobj.hpp"
#include "common/records.hpp"
#include "common/text_template.hpp"
#include "common/threads.hpp"
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

// The knob and statistics arrays, the same in both libraries; the constrained one has one
// more knob slot of its own (its traits' `lu_slot`).
inline constexpr int KNOBS = 20, STATS = 20, DENSE_ROW = 0, DENSE_COL = 1, AGGRESSIVE = 2;

// Compares the status slot and codes above with a library's own macros, in the module that
// includes its header: FERROW_COLAMD_TWIN_CHECK(COLAMD) or FERROW_COLAMD_TWIN_CHECK(CCOLAMD).
#define FERROW_COLAMD_TWIN_CHECK(LIB)                                                       \
    static_assert(LIB##_STATUS == ferrow::colamd_twin::status_slot && LIB##_OK == 0 &&      \
                      LIB##_OK_BUT_JUMBLED == 1 && LIB##_ERROR_A_not_present == -1 &&       \
                      LIB##_ERROR_p_not_present == -2 && LIB##_ERROR_nrow_negative == -3 && \
                      LIB##_ERROR_ncol_negative == -4 && LIB##_ERROR_nnz_negative == -5 &&  \
                      LIB##_ERROR_p0_nonzero == -6 && LIB##_ERROR_A_too_small == -7 &&      \
                      LIB##_ERROR_col_length_negative == -8 &&                              \
                      LIB##_ERROR_row_index_out_of_bounds == -9 &&                          \
                      LIB##_ERROR_out_of_memory == ferrow::colamd_twin::status_out_of_memory && \
                      LIB##_ERROR_internal_error == ferrow::colamd_twin::status_internal_error, \
                  "the status table follows the library's codes");                           \
    static_assert(LIB##_KNOBS == ferrow::colamd_twin::KNOBS &&                              \
                      LIB##_STATS == ferrow::colamd_twin::STATS &&                          \
                      LIB##_DENSE_ROW == ferrow::colamd_twin::DENSE_ROW &&                  \
                      LIB##_DENSE_COL == ferrow::colamd_twin::DENSE_COL &&                  \
                      LIB##_AGGRESSIVE == ferrow::colamd_twin::AGGRESSIVE,                  \
                  "the knob and statistics slots follow the library's")

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

    // The module's public names, in the order of `__all__`: Error, ValueError, MemoryError,
    // InternalError, Stats, the column and symmetric orderings, the defaults function.
    static const char *const *all() {
        static const std::string lib = T::library, column = T::orderings[0];
        static const std::string names[] = {lib + "Error",         lib + "ValueError",
                                            lib + "MemoryError",   lib + "InternalError",
                                            lib + "Stats",         column,
                                            T::orderings[1],       column + "_get_defaults"};
        static const char *const pointers[] = {names[0].c_str(), names[1].c_str(), names[2].c_str(),
                                               names[3].c_str(), names[4].c_str(), names[5].c_str(),
                                               names[6].c_str(), names[7].c_str()};
        return pointers;
    }
    // The library's source file: colamd.c, ccolamd.c.
    static std::string source_file() { return std::string(T::orderings[0]) + ".c"; }

    static inline OrderingNumpy np;
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

    // `outcome` is what the worker left behind, `stats` the library's statistics.
    template <class I> static void handle_errors(Outcome outcome, const I *stats) {
        if (outcome.unallocated > 0)
            raise(PyExc_MemoryError, "cannot allocate the work array of %lld entries",
                  (long long)outcome.unallocated);
        const std::string lib = T::library;
        const int64_t status = stats[status_slot];
        if (outcome.ok) {
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

    // ---- checks: every value and buffer checked before the library sees it -----------------

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

    // The sizes of a column ordering of an M x N pattern with nnz row indices and a
    // constraint vector of C_size entries (if given); returns the work length the library
    // recommends.
    template <class I>
    static I column_checks(int64_t M, int64_t N, int64_t nnz, int64_t C_size, bool has_C) {
        require_fits<I>(M, "M");
        require_fits<I>(N, "N");
        require_fits<I>(nnz, "nnz");
        // 0 if any is negative
        const size_t recommended = routine<I>(T::recommended)((I)nnz, (I)M, (I)N);
        if (recommended == 0)
            raise(PyExc_ValueError, "Recommended Alen is zero: one of {A.nnz, M, N} is erroneous.");
        if (recommended > (size_t)std::numeric_limits<I>::max())
            raise(Error.ptr(), "Recommended Alen (%zu) does not fit the %s index type: "
                  "use int64 index arrays.", recommended, elem_name(elem_of<I>()));
        const I Alen = (I)recommended;
        if ((int64_t)Alen < nnz)
            raise(Error.ptr(), "Recommended Alen is less than nnz.");
        require_constraint_length(C_size, has_C, N);
        return Alen;
    }

    // The sizes of a symmetric ordering of an N x N pattern with nnz row indices.
    template <class I>
    static void symmetric_checks(int64_t N, int64_t nnz, int64_t C_size, bool has_C) {
        require_constraint_length(C_size, has_C, N);
        require_fits<I>(N, "N");
        require_fits<I>(nnz, "nnz");
    }

    // ---- the workers (without the interpreter lock when the switch is on), then the
    // status translation --------------------------------------------------------------------

    template <class I>
    static void run_column(CscPattern<I> A, int64_t ai_len, I Alen, I *perm, double *knobs,
                           I *stats, const I *c) {
        handle_errors<I>(run_worker([&] {
            return column_worker<T>(A, ai_len, Alen, perm, knobs, stats, c);
        }), stats);
    }

    template <class I>
    static void run_symmetric(CscPattern<I> A, I *perm, double *knobs, I *stats, const I *c) {
        handle_errors<I>(run_worker([&] { return symmetric_worker<T>(A, perm, knobs, stats, c); }),
                         stats);
    }

    // ---- the raw wrappers: every buffer checked, as the libraries trust their lengths ----

    // The buffers of a raw wrapper call, acquired in the order of its parameters.
    struct RawBuffers {
        Buffer Ap, Ai, perm, knobs, stats, C;
        bool has_C;
        template <class I>
        RawBuffers(I, nb::handle Ap_obj, nb::handle Ai_obj, nb::handle perm_obj,
                   nb::handle knobs_obj, nb::handle stats_obj, nb::handle C_obj)
            : has_C(!C_obj.is_none()) {
            constexpr Elem E = elem_of<I>();
            Ap.acquire(Ap_obj, "Ap", false, E);
            Ai.acquire(Ai_obj, "Ai", false, E);
            perm.acquire(perm_obj, "perm", true, E);
            knobs.acquire(knobs_obj, "knobs", false, Elem::f64);
            stats.acquire(stats_obj, "stats", true, E);
            if (has_C)
                C.acquire(C_obj, "constraints", false, E);
        }
        // Ap and perm of N + 1 entries, pointers within Ai.
        template <class I> void require_pattern(int64_t N) const {
            Ap.require_exact_length(plus_one(N, "N"), "N + 1 column pointers");
            perm.require_exact_length(N + 1, "N + 1, as Ap");
            check_pointers<I>(Ap, N, Ai);
        }
        // knobs and stats long enough; the outputs apart from every array the library
        // reads while it writes them.
        void require_controls() const {
            knobs.require_length(KNOBS, "the library's knob count");
            stats.require_length(STATS, "the library's statistics count");
            require_disjoint(perm, {&Ap, &Ai, &knobs, &C});
            require_disjoint(stats, {&Ap, &Ai, &knobs, &C, &perm});
        }
        template <class I> CscPattern<I> pattern(int64_t M, int64_t N) const {
            return CscPattern<I>{M, N, Ap.data<I>(), Ai.data<I>()};
        }
    };

    template <class I>
    static void column(nb::handle M_obj, nb::handle N_obj, nb::handle Ap_obj, nb::handle Ai_obj,
                       nb::handle perm_obj, nb::handle knobs_obj, nb::handle stats_obj,
                       nb::handle C_obj) {
        const int64_t M = to_index(M_obj, "M"), N = to_index(N_obj, "N");
        RawBuffers b(I{}, Ap_obj, Ai_obj, perm_obj, knobs_obj, stats_obj, C_obj);
        const I Alen = column_checks<I>(M, N, b.Ai.size(), b.C.size(), b.has_C);
        b.template require_pattern<I>(N);
        b.require_controls();
        const I *c = checked_constraints<I>(b.C, b.has_C, N);
        run_column<I>(b.template pattern<I>(M, N), b.Ai.size(), Alen, b.perm.template data<I>(),
                      b.knobs.template data<double>(), b.stats.template data<I>(), c);
    }

    template <class I>
    static void symmetric(nb::handle N_obj, nb::handle Ap_obj, nb::handle Ai_obj,
                          nb::handle perm_obj, nb::handle knobs_obj, nb::handle stats_obj,
                          nb::handle C_obj) {
        const int64_t N = to_index(N_obj, "N");
        RawBuffers b(I{}, Ap_obj, Ai_obj, perm_obj, knobs_obj, stats_obj, C_obj);
        symmetric_checks<I>(N, b.Ai.size(), b.C.size(), b.has_C);
        // A negative N is reported by the library before it touches any array.
        if (N >= 0)
            b.template require_pattern<I>(N);
        b.require_controls();
        const I *c = checked_constraints<I>(b.C, b.has_C, N);
        run_symmetric<I>(b.template pattern<I>(N, N), b.perm.template data<I>(),
                         b.knobs.template data<double>(), b.stats.template data<I>(), c);
    }

    static void column_entry(nb::handle M, nb::handle N, nb::handle Ap, nb::handle Ai,
                             nb::handle perm, nb::handle knobs, nb::handle stats,
                             nb::handle constraints) {
        dispatch_index(index_variant(Ap), [&](auto index) {
            column<decltype(index)>(M, N, Ap, Ai, perm, knobs, stats, constraints);
        });
    }

    static void symmetric_entry(nb::handle N, nb::handle Ap, nb::handle Ai, nb::handle perm,
                                nb::handle knobs, nb::handle stats, nb::handle constraints) {
        dispatch_index(index_variant(Ap), [&](auto index) {
            symmetric<decltype(index)>(N, Ap, Ai, perm, knobs, stats, constraints);
        });
    }

    // ---- the public orderings --------------------------------------------------------------

    static nb::object convert_constraints(nb::handle constraints, nb::handle itype) {
        if constexpr (constrained) {
            if (!constraints.is_none())
                return convert_integer_vector(np.asarray, constraints, itype,
                                              "Constraints must be an array of integers.", "C");
        }
        return nb::none();
    }

    static void store_threshold(double *knobs, int slot, nb::handle value) {
        if (!value.is_none())
            knobs[slot] = (double)(float)to_double(value);  // single precision, as the library's
    }

    // The shared body of the two orderings: validate A, answer trivial shapes, fill the
    // knobs, run the worker, translate its status, return q (and the statistics).
    static nb::object base(nb::handle A_in, nb::handle constraints, Flag is_symmetric_flag,
                           nb::handle dense_row_thresh, nb::handle dense_col_thresh,
                           nb::handle aggressive, nb::handle opt_lu, Flag return_info_flag) {
        const bool is_symmetric = is_symmetric_flag.value();
        const bool return_info = return_info_flag.value();
        CscInput in;
        validate_csc(A_in, is_symmetric, in, false);
        const int64_t M = in.nrow, N = in.ncol, ai_len = in.i.size();
        const Elem index = in.index();
        nb::handle itype = np.index_dtype(index);
        // A matrix without rows, columns or entries: its columns in the order of their
        // constraint sets (natural order within a set), as the library orders them, and
        // the statistics the library reports for it.
        const bool trivial = M == 0 || N == 0 || in.nnz() == 0;

        double knobs[KNOBS];
        if (!trivial) {
            T::set_defaults(knobs);
            store_threshold(knobs, DENSE_ROW, dense_row_thresh);
            store_threshold(knobs, DENSE_COL, dense_col_thresh);
            if (!aggressive.is_none())
                knobs[AGGRESSIVE] = truth(aggressive) ? 1.0 : 0.0;
            if constexpr (constrained) {
                if (!opt_lu.is_none()) {
                    nb::str lu("lu"), cholesky("cholesky");
                    const bool is_lu = opt_lu.equal(lu);
                    if (!is_lu && !opt_lu.equal(cholesky))
                        raise(PyExc_ValueError, "opt_lu must be either 'lu' or 'cholesky'.");
                    knobs[T::lu_slot] = is_lu ? 1.0 : 0.0;
                }
            }
        }
        nb::object C_obj = convert_constraints(constraints, itype);
        const bool has_C = !C_obj.is_none();
        // perm has N + 1 entries, as the column routines need; q is a view of its first N.
        // Every entry is written by the worker. np.empty, not np.zeros: NumPy releases the
        // lock while it zero-fills a large array, and no other thread may run between the
        // validation of A and the library call unless the caller turned the switch on.
        nb::object perm_obj = np.empty(trivial ? N : N + 1, nb::arg("dtype") = itype);
        nb::object stats_obj = np.zeros(STATS, nb::arg("dtype") = itype);
        Buffer perm, stats, C;
        perm.acquire(perm_obj, "perm", true, index);
        stats.acquire(stats_obj, "stats", true, index);
        if (has_C)
            C.acquire(C_obj, "constraints", false, index);

        dispatch_index(index, [&](auto index_type) {
            using I = decltype(index_type);
            I *q = perm.data<I>(), *st = stats.data<I>();
            if (trivial) {
                require_fits<I>(M, "M");
                require_fits<I>(N, "N");
                require_constraint_length(C.size(), has_C, N);
                order_by_constraints<I>(checked_constraints<I>(C, has_C, N), N, q);
                trivial_stats<I>(M, N, T::counts_empty_as_ignored, st);
            } else if (is_symmetric) {
                symmetric_checks<I>(N, ai_len, C.size(), has_C);
                run_symmetric<I>(in.pattern<I>(), q, knobs, st,
                                 checked_constraints<I>(C, has_C, N));
            } else {
                const I Alen = column_checks<I>(M, N, ai_len, C.size(), has_C);
                run_column<I>(in.pattern<I>(), ai_len, Alen, q, knobs, st,
                              checked_constraints<I>(C, has_C, N));
            }
        });

        nb::object q_obj = trivial ? perm_obj
                                   : perm_obj[nb::slice(nb::int_(0), nb::int_(N), nb::none())];
        if (return_info)
            return nb::make_tuple(q_obj, Stats.get().attr("from_array")(stats_obj));
        return q_obj;
    }

    static nb::dict get_defaults() {
        nb::object knobs = np.zeros(KNOBS, nb::arg("dtype") = np.float64.get());
        Buffer kb;
        kb.acquire(knobs, "knobs", true, Elem::f64);
        T::set_defaults(kb.data<double>());
        nb::dict d;
        d["dense_row_thresh"] = nb::object(knobs[nb::int_(DENSE_ROW)]);
        d["dense_col_thresh"] = nb::object(knobs[nb::int_(DENSE_COL)]);
        d["aggressive"] = nb::object(knobs[nb::int_(AGGRESSIVE)]);
        if constexpr (constrained)
            d["opt_lu"] = nb::str(kb.data<double>()[T::lu_slot] != 0.0 ? "lu" : "cholesky");
        return d;
    }

    // ---- module initialisation -------------------------------------------------------------

    // A text of colamd_docs.hpp (or of the traits) with this module's names and words.
    static std::string text(const char *tmpl) {
        const std::string lib = T::library, column = all()[5], symmetric = all()[6];
        std::string lib_symmetric = symmetric;
        for (char &ch : lib_symmetric)
            ch = (char)(ch - 'a' + 'A');
        const std::string title = std::string(T::title_prefix) +
                                  "Column Approximate Minimum Degree (" + lib +
                                  ") Ordering (:mod:`ferrow." + column + "`)";
        return fill_template(
            tmpl,
            {{"column_params", fill_template(docs::raw_array_params, {{"ordering", "column ordering"}})},
             {"symmetric_params",
              fill_template(docs::raw_array_params, {{"ordering", "symmetric permutation"}})},
             {"constraints_param", T::constraints_param}, {"dense_tail", T::dense_tail},
             {"opt_lu_line", T::opt_lu_line}, {"trivial_order", T::trivial_order},
             {"column_intro_end", T::column_intro_end},
             {"symmetric_intro_end", T::symmetric_intro_end},
             {"column_A_kind", T::column_A_kind}, {"symmetric_A_kind", T::symmetric_A_kind},
             {"base_steps", T::base_steps},
             {"column_wrapper_unchanged", T::column_wrapper_unchanged},
             {"column_wrapper_constraints", T::column_wrapper_constraints},
             {"symmetric_wrapper_M", T::symmetric_wrapper_M},
             {"symmetric_wrapper_constraints", T::symmetric_wrapper_constraints},
             {"default_keys", T::default_keys}, {"default_opt_lu", T::default_opt_lu},
             {"module_summary", T::module_summary}, {"interface_column", T::interface_column},
             {"interface_symmetric", T::interface_symmetric},
             {"title", title}, {"title_rule", std::string(title.size(), '=')},
             {"Lib", lib}, {"LIB_SYMMETRIC", lib_symmetric}, {"column", column},
             {"symmetric", symmetric}, {"source", source_file().c_str()}});
    }

    // The example of one ordering: the matrix, the constraints where the module takes
    // them, the call and what it prints.
    static std::string example(bool symmetric) {
        const char *name = symmetric ? all()[6] : all()[5];
        std::string head = fill_template(
            docs::example_head,
            {{"imports", symmetric ? "csc_array, random_array" : "random_array"}, {"name", name}});
        if (symmetric)
            head += ">>> S = csc_array(A.T @ A)\n";
        head += T::example_constraints;
        return fill_template(
            text((head + docs::example_tail).c_str()),
            {{"result", symmetric ? "p" : "q"}, {"name", name}, {"matrix", symmetric ? "S" : "A"},
             {"example_arguments", T::example_arguments},
             {"example_order", symmetric ? T::symmetric_example_order : T::column_example_order}});
    }

    // Binds the documentation of one ordering: its pieces as module attributes, then its
    // docstring, the module's function template filled with them.
    static void bind_doc(nb::module_ &m, bool symmetric) {
        const std::string name = symmetric ? all()[6] : all()[5];
        const std::string prefix = T::attribute_prefix + name;
        nb::str reftag(("[#" + name + "_c]").c_str());
        m.attr((prefix + "_reftag").c_str()) = reftag;
        nb::str intro((text(symmetric ? docs::symmetric_intro_head : docs::column_intro_head) +
                       reftag.c_str() +
                       text(symmetric ? docs::symmetric_intro_tail : docs::column_intro_tail))
                          .c_str());
        m.attr((prefix + "_intro").c_str()) = intro;
        nb::str A_param(text(symmetric ? docs::symmetric_A_param : docs::column_A_param).c_str());
        m.attr((prefix + "_A_param").c_str()) = A_param;
        nb::dict kw;
        if constexpr (constrained) {
            nb::str opt_lu(symmetric ? "" : T::opt_lu_param);
            if (!symmetric)
                m.attr((prefix + "_opt_lu_param").c_str()) = opt_lu;
            kw["opt_lu_param"] = opt_lu;
        }
        nb::str example_text(example(symmetric).c_str());
        m.attr(("_" + name + "_example").c_str()) = example_text;
        kw["intro"] = intro;
        kw["A_param"] = A_param;
        kw["see_also"] =
            nb::str((std::string(symmetric ? all()[5] : all()[6]) + ", " + T::see_also_others)
                        .c_str());
        kw["reftag"] = reftag;
        kw["example"] = example_text;
        nb::object doc = m.attr(template_name().c_str()).attr("format")(**kw);
        nb::setattr(m.attr(name.c_str()), "__doc__", doc);
    }

    static std::string template_name() { return "_" + std::string(T::library) + "_DOC_TEMPLATE"; }

    static void init(nb::module_ &m) {
        static const std::string module_doc = text(docs::module_doc);
        init_ordering_module(m, module_doc.c_str(), np, validate_csc_input, all(), 8);

        const std::string lib = T::library;
        static const std::string error_doc = "Base class for " + lib + " errors.",
                                 value_doc = "Raised when " + lib + " encounters a value error.",
                                 memory_doc = "Raised when " + lib + " runs out of memory.",
                                 internal_doc = "Raised when " + lib + " encounters an internal error.";
        Error.set(add_exception(m, all()[0], error_doc.c_str(), {PyExc_Exception}));
        ValueError.set(add_exception(m, all()[1], value_doc.c_str(),
                                     {Error.get(), PyExc_ValueError}));
        MemoryError.set(add_exception(m, all()[2], memory_doc.c_str(),
                                      {Error.get(), PyExc_MemoryError}));
        InternalError.set(add_exception(m, all()[3], internal_doc.c_str(),
                                        {Error.get(), PyExc_RuntimeError}));

        static const std::string record_doc = stats_doc(T::library, source_file().c_str());
        static const RecordField fields[] = {
            {"N_rows_ignored", false, 0}, {"N_cols_ignored", false, 1}, {"Ncmpa", false, 2},
            {"status", false, 3},         {"info1", false, 4},          {"info2", false, 5},
            {"info3", false, 6}};
        static const RecordSpec record = {all()[4], record_doc.c_str(), fields, 7, "np.ndarray",
                                          "stats"};
        Stats.set(add_record(m, record));

        bind_functions(m);

        m.attr(template_name().c_str()) = nb::str(text(docs::function_template).c_str());
        bind_doc(m, false);
        bind_doc(m, true);

        static const std::string defaults_sig =
            std::string("def ") + all()[7] + "() -> dict[str, np.float64" +
            (constrained ? " | str]" : "]");
        nb::object defaults = nb::cpp_function(&get_defaults, nb::name(all()[7]), nb::scope(m),
                                               nb::sig(defaults_sig.c_str()));
        nb::object f = add_documented_function(m, all()[7], defaults, "()");
        nb::setattr(f, "__doc__", nb::str(text(docs::defaults_doc).c_str()));
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
    static std::string ordering_sig(const std::string &name, bool opt_lu) {
        return std::string("def ") + name + "(A: Any, " +
               (constrained ? "constraints: ArrayLike | None = None, " : "") +
               "dense_row_thresh: float | None = None, dense_col_thresh: float | None = None, "
               "aggressive: bool | None = None, " +
               (opt_lu ? "opt_lu: Literal['lu', 'cholesky'] | None = None, " : "") +
               "return_info: bool = False) -> NDArray[np.integer] | tuple[NDArray[np.integer], " +
               all()[4] + "]";
    }

    // `a` in the constrained module, `b` in the other.
    template <class A, class B> static constexpr auto pick(A a, B b) {
        if constexpr (constrained)
            return a;
        else
            return b;
    }
    // The parameter `arg` where `keep` holds, else none.
    template <bool keep, class Arg> static auto optional_arg(Arg arg) {
        if constexpr (keep)
            return std::make_tuple(arg);
        else
            return std::tuple<>();
    }

    template <class F, class Args>
    static void def(nb::module_ &m, const std::string &name, F f, Args args, const std::string &doc) {
        std::apply([&](auto... a) { m.def(name.c_str(), f, a..., doc.c_str()); }, args);
    }
    // `signature` is the parameter list inspect reads; `typed` the full signature with its
    // types (help(), stubs), kept alive as long as the module.
    template <class F, class Args>
    static void def_documented(nb::module_ &m, const char *name, F f, Args args,
                               const std::string &signature, const std::string &typed) {
        std::apply([&](auto... a) {
            add_documented_function(
                m, name, nb::cpp_function(f, nb::name(name), nb::scope(m), nb::sig(typed.c_str()), a...),
                signature.c_str());
        }, args);
    }

    static void bind_functions(nb::module_ &m) {
        static const std::string base_doc = text(docs::base_doc),
                                 column_doc = text(docs::column_wrapper_doc),
                                 symmetric_doc = text(docs::symmetric_wrapper_doc);
        const std::string column = all()[5], symmetric = all()[6];
        static const std::string column_sig = ordering_sig(column, constrained),
                                 symmetric_sig = ordering_sig(symmetric, false);
        // The parameters: the matrix, this module's own (constraints, opt_lu), the knobs
        // every ordering takes, the raw arrays.
        const auto A = std::make_tuple(nb::arg("A"));
        const auto C = optional_arg<constrained>(nb::arg("constraints") = nb::none());
        const auto lu = optional_arg<constrained>(nb::arg("opt_lu") = nb::none());
        const auto knobs = std::make_tuple(nb::arg("dense_row_thresh") = nb::none(),
                                           nb::arg("dense_col_thresh") = nb::none(),
                                           nb::arg("aggressive") = nb::none());
        const auto info = std::make_tuple(nb::arg("return_info") = false);
        const auto M = std::make_tuple(nb::arg("M"));
        const auto arrays = std::make_tuple(nb::arg("N"), nb::arg("Ap"), nb::arg("Ai"),
                                            nb::arg("perm"), nb::arg("knobs"), nb::arg("stats"));

        def(m, "_" + column + "_base", pick(&base, &unconstrained_base),
            std::tuple_cat(A, std::make_tuple(nb::kw_only()), C,
                           std::make_tuple(nb::arg("is_symmetric") = false), knobs, lu, info),
            base_doc);
        def(m, "_" + column, pick(&column_entry, &unconstrained_column_entry),
            std::tuple_cat(M, arrays, C), column_doc);
        def(m, "_" + symmetric, pick(&symmetric_entry, &unconstrained_symmetric_entry),
            std::tuple_cat(optional_arg<!constrained>(nb::arg("M")), arrays, C), symmetric_doc);

        const std::string own = constrained ? "constraints=None, " : "";
        const std::string shared = "dense_row_thresh=None, dense_col_thresh=None, aggressive=None, ";
        def_documented(m, all()[5], pick(&constrained_column_ordering, &column_ordering),
                       std::tuple_cat(A, C, knobs, lu, info),
                       "(A, " + own + shared + (constrained ? "opt_lu=None, " : "") +
                           "return_info=False)",
                       column_sig);
        def_documented(m, all()[6], pick(&constrained_symmetric_ordering, &symmetric_ordering),
                       std::tuple_cat(A, C, knobs, info),
                       "(A, " + own + shared + "return_info=False)", symmetric_sig);
    }
};

}  // namespace ferrow::colamd_twin
