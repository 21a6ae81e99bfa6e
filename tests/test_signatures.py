"""What users' tools see: signatures, stubs and docstrings of every module.

The stubs (ferrow/*.pyi, as installed) are read with `ast` and held against the
modules as built: the same `__all__`, and for every function and method the stub
declares, the parameters `inspect.signature` reports (names, kinds, defaults). The
compiled public callables carry real types (no `object` left from the binding layer),
equal to the stub's wherever the stub gives one signature, and their `__doc__` is the
documented text alone. `make check-stubs` (mypy's stubtest) checks the rest.
"""

from __future__ import annotations

import ast
import importlib
import inspect
import re
from pathlib import Path

import pytest

import ferrow

MODULES = ["amd", "camd", "colamd", "ccolamd", "btf", "spqr", "utils", "cholmod", "_structure"]
STUB_DIR = Path(ferrow.__file__).parent


class _Aliases(ast.NodeTransformer):
    """Replaces the stub's module-level type aliases by what they stand for."""

    def __init__(self, aliases: dict[str, ast.expr]):
        self.aliases = aliases

    def visit_Name(self, node: ast.Name) -> ast.expr:
        return self.visit(self.aliases[node.id]) if node.id in self.aliases else node


class Stub:
    """The functions and classes of one stub file, by qualified name."""

    def __init__(self, module: str):
        tree = ast.parse((STUB_DIR / f"{module}.pyi").read_text())
        self.all: list[str] | None = None
        self.functions: dict[str, list[ast.FunctionDef]] = {}  # one entry per overload
        aliases: dict[str, ast.expr] = {}
        for node in tree.body:
            if isinstance(node, ast.Assign) and len(node.targets) == 1:
                target = node.targets[0]
                if isinstance(target, ast.Name) and target.id == "__all__":
                    self.all = ast.literal_eval(node.value)
                elif isinstance(target, ast.Name) and target.id.startswith("_"):
                    aliases[target.id] = node.value
            elif isinstance(node, ast.FunctionDef):
                self.functions.setdefault(node.name, []).append(node)
            elif isinstance(node, ast.ClassDef):
                for item in node.body:
                    if isinstance(item, ast.FunctionDef) and not _is_property(item):
                        self.functions.setdefault(f"{node.name}.{item.name}", []).append(item)
        self.expand = _Aliases(aliases)

    def text(self, annotation: ast.expr | None) -> str | None:
        if annotation is None:
            return None
        return _normal(self.expand.visit(ast.parse(ast.unparse(annotation), mode="eval")))


class _Unions(ast.NodeTransformer):
    """Writes every union `a | (b | c)` as `a | b | c`."""

    def visit_BinOp(self, node: ast.BinOp) -> ast.expr:
        if not isinstance(node.op, ast.BitOr):
            return self.generic_visit(node)
        members: list[ast.expr] = []
        for side in (node.left, node.right):
            side = self.visit(side)
            members += _members(side) if isinstance(side, ast.BinOp) else [side]
        result = members[0]
        for m in members[1:]:
            result = ast.BinOp(result, ast.BitOr(), m)
        return result


def _members(node: ast.expr) -> list[ast.expr]:
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        return _members(node.left) + _members(node.right)
    return [node]


def _normal(tree: ast.AST | str) -> str:
    """An annotation's text in one spelling: unions flat, the unparser's spacing."""
    if isinstance(tree, str):
        tree = ast.parse(tree, mode="eval")
    return ast.unparse(_Unions().visit(tree))


def _is_property(node: ast.FunctionDef) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)


def _stub_parameters(node: ast.FunctionDef) -> list[tuple[str, inspect._ParameterKind, object]]:
    """(name, kind, default) of a stub function; `...` as default means "some default"."""
    a = node.args
    P = inspect.Parameter
    positional = [(x, P.POSITIONAL_ONLY) for x in a.posonlyargs]
    positional += [(x, P.POSITIONAL_OR_KEYWORD) for x in a.args]
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(a.defaults))
    defaults += a.defaults
    result = [(x.arg, kind, d) for (x, kind), d in zip(positional, defaults)]
    if a.vararg:
        result.append((a.vararg.arg, P.VAR_POSITIONAL, None))
    result += [(x.arg, P.KEYWORD_ONLY, d) for x, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        result.append((a.kwarg.arg, P.VAR_KEYWORD, None))
    return [
        (name, kind, P.empty if d is None else ast.literal_eval(d)) for name, kind, d in result
    ]


def _runtime(module, qualname: str):
    """The object a user reaches: a function, a method as found on its class, or a class
    method bound to its class."""
    if "." not in qualname:
        return getattr(module, qualname)
    cls_name, member = qualname.split(".")
    cls = getattr(module, cls_name)
    item = inspect.getattr_static(cls, member)
    return getattr(cls, member) if isinstance(item, classmethod) else item


def _is_compiled(obj) -> bool:
    """Whether `obj` is one of the compiled modules' functions or methods."""
    kind = repr(type(getattr(obj, "__func__", obj)))
    return kind in ("<class 'ferrow.function'>", "<class 'ferrow.method'>")


def _cases():
    # Special methods other than __init__ keep the binding layer's form.
    for name in MODULES:
        for qualname in Stub(name).functions:
            member = qualname.rpartition(".")[2]
            if member == "__init__" or not member.startswith("__"):
                yield pytest.param(name, qualname, id=f"{name}.{qualname}")


STUBS = {name: Stub(name) for name in MODULES}


@pytest.mark.parametrize("name", MODULES)
def test_stub_all_is_the_module_all(name):
    module = importlib.import_module(f"ferrow.{name}")
    assert STUBS[name].all == getattr(module, "__all__", None)
    # every public name the module defines is declared in the stub
    tree = ast.parse((STUB_DIR / f"{name}.pyi").read_text())
    declared = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    declared |= {t.id for n in tree.body if isinstance(n, (ast.Assign, ast.AnnAssign))
                 for t in (n.targets if isinstance(n, ast.Assign) else [n.target])
                 if isinstance(t, ast.Name)}
    defined = {k for k, v in vars(module).items()
               if not k.startswith("_") and getattr(v, "__module__", None) == module.__name__}
    assert defined <= declared


def test_package_all_lists_its_lazy_names():
    assert ferrow.__all__ == ["__version__", *ferrow._SUBMODULES, *ferrow._THREAD_NAMES]
    for name in ferrow.__all__:
        assert getattr(ferrow, name) is not None


@pytest.mark.parametrize(("name", "qualname"), list(_cases()))
def test_signature_matches_the_stub(name, qualname):
    module = importlib.import_module(f"ferrow.{name}")
    stub = STUBS[name]
    obj = _runtime(module, qualname)
    sig = inspect.signature(obj)
    runtime = [(p.name, p.kind, p.default) for p in sig.parameters.values()]
    overloads = stub.functions[qualname]
    decorators = {d.id for d in overloads[0].decorator_list if isinstance(d, ast.Name)}
    skip = 1 if "classmethod" in decorators else 0  # bound to the class at run time
    expected = _stub_parameters(overloads[0])[skip:]
    names = [p[0] for p in runtime]
    for node in overloads:  # every overload spells the same parameters
        assert [p[0] for p in _stub_parameters(node)[skip:]] == names
    # kinds and defaults as in the first overload, the plain call (later ones may make an
    # argument keyword-only or required to select a return type)
    for (n, kind, default), (sn, skind, sdefault) in zip(runtime, expected):
        assert (n, kind) == (sn, skind)
        if sdefault is inspect.Parameter.empty:
            assert default is inspect.Parameter.empty, n
        elif sdefault is not Ellipsis:
            assert default == sdefault and type(default) is type(sdefault), n
        else:
            assert default is not inspect.Parameter.empty, n

    member = qualname.rpartition(".")[2]
    if not _is_compiled(obj) or name.startswith("_") or (
            member.startswith("_") and member != "__init__"):
        return  # types are checked on the public callables
    annotations = [p.annotation for p in sig.parameters.values() if p.name not in ("self", "cls")]
    annotations.append(sig.return_annotation)
    for a in annotations:  # the binding layer's placeholder types are gone
        assert a is not inspect.Parameter.empty and not re.search(r"\bobject\b", str(a)), sig
    if len(overloads) == 1:
        node = overloads[0]
        args = node.args.posonlyargs + node.args.args + node.args.kwonlyargs
        texts = {x.arg: stub.text(x.annotation) for x in args}
        for p in sig.parameters.values():
            if p.name not in ("self", "cls"):
                assert _normal(str(p.annotation)) == texts[p.name], p.name
        assert _normal(str(sig.return_annotation)) == stub.text(node.returns)


def _public_callables():
    for name in MODULES:
        module = importlib.import_module(f"ferrow.{name}")
        for key, value in vars(module).items():
            if key.startswith("_") or getattr(value, "__module__", None) != module.__name__:
                continue
            if callable(value) and not isinstance(value, type):
                yield pytest.param(value, key, id=f"{name}.{key}")
            elif isinstance(value, type) and not issubclass(value, BaseException):
                for member, item in vars(value).items():
                    bound = getattr(value, member)
                    if member.startswith("_") and not (member == "__init__" and _is_compiled(item)):
                        continue
                    if callable(bound) and not isinstance(item, type):
                        yield pytest.param(bound, member, id=f"{name}.{key}.{member}")


@pytest.mark.parametrize(("obj", "short"), list(_public_callables()))
def test_docstring_starts_with_its_text(obj, short):
    doc = obj.__doc__
    assert doc, short
    first = doc.lstrip().splitlines()[0]
    # no signature line of the binding layer ("name(A: object, ...) -> object") on top
    assert not re.match(rf"(def )?{re.escape(short)}\(", first), first
    inspect.signature(obj)  # and the signature is still there for inspect
