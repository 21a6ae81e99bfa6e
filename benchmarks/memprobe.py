"""Peak memory of one ferrow call, measured in a fresh process.

    python memprobe.py <warm-up case dir> <case dir> <operation>

Mirrors ``ferrow_bench_driver mem``: the operation runs once on the warm-up case (so
that code paths and lazy imports are loaded), then is set up on the case, free heap
memory is returned to the system (malloc_trim), the peak resident set is reset through
/proc/self/clear_refs, and the call runs once. Prints
one JSON line with the growth of the peak over the resident set before the call.
"""

from __future__ import annotations

import ctypes
import gc
import json
import os
import sys

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cases  # noqa: E402
import ops  # noqa: E402


def status_kib(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {key} in /proc/self/status")


def main():
    warm, case_dir, name = sys.argv[1:4]
    run, _ = ops.make(name, cases.load(warm))
    run()
    del run
    data = cases.load(case_dir)
    run, check = ops.make(name, data)
    gc.collect()
    ctypes.CDLL(None).malloc_trim(0)  # as the driver does: free heap pages back to the system
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    rss0 = status_kib("VmRSS")
    result = run()
    hwm = status_kib("VmHWM")
    print(json.dumps({"ok": True, "rss0_kib": rss0, "peak_kib": hwm, "delta_kib": hwm - rss0,
                      "check": check(result)}))


if __name__ == "__main__":
    try:
        main()
    except Exception as exc:  # reported to bench.py, which prints it in the table
        print(json.dumps({"ok": False, "error": f"{type(exc).__name__}: {exc}"}))
        sys.exit(1)
