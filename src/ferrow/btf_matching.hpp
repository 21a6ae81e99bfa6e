// Maximum cardinality matching of the bipartite graph of a sparse matrix by
// Hopcroft and Karp's algorithm: O(sqrt(M + N) * nnz) in the worst case, against
// O(N * nnz) for the depth-first augmenting-path search of the BTF library.
//
// A plain worker over typed pointers: the caller has checked the pattern (column
// pointers start at 0, never decrease, row indices in 0..nrow-1). Rows and columns are
// matched through stored entries; the result has the library's form, jmatch[i] = j
// when row i is matched with column j and -1 when row i is unmatched.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>

namespace ferrow::matching {

// Computes a maximum matching of the nrow-by-ncol pattern (Ap, Ai) into jmatch (nrow
// entries, output only), starting from a greedy matching. Returns the number of
// matched rows. Allocates 6 * ncol indices of workspace, and nrow more when nrow > ncol
// (std::bad_alloc when that fails; jmatch may then hold a partial matching).
template <class I>
int64_t hopcroft_karp(int64_t nrow, int64_t ncol, const I *Ap, const I *Ai, I *jmatch) {
    constexpr I none = -1;
    constexpr I unreached = std::numeric_limits<I>::max();
    std::unique_ptr<I[]> space(new I[6 * ncol + 1]);
    I *imatch = space.get();  // imatch[j]: row matched with column j, or -1
    I *dist = imatch + ncol;  // layer of column j in the current phase, or unreached
    I *queue = dist + ncol;   // breadth-first queue; starts with the unmatched columns
    I *next = queue + ncol;   // next entry of column j to try in this phase
    I *path = next + ncol;    // depth-first path of columns
    I *via = path + ncol;     // the row taken out of each column of the path

    int64_t nmatch = 0;
    for (int64_t j = 0; j < ncol; ++j) {
        imatch[j] = none;
        dist[j] = unreached;
    }
    for (int64_t i = 0; i < nrow; ++i)
        jmatch[i] = none;
    // Greedy start: each unmatched column takes, of its unmatched rows, the one with the
    // fewest entries (rows with few entries are the scarce ones). The columns left
    // unmatched (and not empty) start the first breadth-first search. The row counts
    // borrow the path array (not needed before the phases) when it is long enough.
    I *count = path;
    std::unique_ptr<I[]> count_space;
    if (nrow > ncol) {
        count_space.reset(new I[nrow]);
        count = count_space.get();
    }
    for (int64_t i = 0; i < nrow; ++i)
        count[i] = 0;
    for (I p = 0, nz = Ap[ncol]; p < nz; ++p)
        ++count[Ai[p]];
    int64_t nfree = 0;
    for (int64_t j = 0; j < ncol; ++j) {
        I best = none, fewest = unreached;
        for (I p = Ap[j], end = Ap[j + 1]; p < end; ++p) {
            const I i = Ai[p];
            if (jmatch[i] == none && count[i] < fewest) {
                best = i;
                fewest = count[i];
            }
        }
        if (best != none) {
            jmatch[best] = (I)j;
            imatch[j] = best;
            ++nmatch;
        } else if (Ap[j] < Ap[j + 1]) {
            queue[nfree++] = (I)j;
        }
    }

    const int64_t most = nrow < ncol ? nrow : ncol;
    while (nmatch < most && nfree > 0) {
        // Breadth-first search from every unmatched column through matched rows, layer
        // by layer, up to the first layer that reaches an unmatched row (the length of
        // the shortest augmenting paths). Only the columns it reaches are touched.
        int64_t head = 0, tail = nfree;
        for (int64_t k = 0; k < nfree; ++k) {
            dist[queue[k]] = 0;
            next[queue[k]] = Ap[queue[k]];
        }
        I limit = unreached;
        while (head < tail) {
            const I j = queue[head++];
            const I d = dist[j];
            if (d >= limit)
                break;
            for (I p = Ap[j], end = Ap[j + 1]; p < end; ++p) {
                const I j2 = jmatch[Ai[p]];
                if (j2 == none) {
                    limit = d;
                } else if (dist[j2] == unreached && limit == unreached) {
                    dist[j2] = d + 1;
                    next[j2] = Ap[j2];
                    queue[tail++] = j2;
                }
            }
        }
        if (limit == unreached)
            break;  // no augmenting path: the matching is maximum

        // Depth-first search along the layers from each unmatched column for vertex-
        // disjoint shortest augmenting paths. A column whose search fails leaves the
        // layers; next[j] makes every entry be tried at most once per phase.
        for (int64_t s = 0; s < nfree; ++s) {
            I top = 0;
            path[0] = queue[s];
            while (top >= 0) {
                const I j = path[top];
                const I end = Ap[j + 1];
                I p = next[j];
                bool found = false, pushed = false;
                if (dist[j] == limit) {
                    for (; p < end; ++p)
                        if (jmatch[Ai[p]] == none) {
                            found = true;
                            break;
                        }
                } else {
                    const I want = dist[j] + 1;
                    for (; p < end; ++p) {
                        const I j2 = jmatch[Ai[p]];
                        if (j2 != none && dist[j2] == want) {
                            pushed = true;
                            break;
                        }
                    }
                }
                if (found) {
                    // Flip the path: every column on it takes the row it left through.
                    via[top] = Ai[p];
                    next[j] = p + 1;
                    for (I k = top; k >= 0; --k) {
                        jmatch[via[k]] = path[k];
                        imatch[path[k]] = via[k];
                    }
                    ++nmatch;
                    break;
                }
                if (pushed) {
                    via[top] = Ai[p];
                    next[j] = p + 1;
                    path[++top] = jmatch[Ai[p]];
                } else {
                    next[j] = end;
                    dist[j] = unreached;  // a dead end for the rest of the phase
                    --top;
                }
            }
        }
        // Reset the layers and keep the columns that are still unmatched.
        for (int64_t k = 0; k < tail; ++k)
            dist[queue[k]] = unreached;
        int64_t kept = 0;
        for (int64_t k = 0; k < nfree; ++k)
            if (imatch[queue[k]] == none)
                queue[kept++] = queue[k];
        nfree = kept;
    }
    return nmatch;
}

// Completes the matching Q of a square matrix of order n (Q[i] = column of row i, -1
// when unmatched; nmatch rows matched) to a column permutation as the library's block
// triangular ordering does: the unmatched rows, in increasing order, take the unmatched
// columns in increasing order, and each such position is flagged as -j - 2. Work holds
// 2 n indices.
template <class I> void complete_permutation(int64_t n, I *Q, int64_t nmatch, I *Work) {
    if (nmatch >= n)
        return;
    I *list = Work, *used = Work + n;
    for (int64_t j = 0; j < n; ++j)
        used[j] = 0;
    for (int64_t i = 0; i < n; ++i)
        if (Q[i] >= 0)
            used[Q[i]] = 1;
    int64_t nfree = 0;
    for (int64_t j = n - 1; j >= 0; --j)
        if (!used[j])
            list[nfree++] = (I)j;
    for (int64_t i = 0; i < n && nfree > 0; ++i)
        if (Q[i] < 0)
            Q[i] = (I)(-list[--nfree] - 2);
}

}  // namespace ferrow::matching
