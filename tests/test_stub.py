"""The type stub shipped beside the module names what the module has, with the same parameters."""

import ast
import inspect
from pathlib import Path

import pytest

import Vorlant.tavrel_ext as m

STUB = Path(__file__).resolve().parents[1] / "src" / "Vorlant" / "tavrel_ext.pyi"


def stub_tree():
    return ast.parse(STUB.read_text())


def public_names(names):
    return {n for n in names if not (n.startswith("__") and n.endswith("__"))}


def stub_top_level(tree):
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            # only `import x as x` / `from y import x as x` re-export a name from a stub
            names.update(a.asname for a in node.names if a.asname == a.name.split(".")[-1])
    return names


def stub_class(tree, name):
    return next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == name)


def test_stub_and_py_typed_are_in_the_package():
    assert STUB.is_file() and (STUB.parent / "py.typed").is_file()


def test_stub_names_the_module_namespace():
    # the stub's own private helpers (protocols, aliases) start with an underscore and are not in the module
    in_stub = {n for n in stub_top_level(stub_tree()) if not n.startswith("_") or hasattr(m, n)}
    assert in_stub == public_names(vars(m))


def test_stub_names_the_class_members():
    cls = stub_class(stub_tree(), "Tavrel")
    in_stub = set()
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            in_stub.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            in_stub.add(node.target.id)
    assert public_names(in_stub) == public_names(vars(m.Tavrel))
    assert {"__new__", "__reduce__", "__setstate__"} <= in_stub


def stub_function(body, name):
    # the getter of a property comes first; setters share its name
    return next(n for n in body if isinstance(n, ast.FunctionDef) and n.name == name)


@pytest.mark.parametrize("owner, name", [
    (None, "_readChunk"), (None, "_makeChunk"), (None, "_writePng"), (None, "_split_idat_payload"),
    (None, "_writePngWithChunks"), (None, "_writeBmp"),
    ("Tavrel", "_streamToImage"), ("Tavrel", "open"), ("Tavrel", "getPixel"), ("Tavrel", "putPixel"),
    ("Tavrel", "copy"), ("Tavrel", "save"), ("Tavrel", "saveBmp"), ("Tavrel", "__new__"),
])
def test_parameters_and_defaults(owner, name):
    tree = stub_tree()
    body = tree.body if owner is None else stub_class(tree, owner).body
    fn = stub_function(body, name)
    args = fn.args
    params = [a.arg for a in args.posonlyargs + args.args]
    # read through the class, a class method (and the constructor) is bound to it; plain methods keep self
    if name == "__new__" or any(isinstance(d, ast.Name) and d.id == "classmethod" for d in fn.decorator_list):
        params = params[1:]
    runtime = getattr(m, name) if owner is None else getattr(m.Tavrel, name)
    if name == "__new__":
        runtime = m.Tavrel  # the class's text signature is the constructor's
    signature = inspect.signature(runtime).parameters.values()
    assert params == [p.name for p in signature]
    assert len(args.defaults) == sum(p.default is not inspect.Parameter.empty for p in signature)
