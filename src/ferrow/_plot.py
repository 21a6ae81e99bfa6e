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
PANEL_INCHES = 4.2  # the longest side of the largest matrix
MIN_PANEL_INCHES = 1.2  # a thinner side is stretched (and the aspect given up)
SLOT_INCHES = 2.6  # the least width of a panel, for its title
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


def _layout(panels):
    """One scale (inches per row or column) for every panel, so that A and its factor
    are drawn to the same scale; panels too thin to read are stretched instead."""
    longest = max(max(p.matrix.shape) for p in panels) or 1
    scale = PANEL_INCHES / longest
    boxes = []
    for p in panels:
        M, N = p.matrix.shape
        w, h = max(N, 1) * scale, max(M, 1) * scale
        aspect = "equal"
        if min(w, h) < MIN_PANEL_INCHES:
            aspect = "auto"
            w, h = max(w, MIN_PANEL_INCHES), max(h, MIN_PANEL_INCHES)
        boxes.append((w, h, aspect))
    return scale, boxes


def _draw_pattern(ax, A, color, width, height):
    """Entries of A into `ax`, whose plotting area is about width x height inches."""
    M, N = A.shape
    coo = A.tocoo()
    rows, cols = np.asarray(coo.row), np.asarray(coo.col)
    cell_points = min(width / max(N, 1), height / max(M, 1)) * 72
    if len(rows) <= MAX_MARKERS:
        size = min(max(cell_points * 0.9, MIN_MARKER_PIXELS * 72 / DPI), 14.0)
        ax.plot(cols, rows, linestyle="none", marker="s", markersize=size, markeredgewidth=0,
                color=color, rasterized=len(rows) > 20000)
    else:
        # Entries per pixel, on a logarithmic scale from a light tint to the full colour.
        bh = max(1, min(M, int(height * DPI)))
        bw = max(1, min(N, int(width * DPI)))
        rb = (rows.astype(np.int64) * bh) // M
        cb = (cols.astype(np.int64) * bw) // N
        counts = np.bincount(rb * bw + cb, minlength=bh * bw).reshape(bh, bw)
        tint = "#c9d8e8" if color == COLORS["a"] else "#ecc9c2"
        cmap = LinearSegmentedColormap.from_list("entries", [tint, color]).with_extremes(bad="white")
        top = counts.max()
        norm = Normalize(0, 1) if top <= 1 else LogNorm(1, top)
        ax.imshow(np.ma.masked_equal(counts, 0), cmap=cmap, norm=norm, interpolation="nearest",
                  extent=(-0.5, N - 0.5, M - 0.5, -0.5), aspect=ax.get_aspect())
    ax.set_xlim(-0.5, max(N, 1) - 0.5)
    ax.set_ylim(max(M, 1) - 0.5, -0.5)


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
    _, boxes = _layout(panels)
    slots = [max(w, SLOT_INCHES) for w, _, _ in boxes]
    tallest = max(h for _, h, _ in boxes)
    fig = Figure(figsize=(sum(slots) + 0.5, tallest + 1.5), dpi=DPI, layout="constrained")
    fig.get_layout_engine().set(w_pad=0.12, h_pad=0.08, wspace=0.05)
    axes = fig.subplots(1, len(panels), squeeze=False, width_ratios=slots)[0]
    for ax, panel, (w, h, aspect) in zip(axes, panels, boxes):
        A = panel.matrix
        M, N = A.shape
        color = COLORS.get(panel.color, panel.color)
        ax.set_aspect(aspect)
        _draw_pattern(ax, A, color, w, h)
        if panel.blocks is not None:
            _draw_blocks(ax, panel.blocks)
        ax.set_title(f"{panel.label}\n{M:,} \u00d7 {N:,},  nnz {A.nnz:,}", fontsize=10, linespacing=1.4)
        if panel.caption:
            ax.set_xlabel(panel.caption, fontsize=9, color="#333333", labelpad=6)
        for axis in (ax.xaxis, ax.yaxis):
            axis.set_major_locator(MaxNLocator(5, integer=True))
            axis.set_major_formatter(_THOUSANDS)
        ax.tick_params(labelsize=7, length=2.5, color="#888888", labelcolor="#555555")
        for spine in ax.spines.values():
            spine.set_color("#999999")
            spine.set_linewidth(0.8)
    fig.suptitle(title, fontsize=12, fontweight="bold")
    fig.savefig(path, dpi=DPI, facecolor="white")
