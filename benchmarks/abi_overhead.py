"""Fixed call overhead of two builds of ferrow: the version-specific and the stable-ABI one.

Times every operation of the 10 x 10 ``tiny`` case (where the library's own work is a
microsecond or two and the rest is ferrow's call path) in each build, alternating
between the builds in fresh processes so that load from other programs falls on both
alike, and prints the medians per call and their difference::

    python benchmarks/abi_overhead.py --site full=/path/to/site-a --site abi3=/path/to/site-b

Each ``--site NAME=DIR`` is a directory holding an installed ``ferrow`` package; the
first one is the reference. Naming the same
directory twice measures the noise floor of the machine. ``--worker DIR`` (used internally) times one build once.
"""

from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import json  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import timeit  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))

OPS = ["camd", "colamd", "symamd", "ccolamd", "maxtrans", "strongcomp", "btf", "spqr_r",
       "spqr_householder", "spqr_solve", "factor", "factor_numeric", "solve_1", "qmult", "copy"]


def worker(site, number, repeat):
    sys.path.insert(0, site)
    sys.path.insert(1, HERE)
    import cases
    import ops

    import ferrow.spqr

    case = next(c for c in cases.case_list() if c.name == "tiny")
    case.matrix = case.build()
    data = {"A": case.matrix, **cases.extras(case)}
    out = {"module": ferrow.spqr.__file__}
    for name in OPS:
        run, _ = ops.make(name, data)
        run()
        times = timeit.repeat(run, number=number, repeat=repeat)
        out[name] = min(times) / number * 1e6  # best of the repeats, us per call
    print(json.dumps(out))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--site", action="append", default=[], help="NAME=DIR of an installed build")
    ap.add_argument("--rounds", type=int, default=7, help="fresh processes per build")
    ap.add_argument("--number", type=int, default=2000, help="calls per timing")
    ap.add_argument("--repeat", type=int, default=5, help="timings per process (best is kept)")
    ap.add_argument("--raw", help="also write every sample (us per call) to this JSON file")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker(args.worker, args.number, args.repeat)
    sites = [s.split("=", 1) for s in args.site]
    if len(sites) < 2:
        ap.error("give two or more --site NAME=DIR")
    samples = {name: {op: [] for op in OPS} for name, _ in sites}
    for r in range(args.rounds):
        order = sites if r % 2 == 0 else sites[::-1]
        for name, site in order:
            res = subprocess.run([sys.executable, __file__, "--worker", site, "--number",
                                  str(args.number), "--repeat", str(args.repeat)],
                                 check=True, capture_output=True, text=True)
            got = json.loads(res.stdout)
            if r == 0:
                print(f"{name}: {got['module']}", file=sys.stderr)
            for op in OPS:
                samples[name][op].append(got[op])
    if args.raw:
        with open(args.raw, "w") as f:
            json.dump({"sites": sites, "samples": samples}, f)
    ref = sites[0][0]
    # Median and minimum over the processes of each build (the minimum is the least
    # disturbed by other load), then the differences of both to the reference.
    head = "| operation | " + " | ".join(f"{n}: median, min (us)" for n, _ in sites)
    head += " | " + " | ".join(f"{n} - {ref}: median, min (us)" for n, _ in sites[1:]) + " |"
    print(head)
    print("|" + " --- |" * (2 * len(sites)))
    for op in OPS:
        med = {n: statistics.median(samples[n][op]) for n, _ in sites}
        low = {n: min(samples[n][op]) for n, _ in sites}
        cells = [f"{med[n]:.2f}, {low[n]:.2f}" for n, _ in sites]
        cells += [f"{med[n] - med[ref]:+.2f}, {low[n] - low[ref]:+.2f}" for n, _ in sites[1:]]
        print(f"| {op} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
