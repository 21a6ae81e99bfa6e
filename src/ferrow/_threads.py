"""The switch that lets ferrow's library calls run without the interpreter lock."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator

from ferrow import _structure

__all__ = ["get_release_gil", "release_gil", "releasing_gil"]


def release_gil(enabled: bool = True) -> bool:
    """Let library calls run without the interpreter lock, process-wide.

    By default every ferrow call holds the interpreter lock (the GIL) through
    the library call, so no other Python thread runs meanwhile. With the switch
    on, the orderings, the block triangular form and the sparse QR calls check
    and convert their arguments with the lock held, release it around the
    library's work, and take it back before building their results, so that
    other threads run meanwhile and several calls can run in parallel.

    Parameters
    ----------
    enabled : bool, optional
        True (the default) turns the switch on, False turns it off.

    Returns
    -------
    bool
        The previous setting, for restoring it later.

    See Also
    --------
    releasing_gil : The same for the duration of a ``with`` block.
    get_release_gil : Whether calls release the lock now.

    Notes
    -----
    The setting is safe to change from any thread and applies to calls that
    start after the change.

    {caller_arrays}

    Examples
    --------
    >>> import ferrow
    >>> previous = ferrow.release_gil(True)
    >>> ferrow.get_release_gil()
    True
    >>> _ = ferrow.release_gil(previous)
    """
    return bool(_structure._set_release_gil(bool(enabled)))


def get_release_gil() -> bool:
    """Whether ferrow's library calls release the interpreter lock now.

    Returns
    -------
    bool
        True when :func:`release_gil` turned the switch on or a
        :func:`releasing_gil` block is open in some thread.
    """
    return bool(_structure._get_release_gil())


@contextlib.contextmanager
def releasing_gil() -> Iterator[None]:
    """Release the interpreter lock around library calls inside a ``with`` block.

    While at least one such block is open, in any thread, ferrow's library
    calls run as with ``release_gil(True)``; blocks nest, and leaving the last
    one returns to the setting of :func:`release_gil`.

    Notes
    -----
    {caller_arrays}

    Examples
    --------
    >>> import ferrow
    >>> with ferrow.releasing_gil():
    ...     ferrow.get_release_gil()
    True
    """
    _structure._enter_releasing_gil()
    try:
        yield
    finally:
        _structure._exit_releasing_gil()


# The rule for the caller's arrays and shared factors, written once for both docstrings.
_CALLER_ARRAYS = """\
While the switch is on, an array handed to a ferrow call must not be written
(or resized) by another thread until the call returns: the library reads the
caller's memory in place, as NumPy's and SciPy's compiled loops do. Reading
the same array from several calls at once is safe. One
:class:`~ferrow.spqr.SPQRFactor` may be shared by threads: each factor
serialises its own operations with a lock of its own."""

for _f in (release_gil, releasing_gil):
    if _f.__doc__:  # None under python -OO
        _f.__doc__ = _f.__doc__.replace("{caller_arrays}", _CALLER_ARRAYS.replace("\n", "\n    "))
del _f
