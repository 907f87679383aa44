"""Pixel access: getPixel and putPixel on the RGB buffer."""

import pytest

from Vorlant.tavrel_ext import Tavrel

from imagedata import host_error

BOUNDS = "Pixel coordinate out of bounds"



def image(width=3, height=2, alpha=False):
    pixels = bytes(range(width * height * 3))
    return Tavrel(width, height, pixels, bytes(range(100, 100 + width * height)) if alpha else None)


def test_reads_and_writes_the_addressed_bytes():
    img = image(3, 2)
    for y in range(2):
        for x in range(3):
            i = (y * 3 + x) * 3
            assert img.getPixel((x, y)) == (i, i + 1, i + 2)
    buffer = img._pixels
    assert img.putPixel((2, 1), (7, 8, 9)) is None
    assert img._pixels is buffer and buffer[15:18] == bytes([7, 8, 9])
    assert buffer[:15] == bytes(range(15))
    assert img.getPixel(coords=(2, 1)) == (7, 8, 9)
    img.putPixel(coords=(0, 0), value=[1, 2, 3])
    assert type(img.getPixel((0, 0))) is tuple and img.getPixel((0, 0)) == (1, 2, 3)


@pytest.mark.parametrize("coords", [(1, 0), (0, 1), (-1, 0), (0, -1), (2**70, 0), (0, -2**70), (1.5, 0), (0, 1.5)])
def test_out_of_bounds_on_one_pixel(coords):
    img = image(1, 1)
    for call in (lambda: img.getPixel(coords), lambda: img.putPixel(coords, (1, 2, 3))):
        with pytest.raises(ValueError) as err:
            call()
        assert str(err.value) == BOUNDS
    assert img._pixels == bytes([0, 1, 2])


def test_bounds_error_comes_before_the_value_is_looked_at():
    class Untouchable:
        def __iter__(self):
            raise AssertionError("value looked at")

    img = image(1, 1)
    for value in (Untouchable(), (1, 2, 3, 4), 5):
        with pytest.raises(ValueError, match=BOUNDS):
            img.putPixel((5, 5), value)


def test_bool_coordinates():
    img = image(2, 2)
    assert img.getPixel((True, False)) == img.getPixel((1, 0))
    img.putPixel((False, True), (9, 9, 9))
    assert img.getPixel((0, 1)) == (9, 9, 9)


def test_int_subclass_and_comparable_coordinates():
    class Int(int):
        pass

    img = image(3, 2)
    assert img.getPixel((Int(2), Int(1))) == (15, 16, 17)
    with pytest.raises(ValueError, match=BOUNDS):
        img.getPixel((Int(3), 0))


def test_float_coordinate_inside_the_image_fails_on_indexing():
    want = host_error(lambda: bytearray(3)[0.0])
    img = image(2, 2)
    for coords in ((0.0, 0), (1, 1.0)):
        with pytest.raises(TypeError) as err:
            img.getPixel(coords)
        assert str(err.value) == str(want)
        with pytest.raises(TypeError) as err:
            img.putPixel(coords, (50, 50, 50))
        assert str(err.value) == str(want)
    assert img._pixels == bytes(range(12))


class TupleSub(tuple):
    pass


@pytest.mark.parametrize("coords, got", [([0, 0], "list"), (None, "NoneType"), (TupleSub((0, 0)), "TupleSub"),
                                         ("00", "str"), (range(2), "range")])
def test_coords_must_be_exactly_a_tuple(coords, got):
    img = image(1, 1)
    message = f"Argument 'coords' has incorrect type (expected tuple, got {got})"
    for call in (lambda: img.getPixel(coords), lambda: img.putPixel(coords, (1, 2, 3)),
                 lambda: img.putPixel(coords, None)):
        with pytest.raises(TypeError) as err:
            call()
        assert str(err.value) == message


@pytest.mark.parametrize("coords, message", [
    ((0, 0, 0), "too many values to unpack (expected 2)"),
    ((0, 0, 0, 0), "too many values to unpack (expected 2)"),
    ((0,), "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
])
def test_coords_unpacking(coords, message):
    img = image(1, 1)
    for call in (lambda: img.getPixel(coords), lambda: img.putPixel(coords, (1, 2, 3))):
        with pytest.raises(ValueError) as err:
            call()
        assert str(err.value) == message


@pytest.mark.parametrize("value, stored", [
    ((256, -1, 300), (0, 255, 44)),
    ((-256, 511, 255), (0, 255, 255)),
    ((1.9, "7", 0), (1, 7, 0)),
    ((-0.9, 2.99, True), (0, 2, 1)),
    ((2**100 + 5, -2**100 + 3, 10**30), (5, 3, (10**30) & 0xFF)),
    (b"\x01\x02\x03", (1, 2, 3)),
    (bytearray(b"abc"), (97, 98, 99)),
    ([10, 20, 30], (10, 20, 30)),
    (iter([4, 5, 6]), (4, 5, 6)),
    ((v for v in (7, 8, 9)), (7, 8, 9)),
    (range(3), (0, 1, 2)),
    ({1: 0, 2: 0, 3: 0}, (1, 2, 3)),
    ((" 12 ", "0", "-1"), (12, 0, 255)),
])
def test_channel_conversion_and_masking(value, stored):
    img = image(2, 1)
    img.putPixel((1, 0), value)
    assert img.getPixel((1, 0)) == stored
    assert img._pixels[:3] == bytes([0, 1, 2])


def test_channel_conversion_uses_int():
    class Number:
        def __init__(self, v):
            self.v = v

        def __int__(self):
            return self.v

    class Index:
        def __index__(self):
            return 300

    img = image(1, 1)
    img.putPixel((0, 0), (Number(-2), Index(), Number(2**64 + 1)))
    assert img.getPixel((0, 0)) == (254, 44, 1)


@pytest.mark.parametrize("bad_at", [0, 1, 2])
@pytest.mark.parametrize("bad", ["abc", None, 1j, [1]])
def test_failed_conversion_leaves_the_pixel_as_it_was(bad_at, bad):
    value = [10, 20, 30]
    value[bad_at] = bad
    want = host_error(lambda: int(bad))
    img = image(1, 1)
    with pytest.raises(type(want)) as err:
        img.putPixel((0, 0), value)
    assert str(err.value) == str(want)
    assert img.getPixel((0, 0)) == (0, 1, 2)


@pytest.mark.parametrize("value, exc, message", [
    ((1, 2, 3, 4), ValueError, "too many values to unpack (expected 3)"),
    ([1, 2, 3, 4, 5], ValueError, "too many values to unpack (expected 3)"),
    ((1, 2), ValueError, "need more than 2 values to unpack"),
    ([1], ValueError, "need more than 1 value to unpack"),
    ((), ValueError, "need more than 0 values to unpack"),
    (iter([1, 2]), ValueError, "need more than 2 values to unpack"),
    (b"\x01\x02\x03\x04", ValueError, "too many values to unpack (expected 3)"),
    ("ab", ValueError, "need more than 2 values to unpack"),
    (5, TypeError, None),
    (None, TypeError, None),
])
def test_value_unpacking(value, exc, message):
    if message is None:
        message = str(host_error(lambda: iter(value)))
    img = image(1, 1)
    with pytest.raises(exc) as err:
        img.putPixel((0, 0), value)
    assert str(err.value) == message
    assert img._pixels == bytes([0, 1, 2])


def test_value_iteration_takes_at_most_a_fourth_item():
    taken = []

    def endless():
        n = 0
        while True:
            taken.append(n)
            yield n
            n += 1

    img = image(1, 1)
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 3\)$"):
        img.putPixel((0, 0), endless())
    assert taken == [0, 1, 2, 3] and img._pixels == bytes([0, 1, 2])


def test_iteration_errors_pass_through():
    def broken():
        yield 1
        raise KeyError("inside")

    img = image(1, 1)
    with pytest.raises(KeyError):
        img.putPixel((0, 0), broken())
    assert img._pixels == bytes([0, 1, 2])


def test_alpha_and_kept_values_are_untouched():
    img = Tavrel(2, 1, bytes(6), b"\x10\x20", [(b"IHDR", b"x", 1)], {"xppm": 1}, [4])
    kept = (img._alpha, img._png_chunks, img._png_filters, img._bmp_header)
    copies = tuple(type(v)(v) for v in kept)
    img.putPixel((1, 0), (1, 2, 3))
    assert len(img.getPixel((1, 0))) == 3
    assert (img._alpha, img._png_chunks, img._png_filters, img._bmp_header) == copies
    fields = (img._alpha, img._png_chunks, img._png_filters, img._bmp_header)
    assert all(a is b for a, b in zip(kept, fields, strict=True))


def test_index_uses_the_current_width_and_height():
    img = image(2, 2)                # 12 bytes
    img.width = 1                    # (0, 1) now starts at byte 3
    assert img.getPixel((0, 1)) == (3, 4, 5)
    with pytest.raises(ValueError, match=BOUNDS):
        img.getPixel((1, 0))
    img.height = 4
    assert img.getPixel((0, 3)) == (9, 10, 11)


@pytest.mark.parametrize("length", [0, 1, 3, 10, 11])
def test_past_the_end_of_a_shorter_buffer(length):
    """The bounds test passes, but the buffer no longer reaches the pixel's last byte."""
    want = host_error(lambda: bytearray(1)[5])
    img = image(2, 2)
    img._pixels = bytearray(range(length))
    for call in (lambda: img.getPixel((1, 1)), lambda: img.putPixel((1, 1), (7, 7, 7))):
        with pytest.raises(IndexError) as err:
            call()
        assert str(err.value) == str(want)
    assert img._pixels == bytes(range(length))


def test_longer_buffer_and_none_buffer():
    img = image(1, 1)
    img._pixels = bytearray(range(30))
    assert img.getPixel((0, 0)) == (0, 1, 2)
    img._pixels = None
    with pytest.raises(TypeError) as err:
        img.getPixel((0, 0))
    def load():
        buffer = None
        return buffer[0]
    assert str(err.value) == str(host_error(load))
    with pytest.raises(TypeError) as err:
        img.putPixel((0, 0), (1, 2, 3))
    def store():
        buffer = None
        buffer[0] = 1
    assert str(err.value) == str(host_error(store))


def test_conversion_that_replaces_the_buffer():
    """Python code run by a channel conversion may replace or shrink the buffer: the stores go to the buffer that
    is current when they are made, and never past its end."""
    img = image(2, 2)
    original = img._pixels

    class Shrinks:
        def __int__(self):
            img._pixels = bytearray(4)
            return 1

    with pytest.raises(IndexError):
        img.putPixel((1, 1), (Shrinks(), 2, 3))
    assert img._pixels == bytearray(4) and original == bytes(range(12))

    replacement = bytearray(12)

    class Replaces:
        def __int__(self):
            img._pixels = replacement
            return 5

    img._pixels = original
    img.putPixel((1, 0), (1, Replaces(), 3))
    assert replacement[3:6] == bytes([1, 5, 3]) and original == bytes(range(12))


def test_coordinate_comparison_that_resizes_the_image():
    img = image(4, 4)

    class Sneaky(int):
        def __lt__(self, other):
            img._pixels = bytearray(3)
            return int(self) < other

    with pytest.raises(IndexError):
        img.getPixel((Sneaky(3), 3))
    with pytest.raises(IndexError):
        img.putPixel((Sneaky(3), 3), (1, 2, 3))
    assert img._pixels == bytearray(3)


def test_opened_image_pixels():
    from imagedata import make_png, make_rows, split_pixels
    rows = make_rows(3, 2, 4)
    img = Tavrel.open(make_png(3, 2, 4, filters=[2, 3], rows=rows))
    rgb, alpha = split_pixels(rows, 4)
    assert img.getPixel((2, 1)) == tuple(rgb[15:18])
    img.putPixel((2, 1), (0, 0, 0))
    assert img._alpha == alpha and img._png_filters == bytes([2, 3])


class Index:
    """A pixel index that only Python code can resolve: `y * width + x` and `* 3` give an Index, and every
    `__index__` call runs `hook` first."""

    def __init__(self, value, hook):
        self.value, self.hook, self.calls = value, hook, 0

    def __le__(self, other):
        return self.value <= other

    def __ge__(self, other):
        return self.value >= other

    def __lt__(self, other):
        return self.value < other

    def __gt__(self, other):
        return self.value > other

    def __radd__(self, other):
        return Index(other + self.value, self.hook)

    def __mul__(self, other):
        return Index(self.value * other, self.hook)

    def __add__(self, other):
        return Index(self.value + other, self.hook)

    def __index__(self):
        self.hook()
        return self.value


def test_get_pixel_holds_the_buffer_it_reads():
    """An index that assigns a new buffer while a read resolves it: that read still reads the buffer it began
    on (valgrind sees a read of freed memory otherwise), the next ones the buffer current then."""
    img = image(2, 2)
    replacements = [bytearray(range(100, 112)), bytearray(range(200, 212)), bytearray(range(50, 62))]

    def replace():
        img._pixels = replacements.pop(0)

    assert img.getPixel((Index(1, replace), 1)) == (9, 110, 211)


@pytest.mark.parametrize("change, error", [
    (lambda img, buf: buf.__delitem__(slice(10, None)), IndexError),   # shrunk in place to the red byte
    (lambda img, buf: buf.extend(bytes(1 << 16)), None),                # grown in place, moved
    (lambda img, buf: setattr(img, "_pixels", bytearray(12)), None),    # another buffer assigned
])
def test_put_pixel_stores_the_whole_pixel_or_nothing(change, error):
    """The index is resolved once, before any store; the pixel is then checked and stored whole."""
    img = image(2, 2)
    buf = img._pixels
    calls = []

    def hook():
        calls.append(1)
        change(img, buf)

    expected = bytearray(buf)
    if error:
        with pytest.raises(error, match="bytearray index out of range"):
            img.putPixel((Index(1, hook), 1), (1, 2, 3))
        del expected[10:]
    else:
        img.putPixel((Index(1, hook), 1), (1, 2, 3))
        expected[9:12] = b"\x01\x02\x03"
        if len(buf) > 12:
            expected.extend(bytes(1 << 16))
    assert len(calls) == 1 and buf == expected
