"""nnz(R) and time of sparse QR per column ordering, on a grid-smoothing problem.

The documentation build runs this file and shows the table it returns.
"""

import time

import numpy as np

from ferrow.demos.problems import grid_least_squares
from ferrow.spqr import spqr

ORDERINGS = ["natural", "colamd", "amd", "cholmod", "metis", "best", "bestamd", "default"]


def measure(A, order, repeats=3):
    """nnz(R) and the fastest of a few one-shot R computations with this ordering."""
    best = np.inf
    for _ in range(repeats):
        t0 = time.perf_counter()
        R, E = spqr(A, mode="r", order=order)
        best = min(best, time.perf_counter() - t0)
    return R.nnz, best


def main():
    A, b = grid_least_squares(80)          # 19,040 x 6,400: data term and smoothness
    rows = [(order, *measure(A, order)) for order in ORDERINGS]
    least = min(nnz for _, nnz, _ in rows)
    out = [".. list-table::", "   :header-rows: 1", "",
           "   * - ordering", "     - nnz(R)", "     - nnz(R) / best", "     - time (ms)"]
    for order, nnz, t in rows:
        out += [f"   * - ``{order}``", f"     - {nnz:,}", f"     - {nnz / least:.2f}",
                f"     - {1e3 * t:.1f}"]
    M, N = A.shape
    return (f"Measured while this page was built: ``spqr(A, mode=\"r\", order=...)`` on the "
            f"{M:,} x {N:,} matrix of ``grid_least_squares(80)`` ({A.nnz:,} entries).\n\n"
            + "\n".join(out) + "\n")


if __name__ == "__main__":
    print(main())
