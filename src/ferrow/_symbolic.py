"""Symbolic Cholesky analysis for the command line: how many nonzeros a factor gets.

The elimination tree (Liu's algorithm with path compression) and the column counts of
the Cholesky factor L (the row-subtree algorithm of Gilbert, Ng and Peyton with a
disjoint-set forest) of a matrix with a symmetric pattern, in the order given. Both take
time nearly linear in the number of entries of A, whatever the fill, so the fill of a
poor (natural) order is counted as quickly as that of a good one.
"""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp

__all__ = ["symmetric_pattern", "cholesky_counts"]


def symmetric_pattern(A, lower_only=False):
    """The pattern of ``A + A.T`` (or of ``tril(A) + tril(A).T``) without the diagonal,
    as a canonical CSC array of ones."""
    S = sp.csc_array((np.ones(A.nnz), A.indices, A.indptr), shape=A.shape)
    if lower_only:
        S = sp.tril(S, k=-1, format="csc")
    S = sp.csc_array(S + S.T)
    S.setdiag(0)
    S.eliminate_zeros()
    S.sort_indices()
    return S


def _etree(n, Ap, Ai):
    """Parent of each column in the elimination tree (-1 for a root)."""
    parent = [-1] * n
    ancestor = [-1] * n
    for k in range(n):
        for p in range(Ap[k], Ap[k + 1]):
            i = Ai[p]
            if i >= k:
                break  # sorted indices: the rest lies on or below the diagonal
            while i != -1 and i < k:
                nxt = ancestor[i]
                ancestor[i] = k
                if nxt == -1:
                    parent[i] = k
                i = nxt
    return parent


def _postorder(n, parent):
    head = [-1] * n
    nxt = [-1] * n
    for j in range(n - 1, -1, -1):
        if parent[j] != -1:
            nxt[j] = head[parent[j]]
            head[parent[j]] = j
    post = []
    stack = []
    for root in range(n):
        if parent[root] != -1:
            continue
        stack.append(root)
        while stack:
            p = stack[-1]
            child = head[p]
            if child == -1:
                stack.pop()
                post.append(p)
            else:
                head[p] = nxt[child]
                stack.append(child)
    return post


def _column_counts(n, Ap, Ai, parent, post):
    first = [-1] * n
    delta = [0] * n
    for k in range(n):
        j = post[k]
        delta[j] = 1 if first[j] == -1 else 0  # j is a leaf of the tree
        while j != -1 and first[j] == -1:
            first[j] = k
            j = parent[j]
    ancestor = list(range(n))
    maxfirst = [-1] * n
    prevleaf = [-1] * n
    for k in range(n):
        j = post[k]
        if parent[j] != -1:
            delta[parent[j]] -= 1
        fj = first[j]
        for p in range(Ap[j], Ap[j + 1]):
            i = Ai[p]
            # Is j a leaf of the row subtree of i?
            if i <= j or fj <= maxfirst[i]:
                continue
            maxfirst[i] = fj
            jprev = prevleaf[i]
            prevleaf[i] = j
            delta[j] += 1
            if jprev != -1:
                # Subtract one at the least common ancestor of jprev and j.
                q = jprev
                while q != ancestor[q]:
                    q = ancestor[q]
                s = jprev
                while s != q:
                    sparent = ancestor[s]
                    ancestor[s] = q
                    s = sparent
                delta[q] -= 1
        if parent[j] != -1:
            ancestor[j] = parent[j]
    for j in range(n):  # parents are numbered after their children
        if parent[j] != -1:
            delta[parent[j]] += delta[j]
    return delta


def cholesky_counts(S):
    """Column counts of the Cholesky factor of a matrix of symmetric pattern `S`.

    Parameters
    ----------
    S : csc_array
        A square matrix whose pattern is symmetric, with sorted row indices (for
        example from `symmetric_pattern`); its diagonal is taken as nonzero.

    Returns
    -------
    counts : ndarray of int64
        ``counts[j]`` is the number of nonzeros in column j of L, diagonal included;
        ``counts.sum()`` is nnz(L).
    """
    n = S.shape[0]
    Ap = S.indptr.tolist()
    Ai = S.indices.tolist()
    parent = _etree(n, Ap, Ai)
    post = _postorder(n, parent)
    return np.array(_column_counts(n, Ap, Ai, parent, post), dtype=np.int64)
