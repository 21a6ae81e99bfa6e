"""Signatures of ferrow's compiled functions, for inspect.signature() and help().

The compiled modules declare each function's parameters with their types in the
binding layer; nanobind publishes that declaration as ``__nb_signature__``, a
``def name(...) -> type`` line whose defaults are either written out or stand as
``\\N`` placeholders for the N-th default object. ferrow's functions and methods
turn it into an :class:`inspect.Signature` when asked for their ``__signature__``.
Annotations stay the text they were declared with (as with ``from __future__
import annotations``), shown without quotes.
"""

from __future__ import annotations

import ast
import inspect
import re
from typing import Any

__all__ = ["signature", "signature_from_text"]

_PLACEHOLDER = re.compile(r"\\(\d+)")


class Annotation(str):
    """An annotation kept as the text it was declared with; its repr is the text."""

    __slots__ = ()

    def __repr__(self) -> str:
        return str(self)


class _Source:
    """A default value that is not a literal, shown as the text it was declared with."""

    __slots__ = ("text",)

    def __init__(self, text: str) -> None:
        self.text = text

    def __repr__(self) -> str:
        return self.text


def signature(function: Any) -> inspect.Signature:
    """The signature of a nanobind function from its ``__nb_signature__``.

    Parameters
    ----------
    function : nanobind function or method
        A function with a single overload.

    Returns
    -------
    inspect.Signature
        Parameter names, kinds, defaults and annotations, and the return annotation.
    """
    ((text, _doc, defaults),) = function.__nb_signature__
    return signature_from_text(text, defaults or ())


def signature_from_text(text: str, defaults: tuple[Any, ...] = ()) -> inspect.Signature:
    """Parse a ``def name(...) -> type`` line into an :class:`inspect.Signature`.

    ``\\N`` stands for ``defaults[N]``; other defaults must be literals (or are kept as
    their text).
    """
    line = text.strip().splitlines()[-1]  # decorator lines, if any, come first
    source = _PLACEHOLDER.sub(lambda m: f"__default_{m.group(1)}__", line)
    if not source.startswith("def "):
        source = "def " + source
    node = ast.parse(source + ": ...").body[0]
    assert isinstance(node, ast.FunctionDef)
    args = node.args

    def default(expr: ast.expr | None) -> Any:
        if expr is None:
            return inspect.Parameter.empty
        if isinstance(expr, ast.Name) and expr.id.startswith("__default_"):
            return defaults[int(expr.id[len("__default_"):-2])]
        try:
            return ast.literal_eval(expr)
        except ValueError:
            return _Source(ast.unparse(expr))

    def annotation(expr: ast.expr | None) -> Any:
        return inspect.Parameter.empty if expr is None else Annotation(ast.unparse(expr))

    P = inspect.Parameter
    positional: list[tuple[ast.arg, inspect._ParameterKind]] = [
        (a, P.POSITIONAL_ONLY) for a in args.posonlyargs]
    positional += [(a, P.POSITIONAL_OR_KEYWORD) for a in args.args]
    positional_defaults: list[ast.expr | None] = [None] * (len(positional) - len(args.defaults))
    positional_defaults += args.defaults
    parameters = [
        P(a.arg, kind, default=default(d), annotation=annotation(a.annotation))
        for (a, kind), d in zip(positional, positional_defaults)
    ]
    if args.vararg is not None:
        parameters.append(P(args.vararg.arg, P.VAR_POSITIONAL,
                            annotation=annotation(args.vararg.annotation)))
    parameters += [
        P(a.arg, P.KEYWORD_ONLY, default=default(d), annotation=annotation(a.annotation))
        for a, d in zip(args.kwonlyargs, args.kw_defaults)
    ]
    if args.kwarg is not None:
        parameters.append(P(args.kwarg.arg, P.VAR_KEYWORD,
                            annotation=annotation(args.kwarg.annotation)))
    return inspect.Signature(parameters, return_annotation=annotation(node.returns))
