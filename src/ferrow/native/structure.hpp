// One O(nnz) pass over a compressed sparse column pattern.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "errors.hpp"

namespace ferrow {

enum class Pattern {
    canonical,  // row indices strictly increasing within every column
    jumbled,    // valid, but some column is unsorted or holds duplicates
};

// Checks that Ap (ncol + 1 pointers) starts at 0, never decreases and ends at most at
// `ai_len`, and that every row index Ai[Ap[0] .. Ap[ncol]-1] lies in 0 .. nrow-1.
// Raises ValueError otherwise. Reads nothing outside Ap[0..ncol] and Ai[0..ai_len-1].
template <class I>
Pattern check_pattern(const I *Ap, int64_t ncol, const I *Ai, int64_t ai_len, int64_t nrow) {
    if (Ap[0] != 0)
        raise(PyExc_ValueError, "column pointers must start at 0 (indptr[0] is %lld)",
              (long long)Ap[0]);
    if ((int64_t)Ap[ncol] > ai_len)
        raise(PyExc_ValueError,
              "column pointers end at %lld, beyond the %lld stored row indices",
              (long long)Ap[ncol], (long long)ai_len);
    bool sorted = true;
    for (int64_t j = 0; j < ncol; ++j) {
        const I p1 = Ap[j], p2 = Ap[j + 1];
        if (p2 < p1)
            raise(PyExc_ValueError, "column pointers decrease at column %lld (indptr[%lld] > indptr[%lld])",
                  (long long)j, (long long)j, (long long)(j + 1));
        if ((int64_t)p2 > ai_len)
            raise(PyExc_ValueError, "column pointers exceed the %lld stored row indices at column %lld",
                  (long long)ai_len, (long long)j);
        I last = -1;
        for (I p = p1; p < p2; ++p) {
            const I i = Ai[p];
            if (i < 0 || (int64_t)i >= nrow)
                raise(PyExc_ValueError, "row index %lld out of range 0..%lld in column %lld",
                      (long long)i, (long long)(nrow - 1), (long long)j);
            if (i <= last)
                sorted = false;
            last = i;
        }
    }
    return sorted ? Pattern::canonical : Pattern::jumbled;
}

// The conditions of check_pattern without its sortedness test, for callers that accept
// unsorted columns and duplicates: branch-free loops that the compiler vectorises, so the
// pass runs at memory speed. `nrow` must be representable in I. On a fault it lets
// check_pattern find and name it (and raise ValueError).
template <class I>
void check_bounds(const I *Ap, int64_t ncol, const I *Ai, int64_t ai_len, int64_t nrow) {
    using U = std::make_unsigned_t<I>;
    bool bad = Ap[0] != 0 || (int64_t)Ap[ncol] > ai_len;
    if (!bad) {
        bool decreasing = false;
        for (int64_t j = 0; j < ncol; ++j)
            decreasing |= Ap[j + 1] < Ap[j];
        bad = decreasing;
    }
    if (!bad && Ap[ncol] > 0) {
        // With pointers from 0 that never decrease, Ai[0 .. Ap[ncol]-1] is all they cover;
        // a negative index is a huge unsigned one.
        U largest = 0;
        for (int64_t k = 0, nnz = (int64_t)Ap[ncol]; k < nnz; ++k)
            largest = std::max(largest, (U)Ai[k]);
        bad = (uint64_t)largest >= (uint64_t)nrow;
    }
    if (bad) {
        check_pattern<I>(Ap, ncol, Ai, ai_len, nrow);
        raise(PyExc_ValueError, "invalid sparse pattern");  // not reached: the conditions agree
    }
}

}  // namespace ferrow
