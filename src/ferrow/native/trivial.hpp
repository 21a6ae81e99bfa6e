// Orderings of trivial problems, answered without calling a library.
//
// A matrix without rows, columns or entries couples no two nodes or columns: every one
// of them is alone. The libraries then order them by constraint set and, within a set,
// in their natural order; so does `order_by_constraints`, which the modules use for such
// matrices (and the identity when there are no constraints). The checks of a constraint
// vector, which every constrained ordering makes before a library or this file reads it,
// are here too.
#pragma once

#include <Python.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "errors.hpp"

namespace ferrow {

// A given constraint vector has one entry per node or column.
inline void require_constraint_length(int64_t size, bool given, int64_t N) {
    if (given && size != N)
        raise(PyExc_ValueError, "Constraints must have the same length as the matrix size.");
}

// The first position of c[0..N-1] whose value is outside 0..N-1, or -1. The libraries
// index their workspaces with the values unchecked, so each module refuses such a vector
// (with its own exception and text).
template <class I> int64_t constraint_out_of_range(const I *c, int64_t N) {
    for (int64_t k = 0; k < N; ++k)
        if (c[k] < 0 || (int64_t)c[k] >= N)
            return k;
    return -1;
}

// p[0..N-1] = 0..N-1 sorted stably by c (values in 0..N-1, checked by the caller);
// the identity when c is null.
template <class I> void order_by_constraints(const I *c, int64_t N, I *p) {
    if (c == nullptr) {
        for (int64_t k = 0; k < N; ++k)
            p[k] = (I)k;
        return;
    }
    std::vector<int64_t> start((size_t)N + 1, 0);  // counting sort by constraint value
    for (int64_t k = 0; k < N; ++k)
        ++start[(size_t)c[k] + 1];
    std::partial_sum(start.begin(), start.end(), start.begin());
    for (int64_t k = 0; k < N; ++k)
        p[start[(size_t)c[k]]++] = (I)k;
}

}  // namespace ferrow
