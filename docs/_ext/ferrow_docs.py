"""What the ferrow documentation builds from the project itself, before Sphinx reads.

- ``api/generated/``: one reference page per public module of the installed package,
  with every public name (``__all__`` and whatever else the module defines without a
  leading underscore), so that new modules and functions appear without editing a page.
- ``generated/ratios.png``: the plot of ``make bench``, drawn from the tables of
  ``benchmarks/RESULTS.md`` with the benchmark report's own plotting code.
- ``generated/*.rst``: output of the examples in ``examples/`` that the guides show
  (tables measured while the site builds).
"""

from __future__ import annotations

import importlib
import inspect
import os
import pkgutil
import re
import runpy
import sys

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(HERE)
API_DIR = os.path.join(HERE, "api", "generated")
GEN_DIR = os.path.join(HERE, "generated")

# Modules of the package that are not part of the Python API: the command line (its own
# guide page) and the demo sections.
NOT_API = {"cli", "demos"}


def api_modules():
    """Names of the public modules of the installed ferrow package."""
    import ferrow

    return sorted(m.name for m in pkgutil.iter_modules(ferrow.__path__)
                  if not m.name.startswith("_") and m.name not in NOT_API)


def public_names(mod):
    """``__all__`` first, then every other public name the module itself defines."""
    names = list(getattr(mod, "__all__", []))
    for name in sorted(vars(mod)):
        if name.startswith("_") or name in names:
            continue
        obj = getattr(mod, name)
        if inspect.ismodule(obj):
            continue
        if getattr(obj, "__module__", None) == mod.__name__:
            names.append(name)
    return names


def _kind(obj):
    if inspect.isclass(obj):
        if issubclass(obj, Warning) or issubclass(obj, BaseException):
            return "exception"
        return "class"
    if callable(obj):
        return "function"
    return "data"


_GROUPS = [("class", "Classes"), ("function", "Functions"), ("exception", "Exceptions and warnings"),
           ("data", "Constants")]


def write_api_pages():
    os.makedirs(API_DIR, exist_ok=True)
    wanted = set()
    for short in api_modules():
        modname = f"ferrow.{short}"
        mod = importlib.import_module(modname)
        names = public_names(mod)
        kinds = {name: _kind(getattr(mod, name)) for name in names}
        title = f"``{modname}``"
        lines = [title, "=" * len(title), "", f".. automodule:: {modname}", "   :no-members:", ""]
        for kind, heading in _GROUPS:
            group = [n for n in names if kinds[n] == kind]
            if not group:
                continue
            lines += [heading, "-" * len(heading), ""]
            for name in group:
                directive = {"class": "autoclass", "function": "autofunction",
                             "exception": "autoexception", "data": "autodata"}[kind]
                lines.append(f".. {directive}:: {modname}.{name}")
                if kind == "class":
                    lines += ["   :members:", "   :special-members: __call__"]
                lines.append("")
        path = os.path.join(API_DIR, f"{modname}.rst")
        wanted.add(path)
        _write_if_changed(path, "\n".join(lines))
    for old in os.listdir(API_DIR):
        if os.path.join(API_DIR, old) not in wanted:
            os.remove(os.path.join(API_DIR, old))


def _write_if_changed(path, text):
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def _results_rows(path):
    """The (operation, size, ratio) rows of the 'ferrow against the direct call' tables."""
    sizes = {"Tiny": "tiny", "Mid-size": "mid", "Large": "large"}
    rows, size, section = [], None, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            if line.startswith("## "):
                section = line[3:].strip()
                size = None
            elif line.startswith("### ") and section == "ferrow against the direct call":
                size = sizes.get(line[4:].split()[0])
            elif size and line.startswith("| `"):
                cells = [c.strip() for c in line.strip().strip("|").split("|")]
                try:
                    ratio = float(cells[5])
                except ValueError:
                    continue
                rows.append({"op": cells[0].strip("`"), "size": size, "ratio": ratio})
    return rows


def write_peer_table():
    """The 'Against what SciPy users use instead' table of RESULTS.md as a reST table."""
    rows, inside = [], False
    with open(os.path.join(ROOT, "benchmarks", "RESULTS.md"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("## "):
                inside = line.startswith("## Against what SciPy users use instead")
            elif inside and line.startswith("|") and not line.startswith("| ---"):
                rows.append([c.strip() for c in line.strip().strip("|").split("|")])
    if len(rows) < 2:
        raise RuntimeError("benchmarks/RESULTS.md has no table of peers")
    out = [".. list-table::", "   :header-rows: 1", "   :class: ferrow-peers", ""]
    for row in rows:
        out.append("   * - " + (row[0] or " "))
        out += ["     - " + (cell or " ") for cell in row[1:]]
    _write_if_changed(os.path.join(GEN_DIR, "peers.rst"), "\n".join(out) + "\n")


def write_benchmark_plot():
    sys.path.insert(0, os.path.join(ROOT, "benchmarks"))
    try:
        import report
    finally:
        sys.path.pop(0)
    rows = _results_rows(os.path.join(ROOT, "benchmarks", "RESULTS.md"))
    if not rows:
        raise RuntimeError("benchmarks/RESULTS.md has no timing table to plot")
    report.plot(os.path.join(GEN_DIR, "ratios.png"), rows)


def run_examples():
    """Run each ``examples/*.py`` whose ``main()`` returns reST; keep it in ``generated/``."""
    folder = os.path.join(HERE, "examples")
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".py"):
            continue
        ns = runpy.run_path(os.path.join(folder, name), run_name="ferrow_docs_example")
        _write_if_changed(os.path.join(GEN_DIR, name[:-3] + ".rst"), ns["main"]())


def _generate(app):
    os.makedirs(GEN_DIR, exist_ok=True)
    write_api_pages()
    write_benchmark_plot()
    write_peer_table()
    run_examples()


_OBJECT_ANNOTATION = re.compile(r":\s*object(\s*\|\s*None)?(?=\s*(=|,|\)))")


def _signature(app, what, name, obj, options, signature, return_annotation):
    """The private compiled workers take plain objects (their own checks give the
    messages), so their signatures say ``A: object | None``; show the names and defaults
    alone. The public functions declare their real types."""
    if signature:
        signature = _OBJECT_ANNOTATION.sub("", signature)
    if return_annotation in ("object", "object | None"):
        return_annotation = None
    return signature, return_annotation


def _missing_module(app, env, node, contnode):
    """A See Also entry may name a module of the package that this build does not have yet;
    leave it as text rather than fail (every other missing reference is an error)."""
    target = node.get("reftarget", "")
    m = re.match(r"ferrow\.(\w+)\.", target)
    if m and m.group(1) not in api_modules():
        from docutils import nodes

        return contnode if isinstance(contnode, nodes.Node) else None
    return None


def _allow_tilde_in_see_also():
    """See Also entries of the ordering modules are written ``~ferrow.colamd.colamd`` (the
    short-title form of a reference); numpydoc accepts the tilde only inside backticks, so
    widen its plain-name pattern by the same optional ``~``."""
    from numpydoc.docscrape import NumpyDocString as D

    D._funcplain = r"(?P<name2>~?[a-zA-Z0-9_\.-]+)"
    D._funcname = r"(" + D._role + D._funcbacktick + r"|" + D._funcplain + r")"
    D._funcnamenext = D._funcname.replace("role", "rolenext").replace("name", "namenext")
    D._func_rgx = re.compile(r"^\s*" + D._funcname + r"\s*")
    D._line_rgx = re.compile(r"^\s*(?P<allfuncs>" + D._funcname + r"(?P<morefuncs>([,]\s+"
                             + D._funcnamenext + r")*))(?P<trailing>[,\.])?" + D._description)

    # The same docstrings end their See Also section with a ``.. versionadded::``
    # directive, which is no entry: leave it out of the list.
    parse = D._parse_see_also

    def _parse_see_also(self, content):
        entries, directive = [], False
        for line in content:
            if line.startswith(".. "):
                directive = True
            elif directive and line[:1] not in (" ", ""):
                directive = False
            if not directive:
                entries.append(line)
        return parse(self, entries)

    D._parse_see_also = _parse_see_also


def setup(app):
    _allow_tilde_in_see_also()
    app.connect("builder-inited", _generate)
    app.connect("autodoc-process-signature", _signature)
    app.connect("missing-reference", _missing_module)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
