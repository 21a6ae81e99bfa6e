// The work of the column orderings COLAMD/CCOLAMD and the symmetric orderings
// SYMAMD/CSYMAMD: plain C++ over typed views, no Python object inside, so that it may
// run without the interpreter lock. The binding (colamd_twin.hpp) checks every array and
// value first and translates the outcome afterwards.
//
// `R` is the routine set of one library and index type I (a traits struct's
// `Routines<I>`): recommended, column and symmetric.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/dispatch.hpp"

namespace ferrow::colamd_twin {

// What a routine left behind: its return value (non-zero: success; the status is in the
// statistics) or, when the work array could not be allocated, its length.
struct Outcome {
    int ok = 0;
    int64_t unallocated = 0;
};

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// Column ordering of the nrow x ncol pattern A into perm[0 .. ncol-1] (perm holds ncol + 1
// entries). The library reorders the row indices in place and uses the rest of its work
// array (alen entries, at least ai_len) as workspace, so it works on a copy of the ai_len
// row indices of A; the column pointers become its output in perm.
template <class R, class I>
Outcome column_worker(CscPattern<I> A, int64_t ai_len, I alen, I *perm, double *knobs, I *stats,
                      const I *constraints) noexcept {
    std::unique_ptr<I, FreeDeleter> work(static_cast<I *>(std::calloc((size_t)alen, sizeof(I))));
    if (!work)
        return {0, (int64_t)alen};
    if (ai_len > 0)
        std::memcpy(work.get(), A.i, (size_t)ai_len * sizeof(I));
    std::memmove(perm, A.p, (size_t)(A.ncol + 1) * sizeof(I));
    return {R::column((I)A.nrow, (I)A.ncol, alen, work.get(), perm, knobs, stats, constraints)};
}

// Symmetric ordering of the n x n pattern A (its lower triangle) into perm[0 .. n-1]. The
// library only reads A and allocates its own work arrays.
template <class R, class I>
Outcome symmetric_worker(CscPattern<I> A, I *perm, double *knobs, I *stats,
                         const I *constraints) noexcept {
    return {R::symmetric((I)A.ncol, const_cast<I *>(A.i), const_cast<I *>(A.p), perm, knobs,
                         stats, &std::calloc, &std::free, constraints)};
}

// The statistics the library reports for a matrix without rows, columns or entries:
// COLAMD and SYMAMD count every row and column as ignored (`counts_empty`), CCOLAMD and
// CSYMAMD only dense ones; info1 and info2 as after any successful ordering, the rest 0.
template <class I> void trivial_stats(int64_t M, int64_t N, bool counts_empty, I *stats) {
    if (counts_empty) {
        stats[0] = (I)M;
        stats[1] = (I)N;
    }
    stats[4] = -1;
    stats[5] = -1;
}

}  // namespace ferrow::colamd_twin
