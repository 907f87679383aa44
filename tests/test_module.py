"""The module's surface: names, order, signatures, binding and its refusals."""

import importlib
import inspect
import pathlib
import shutil
import subprocess
import sys
import textwrap
import typing

import pytest

import Vorlant.tavrel_ext as m
from Vorlant.tavrel_ext import Tavrel

PUBLISHED = ["Tavrel", "struct", "zlib", "BytesIO", "Path", "List", "Sequence", "Tuple", "Union",
             "PNG_SIGNATURE", "ImageInput", "_readChunk", "_makeChunk", "_writePng", "_split_idat_payload",
             "_writePngWithChunks", "_writeBmp"]

# name -> (parameters, defaults, annotations)
FUNCTIONS = {
    "_readChunk": (["stream"], None, {"return": "Tuple[bytes, bytes]"}),
    "_makeChunk": (["chunkType", "data"], None, {"chunkType": "bytes", "data": "bytes", "return": "bytes"}),
    "_writePng": (["path", "width", "height", "pixels", "alpha", "filter_types"], (None, None), {"return": "None"}),
    "_split_idat_payload": (["data", "lengths"], None, {}),
    "_writePngWithChunks": (["path", "width", "height", "pixels", "alpha", "chunks", "filter_types"], (None,), {}),
    "_writeBmp": (["path", "width", "height", "pixels", "meta"], (None,), {"return": "None"}),
}

MEMBERS = {
    "_streamToImage": (["stream"], {}),
    "open": (["cls", "source"], {"source": "ImageInput", "return": "Tavrel"}),
    "getPixel": (["self", "coords"], {"coords": "Tuple[int, int]", "return": "Tuple[int, int, int]"}),
    "putPixel": (["self", "coords", "value"],
                 {"coords": "Tuple[int, int]", "value": "Sequence[int]", "return": "None"}),
    "copy": (["self"], {"return": "Tavrel"}),
    "save": (["self", "path"], {"path": "str", "return": "None"}),
    "saveBmp": (["self", "path"], {"path": "str", "return": "None"}),
}


def built(name):
    """Functions are published as they are built; tests of an absent one skip."""
    if not (hasattr(m, name) or name in vars(Tavrel)):
        pytest.skip(f"{name} is not built yet")


def test_namespace_in_binding_order():
    names = [n for n in vars(m) if not (n.startswith("__") and n.endswith("__"))]
    assert names == [n for n in PUBLISHED if n in names]
    assert names[:11] == PUBLISHED[:11]
    assert m.__doc__ is None
    for hidden in ("_loadPng", "_loadBmp", "_write_png_bytes", "_unfilterRow"):
        assert not hasattr(m, hidden)


def test_host_names_are_the_hosts():
    import io
    import struct
    import zlib
    assert m.struct is struct and m.zlib is zlib and m.BytesIO is io.BytesIO and m.Path is pathlib.Path
    typing_names = (typing.List, typing.Sequence, typing.Tuple, typing.Union)  # noqa: UP006 - the names themselves
    assert (m.List, m.Sequence, m.Tuple, m.Union) == typing_names


def test_constants():
    assert bytes.fromhex("89504E470D0A1A0A") == m.PNG_SIGNATURE and type(m.PNG_SIGNATURE) is bytes
    assert typing.get_origin(m.ImageInput) is typing.Union
    assert typing.get_args(m.ImageInput) == (str, pathlib.Path, bytes, bytearray, typing.ForwardRef("Tavrel"))


def test_class_identity():
    assert Tavrel.__module__ == "Vorlant.tavrel_ext" and Tavrel.__qualname__ == "Tavrel"
    assert f"{Tavrel.__module__}.{Tavrel.__qualname__}" == "Vorlant.tavrel_ext.Tavrel"
    assert Tavrel.__bases__ == (object,)
    doc = Tavrel.__doc__
    assert doc and doc.count(".") == 1 and doc.endswith(".") and "RGB" in doc
    members = [n for n in vars(Tavrel) if n in MEMBERS]
    assert members == [n for n in MEMBERS if n in members]
    if "open" in members:
        assert isinstance(vars(Tavrel)["_streamToImage"], staticmethod)
        assert isinstance(vars(Tavrel)["open"], classmethod)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_module_function_surface(name):
    built(name)
    params, defaults, annotations = FUNCTIONS[name]
    fn = getattr(m, name)
    assert fn.__name__ == name and fn.__qualname__ == name
    assert fn.__module__ == "Vorlant.tavrel_ext" and fn.__doc__ is None
    assert fn.__defaults__ == defaults
    assert fn.__annotations__ == annotations
    assert list(fn.__annotations__) == list(annotations)
    sig = inspect.signature(fn)
    assert list(sig.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    ndefaults = len(defaults or ())
    assert [p.default for p in sig.parameters.values()][len(params) - ndefaults:] == [None] * ndefaults


@pytest.mark.parametrize("name", MEMBERS)
def test_member_surface(name):
    built(name)
    params, annotations = MEMBERS[name]
    fn = vars(Tavrel)[name]
    fn = getattr(fn, "__func__", fn)
    assert fn.__name__ == name and fn.__qualname__ == "Tavrel." + name
    assert fn.__module__ == "Vorlant.tavrel_ext" and fn.__doc__ is None
    assert fn.__annotations__ == annotations
    assert list(inspect.signature(fn).parameters) == params
    # bound through the class or an instance, the implicit first parameter is gone
    img = Tavrel(1, 1, b"abc")
    bound = list(inspect.signature(getattr(img, name)).parameters)
    assert bound == [p for p in params if p not in ("self", "cls")]


@pytest.mark.parametrize("call, message", [
    (lambda img: img.getPixel(), "getPixel() takes exactly 1 positional argument (0 given)"),
    (lambda img: img.getPixel((0, 0), 1), "getPixel() takes exactly 1 positional argument (2 given)"),
    (lambda img: img.putPixel((0, 0)), "putPixel() takes exactly 2 positional arguments (1 given)"),
    (lambda img: img.copy(1), "copy() takes exactly 0 positional arguments (1 given)"),
    (lambda img: Tavrel.open(), "open() takes exactly 1 positional argument (0 given)"),
    (lambda img: Tavrel._streamToImage(1, 2), "_streamToImage() takes exactly 1 positional argument (2 given)"),
    (lambda img: m._writePng("p", 1), "_writePng() takes at least 4 positional arguments (2 given)"),
    (lambda img: m._writePng(1, 2, 3, 4, 5, 6, 7), "_writePng() takes at most 6 positional arguments (7 given)"),
    (lambda img: m._writeBmp(1, 2, 3, 4, 5, 6), "_writeBmp() takes at most 5 positional arguments (6 given)"),
    (lambda img: m._makeChunk(b"IEND"), "_makeChunk() takes exactly 2 positional arguments (1 given)"),
    (lambda img: Tavrel(1, 1), "Tavrel() takes at least 3 positional arguments (2 given)"),
    (lambda img: Tavrel(*range(8)), "Tavrel() takes at most 7 positional arguments (8 given)"),
])
def test_arity_messages(call, message):
    built(message.split("(")[0])
    with pytest.raises(TypeError) as err:
        call(Tavrel(1, 1, b"abc"))
    assert str(err.value) == message


@pytest.mark.parametrize("call", [
    lambda img: img.getPixel(coord=(0, 0)),
    lambda img: img.getPixel((0, 0), coords=(0, 0)),
    lambda img: m._makeChunk(b"IEND", b"", data=b""),
    lambda img: Tavrel(1, 1, b"abc", colour=None),
    lambda img: Tavrel(1, 1, b"abc", width=1),
])
def test_bad_keywords_refused(call):
    try:
        call(Tavrel(1, 1, b"abc"))
    except AttributeError as exc:
        pytest.skip(str(exc))
    except TypeError:
        return
    pytest.fail("no TypeError")


def test_keywords_bind_every_parameter():
    img = Tavrel(pixels=b"abcdef", height=1, width=2, alpha=b"xy", png_filters=[1])
    assert (img.size, bytes(img._alpha), bytes(img._png_filters)) == ((2, 1), b"xy", b"\x01")
    built("_makeChunk")
    chunk = m._makeChunk(data=b"", chunkType=b"IEND")
    assert chunk == m._makeChunk(b"IEND", b"")


class BytesSub(bytes):
    pass


class TupleSub(tuple):
    pass


@pytest.mark.parametrize("call, pname, expected, got", [
    (lambda img: img.getPixel([0, 0]), "coords", "tuple", "list"),
    (lambda img: img.getPixel(TupleSub((0, 0))), "coords", "tuple", "TupleSub"),
    (lambda img: img.putPixel(None, (1, 2, 3)), "coords", "tuple", "NoneType"),
    (lambda img: img.save(pathlib.Path("x.png")), "path", "str", "PosixPath"),
    (lambda img: img.saveBmp(b"x.bmp"), "path", "str", "bytes"),
    (lambda img: m._makeChunk(bytearray(b"IEND"), b""), "chunkType", "bytes", "bytearray"),
    (lambda img: m._makeChunk(b"IEND", BytesSub()), "data", "bytes", "BytesSub"),
    (lambda img: m._makeChunk(None, None), "chunkType", "bytes", "NoneType"),
    (lambda img: m._split_idat_payload(bytearray(), []), "data", "bytes", "bytearray"),
    (lambda img: m._split_idat_payload(b"", ()), "lengths", "list", "tuple"),
])
def test_exact_type_checks(call, pname, expected, got):
    try:
        call(Tavrel(1, 1, b"abc"))
    except AttributeError as exc:
        pytest.skip(str(exc))
    except TypeError as exc:
        err = exc
    else:
        pytest.fail("no TypeError")
    assert str(err) == f"Argument '{pname}' has incorrect type (expected {expected}, got {got})"


def test_unbound_method_checks_self():
    built("getPixel")
    with pytest.raises(TypeError):
        Tavrel.getPixel((0, 0))
    with pytest.raises(TypeError):
        Tavrel.getPixel(object(), (0, 0))
    assert Tavrel.getPixel(Tavrel(1, 1, b"abc"), (0, 0)) == (97, 98, 99)


def test_static_and_class_binding():
    built("open")
    class Sub(Tavrel):
        pass
    assert Tavrel.open.__self__ is Tavrel and Sub.open.__self__ is Sub
    assert Sub(1, 1, b"abc").open.__self__ is Sub
    # no implicit first argument through the class or an instance
    assert Tavrel._streamToImage is Tavrel(1, 1, b"abc")._streamToImage


def test_reimport_yields_same_module():
    saved = sys.modules.pop("Vorlant.tavrel_ext")
    try:
        again = importlib.import_module("Vorlant.tavrel_ext")
        assert again is saved and again.Tavrel is Tavrel
    finally:
        sys.modules["Vorlant.tavrel_ext"] = saved


def test_second_interpreter_refused(tmp_path):
    code = textwrap.dedent("""
        import Vorlant.tavrel_ext
        try:  # 3.13 renamed the module; its run_string returns the failure instead of raising it
            import _interpreters as interpreters
            interp = interpreters.create("legacy")
        except ImportError:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=False)
        try:
            failure = interpreters.run_string(interp, "import Vorlant.tavrel_ext")
        except Exception as exc:
            print(exc)
        else:
            print(failure.msg if failure is not None else "imported")
    """)
    # run in a folder of its own, so that only the installed package can be imported
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         cwd=tmp_path).stdout
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in out


def test_only_entry_point_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run([nm, "-D", "--defined-only", m.__file__], capture_output=True, text=True, check=True).stdout
    functions = [line.split()[-1] for line in out.splitlines() if line.split()[1:2] in (["T"], ["W"], ["i"])]
    assert functions == ["PyInit_tavrel_ext"]
