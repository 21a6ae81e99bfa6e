"""What BTF finds in a reducible matrix whose rows and columns were scrambled."""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp
from scipy.sparse.csgraph import connected_components, maximum_bipartite_matching

from ferrow.btf import btf, btf_q_permutation, maxtrans, strongcomp
from ferrow.demos import table, timed
from ferrow.demos.problems import reducible

TITLE = "BTF: block triangular form of a reducible matrix (rows and columns scrambled)"


def _scipy_blocks(A):
    """Number of diagonal blocks the way a SciPy user gets it: match, then components."""
    cols = maximum_bipartite_matching(sp.csr_array(A), perm_type="column")
    return connected_components(A[:, cols], directed=True, connection="strong")[0]


def run(out):
    rng = np.random.default_rng(0)
    # 3000 singletons, 300 small blocks and 8 large ones, in random order
    sizes = np.concatenate([np.ones(3000, int), rng.integers(2, 30, 300),
                            rng.integers(500, 4000, 8)])
    rng.shuffle(sizes)
    A = reducible(sizes, seed=1)
    N = A.shape[0]
    out.write(f"A: {N} x {N}, {A.nnz} entries, {len(sizes)} diagonal blocks planted, "
              "rows and columns permuted at random\n\n")

    jmatch, t_match = timed(maxtrans, A)
    (p1, q1, r1), t_comp = timed(lambda: strongcomp(A, q=jmatch.copy()))
    (p, q, r), t_btf = timed(btf, A)
    nblocks = int(1 + np.flatnonzero(r[1:] == N)[0])
    found = np.diff(r[: nblocks + 1])
    cols, t_scipy_match = timed(maximum_bipartite_matching, sp.csr_array(A), perm_type="column")
    n_scipy, t_scipy_blocks = timed(_scipy_blocks, A)

    table(out, ["operation", "result", "time [ms]"], [
        ["ferrow maxtrans", f"{np.count_nonzero(jmatch >= 0)} rows matched", f"{t_match * 1e3:.2f}"],
        ["scipy maximum_bipartite_matching", f"{np.count_nonzero(cols >= 0)} rows matched",
         f"{t_scipy_match * 1e3:.2f}"],
        ["ferrow strongcomp (on the matching)", f"{len(r1) - 1} blocks", f"{t_comp * 1e3:.2f}"],
        ["ferrow btf", f"{nblocks} blocks", f"{t_btf * 1e3:.2f}"],
        ["scipy matching + connected_components", f"{n_scipy} blocks",
         f"{t_scipy_blocks * 1e3:.2f}"],
    ])

    out.write("\nSizes of the diagonal blocks:\n\n")
    edges = [1, 2, 10, 30, 500, 4000]
    rows = []
    for lo, hi in zip(edges[:-1], edges[1:]):
        rows.append([f"{lo}" if hi == lo + 1 else f"{lo}..{hi - 1}",
                     int(np.count_nonzero((found >= lo) & (found < hi))),
                     int(np.count_nonzero((sizes >= lo) & (sizes < hi)))])
    table(out, ["block size", "blocks found", "blocks planted"], rows)
    same = sorted(found.tolist()) == sorted(sizes.tolist())
    out.write(f"\nlargest block: {found.max()} rows; planted blocks recovered: "
              f"{'yes' if same else 'NO'}\n")

    B = A[p][:, btf_q_permutation(q.copy())]
    label = np.repeat(np.arange(nblocks), found)
    coo = sp.coo_array(B)
    inside = np.count_nonzero(label[coo.row] == label[coo.col])
    below = np.count_nonzero(label[coo.row] > label[coo.col])
    out.write(f"entries inside the diagonal blocks: {inside} of {B.nnz} "
              f"({100 * inside / B.nnz:.1f}%), below them: {below}; "
              f"zero-free diagonal: {'yes' if np.all(B.diagonal() != 0) else 'NO'}\n")
