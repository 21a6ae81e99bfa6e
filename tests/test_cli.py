"""The ``ferrow`` command line, run in-process on files the tests write themselves."""

import bz2
import dataclasses
import gzip
import importlib
import json
import os
import subprocess
import sys
from dataclasses import asdict

import numpy as np
import pytest
import scipy.io
import scipy.sparse as sp
from scipy.sparse.csgraph import structural_rank

from conftest import is_permutation, random_csc
from ferrow._symbolic import cholesky_counts, symmetric_pattern
from ferrow.camd import camd
from ferrow.cli import main
from ferrow.demos.problems import laplacian_2d


def built(module, *names):
    """Whether `module` and its `names` are in this build (some land after others)."""
    try:
        mod = importlib.import_module(module)
        return all(hasattr(mod, n) for n in names)
    except ImportError:
        return False


def needs(module, *names):
    """Skip the calling test while `module` (or one of its names) is not built yet."""
    if not built(module, *names):
        pytest.skip(f"{module} is not in this build yet")
    return importlib.import_module(module)


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def run_json(capsys, *argv):
    code, out, err = run(capsys, *argv, "--json")
    assert code == 0, err
    return json.loads(out)


def write_mtx(path, A, **kwargs):
    scipy.io.mmwrite(str(path), A, **kwargs)
    return path


def brute_force_lnz(A):
    """nnz(L), diagonal included, of the Cholesky factor of the pattern of A + A.T,
    by eliminating one node after the other on sets."""
    N = A.shape[0]
    B = sp.csc_array(abs(A) + abs(A.T))
    adj = [set(B.indices[B.indptr[j]:B.indptr[j + 1]].tolist()) - {j} for j in range(N)]
    count = N
    for k in range(N):
        later = {i for i in adj[k] if i > k}
        count += len(later)
        for i in later:
            adj[i] |= later - {i}
    return count


@pytest.fixture
def lap(tmp_path):
    A = laplacian_2d(7)
    return A, write_mtx(tmp_path / "lap.mtx", A)


# --------------------------------------------------------------------------- files

@pytest.mark.parametrize("kind", ["mtx", "gzip", "bz2", "symmetric", "dense", "npz", "npz-csr"])
def test_every_file_kind_reads_the_same_matrix(tmp_path, capsys, kind):
    A = laplacian_2d(6)
    path = tmp_path / "A.mtx"
    if kind in ("mtx", "gzip", "bz2"):
        write_mtx(path, A)
        if kind != "mtx":
            packed = (gzip.compress if kind == "gzip" else bz2.compress)(path.read_bytes())
            path = tmp_path / "A.data"  # the kind is told by the contents, not the name
            path.write_bytes(packed)
    elif kind == "symmetric":
        write_mtx(path, A, symmetry="symmetric")
        assert "symmetric" in path.read_text().splitlines()[0]
    elif kind == "dense":
        write_mtx(path, A.toarray())
        assert "array" in path.read_text().splitlines()[0]
    else:
        path = tmp_path / "A.npz"
        sp.save_npz(path, A if kind == "npz" else sp.csr_array(A))
    res = run_json(capsys, "order", path)
    assert (res["matrix"]["rows"], res["matrix"]["cols"]) == A.shape
    assert res["matrix"]["dtype"] == "float64"
    assert res["matrix"]["nnz"] == A.nnz  # a dense file's zeros are not entries
    _, info = camd(A, return_info=True)
    assert res["stats"] == asdict(info)


def test_integer_and_complex_files(tmp_path, capsys):
    A = laplacian_2d(4)
    write_mtx(tmp_path / "int.mtx", sp.csc_array(A.astype(np.int64)), field="integer")
    write_mtx(tmp_path / "cplx.mtx", sp.csc_array(A * (1 + 2j)))
    assert run_json(capsys, "order", tmp_path / "int.mtx")["matrix"]["dtype"] == "float64"
    assert run_json(capsys, "order", tmp_path / "cplx.mtx")["matrix"]["dtype"] == "complex128"


# --------------------------------------------------------------------------- order

def test_order_camd_numbers_match_the_library(tmp_path, capsys, lap):
    A, path = lap
    out = tmp_path / "p.txt"
    res = run_json(capsys, "order", path, "--method", "camd", "-o", out)
    p, info = camd(A, return_info=True)
    assert res["stats_type"] == "CAMDInfo" and res["stats"] == asdict(info)
    written = np.loadtxt(out, dtype=np.int64)
    assert np.array_equal(written, p) and is_permutation(written, A.shape[0])
    fill = res["fill"]
    assert fill["factor"] == "L"
    assert fill["natural"] == brute_force_lnz(A)
    assert fill["ordered"] == brute_force_lnz(A[p][:, p]) == info.Lnz + A.shape[0]
    assert fill["ordered_flops"] == info.Nmultsubs_LDL
    assert fill["ordered"] < fill["natural"]


def test_order_text_output(capsys, lap):
    A, path = lap
    code, out, err = run(capsys, "order", path)
    assert code == 0 and err == ""
    p, info = camd(A, return_info=True)
    assert "statistics (CAMDInfo):" in out
    assert f"{info.Lnz + A.shape[0]:,}" in out and f"{brute_force_lnz(A):,}" in out
    assert "fewer" in out


def test_order_with_constraints(tmp_path, capsys):
    A = random_csc(30, 30, density=0.15, seed=4)
    groups = np.arange(30) % 3
    cfile = tmp_path / "c.txt"
    cfile.write_text("# one group per column\n" + "\n".join(map(str, groups)) + "\n")
    out = tmp_path / "p.txt"
    res = run_json(capsys, "order", write_mtx(tmp_path / "A.mtx", A), "--constraints", cfile, "-o", out)
    p = np.loadtxt(out, dtype=np.int64)
    assert np.array_equal(p, camd(A, constraints=groups))
    assert (np.diff(groups[p]) >= 0).all()
    assert res["constraints"] == str(cfile)
    np.save(tmp_path / "c.npy", groups)
    res2 = run_json(capsys, "order", tmp_path / "A.mtx", "--constraints", tmp_path / "c.npy")
    assert res2["stats"] == res["stats"]


@pytest.mark.parametrize("method", ["symamd", "csymamd"])
def test_order_symmetric_methods_count_the_lower_triangle(tmp_path, capsys, method):
    mod = needs("ferrow.colamd" if method == "symamd" else "ferrow.ccolamd", method)
    A = random_csc(25, 25, density=0.2, seed=2)  # unsymmetric on purpose
    path = write_mtx(tmp_path / "A.mtx", A)
    res = run_json(capsys, "order", path, "--method", method, "-o", tmp_path / "p.txt")
    q, stats = getattr(mod, method)(A, return_info=True)
    assert res["stats"] == asdict(stats)
    assert np.array_equal(np.loadtxt(tmp_path / "p.txt", dtype=np.int64), q)
    L = sp.tril(A, k=-1)
    S = sp.csc_array(L + L.T)
    assert res["symmetric_pattern"] is False
    assert res["fill"]["natural"] == brute_force_lnz(S)
    assert res["fill"]["ordered"] == brute_force_lnz(S[q][:, q])
    code, out, _ = run(capsys, "order", path, "--method", method)
    assert "strictly lower triangle" in out


@pytest.mark.parametrize("method,shape", [("colamd", (40, 25)), ("ccolamd", (30, 30)), ("colamd", (12, 20))])
def test_order_column_methods_measure_r_and_lu(tmp_path, capsys, method, shape):
    mod = needs("ferrow.colamd" if method == "colamd" else "ferrow.ccolamd", method)
    from scipy.sparse.linalg import splu

    A = random_csc(*shape, density=0.12, seed=5)
    path = write_mtx(tmp_path / "A.mtx", A)
    res = run_json(capsys, "order", path, "--method", method, "-o", tmp_path / "q.txt")
    q, stats = getattr(mod, method)(A, return_info=True)
    assert res["stats"] == asdict(stats)
    assert np.array_equal(np.loadtxt(tmp_path / "q.txt", dtype=np.int64), q)
    fill = res["fill"]
    assert fill["factor"] == "R"
    if built("ferrow.spqr", "spqr"):
        from ferrow.spqr import spqr

        assert fill["natural"] == spqr(A, mode="r", order="fixed")[0].nnz
        assert fill["ordered"] == spqr(sp.csc_array(A[:, q]), mode="r", order="fixed")[0].nnz
    else:  # said, not faked
        assert fill["natural"] is None and "not measured" in fill["note"]
    if shape[0] == shape[1]:
        lu = splu(sp.csc_matrix(A[:, q]), permc_spec="NATURAL")
        assert fill["lu_ordered"] == lu.L.nnz + lu.U.nnz - shape[0]
    else:
        assert "lu_natural" not in fill


def test_symbolic_counts_are_exact():
    """The fill that `order` prints: column counts against elimination on sets and CAMD."""
    rng = np.random.default_rng(7)
    for _ in range(60):
        n = int(rng.integers(1, 35))
        A = sp.csc_array(sp.random_array((n, n), density=rng.uniform(0, 0.35), rng=rng))
        c = cholesky_counts(symmetric_pattern(A))
        assert c.sum() == brute_force_lnz(A)
        if A.nnz:
            _, info = camd(A, constraints=np.arange(n), dense_thresh=-1, return_info=True)
            assert info.Lnz == c.sum() - n


# --------------------------------------------------------------------------- btf

def block_matrix(seed=0):
    """A permuted block upper triangular matrix of known blocks (sizes 3, 1, 4, 2), each
    strongly connected, and an empty column that makes it structurally singular."""
    rng = np.random.default_rng(seed)
    sizes = [3, 1, 4, 2]
    N = sum(sizes)
    B = np.zeros((N, N))
    start = 0
    for s in sizes:
        idx = np.arange(start, start + s)
        B[idx, idx] = 1
        if s > 1:
            B[idx, np.roll(idx, 1)] = 1  # a cycle: the block is irreducible
        B[start:start + s, start + s:] = rng.random((s, N - start - s)) < 0.3
        start += s
    pr, pc = rng.permutation(N), rng.permutation(N)
    return sp.csc_array(B[pr][:, pc]), sorted(sizes)


def test_btf_numbers(tmp_path, capsys):
    btf = needs("ferrow.btf", "btf").btf
    A, sizes = block_matrix()
    res = run_json(capsys, "btf", write_mtx(tmp_path / "A.mtx", A))
    assert res["structural_rank"] == structural_rank(A) == A.shape[0]
    assert sorted(res["block_sizes"]) == sizes and res["nblocks"] == 4
    _, _, r = btf(A)
    assert res["block_boundaries"] == r[:5].tolist()
    assert res["largest_block"] == 4 and res["singleton_blocks"] == 1
    # Structurally singular: drop the entries of one column.
    S = sp.lil_array(A)
    S[:, 2] = 0
    S = sp.csc_array(S)
    S.eliminate_zeros()
    res = run_json(capsys, "btf", write_mtx(tmp_path / "S.mtx", S))
    assert res["structural_rank"] == structural_rank(S) == A.shape[0] - 1
    assert res["structurally_singular"] and sum(res["block_sizes"]) == A.shape[0]
    code, out, _ = run(capsys, "btf", tmp_path / "S.mtx")
    assert code == 0 and "structurally singular" in out


# --------------------------------------------------------------------------- qr

@pytest.mark.parametrize("order,tol", [(None, None), ("fixed", None), ("amd", "1e-8")])
def test_qr_numbers(tmp_path, capsys, order, tol):
    spqr_mod = needs("ferrow.spqr", "spqr", "SPQRFactor")
    A = random_csc(30, 12, density=0.25, seed=3).toarray()
    A[:, 5] = A[:, 1] + 2 * A[:, 7]  # numerically rank deficient: rank 11
    A = sp.csc_array(A)
    args = ["qr", write_mtx(tmp_path / "A.mtx", A)]
    args += ["--order", order] if order else []
    args += ["--tol", tol] if tol else []
    res = run_json(capsys, *args)
    kw = {"order": order, "tol": None if tol is None else float(tol)}
    R, _ = spqr_mod.spqr(A, mode="r", **kw)
    assert res["rank"] == np.linalg.matrix_rank(A.toarray()) == 11 and res["rank_deficient"]
    assert res["nnz_R"] == R.nnz and res["R_shape"] == list(R.shape)
    info = spqr_mod.SPQRFactor(A, **kw).factorize(A).info
    names = [f.name for f in dataclasses.fields(info)]
    assert list(res["info"]) == names
    for name in ("nnzR_upper_bound", "nf", "rank_A_estimate", "ordering", "tol"):
        assert res["info"][name] == getattr(info, name)
    assert all(res["times"][k] >= 0 for k in ("read", "analyse", "factorise", "one_shot_r"))
    code, out, _ = run(capsys, *args)
    assert "statistics (SPQRInfo):" in out and "rank deficient" in out


# --------------------------------------------------------------------------- solve

@pytest.mark.parametrize("shape", [(20, 8), (6, 15), (10, 10)])
@pytest.mark.parametrize("rhs_kind", ["txt", "npy", "mtx", "txt-2"])
def test_solve_matches_numpy(tmp_path, capsys, shape, rhs_kind):
    needs("ferrow.spqr", "spqr_solve")
    M, N = shape
    A = random_csc(M, N, density=0.3, seed=M + N)
    rng = np.random.default_rng(1)
    b = rng.standard_normal((M, 2)) if rhs_kind == "txt-2" else rng.standard_normal(M)
    path = tmp_path / f"b.{rhs_kind[:3]}"
    if rhs_kind.startswith("txt"):
        np.savetxt(path, b)
    elif rhs_kind == "npy":
        np.save(path, b)
    else:
        write_mtx(path, b.reshape(M, 1))
    xfile = tmp_path / "x.npy"
    res = run_json(capsys, "solve", write_mtx(tmp_path / "A.mtx", A), path, "-o", xfile)
    x = np.load(xfile)
    expected = np.linalg.lstsq(A.toarray(), b if rhs_kind != "mtx" else b.reshape(M, 1), rcond=None)[0]
    np.testing.assert_allclose(x.reshape(expected.shape), expected, atol=1e-10)
    assert res["kind"] == {(20, 8): "least-squares", (6, 15): "minimum-norm", (10, 10): "square"}[shape]
    X = x.reshape(N, -1)
    B = b.reshape(M, -1)
    r = B - A.toarray() @ X
    np.testing.assert_allclose(res["residual_norm"], np.linalg.norm(r, axis=0), rtol=1e-6, atol=1e-12)
    np.testing.assert_allclose(res["solution_norm"], np.linalg.norm(X, axis=0), rtol=1e-10)
    if M > N:
        assert max(res["relative_normal_residual"]) < 1e-10  # A^T r = 0 at the solution
    else:
        assert max(res["relative_residual"]) < 1e-10  # consistent: b = A x


def test_solve_text_output_and_rank_warning(tmp_path, capsys):
    needs("ferrow.spqr", "spqr_solve")
    A = sp.csc_array(np.array([[1.0, 2.0], [2.0, 4.0], [0.0, 0.0]]))
    path = write_mtx(tmp_path / "A.mtx", A)
    np.savetxt(tmp_path / "b.txt", [1.0, 2.0, 3.0])
    code, out, err = run(capsys, "solve", path, tmp_path / "b.txt")
    assert code == 0 and err == ""
    assert "least-squares" in out and "||b - A x||" in out
    assert "warning:" in out and "rank" in out


# --------------------------------------------------------------------------- demo

def test_demo(capsys, monkeypatch):
    import ferrow.demos

    monkeypatch.setattr(ferrow.demos, "SECTIONS", ["camd", "no_such_section"])  # one is enough
    code, out, _ = run(capsys, "demo")
    assert code == 0 and "== CAMD" in out
    res = run_json(capsys, "demo")
    assert [s["name"] for s in res["sections"]] == ["camd"]
    section = res["sections"][0]
    assert section["title"] == ferrow.demos.camd.TITLE
    assert section["text"].splitlines()[0] in out  # the timings differ between the runs


# --------------------------------------------------------------------------- plots

def test_plots_are_written(tmp_path, capsys, lap):
    from matplotlib.image import imread

    A, path = lap
    commands = [["order", path]]
    if built("ferrow.btf", "btf"):
        commands.append(["btf", path])
    if built("ferrow.spqr", "spqr", "SPQRFactor"):
        commands.append(["qr", path])
    panels = {"order": 2, "btf": 2, "qr": 3}
    for argv in commands:
        png = tmp_path / f"{argv[0]}.png"
        code, out, err = run(capsys, *argv, "--plot", png)
        assert code == 0, err
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        img = imread(png)
        height, width = img.shape[:2]
        assert width > 1.5 * panels[argv[0]] * 300 and height > 300
        assert str(png) in out


def test_plot_draws_large_matrices_as_an_image(tmp_path):
    from ferrow import _plot

    from matplotlib.image import imread

    A = laplacian_2d(200)  # 199,200 entries: more than markers are used for
    assert A.nnz > _plot.MAX_MARKERS
    png = tmp_path / "big.png"
    _plot.draw(png, [_plot.Panel(A, "A"), _plot.Panel(A, "A", blocks=np.array([0, 100, 40000]))], "t")
    img = imread(png)[..., :3]
    blue = (img[..., 2] > img[..., 0] + 0.2)  # the entries' colour, not white or grey text
    assert blue.mean() > 0.001  # the band along the diagonal is drawn (none: 0)


def test_plot_without_matplotlib_says_how_to_install(tmp_path, capsys, monkeypatch, lap):
    _, path = lap
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import matplotlib now fails
    png = tmp_path / "x.png"
    code, out, err = run(capsys, "order", path, "--plot", png)
    assert code == 2 and out == ""
    assert "pip install 'ferrow[plot]'" in err and len(err.splitlines()) == 1
    assert not png.exists()


# --------------------------------------------------------------------------- errors

def _bad_files(tmp_path):
    (tmp_path / "empty.mtx").write_bytes(b"")
    (tmp_path / "trunc.mtx").write_text("%%MatrixMarket matrix coordinate real general\n3 3 4\n1 1 1.0\n")
    (tmp_path / "range.mtx").write_text("%%MatrixMarket matrix coordinate real general\n3 3 1\n5 1 1.0\n")
    (tmp_path / "notmm.mtx").write_text("1 2 3\n4 5 6\n")
    (tmp_path / "garbage.gz").write_bytes(b"\x1f\x8b\x08\x00not really gzip")
    np.savez(tmp_path / "dense.npz", a=np.ones(3))
    (tmp_path / "zip.npz").write_bytes(b"PK\x03\x04broken")
    np.save(tmp_path / "arr.npy", np.ones((3, 3)))
    (tmp_path / "dir.mtx").mkdir()
    write_mtx(tmp_path / "rect.mtx", sp.csc_array(np.ones((3, 4))))
    write_mtx(tmp_path / "sq.mtx", laplacian_2d(3))
    (tmp_path / "c_short.txt").write_text("0\n1\n")
    (tmp_path / "c_float.txt").write_text("\n".join(["0"] * 8 + ["1.5"]))
    (tmp_path / "c_range.txt").write_text("\n".join(["0"] * 8 + ["9"]))
    (tmp_path / "b_short.txt").write_text("1\n2\n")
    (tmp_path / "b_text.txt").write_text("one\ntwo\n")
    (tmp_path / "b9.txt").write_text("1\n" * 9)
    # the reader aborts the process on this header when it meets it in a stream
    (tmp_path / "mangled.mtx").write_text("%%MatrixMarket mangled coordinate pattern symmetric\n"
                                          "1 1 1\n1 1 1\n")
    with gzip.open(tmp_path / "mangled.mtx.gz", "wt") as f:
        f.write((tmp_path / "mangled.mtx").read_text())
    # an index 0 (so not 1-based) and an index 3 of 3 rows (so not 0-based either)
    (tmp_path / "zero_and_three.mtx").write_text(
        "%%MatrixMarket matrix coordinate real general\n3 3 2\n0 0 1.0\n3 1 2.0\n")


@pytest.mark.parametrize("argv,needle", [
    (["order", "missing.mtx"], "no such file"),
    (["order", "dir.mtx"], "is a directory"),
    (["order", "empty.mtx"], "empty"),
    (["order", "trunc.mtx"], "malformed Matrix Market file"),
    (["order", "range.mtx"], "malformed Matrix Market file"),
    (["order", "notmm.mtx"], "not a Matrix Market file"),
    (["order", "garbage.gz"], "garbage.gz"),
    (["order", "dense.npz"], "not a SciPy sparse .npz file"),
    (["order", "zip.npz"], "not a SciPy sparse .npz file"),
    (["order", "arr.npy"], ".npy"),
    (["order", "rect.mtx"], "square"),
    (["order", "sq.mtx", "--method", "amd"], "invalid choice"),
    (["order", "sq.mtx", "--method"], "expected one argument"),
    (["order", "sq.mtx", "--method", "colamd", "--constraints", "c_short.txt"], "not by colamd"),
    (["order", "sq.mtx", "--constraints", "c_short.txt"], "2 constraints for a matrix of 9 columns"),
    (["order", "sq.mtx", "--constraints", "c_float.txt"], "line 9: '1.5' is not an integer"),
    (["order", "sq.mtx", "--constraints", "c_range.txt"], "outside 0..8"),
    (["order", "sq.mtx", "--constraints", "missing.txt"], "no such file"),
    (["order", "sq.mtx", "-o", "nodir/p.txt"], "does not exist"),
    (["order", "sq.mtx", "--plot", "nodir/p.png"], "does not exist"),
    (["order", "sq.mtx", "--plot", "p.xyz"], "the extension '.xyz'; use one of"),
    (["order", "missing.mtx", "--plot", "p.xyz"], "p.xyz"),  # checked before any work
    (["btf", "sq.mtx", "--plot", "/proc/ferrow-no-such.png"], "cannot write the picture"),
    (["qr", "sq.mtx", "--plot", "noext"], "a name without an extension"),
    (["order", "sq.mtx", "-o", "/proc/ferrow-p.txt"], "cannot write the permutation"),
    (["solve", "sq.mtx", "b9.txt", "-o", "/proc/ferrow-x.npz"], "cannot write the solution"),
    (["order", "mangled.mtx"], "malformed Matrix Market file: its first line must read"),
    (["order", "mangled.mtx.gz"], "malformed Matrix Market file: its first line must read"),
    (["order", "zero_and_three.mtx"], "malformed Matrix Market file"),
    (["order"], "required"),
    (["order", "sq.mtx", "--frobnicate"], "unrecognized arguments"),
    (["btf", "rect.mtx"], "square"),
    (["qr", "sq.mtx", "--order", "given"], "invalid choice"),
    (["qr", "sq.mtx", "--tol", "small"], "not a number"),
    (["solve", "sq.mtx", "b_short.txt"], "2 rows but A has 9"),
    (["solve", "sq.mtx", "b_text.txt"], "not a text file of numbers"),
    (["solve", "sq.mtx", "missing.txt"], "no such file"),
    (["frobnicate"], "invalid choice"),
    ([], "required"),
])
def test_user_errors_exit_2_with_one_line(tmp_path, capsys, monkeypatch, argv, needle):
    _bad_files(tmp_path)
    monkeypatch.chdir(tmp_path)
    code, out, err = run(capsys, *argv)
    assert code == 2
    assert out == ""
    assert len(err.splitlines()) == 1 and err.startswith("ferrow") and "error:" in err
    assert needle in err
    assert "Traceback" not in err


def test_missing_module_is_a_failure_not_a_traceback(capsys, monkeypatch, lap):
    _, path = lap
    monkeypatch.setitem(sys.modules, "ferrow.btf", None)
    code, out, err = run(capsys, "btf", path)
    assert code == 1 and out == ""
    assert "ferrow.btf is not available" in err and len(err.splitlines()) == 1


def test_help_and_version(capsys):
    code, out, _ = run(capsys, "--help")
    assert code == 0 and out.startswith("usage: ferrow")
    for command in ("order", "btf", "qr", "solve", "demo"):
        code, out, _ = run(capsys, command, "--help")
        assert code == 0 and out.startswith(f"usage: ferrow {command}") and "--json" in out
        assert ("--plot" in out) == (command in ("order", "btf", "qr"))
    code, out, _ = run(capsys, "--version")
    assert code == 0 and out.startswith("ferrow ")


def test_python_m_ferrow(tmp_path):
    done = subprocess.run([sys.executable, "-m", "ferrow", "--help"], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0
    for command in ("order", "btf", "qr", "solve", "demo"):
        assert command in done.stdout
    done = subprocess.run([sys.executable, "-m", "ferrow", "order", str(tmp_path / "none.mtx")],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and "Traceback" not in done.stderr and "no such file" in done.stderr


# --------------------------------------------------------------------------- 0-based files

ZERO_BASED = {  # SuiteSparse's own sample files number from 0; some carry values in a pattern
    "real": ("real general", ["2 2 3", "0 0 1.1", "1 0 2.1", "1 1 2.2"],
             [[1.1, 0], [2.1, 2.2]]),
    "complex": ("complex general", ["2 3 2", "0 2 1.5 -2", "1 0 0 1"],
                [[0, 0, 1.5 - 2j], [1j, 0, 0]]),
    "pattern with values": ("pattern general", ["3 2 3", "0 0 1.1", "2 1 7", "0 1 1e-30"],
                            [[1, 1], [0, 0], [0, 1]]),
    "symmetric": ("real symmetric", ["3 3 3", "0 0 4", "2 0 -1", "2 2 5"],
                  [[4, 0, -1], [0, 0, 0], [-1, 0, 5]]),
    "skew-symmetric": ("real skew-symmetric", ["2 2 1", "1 0 3"], [[0, -3], [3, 0]]),
    "hermitian": ("complex hermitian", ["2 2 2", "0 0 1 0", "1 0 2 1"], [[1, 2 - 1j], [2 + 1j, 0]]),
}


@pytest.mark.parametrize("case", ZERO_BASED)
@pytest.mark.parametrize("compressed", [False, True], ids=["mtx", "gz"])
def test_zero_based_matrix_market_files_are_read_with_a_note(tmp_path, capsys, case, compressed):
    from ferrow.cli import read_matrix

    kind, lines, expected = ZERO_BASED[case]
    text = f"%%MatrixMarket matrix coordinate {kind}\n% a comment\n" + "\n".join(lines) + "\n"
    path = tmp_path / ("z.mtx.gz" if compressed else "z.mtx")
    if compressed:
        with gzip.open(path, "wt") as f:
            f.write(text)
    else:
        path.write_text(text)
    A = read_matrix(str(path))
    assert A.dtype == (np.complex128 if "complex" in kind else np.float64)
    np.testing.assert_array_equal(A.toarray(), np.array(expected))
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and "start at 0" in err and str(path) in err
    # the command line reads them too; a 1-based file gets no note
    code, out, err = run(capsys, "btf" if A.shape[0] == A.shape[1] else "qr", path)
    assert code == 0 and "start at 0" in err
    write_mtx(tmp_path / "one.mtx", sp.csc_array(np.array(expected)))
    assert read_matrix(str(tmp_path / "one.mtx")).nnz == A.nnz and capsys.readouterr().err == ""


def test_matrices_without_rows_are_ordered(tmp_path, capsys):
    # two of SuiteSparse's sample matrices: 0 x 4 and 4 x 0, no entries
    for shape in [(0, 4), (4, 0)]:
        path = tmp_path / "e.mtx"
        path.write_text(f"%%MatrixMarket matrix coordinate real general\n{shape[0]} {shape[1]} 0\n")
        for method in ("colamd", "ccolamd"):
            res = run_json(capsys, "order", path, "--method", method)
            assert res["stats"]["status"] == 0


# --------------------------------------------------------------------------- outputs and phases

@pytest.mark.parametrize("sparse_rhs", [False, True], ids=["dense", "sparse"])
def test_solve_writes_npz_that_reads_back_as_a_right_hand_side(tmp_path, capsys, sparse_rhs):
    needs("ferrow.spqr", "spqr_solve")
    A = random_csc(12, 12, density=0.3, seed=7)
    B = np.random.default_rng(2).standard_normal((12, 3))
    if sparse_rhs:
        B[B < 0.3] = 0
        sp.save_npz(tmp_path / "B.npz", sp.csc_array(B))
    else:
        np.save(tmp_path / "B.npy", B)
    rhs = tmp_path / ("B.npz" if sparse_rhs else "B.npy")
    path = write_mtx(tmp_path / "A.mtx", A)
    code, _, err = run(capsys, "solve", path, rhs, "-o", tmp_path / "x.npz")
    assert code == 0, err
    X = np.linalg.solve(A.toarray(), B)
    if sparse_rhs:
        x = sp.load_npz(tmp_path / "x.npz")
        np.testing.assert_allclose(x.toarray(), X, atol=1e-10)
    else:
        with np.load(tmp_path / "x.npz") as archive:
            assert archive.files == ["x"]
            np.testing.assert_allclose(archive["x"], X, atol=1e-10)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["A.mtx", rhs.name, "x.npz"])
    # x.npz is a right-hand side: A (A x) = A b solved again gives back the same x
    res = run_json(capsys, "solve", write_mtx(tmp_path / "I.mtx", sp.eye_array(12, format="csc")),
                   tmp_path / "x.npz", "-o", tmp_path / "y.npy")
    assert res["rhs_sparse"] == sparse_rhs and res["rhs_shape"] == [12, 3]
    np.testing.assert_allclose(np.load(tmp_path / "y.npy"), X, atol=1e-10)


def test_phases_go_to_a_terminal_only(tmp_path, capsys, monkeypatch, lap):
    from ferrow import cli

    _, path = lap
    code, out, err = run(capsys, "order", path, "-o", tmp_path / "p.txt")
    assert code == 0 and err == ""  # not a terminal: nothing but the results
    monkeypatch.setattr(cli, "_stderr_is_terminal", lambda: True)
    code, out2, err = run(capsys, "order", path, "-o", tmp_path / "p.txt")
    assert code == 0 and out2.splitlines()[1:] and "\x1b" not in out2
    phases = [p.split(": ", 1)[1] for p in err.split("\r\x1b[K") if p]
    assert phases == [f"reading {path} ...", "ordering with camd ...", "measuring the fill ...",
                      f"writing {tmp_path / 'p.txt'} ..."]
    assert err.endswith("\r\x1b[K")  # the line is cleared before the results
    code, _, err = run(capsys, "qr", "missing.mtx")
    assert code == 2 and err.count("error:") == 1 and "\x1b" not in err.split("\r\x1b[K")[-1]


def test_phases_on_a_real_terminal(tmp_path, lap):
    import pty

    _, path = lap
    try:
        master, slave = pty.openpty()
    except OSError as exc:  # a chroot or container without /dev/pts
        pytest.skip(f"no pseudo-terminal here: {exc}")
    try:
        done = subprocess.run([sys.executable, "-m", "ferrow", "btf", str(path)], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=slave, timeout=120)
        os.close(slave)
        slave = None
        seen = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal's other end is closed
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(master)
        if slave is not None:
            os.close(slave)
    assert done.returncode == 0 and b"block triangular form" in done.stdout
    assert b"ferrow btf: reading" in seen and b"ferrow btf: block triangular form ..." in seen
