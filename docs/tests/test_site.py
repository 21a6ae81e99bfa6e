"""Checks of the built site (``make docs`` runs them after Sphinx): every internal link
and anchor resolves, and three pages render in a real browser with their figures."""

import os
import shutil
import subprocess
from html.parser import HTMLParser
from urllib.parse import unquote, urlparse

import numpy as np
import pytest

DOCS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HTML = os.path.join(DOCS, "_build", "html")
SHOTS = os.path.join(DOCS, "_build", "screenshots")

# The colour the guides draw factors in (#a23b2a); the site's theme uses none like it.
FACTOR_RGB = np.array([0xA2, 0x3B, 0x2A]) / 255.0


@pytest.fixture(scope="module")
def site():
    if not os.path.exists(os.path.join(HTML, "index.html")):
        pytest.fail("the site is not built: run `make docs`")
    return HTML


class _Links(HTMLParser):
    def __init__(self):
        super().__init__()
        self.ids, self.links = set(), []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if attrs.get("id"):
            self.ids.add(attrs["id"])
        if tag == "a" and attrs.get("name"):
            self.ids.add(attrs["name"])
        for key in ("href", "src"):
            if attrs.get(key):
                self.links.append(attrs[key])


def _parse(path):
    p = _Links()
    with open(path, encoding="utf-8") as f:
        p.feed(f.read())
    return p


def test_every_internal_link_resolves(site):
    pages = {}
    for folder, _, files in os.walk(site):
        if os.path.relpath(folder, site).startswith("_static"):
            continue  # the theme's own template files, not pages
        for name in files:
            if name.endswith(".html"):
                path = os.path.join(folder, name)
                pages[os.path.normpath(path)] = _parse(path)
    assert len(pages) > 10
    broken = []
    for page, parsed in pages.items():
        for link in parsed.links:
            url = urlparse(link)
            if url.scheme or url.netloc or link.startswith(("mailto:", "javascript:", "data:")):
                continue
            target, anchor = url.path, url.fragment
            path = os.path.normpath(os.path.join(os.path.dirname(page), unquote(target))) if target else page
            if not os.path.exists(path):
                broken.append(f"{os.path.relpath(page, site)}: {link} (no such file)")
            elif anchor and path.endswith(".html") and unquote(anchor) not in pages[path].ids:
                broken.append(f"{os.path.relpath(page, site)}: {link} (no such anchor)")
    assert not broken, "broken links:\n" + "\n".join(sorted(set(broken)))


def _chromium():
    for name in ("chromium", "chromium-browser"):
        if shutil.which(name):
            return shutil.which(name)
    pytest.skip("chromium is not installed (scripts/bootstrap.sh docs could not install it)")


def _screenshot(page, name, height):
    os.makedirs(SHOTS, exist_ok=True)
    out = os.path.join(SHOTS, name + ".png")
    if os.path.exists(out):
        os.remove(out)
    url = "file://" + os.path.join(HTML, page)
    subprocess.run([_chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    "--no-first-run", "--disable-dev-shm-usage", f"--window-size=1280,{height}",
                    f"--screenshot={out}", url],
                   check=True, capture_output=True, timeout=180)
    import matplotlib.image

    return matplotlib.image.imread(out)[:, :, :3]


@pytest.mark.parametrize("page, name, height, figure", [
    ("index.html", "home", 1600, True),
    ("guide/camd.html", "guide-camd", 2000, True),
    ("api/generated/ferrow.spqr.html", "api-spqr", 1600, False),
])
def test_page_renders(site, page, name, height, figure):
    img = _screenshot(page, name, height)
    assert img.shape[:2] == (height, 1280)
    gray = img.mean(axis=2)
    # not blank: a fair share of the page is text or drawing, in more than one shade
    assert (gray < 0.5).mean() > 0.005, f"{name}: almost no dark pixels"
    assert gray.std() > 0.05, f"{name}: the page is nearly uniform"
    factor = (np.abs(img - FACTOR_RGB).max(axis=2) < 0.08).sum()
    if figure:
        # the figure drawn at build time is on screen: hundreds of pixels of its factor colour
        assert factor > 500, f"{name}: no figure in the screenshot ({factor} factor pixels)"
    else:
        assert factor < 50
