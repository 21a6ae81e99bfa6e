"""Feed every entry point malformed input; run as a script so that a crash is visible.

    python -m tests.robustness.sweep [NAME-PREFIX ...]

Each valid call of ``targets.TARGETS`` is made once as it is and then with each of its
arguments replaced, in turn, by every value of ``values.weird_values()``. Every call must
return or raise an ordinary exception with a message, and must leave every array it was
not meant to write unchanged. Progress goes to stdout (flushed), problems to a final
report; the exit status is 0 only when there were none. A crash kills the process, and
the last target printed is the one that crashed.
"""

from __future__ import annotations

import faulthandler

import sys
import warnings

import numpy as np
import scipy.sparse as sp

from tests.robustness.targets import TARGETS
from tests.robustness.values import weird_values


def snapshot(obj):
    """Copies of the arrays reachable from one argument (sparse objects included)."""
    if isinstance(obj, np.ndarray):
        return [(obj, obj.copy())] if obj.dtype != object else []
    if sp.issparse(obj):
        out = []
        for name in ("data", "indices", "indptr", "row", "col", "offsets"):
            arr = getattr(obj, name, None)
            if isinstance(arr, np.ndarray) and arr.dtype != object:
                out.append((arr, arr.copy()))
        return out
    if isinstance(obj, tuple):
        return [s for item in obj for s in snapshot(item)]
    return []


def unchanged(saved):
    for arr, copy in saved:
        if arr.shape != copy.shape or not np.array_equal(arr, copy, equal_nan=arr.dtype.kind in "fc"):
            return False
    return True


def call(name, fn, args, kwargs, outputs, problems, label):
    protected = [a for k, a in enumerate(args) if k not in outputs]
    protected += [v for k, v in kwargs.items() if k not in outputs]
    saved = [s for a in protected for s in snapshot(a)]
    print(" ", label, flush=True)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            fn(*args, **kwargs)
    except Exception as exc:  # an ordinary exception is the expected answer to bad input
        if not str(exc) and not isinstance(exc, (AssertionError, KeyError)):
            problems.append(f"{name} [{label}]: {type(exc).__name__} without a message")
    if not unchanged(saved):
        problems.append(f"{name} [{label}]: changed an input array")


def sweep(names):
    weird = weird_values()
    problems = []
    for name in names:
        print(name, flush=True)
        fn, args, kwargs, outputs = TARGETS[name]()
        call(name, fn, args, kwargs, outputs, problems, "valid call")
        for pos in range(len(args)):
            for k, value in enumerate(weird):
                fn, args, kwargs, outputs = TARGETS[name]()
                args = list(args)
                args[pos] = value
                call(name, fn, tuple(args), kwargs, outputs, problems, f"arg {pos} = weird[{k}]")
        for key in list(kwargs):
            for k, value in enumerate(weird):
                fn, args, kwargs, outputs = TARGETS[name]()
                kwargs = dict(kwargs, **{key: value})
                call(name, fn, args, kwargs, outputs, problems, f"{key} = weird[{k}]")
    return problems


def main(argv):
    faulthandler.enable()
    names = [n for n in TARGETS if not argv or any(n.startswith(p) for p in argv)]
    problems = sweep(names)
    print(f"swept {len(names)} entry points", flush=True)
    for p in problems:
        print("PROBLEM", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
