"""The package itself: lazy access to every submodule."""

import subprocess
import sys

import pytest

import ferrow


def test_submodules_reached_from_the_package():
    # A fresh interpreter, so that no other test has imported the submodules yet.
    code = (
        "import sys, ferrow\n"
        "loaded = [m for m in sys.modules if m.startswith('ferrow.')]\n"
        "assert not loaded, loaded\n"
        "for name in ferrow._SUBMODULES:\n"
        "    full = 'ferrow.' + name\n"
        "    m = getattr(ferrow, name)\n"
        "    assert m is sys.modules[full] and m.__name__ == full, full\n"
        "    assert name in dir(ferrow) and name in ferrow.__all__, name\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_unknown_attribute_is_an_attribute_error():
    with pytest.raises(AttributeError, match="has no attribute 'nope'"):
        ferrow.nope
