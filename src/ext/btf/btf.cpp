// ferrow.btf: maximum transversal, strongly connected components and block triangular
// form of sparse matrices (SuiteSparse BTF).
//
// The binding layer: it binds the arguments, validates the matrix once, answers trivial
// shapes, allocates the results and checks every buffer the library will read or write,
// then runs the worker (btf/btf_worker.hpp) and turns its status into an exception.
//
// The BTF routines validate nothing: a column pointer or row index out of range, a column
// permutation entry outside 0..N-1 or an array that is too short makes them read and write
// outside their arrays. The underscore workers are callable from Python with raw buffers,
// so they check every buffer and the whole pattern (one O(nnz) pass) before the library
// sees it.
#include <nanobind/nanobind.h>

#include <algorithm>

#include <cstdint>
#include <limits>

#include "btf/btf_worker.hpp"
#include "common/buffers.hpp"
#include "common/csc_input.hpp"
#include "common/dispatch.hpp"
#include "common/module_def.hpp"
#include "common/pattern.hpp"
#include "common/pyobj.hpp"
#include "common/threads.hpp"

namespace nb = nanobind;
using namespace ferrow;
using btf_work::Method;

namespace {

Held np_array, np_arange, np_empty, np_zeros, np_full, np_asarray, np_ascontiguousarray;
Held np_int32, np_int64;
Held validate_csc_input;  // published on the module; the calls validate in C++

// The one place where a worker's status becomes an exception: none of the library's
// routines documents a failure, and a negative count is reported as one.
void check_status(const char *what, const btf_work::Result &result) {
    switch (result.status) {
        case btf_work::Status::ok:
            return;
        case btf_work::Status::out_of_memory:
            raise(PyExc_MemoryError, "%s: out of memory", what);
        case btf_work::Status::failed:
            break;
    }
    raise(PyExc_ValueError, "%s failed with error code: %lld", what, (long long)result.value);
}

// With the thread switch on, a call releases the interpreter lock around the library
// only when its matrix has at least this many columns plus entries. Releasing and
// retaking the lock costs about 0.1 us when no other thread wants it (below the noise of
// a 2 us call), but gives another thread nothing to do in the 0.1 to 1 us of library
// work of a smaller matrix, and when another thread does take the lock the caller waits
// for it to come back; from here on the library's work is a few microseconds and more.
constexpr int64_t release_min_size = 256;

template <class I> bool releasing(const CscPattern<I> &A) {
    return A.ncol + A.nnz() >= release_min_size && release_gil_enabled();
}

// A matrix dimension must be representable in the index type of the variant.
template <class I> void require_fits(int64_t n, const char *name) {
    if (n < 0)
        raise(PyExc_ValueError, "%s must be non-negative, got %lld", name, (long long)n);
    if (n >= (int64_t)std::numeric_limits<I>::max())
        raise(PyExc_ValueError, "%s = %lld is too large for %s indices", name, (long long)n,
              elem_name(elem_of<I>()));
}

// A dimension given as an argument: an integer (through __index__) that fits.
template <class I> int64_t dimension(nb::handle obj, const char *name) {
    const int64_t n = to_index(obj, name);
    require_fits<I>(n, name);
    return n;
}

// The dtype of the results: the index type of the validated matrix.
nb::handle index_dtype(const CscInput &in) {
    return in.int32() ? np_int32.get() : np_int64.get();
}

// The pattern of an nrow-by-ncol matrix given as raw buffers: Ap holds ncol + 1 pointers
// that start at 0, never decrease and stay within Ai; every row index lies in 0..nrow-1.
template <class I>
CscPattern<I> checked_pattern(const Buffer &Ap, const Buffer &Ai, int64_t nrow, int64_t ncol) {
    Ap.require_exact_length(ncol + 1, "N + 1 column pointers");
    check_bounds<I>(Ap.data<I>(), ncol, Ai.data<I>(), Ai.size(), nrow);
    return CscPattern<I>{nrow, ncol, Ap.data<I>(), Ai.data<I>()};
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

// ---------------------------------------------------------------------------------------
// Matching methods

struct MethodName {
    const char *name;
    Method method;
};
const MethodName method_names[] = {
    {"library", Method::library},
    {"hopcroft-karp", Method::hopcroft_karp},
    {"pothen-fan", Method::pothen_fan},
    {"push-relabel", Method::push_relabel},
    {"auto", Method::automatic},
};

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
          "'pothen-fan', 'push-relabel', 'auto'.",
          shown.c_str());
}

// ---------------------------------------------------------------------------------------
// The three library calls on checked views: each checks its outputs against the matrix
// and the inputs, runs the worker (without the interpreter lock when the switch says so)
// and translates its status. Ap and Ai are the buffers of A's arrays.

template <class I>
void maxtrans_call(const Buffer &Ap, const Buffer &Ai, const CscPattern<I> &A, double maxwork,
                   Method method, const Buffer &jmatch) {
    jmatch.require_exact_length(A.nrow, "one per row");
    require_disjoint(jmatch, {&Ap, &Ai});
    btf_work::Result result;
    {
        LibraryCall scope(releasing(A));
        result = btf_work::maxtrans<I>(A, maxwork, method, jmatch.data<I>());
    }
    check_status("BTF maxtrans", result);
}

// q is held only when a column permutation is given. Returns the number of blocks.
template <class I>
int64_t strongcomp_call(const Buffer &Ap, const Buffer &Ai, const CscPattern<I> &A, bool has_q,
                        const Buffer &q, const Buffer &p, const Buffer &r) {
    const int64_t N = A.ncol;
    if (has_q && q.size() != N)
        raise(PyExc_ValueError, "qin must have the same lengthas the number of columns in A.");
    p.require_exact_length(N, "one per row");
    r.require_exact_length(N + 1, "N + 1 block boundaries");
    // p and r are the library's workspace while it reads Ap, Ai and q; q is written last.
    require_disjoint(p, {&Ap, &Ai, &q, &r});
    require_disjoint(r, {&Ap, &Ai, &q});
    require_disjoint(q, {&Ap, &Ai});
    if (has_q)
        check_qin<I>(q, N);
    btf_work::Result result;
    {
        LibraryCall scope(releasing(A));
        result = btf_work::strongcomp<I>(A, has_q ? q.data<I>() : nullptr, p.data<I>(),
                                         r.data<I>());
    }
    check_status("BTF strongcomp", result);
    return result.value;
}

template <class I>
void btf_call(const Buffer &Ap, const Buffer &Ai, const CscPattern<I> &A, double maxwork,
              Method method, const Buffer &p, const Buffer &q, const Buffer &r) {
    const int64_t N = A.ncol;
    p.require_exact_length(N, "one per row");
    q.require_exact_length(N, "one per column");
    r.require_exact_length(N + 1, "N + 1 block boundaries");
    require_disjoint(p, {&Ap, &Ai, &q, &r});
    require_disjoint(q, {&Ap, &Ai, &r});
    require_disjoint(r, {&Ap, &Ai});
    btf_work::Result result;
    {
        LibraryCall scope(releasing(A));
        result = btf_work::block_triangular<I>(A, maxwork, method, p.data<I>(), q.data<I>(),
                                               r.data<I>());
    }
    check_status("BTF", result);
}

// ---------------------------------------------------------------------------------------
// Maximum transversal

nb::object maxtrans_entry(nb::handle A_in, nb::handle method_obj) {
    const Method method = method_of(method_obj);
    CscInput in;
    validate_csc(A_in, false, in, false);
    const nb::handle itype = index_dtype(in);
    if (in.nrow == 0 || in.ncol == 0)
        return np_array(nb::list(), nb::arg("dtype") = itype);
    if (in.nnz() == 0)
        return np_full(in.nrow, -1, nb::arg("dtype") = itype);

    nb::object jmatch = np_empty(in.nrow, nb::arg("dtype") = itype);
    Buffer out;
    out.acquire(jmatch, "jmatch", true);
    dispatch_index(in.index(), [&](auto tag) {
        using I = decltype(tag);
        const CscPattern<I> A = in.pattern<I>();
        require_fits<I>(A.nrow, "M");
        require_fits<I>(A.ncol, "N");
        maxtrans_call<I>(in.p, in.i, A, 0.0, method, out);
    });
    return jmatch;
}

void maxtrans_raw(nb::handle M_obj, nb::handle N_obj, nb::handle Ap_obj, nb::handle Ai_obj,
                  nb::handle maxwork_obj, nb::handle jmatch_obj) {
    dispatch_index(index_variant(Ap_obj), [&](auto tag) {
        using I = decltype(tag);
        constexpr Elem E = elem_of<I>();
        const int64_t M = dimension<I>(M_obj, "M"), N = dimension<I>(N_obj, "N");
        const double maxwork = to_double(maxwork_obj);
        Buffer Ap, Ai, jmatch;
        Ap.acquire(Ap_obj, "Ap", false, E);
        Ai.acquire(Ai_obj, "Ai", false, E);
        jmatch.acquire(jmatch_obj, "jmatch", true, E);
        maxtrans_call<I>(Ap, Ai, checked_pattern<I>(Ap, Ai, M, N), maxwork, Method::library,
                         jmatch);
    });
}

// ---------------------------------------------------------------------------------------
// Strongly connected components

nb::object strongcomp_entry(nb::handle A_in, nb::handle q_in) {
    CscInput in;
    validate_csc(A_in, true, in, false);
    const nb::handle itype = index_dtype(in);
    const int64_t N = in.ncol;
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
    if (in.nnz() == 0) {
        // No edges: every node is a component of its own, in the natural order, and the
        // column permutation stays as given (it is still checked like any other).
        nb::object p = np_arange(N, nb::arg("dtype") = itype);
        nb::object r = np_arange(N + 1, nb::arg("dtype") = itype);
        if (!has_q)
            return nb::make_tuple(p, r);
        Buffer qb;
        qb.acquire(q, "q", false);
        dispatch_index(qb.elem(), [&](auto tag) { check_qin<decltype(tag)>(qb, N); });
        return nb::make_tuple(p, q, r);
    }

    nb::object p = np_empty(N, nb::arg("dtype") = itype);
    nb::object r = np_empty(N + 1, nb::arg("dtype") = itype);
    const int64_t nblocks = dispatch_index(in.index(), [&](auto tag) {
        using I = decltype(tag);
        constexpr Elem E = elem_of<I>();
        require_fits<I>(N, "N");
        Buffer qb, pb, rb;
        if (has_q)
            qb.acquire(q, "q", true, E);
        pb.acquire(p, "p", true, E);
        rb.acquire(r, "r", true, E);
        return strongcomp_call<I>(in.p, in.i, in.pattern<I>(), has_q, qb, pb, rb);
    });
    r = np_asarray(r[nb::slice(nb::int_(0), nb::int_(nblocks + 1), nb::none())]);
    if (has_q)
        return nb::make_tuple(p, q, r);
    return nb::make_tuple(p, r);
}

int64_t strongcomp_raw(nb::handle N_obj, nb::handle Ap_obj, nb::handle Ai_obj, nb::handle q_obj,
                       nb::handle p_obj, nb::handle r_obj) {
    return dispatch_index(index_variant(Ap_obj), [&](auto tag) {
        using I = decltype(tag);
        constexpr Elem E = elem_of<I>();
        const int64_t N = dimension<I>(N_obj, "N");
        Buffer Ap, Ai, q, p, r;
        Ap.acquire(Ap_obj, "Ap", false, E);
        Ai.acquire(Ai_obj, "Ai", false, E);
        const bool has_q = !q_obj.is_none();
        if (has_q)
            q.acquire(q_obj, "q", true, E);
        p.acquire(p_obj, "p", true, E);
        r.acquire(r_obj, "r", true, E);
        return strongcomp_call<I>(Ap, Ai, checked_pattern<I>(Ap, Ai, N, N), has_q, q, p, r);
    });
}

// ---------------------------------------------------------------------------------------
// Block triangular form

nb::object btf_entry(nb::handle A_in, nb::handle method_obj) {
    const Method method = method_of(method_obj);
    CscInput in;
    validate_csc(A_in, true, in, false);
    const nb::handle itype = index_dtype(in);
    const int64_t N = in.ncol;
    if (N == 0)
        return nb::make_tuple(np_array(nb::list(), nb::arg("dtype") = itype),
                              np_array(nb::list(), nb::arg("dtype") = itype),
                              np_zeros(1, nb::arg("dtype") = itype));
    if (in.nnz() == 0) {
        // Every position unmatched (column k flagged at position k), N blocks of one.
        nb::object k = np_arange(N, nb::arg("dtype") = itype);
        return nb::make_tuple(k, -k - nb::int_(2), np_arange(N + 1, nb::arg("dtype") = itype));
    }

    nb::object p = np_empty(N, nb::arg("dtype") = itype);
    nb::object q = np_empty(N, nb::arg("dtype") = itype);
    nb::object r = np_empty(N + 1, nb::arg("dtype") = itype);
    dispatch_index(in.index(), [&](auto tag) {
        using I = decltype(tag);
        constexpr Elem E = elem_of<I>();
        require_fits<I>(N, "N");
        Buffer pb, qb, rb;
        pb.acquire(p, "p", true, E);
        qb.acquire(q, "q", true, E);
        rb.acquire(r, "r", true, E);
        // r keeps its N + 1 entries, zero past the last block boundary. Filled here, with
        // the lock held: NumPy lets other threads run while it zero-fills a large array.
        std::fill(rb.data<I>(), rb.data<I>() + N + 1, I(0));
        btf_call<I>(in.p, in.i, in.pattern<I>(), 0.0, method, pb, qb, rb);
    });
    return nb::make_tuple(p, q, r);
}

void btf_raw(nb::handle N_obj, nb::handle Ap_obj, nb::handle Ai_obj, nb::handle maxwork_obj,
             nb::handle p_obj, nb::handle q_obj, nb::handle r_obj) {
    dispatch_index(index_variant(Ap_obj), [&](auto tag) {
        using I = decltype(tag);
        constexpr Elem E = elem_of<I>();
        const int64_t N = dimension<I>(N_obj, "N");
        const double maxwork = to_double(maxwork_obj);
        Buffer Ap, Ai, p, q, r;
        Ap.acquire(Ap_obj, "Ap", false, E);
        Ai.acquire(Ai_obj, "Ai", false, E);
        p.acquire(p_obj, "p", true, E);
        q.acquire(q_obj, "q", true, E);
        r.acquire(r_obj, "r", true, E);
        btf_call<I>(Ap, Ai, checked_pattern<I>(Ap, Ai, N, N), maxwork, Method::library, p, q, r);
    });
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

// Texts that several docstrings share, joined to them at compile time.
#define BTF_DOC_SQUARE_A                                                                  \
    "A : (N, N) array_like or sparse matrix\n"                                            \
    "    Square matrix; only its pattern is read. Any SciPy sparse format or dense\n"     \
    "    array-like is accepted (non-CSC input is converted with a\n"                     \
    "    ``SparseEfficiencyWarning``).\n"
// The pattern arguments of a raw worker calling btf_<routine>, rows up to `last`.
#define BTF_DOC_RAW_PATTERN(routine, last)                                                \
    "Ap : (N+1,) ndarray of int32 or int64\n"                                             \
    "    Column pointers; their element type selects ``btf_" routine "`` or\n"           \
    "    ``btf_l_" routine "``.\n"                                                       \
    "Ai : (nnz,) ndarray\n"                                                               \
    "    Row indices, of the same type as `Ap`, each in ``0 .. " last "``.\n"

// The start of the docstring of a raw worker of a square matrix.
#define BTF_DOC_RAW_SQUARE(what, routine)                                                 \
    "Call the library's " what " on raw arrays.\n\nParameters\n----------\n"               \
    "N : int\n    Order of the matrix.\n" BTF_DOC_RAW_PATTERN(routine, "N-1")
// The start of the examples of a function that needs `names` from ferrow.btf.
#define BTF_DOC_EXAMPLES(names)                                                           \
    "Examples\n--------\n>>> import numpy as np\n>>> import scipy.sparse as sp\n"           \
    ">>> from ferrow.btf import " names "\n"

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
method : {"library", "hopcroft-karp", "pothen-fan", "push-relabel", "auto"}, optional, keyword only
    How the matching is found. "library" (the default; None means the
    same): the library's depth-first search, fastest on most matrices but
    O(N nnz(A)) in the worst case, which random structurally singular
    matrices and matrices whose matching is far from the diagonal meet.
    "hopcroft-karp": Hopcroft and Karp's algorithm, O(sqrt(M + N) nnz(A))
    in the worst case. "pothen-fan": Pothen and Fan's phases of depth-first
    searches with lookahead, which retire the columns that can never be
    matched and search from the unmatched rows once few paths remain;
    O(N nnz(A)) in the worst case. "push-relabel": Goldberg and Kennedy's
    push-relabel with global relabelling, O(N nnz(A)) in the worst case;
    it follows a long augmenting path step by step where the phased
    methods sweep the whole matrix once per path, so it is the fastest
    where many long paths are needed (block triangular matrices with their
    rows and columns permuted). "auto": the library with a work limit of
    nnz(A) / 100 (its greedy pass not counted); when the limit is hit,
    "push-relabel" computes the matching instead. Every method returns a maximum matching
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
with push-relabel.

)" BTF_DOC_EXAMPLES("maxtrans") R"(>>> A = sp.csc_array(np.array([[0., 1., 0.],
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
)" BTF_DOC_RAW_PATTERN("maxtrans", "M-1") R"(maxwork : float
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
)" BTF_DOC_SQUARE_A R"(q : (N,) array_like of int, optional
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

)" BTF_DOC_EXAMPLES("strongcomp") R"(>>> A = sp.csc_array(np.array([[1., 0., 0.],
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

const char *strongcomp_raw_doc = BTF_DOC_RAW_SQUARE("strongly connected components", "strongcomp") R"(q : (N,) ndarray or None
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
)" BTF_DOC_SQUARE_A R"(method : {"library", "hopcroft-karp", "pothen-fan", "push-relabel", "auto"}, optional, keyword only
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

)" BTF_DOC_EXAMPLES("btf, btf_q_permutation") R"(>>> A = sp.csc_array(np.array([[0., 1., 1.],
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

const char *btf_raw_doc = BTF_DOC_RAW_SQUARE("block triangular ordering", "order") R"(maxwork : float
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
                       {&np_empty, "empty"},
                       {&np_zeros, "zeros"},
                       {&np_full, "full"},
                       {&np_asarray, "asarray"},
                       {&np_ascontiguousarray, "ascontiguousarray"},
                       {&np_int32, "int32"},
                       {&np_int64, "int64"}},
                      false, validate_csc_input, all, 4);
    bind_thread_switch();

    // Every argument accepts None, so that None meets the module's own checks.
    // The signatures users' tools show (help(), inspect.signature), as in the stub.
#define FERROW_BTF_METHOD "method: Literal['library', 'hopcroft-karp', 'pothen-fan', 'push-relabel', 'auto'] | None"
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
