"""Sphinx configuration of the ferrow documentation site (``make docs``)."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "_ext"))

# The reference is generated from the compiled modules' own docstrings and signatures,
# not from their type stubs (which autodoc would otherwise load in their place).
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"

import ferrow  # noqa: E402  (the built package: the API pages come from its docstrings)

project = "ferrow"
author = "the ferrow developers"
copyright = "the ferrow developers"
try:
    from importlib.metadata import version as _version

    release = _version("ferrow")
except Exception:  # pragma: no cover - a source tree without installed metadata
    release = "unknown"
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "sphinx.ext.mathjax",
    "numpydoc",
    "matplotlib.sphinxext.plot_directive",
    "myst_parser",
    "ferrow_docs",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "tests", "examples", "Thumbs.db", ".DS_Store"]
templates_path = []
default_role = "code"

# Every reference inside the site must resolve (-n); names of NumPy, SciPy and the
# standard library are left as text since the build works offline.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|np|scipy|sp|matplotlib)(\..*)?"),
    (r"py:.*", r"(object|int|float|bool|str|bytes|tuple|list|dict|None|callable|optional)"),
    (r"py:.*", r"(Exception|ValueError|TypeError|MemoryError|RuntimeError|OverflowError)"),
    (r"py:.*", r"(UserWarning|Warning|AssertionError|ImportError|NotImplementedError)"),
    (r"py:.*", r"(array_like|array-like|ndarray|sparse matrix|sparse array|dtype)"),
    # the types in the signatures, named as in the stubs
    (r"py:.*", r"(Any|Literal|ArrayLike|NDArray|sparray|spmatrix|csc_array|LinearOperator)"),
    (r"py:.*", r"(SupportsFloat|SupportsIndex)"),
]

autodoc_default_options = {"member-order": "bysource"}
autodoc_typehints = "signature"

numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_validation_checks = set()

# Examples in the guides are doctest blocks; the examples in the docstrings of the API
# pages run too.
doctest_global_setup = """
import numpy as np
np.set_printoptions(legacy=False)
"""

plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]
plot_rcparams = {"figure.dpi": 110, "savefig.bbox": "tight"}
plot_pre_code = "import numpy as np\nimport matplotlib.pyplot as plt\n"

myst_heading_anchors = 3

html_theme = "pydata_sphinx_theme"
html_title = f"ferrow {release}"
html_static_path = []
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "header_links_before_dropdown": 7,
    "navbar_align": "left",
    "secondary_sidebar_items": ["page-toc"],
}
html_sidebars = {"**": ["sidebar-nav-bs"], "index": []}
html_show_sourcelink = False
html_last_updated_fmt = None

# numpydoc renames the citations of References sections; a docstring that lists its
# sources without citing them in the text is not a broken reference.
suppress_warnings = ["ref.citation"]
