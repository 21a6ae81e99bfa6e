// The workers of ferrow.btf: plain C++ over typed views of checked arrays.
//
// Nothing here touches a Python object, so the binding may run these without the
// interpreter lock. The caller has checked everything the library trusts: the pattern
// (pointers from 0 that never decrease, row indices in range), the length of every
// output, that no output shares memory with an input, and the entries of a column
// permutation. A worker returns a status; the binding turns it into the exception.
#pragma once

#include <btf.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "btf/matching.hpp"
#include "common/dispatch.hpp"

namespace ferrow::btf_work {

// The library's routines for each index type. They take non-const pointers to arrays
// they only read.
template <class I> struct Routines;
template <> struct Routines<int32_t> {
    static constexpr auto maxtrans = btf_maxtrans;
    static constexpr auto strongcomp = btf_strongcomp;
    static constexpr auto order = btf_order;
};
template <> struct Routines<int64_t> {
    static constexpr auto maxtrans = btf_l_maxtrans;
    static constexpr auto strongcomp = btf_l_strongcomp;
    static constexpr auto order = btf_l_order;
};

// How the maximum matching is found: the library's depth-first search (fast on most
// matrices, O(N nnz) in the worst case), Hopcroft-Karp (O(sqrt(N) nnz)), Pothen-Fan
// (phases of depth-first searches, retiring columns that can never be matched),
// push-relabel (pushes along shortest paths found by global relabelling), or the library
// with a work limit, replaced by push-relabel when the limit is hit.
enum class Method { library, hopcroft_karp, pothen_fan, push_relabel, automatic };

// The work limit of "auto", in units of nnz(A) (the library's greedy pass not counted):
// past it the library has met a hard matching problem and push-relabel takes over.
// On banded, grid and block triangular matrices with a zero-free diagonal the library
// does no search work at all; on the hard cases it needs 10 to 100 nnz(A) or more,
// while push-relabel needs a few nnz(A): a small limit keeps the library's share of a
// hard case below a tenth of the whole.
constexpr double auto_work_limit = 0.01;

enum class Status { ok, failed, out_of_memory };

// What a worker reports: its status and, on success, its count (matched rows or blocks);
// on failure, the library's negative result.
struct Result {
    Status status = Status::ok;
    int64_t value = 0;
};

inline Result library_result(int64_t value) {
    return value < 0 ? Result{Status::failed, value} : Result{Status::ok, value};
}

// The library's workspace. Its entries are "not defined on input or output": the library
// sets every entry before reading it, so it is left uninitialised (zero-filling 5 N
// entries would cost more than the checks of the call). It always has at least one
// entry, because strongcomp writes the first one even when N is 0.
template <class I> std::unique_ptr<I[]> scratch(int64_t n) {
    return std::unique_ptr<I[]>(new I[std::max<int64_t>(n, 1)]);
}

// Runs f() and reports std::bad_alloc as a status.
template <class F> Result guarded(F &&f) {
    try {
        return f();
    } catch (const std::bad_alloc &) {
        return Result{Status::out_of_memory, 0};
    }
}

template <class I> I *mut(const I *p) { return const_cast<I *>(p); }

// A maximum matching of A by the library with a work limit of `maxwork` nnz(A) (0 or less:
// none) into jmatch (A.nrow entries); the count is the number of matched rows.
template <class I> Result library_matching(CscPattern<I> A, double maxwork, I *jmatch) {
    auto work = scratch<I>(5 * A.ncol);
    double done = 0.0;
    return library_result(Routines<I>::maxtrans((I)A.nrow, (I)A.ncol, mut(A.p), mut(A.i), maxwork,
                                                &done, jmatch, work.get()));
}

// A maximum matching by a method other than the library's plain call.
template <class I> Result matching_by(Method method, CscPattern<I> A, I *jmatch) {
    if (method == Method::hopcroft_karp)
        return Result{Status::ok, matching::hopcroft_karp<I>(A.nrow, A.ncol, A.p, A.i, jmatch)};
    if (method == Method::pothen_fan)
        return Result{Status::ok, matching::pothen_fan<I>(A.nrow, A.ncol, A.p, A.i, jmatch)};
    if (method == Method::push_relabel)
        return Result{Status::ok, matching::push_relabel<I>(A.nrow, A.ncol, A.p, A.i, jmatch)};
    // When the limit is hit the library's matching is valid but need not be maximum:
    // every column after that point only got its cheap assignment. Push-relabel then
    // goes on from that matching, which spares it a greedy pass of its own.
    auto work = scratch<I>(5 * A.ncol);
    double done = 0.0;
    Result r = library_result(Routines<I>::maxtrans((I)A.nrow, (I)A.ncol, mut(A.p), mut(A.i),
                                                    auto_work_limit, &done, jmatch, work.get()));
    if (r.status == Status::ok && done < 0 && r.value < std::min(A.nrow, A.ncol))
        r.value = matching::push_relabel<I>(A.nrow, A.ncol, A.p, A.i, jmatch, true);
    return r;
}

// maxtrans: jmatch (A.nrow entries) receives the matching.
template <class I> Result maxtrans(CscPattern<I> A, double maxwork, Method method, I *jmatch) {
    return guarded([&] {
        if (method == Method::library)
            return library_matching<I>(A, maxwork, jmatch);
        return matching_by<I>(method, A, jmatch);
    });
}

// strongcomp of the square A, on A[:, q] when q is given (updated in place); p (N
// entries) and r (N + 1) receive the permutation and the block boundaries; the count is
// the number of blocks.
template <class I> Result strongcomp(CscPattern<I> A, I *q, I *p, I *r) {
    return guarded([&] {
        auto work = scratch<I>(4 * A.ncol);
        return library_result(
            Routines<I>::strongcomp((I)A.ncol, mut(A.p), mut(A.i), q, p, r, work.get()));
    });
}

// btf of the square A: p, q (N entries each) and r (N + 1) receive the row permutation,
// the flagged column permutation and the block boundaries; the count is the number of
// blocks. With a method other than the library's, the matching is completed to a flagged
// column permutation as the library does, then the strong components of A[:, q] order it.
template <class I>
Result block_triangular(CscPattern<I> A, double maxwork, Method method, I *p, I *q, I *r) {
    return guarded([&] {
        const int64_t N = A.ncol;
        if (method == Method::library) {
            auto work = scratch<I>(5 * N);
            double done = 0.0;
            I nmatch = 0;
            return library_result(Routines<I>::order((I)N, mut(A.p), mut(A.i), maxwork, &done, p,
                                                     q, r, &nmatch, work.get()));
        }
        Result m = matching_by<I>(method, A, q);
        if (m.status != Status::ok)
            return m;
        auto work = scratch<I>(4 * N);
        matching::complete_permutation<I>(N, q, m.value, work.get());
        return library_result(
            Routines<I>::strongcomp((I)N, mut(A.p), mut(A.i), q, p, r, work.get()));
    });
}

}  // namespace ferrow::btf_work
