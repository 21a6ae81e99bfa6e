// One O(nnz) pass over a compressed sparse column pattern.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "errors.hpp"

namespace ferrow {

enum class Pattern {
    canonical,  // row indices strictly increasing within every column
    jumbled,    // valid, but some column is unsorted or holds duplicates
};

// The column-by-column pass: finds the first fault and names it (ValueError).
template <class I>
Pattern check_pattern_by_column(const I *Ap, int64_t ncol, const I *Ai, int64_t ai_len,
                                int64_t nrow) {
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

// One pass over Ai[0 .. nnz-1] without data-dependent branches, which the compiler
// vectorises even for the baseline instruction set (32-bit indices): whether some index
// lies outside 0 .. nrow-1, and the number of "descents", places k > 0 where Ai[k] does
// not exceed Ai[k-1]. The counts are kept in I-wide blocks so that they vectorise too.
template <class I> bool scan_row_indices(const I *Ai, int64_t nnz, int64_t nrow, int64_t *descents) {
    using U = std::make_unsigned_t<I>;
    constexpr int64_t imax = (int64_t)std::numeric_limits<I>::max();
    const bool capped = nrow > imax;  // then no index of type I reaches nrow
    const I hi = capped ? (I)imax : (I)std::max<int64_t>(nrow, 0);
    I outside = 0;
    int64_t total = 0;
    if (nnz > 0)
        outside |= (I)((Ai[0] < 0) | ((Ai[0] >= hi) & !capped));
    for (int64_t k0 = 1; k0 < nnz; k0 += (int64_t)1 << 24) {
        const int64_t k1 = std::min<int64_t>(nnz, k0 + ((int64_t)1 << 24));
        U d = 0;
        for (int64_t k = k0; k < k1; ++k) {
            const I x = Ai[k];
            d += (U)(x <= Ai[k - 1]);
            outside |= (I)((x < 0) | ((x >= hi) & !capped));
        }
        total += (int64_t)d;
    }
    *descents = total;
    return outside == 0;
}

// Checks that Ap (ncol + 1 pointers) starts at 0, never decreases and ends at most at
// `ai_len`, and that every row index Ai[Ap[0] .. Ap[ncol]-1] lies in 0 .. nrow-1.
// Raises ValueError otherwise. Reads nothing outside Ap[0..ncol] and Ai[0..ai_len-1].
//
// Near memory speed: one loop over the pointers and one over all row indices at once
// (scan_row_indices). A column is sorted without duplicates exactly when its only descent
// is at its start, so the pattern is canonical when all descents lie at column starts; the
// pointer loop counts those. A fault is found and named by the column-by-column pass.
template <class I>
Pattern check_pattern(const I *Ap, int64_t ncol, const I *Ai, int64_t ai_len, int64_t nrow) {
    if (Ap[0] != 0 || (int64_t)Ap[ncol] > ai_len)
        return check_pattern_by_column<I>(Ap, ncol, Ai, ai_len, nrow);
    const I nnz = Ap[ncol];
    bool decreasing = false;
    int64_t at_starts = 0;
    for (int64_t j = 0; j < ncol; ++j) {
        const I p1 = Ap[j], p2 = Ap[j + 1];
        decreasing |= p2 < p1;
        // p1 < nnz keeps the read inside Ai while the pointers are not yet known to be valid
        if (p1 > 0 && p1 < p2 && p1 < nnz)
            at_starts += Ai[p1] <= Ai[p1 - 1];
    }
    int64_t descents = 0;
    if (decreasing || !scan_row_indices<I>(Ai, (int64_t)nnz, nrow, &descents))
        return check_pattern_by_column<I>(Ap, ncol, Ai, ai_len, nrow);
    return descents == at_starts ? Pattern::canonical : Pattern::jumbled;
}

// The conditions of check_pattern without its sortedness test, for callers that accept
// unsorted columns and duplicates: branch-free loops that the compiler vectorises, so the
// pass runs at memory speed. On a fault it lets
// check_pattern_by_column find and name it (and raise ValueError).
template <class I>
void check_bounds(const I *Ap, int64_t ncol, const I *Ai, int64_t ai_len, int64_t nrow) {
    bool bad = Ap[0] != 0 || (int64_t)Ap[ncol] > ai_len;
    if (!bad) {
        bool decreasing = false;
        for (int64_t j = 0; j < ncol; ++j)
            decreasing |= Ap[j + 1] < Ap[j];
        bad = decreasing;
    }
    // With pointers from 0 that never decrease, Ai[0 .. Ap[ncol]-1] is all they cover.
    int64_t descents;
    if (!bad)
        bad = !scan_row_indices<I>(Ai, (int64_t)Ap[ncol], nrow, &descents);
    if (bad) {
        check_pattern_by_column<I>(Ap, ncol, Ai, ai_len, nrow);
        raise(PyExc_ValueError, "invalid sparse pattern");  // not reached: the conditions agree
    }
}

}  // namespace ferrow
