"""Type torture: every public function, method and field given values of every kind in turn, objects whose
__index__, __len__ or __buffer__ misbehave or change the image or buffer during the call, streams that answer
with the wrong types or sizes, and fields reassigned to odd objects. Every call either succeeds with a correct
result or raises one of the exceptions the module documents (or the caller's own exception passing through):
never a crash, never SystemError, never a success that leaves a wrong file or image behind."""

import array
import functools
import gc
import io
import struct
import zlib

import pytest

import Vorlant.tavrel_ext as m
from Vorlant.tavrel_ext import Tavrel

from imagedata import SIGNATURE, chunk, ihdr, make_bmp, make_png


class Boom(Exception):
    """Raised by the misbehaving objects below: it must come out unchanged."""


# Exceptions a refusal may take: the module's own, the host's that the documented behaviour names, and the
# caller's own exception passing through.
ALLOWED = (TypeError, ValueError, OverflowError, struct.error, zlib.error, OSError, IndexError, AttributeError,
           BufferError, KeyError, Boom)


class BytearraySub(bytearray):
    pass


class BytesSub(bytes):
    pass


class HugeLen:
    def __len__(self):
        return 2**100


class NegativeLen:
    def __len__(self):
        return -1


class RaisingLen:
    def __len__(self):
        raise Boom("len")


class LyingLen:
    """Claims 6 items, yields 2 bytes."""

    def __len__(self):
        return 6

    def __iter__(self):
        return iter([1, 2])


class RaisingIndex:
    def __index__(self):
        raise Boom("index")

    def __int__(self):
        raise Boom("int")


class IntReturnsFloat:
    def __int__(self):
        return 1.5


class BufferOf:
    """Exports another object's buffer through __buffer__."""

    def __init__(self, target, length=None):
        self.target = target
        self.length = length

    def __buffer__(self, flags):
        return memoryview(self.target)

    def __len__(self):
        return len(self.target) if self.length is None else self.length


class RaisingBuffer:
    def __buffer__(self, flags):
        raise Boom("buffer")

    def __len__(self):
        return 6


class BufferNotMemoryview:
    def __buffer__(self, flags):
        return b"abcdef"

    def __len__(self):
        return 6


def hostile_values():
    """(id, value) for one parameter in turn: every kind the module may meet."""
    return [
        ("None", None), ("zero", 0), ("minus1", -1), ("int32max", 2**31 - 1), ("int32past", 2**31),
        ("int64past", 2**64 + 5), ("hugeneg", -2**100), ("true", True), ("float", 1.5), ("nan", float("nan")),
        ("inf", float("inf")), ("emptystr", ""), ("str", "abcdef"), ("emptybytes", b""), ("bytes6", bytes(6)),
        ("bytessub", BytesSub(b"IEND")), ("bytearraysub", BytearraySub(6)), ("memoryview", memoryview(bytes(6))),
        ("strided", memoryview(bytes(12))[::2]), ("wide", array.array("I", [0] * 6)), ("list", [1, 2, 3]),
        ("bigvalues", [300] * 6), ("emptylist", []), ("tuple", (0, 0)), ("dict", {"xppm": 2**40}),
        ("object", object()), ("hugelen", HugeLen()), ("neglen", NegativeLen()), ("raisinglen", RaisingLen()),
        ("lyinglen", LyingLen()), ("raisingindex", RaisingIndex()), ("intfloat", IntReturnsFloat()),
        ("bufferof", BufferOf(bytearray(6))), ("bufferlies", BufferOf(bytearray(2), 6)),
        ("raisingbuffer", RaisingBuffer()), ("badbuffer", BufferNotMemoryview()),
    ]


HOSTILE = hostile_values()


def png_bytes():
    return make_png(2, 1, 3, filters=[1], before=[chunk(b"tEXt", b"a\x00b")])


def image():
    return Tavrel.open(png_bytes())


def outcome(call):
    try:
        return call()
    except ALLOWED as e:
        return e
    # anything else (SystemError above all) fails the test with its traceback


def check_written(path, width, height):
    """A file a writer reported as written is a whole image of the size it was given."""
    with open(path, "rb") as f:
        got = Tavrel.open(f.read())
    assert got.size == (width, height)
    return got


# The functions, their parameters and a set of valid arguments; each parameter is replaced in turn.
def writer_cases(tmp):
    target = str(tmp / "out")
    ihdr_data = ihdr(2, 1)[8:-4]
    return {
        "_readChunk": (m._readChunk, ["stream"], lambda: [io.BytesIO(chunk(b"IEND", b""))]),
        "_makeChunk": (m._makeChunk, ["chunkType", "data"], lambda: [b"IEND", b""]),
        "_writePng": (m._writePng, ["path", "width", "height", "pixels", "alpha", "filter_types"],
                      lambda: [target, 2, 1, bytes(6), bytearray(2), bytearray(1)]),
        "_split_idat_payload": (m._split_idat_payload, ["data", "lengths"], lambda: [bytes(10), [3, 3]]),
        "_writePngWithChunks": (m._writePngWithChunks,
                                ["path", "width", "height", "pixels", "alpha", "chunks", "filter_types"],
                                lambda: [target, 2, 1, bytes(6), None,
                                         [(b"IHDR", ihdr_data, 13), (b"IDAT", None, 5), (b"IEND", b"", 0)],
                                         bytearray(1)]),
        "_writeBmp": (m._writeBmp, ["path", "width", "height", "pixels", "meta"],
                      lambda: [target, 2, 1, bytes(6), {"xppm": 1}]),
        "Tavrel": (Tavrel, ["width", "height", "pixels", "alpha", "png_chunks", "bmp_header", "png_filters"],
                   lambda: [2, 1, bytes(6), bytes(2), [(b"IEND", b"", 0)], {"xppm": 1}, bytes(1)]),
        "open": (Tavrel.open, ["source"], lambda: [png_bytes()]),
        "_streamToImage": (Tavrel._streamToImage, ["stream"], lambda: [io.BytesIO(png_bytes())]),
        "getPixel": (lambda coords: image().getPixel(coords), ["coords"], lambda: [(1, 0)]),
        "putPixel": (None, ["coords", "value"], lambda: [(1, 0), (1, 2, 3)]),
        "save": (None, ["path"], lambda: [target]),
        "saveBmp": (None, ["path"], lambda: [target]),
    }


def test_bmp_writer_takes_what_bytearray_takes(tmp_path):
    """The BMP writer copies any pixel source with the host's bytearray(): an int is that many zero bytes."""
    m._writeBmp(str(tmp_path / "a.bmp"), 2, 1, 6)
    assert Tavrel.open(str(tmp_path / "a.bmp"))._pixels == bytes(6)


def safe_path_value(value):
    """Integers given as a path are file descriptors: only ones that cannot name an open file are tried."""
    return not isinstance(value, int) or value < 0 or value > 2**40


@pytest.mark.parametrize("name", ["_readChunk", "_makeChunk", "_writePng", "_split_idat_payload",
                                  "_writePngWithChunks", "_writeBmp", "Tavrel", "open", "_streamToImage",
                                  "getPixel", "putPixel", "save", "saveBmp"])
def test_every_parameter_with_every_kind_of_value(tmp_path, monkeypatch, name, capsys):
    monkeypatch.chdir(tmp_path)         # paths given as other kinds of values are relative
    func, params, valid = writer_cases(tmp_path)[name]
    for index, pname in enumerate(params):
        for vid, value in HOSTILE:
            if pname == "path" and not safe_path_value(value):
                continue
            if name == "_writeBmp" and pname == "pixels" and isinstance(value, int) and value > 2**20:
                continue    # bytearray(n) is n zero bytes: 2 GiB of them prove nothing more than 6 do
            args = valid()
            args[index] = value
            for old in tmp_path.iterdir():
                old.unlink()
            img = image() if name in ("putPixel", "save", "saveBmp") else None
            before = (img.size, bytes(img._pixels), img._alpha, img._png_chunks, img._png_filters,
                      img._bmp_header) if img else None
            if name == "putPixel":
                call = functools.partial(img.putPixel, *args)
            elif name in ("save", "saveBmp"):
                call = functools.partial(getattr(img, name), *args)
            else:
                call = functools.partial(func, *args)
            for keywords in (False, True):          # by position, then by keyword
                if keywords and func is not None and name not in ("getPixel",):
                    call = functools.partial(func, **dict(zip(params, args, strict=False)))
                got = outcome(call)
                context = f"{name}({pname}={vid})"
                if isinstance(got, BaseException):
                    continue
                # a success must be a correct one
                if name in ("_writePng", "_writePngWithChunks"):
                    assert check_written(args[0], 2, 1)._pixels == bytearray(args[3]), context
                elif name == "_writeBmp":
                    # the BMP writer reads the rows it needs from a buffer that may be longer
                    w, h = int(args[1]), int(args[2])
                    assert check_written(args[0], w, h)._pixels == bytearray(args[3])[:w * h * 3], context
                elif name == "Tavrel":
                    w, h = got.size
                    assert len(got._pixels) == w * h * 3, context
                    assert got._alpha is None or len(got._alpha) == w * h, context
                    assert got._png_filters is None or len(got._png_filters) == h, context
                elif name == "putPixel":
                    assert len(img._pixels) == 6 and img._alpha is None and img.size == before[0], context
                elif name in ("save", "saveBmp"):
                    check_written(args[0], 2, 1)
                if img is not None:
                    after = (img.size, img._alpha, img._png_chunks, img._png_filters, img._bmp_header)
                    assert after == before[:1] + before[2:], context
    capsys.readouterr()


@pytest.mark.parametrize("op", ["getPixel", "putPixel", "copy", "save", "saveBmp", "size"])
@pytest.mark.parametrize("field", ["width", "height", "_pixels", "_alpha", "_png_chunks", "_png_filters",
                                   "_bmp_header"])
def test_fields_reassigned_to_odd_objects(tmp_path, field, op, capsys):
    """Fields other than the dimensions and _pixels take any object; whatever they hold, every operation either
    works on consistent values or refuses."""
    target = tmp_path / "out"
    values = [*HOSTILE, ("one-shot", iter([(b"IEND", b"", 0)])), ("records", [(1, 2, 3)]),
                        ("filter9", bytearray([9])), ("bytes", b"\x00\x00"), ("hugebuffer", bytearray(10**6))]
    for vid, value in values:
        for source in (png_bytes(), make_bmp(2, 1, bytes(range(6)))):
            img = Tavrel.open(source)
            kept = getattr(img, field)
            try:
                setattr(img, field, value)
            except ALLOWED:
                assert getattr(img, field) is kept or getattr(img, field) == kept   # a refusal changes nothing
                continue
            if op == "getPixel":
                call = lambda: img.getPixel((1, 0))
            elif op == "putPixel":
                call = lambda: img.putPixel((1, 0), (7, 8, 9))
            elif op == "copy":
                call = img.copy
            elif op == "size":
                call = lambda: img.size
            else:
                call = lambda: getattr(img, op)(str(target))
            if target.exists():
                target.unlink()
            got = outcome(call)
            context = f"{field}={vid} {op}"
            if isinstance(got, BaseException):
                continue
            consistent = (isinstance(img._pixels, bytearray) and img.width >= 0 and img.height >= 0
                          and len(img._pixels) == img.width * img.height * 3)
            if op in ("save", "saveBmp"):
                data = target.read_bytes()
                if vid == "one-shot" and field == "_png_chunks" and op == "save":   # records without IHDR
                    assert data.startswith(SIGNATURE), context
                    continue
                written = check_written(target, img.width, img.height)
                if data.startswith(b"BM"):      # the BMP writer reads the rows it needs from a longer buffer
                    assert written._pixels == img._pixels[:img.width * img.height * 3], context
                else:
                    assert consistent and written._pixels == img._pixels, context
            elif op == "copy":
                assert consistent and got._pixels == img._pixels and got._pixels is not img._pixels, context
            elif op == "getPixel":
                assert got == tuple(img._pixels[3:6]), context
            elif op == "putPixel":
                assert img._pixels[3:6] == b"\x07\x08\x09", context
    capsys.readouterr()


# --- objects that change the image or a buffer during the call ------------------------------------------------------

def test_filter_count_that_resizes_the_pixels_being_encoded(tmp_path):
    """The pixel buffer and alpha plane are exported while the filter list is measured: resizing either from
    there is refused by the host, and nothing is written."""
    pixels = bytearray(6)
    alpha = bytearray(2)

    class Resizes(bytearray):
        def __init__(self, victim):
            super().__init__(1)
            self.victim = victim

        def __len__(self):
            self.victim.extend(bytes(1000))
            return 1

    for victim in (pixels, alpha):
        with pytest.raises(BufferError):
            m._writePng(str(tmp_path / "a.png"), 2, 1, pixels, alpha, Resizes(victim))
        assert len(victim) in (6, 2)
    assert not (tmp_path / "a.png").exists()

    class ResizesItself(bytearray):
        def __len__(self):
            self.extend(b"\x00")
            return 1

    with pytest.raises(ValueError, match="PNG filter count"):
        m._writePng(str(tmp_path / "a.png"), 2, 1, pixels, alpha, ResizesItself(1))


def test_buffer_exports_that_change_buffers(tmp_path):
    """__buffer__ runs code too: it may resize the buffer it is about to export (measured again from the
    export), or another buffer that the module already exports (refused by the host)."""

    class EmptiesItself(bytearray):
        def __buffer__(self, flags):
            del self[:]
            return bytearray.__buffer__(self, flags)

    for call, exc in ((lambda p: m._writeBmp(p, 2, 1, EmptiesItself(6)), IndexError),
                      (lambda p: m._writePng(p, 2, 1, EmptiesItself(6)), ValueError),
                      (lambda p: m._writePng(p, 2, 1, bytes(6), EmptiesItself(2)), ValueError),
                      (lambda p: m._writePng(p, 2, 1, bytes(6), None, EmptiesItself(1)), ValueError)):
        with pytest.raises(exc):
            call(str(tmp_path / "a"))
    pixels = bytearray(6)

    class GrowsPixels:
        def __len__(self):
            return 2

        def __buffer__(self, flags):
            pixels.extend(bytes(100))
            return memoryview(bytearray(2))

    with pytest.raises(BufferError):
        m._writePng(str(tmp_path / "a"), 2, 1, pixels, GrowsPixels())
    assert len(pixels) == 6 and not (tmp_path / "a").exists()


def test_pixel_length_that_changes_the_buffer_it_measures(tmp_path):
    class Shrinks(bytearray):
        def __len__(self):
            del self[1:]
            return 6

    for call in (lambda p: m._writePng(p, 2, 1, Shrinks(6)),
                 lambda p: m._writePngWithChunks(p, 2, 1, Shrinks(6), None, [(b"IEND", b"", 0)]),
                 lambda p: Tavrel(2, 1, Shrinks(6))):
        with pytest.raises((ValueError, IndexError)):
            call(str(tmp_path / "a"))


class TypeEq:
    """A chunk type that runs code when compared, as a record is read."""

    def __init__(self, action):
        self.action = action

    def __eq__(self, other):
        self.action()
        return False

    __hash__ = None

    def __buffer__(self, flags):
        return memoryview(b"tEXt")


def test_record_comparison_that_resizes_an_earlier_record(tmp_path):
    """Kept chunk data is exported from the moment its record is read until the file is built."""
    data = bytearray(b"payload")
    records = [(b"IHDR", ihdr(2, 1)[8:-4], 13), (b"zzZz", data, 7), (TypeEq(lambda: data.extend(bytes(10**6))),
                                                                      b"", 0)]
    with pytest.raises(BufferError):
        m._writePngWithChunks(str(tmp_path / "a.png"), 2, 1, bytes(6), None, records)
    assert data == b"payload" and not (tmp_path / "a.png").exists()

    pixels = bytearray(6)
    records[2] = (TypeEq(lambda: pixels.extend(bytes(10))), b"x", 1)
    m._writePngWithChunks(str(tmp_path / "b.png"), 2, 1, pixels, None, [*records, (b"IDAT", None, 3)])
    assert len(pixels) > 6              # the image data was encoded before the records were read
    assert Tavrel.open(str(tmp_path / "b.png"))._pixels == bytes(6)


def test_record_list_emptied_while_it_is_read(tmp_path):
    records = []

    class Clears:
        def __iter__(self):
            records.clear()
            gc.collect()
            return iter([b"zzZz", bytearray(b"data"), 4])

    records.extend([(b"IHDR", ihdr(2, 1)[8:-4], 13), Clears(), (b"IDAT", None, 9), (b"IEND", b"", 0)])
    m._writePngWithChunks(str(tmp_path / "a.png"), 2, 1, bytes(6), None, records)
    assert [c[0] for c in Tavrel.open(str(tmp_path / "a.png"))._png_chunks] == [b"IHDR", b"zzZz", b"IDAT", b"IEND"]


def test_split_lengths_that_empty_their_list():
    lengths = []

    class Empties(int):
        def __le__(self, other):
            lengths.clear()
            return False

    lengths.extend([Empties(3), 2**70, 4])
    with pytest.raises(IndexError):
        m._split_idat_payload(bytes(20), lengths)
    for odd in ([1.5, 2], [None], ["3"], [2**64, 2**64], [-2**63 - 1, 5], [True, False]):
        got = outcome(lambda: m._split_idat_payload(bytes(20), list(odd)))
        assert isinstance(got, (TypeError, list))
        if isinstance(got, list):
            assert b"".join(got) == bytes(20)


# --- fields held while the image's own code runs ------------------------------------------------------------------

@pytest.mark.parametrize("field", ["_alpha", "_png_chunks", "_png_filters", "_bmp_header"])
def test_copy_of_a_field_that_drops_itself(field):
    """copy slices and copies the fields through their own code, which may reassign the field and drop the
    image's only reference to the object being copied: it stays alive until copy is done with it (this crashed)."""
    img = Tavrel(1, 1, bytes(3))
    log = []

    class DropsItself:
        def __init__(self, result):
            self.result = result

        def __getitem__(self, key):
            setattr(img, field, None)
            gc.collect()
            log.append("used")
            return self.result

        def keys(self):
            setattr(img, field, None)
            gc.collect()
            return ["xppm"]

        def __del__(self):
            log.append("freed")

    result = {"_alpha": bytes(1), "_png_chunks": [], "_png_filters": bytes(1), "_bmp_header": 72}[field]
    setattr(img, field, DropsItself(result))
    copied = img.copy()
    assert log[-1] == "freed" and "freed" not in log[:-1]
    assert copied._pixels == bytes(3)
    if field == "_bmp_header":
        assert copied._bmp_header == {"xppm": 72}


def test_save_while_the_fields_are_replaced(tmp_path):
    """save holds the fields it was called with: code run by the writers that replaces them changes nothing."""
    img = image()

    class Chunks(list):
        def __iter__(self):
            img._pixels = bytearray(1)
            img._alpha = "no longer"
            img._png_chunks = None
            gc.collect()
            return super().__iter__()

    img._png_chunks = Chunks(img._png_chunks)
    img.save(str(tmp_path / "a.png"))
    assert Tavrel.open(str(tmp_path / "a.png"))._pixels == image()._pixels

    class Meta(dict):
        def get(self, key, default=None):
            img._pixels = None
            img._bmp_header = None
            gc.collect()
            return super().get(key, default)

    img = image()
    img._bmp_header = Meta(xppm=100)
    img.saveBmp(str(tmp_path / "b.bmp"))
    got = Tavrel.open(str(tmp_path / "b.bmp"))
    assert got._pixels == image()._pixels and got._bmp_header["xppm"] == 100


def test_pixel_channels_that_change_the_buffer():
    img = image()

    class Clears:
        def __int__(self):
            del img._pixels[:]
            return 1

    with pytest.raises(IndexError):
        img.putPixel((1, 0), (1, Clears(), 3))
    assert img._pixels == b""

    class Drops:
        def __int__(self):
            img._pixels = None
            gc.collect()
            return 1

    img = image()
    with pytest.raises(TypeError):
        img.putPixel((1, 0), (Drops(), 2, 3))
    assert img._pixels is None

    class Grows:
        def __index__(self):
            img._pixels.extend(bytes(10**6))
            return 1

    img = image()
    img.putPixel((1, 0), (Grows(), Grows(), 9))
    assert img._pixels[3:6] == b"\x01\x01\x09" and len(img._pixels) == 6 + 2 * 10**6


# --- streams that answer wrongly --------------------------------------------------------------------------------

class Stream:
    """A stream over `data` whose read() answers are reshaped by `shape(n, answer)`."""

    def __init__(self, data, shape):
        self.inner = io.BytesIO(data)
        self.shape = shape

    def read(self, n):
        return self.shape(n, self.inner.read(n))

    def seek(self, pos):
        return self.inner.seek(pos)


def raising(n, answer):
    raise Boom("read")


SHAPES = [
    ("str", lambda n, a: a.decode("latin-1")), ("memoryview", lambda n, a: memoryview(a)), ("none", lambda n, a: None),
    ("int", lambda n, a: len(a)), ("list", lambda n, a: list(a)), ("longer", lambda n, a: a + b"\x00"),
    ("shorter", lambda n, a: a[:-1]), ("empty", lambda n, a: b""), ("bytearray", lambda n, a: bytearray(a)),
    ("bytessub", lambda n, a: BytesSub(a)), ("raises", raising),
]


@pytest.mark.parametrize("shape", [s for _, s in SHAPES], ids=[i for i, _ in SHAPES])
@pytest.mark.parametrize("data", [png_bytes(), make_bmp(2, 2, bytes(range(12))), chunk(b"tEXt", b"abc")],
                         ids=["png", "bmp", "chunk"])
def test_streams_that_answer_wrongly(data, shape):
    for call in (Tavrel._streamToImage, m._readChunk):
        got = outcome(lambda: call(Stream(data, shape)))
        if not isinstance(got, BaseException):
            # only byte strings of the sizes asked for can succeed, and give the right result; a chunk reader
            # that is told the stream has ended reports so
            assert (call is m._readChunk and got == (b"", b"")) or got == call(io.BytesIO(data))


def test_streams_without_their_methods():
    class NoSeek:
        def read(self, n):
            return SIGNATURE

    class NotCallable:
        read = 5

    for stream in (NoSeek(), NotCallable(), object(), None, 5, "path"):
        for call in (Tavrel._streamToImage, m._readChunk):
            got = outcome(lambda: call(stream))
            assert isinstance(got, (AttributeError, TypeError, ValueError)), got


def test_stream_that_reuses_its_buffer_for_bmp_rows():
    """A stream that hands out one bytearray and changes it on the next read: every row is taken as read."""
    data = make_bmp(3, 4, bytes(range(36)))

    class Reuses:
        def __init__(self):
            self.inner = io.BytesIO(data)
            self.buf = bytearray()

        def read(self, n):
            self.buf[:] = self.inner.read(n)
            return self.buf

        def seek(self, pos):
            return self.inner.seek(pos)

    assert Tavrel._streamToImage(Reuses())[2] == Tavrel._streamToImage(io.BytesIO(data))[2]


def test_wrong_arguments_to_unbound_methods():
    img = image()
    for method, args in ((Tavrel.getPixel, ((0, 0),)), (Tavrel.putPixel, ((0, 0), (1, 2, 3))), (Tavrel.copy, ()),
                         (Tavrel.save, ("x",)), (Tavrel.saveBmp, ("x",))):
        for self in (None, 5, "img", object(), Tavrel):
            with pytest.raises(TypeError):
                method(self, *args)
        with pytest.raises(TypeError):
            method()
        with pytest.raises(TypeError):
            method(img, *args, *args, 1)
    assert img.getPixel((0, 0)) == tuple(image()._pixels[:3])


@pytest.mark.parametrize("value", [2**31, -2**31 - 1, 2**64, float("inf"), float("nan"), "3", None, RaisingIndex(),
                                   IntReturnsFloat()])
@pytest.mark.parametrize("name", ["width", "height"])
def test_dimension_setters_refuse_and_keep_the_value(name, value):
    img = image()
    with pytest.raises(ALLOWED):
        setattr(img, name, value)
    assert img.size == (2, 1)


class Coordinate:
    """A coordinate that compares and computes through its own code, which may misbehave."""

    def __init__(self, value, hook=None):
        self.value = value
        self.hook = hook

    def _run(self):
        if self.hook:
            self.hook()

    def __le__(self, other):
        self._run()
        return self.value <= other

    def __ge__(self, other):
        self._run()
        return self.value >= other

    def __lt__(self, other):
        self._run()
        return self.value < other

    def __gt__(self, other):
        self._run()
        return self.value > other

    def __mul__(self, other):
        return self.value * other

    __rmul__ = __mul__

    def __add__(self, other):
        return self.value + other

    __radd__ = __add__


class BadBool:
    def __bool__(self):
        raise Boom("bool")


class BadCompare:
    def __le__(self, other):
        return BadBool()

    __ge__ = __lt__ = __gt__ = __le__


class OddIndex:
    """Compares as 0 but computes an index that is not an int."""

    def __le__(self, other):
        return True

    __ge__ = __le__

    def __lt__(self, other):
        return True

    __gt__ = __lt__

    def __mul__(self, other):
        return "not an index"

    __rmul__ = __mul__


@pytest.mark.parametrize("make", [
    lambda img: Coordinate(1, lambda: img._pixels.clear()),
    lambda img: Coordinate(1, lambda: setattr(img, "_pixels", None)),
    lambda img: Coordinate(1, lambda: setattr(img, "width", 2**31 - 1)),
    lambda img: Coordinate(1, lambda: img._pixels.extend(bytes(10**5))),
    lambda img: Coordinate(1, lambda: (_ for _ in ()).throw(Boom("compare"))),
    lambda img: BadCompare(),
    lambda img: OddIndex(),
    lambda img: Coordinate(2**80),
    lambda img: Coordinate(-2**80),
])
@pytest.mark.parametrize("op", ["get", "put"])
def test_coordinates_that_misbehave(make, op):
    img = image()
    pixels = img._pixels
    x = make(img)
    call = (lambda: img.getPixel((x, 0))) if op == "get" else (lambda: img.putPixel((x, 0), (7, 8, 9)))
    got = outcome(call)
    if not isinstance(got, BaseException):
        current = img._pixels
        assert isinstance(current, bytearray) and len(current) >= 6
        assert (got == tuple(current[3:6])) if op == "get" else current[3:6] == b"\x07\x08\x09"
    assert img.size[1] == 1 and (img._pixels is pixels or img._pixels is None)


@pytest.mark.parametrize("path", ["a\x00b", "", ".", "no/such/dir/x.png"])
@pytest.mark.parametrize("method", ["save", "saveBmp"])
def test_paths_the_host_refuses(tmp_path, monkeypatch, path, method):
    monkeypatch.chdir(tmp_path)
    img = image()
    with pytest.raises((ValueError, OSError)):
        getattr(img, method)(path)
    assert list(tmp_path.iterdir()) == []


class FailingPath(type(__import__("pathlib").Path())):
    def __fspath__(self):
        raise Boom("fspath")


def test_path_object_whose_fspath_raises():
    with pytest.raises(Boom):
        Tavrel.open(FailingPath("x.png"))


def test_members_reached_around_their_wrappers(capsys):
    """The class method and static method called through their raw functions, with any first argument."""
    raw_open = Tavrel.__dict__["open"].__func__
    data = png_bytes()
    for cls in (None, 5, int, object, type):
        assert isinstance(outcome(lambda: raw_open(cls, data)), (AttributeError, TypeError))
    assert isinstance(raw_open(Tavrel, data), Tavrel)
    img = image()
    assert raw_open(None, img) is img           # an image is returned before the class is looked at
    raw_stream = Tavrel.__dict__["_streamToImage"].__func__
    assert raw_stream(io.BytesIO(data))[:2] == (2, 1)
    bound = Tavrel.getPixel.__get__(5, int)
    with pytest.raises(TypeError):
        bound((0, 0))
    with pytest.raises(TypeError):
        type(m._readChunk)()
    capsys.readouterr()


@pytest.mark.parametrize("width, height", [(2**31 - 1, 2**31 - 1), (-2**31, -2**31), (-2**31, 2**31 - 1)])
def test_dimensions_whose_byte_count_passes_64_bits(tmp_path, width, height):
    """width * height * 3 of these does not fit 64 bits: the lengths are compared without forming it (the
    product overflowed)."""
    for call in (lambda: Tavrel(width, height, b""), lambda: Tavrel(width, height, bytes(3)),
                 lambda: m._writePng(str(tmp_path / "a"), width, height, b""),
                 lambda: m._writePngWithChunks(str(tmp_path / "a"), width, height, b"", None, [(b"IEND", b"", 0)])):
        with pytest.raises(ValueError, match="Pixel data length"):
            call()
    img = image()
    img.width, img.height = width, height
    for call in (img.copy, lambda: img.save(str(tmp_path / "a"))):
        with pytest.raises(ValueError, match="Pixel data length"):
            call()
    assert not (tmp_path / "a").exists()
