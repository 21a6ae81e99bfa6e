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

#include "buffers.hpp"
#include "errors.hpp"

namespace ferrow {

// A given constraint vector has one entry per node or column.
inline void require_constraint_length(int64_t size, bool given, int64_t N) {
    if (given && size != N)
        raise(PyExc_ValueError, "Constraints must have the same length as the matrix size.");
}

// The data of a given constraint vector of N entries, once every value is in 0..N-1 (the
// libraries index their workspaces with them unchecked); null when none is given. A value
// outside raises `error` with `format`, whose three %lld are the value, its position and N.
template <class I>
const I *checked_constraints(const Buffer &C, bool given, int64_t N, PyObject *error,
                             const char *format) {
    if (!given)
        return nullptr;
    const I *c = C.data<I>();
    for (int64_t k = 0; k < N; ++k)
        if (c[k] < 0 || (int64_t)c[k] >= N)
            raise(error, format, (long long)c[k], (long long)k, (long long)N);
    return c;
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
