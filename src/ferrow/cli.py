"""The ``ferrow`` command line: orderings, block triangular form and sparse QR of matrix files.

::

    ferrow order FILE --method camd [--constraints FILE] [-o PERM] [--plot PNG] [--json]
    ferrow btf FILE [--plot PNG] [--json]
    ferrow qr FILE [--order NAME] [--tol T] [--plot PNG] [--json]
    ferrow solve FILE RHS [-o X] [--json]
    ferrow demo [--json]

FILE is a Matrix Market file (``.mtx``, also gzip- or bzip2-compressed) or a SciPy
sparse ``.npz`` file; the kind is recognised from the file's first bytes, not its name.

Exit codes: 0 success, 1 a library failure, 2 a user error (a missing or malformed
file, a bad option). Errors are one line on standard error, never a traceback.
"""

from __future__ import annotations

import argparse
import bz2
import dataclasses
import gzip
import io
import json
import math
import os
import sys
import time
import warnings
import zlib

import numpy as np
import scipy.sparse as sp

__all__ = ["main", "UsageError", "Failure", "read_matrix", "read_vector_or_matrix"]

EXIT_OK, EXIT_FAILURE, EXIT_USAGE = 0, 1, 2

ORDER_METHODS = ("camd", "colamd", "symamd", "ccolamd", "csymamd")
SYMMETRIC_METHODS = ("camd", "symamd", "csymamd")
CONSTRAINED_METHODS = ("camd", "ccolamd", "csymamd")
QR_ORDERINGS = ("default", "fixed", "natural", "colamd", "cholmod", "amd", "metis", "best", "bestamd")
PLOT_INSTALL_HINT = "--plot needs matplotlib, which is not installed: pip install 'ferrow[plot]'"


class UsageError(Exception):
    """A mistake of the user's (a file, an option): one line on stderr, exit code 2."""

    def __init__(self, message, prog=None):
        super().__init__(message)
        self.prog = prog


class Failure(Exception):
    """The computation itself failed (a library error, a module missing): exit code 1."""


# --------------------------------------------------------------------------- files

_MAGIC = [
    (b"PK\x03\x04", "zip"),
    (b"\x93NUMPY", "npy"),
    (b"\x1f\x8b", "gzip"),
    (b"BZh", "bz2"),
]


def _sniff(path):
    """Check that `path` is a readable file and tell its kind from its first bytes."""
    if not os.path.exists(path):
        raise UsageError(f"{path}: no such file")
    if os.path.isdir(path):
        raise UsageError(f"{path}: is a directory, not a file")
    try:
        with open(path, "rb") as f:
            head = f.read(8)
    except OSError as exc:
        raise UsageError(f"{path}: cannot open: {exc.strerror or exc}") from None
    if not head:
        raise UsageError(f"{path}: the file is empty")
    for magic, kind in _MAGIC:
        if head.startswith(magic):
            return kind
    return "text"


def _open_text_stream(path, kind):
    """A binary stream of the (decompressed) contents and its first line."""
    opener = {"gzip": gzip.open, "bz2": bz2.open}.get(kind, open)
    stream = opener(path, "rb")
    try:
        first = stream.readline(256)
        stream.seek(0)
    except (OSError, EOFError, ValueError, zlib.error) as exc:
        stream.close()
        raise UsageError(f"{path}: cannot decompress: {_one_line(exc)}") from None
    return stream, first


def _one_line(exc):
    text = str(exc).strip() or type(exc).__name__
    return " ".join(text.split())


_MMREAD_ARRAYS = None  # mmread's keyword arguments, decided on first use


def _mmread_array_option():
    """mmread's request for sparse arrays (SciPy 1.15+ returns deprecated matrices otherwise)."""
    import inspect

    import scipy.io

    return {"spmatrix": False} if "spmatrix" in inspect.signature(scipy.io.mmread).parameters else {}


def _read_mtx(path, kind):
    import scipy.io

    global _MMREAD_ARRAYS
    if _MMREAD_ARRAYS is None:
        _MMREAD_ARRAYS = _mmread_array_option()
    stream, first = _open_text_stream(path, kind)
    with stream:
        if not first.lstrip().lower().startswith(b"%%matrixmarket"):
            raise UsageError(f"{path}: not a Matrix Market file (its first line does not start "
                             "with %%MatrixMarket) nor a SciPy sparse .npz file")
        _check_mtx_header(first, path)
        try:
            # An uncompressed file goes to the reader by its name: the reader aborts the
            # process on some errors met while reading a Python stream.
            return scipy.io.mmread(path if kind == "text" else stream, **_MMREAD_ARRAYS)
        except Exception as exc:  # the reader's own diagnosis of a malformed file
            error = exc
    # Some files (SuiteSparse's own samples among them) number rows and columns from 0;
    # the reader refuses them, since 0 is no Matrix Market index.
    stream, _ = _open_text_stream(path, kind)
    with stream:
        A = _read_zero_based_coordinates(stream)
    if A is None:
        raise UsageError(f"{path}: malformed Matrix Market file: {_one_line(error)}")
    note(f"{path}: its row and column indices start at 0, not at 1; read as 0-based")
    return A


_MTX_FIELDS = {"pattern": 2, "real": 3, "double": 3, "integer": 3, "complex": 4}
_MTX_SYMMETRIES = ("general", "symmetric", "skew-symmetric", "hermitian")


def _check_mtx_header(first, path):
    """Refuse a header line the reader does not know before the reader sees it (the
    reader aborts the process on some malformed headers met in a stream)."""
    words = first.decode("latin-1").lower().split()
    if (len(words) != 5 or words[1] != "matrix" or words[2] not in ("coordinate", "array")
            or words[3] not in _MTX_FIELDS or words[4] not in _MTX_SYMMETRIES):
        raise UsageError(f"{path}: malformed Matrix Market file: its first line must read "
                         "'%%MatrixMarket matrix coordinate|array real|double|complex|integer|"
                         "pattern general|symmetric|skew-symmetric|hermitian'")


def _read_zero_based_coordinates(stream):
    """The matrix of a coordinate Matrix Market file whose indices start at 0, or None
    when the file is not one (then the reader's diagnosis stands).

    Every index is checked against the size line before any array is built from it.
    """
    text = io.TextIOWrapper(stream, encoding="latin-1")
    try:
        header = text.readline().lower().split()
        if (len(header) != 5 or header[1:3] != ["matrix", "coordinate"]
                or header[3] not in _MTX_FIELDS or header[4] not in _MTX_SYMMETRIES):
            return None
        line = text.readline()
        while line and (line.startswith("%") or not line.strip()):
            line = text.readline()
        size = line.split()
        if len(size) != 3 or not all(t.isdigit() for t in size):
            return None
        M, N, nnz = (int(t) for t in size)
        width = _MTX_FIELDS[header[3]]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # loadtxt warns about an empty body
            body = np.loadtxt(text, dtype=np.float64, comments="%", ndmin=2, max_rows=nnz)
    except (ValueError, OSError, EOFError, zlib.error):
        return None
    if nnz == 0 or body.shape[0] != nnz or body.shape[1] < width:
        return None
    if body.shape[1] != width and header[3] != "pattern":  # a pattern may carry values: unread
        return None
    ij = body[:, :2]
    if not np.all(np.isfinite(ij)) or np.any(ij != np.floor(ij)):
        return None
    rows, cols = ij[:, 0], ij[:, 1]
    if min(rows.min(), cols.min()) != 0 or rows.max() >= M or cols.max() >= N:
        return None  # not 0-based: 1-based with an error, or out of range either way
    rows, cols = rows.astype(np.int64), cols.astype(np.int64)
    values = np.ones(nnz) if width == 2 else body[:, 2]
    if width == 4:
        values = values + 1j * body[:, 3]
    symmetry = header[4]
    if symmetry != "general":
        off = rows != cols
        mirrored = values[off]
        if symmetry == "skew-symmetric":
            mirrored = -mirrored
        elif symmetry == "hermitian":
            mirrored = np.conj(mirrored)
        rows, cols = np.r_[rows, cols[off]], np.r_[cols, rows[off]]
        values = np.r_[values, mirrored]
    return sp.coo_array((values, (rows, cols)), shape=(M, N))


def note(text):
    """A one-line note on standard error (standard output may carry JSON)."""
    sys.stderr.write(f"ferrow: note: {text}\n")


def _load_single_array_npz(path):
    """The array of a NumPy ``.npz`` archive holding exactly one array (as ``solve -o
    X.npz`` writes a dense solution), or None for any other archive."""
    try:
        with np.load(path, allow_pickle=False) as archive:
            names = list(archive.files)
            if len(names) != 1 or names[0] in ("format", "shape", "data"):
                return None
            return archive[names[0]]
    except Exception:  # not a NumPy archive of arrays: the sparse reader says why
        return None


def _load_npz(path):
    try:
        return sp.load_npz(path)
    except Exception as exc:
        raise UsageError(f"{path}: not a SciPy sparse .npz file: {_one_line(exc)}") from None


def _as_csc(obj, path):
    """A structurally checked csc_array with float64 or complex128 values."""
    from ferrow.utils import validate_csc_input

    if not sp.issparse(obj):
        obj = np.asarray(obj)
        if obj.ndim != 2:
            raise UsageError(f"{path}: expected a matrix, got an array of {obj.ndim} dimensions")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", sp.SparseEfficiencyWarning)
            A, dtype, _ = validate_csc_input(obj)
    except ValueError as exc:
        raise UsageError(f"{path}: not a valid sparse matrix: {_one_line(exc)}") from None
    if dtype.kind == "c":
        target = np.complex128
    elif dtype.kind in "biuf":
        target = np.float64
    else:
        raise UsageError(f"{path}: the matrix holds values of type {dtype}, not numbers")
    if dtype != target:
        A = A.astype(target)
    if not isinstance(A, sp.csc_array):
        A = sp.csc_array(A)
    return A


def read_matrix(path):
    """Read a sparse matrix from a Matrix Market or SciPy ``.npz`` file.

    Returns a structurally valid ``csc_array`` with float64 (or complex128) values.
    Raises `UsageError` with a one-line message for a missing or malformed file.
    """
    kind = _sniff(path)
    if kind == "zip":
        obj = _load_npz(path)
    elif kind == "npy":
        raise UsageError(f"{path}: a NumPy .npy array; a matrix must be a Matrix Market file "
                         "(.mtx, .mtx.gz) or a SciPy sparse .npz file")
    else:
        obj = _read_mtx(path, kind)
    return _as_csc(obj, path)


def read_vector_or_matrix(path):
    """Read a right-hand side: a ``.npy`` array, a Matrix Market file (dense or sparse),
    a SciPy sparse ``.npz`` file, or a text file of numbers (one row per line).

    Returns a 1-D or 2-D NumPy array, or a ``csc_array``.
    """
    kind = _sniff(path)
    if kind == "zip":
        dense = _load_single_array_npz(path)
        if dense is not None:
            return _checked_dense(dense, path)
        return _as_csc(_load_npz(path), path)
    if kind == "npy":
        try:
            arr = np.load(path, allow_pickle=False)
        except Exception as exc:
            raise UsageError(f"{path}: not a readable .npy array: {_one_line(exc)}") from None
        return _checked_dense(arr, path)
    stream, first = _open_text_stream(path, kind)
    with stream:
        if first.lstrip().lower().startswith(b"%%matrixmarket"):
            stream.close()
            obj = _read_mtx(path, kind)
            return _as_csc(obj, path) if sp.issparse(obj) else _checked_dense(obj, path)
        return _checked_dense(_loadtxt(stream, path), path)


def _loadtxt(stream, path):
    try:
        text = io.TextIOWrapper(stream, encoding="utf-8").read()
    except (UnicodeDecodeError, OSError, EOFError, zlib.error) as exc:
        raise UsageError(f"{path}: not a text file of numbers: {_one_line(exc)}") from None
    for dtype in (np.float64, np.complex128):
        try:
            arr = np.loadtxt(io.StringIO(text), dtype=dtype, ndmin=2)  # a row per line
            break
        except ValueError as exc:
            error = exc
    else:
        raise UsageError(f"{path}: not a text file of numbers: {_one_line(error)}")
    if arr.size == 0:
        raise UsageError(f"{path}: holds no numbers")
    return arr[:, 0] if arr.shape[1] == 1 else arr


def _checked_dense(arr, path):
    arr = np.asarray(arr)
    if arr.ndim not in (1, 2):
        raise UsageError(f"{path}: expected a vector or a matrix, got {arr.ndim} dimensions")
    if arr.dtype.kind == "c":
        return arr.astype(np.complex128, copy=False)
    if arr.dtype.kind in "biuf":
        return arr.astype(np.float64, copy=False)
    raise UsageError(f"{path}: holds values of type {arr.dtype}, not numbers")


def read_constraints(path, n):
    """One integer in 0..n-1 per column: a text file (whitespace-separated) or a ``.npy``."""
    kind = _sniff(path)
    if kind == "npy":
        try:
            c = np.load(path, allow_pickle=False)
        except Exception as exc:
            raise UsageError(f"{path}: not a readable .npy array: {_one_line(exc)}") from None
        if c.ndim != 1 or c.dtype.kind not in "iu":
            raise UsageError(f"{path}: constraints must be a 1-D array of integers, "
                             f"got {c.ndim}-D {c.dtype}")
        c = c.astype(np.int64)
    elif kind == "text":
        values = []
        with open(path, "rb") as f:
            for lineno, raw in enumerate(f, 1):
                line = raw.split(b"#", 1)[0]
                for tok in line.split():
                    try:
                        values.append(int(tok))
                    except ValueError:
                        shown = tok.decode("utf-8", "replace")[:40]
                        raise UsageError(f"{path}: line {lineno}: '{shown}' is not an integer") from None
        c = np.array(values, dtype=np.int64)
    else:
        raise UsageError(f"{path}: constraints must be a text file of integers or a .npy array")
    if c.shape[0] != n:
        raise UsageError(f"{path}: {c.shape[0]} constraints for a matrix of {n} columns; "
                         "give one constraint per column")
    if n and (c.min() < 0 or c.max() >= n):
        bad = int(c[(c < 0) | (c >= n)][0])
        raise UsageError(f"{path}: constraint {bad} is outside 0..{n - 1}")
    return c


def _check_writable(path, what):
    """Refuse an output path that cannot be written, before any work is done: the file
    is opened for appending (its contents untouched) and removed again if it is new."""
    parent = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise UsageError(f"{path}: is a directory; {what} needs a file name")
    if not os.path.isdir(parent):
        raise UsageError(f"{path}: cannot write {what}: the directory {parent} does not exist")
    existed = os.path.lexists(path)
    try:
        with open(path, "ab"):
            pass
    except OSError as exc:
        raise UsageError(f"{path}: cannot write {what}: {exc.strerror or exc}") from None
    if not existed:
        try:
            os.remove(path)
        except OSError:
            pass


def _write(path, what, writer):
    try:
        writer(path)
    except OSError as exc:
        raise UsageError(f"{path}: cannot write {what}: {exc.strerror or exc}") from None


def write_permutation(path, perm):
    """The permutation as text, one integer per line."""
    def writer(p):
        with open(p, "w") as f:
            f.write("".join(f"{int(k)}\n" for k in perm))
    _write(path, "the permutation", writer)


def write_solution(path, x):
    """``.npy``, ``.npz`` and ``.mtx`` by their names; anything else as text, one row per
    line. A ``.npz`` holds a sparse x as a SciPy sparse file and a dense x as a NumPy
    archive of one array ``x``: both are read back as right-hand sides."""
    def writer(p):
        if p.endswith(".npz"):
            if sp.issparse(x):
                sp.save_npz(p, x)
            else:
                with open(p, "wb") as f:  # a file object: savez adds no second suffix
                    np.savez(f, x=x)
        elif p.endswith(".npy"):
            np.save(p, x.toarray() if sp.issparse(x) else x)
        elif p.endswith(".mtx"):
            import scipy.io
            scipy.io.mmwrite(p, x if sp.issparse(x) else np.atleast_2d(x.T).T)
        else:
            dense = x.toarray() if sp.issparse(x) else x
            np.savetxt(p, dense, fmt="%.17g" if dense.dtype.kind != "c" else "%.17g%+.17gj")
    _write(path, "the solution", writer)


# --------------------------------------------------------------------------- phases

def _stderr_is_terminal():
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):  # replaced or closed
        return False


class _Phases:
    """The phases of a run, shown on standard error as they start when it is a terminal:
    one line, rewritten in place and cleared when the run ends. Silent otherwise, so
    that redirected output holds only the results."""

    def __init__(self, prog):
        self.prog = prog
        self.active = _stderr_is_terminal()
        self.shown = False

    def __call__(self, text):
        if self.active:
            sys.stderr.write(f"\r\x1b[K{self.prog}: {text} ...")
            sys.stderr.flush()
            self.shown = True

    def clear(self):
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
            self.shown = False


def _phase(args, text):
    phases = getattr(args, "phases", None)
    if phases is not None:
        phases(text)


# --------------------------------------------------------------------------- helpers

def _need(module, *names):
    """Import names of a ferrow module; a module this build lacks is a `Failure`."""
    import importlib

    try:
        mod = importlib.import_module(module)
        return [getattr(mod, n) for n in names] if names else mod
    except (ImportError, AttributeError) as exc:
        raise Failure(f"{module} is not available in this build of ferrow ({_one_line(exc)})") from None


def _library_call(what, fn, *args, **kwargs):
    """``fn(*args, **kwargs)`` and its wall time; an exception the library or its
    module raises becomes a `Failure` that names `what`."""
    try:
        return _timed(fn, *args, **kwargs)
    except (UsageError, Failure):
        raise
    except (ValueError, TypeError, MemoryError, RuntimeError, OverflowError) as exc:
        raise Failure(f"{what} failed: {_one_line(exc)}") from None
    except Exception as exc:
        if type(exc).__module__.startswith("ferrow."):
            raise Failure(f"{what} failed: {_one_line(exc)}") from None
        raise


def _record(obj):
    """A statistics record (a dataclass, or a type presenting itself as one) as a dict."""
    if obj is None:
        return None
    return {f.name: getattr(obj, f.name) for f in dataclasses.fields(obj)}


def _jsonable(value):
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if isinstance(value, np.ndarray):
        return [_jsonable(v) for v in value.tolist()]
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None  # JSON has no NaN or infinity
    if isinstance(value, complex):
        return [_jsonable(value.real), _jsonable(value.imag)]
    return value


def _matrix_summary(A, path, seconds):
    M, N = A.shape
    return {"file": path, "rows": M, "cols": N, "nnz": int(A.nnz), "dtype": str(A.dtype),
            "index_type": str(A.indptr.dtype), "read_seconds": seconds}


def _timed(fn, *args, **kwargs):
    t0 = time.perf_counter()
    out = fn(*args, **kwargs)
    return out, time.perf_counter() - t0


def _read_input(args):
    """The matrix of the command's file, and the seconds reading it took."""
    _phase(args, f"reading {args.file}")
    return _timed(read_matrix, args.file)


def _picture_line(res):
    """The report's last line when a picture was written."""
    return [f"picture written to {res['plot_file']}"] if res["plot_file"] else []


def _pattern(A):
    """The pattern of A as a csc_array of ones (explicit zeros kept as entries)."""
    return sp.csc_array((np.ones(A.nnz), A.indices, A.indptr), shape=A.shape)


def _fmt(v):
    if v is None:
        return "-"
    if isinstance(v, bool):
        return str(v)
    if isinstance(v, (int, np.integer)):
        return f"{int(v):,}"
    if isinstance(v, (float, np.floating)):
        return f"{float(v):.6g}"
    return str(v)


def _fmt_seconds(s):
    if s is None:
        return "-"
    return f"{s * 1e3:.3g} ms" if s < 1 else f"{s:.3g} s"


def _rows(pairs, indent="  "):
    """Aligned 'name  value' lines."""
    pairs = list(pairs)
    if not pairs:
        return []
    w = max(len(k) for k, _ in pairs)
    return [f"{indent}{k.ljust(w)}  {v}" for k, v in pairs]


def _shape_text(info):
    entries = "entry" if info["nnz"] == 1 else "entries"
    return f"{info['rows']:,} x {info['cols']:,}, {info['nnz']:,} {entries}, {info['dtype']}"


# --------------------------------------------------------------------------- order

def _cholesky_nnz(S):
    """nnz(L) (diagonal included) and the multiply-subtract pairs of an LDL' factorisation
    of a matrix of the symmetric pattern `S`, in the order given."""
    from ferrow._symbolic import cholesky_counts

    S = sp.csc_array(S)
    S.sort_indices()
    d = cholesky_counts(S) - 1  # below the diagonal
    if d.size and float(d.max()) ** 2 * d.size < 2.0 ** 62:
        flops = int(((d * d + d) // 2).sum())
    else:  # beyond int64: Python integers
        flops = sum(k * (k + 1) // 2 for k in d.tolist())
    return int(d.sum()) + S.shape[0], flops


def _r_nnz(A):
    """nnz(R) of the QR factorisation of A in the given column order."""
    (spqr,) = _need("ferrow.spqr", "spqr")
    R, _ = spqr(A, mode="r", order="fixed")
    return int(R.nnz)


def _lu_nnz(A):
    """nnz(L) + nnz(U) - N of SuperLU with partial pivoting and the given column order,
    or None when the matrix is singular."""
    from scipy.sparse.linalg import splu

    N = A.shape[0]
    if N == 0:
        return 0
    try:
        lu = splu(sp.csc_matrix(A), permc_spec="NATURAL")
    except RuntimeError:  # exactly singular
        return None
    return int(lu.L.nnz + lu.U.nnz - N)


def _symmetric_fill(A, perm, method):
    from ferrow._symbolic import symmetric_pattern

    # SYMAMD and CSYMAMD read the strictly lower triangle and assume symmetry; CAMD
    # orders the pattern of A + A^T.
    S = symmetric_pattern(A, lower_only=method != "camd")
    nat, nat_flops = _cholesky_nnz(S)
    ordered, ord_flops = _cholesky_nnz(S[perm][:, perm])
    return {"factor": "L", "natural": nat, "ordered": ordered,
            "natural_flops": nat_flops, "ordered_flops": ord_flops}


def _column_fill(A, perm):
    Aq = sp.csc_array(A[:, perm])
    fill = {"factor": "R", "natural": None, "ordered": None, "note": None}
    try:
        fill["natural"], fill["ordered"] = _r_nnz(A), _r_nnz(Aq)
    except Failure as exc:
        fill["note"] = f"nnz(R) not measured: {exc}"
    if A.shape[0] == A.shape[1]:
        fill["lu_natural"], fill["lu_ordered"] = _lu_nnz(A), _lu_nnz(Aq)
    return fill


def cmd_order(args):
    method = args.method
    if args.constraints is not None and method not in CONSTRAINED_METHODS:
        raise UsageError(f"--constraints is accepted by {', '.join(CONSTRAINED_METHODS)}, not by {method}")
    plot = _plot_module(args)
    if args.output is not None:
        _check_writable(args.output, "the permutation")
    A, t_read = _read_input(args)
    M, N = A.shape
    if method in SYMMETRIC_METHODS and M != N:
        raise UsageError(f"{args.file}: {method} orders square matrices and this one is {M} x {N}; "
                         "use colamd or ccolamd for a column ordering")
    constraints = read_constraints(args.constraints, N) if args.constraints is not None else None
    module = "ferrow.camd" if method == "camd" else ("ferrow.colamd" if method in ("colamd", "symamd")
                                                      else "ferrow.ccolamd")
    (fn,) = _need(module, method)
    kwargs = {"return_info": True}
    if constraints is not None:
        kwargs["constraints"] = constraints
    _phase(args, f"ordering with {method}")
    out, t_order = _library_call(method, fn, A, **kwargs)
    perm, stats = out if isinstance(out, tuple) else (out, None)
    perm = np.asarray(perm)
    if perm.shape != (N,) or not np.array_equal(np.sort(perm), np.arange(N)):
        raise Failure(f"{method} returned something that is not a permutation of 0..{N - 1}")
    if constraints is not None and N and np.any(np.diff(constraints[perm]) < 0):
        raise Failure(f"{method} returned a permutation that breaks the constraints")

    res = {"command": "order", "method": method, "matrix": _matrix_summary(A, args.file, t_read),
           "constraints": args.constraints, "order_seconds": t_order,
           "stats_type": type(stats).__name__ if stats is not None else None,
           "stats": _record(stats), "fill": None, "fill_seconds": None,
           "symmetric_pattern": None, "permutation_file": args.output, "plot_file": args.plot}
    if method in SYMMETRIC_METHODS:
        S = _pattern(A)
        res["symmetric_pattern"] = bool((S != S.T).nnz == 0)
    if not args.no_fill:
        _phase(args, "measuring the fill")
        if method in SYMMETRIC_METHODS:
            res["fill"], res["fill_seconds"] = _library_call("measuring the fill", _symmetric_fill,
                                                             A, perm, method)
        else:
            res["fill"], res["fill_seconds"] = _library_call("measuring the fill", _column_fill, A, perm)
    if args.output is not None:
        _phase(args, f"writing {args.output}")
        write_permutation(args.output, perm)
    if plot is not None:
        _phase(args, f"drawing {args.plot}")
        permuted = A[perm][:, perm] if method in SYMMETRIC_METHODS else A[:, perm]
        label = f"A[p][:, p] after {method}" if method in SYMMETRIC_METHODS else f"A[:, q] after {method}"
        fill = res["fill"]
        sub_a = sub_b = ""
        if fill is not None and fill["natural"] is not None:
            sub_a = f"natural order: nnz({fill['factor']}) {fill['natural']:,}"
            sub_b = f"nnz({fill['factor']}) {fill['ordered']:,}  ({_ratio(fill['natural'], fill['ordered'])})"
        _draw(plot, args.plot, [plot.Panel(A, "A", sub_a), plot.Panel(sp.csc_array(permuted), label, sub_b)],
                  title=f"{os.path.basename(args.file)}: {method} ordering")
    return res


def _ratio(natural, ordered):
    if not natural or not ordered:
        return "-"
    if natural == ordered:
        return "no change"
    r = natural / ordered
    return f"{r:.2f}x fewer" if r >= 1 else f"{1 / r:.2f}x more"


def _text_order(res):
    m = res["matrix"]
    lines = [f"{m['file']}: {_shape_text(m)}",
             f"{res['method']} ordering in {_fmt_seconds(res['order_seconds'])}"
             + (f", constraints from {res['constraints']}" if res["constraints"] else "")]
    if res["symmetric_pattern"] is False and res["method"] != "camd":
        lines.append(f"note: the pattern is not symmetric; {res['method']} reads the strictly lower "
                     "triangle only")
    if res["stats"] is None:
        lines.append("statistics: none (the matrix is trivial; the library was not called)")
    else:
        lines.append(f"statistics ({res['stats_type']}):")
        lines += _rows((k, _fmt(v)) for k, v in res["stats"].items())
    fill = res["fill"]
    if fill is not None:
        if fill["factor"] == "L":
            what = "A + A^T" if res["method"] == "camd" else "tril(A) + tril(A)^T"
            lines.append(f"fill: Cholesky factor L of the pattern of {what} (diagonal included)")
            lines += _rows([
                ("", "nnz(L)".rjust(14) + "flops (LDL' mult-subs)".rjust(26)),
                ("natural order", f"{fill['natural']:>14,}{fill['natural_flops']:>26,}"),
                (res["method"], f"{fill['ordered']:>14,}{fill['ordered_flops']:>26,}"
                 f"   {_ratio(fill['natural'], fill['ordered'])}"),
            ])
        else:
            lines.append("fill: R of the QR factorisation of A (natural order) and A[:, q]")
            if fill["natural"] is not None:
                lines += _rows([("natural order", f"nnz(R) {fill['natural']:>12,}"),
                                (res["method"], f"nnz(R) {fill['ordered']:>12,}   "
                                 f"{_ratio(fill['natural'], fill['ordered'])}")])
            else:
                lines.append(f"  {fill['note']}")
            if "lu_natural" in fill:
                lines.append("fill: L + U of SuperLU with partial pivoting, columns in that order")
                nat, ordd = fill["lu_natural"], fill["lu_ordered"]
                if nat is None or ordd is None:
                    lines.append("  not measured: the matrix is singular")
                else:
                    lines += _rows([("natural order", f"nnz(L+U) {nat:>10,}"),
                                    (res["method"], f"nnz(L+U) {ordd:>10,}   {_ratio(nat, ordd)}")])
        lines.append(f"  (measured in {_fmt_seconds(res['fill_seconds'])})")
    if res["permutation_file"]:
        lines.append(f"permutation written to {res['permutation_file']} (one index per line)")
    return lines + _picture_line(res)


# --------------------------------------------------------------------------- btf

def cmd_btf(args):
    plot = _plot_module(args)
    A, t_read = _read_input(args)
    M, N = A.shape
    if M != N:
        raise UsageError(f"{args.file}: the block triangular form needs a square matrix and this one "
                         f"is {M} x {N}")
    btf, btf_q_permutation = _need("ferrow.btf", "btf", "btf_q_permutation")
    _phase(args, "block triangular form")
    (p, q, r), t_btf = _library_call("btf", btf, A)
    rank = int(np.count_nonzero(q >= 0))
    q = btf_q_permutation(np.array(q))
    nblocks = 0 if N == 0 else int(np.argmax(r[1:] == N)) + 1
    bounds = np.asarray(r[:nblocks + 1], dtype=np.int64)
    sizes = np.diff(bounds)
    hist = {}
    for s in sizes.tolist():
        hist[s] = hist.get(s, 0) + 1
    res = {"command": "btf", "matrix": _matrix_summary(A, args.file, t_read), "btf_seconds": t_btf,
           "structural_rank": rank, "structurally_singular": rank < N, "nblocks": nblocks,
           "largest_block": int(sizes.max()) if nblocks else 0,
           "singleton_blocks": int(np.count_nonzero(sizes == 1)),
           "block_sizes": sizes.tolist(), "block_boundaries": bounds.tolist(),
           "size_histogram": {str(k): v for k, v in sorted(hist.items())}, "plot_file": args.plot}
    if plot is not None:
        _phase(args, f"drawing {args.plot}")
        B = sp.csc_array(A[p][:, q])
        big = int(np.count_nonzero(sizes > 1))
        _draw(plot, args.plot, [
            plot.Panel(A, "A", f"structural rank {rank:,}"),
            plot.Panel(B, "A[p][:, q], block upper triangular",
                       f"{nblocks:,} blocks, largest {res['largest_block']:,}"
                       + (" (blocks > 1 \u00d7 1 outlined)" if big else ""), blocks=bounds),
        ], title=f"{os.path.basename(args.file)}: block triangular form")
    return res


def _text_btf(res):
    m = res["matrix"]
    N = m["rows"]
    lines = [f"{m['file']}: {_shape_text(m)}",
             f"block triangular form in {_fmt_seconds(res['btf_seconds'])}"]
    rank_note = "" if not res["structurally_singular"] else f"  (structurally singular: deficiency {N - res['structural_rank']:,})"
    lines += _rows([("structural rank", f"{res['structural_rank']:,} of {N:,}{rank_note}"),
                    ("blocks", f"{res['nblocks']:,}"),
                    ("largest block", f"{res['largest_block']:,}"),
                    ("1 x 1 blocks", f"{res['singleton_blocks']:,}")])
    if res["nblocks"]:
        if res["nblocks"] <= 20:
            lines.append("block sizes: " + " ".join(str(s) for s in res["block_sizes"]))
        else:
            hist = ", ".join(f"{v:,} of size {k}" for k, v in res["size_histogram"].items())
            lines.append(f"block sizes: {hist}")
    return lines + _picture_line(res)


# --------------------------------------------------------------------------- qr

def cmd_qr(args):
    plot = _plot_module(args)
    A, t_read = _read_input(args)
    SPQRFactor, spqr = _need("ferrow.spqr", "SPQRFactor", "spqr")
    _phase(args, "symbolic analysis")
    F, t_analyse = _library_call("the symbolic analysis", SPQRFactor, A, order=args.order, tol=args.tol)
    _phase(args, "numeric factorisation")
    _, t_factor = _library_call("the numeric factorisation", F.factorize, A)
    info = F.info
    rank = F.rank
    _phase(args, "R alone, in one call")
    (R, E), t_r = _library_call("QR", spqr, A, mode="r", order=args.order, tol=args.tol)
    M, N = A.shape
    res = {"command": "qr", "matrix": _matrix_summary(A, args.file, t_read),
           "order": args.order or "default", "tol": args.tol,
           "rank": rank, "rank_deficient": rank is not None and rank < min(M, N),
           "nnz_R": int(R.nnz), "R_shape": list(R.shape),
           "times": {"read": t_read, "analyse": t_analyse, "factorise": t_factor, "one_shot_r": t_r},
           "info": _record(info), "plot_file": args.plot}
    if plot is not None:
        _phase(args, f"drawing {args.plot}")
        perm = np.arange(N) if E is None else np.asarray(E)
        AE = sp.csc_array(A[:, perm])
        _draw(plot, args.plot, [
            plot.Panel(A, "A", ""),
            plot.Panel(AE, "A E, columns ordered", f"ordering {info.ordering}"),
            plot.Panel(sp.csc_array(R), "R", f"rank {rank:,}", color="r"),
        ], title=f"{os.path.basename(args.file)}: sparse QR, Q R = A E")
    return res


def _text_qr(res):
    m = res["matrix"]
    t = res["times"]
    info = res["info"]
    lines = [f"{m['file']}: {_shape_text(m)}",
             f"QR with ordering {res['order']}"
             + (f" (used: {info['ordering']})" if info and info.get("ordering") else "")
             + (f", tol {res['tol']:g}" if res["tol"] is not None else ", default tol")]
    deficient = "  (rank deficient)" if res["rank_deficient"] else ""
    lines += _rows([("rank", f"{res['rank']:,} of min(M, N) = {min(m['rows'], m['cols']):,}{deficient}"),
                    ("nnz(R)", f"{res['nnz_R']:,}  (R is {res['R_shape'][0]:,} x {res['R_shape'][1]:,})")])
    def lib(key):  # the library's own clock, from the statistics record
        v = info.get(key) if info else None
        return f"  (in the library {_fmt_seconds(v)})" if isinstance(v, float) else ""

    lines.append("time per phase (wall clock):")
    lines += _rows([("read file", _fmt_seconds(t["read"])),
                    ("analyse (symbolic)", _fmt_seconds(t["analyse"]).ljust(9) + lib("analyze_time")),
                    ("factorise (numeric)", _fmt_seconds(t["factorise"]).ljust(9) + lib("factorize_time")),
                    ("R alone, one call", _fmt_seconds(t["one_shot_r"]))])
    if info is not None:
        lines.append("statistics (SPQRInfo):")
        lines += _rows((k, _fmt(v)) for k, v in info.items())
    return lines + _picture_line(res)


# --------------------------------------------------------------------------- solve

def _column_norms(X):
    if sp.issparse(X):
        from scipy.sparse.linalg import norm as spnorm
        return np.atleast_1d(np.asarray(spnorm(X, axis=0), dtype=np.float64))
    X = X.reshape(X.shape[0], -1)
    return np.linalg.norm(X, axis=0)


def cmd_solve(args):
    if args.output is not None:
        _check_writable(args.output, "the solution")
    A, t_read = _read_input(args)
    _phase(args, f"reading {args.rhs}")
    b = read_vector_or_matrix(args.rhs)
    M, N = A.shape
    if b.shape[0] != M:
        raise UsageError(f"{args.rhs}: the right-hand side has {b.shape[0]:,} rows but A has {M:,}")
    if b.dtype.kind == "c" and A.dtype.kind != "c":
        A = A.astype(np.complex128)
    spqr_solve, RankWarning = _need("ferrow.spqr", "spqr_solve", "SPQRRankDeficiencyWarning")
    _phase(args, "factorising and solving")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RankWarning)
        x, t_solve = _library_call("the solve", spqr_solve, A, b)
    _phase(args, "residuals")
    rank_warnings = [str(w.message) for w in caught if issubclass(w.category, RankWarning)]
    B = b if sp.issparse(b) else b.reshape(M, -1)
    X = x if sp.issparse(x) else x.reshape(N, -1)
    resid = B - A @ X
    r_norm = _column_norms(resid)
    b_norm = _column_norms(B)
    x_norm = _column_norms(X)
    a_fro = float(np.linalg.norm(A.data)) if A.nnz else 0.0
    normal = _column_norms(A.conj().T @ resid)  # zero at a least-squares solution
    with np.errstate(divide="ignore", invalid="ignore"):
        rel = np.where(b_norm > 0, r_norm / b_norm, r_norm)
        opt = np.where(a_fro * r_norm > 0, normal / (a_fro * r_norm), 0.0)
    kind = "minimum-norm" if M < N else ("least-squares" if M > N else "square")
    res = {"command": "solve", "matrix": _matrix_summary(A, args.file, t_read), "rhs": args.rhs,
           "rhs_shape": list(b.shape), "rhs_sparse": bool(sp.issparse(b)), "kind": kind,
           "solve_seconds": t_solve, "rank_deficient": bool(rank_warnings),
           "warnings": rank_warnings,
           "residual_norm": r_norm, "relative_residual": rel, "normal_residual": normal,
           "relative_normal_residual": opt, "solution_norm": x_norm, "solution_file": args.output}
    if args.output is not None:
        _phase(args, f"writing {args.output}")
        write_solution(args.output, x)
    return res


def _text_solve(res):
    m = res["matrix"]
    k = 1 if len(res["rhs_shape"]) == 1 else res["rhs_shape"][1]
    what = {"minimum-norm": "minimum-norm solution of the underdetermined system A x = b",
            "least-squares": "least-squares solution of min ||A x - b||",
            "square": "solution of the square system A x = b (least squares if singular)"}[res["kind"]]
    lines = [f"{m['file']}: {_shape_text(m)}",
             f"{res['rhs']}: {k:,} right-hand side{'s' if k != 1 else ''}"
             + (" (sparse)" if res["rhs_sparse"] else ""),
             f"{what}, in {_fmt_seconds(res['solve_seconds'])}"]
    for w in res["warnings"]:
        lines.append(f"warning: {w}")
    cols = list(range(k)) if k <= 8 else None
    names = [("||b - A x||", "residual_norm"), ("||b - A x|| / ||b||", "relative_residual")]
    if res["kind"] == "least-squares":
        # At a least-squares solution the residual is orthogonal to the range of A.
        names += [("||A^H (b - A x)||", "normal_residual"),
                  ("||A^H r|| / (||A||_F ||r||)", "relative_normal_residual")]
    names.append(("||x||", "solution_norm"))
    if cols is not None:
        header = "" if k == 1 else "  ".join(f"{'column ' + str(j):>12}" for j in cols)
        pairs = [("", header)] if header else []
        pairs += [(label, "  ".join(f"{res[key][j]:>12.4e}" for j in cols)) for label, key in names]
    else:
        pairs = [(label + " (largest)", f"{float(np.max(res[key])):.4e}") for label, key in names]
    lines += _rows(pairs)
    if res["solution_file"]:
        lines.append(f"solution written to {res['solution_file']}")
    return lines


# --------------------------------------------------------------------------- demo

def cmd_demo(args):
    from ferrow.demos import run_all, sections

    if not args.json:
        run_all(sys.stdout)
        return None
    out = []
    for name, section in sections():
        buf = io.StringIO()
        section.run(buf)
        out.append({"name": name, "title": section.TITLE, "text": buf.getvalue()})
    return {"command": "demo", "sections": out}


# --------------------------------------------------------------------------- parser

def _plot_module(args):
    """The plotting module when --plot was given (checked before any work is done)."""
    if getattr(args, "plot", None) is None:
        return None
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UsageError(PLOT_INSTALL_HINT) from None
    from matplotlib.backend_bases import FigureCanvasBase

    ext = os.path.splitext(args.plot)[1].lower().lstrip(".")
    formats = FigureCanvasBase.get_supported_filetypes()
    if ext not in formats:
        known = ", ".join(f".{k}" for k in sorted(formats))
        what = f"the extension '.{ext}'" if ext else "a name without an extension"
        raise UsageError(f"{args.plot}: cannot draw a picture with {what}; use one of {known}")
    _check_writable(args.plot, "the picture")
    from ferrow import _plot

    return _plot


def _draw(plot, path, panels, title):
    try:
        plot.draw(path, panels, title)
    except OSError as exc:
        raise UsageError(f"{path}: cannot write the picture: {exc.strerror or exc}") from None
    except Exception as exc:  # a format whose writer needs what this machine lacks
        raise Failure(f"drawing {path} failed: {_one_line(exc)}") from None


class _Parser(argparse.ArgumentParser):
    """argparse whose errors are a `UsageError`: one line, no usage dump."""

    def error(self, message):
        raise UsageError(f"{message} (see '{self.prog} --help')", prog=self.prog)


def _finite_float(text):
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
    if not math.isfinite(v):
        raise argparse.ArgumentTypeError(f"'{text}' is not a finite number")
    return v


def build_parser():
    from ferrow import __version__

    common = _Parser(add_help=False)
    common.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    plotting = _Parser(add_help=False)
    plotting.add_argument("--plot", metavar="PNG",
                          help="draw the sparsity patterns into a PNG file (needs matplotlib: "
                               "pip install 'ferrow[plot]')")

    parser = _Parser(prog="ferrow",
                     description="SuiteSparse orderings, block triangular form and sparse QR "
                                 "of matrix files (Matrix Market .mtx/.mtx.gz or SciPy .npz).",
                     epilog="Run 'ferrow COMMAND --help' for the options of a command.")
    parser.add_argument("--version", action="version", version=f"ferrow {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser("order", parents=[common, plotting],
                       help="fill-reducing ordering and the fill it saves",
                       description="Compute a fill-reducing ordering, print its statistics record "
                                   "and the fill it buys: nnz of the Cholesky factor for the "
                                   "symmetric orderings (camd, symamd, csymamd), nnz of R and of "
                                   "the LU factors for the column orderings (colamd, ccolamd).")
    p.add_argument("file", metavar="FILE", help="the matrix (.mtx, .mtx.gz or .npz)")
    p.add_argument("--method", choices=ORDER_METHODS, default="camd", help="the ordering (default camd)")
    p.add_argument("--constraints", metavar="FILE",
                   help="constraint set of each column, integers in 0..N-1, one per line "
                        "(or a .npy array); for camd, ccolamd and csymamd")
    p.add_argument("-o", "--output", metavar="OUT", help="write the permutation to OUT, one index per line")
    p.add_argument("--no-fill", action="store_true",
                   help="skip measuring the fill (it factorises A in its natural order)")

    p = sub.add_parser("btf", parents=[common, plotting], help="block triangular form",
                       description="Permute a square matrix to block upper triangular form: "
                                   "structural rank, number and sizes of the diagonal blocks.")
    p.add_argument("file", metavar="FILE", help="the matrix (.mtx, .mtx.gz or .npz)")

    p = sub.add_parser("qr", parents=[common, plotting], help="sparse QR factorisation",
                       description="Factorise Q R = A E: rank, nnz of R, time per phase and the "
                                   "SPQRInfo statistics record.")
    p.add_argument("file", metavar="FILE", help="the matrix (.mtx, .mtx.gz or .npz)")
    p.add_argument("--order", choices=QR_ORDERINGS, default=None,
                   help="column ordering (default: the library's own choice: COLAMD, or for "
                        "much taller than wide matrices AMD or METIS)")
    p.add_argument("--tol", type=_finite_float, default=None, metavar="T",
                   help="columns of 2-norm at most T count as zero (default: the library's "
                        "20 eps (M+N) times the largest column norm; -2 < T < 0 turns rank "
                        "detection off, T <= -2 asks for the default)")

    p = sub.add_parser("solve", parents=[common], help="least-squares or minimum-norm solve",
                       description="Solve A x = b with sparse QR: the least-squares solution when A "
                                   "has at least as many rows as columns, the minimum-norm solution "
                                   "when it has fewer. Prints the residual norms.")
    p.add_argument("file", metavar="FILE", help="the matrix (.mtx, .mtx.gz or .npz)")
    p.add_argument("rhs", metavar="RHS",
                   help="right-hand side(s): .npy, .mtx (dense or sparse), .npz, or a text file "
                        "of numbers, one row per line")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="write the solution to OUT (.npy, .npz, .mtx, else text)")

    sub.add_parser("demo", parents=[common], help="run the built-in demo on problems it builds itself",
                   description="Run the built-in demo: each module on test problems it builds itself.")
    return parser


_COMMANDS = {"order": (cmd_order, _text_order), "btf": (cmd_btf, _text_btf),
             "qr": (cmd_qr, _text_qr), "solve": (cmd_solve, _text_solve), "demo": (cmd_demo, None)}


def main(argv=None):
    """Run the command line with `argv` (default ``sys.argv[1:]``); return the exit code."""
    parser = build_parser()
    prog = "ferrow"
    try:
        try:
            args = parser.parse_args(argv)
        except SystemExit as exc:  # --help and --version
            return exc.code if isinstance(exc.code, int) else EXIT_OK
        prog = f"ferrow {args.command}"
        run, text = _COMMANDS[args.command]
        phases = args.phases = _Phases(prog)
        try:
            res = run(args)
        finally:
            phases.clear()
        if res is not None:
            if args.json:
                sys.stdout.write(json.dumps(_jsonable(res), indent=2, allow_nan=False) + "\n")
            else:
                sys.stdout.write("\n".join(text(res)) + "\n")
            sys.stdout.flush()
        return EXIT_OK
    except UsageError as exc:
        sys.stderr.write(f"{exc.prog or prog}: error: {exc}\n")
        return EXIT_USAGE
    except Failure as exc:
        sys.stderr.write(f"{prog}: error: {exc}\n")
        return EXIT_FAILURE
    except KeyboardInterrupt:
        sys.stderr.write(f"{prog}: interrupted\n")
        return 130
    except BrokenPipeError:
        # The reader went away (ferrow ... | head): stop quietly.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return EXIT_OK
