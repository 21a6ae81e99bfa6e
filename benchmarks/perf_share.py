"""Where the time goes: ferrow's call and the direct call sampled with `perf`.

    python benchmarks/perf_share.py --driver build/bench/benchmarks/ferrow_bench_driver \\
        ls_large:solve_sparse lap2d_large:maxtrans ...

A diagnostic beside `make bench` (not part of it; it needs `perf` and a few seconds per
operation). Each side runs the operation in a loop while `perf record` samples it; the
samples are split by shared object into the library (SuiteSparse, BLAS), ferrow's own
code with Python, NumPy and SciPy, and the C library and kernel (allocation, page
faults). Because the library does the same work on both sides, the ratio of the library's
shares, direct over ferrow, estimates ferrow's time over the direct call's without the
drift in machine speed that the wall clock sees (where the library's work is mostly
memcpy and malloc, as in `copy`, the second estimate, which counts the C library and the
kernel as shared work, is the one to read). Uses the case files `make bench` wrote.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

OWN = re.compile(r"cpython|libpython|_multiarray|_umath|scipy|_sparsetools|ferrow_bench")
SYSTEM = re.compile(r"kernel|^libc[.-]|^ld-linux|libm[.-]")


def child(case_dir, name, seconds):
    import cases
    import ops

    run, _ = ops.make(name, cases.load(case_dir))
    run()
    print("ready", flush=True)
    time.sleep(0.5)
    t0 = time.perf_counter()
    while time.perf_counter() - t0 < seconds:
        run()


def shares(data_file):
    out = subprocess.run(["perf", "report", "-i", data_file, "--no-children", "--sort", "dso", "--stdio"],
                         capture_output=True, text=True).stdout
    lib = own = system = 0.0
    for line in out.splitlines():
        m = re.match(r"\s*([\d.]+)%\s+(\S+)", line)
        if not m:
            continue
        share, dso = float(m.group(1)), m.group(2).strip("[]")
        if OWN.search(dso):
            own += share
        elif SYSTEM.search(dso):
            system += share
        else:
            lib += share
    return lib, own, system


def record(pid, seconds, data_file):
    subprocess.run(["perf", "record", "-q", "-p", str(pid), "-o", data_file, "--", "sleep", str(seconds)],
                   capture_output=True)


def ferrow_side(case_dir, name, seconds, tmp):
    proc = subprocess.Popen([sys.executable, __file__, "--child", case_dir, name, str(seconds + 2)],
                            stdout=subprocess.PIPE, text=True)
    proc.stdout.readline()  # "ready"
    time.sleep(0.7)
    data = os.path.join(tmp, "ferrow.data")
    record(proc.pid, seconds, data)
    proc.wait()
    return shares(data)


def driver_side(driver, case_dir, name, seconds, tmp):
    import json

    proc = subprocess.Popen([driver, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(line):
        proc.stdin.write(line + "\n")
        proc.stdin.flush()
        reply = json.loads(proc.stdout.readline())
        if not reply.get("ok"):
            raise RuntimeError(reply.get("error"))
        return reply

    ask(f"load {case_dir}")
    t = ask(f"time {name} 1 1")["times"][0]
    reps = max(1, int((seconds + 1.5) / max(t, 1e-6)))
    proc.stdin.write(f"time {name} {reps} 1\n")
    proc.stdin.flush()
    time.sleep(0.3)
    data = os.path.join(tmp, "direct.data")
    record(proc.pid, seconds, data)
    proc.stdout.readline()
    proc.stdin.write("quit\n")
    proc.stdin.close()
    proc.wait()
    return shares(data)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--driver", default=os.path.join("build", "bench", "benchmarks", "ferrow_bench_driver"))
    ap.add_argument("--data", default=os.path.join("build", "bench", "data"))
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    ap.add_argument("pairs", nargs="*", help="case:operation")
    args = ap.parse_args(argv)
    if args.child:
        child(args.child[0], args.child[1], float(args.child[2]))
        return 0
    print(f"{'case':12s} {'operation':17s} {'ferrow: library':>16s} {'own':>6s} {'system':>7s}   "
          f"{'direct: library':>15s} {'own':>6s} {'system':>7s}   estimated ratio: from the library "
          "share, from all but ferrow's own share")
    with tempfile.TemporaryDirectory() as tmp:
        for pair in args.pairs:
            case, name = pair.split(":")
            d = os.path.join(args.data, case)
            f = ferrow_side(d, name, args.seconds, tmp)
            g = driver_side(args.driver, d, name, args.seconds, tmp)
            est = g[0] / f[0] if f[0] >= 5 else float("nan")
            est_all = (100 - g[1]) / (100 - f[1])
            print(f"{case:12s} {name:17s} {f[0]:15.1f}% {f[1]:5.1f}% {f[2]:6.1f}%   {g[0]:14.1f}% "
                  f"{g[1]:5.1f}% {g[2]:6.1f}%   {est:6.3f} {est_all:10.3f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
