// ferrow.btf: maximum transversal, strongly connected components and block triangular
// form of sparse matrices (SuiteSparse BTF).
//
// The BTF routines validate nothing: a column pointer or row index out of range, a column
// permutation entry outside 0..N-1 or an array that is too short makes them read and write
// outside their arrays. The underscore workers are callable from Python with raw buffers,
// so they check every buffer and the whole pattern (one O(nnz) pass) before the library
// sees it.
#include <nanobind/nanobind.h>

#include <btf.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>

#include "btf/matching.hpp"
#include "common/buffers.hpp"
#include "common/module_def.hpp"
#include "common/pyobj.hpp"
#include "common/pattern.hpp"

namespace nb = nanobind;
using namespace ferrow;

namespace {

Held np_array, np_arange, np_zeros, np_full, np_asarray, np_ascontiguousarray;
Held validate_csc_input;

template <class I> struct BtfTraits;
template <> struct BtfTraits<int32_t> {
    static int64_t maxtrans(int32_t m, int32_t n, const int32_t *Ap, const int32_t *Ai,
                            double maxwork, double *work, int32_t *match, int32_t *W) {
        return btf_maxtrans(m, n, const_cast<int32_t *>(Ap), const_cast<int32_t *>(Ai), maxwork,
                            work, match, W);
    }
    static int64_t strongcomp(int32_t n, const int32_t *Ap, const int32_t *Ai, int32_t *Q,
                              int32_t *P, int32_t *R, int32_t *W) {
        return btf_strongcomp(n, const_cast<int32_t *>(Ap), const_cast<int32_t *>(Ai), Q, P, R,
                              W);
    }
    static int64_t order(int32_t n, const int32_t *Ap, const int32_t *Ai, double maxwork,
                         double *work, int32_t *P, int32_t *Q, int32_t *R, int32_t *nmatch,
                         int32_t *W) {
        return btf_order(n, const_cast<int32_t *>(Ap), const_cast<int32_t *>(Ai), maxwork, work,
                         P, Q, R, nmatch, W);
    }
};
template <> struct BtfTraits<int64_t> {
    static int64_t maxtrans(int64_t m, int64_t n, const int64_t *Ap, const int64_t *Ai,
                            double maxwork, double *work, int64_t *match, int64_t *W) {
        return btf_l_maxtrans(m, n, const_cast<int64_t *>(Ap), const_cast<int64_t *>(Ai),
                              maxwork, work, match, W);
    }
    static int64_t strongcomp(int64_t n, const int64_t *Ap, const int64_t *Ai, int64_t *Q,
                              int64_t *P, int64_t *R, int64_t *W) {
        return btf_l_strongcomp(n, const_cast<int64_t *>(Ap), const_cast<int64_t *>(Ai), Q, P,
                                R, W);
    }
    static int64_t order(int64_t n, const int64_t *Ap, const int64_t *Ai, double maxwork,
                         double *work, int64_t *P, int64_t *Q, int64_t *R, int64_t *nmatch,
                         int64_t *W) {
        return btf_l_order(n, const_cast<int64_t *>(Ap), const_cast<int64_t *>(Ai), maxwork,
                           work, P, Q, R, nmatch, W);
    }
};

// The one place where the library's results are read as a status: none of its routines
// documents a failure, and a negative count is reported as one.
void check_result(const char *what, int64_t result) {
    if (result < 0)
        raise(PyExc_ValueError, "%s failed with error code: %lld", what, (long long)result);
}

// A matrix dimension: an integer (through __index__), non-negative and representable in
// the index type of the variant.
template <class I> int64_t dimension(nb::handle obj, const char *name) {
    int64_t n = to_index(obj, name);
    if (n < 0)
        raise(PyExc_ValueError, "%s must be non-negative, got %lld", name, (long long)n);
    if (n >= (int64_t)std::numeric_limits<I>::max())
        raise(PyExc_ValueError, "%s = %lld is too large for %s indices", name, (long long)n,
              elem_name(elem_of<I>()));
    return n;
}

// The pattern of an nrow-by-ncol matrix: Ap holds ncol + 1 pointers that start at 0, never
// decrease and stay within Ai; every row index lies in 0..nrow-1.
template <class I> void check_matrix(const Buffer &Ap, const Buffer &Ai, int64_t nrow,
                                     int64_t ncol) {
    Ap.require_exact_length(ncol + 1, "N + 1 column pointers");
    check_bounds<I>(Ap.data<I>(), ncol, Ai.data<I>(), Ai.size(), nrow);
}

// A column permutation handed to strongcomp: N entries, each a column 0..N-1, or a flagged
// column j written as -j-2 (the form btf returns for unmatched positions). The library
// indexes the column pointers with these values unchecked.
template <class I> void check_qin(const Buffer &q, int64_t N) {
    if (q.size() != N)
        raise(PyExc_ValueError, "qin must have the same lengthas the number of columns in A.");
    const I *x = q.data<I>();
    for (int64_t k = 0; k < N; ++k) {
        const int64_t v = x[k];
        const bool ok = v >= 0 ? v < N : (v <= -2 && -(v + 2) < N);
        if (!ok)
            raise(PyExc_ValueError,
                  "qin[%lld] = %lld is not a column of A: entries must lie in 0..N-1 "
                  "(N = %lld), or be -j-2 for a flagged column j",
                  (long long)k, (long long)v, (long long)N);
    }
}

// The library's workspace, allocated per call. Its entries are "not defined on input or
// output": the library sets every entry before reading it, so it is left uninitialised
// (zero-filling 5 N entries would cost more than the checks of the call). It always has
// at least one entry, because strongcomp writes the first one even when N is 0.
template <class I> class Workspace {
public:
    explicit Workspace(int64_t n) : data_(new I[std::max<int64_t>(n, 1)]) {}
    I *data() { return data_.get(); }

private:
    std::unique_ptr<I[]> data_;
};

// ---------------------------------------------------------------------------------------
// Matching methods

// How the maximum matching is found: the library's depth-first search (fast on most
// matrices, O(N nnz) in the worst case), Hopcroft-Karp (O(sqrt(N) nnz)), Pothen-Fan
// (phases of depth-first searches, retiring columns that can never be matched), or the
// library with a work limit, replaced by Pothen-Fan when the limit is hit.
enum class Method { library, hopcroft_karp, pothen_fan, automatic };

struct MethodName {
    const char *name;
    Method method;
};
const MethodName method_names[] = {
    {"library", Method::library},
    {"hopcroft-karp", Method::hopcroft_karp},
    {"pothen-fan", Method::pothen_fan},
    {"auto", Method::automatic},
};

// The work limit of "auto", in units of nnz(A) (the library's greedy pass not counted):
// past it the library has met a hard matching problem and Pothen-Fan takes over.
// On banded, grid and block triangular matrices with a zero-free diagonal the library
// does no search work at all; on the hard cases it needs 10 to 100 nnz(A) or more,
// while Pothen-Fan needs a few nnz(A): a small limit keeps the library's share of a
// hard case below a tenth of the whole.
constexpr double auto_work_limit = 0.01;

Method method_of(nb::handle obj) {
    if (obj.is_none())
        return Method::library;
    if (PyUnicode_Check(obj.ptr()))
        for (const MethodName &m : method_names)
            if (PyUnicode_CompareWithASCIIString(obj.ptr(), m.name) == 0)
                return m.method;
    nb::str shown = nb::repr(obj);
    raise(PyExc_ValueError,
          "Unknown matching method: %s. Must be one of 'library', 'hopcroft-karp', "
          "'pothen-fan', 'auto'.",
          shown.c_str());
}

// Fills jmatch (M entries) with a maximum matching of the checked M-by-N pattern by a
// method other than the library's plain call; returns the number of matched rows.
template <class I>
int64_t match_by(Method method, int64_t M, int64_t N, const I *Ap, const I *Ai, I *jmatch) {
    if (method == Method::hopcroft_karp)
        return matching::hopcroft_karp<I>(M, N, Ap, Ai, jmatch);
    if (method == Method::pothen_fan)
        return matching::pothen_fan<I>(M, N, Ap, Ai, jmatch);
    // When the limit is hit the library's matching is valid but need not be maximum:
    // every column after that point only got its cheap assignment. Pothen-Fan then
    // starts afresh: its own greedy start serves it better than the library's partial
    // matching.
    Workspace<I> work(5 * N);
    double done = 0.0;
    int64_t nmatch = BtfTraits<I>::maxtrans((I)M, (I)N, Ap, Ai, auto_work_limit, &done, jmatch,
                                            work.data());
    check_result("BTF maxtrans", nmatch);
    if (done < 0 && nmatch < std::min(M, N))
        nmatch = matching::pothen_fan<I>(M, N, Ap, Ai, jmatch);
    return nmatch;
}

// ---------------------------------------------------------------------------------------
// Maximum transversal

template <class I>
void maxtrans_worker(int64_t M, int64_t N, nb::handle Ap_obj, nb::handle Ai_obj, double maxwork,
                     nb::handle jmatch_obj, Method method = Method::library) {
    constexpr Elem E = elem_of<I>();
    Buffer Ap, Ai, jmatch;
    Ap.acquire(Ap_obj, "Ap", false, E);
    Ai.acquire(Ai_obj, "Ai", false, E);
    jmatch.acquire(jmatch_obj, "jmatch", true, E);
    jmatch.require_exact_length(M, "one per row");
    require_disjoint(jmatch, {&Ap, &Ai});
    check_matrix<I>(Ap, Ai, M, N);
    if (method != Method::library) {
        match_by<I>(method, M, N, Ap.data<I>(), Ai.data<I>(), jmatch.data<I>());
        return;
    }

    Workspace<I> work(5 * N);
    double done = 0.0;
    int64_t result = BtfTraits<I>::maxtrans((I)M, (I)N, Ap.data<I>(), Ai.data<I>(), maxwork,
                                            &done, jmatch.data<I>(), work.data());
    check_result("BTF maxtrans", result);
}

void maxtrans_dispatch(nb::handle M_obj, nb::handle N_obj, nb::handle Ap, nb::handle Ai,
                       nb::handle maxwork_obj, nb::handle jmatch, Method method) {
    if (index_variant(Ap) == Elem::i32) {
        int64_t M = dimension<int32_t>(M_obj, "M"), N = dimension<int32_t>(N_obj, "N");
        maxtrans_worker<int32_t>(M, N, Ap, Ai, to_double(maxwork_obj), jmatch, method);
    } else {
        int64_t M = dimension<int64_t>(M_obj, "M"), N = dimension<int64_t>(N_obj, "N");
        maxtrans_worker<int64_t>(M, N, Ap, Ai, to_double(maxwork_obj), jmatch, method);
    }
}

void maxtrans_raw(nb::handle M_obj, nb::handle N_obj, nb::handle Ap, nb::handle Ai,
                  nb::handle maxwork_obj, nb::handle jmatch) {
    maxtrans_dispatch(M_obj, N_obj, Ap, Ai, maxwork_obj, jmatch, Method::library);
}

nb::object maxtrans_entry(nb::handle A_in, nb::handle method_obj) {
    const Method method = method_of(method_obj);
    nb::tuple validated = nb::borrow<nb::tuple>(validate_csc_input(A_in));
    nb::object A = validated[0];
    nb::object itype = validated[2];
    nb::object shape = A.attr("shape");
    int64_t M = to_index(shape[0], "M"), N = to_index(shape[1], "N");
    if (M == 0 || N == 0)
        return np_array(nb::list(), nb::arg("dtype") = itype);
    if (to_index(A.attr("nnz"), "nnz") == 0)
        return np_full(M, -1, nb::arg("dtype") = itype);

    nb::object jmatch = np_zeros(M, nb::arg("dtype") = itype);
    maxtrans_dispatch(nb::int_(M), nb::int_(N), A.attr("indptr"), A.attr("indices"),
                      nb::float_(0.0), jmatch, method);
    return jmatch;
}

// ---------------------------------------------------------------------------------------
// Strongly connected components

template <class I>
int64_t strongcomp_worker(int64_t N, nb::handle Ap_obj, nb::handle Ai_obj, nb::handle q_obj,
                          nb::handle p_obj, nb::handle r_obj) {
    constexpr Elem E = elem_of<I>();
    Buffer Ap, Ai, q, p, r;
    Ap.acquire(Ap_obj, "Ap", false, E);
    Ai.acquire(Ai_obj, "Ai", false, E);
    const bool has_q = !q_obj.is_none();
    if (has_q)
        q.acquire(q_obj, "q", true, E);
    p.acquire(p_obj, "p", true, E);
    r.acquire(r_obj, "r", true, E);
    if (has_q && q.size() != N)
        raise(PyExc_ValueError, "qin must have the same lengthas the number of columns in A.");
    p.require_exact_length(N, "one per row");
    r.require_exact_length(N + 1, "N + 1 block boundaries");
    // p and r are the library's workspace while it reads Ap, Ai and q; q is written last.
    require_disjoint(p, {&Ap, &Ai, &q, &r});
    require_disjoint(r, {&Ap, &Ai, &q});
    require_disjoint(q, {&Ap, &Ai});
    check_matrix<I>(Ap, Ai, N, N);
    if (has_q)
        check_qin<I>(q, N);

    Workspace<I> work(4 * N);
    int64_t nblocks = BtfTraits<I>::strongcomp((I)N, Ap.data<I>(), Ai.data<I>(),
                                               has_q ? q.data<I>() : nullptr, p.data<I>(),
                                               r.data<I>(), work.data());
    check_result("BTF strongcomp", nblocks);
    return nblocks;
}

int64_t strongcomp_raw(nb::handle N_obj, nb::handle Ap, nb::handle Ai, nb::handle q,
                       nb::handle p, nb::handle r) {
    if (index_variant(Ap) == Elem::i32)
        return strongcomp_worker<int32_t>(dimension<int32_t>(N_obj, "N"), Ap, Ai, q, p, r);
    return strongcomp_worker<int64_t>(dimension<int64_t>(N_obj, "N"), Ap, Ai, q, p, r);
}

nb::object strongcomp_entry(nb::handle A_in, nb::handle q_in) {
    nb::dict kw;
    kw["require_square"] = true;
    nb::tuple validated = nb::borrow<nb::tuple>(validate_csc_input.get()(A_in, **kw));
    nb::object A = validated[0];
    nb::object itype = validated[2];
    int64_t N = to_index(A.attr("shape")[0], "N");
    const bool has_q = !q_in.is_none();
    if (N == 0) {
        nb::object p = np_array(nb::list(), nb::arg("dtype") = itype);
        nb::object r = np_zeros(1, nb::arg("dtype") = itype);
        if (has_q)
            return nb::make_tuple(p, np_array(nb::list(), nb::arg("dtype") = itype), r);
        return nb::make_tuple(p, r);
    }
    nb::object q = nb::none();
    if (has_q)
        q = convert_integer_vector(np_ascontiguousarray, q_in, itype,
                                   "qin must be an integer array.");
    if (to_index(A.attr("nnz"), "nnz") == 0) {
        // No edges: every node is a component of its own, in the natural order, and the
        // column permutation stays as given (it is still checked like any other).
        nb::object p = np_arange(N, nb::arg("dtype") = itype);
        nb::object r = np_arange(N + 1, nb::arg("dtype") = itype);
        if (!has_q)
            return nb::make_tuple(p, r);
        Buffer qb;
        qb.acquire(q, "q", false);
        if (qb.elem() == Elem::i32)
            check_qin<int32_t>(qb, N);
        else
            check_qin<int64_t>(qb, N);
        return nb::make_tuple(p, q, r);
    }

    nb::object p = np_zeros(N, nb::arg("dtype") = itype);
    nb::object r = np_zeros(N + 1, nb::arg("dtype") = itype);
    int64_t nblocks = strongcomp_raw(nb::int_(N), A.attr("indptr"), A.attr("indices"), q, p, r);
    r = np_asarray(r[nb::slice(nb::int_(0), nb::int_(nblocks + 1), nb::none())]);
    if (has_q)
        return nb::make_tuple(p, q, r);
    return nb::make_tuple(p, r);
}

// ---------------------------------------------------------------------------------------
// Block triangular form

template <class I>
void btf_worker(int64_t N, nb::handle Ap_obj, nb::handle Ai_obj, double maxwork,
                nb::handle p_obj, nb::handle q_obj, nb::handle r_obj,
                Method method = Method::library) {
    constexpr Elem E = elem_of<I>();
    Buffer Ap, Ai, p, q, r;
    Ap.acquire(Ap_obj, "Ap", false, E);
    Ai.acquire(Ai_obj, "Ai", false, E);
    p.acquire(p_obj, "p", true, E);
    q.acquire(q_obj, "q", true, E);
    r.acquire(r_obj, "r", true, E);
    p.require_exact_length(N, "one per row");
    q.require_exact_length(N, "one per column");
    r.require_exact_length(N + 1, "N + 1 block boundaries");
    require_disjoint(p, {&Ap, &Ai, &q, &r});
    require_disjoint(q, {&Ap, &Ai, &r});
    require_disjoint(r, {&Ap, &Ai});
    check_matrix<I>(Ap, Ai, N, N);
    if (method != Method::library) {
        // The library's ordering with another matching: complete it to a flagged column
        // permutation as the library does, then order the strong components of A[:, q].
        int64_t nmatch = match_by<I>(method, N, N, Ap.data<I>(), Ai.data<I>(), q.data<I>());
        Workspace<I> work(4 * N);
        matching::complete_permutation<I>(N, q.data<I>(), nmatch, work.data());
        check_result("BTF", BtfTraits<I>::strongcomp((I)N, Ap.data<I>(), Ai.data<I>(),
                                                     q.data<I>(), p.data<I>(), r.data<I>(),
                                                     work.data()));
        return;
    }

    Workspace<I> work(5 * N);
    double done = 0.0;
    I nmatch = 0;
    int64_t nblocks = BtfTraits<I>::order((I)N, Ap.data<I>(), Ai.data<I>(), maxwork, &done,
                                          p.data<I>(), q.data<I>(), r.data<I>(), &nmatch,
                                          work.data());
    check_result("BTF", nblocks);
}

void btf_dispatch(nb::handle N_obj, nb::handle Ap, nb::handle Ai, nb::handle maxwork_obj,
                  nb::handle p, nb::handle q, nb::handle r, Method method) {
    if (index_variant(Ap) == Elem::i32)
        btf_worker<int32_t>(dimension<int32_t>(N_obj, "N"), Ap, Ai, to_double(maxwork_obj), p, q,
                            r, method);
    else
        btf_worker<int64_t>(dimension<int64_t>(N_obj, "N"), Ap, Ai, to_double(maxwork_obj), p, q,
                            r, method);
}

void btf_raw(nb::handle N_obj, nb::handle Ap, nb::handle Ai, nb::handle maxwork_obj,
             nb::handle p, nb::handle q, nb::handle r) {
    btf_dispatch(N_obj, Ap, Ai, maxwork_obj, p, q, r, Method::library);
}

nb::object btf_entry(nb::handle A_in, nb::handle method_obj) {
    const Method method = method_of(method_obj);
    nb::dict kw;
    kw["require_square"] = true;
    nb::tuple validated = nb::borrow<nb::tuple>(validate_csc_input.get()(A_in, **kw));
    nb::object A = validated[0];
    nb::object itype = validated[2];
    nb::object shape = A.attr("shape");
    int64_t N = to_index(shape[0], "N");
    (void)to_index(shape[1], "N");
    if (N == 0)
        return nb::make_tuple(np_array(nb::list(), nb::arg("dtype") = itype),
                              np_array(nb::list(), nb::arg("dtype") = itype),
                              np_zeros(1, nb::arg("dtype") = itype));
    if (to_index(A.attr("nnz"), "nnz") == 0) {
        // Every position unmatched (column k flagged at position k), N blocks of one.
        nb::object k = np_arange(N, nb::arg("dtype") = itype);
        return nb::make_tuple(k, -k - nb::int_(2), np_arange(N + 1, nb::arg("dtype") = itype));
    }

    nb::object p = np_zeros(N, nb::arg("dtype") = itype);
    nb::object q = np_zeros(N, nb::arg("dtype") = itype);
    nb::object r = np_zeros(N + 1, nb::arg("dtype") = itype);
    btf_dispatch(nb::int_(N), A.attr("indptr"), A.attr("indices"), nb::float_(0.0), p, q, r,
                 method);
    return nb::make_tuple(p, q, r);
}

// Unflags a column permutation in place: every negative entry x becomes -x - 2.
template <class I> void unflip(I *x, Py_ssize_t n) {
    for (Py_ssize_t k = 0; k < n; ++k)
        if (x[k] < 0)
            x[k] = -(x[k] + 2);  // -x - 2 without overflow at the type's minimum
}

nb::object btf_q_permutation_entry(nb::handle q_in) {
    nb::object q = np_asarray(q_in);
    if (to_index(q.attr("ndim"), "ndim") != 1)
        raise(PyExc_ValueError, "Input must be a 1D array.");
    // The common case, a writable contiguous int32/int64 vector, is done in one pass here;
    // any other array goes through NumPy's own indexing, with its own rules and errors.
    Buffer b;
    const int flags = PyBUF_FORMAT | PyBUF_STRIDES | PyBUF_WRITABLE;
    Py_buffer probe;
    bool direct = false;
    if (PyObject_GetBuffer(q.ptr(), &probe, flags) == 0) {
        direct = probe.ndim == 1 && (probe.shape[0] < 2 || probe.strides[0] == probe.itemsize);
        Elem e = elem_from_format(probe.format, probe.itemsize);
        direct = direct && (e == Elem::i32 || e == Elem::i64) && is_aligned(probe.buf, e);
        PyBuffer_Release(&probe);
    } else {
        PyErr_Clear();
    }
    if (direct) {
        b.acquire(q, "q", true);
        if (b.elem() == Elem::i32)
            unflip(b.data<int32_t>(), b.size());
        else
            unflip(b.data<int64_t>(), b.size());
        return q;
    }
    nb::object idx = nb::steal(PyObject_RichCompare(q.ptr(), nb::int_(0).ptr(), Py_LT));
    check_python(idx.is_valid());
    nb::object flagged = q[idx];
    q[idx] = -flagged - nb::int_(2);
    return q;
}

// ---------------------------------------------------------------------------------------
// Docstrings

const char *maxtrans_doc = R"(Maximum transversal: match rows to columns through the nonzeros of A.

Finds a matching of as many rows as possible to distinct columns such that every
matched pair ``(i, jmatch[i])`` is a stored entry of `A`. The number of matched
rows is the structural rank of `A`. When `A` is square and structurally
nonsingular, `jmatch` is a column permutation that gives ``A[:, jmatch]`` a
zero-free diagonal.

Parameters
----------
A : (M, N) array_like or sparse matrix
    The matrix; only its pattern is read (explicitly stored zeros count as
    entries). It may be rectangular. Any SciPy sparse format or dense
    array-like is accepted (non-CSC input is converted with a
    ``SparseEfficiencyWarning``).
method : {"library", "hopcroft-karp", "pothen-fan", "auto"}, optional, keyword only
    How the matching is found. "library" (the default; None means the
    same): the library's depth-first search, fastest on most matrices but
    O(N nnz(A)) in the worst case, which random structurally singular
    matrices and matrices whose matching is far from the diagonal meet.
    "hopcroft-karp": Hopcroft and Karp's algorithm, O(sqrt(M + N) nnz(A))
    in the worst case. "pothen-fan": Pothen and Fan's phases of depth-first
    searches with lookahead, which retire the columns that can never be
    matched and search from the unmatched rows once few paths remain;
    O(N nnz(A)) in the worst case but usually the fastest on the hard
    matrices. "auto": the library with a work limit of nnz(A) / 100 (its
    greedy pass not counted); when the limit is hit, "pothen-fan" computes
    the matching instead. Every method returns a maximum matching
    (the same number of matched rows); which one may differ. "auto" returns
    the library's matching whenever the library finishes within the limit.

Returns
-------
jmatch : (M,) ndarray
    ``jmatch[i] = j`` when row i is matched with column j (then ``A[i, j]`` is
    nonzero), and -1 when row i is unmatched. Of the index type of the
    validated matrix (int32 or int64). Empty when M or N is 0.

Raises
------
ValueError
    If `A` cannot be converted, `method` is not one of the names above, or
    the library reports a failure.

Notes
-----
The library's description of its result: "If row i is matched with column j,
then A(i,j) is nonzero, and then Match[i] = j. If the matrix is structurally
nonsingular, all entries in the Match array are unique, and Match can be viewed
as a column permutation if A is square." The library's matching is found by depth-first
search for augmenting paths with cheap assignment (Duff's algorithm), without a
work limit. Which maximum matching is returned is the library's choice.

With a work limit the library's matching is valid (every pair a stored entry,
no column used twice) but need not be maximum: once the limit is reached,
each remaining column only gets a row that is still unmatched in its own
entries. "auto" therefore does not return such a matching: it starts over
with Pothen-Fan.

Examples
--------
>>> import numpy as np
>>> import scipy.sparse as sp
>>> from ferrow.btf import maxtrans
>>> A = sp.csc_array(np.array([[0., 1., 0.],
...                            [1., 0., 0.],
...                            [0., 1., 1.]]))
>>> jmatch = maxtrans(A)
>>> jmatch.tolist()
[1, 0, 2]
>>> A[:, jmatch].diagonal().tolist()
[1.0, 1.0, 1.0]
)";

const char *maxtrans_raw_doc = R"(Call the library's maximum transversal on raw arrays.

Parameters
----------
M, N : int
    Number of rows and columns.
Ap : (N+1,) ndarray of int32 or int64
    Column pointers; their element type selects ``btf_maxtrans`` or
    ``btf_l_maxtrans``.
Ai : (nnz,) ndarray
    Row indices, of the same type as `Ap`, each in ``0 .. M-1``.
maxwork : float
    Work limit in units of nnz(A); 0 or less means no limit.
jmatch : (M,) ndarray
    Receives the matching; same type as `Ap`.
)";

const char *strongcomp_doc = R"(Strongly connected components of the graph of a square sparse matrix.

Finds a symmetric permutation `p` such that ``A[p][:, p]`` is block upper
triangular, each diagonal block being one strongly connected component of the
directed graph of `A` (an edge j -> i for every entry ``A[i, j]``; the diagonal
is ignored). Given a column permutation `q`, works on ``A[:, q]`` instead and
returns the updated `q` such that ``A[p][:, q]`` is block upper triangular.

Parameters
----------
A : (N, N) array_like or sparse matrix
    Square matrix; only its pattern is read. Any SciPy sparse format or dense
    array-like is accepted (non-CSC input is converted with a
    ``SparseEfficiencyWarning``).
q : (N,) array_like of int, optional
    Column permutation, for example the matching of :func:`maxtrans`. Entries
    may be flagged as ``-j - 2`` for a column j, as :func:`btf` returns them;
    the flags are kept. When `q` already is a contiguous array of the index
    type it is updated in place and returned; otherwise a converted copy is.

Returns
-------
p : (N,) ndarray
    The row permutation (and, without `q`, the column permutation).
q : (N,) ndarray
    The updated column permutation; only when `q` was given.
r : (nblocks + 1,) ndarray
    Block boundaries: block b covers rows and columns ``r[b]`` to
    ``r[b+1] - 1`` of the permuted matrix; ``r[0]`` is 0 and ``r[-1]`` is N.
    All results are of the index type of the validated matrix.

Raises
------
ValueError
    If `A` is not square or cannot be converted, `q` does not have N entries
    or holds an entry that is not a column of `A`, or the library reports a
    failure.
TypeError
    If `q` is not an integer array.

Notes
-----
The library's description of its result: "P [k] = j if row and column j are kth
row/col in permuted matrix"; "block b is in rows/cols R[b] ... R[b+1]-1". The
nodes of each block keep their natural order, so a matrix that is one block
gets the identity permutation. The components are found with Tarjan's
algorithm (a non-recursive depth-first search).

Examples
--------
>>> import numpy as np
>>> import scipy.sparse as sp
>>> from ferrow.btf import strongcomp
>>> A = sp.csc_array(np.array([[1., 0., 0.],
...                            [1., 1., 1.],
...                            [0., 1., 1.]]))
>>> p, r = strongcomp(A)
>>> p.tolist(), r.tolist()
([1, 2, 0], [0, 2, 3])
>>> A[p][:, p].toarray()
array([[1., 1., 1.],
       [1., 1., 0.],
       [0., 0., 1.]])
)";

const char *strongcomp_raw_doc = R"(Call the library's strongly connected components on raw arrays.

Parameters
----------
N : int
    Order of the matrix.
Ap : (N+1,) ndarray of int32 or int64
    Column pointers; their element type selects ``btf_strongcomp`` or
    ``btf_l_strongcomp``.
Ai : (nnz,) ndarray
    Row indices, of the same type as `Ap`, each in ``0 .. N-1``.
q : (N,) ndarray or None
    Column permutation, updated in place; entries are columns ``0 .. N-1`` or
    flagged columns ``-j - 2``.
p : (N,) ndarray
    Receives the permutation.
r : (N+1,) ndarray
    Receives the block boundaries in its first nblocks + 1 entries.

Returns
-------
nblocks : int
    The number of strongly connected components.
)";

const char *btf_doc = R"(Block upper triangular form of a square sparse matrix.

Finds a row permutation `p` and a column permutation `q` such that
``A[p][:, btf_q_permutation(q)]`` is block upper triangular with a zero-free
diagonal, or with as many diagonal nonzeros as possible when `A` is
structurally singular. The library computes a maximum matching
(:func:`maxtrans`), completes it to a column permutation, flagging the
unmatched positions, and finds the strongly connected components
(:func:`strongcomp`) of the matched matrix.

Parameters
----------
A : (N, N) array_like or sparse matrix
    Square matrix; only its pattern is read. Any SciPy sparse format or dense
    array-like is accepted (non-CSC input is converted with a
    ``SparseEfficiencyWarning``).
method : {"library", "hopcroft-karp", "pothen-fan", "auto"}, optional, keyword only
    The matching method, as for :func:`maxtrans`. "library" (the default;
    None means the same) is the library's complete ordering. With the
    others the matching is completed to a column permutation as the library
    does (unmatched rows, in increasing order, take the unmatched columns in
    increasing order, flagged) and the library's strongly connected
    components of the matched matrix give `p`, `q` and `r`. For a
    structurally nonsingular `A` every method finds the same blocks (the
    fine block triangular form is unique up to the order of independent
    blocks), though not necessarily in the same order; "auto" returns the
    library's result whenever its matching finishes within the work limit.

Returns
-------
p : (N,) ndarray
    The row permutation.
q : (N,) ndarray
    The column permutation with flags: ``q[k] >= 0`` is the column placed at
    position k; ``q[k] < 0`` marks position k as unmatched (the diagonal entry
    there is structurally zero), and the column is ``-q[k] - 2``. Use
    :func:`btf_q_permutation` for the plain permutation.
r : (N+1,) ndarray
    Its first nblocks + 1 entries are the block boundaries, strictly increasing
    from ``r[0] = 0`` to ``r[nblocks] = N``; block b covers rows and columns
    ``r[b]`` to ``r[b+1] - 1``. The entries after the one equal to N are
    left as the library wrote them. All results are of the index type of the
    validated matrix.

Raises
------
ValueError
    If `A` is not square or cannot be converted, `method` is not one of the
    names above, or the library reports a failure.

Notes
-----
The library's description of its result: "i = P[k] if row i of A is the kth row
of P*A*Q, and j = BTF_UNFLIP(Q[k]) if column j of A is the kth column of P*A*Q.
If Q[k] < 0, then the (k,k)th entry in P*A*Q is structurally zero." The number
of nonnegative entries of `q` is the structural rank of `A`.

Examples
--------
>>> import numpy as np
>>> import scipy.sparse as sp
>>> from ferrow.btf import btf, btf_q_permutation
>>> A = sp.csc_array(np.array([[0., 1., 1.],
...                            [1., 0., 0.],
...                            [0., 0., 1.]]))
>>> p, q, r = btf(A)
>>> nblocks = int(np.flatnonzero(r == 3)[0])
>>> nblocks, r[:nblocks + 1].tolist()
(3, [0, 1, 2, 3])
>>> B = A[p][:, btf_q_permutation(q)].toarray()
>>> bool(np.all(np.tril(B, -1) == 0)), bool(np.all(B.diagonal() != 0))
(True, True)
)";

const char *btf_raw_doc = R"(Call the library's block triangular ordering on raw arrays.

Parameters
----------
N : int
    Order of the matrix.
Ap : (N+1,) ndarray of int32 or int64
    Column pointers; their element type selects ``btf_order`` or
    ``btf_l_order``.
Ai : (nnz,) ndarray
    Row indices, of the same type as `Ap`, each in ``0 .. N-1``.
maxwork : float
    Work limit of the matching in units of nnz(A); 0 or less means no limit.
p, q : (N,) ndarray
    Receive the row and the flagged column permutation.
r : (N+1,) ndarray
    Receives the block boundaries.
)";

const char *btf_q_permutation_doc = R"(Turn the flagged column permutation of :func:`btf` into a plain one.

Parameters
----------
q : (N,) array_like of int
    Column permutation in which ``q[k] < 0`` flags column ``-q[k] - 2``.

Returns
-------
q : (N,) ndarray
    The permutation with every negative entry x replaced by ``-x - 2``. An
    array argument is modified in place and returned (the same object); any
    other argument is converted to a new array. The element type is kept.

Raises
------
ValueError
    If `q` is not one-dimensional.

Examples
--------
>>> import numpy as np
>>> from ferrow.btf import btf_q_permutation
>>> btf_q_permutation(np.array([0, 1, 2, -5, 10])).tolist()
[0, 1, 2, 3, 10]
)";

const char *module_doc = R"(Block triangular form (BTF) of sparse matrices (:mod:`ferrow.btf`)

Interface
---------
maxtrans           -- maximum transversal: a row-to-column matching
strongcomp         -- strongly connected components: a block triangular symmetric permutation
btf                -- block upper triangular form with a zero-free diagonal
btf_q_permutation  -- unflag the column permutation that btf returns
)";

}  // namespace

FERROW_MODULE(btf, m) {
    static const char *all[] = {"maxtrans", "strongcomp", "btf", "btf_q_permutation"};
    init_module_frame(m, module_doc,
                      {{&np_array, "array"},
                       {&np_arange, "arange"},
                       {&np_zeros, "zeros"},
                       {&np_full, "full"},
                       {&np_asarray, "asarray"},
                       {&np_ascontiguousarray, "ascontiguousarray"}},
                      false, validate_csc_input, all, 4);

    // Every argument accepts None, so that None meets the module's own checks.
    // The signatures users' tools show (help(), inspect.signature), as in the stub.
#define FERROW_BTF_METHOD "method: Literal['library', 'hopcroft-karp', 'pothen-fan', 'auto'] | None"
    m.def("maxtrans", &maxtrans_entry,
          nb::sig("def maxtrans(A: Any, *, " FERROW_BTF_METHOD " = 'library') -> "
                  "NDArray[np.integer]"),
          nb::arg("A").none(), nb::kw_only(),
          nb::arg("method").none() = "library", maxtrans_doc);
    m.def("_maxtrans", &maxtrans_raw, nb::arg("M").none(), nb::arg("N").none(),
          nb::arg("Ap").none(), nb::arg("Ai").none(), nb::arg("maxwork").none(),
          nb::arg("jmatch").none(), maxtrans_raw_doc);
    m.def("strongcomp", &strongcomp_entry,
          nb::sig("def strongcomp(A: Any, q: ArrayLike | None = None) -> "
                  "tuple[NDArray[np.integer], NDArray[np.integer]] | "
                  "tuple[NDArray[np.integer], NDArray[np.integer], NDArray[np.integer]]"),
          nb::arg("A").none(), nb::arg("q").none() = nb::none(),
          strongcomp_doc);
    m.def("_strongcomp", &strongcomp_raw, nb::arg("N").none(), nb::arg("Ap").none(),
          nb::arg("Ai").none(), nb::arg("q").none(), nb::arg("p").none(), nb::arg("r").none(),
          strongcomp_raw_doc);
    m.def("btf", &btf_entry,
          nb::sig("def btf(A: Any, *, " FERROW_BTF_METHOD " = 'library') -> "
                  "tuple[NDArray[np.integer], NDArray[np.integer], NDArray[np.integer]]"),
          nb::arg("A").none(), nb::kw_only(),
          nb::arg("method").none() = "library", btf_doc);
    m.def("_btf", &btf_raw, nb::arg("N").none(), nb::arg("Ap").none(), nb::arg("Ai").none(),
          nb::arg("maxwork").none(), nb::arg("p").none(), nb::arg("q").none(),
          nb::arg("r").none(), btf_raw_doc);
    m.def("btf_q_permutation", &btf_q_permutation_entry,
          nb::sig("def btf_q_permutation(q: ArrayLike) -> NDArray[Any]"), nb::arg("q").none(),
          btf_q_permutation_doc);
#undef FERROW_BTF_METHOD
}
