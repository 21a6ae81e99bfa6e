// The work of the column orderings COLAMD/CCOLAMD and the symmetric orderings
// SYMAMD/CSYMAMD: plain C++ over typed views, no Python object inside, so that it may
// run without the interpreter lock. The binding (colamd_twin.hpp) checks every array and
// value first and translates the outcome afterwards.
//
// `T` is a traits struct naming the routine pairs of its library (`column`, `symmetric`)
// and whether they take constraints (`constrained`).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/dispatch.hpp"
#include "common/routine_pair.hpp"

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
template <class T, class I>
Outcome column_worker(CscPattern<I> A, int64_t ai_len, I alen, I *perm, double *knobs, I *stats,
                      const I *constraints) noexcept {
    // The libraries declare their constraint arrays non-const but only read them.
    I *cmember = const_cast<I *>(constraints);
    std::unique_ptr<I, FreeDeleter> work(static_cast<I *>(std::calloc((size_t)alen, sizeof(I))));
    if (!work)
        return {0, (int64_t)alen};
    if (ai_len > 0)
        std::memcpy(work.get(), A.i, (size_t)ai_len * sizeof(I));
    std::memmove(perm, A.p, (size_t)(A.ncol + 1) * sizeof(I));
    const auto column = routine<I>(T::column);
    if constexpr (T::constrained)
        return {column((I)A.nrow, (I)A.ncol, alen, work.get(), perm, knobs, stats, cmember)};
    else
        return {column((I)A.nrow, (I)A.ncol, alen, work.get(), perm, knobs, stats)};
}

// Symmetric ordering of the n x n pattern A (its lower triangle) into perm[0 .. n-1]. The
// library only reads A and allocates its own work arrays.
template <class T, class I>
Outcome symmetric_worker(CscPattern<I> A, I *perm, double *knobs, I *stats,
                         const I *constraints) noexcept {
    const auto symmetric = routine<I>(T::symmetric);
    I *Ai = const_cast<I *>(A.i), *Ap = const_cast<I *>(A.p);  // read only
    if constexpr (T::constrained)
        return {symmetric((I)A.ncol, Ai, Ap, perm, knobs, stats, &std::calloc, &std::free,
                          const_cast<I *>(constraints), -1)};  // -1: the lower triangular part
    else
        return {symmetric((I)A.ncol, Ai, Ap, perm, knobs, stats, &std::calloc, &std::free)};
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
