"""Sections of ``python -m ferrow demo``: one module per ferrow module.

Each section module defines ``TITLE`` and ``run(out)``, which writes a readable
report to the text stream ``out``. Sections are shown in the order of ``SECTIONS``;
a section whose module is not there yet is skipped.
"""

from __future__ import annotations

import importlib
import sys
import time

SECTIONS = ["camd", "colamd", "btf", "spqr", "spqr_factor", "spqr_rank"]


def timed(fn, *args, repeat=3, **kwargs):
    """Return (result, best wall time in seconds) of ``fn(*args, **kwargs)``."""
    best = float("inf")
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn(*args, **kwargs)
        best = min(best, time.perf_counter() - t0)
    return result, best


def table(out, header, rows):
    """Write an aligned plain-text table."""
    cells = [list(map(str, header))] + [[str(c) for c in r] for r in rows]
    widths = [max(len(r[k]) for r in cells) for k in range(len(header))]
    for n, r in enumerate(cells):
        out.write("  " + "  ".join(c.rjust(w) for c, w in zip(r, widths)) + "\n")
        if n == 0:
            out.write("  " + "  ".join("-" * w for w in widths) + "\n")


def sections():
    """Yield ``(name, module)`` for each section of ``SECTIONS`` that exists."""
    for name in SECTIONS:
        try:
            section = importlib.import_module(f"ferrow.demos.{name}")
        except ModuleNotFoundError as exc:
            if exc.name == f"ferrow.demos.{name}":
                continue
            raise
        yield name, section


def run_all(out=None):
    out = out or sys.stdout
    for _, section in sections():
        out.write(f"\n== {section.TITLE} ==\n\n")
        section.run(out)
    out.write("\n")
