// Orderings of trivial problems, answered without calling a library.
//
// A matrix without rows, columns or entries couples no two nodes or columns: every one
// of them is alone. The libraries then order them by constraint set and, within a set,
// in their natural order; so does `order_by_constraints`, which the modules use for such
// matrices (and the identity when there are no constraints).
#pragma once

#include <cstdint>
#include <numeric>
#include <vector>

namespace ferrow {

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
