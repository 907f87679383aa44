"""The image object: construction, properties, copy, pickling, lifecycle."""

import array
import copy
import gc
import os
import pickle
import resource
import subprocess
import sys
import textwrap
import tracemalloc
import weakref

import pytest

from Vorlant.tavrel_ext import Tavrel

from imagedata import host_error

# Objects reached through a container, so the compiler does not warn about slicing a constant.
HOLDS_NONE = [None]
HOLDS_INT = [5]

PIXEL_MSG = "Pixel data length does not match image dimensions"
ALPHA_MSG = "Alpha channel length does not match image dimensions"
FILTER_MSG = "PNG filter count does not match image height"
REDUCE_MSG = "no default __reduce__ due to non-trivial __cinit__"


class Index:
    """Has __index__ but no __int__."""

    def __index__(self):
        return 1


@pytest.mark.parametrize("args, kwargs", [
    ((2, 2, b"x" * 12), {}),
    ((0, 5, b""), {}),
    ((2, 1, b"abcdef", b"\x01\x02"), {}),
    ((2, 3, bytes(18)), {"png_filters": [0, 1, 4]}),
    ((1, 1, [1, 2, 3]), {}),
    ((1, 1, memoryview(b"abc")), {}),
    ((2.9, 1, b"abcdef"), {}),
    ((True, True, b"abc"), {}),
])
def test_constructs(args, kwargs):
    img = Tavrel(*args, **kwargs)
    assert img.size == (int(args[0]), int(args[1]))
    assert type(img._pixels) is bytearray and len(img._pixels) == img.width * img.height * 3


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((2, 2, b"x" * 11), {}, ValueError, PIXEL_MSG),
    ((2, 1, b"abcdef", b"xyz"), {}, ValueError, ALPHA_MSG),
    ((2, 3, bytes(18)), {"png_filters": [0, 1]}, ValueError, FILTER_MSG),
    ((2, 1, b"abcde", b"xyz"), {}, ValueError, PIXEL_MSG),          # pixels are checked first
    ((2, 1, b"abcdef", b"xyz"), {"png_filters": []}, ValueError, ALPHA_MSG),
    (("2", 1, b"abcdef"), {}, TypeError, "an integer is required"),
    ((None, 1, b""), {}, TypeError, "an integer is required"),
    ((Index(), 1, b"abc"), {}, TypeError, "an integer is required"),
    ((1, "x", 1), {}, TypeError, "an integer is required"),         # height before the pixel length
    ((1, 1, 5), {}, TypeError, str(host_error(lambda: len(5)))),
    ((1, 1, "abc"), {}, TypeError, None),
    ((1, 1, [1, 2, 300]), {}, ValueError, None),
    ((1, 1, b"abc"), {"png_chunks": 5}, TypeError, None),
    ((1, 1, b"abc"), {"bmp_header": [1]}, TypeError, None),
    # a buffer of wider items has the right len() but not the right number of bytes
    ((1, 1, array.array("H", [1, 2, 3])), {}, ValueError, PIXEL_MSG),
])
def test_construction_refused(args, kwargs, exc, message):
    with pytest.raises(exc) as err:
        Tavrel(*args, **kwargs)
    if message is not None:
        assert str(err.value) == message


@pytest.mark.parametrize("value", [2**31, -2**31 - 1, 10**30])
def test_dimensions_outside_int32(value):
    with pytest.raises(OverflowError):
        Tavrel(value, 0, b"")
    img = Tavrel(0, 0, b"")
    with pytest.raises(OverflowError):
        img.width = value
    assert img.width == 0


def test_int32_limits_accepted():
    img = Tavrel(2**31 - 1, 0, b"")
    img.height = -2**31
    assert img.size == (2**31 - 1, -2**31)


def test_fields_are_copies():
    pixels, alpha, filters = bytearray(b"abcdef"), bytearray(b"xy"), bytearray(b"\x01")
    chunks = [(b"IHDR", b"", 0)]
    header = {"xppm": 1}
    img = Tavrel(2, 1, pixels, alpha, chunks, header, filters)
    pixels[0] = alpha[0] = filters[0] = 0
    chunks.append(None)
    header["yppm"] = 2
    assert (img._pixels, img._alpha, img._png_filters) == (b"abcdef", b"xy", b"\x01")
    assert type(img._alpha) is bytearray and type(img._png_filters) is bytearray
    assert img._png_chunks == [(b"IHDR", b"", 0)] and img._png_chunks[0] is chunks[0]
    assert img._bmp_header == {"xppm": 1}
    assert Tavrel(1, 1, b"abc", bmp_header=[("a", 1)])._bmp_header == {"a": 1}
    assert Tavrel(1, 1, b"abc", png_chunks=iter([1, 2]))._png_chunks == [1, 2]


def test_defaults_are_none():
    img = Tavrel(1, 1, b"abc")
    assert (img._alpha, img._png_chunks, img._png_filters, img._bmp_header) == (None,) * 4


def test_size_and_dimensions():
    img = Tavrel(3, 2, bytes(18))
    assert img.size == (3, 2) and type(img.size) is tuple
    with pytest.raises(AttributeError):
        img.size = (1, 1)
    with pytest.raises(AttributeError):
        del img.size
    img.width = 10.7
    assert img.width == 10 and img.size == (10, 2)
    for name in ("width", "height"):
        with pytest.raises(NotImplementedError) as err:
            delattr(img, name)
        assert str(err.value) == "__del__"
    with pytest.raises(ValueError, match=PIXEL_MSG):
        img.copy()


class ByteArraySub(bytearray):
    pass


@pytest.mark.parametrize("value, type_name", [
    (b"abc", "bytes"), ([1, 2, 3], "list"), (ByteArraySub(b"abc"), "ByteArraySub"), (memoryview(b"a"), "memoryview"),
])
def test_pixels_assignment_refused(value, type_name):
    img = Tavrel(1, 1, b"abc")
    before = img._pixels
    with pytest.raises(TypeError) as err:
        img._pixels = value
    assert str(err.value) == f"Expected bytearray, got {type_name}"
    assert img._pixels is before


def test_pixels_assignment_and_delete():
    img = Tavrel(1, 1, b"abc")
    buf = bytearray(b"xyz")
    img._pixels = buf
    assert img._pixels is buf
    img._pixels = bytearray(1)          # no length check on assignment
    del img._pixels
    assert img._pixels is None
    with pytest.raises(TypeError) as err:
        img.copy()
    assert str(err.value) == str(host_error(lambda: HOLDS_NONE[0][:]))


@pytest.mark.parametrize("name", ["_alpha", "_png_chunks", "_png_filters", "_bmp_header"])
def test_free_fields(name):
    img = Tavrel(1, 1, b"abc")
    value = object()
    setattr(img, name, value)
    assert getattr(img, name) is value
    delattr(img, name)
    assert getattr(img, name) is None


def test_no_instance_dict_no_weakref():
    img = Tavrel(1, 1, b"abc")
    with pytest.raises(AttributeError):
        img.other = 1
    with pytest.raises(TypeError):
        weakref.ref(img)


def test_copy_is_independent_plain_tavrel():
    class Sub(Tavrel):
        pass
    src = Sub(2, 1, b"abcdef", b"xy", [(b"IEND", b"", 0)], {"xppm": 5}, b"\x02")
    dup = src.copy()
    assert type(dup) is Tavrel
    for name in ("_pixels", "_alpha", "_png_chunks", "_png_filters", "_bmp_header"):
        assert getattr(dup, name) == getattr(src, name)
        assert getattr(dup, name) is not getattr(src, name)
    dup._pixels[0] = 0
    dup._alpha[0] = 0
    assert src._pixels[0] == ord("a") and src._alpha[0] == ord("x")
    assert dup._png_chunks[0] is src._png_chunks[0]


def test_copy_fails_on_inconsistent_fields():
    img = Tavrel(2, 1, b"abcdef", b"xy")
    img._alpha = bytearray(3)
    with pytest.raises(ValueError, match=ALPHA_MSG):
        img.copy()
    img._alpha = 5                       # not sliceable: fails before the pixels are looked at
    del img._pixels
    with pytest.raises(TypeError) as err:
        img.copy()
    assert str(err.value) == str(host_error(lambda: HOLDS_INT[0][:]))


@pytest.mark.parametrize("action", [
    pickle.dumps, copy.copy, copy.deepcopy,
    lambda img: img.__reduce__(), lambda img: img.__setstate__(None), lambda img: img.__reduce_ex__(2),
])
def test_pickling_refused(action):
    with pytest.raises(TypeError) as err:
        action(Tavrel(1, 1, b"abc"))
    assert str(err.value) == REDUCE_MSG


def test_subclass_gets_all_arguments_before_its_init():
    seen = []

    class Sub(Tavrel):
        def __init__(self, *args, **kwargs):
            seen.append((self.size, args, kwargs))

    img = Sub(1, 1, b"abc", alpha=b"z")
    assert seen == [((1, 1), (1, 1, b"abc"), {"alpha": b"z"})]
    assert bytes(img._alpha) == b"z"
    with pytest.raises(ValueError):
        Sub(1, 1, b"ab")
    assert len(seen) == 1


def test_cycles_are_collected():
    img = Tavrel(1, 1, b"abc")
    holder = [img]
    img._png_chunks = holder
    probe = weakref.ref(type("Probe", (), {})())  # warm the collector
    del probe
    gc.collect()
    count = len(gc.get_objects())
    del img, holder
    gc.collect()
    assert len(gc.get_objects()) < count


def _rss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


@pytest.mark.measures_memory
def test_no_leak_in_construction_and_copy():
    src = Tavrel(4, 4, bytes(48), bytes(16), [(b"IEND", b"", 0)], {"xppm": 1}, bytes(4))
    for _ in range(2000):
        src.copy()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    rss = _rss_kb()
    for _ in range(100_000):
        Tavrel(4, 4, bytes(48), bytes(16), None, None, None)
        src.copy()
        try:
            Tavrel(4, 4, bytes(47))
        except ValueError:
            pass
    grown = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    assert grown < 64 * 1024
    assert _rss_kb() - rss < 16 * 1024


@pytest.mark.skipif(bool(os.environ.get("TAVREL_SANITIZED")), reason="a million images take minutes there")
@pytest.mark.parametrize("field", ["_alpha", "_png_chunks", "_png_filters", "_bmp_header"])
def test_freeing_a_long_chain_of_images(tmp_path, field):
    """A million images each held by the next one's field: freed by reference count, and as a cycle by the
    collector, without a deep C recursion (in a child, which a stack overflow would kill)."""
    code = textwrap.dedent(f"""
        import gc
        from Vorlant.tavrel_ext import Tavrel
        def chain():
            first = head = Tavrel(0, 0, b"")
            for _ in range(10**6):
                img = Tavrel(0, 0, b"")
                setattr(img, {field!r}, head)
                head = img
            return first, head
        first, head = chain()
        del first, head
        first, head = chain()
        setattr(first, {field!r}, head)
        del first, head
        gc.collect()
        print("freed")
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert (run.returncode, run.stdout) == (0, "freed\n"), run.stderr
