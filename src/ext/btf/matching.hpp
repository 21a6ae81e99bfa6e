// Maximum cardinality matching of the bipartite graph of a sparse matrix without the
// library's depth-first search: Hopcroft and Karp's algorithm (O(sqrt(M + N) * nnz) in the
// worst case), Pothen and Fan's phases of depth-first searches, and push-relabel with
// global relabelling (both O(N * nnz) in the worst case, like the library's search).
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

// The pattern by rows: rp[0 .. nrow] pointers, rj[0 .. nnz-1] the columns of each row in
// increasing order (a column index once per entry).
template <class I>
void row_pattern(int64_t nrow, int64_t ncol, const I *Ap, const I *Ai, I *rp, I *rj) {
    for (int64_t i = 0; i <= nrow; ++i)
        rp[i] = 0;
    for (I p = 0, nz = Ap[ncol]; p < nz; ++p)
        ++rp[Ai[p] + 1];
    for (int64_t i = 0; i < nrow; ++i)
        rp[i + 1] += rp[i];
    for (int64_t j = 0; j < ncol; ++j)
        for (I p = Ap[j], end = Ap[j + 1]; p < end; ++p)
            rj[rp[Ai[p]]++] = (I)j;
    for (int64_t i = nrow; i > 0; --i)
        rp[i] = rp[i - 1];
    rp[0] = 0;
}

// Greedy start of both matchings: each column takes, of its unmatched rows, the one with
// the fewest entries (rows with few entries are the scarce ones). jmatch and imatch hold
// no match on entry; count is workspace of nrow entries. The columns left unmatched (and
// not empty) go into freecol; returns the number of them and adds the matches to nmatch.
template <class I>
int64_t greedy_start(int64_t nrow, int64_t ncol, const I *Ap, const I *Ai, I *jmatch,
                     I *imatch, I *count, I *freecol, int64_t &nmatch) {
    constexpr I none = -1;
    for (int64_t i = 0; i < nrow; ++i)
        count[i] = 0;
    for (I p = 0, nz = Ap[ncol]; p < nz; ++p)
        ++count[Ai[p]];
    int64_t nfree = 0;
    for (int64_t j = 0; j < ncol; ++j) {
        I best = none, fewest = std::numeric_limits<I>::max();
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
            freecol[nfree++] = (I)j;
        }
    }
    return nfree;
}

// Starts from the matching already in jmatch (each row matched with a column through a
// stored entry, or -1; no column matched twice): fills imatch from it and puts the
// unmatched columns that have entries into freecol. Returns their number; sets nmatch.
template <class I>
int64_t current_start(int64_t nrow, int64_t ncol, const I *Ap, const I *jmatch, I *imatch,
                      I *freecol, int64_t &nmatch) {
    constexpr I none = -1;
    for (int64_t j = 0; j < ncol; ++j)
        imatch[j] = none;
    nmatch = 0;
    for (int64_t i = 0; i < nrow; ++i)
        if (jmatch[i] != none) {
            imatch[jmatch[i]] = (I)i;
            ++nmatch;
        }
    int64_t nfree = 0;
    for (int64_t j = 0; j < ncol; ++j)
        if (imatch[j] == none && Ap[j] < Ap[j + 1])
            freecol[nfree++] = (I)j;
    return nfree;
}

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
    int64_t nfree = greedy_start(nrow, ncol, Ap, Ai, jmatch, imatch, count, queue, nmatch);

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

namespace detail {

// The phases of pothen_fan on one side of the bipartite graph: searches start from the
// unmatched "columns" freecol[0..nfree) of the pattern (Cp, Ci) (ncol columns, nrow
// rows), cmatch[j] is the row of column j and rmatch[i] the column of row i (-1 when
// unmatched). look, pos (ncol each), path, via (ncol each), seen and stamp (nrow each)
// are the workspace; look and stamp must be kept between calls on the same side.
// Returns when the matching is maximum, or (when `yield` is positive) after the first
// phase that augmented along fewer than yield * nfree paths. Updates nfree and nmatch;
// returns true when the matching is maximum.
template <class I>
bool pf_phases(int64_t ncol, const I *Cp, const I *Ci, I *cmatch, I *rmatch, I *freecol,
               int64_t &nfree, int64_t &nmatch, int64_t most, I *look, I *pos, I *path, I *via,
               I *seen, int64_t *stamp, int64_t &search, int64_t &phase, double yield) {
    constexpr I none = -1;
    constexpr int64_t dead = std::numeric_limits<int64_t>::max();
    (void)ncol;
    for (; nmatch < most && nfree > 0; ++phase) {
        const bool forward = (phase % 2) == 0;
        const int64_t phase_start = search;  // stamps >= this were set in this phase
        int64_t augmented = 0, kept = 0;
        for (int64_t s = 0; s < nfree; ++s) {
            const I root = freecol[s];
            const int64_t me = search++;
            bool tainted = false, found = false;
            int64_t nseen = 0;
            I top = 0;
            path[0] = root;
            pos[root] = forward ? Cp[root] : Cp[root + 1];
            while (top >= 0) {
                const I j = path[top];
                // Lookahead: an unmatched row among the entries not yet looked at.
                I p = look[j];
                const I end = Cp[j + 1];
                for (; p < end; ++p)
                    if (rmatch[Ci[p]] == none)
                        break;
                if (p < end) {
                    look[j] = p + 1;
                    via[top] = Ci[p];
                    found = true;
                    break;
                }
                look[j] = end;
                // Descend through the first row not entered yet in this phase. A row
                // entered by another search of this phase is skipped, and taints this one.
                auto enterable = [&](I i) {
                    const int64_t t = stamp[i];
                    if (t == dead || t == me)
                        return false;
                    tainted |= t >= phase_start;
                    return t < phase_start;
                };
                I next = none;
                if (forward) {
                    I q = pos[j];
                    while (q < end && !enterable(Ci[q]))
                        ++q;
                    pos[j] = q < end ? q + 1 : end;
                    next = q < end ? Ci[q] : none;
                } else {
                    const I begin = Cp[j];
                    I q = pos[j];
                    while (q > begin && !enterable(Ci[q - 1]))
                        --q;
                    pos[j] = q > begin ? q - 1 : begin;
                    next = q > begin ? Ci[q - 1] : none;
                }
                if (next == none) {
                    --top;
                    continue;
                }
                stamp[next] = me;
                seen[nseen++] = next;
                via[top] = next;
                const I j2 = rmatch[next];  // matched: its column's lookahead found none
                path[++top] = j2;
                pos[j2] = forward ? Cp[j2] : Cp[j2 + 1];
            }
            if (found) {
                // Flip the path: every column on it takes the row it left through.
                for (I k = top; k >= 0; --k) {
                    rmatch[via[k]] = path[k];
                    cmatch[path[k]] = via[k];
                }
                ++nmatch;
                ++augmented;
            } else if (!tainted) {
                for (int64_t k = 0; k < nseen; ++k)
                    stamp[seen[k]] = dead;  // retired with the column
            } else {
                freecol[kept++] = root;
            }
        }
        nfree = kept;
        if (augmented == 0)
            return true;  // no augmenting path: the matching is maximum
        if (augmented < yield * (double)(kept + augmented)) {
            ++phase;
            return nmatch >= most || nfree == 0;
        }
    }
    return true;
}

}  // namespace detail

// Computes a maximum matching like hopcroft_karp, by Pothen and Fan's algorithm with
// lookahead and fairness: in each phase a depth-first search for an augmenting path
// starts from every unmatched column; a row reached by one search is not entered again
// in the same phase; before descending, a column first looks for an unmatched row among
// its entries (a pointer per column, kept across phases: a matched row stays matched);
// the entries are scanned forwards in even phases and backwards in odd ones. Phases
// end when one finds no augmenting path. O(N nnz) in the worst case, far less in
// practice.
//
// A search that fails without meeting a row entered by another live search in this
// phase has seen every row reachable from its column by alternating paths: none is
// unmatched. By Berge's argument none ever will be (augmenting along other paths leaves
// that set untouched), so the column and those rows are retired for good and later
// searches skip them.
//
// When a phase augments along few paths, the unmatched columns compete for a few
// reachable unmatched rows, and every phase sweeps the whole graph for a handful of
// paths. The search then changes sides: it continues from the unmatched rows, over the
// pattern by rows, where the same phases find the paths from the other end.
//
// Allocates about 6 (ncol + nrow) + nnz indices and nrow + ncol 64-bit stamps of
// workspace; std::bad_alloc when that fails.
template <class I>
int64_t pothen_fan(int64_t nrow, int64_t ncol, const I *Ap, const I *Ai, I *jmatch) {
    constexpr I none = -1;
    const int64_t big = nrow > ncol ? nrow : ncol;
    std::unique_ptr<I[]> space(new I[6 * big + 1]);
    I *imatch = space.get();   // imatch[j]: row matched with column j, or -1
    I *look = imatch + big;    // next entry of column j to look at for an unmatched row
    I *pos = look + big;       // next entry of column j to scan in this search
    I *path = pos + big;       // depth-first path of columns
    I *via = path + big;       // the row taken out of each column of the path
    I *freecol = via + big;    // the unmatched columns still searched from
    std::unique_ptr<I[]> seen(new I[nrow + 1]);  // rows entered by the current search
    std::unique_ptr<int64_t[]> stamp(new int64_t[nrow + 1]);  // search that entered row i

    for (int64_t i = 0; i < nrow; ++i)
        stamp[i] = -1;
    for (int64_t j = 0; j < ncol; ++j) {
        imatch[j] = none;
        look[j] = Ap[j];
    }
    for (int64_t i = 0; i < nrow; ++i)
        jmatch[i] = none;
    // Greedy start as in hopcroft_karp: each column takes, of its unmatched rows, the one
    // with the fewest entries. The row counts borrow the pos array.
    I *count = pos;
    int64_t nmatch = 0;
    int64_t nfree = greedy_start(nrow, ncol, Ap, Ai, jmatch, imatch, count, freecol, nmatch);

    const int64_t most = nrow < ncol ? nrow : ncol;
    // Change sides after a phase that augmented along fewer than a tenth of the paths
    // it searched for.
    constexpr double frac = 0.1;
    int64_t search = 0, phase = 0;
    if (detail::pf_phases<I>(ncol, Ap, Ai, imatch, jmatch, freecol, nfree, nmatch, most, look,
                             pos, path, via, seen.get(), stamp.get(), search, phase, frac))
        return nmatch;

    // The other side: the pattern by rows; the unmatched rows that have entries start.
    std::unique_ptr<I[]> rowp(new I[nrow + 1]), rowj(new I[(int64_t)Ap[ncol] + 1]);
    I *rp = rowp.get(), *rj = rowj.get();
    row_pattern<I>(nrow, ncol, Ap, Ai, rp, rj);
    std::unique_ptr<I[]> cseen(new I[ncol + 1]);
    std::unique_ptr<int64_t[]> cstamp(new int64_t[ncol + 1]);
    for (int64_t j = 0; j < ncol; ++j)
        cstamp[j] = -1;
    int64_t nfree_rows = 0;
    for (int64_t i = 0; i < nrow; ++i) {
        look[i] = rp[i];
        if (jmatch[i] == none && rp[i] < rp[i + 1])
            freecol[nfree_rows++] = (I)i;
    }
    detail::pf_phases<I>(nrow, rp, rj, jmatch, imatch, freecol, nfree_rows, nmatch, most,
                         look, pos, path, via, cseen.get(), cstamp.get(), search, phase, 0.0);
    return nmatch;
}

// Computes a maximum matching like hopcroft_karp, by push-relabel (Goldberg and Kennedy's
// algorithm for bipartite matching, single pushes with global relabelling). Every row has
// a label, a lower bound on the length of the shortest alternating path from it to an
// unmatched row (in rows); unmatched columns are active. An active column takes the row
// of its lowest label, the column that held that row becomes active in its place, and
// the row's label becomes the column's second lowest label plus one. A column whose rows
// all have labels of at least nrow + 1 has no augmenting path: it stays unmatched. Now
// and then a breadth-first search from the unmatched rows over the pattern by rows sets
// every label to its exact distance (and nrow + 1 where no path exists), so that pushes
// follow shortest paths: a long augmenting path costs about its length in pushes, where
// the phased methods sweep the whole graph for each of them.
//
// The labels start as 0 for unmatched rows and 1 for matched ones (lower bounds that
// cost nothing); the first global relabelling, and the pattern by rows it needs, wait
// until the pushes have scanned half as many entries as the matrix has entries, rows
// and columns: when the start leaves few short paths to find, they are never paid for.
// Later relabellings come after a quarter of that.
//
// The labels only grow and stay lower bounds, so at the end no unmatched column has an
// augmenting path: the matching is maximum. O(N nnz) in the worst case. Starts from the
// greedy matching, or with `warm` from the valid matching already in jmatch. Allocates
// 2 ncol + 3 nrow + nnz indices of workspace; std::bad_alloc when that fails.
template <class I>
int64_t push_relabel(int64_t nrow, int64_t ncol, const I *Ap, const I *Ai, I *jmatch,
                     bool warm = false) {
    constexpr I none = -1;
    const I unreachable = (I)(nrow + 1);  // the caller keeps nrow below the type's maximum
    const int64_t nnz = Ap[ncol];
    std::unique_ptr<I[]> space(new I[2 * ncol + 3 * nrow + nnz + 2]);
    I *imatch = space.get();        // imatch[j]: row matched with column j, or -1
    I *active = imatch + ncol;      // stack of the unmatched columns still to push
    I *label = active + ncol;       // label of row i
    I *queue = label + nrow;        // breadth-first queue of the global relabelling
    I *rp = queue + nrow, *rj = rp + nrow + 1;  // the pattern by rows

    int64_t nmatch = 0, nactive = 0;
    if (warm) {
        nactive = current_start(nrow, ncol, Ap, jmatch, imatch, active, nmatch);
    } else {
        for (int64_t j = 0; j < ncol; ++j)
            imatch[j] = none;
        for (int64_t i = 0; i < nrow; ++i)
            jmatch[i] = none;
        nactive = greedy_start(nrow, ncol, Ap, Ai, jmatch, imatch, label, active, nmatch);
    }
    if (nactive == 0)
        return nmatch;

    bool by_rows = false;  // whether rp, rj hold the pattern by rows yet
    auto relabel = [&] {
        if (!by_rows) {
            row_pattern<I>(nrow, ncol, Ap, Ai, rp, rj);
            by_rows = true;
        }
        int64_t head = 0, tail = 0;
        for (int64_t i = 0; i < nrow; ++i) {
            label[i] = jmatch[i] == none ? 0 : unreachable;
            if (jmatch[i] == none)
                queue[tail++] = (I)i;
        }
        while (head < tail) {
            const I i = queue[head++];
            const I d = label[i] + 1;
            for (I p = rp[i], end = rp[i + 1]; p < end; ++p) {
                const I i2 = imatch[rj[p]];
                if (i2 != none && label[i2] == unreachable) {
                    label[i2] = d;
                    queue[tail++] = i2;
                }
            }
        }
    };
    const int64_t size = nnz + ncol + nrow;
    int64_t relabel_after = size / 2, work = 0;
    for (int64_t i = 0; i < nrow; ++i)
        label[i] = jmatch[i] == none ? 0 : 1;
    while (nactive > 0) {
        if (work > relabel_after) {
            relabel();
            relabel_after = size / 4;
            work = 0;
        }
        const I j = active[--nactive];
        I best = none, lowest = unreachable, second = unreachable;
        for (I p = Ap[j], end = Ap[j + 1]; p < end; ++p) {
            const I i = Ai[p], l = label[i];
            if (l < lowest) {
                second = lowest;
                lowest = l;
                best = i;
            } else if (l < second) {
                second = l;
            }
        }
        work += Ap[j + 1] - Ap[j] + 1;
        if (lowest >= unreachable)
            continue;  // no augmenting path from column j
        const I previous = jmatch[best];
        jmatch[best] = (I)j;
        imatch[j] = best;
        label[best] = second >= unreachable ? unreachable : second + 1;
        if (previous == none) {
            ++nmatch;
        } else {
            imatch[previous] = none;
            active[nactive++] = previous;
        }
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
