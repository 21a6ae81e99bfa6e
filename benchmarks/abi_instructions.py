"""Instructions per call of two builds of ferrow, counted by Valgrind's callgrind.

The companion of ``abi_overhead.py``: where timings on a shared machine scatter by a
microsecond or two, the number of instructions a call executes does not depend on the
load. Each build runs once under ``valgrind --tool=callgrind``; the worker calls every
operation of the 10 x 10 ``tiny`` case ``--calls`` times in a row between two calls of
``gc.isenabled`` (nothing else calls the C function behind it), and callgrind, told to
dump its counters whenever that function is entered, leaves one count per stretch. A
stretch of as many calls of a Python function that does nothing is subtracted, so the figures are the instructions of the
operation itself (ferrow's call path, the library and NumPy/SciPy work it causes)::

    python benchmarks/abi_instructions.py --site full=/path/to/site-a --site abi3=/path/to/site-b

Needs ``valgrind`` on PATH. Each ``--site NAME=DIR`` holds an installed ``ferrow``; the
first is the reference. ``--worker DIR`` (used internally) is the measured process.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import glob  # noqa: E402
import re  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from abi_overhead import OPS  # noqa: E402

MARK = "PyGC_IsEnabled"  # what gc.isenabled() calls


def worker(site, calls):
    import gc

    sys.path.insert(0, site)
    import cases
    import ops

    import ferrow.spqr  # noqa: F401

    mark = gc.isenabled
    case = next(c for c in cases.case_list() if c.name == "tiny")
    case.matrix = case.build()
    data = {"A": case.matrix, **cases.extras(case)}
    runs = [("nothing", lambda: None)] + [(name, ops.make(name, data)[0]) for name in OPS]
    for _, run in runs:  # first calls fill caches and import what the calls need
        run()
        run()
    for _, run in runs:
        mark()
        for _ in range(calls):
            run()
    mark()


def count(site, calls, workdir):
    out = os.path.join(workdir, "cg.out")
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                    "--dump-before=" + MARK, sys.executable, os.path.abspath(__file__),
                    "--worker", site, "--calls", str(calls)],
                   check=True, capture_output=True, text=True)
    parts = sorted(glob.glob(out + ".*"), key=lambda f: int(f.rsplit(".", 1)[1]))
    totals = []
    for part in parts:
        with open(part) as f:
            text = f.read()
        totals.append(int(re.search(r"^(?:totals|summary): (\d+)", text, re.M).group(1)))
    # dump 1 holds the start-up; dumps 2.. hold one stretch each, in the order run
    if len(totals) != len(OPS) + 2:
        sys.exit(f"expected {len(OPS) + 2} dumps from callgrind, got {len(totals)}")
    stretches = totals[1:]
    base = stretches[0]
    return {name: (ir - base) / calls for name, ir in zip(OPS, stretches[1:])}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--site", action="append", default=[], help="NAME=DIR of an installed build")
    ap.add_argument("--calls", type=int, default=200, help="calls per operation")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker(args.worker, args.calls)
    sites = [s.split("=", 1) for s in args.site]
    if len(sites) < 2:
        ap.error("give two or more --site NAME=DIR")
    got = {}
    for name, site in sites:
        with tempfile.TemporaryDirectory() as tmp:
            got[name] = count(site, args.calls, tmp)
    ref = sites[0][0]
    print("| operation | " + " | ".join(f"{n} (instructions per call)" for n, _ in sites)
          + " | " + " | ".join(f"{n} - {ref}" for n, _ in sites[1:]) + " |")
    print("|" + " --- |" * (2 * len(sites)))
    for op in OPS:
        cells = [f"{got[n][op]:,.0f}" for n, _ in sites]
        cells += [f"{got[n][op] - got[ref][op]:+,.0f} ({(got[n][op] / got[ref][op] - 1) * 100:+.1f} %)"
                  for n, _ in sites[1:]]
        print(f"| {op} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
