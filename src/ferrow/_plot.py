"""Sparsity-pattern pictures for the command line (``--plot``); needs matplotlib.

Small patterns are drawn as one square marker per entry, sized to the cell an entry
occupies on the page; patterns whose cells would be smaller than a couple of pixels are
drawn as an image of the entries per pixel, so that a matrix of millions of entries
takes as long to draw as a small one and still shows its structure.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from matplotlib.collections import PatchCollection
from matplotlib.colors import LinearSegmentedColormap, LogNorm, Normalize
from matplotlib.figure import Figure
from matplotlib.patches import Rectangle
from matplotlib.ticker import FuncFormatter, MaxNLocator

COLORS = {"a": "#1f4e79", "r": "#a23b2a"}
BLOCK_COLOR = "#e08a00"
DPI = 150
PANEL_INCHES = 4.2
MIN_MARKER_PIXELS = 1.8  # an entry is never drawn smaller than this
MAX_MARKERS = 150_000  # more entries than this are drawn as an image


_THOUSANDS = FuncFormatter(lambda v, _: f"{int(round(v)):,}")


@dataclass
class Panel:
    """One matrix of the picture, with a title and a line of facts below it."""

    matrix: object
    label: str
    caption: str = ""
    blocks: object = None  # block boundaries r[0] = 0 < ... < r[-1] = N, drawn as squares
    color: str = "a"


def _aspect(shape):
    M, N = shape
    ratio = max(M, 1) / max(N, 1)
    return ("equal", ratio) if 0.2 <= ratio <= 5 else ("auto", 1.0)


def _draw_pattern(ax, A, color, side_points):
    M, N = A.shape
    coo = A.tocoo()
    rows, cols = np.asarray(coo.row), np.asarray(coo.col)
    longest = max(M, N, 1)
    cell_points = side_points / longest
    if len(rows) <= MAX_MARKERS:
        size = min(max(cell_points * 0.9, MIN_MARKER_PIXELS * 72 / DPI), 14.0)
        ax.plot(cols, rows, linestyle="none", marker="s", markersize=size, markeredgewidth=0,
                color=color, rasterized=len(rows) > 20000)
    else:
        # Entries per pixel, on a logarithmic scale from a light tint to the full colour.
        pixels = int(side_points * DPI / 72)
        bh = max(1, min(M, int(pixels * M / longest)))
        bw = max(1, min(N, int(pixels * N / longest)))
        rb = (rows.astype(np.int64) * bh) // M
        cb = (cols.astype(np.int64) * bw) // N
        counts = np.bincount(rb * bw + cb, minlength=bh * bw).reshape(bh, bw)
        cmap = LinearSegmentedColormap.from_list("entries", ["#c9d8e8" if color == COLORS["a"]
                                                             else "#ecc9c2", color])
        cmap = cmap.with_extremes(bad="white")
        top = counts.max()
        norm = Normalize(0, 1) if top <= 1 else LogNorm(1, top)
        ax.imshow(np.ma.masked_equal(counts, 0), cmap=cmap, norm=norm, interpolation="nearest",
                  extent=(-0.5, N - 0.5, M - 0.5, -0.5), aspect=ax.get_aspect())
    ax.set_xlim(-0.5, N - 0.5)
    ax.set_ylim(M - 0.5, -0.5)


def _draw_blocks(ax, r):
    r = np.asarray(r, dtype=np.int64)
    starts, sizes = r[:-1], np.diff(r)
    big = sizes > 1
    if not big.any():
        return
    squares = [Rectangle((s - 0.5, s - 0.5), w, w) for s, w in zip(starts[big], sizes[big])]
    ax.add_collection(PatchCollection(squares, facecolor=BLOCK_COLOR, alpha=0.14, edgecolor="none"))
    ax.add_collection(PatchCollection(squares, facecolor="none", edgecolor=BLOCK_COLOR,
                                      linewidth=1.1 if len(squares) < 200 else 0.6))


def draw(path, panels, title):
    """Draw `panels` side by side into the PNG file `path`."""
    ratios = [_aspect(p.matrix.shape) for p in panels]
    tallest = max(r for _, r in ratios)
    height = PANEL_INCHES * min(max(tallest, 0.45), 1.5) + 0.9
    fig = Figure(figsize=(PANEL_INCHES * len(panels), height), dpi=DPI, layout="constrained")
    fig.get_layout_engine().set(w_pad=0.12, h_pad=0.08, wspace=0.06)
    axes = fig.subplots(1, len(panels), squeeze=False)[0]
    side_points = PANEL_INCHES * 72 * 0.78
    for ax, panel, (aspect, _) in zip(axes, panels, ratios):
        A = panel.matrix
        M, N = A.shape
        color = COLORS.get(panel.color, panel.color)
        ax.set_aspect(aspect)
        _draw_pattern(ax, A, color, side_points)
        if panel.blocks is not None:
            _draw_blocks(ax, panel.blocks)
        ax.set_title(f"{panel.label}\n{M:,} \u00d7 {N:,},  nnz {A.nnz:,}", fontsize=10, linespacing=1.4)
        if panel.caption:
            ax.set_xlabel(panel.caption, fontsize=9, color="#333333", labelpad=6)
        ax.xaxis.set_major_locator(MaxNLocator(5, integer=True))
        ax.yaxis.set_major_locator(MaxNLocator(5, integer=True))
        ax.xaxis.set_major_formatter(_THOUSANDS)
        ax.yaxis.set_major_formatter(_THOUSANDS)
        ax.tick_params(labelsize=7, length=2.5, color="#888888", labelcolor="#555555")
        for spine in ax.spines.values():
            spine.set_color("#999999")
            spine.set_linewidth(0.8)
    fig.suptitle(title, fontsize=12, fontweight="bold")
    fig.savefig(path, dpi=DPI, facecolor="white")
