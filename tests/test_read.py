"""Reading: the chunk reader, the PNG decoder, the BMP reader, and opening images."""

import builtins
import io
import json
import os
import struct
import subprocess
import sys
import textwrap
import tracemalloc
import zlib

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import Vorlant.tavrel_ext as m
from Vorlant.tavrel_ext import Tavrel

from imagedata import (
    SIGNATURE,
    chunk,
    filter_rows,
    host_error,
    ihdr,
    make_bmp,
    make_png,
    make_rows,
    paeth,
    split_pixels,
)

IEND = chunk(b"IEND", b"")
MALFORMED = "Malformed PNG image data"
INCOMPLETE_BMP = "Incomplete BMP pixel data"


def short_id(value):
    """Test ids for byte-string parameters: their length rather than their bytes."""
    if isinstance(value, (bytes, bytearray)):
        return f"{len(value)}B"
    if isinstance(value, list):
        return "+".join(f"{len(v)}B" for v in value) or "none"
    return None


def decode(data):
    return Tavrel._streamToImage(io.BytesIO(data))



def refused(data, exc=ValueError):
    with pytest.raises(exc) as err:
        decode(data)
    return str(err.value)


def png_of(width, height, raw, channels=3, before=(), iend=True):
    """A PNG whose IDAT holds `raw` (the uncompressed image data) as given."""
    return (SIGNATURE + ihdr(width, height, 8, 2 if channels == 3 else 6) + b"".join(before)
            + chunk(b"IDAT", zlib.compress(raw)) + (IEND if iend else b""))


class Recorder:
    """A stream over bytes that records its calls; `wrap` post-processes each read."""

    def __init__(self, data, wrap=bytes):
        self.inner = io.BytesIO(data)
        self.calls = []
        self.wrap = wrap

    def read(self, n):
        self.calls.append(("read", n))
        return self.wrap(self.inner.read(n))

    def seek(self, pos):
        self.calls.append(("seek", pos))
        return self.inner.seek(pos)


# --- the chunk reader -------------------------------------------------------------------------------------------

def test_read_chunk_reads_in_order_and_returns_read_objects():
    stream = Recorder(chunk(b"tEXt", b"hello") + IEND)
    ctype, data = m._readChunk(stream)
    assert (ctype, data) == (b"tEXt", b"hello")
    assert stream.calls == [("read", 4), ("read", 4), ("read", 5), ("read", 4)]
    assert m._readChunk(stream=stream) == (b"IEND", b"")
    assert m._readChunk(stream) == (b"", b"")       # after the last chunk
    assert m._readChunk(stream) == (b"", b"")


def test_read_chunk_hands_back_bytearrays_as_read():
    stream = Recorder(chunk(b"abcd", b"xyz"), wrap=bytearray)
    ctype, data = m._readChunk(stream)
    assert type(ctype) is bytearray and type(data) is bytearray and (ctype, data) == (b"abcd", b"xyz")


@pytest.mark.parametrize("data, message", [
    (b"\x00", "Unexpected EOF while reading chunk length"),
    (b"\x00\x00\x00", "Unexpected EOF while reading chunk length"),
    (b"\x00\x00\x00\x00", "Unexpected EOF while reading chunk type"),
    (b"\x00\x00\x00\x00IEN", "Unexpected EOF while reading chunk type"),
    (b"\x00\x00\x00\x05tEXtabcd", "Unexpected EOF while reading chunk data"),
    (b"\xff\xff\xff\xfftEXtabcd", "Unexpected EOF while reading chunk data"),
    (b"\x00\x00\x00\x00IEND", "Unexpected EOF while reading chunk CRC"),
    (IEND[:-1], "Unexpected EOF while reading chunk CRC"),
    (chunk(b"IEND", b"", crc=0), "Corrupted PNG chunk detected"),
    (chunk(b"tEXt", b"abc")[:-1] + b"\x00", "Corrupted PNG chunk detected"),
    (chunk(b"tEXt", b"abc").replace(b"abc", b"abd"), "Corrupted PNG chunk detected"),
    (chunk(b"tEXt", b"abc").replace(b"tEXt", b"tEXT"), "Corrupted PNG chunk detected"),
    # a length one short shifts the CRC read into the data
    (b"\x00\x00\x00\x02" + chunk(b"tEXt", b"abc")[4:], "Corrupted PNG chunk detected"),
], ids=short_id)
def test_read_chunk_failures(data, message):
    with pytest.raises(ValueError) as err:
        m._readChunk(io.BytesIO(data))
    assert str(err.value) == message


def test_read_chunk_accepts_any_type_bytes_and_checks_every_crc():
    for ctype in (b"\x00\x01\x02\x03", b"1234", b"iend"):
        assert m._readChunk(io.BytesIO(chunk(ctype, b"\xff" * 3))) == (ctype, b"\xff" * 3)
    # zero-length data: the CRC covers the type alone
    assert m._readChunk(io.BytesIO(struct.pack(">I", 0) + b"IEND" + struct.pack(">I", zlib.crc32(b"IEND")))) \
        == (b"IEND", b"")


def test_read_chunk_stream_errors_pass_through():
    class Broken:
        def __init__(self):
            self.n = 0

        def read(self, n):
            self.n += 1
            if self.n == 3:
                raise OSError("disk on fire")
            return b"\x00\x00\x00\x01" if self.n == 1 else b"tEXt"

    with pytest.raises(OSError, match="disk on fire"):
        m._readChunk(Broken())
    with pytest.raises(AttributeError):
        m._readChunk(object())


def test_read_chunk_survives_a_stream_that_reuses_its_buffer():
    """The stream hands out one bytearray, refilled on every read: nothing is assumed of its earlier contents."""
    class Reuse:
        def __init__(self, data):
            self.inner = io.BytesIO(data)
            self.buf = bytearray()

        def read(self, n):
            self.buf[:] = self.inner.read(n)
            return self.buf

    stream = Reuse(chunk(b"tEXt", b"x" * 1000) + chunk(b"IEND", b""))
    with pytest.raises(ValueError, match="Corrupted PNG chunk detected"):
        m._readChunk(stream)


# --- the PNG decoder: what it returns ---------------------------------------------------------------------------

@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("width", [1, 2, 5])
@pytest.mark.parametrize("filters", [[0] * 5, [1] * 5, [2] * 5, [3] * 5, [4] * 5, [4, 3, 2, 1, 0], [3, 0, 4, 1, 2]])
def test_every_filter_type(channels, width, filters):
    rows = make_rows(width, 5, channels, seed=width * 7 + channels)
    result = decode(make_png(width, 5, channels, filters=filters, rows=rows))
    w, h, pixels, ch, alpha, chunks, bmp_meta, png_filters = result
    rgb, want_alpha = split_pixels(rows, channels)
    assert (w, h, ch, bmp_meta) == (width, 5, channels, None)
    assert type(pixels) is bytearray and pixels == rgb
    assert alpha == want_alpha and (alpha is None or type(alpha) is bytearray)
    assert type(png_filters) is bytearray and png_filters == bytes(filters)


@pytest.mark.parametrize("ft, row, prev, out", [
    # Average: the sum is taken in full width, (200 + 100) // 2 = 150 and (255 + 255) // 2 = 255
    (3, [200, 0], [0, 100], [200, 150]),
    (3, [128, 0], [255, 255], [255, 255]),
    # Paeth: a = b = c gives a; pa = pc <= pb gives a (a=3, b=0, c=1); pb = pc < pa gives b (a=0, b=3, c=1)
    (4, [0, 5], [9, 9], [9, 14]),
    (4, [2, 0], [1, 0], [3, 3]),
    (4, [255, 0], [1, 3], [0, 3]),
])
def test_filter_predictors_on_chosen_bytes(ft, row, prev, out):
    """A first row of unfiltered bytes `prev`, then `row` filtered with `ft`; each value is the red sample of one
    RGB pixel (green and blue stay 0), so `a` is the red sample of the pixel to the left."""
    width = len(row)
    first = bytes(v for p in prev for v in (p, 0, 0))
    second = bytes(v for r in row for v in (r, 0, 0))
    raw = b"\x00" + first + bytes([ft]) + second
    _, _, pixels, *_ = decode(png_of(width, 2, raw))
    assert list(pixels[width * 3::3]) == out


def test_chunk_records_several_idats_and_ancillary_chunks_in_order():
    text = chunk(b"tEXt", b"Title\x00pic")
    gama = chunk(b"gAMA", struct.pack(">I", 45455))
    private = chunk(b"prIv", b"\x00\x01")
    trns = chunk(b"tRNS", b"\x00\x01\x00\x02\x00\x03")
    data = make_png(4, 3, 3, idat_sizes=[0, 5, 0, 7, 1], before=[text, gama, trns], after=[private])
    w, h, pixels, ch, alpha, chunks, _, _ = decode(data)
    compressed = zlib.compress(filter_rows(make_rows(4, 3, 3), 3, [0] * 3))
    assert chunks == [
        (b"IHDR", struct.pack(">IIBBBBB", 4, 3, 8, 2, 0, 0, 0), 13),
        (b"tEXt", b"Title\x00pic", 9),
        (b"gAMA", struct.pack(">I", 45455), 4),
        (b"tRNS", b"\x00\x01\x00\x02\x00\x03", 6),
        (b"IDAT", None, 0), (b"IDAT", None, 5), (b"IDAT", None, 0), (b"IDAT", None, 7),
        (b"IDAT", None, len(compressed) - 12),
        (b"prIv", b"\x00\x01", 2),
        (b"IEND", b"", 0),
    ]
    assert alpha is None and ch == 3            # tRNS adds no alpha
    assert pixels == split_pixels(make_rows(4, 3, 3), 3)[0]
    assert all(type(c) is tuple for c in chunks)


def test_missing_iend_and_bytes_after_iend():
    plain = decode(make_png(2, 2))
    no_end = decode(make_png(2, 2, iend=False))
    assert no_end[5][-1][0] == b"IDAT" and no_end[:5] == plain[:5] and no_end[7] == plain[7]
    for tail in (b"garbage", chunk(b"tEXt", b"late"), chunk(b"IDAT", b"xx", crc=1), b"\x00\x00"):
        assert decode(make_png(2, 2) + tail) == plain


def test_stream_left_after_iend_and_never_seeked_by_the_decoder():
    data = make_png(2, 2) + b"trailing"
    stream = Recorder(data)
    Tavrel._streamToImage(stream)
    assert stream.inner.tell() == len(data) - len(b"trailing")
    assert [c for c in stream.calls if c[0] == "seek"] == [("seek", 0)]
    assert stream.calls[:3] == [("read", 8), ("seek", 0), ("read", 8)]


def test_chunk_order_is_free_and_a_later_ihdr_wins():
    rows = make_rows(2, 2, 3)
    idat = chunk(b"IDAT", zlib.compress(filter_rows(rows, 3, [0, 0])))
    plte = chunk(b"PLTE", b"\x00" * 6)
    data = SIGNATURE + idat + plte + ihdr(2, 2) + IEND
    w, h, pixels, _, _, chunks, _, _ = decode(data)
    assert (w, h, pixels) == (2, 2, split_pixels(rows, 3)[0])
    assert [c[0] for c in chunks] == [b"IDAT", b"PLTE", b"IHDR", b"IEND"]
    # the first header says 1x1 RGBA, the second 2x2 RGB: the second one decides
    data = SIGNATURE + ihdr(1, 1, 8, 6) + ihdr(2, 2) + idat + IEND
    w, h, pixels, ch, alpha, chunks, _, _ = decode(data)
    assert (w, h, ch, alpha) == (2, 2, 3, None) and [c[0] for c in chunks].count(b"IHDR") == 2


def test_stream_of_bytearrays():
    data = make_png(3, 2, 4, idat_sizes=[3, 0, 4])
    assert Tavrel._streamToImage(Recorder(data, wrap=bytearray)) == decode(data)


@pytest.mark.parametrize("channels", [3, 4])
def test_zero_sizes(channels):
    w, h, pixels, ch, alpha, chunks, _, filters = decode(png_of(5, 0, b"", channels))
    assert (w, h, pixels, filters) == (5, 0, b"", b"")
    assert alpha == (bytearray() if channels == 4 else None)
    w, h, pixels, ch, alpha, chunks, _, filters = decode(png_of(0, 3, b"\x00\x01\x04", channels))
    assert (w, h, pixels, filters) == (0, 3, b"", b"\x00\x01\x04")
    # with width 0 the filter bytes are still checked
    assert refused(png_of(0, 3, b"\x00\x05\x04", channels)) == "Unsupported PNG filter: 5"


# --- the PNG decoder: refusals ----------------------------------------------------------------------------------

def lying_stream(first, then):
    """Shows `first` to the format check, then `then` to the decoder after the rewind."""
    class Lying(io.BytesIO):
        def seek(self, pos, whence=0):
            self.__init__(then)
            return 0
    return Lying(first)


def test_signature_refused_by_the_decoder():
    for then in (b"\x89PNG\r\n\x1a\x0b" + IEND, b"\x89PNG", b""):
        with pytest.raises(ValueError) as err:
            Tavrel._streamToImage(lying_stream(SIGNATURE, then))
        assert str(err.value) == "Unsupported PNG signature"


GOOD_IDAT = chunk(b"IDAT", zlib.compress(b"\x00" + bytes(3)))


@pytest.mark.parametrize("data, message", [
    (SIGNATURE, "Incomplete PNG header information"),
    (SIGNATURE + IEND, "Incomplete PNG header information"),
    (SIGNATURE + GOOD_IDAT + IEND + ihdr(1, 1), "Incomplete PNG header information"),
    (SIGNATURE + ihdr(1, 1, 16, 2) + GOOD_IDAT + IEND, "Only 8-bit PNG images are supported"),
    (SIGNATURE + ihdr(1, 1, 16, 3, 1, 1, 1) + IEND, "Only 8-bit PNG images are supported"),
    (SIGNATURE + ihdr(1, 1, 1, 0) + IEND, "Only 8-bit PNG images are supported"),
    (SIGNATURE + ihdr(1, 1, 8, 0) + GOOD_IDAT + IEND, "Only RGB/RGBA PNG images are supported"),
    (SIGNATURE + ihdr(1, 1, 8, 3) + IEND, "Only RGB/RGBA PNG images are supported"),
    (SIGNATURE + ihdr(1, 1, 8, 4, 0, 0, 1) + IEND, "Only RGB/RGBA PNG images are supported"),
    (SIGNATURE + ihdr(1, 1, 8, 2, 0, 0, 1) + GOOD_IDAT + IEND,
     "Unsupported PNG configuration (compression/filter/interlace)"),
    (SIGNATURE + ihdr(1, 1, 8, 6, 1) + IEND, "Unsupported PNG configuration (compression/filter/interlace)"),
    (SIGNATURE + ihdr(1, 1, 8, 2, 0, 1) + IEND, "Unsupported PNG configuration (compression/filter/interlace)"),
    # a corrupt later chunk is reached before the header is judged
    (SIGNATURE + ihdr(1, 1, 16, 3) + chunk(b"tEXt", b"a", crc=7) + IEND, "Corrupted PNG chunk detected"),
    (SIGNATURE + ihdr(1, 1) + GOOD_IDAT + IEND[:-2], "Unexpected EOF while reading chunk CRC"),
    (SIGNATURE + ihdr(1, 1, 16, 3)[:10], "Unexpected EOF while reading chunk data"),
    (SIGNATURE + b"\x00\x00", "Unexpected EOF while reading chunk length"),
    (png_of(1, 1, b"\x00" + bytes(4)), MALFORMED),
    (png_of(1, 1, b"\x00" + bytes(2)), MALFORMED),
    (png_of(1, 1, b"\x00" + bytes(3), channels=4), MALFORMED),
    (png_of(2, 2, b"\x00" + bytes(6) + b"\x00" + bytes(7)), MALFORMED),
    (png_of(1, 0, b"\x00"), MALFORMED),
    (png_of(1, 2, b"\x00" + bytes(3) + b"\x05" + bytes(3)), "Unsupported PNG filter: 5"),
    (png_of(1, 2, b"\xff" + bytes(3) + b"\x05" + bytes(3)), "Unsupported PNG filter: 255"),
    (png_of(2, 3, b"\x01" + bytes(6) + b"\x09" + bytes(6) + b"\x07" + bytes(6)), "Unsupported PNG filter: 9"),
], ids=short_id)
def test_png_refusals(data, message):
    assert refused(data) == message


@pytest.mark.parametrize("ihdr_data", [b"", b"\x00" * 12, b"\x00" * 14, b"\x00" * 100], ids=short_id)
def test_ihdr_of_wrong_length_gives_the_hosts_struct_error(ihdr_data):
    want = host_error(lambda: struct.unpack(">IIBBBBB", ihdr_data))
    message = refused(SIGNATURE + chunk(b"IHDR", ihdr_data) + IEND, struct.error)
    assert message == str(want)


@pytest.mark.parametrize("width, height", [(2**31, 1), (1, 2**31), (2**32 - 1, 2**32 - 1)])
def test_ihdr_dimensions_past_int32_overflow(width, height):
    refused(SIGNATURE + ihdr(width, height) + IEND, OverflowError)


def test_ihdr_faults_are_raised_when_the_chunk_is_reached():
    corrupt = chunk(b"tEXt", b"a", crc=7)
    refused(SIGNATURE + chunk(b"IHDR", b"short") + corrupt, struct.error)
    refused(SIGNATURE + ihdr(2**31, 1) + corrupt, OverflowError)
    assert refused(SIGNATURE + corrupt + chunk(b"IHDR", b"short")) == "Corrupted PNG chunk detected"


def test_int32_limit_dimension_is_accepted_until_the_data_check():
    assert refused(png_of(2**31 - 1, 1, b"\x00" * 4)) == MALFORMED


@pytest.mark.parametrize("idat", [
    [],                                                   # no IDAT at all
    [b""],
    [zlib.compress(b"\x00" + bytes(3))[:-3]],             # truncated (checksum missing)
    [zlib.compress(b"\x00" + bytes(3))[:5]],              # truncated inside the data
    [b"\x78\x9c\xff\xff\xff"],                            # invalid block type
    [zlib.compress(b"\x00" + bytes(3))[:-1] + b"\x00"],   # wrong checksum
    [b"\x78\xbb" + zlib.compress(b"\x00" + bytes(3))[2:]],  # preset dictionary
    [b"\x00\x00"],                                        # not a zlib header
], ids=short_id)
@pytest.mark.parametrize("size", [(1, 1), (40000, 40000)])   # the second claims more than the data could fill
def test_corrupt_image_data_gives_the_hosts_zlib_error(idat, size):
    data = SIGNATURE + ihdr(*size) + b"".join(chunk(b"IDAT", p) for p in idat) + IEND
    want = host_error(lambda: zlib.decompress(b"".join(idat)))
    assert isinstance(want, zlib.error)
    assert refused(data, zlib.error) == str(want)


def test_bytes_after_the_zlib_stream_are_ignored_as_the_host_does():
    raw = b"\x00" + bytes(3)
    stream = zlib.compress(raw) + b"junk after the end"
    assert zlib.decompress(stream) == raw
    assert decode(SIGNATURE + ihdr(1, 1) + chunk(b"IDAT", stream) + IEND)[2] == bytes(3)


def test_zlib_stream_split_at_every_byte():
    rows = make_rows(3, 3, 4, seed=5)
    compressed = zlib.compress(filter_rows(rows, 4, [1, 4, 3]))
    data = (SIGNATURE + ihdr(3, 3, 8, 6) + b"".join(chunk(b"IDAT", compressed[i:i + 1])
                                                     for i in range(len(compressed))) + IEND)
    _, _, pixels, _, alpha, chunks, _, _ = decode(data)
    assert (pixels, alpha) == split_pixels(rows, 4)
    assert len(chunks) == 2 + len(compressed)


# --- the BMP reader ---------------------------------------------------------------------------------------------

def rgb_of(width, height, seed=3):
    return b"".join(make_rows(width, height, 3, seed))


def bmp_header(width, height, planes=1, bits=24, compression=0, size=40, offset=54):
    """The two headers of a BMP, with no rows."""
    return (b"BM" + struct.pack("<IHHI", 0, 0, 0, offset)
            + struct.pack("<IiiHHIIiiII", size, width, height, planes, bits, compression, 0, 0, 0, 0, 0))


@pytest.mark.parametrize("width", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("top_down", [False, True])
def test_bmp_rows_and_padding(width, top_down):
    rgb = rgb_of(width, 3)
    data = make_bmp(width, 3, rgb, top_down=top_down, pad=b"\xab")
    w, h, pixels, ch, alpha, chunks, meta, filters = decode(data)
    assert (w, h, ch, alpha, chunks, filters) == (width, 3, 3, None, None, None)
    assert type(pixels) is bytearray and pixels == rgb
    assert list(meta.items()) == [("xppm", 2835), ("yppm", 2835), ("clrUsed", 0), ("clrImportant", 0)]
    stride = {1: 4, 2: 8, 3: 12, 4: 12, 5: 16}[width]
    assert len(data) == 54 + 3 * stride


def test_bmp_two_by_two_layout_by_hand():
    # stored bottom row first, each pixel blue, green, red, two pad bytes per row
    body = bytes([1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0])
    info = struct.pack("<IiiHHIIiiII", 40, 2, 2, 1, 24, 0, 16, 0, 0, 0, 0)
    data = b"BM" + struct.pack("<IHHI", 70, 0, 0, 54) + info + body
    assert decode(data)[2] == bytes([9, 8, 7, 12, 11, 10, 3, 2, 1, 6, 5, 4])


def test_bmp_header_values_and_signedness():
    data = make_bmp(1, 1, b"abc", xppm=-5, yppm=2**31 - 1, clr_used=2**32 - 1, clr_important=7)
    meta = decode(data)[6]
    assert list(meta.items()) == [("xppm", -5), ("yppm", 2**31 - 1), ("clrUsed", 2**32 - 1), ("clrImportant", 7)]


def test_bmp_pixel_offset_is_obeyed():
    rgb = rgb_of(2, 2)
    assert decode(make_bmp(2, 2, rgb, offset=60))[2] == rgb
    # an offset back into the headers reads the header bytes as rows
    data = make_bmp(1, 1, b"abc")
    data = data[:10] + struct.pack("<I", 2) + data[14:]
    assert decode(data)[2] == bytes([data[4], data[3], data[2]])


def test_bmp_ignores_declared_sizes_and_trailing_bytes():
    rgb = rgb_of(3, 2)
    data = bytearray(make_bmp(3, 2, rgb))
    data[2:6] = b"\xff\xff\xff\xff"        # file size
    data[34:38] = b"\x01\x00\x00\x00"      # image size
    assert decode(bytes(data) + b"trailing bytes")[2] == rgb


@pytest.mark.parametrize("width, height", [(0, 5), (5, 0), (0, 0), (0, -3), (-4, 0)])
def test_bmp_zero_sizes(width, height):
    w, h, pixels, *_ = decode(bmp_header(width, height))
    assert (w, h, pixels) == (width, abs(height), b"")


def test_bmp_zero_width_rows_are_asked_for():
    data = bmp_header(0, -5)
    stream = Recorder(data)
    assert Tavrel._streamToImage(stream)[:3] == (0, 5, b"")
    assert stream.calls[-5:] == [("read", 0)] * 5 and stream.calls[-6] == ("seek", 54)


@pytest.mark.parametrize("height", [2**31 - 1, -2**31 + 1])
def test_bmp_zero_width_with_all_the_rows_a_header_can_claim(tmp_path, height):
    """A few bytes that claim 2^31 empty rows open at once from bytes and from a file."""
    path = tmp_path / "tall.bmp"
    path.write_bytes(bmp_header(0, height))
    for source in (path.read_bytes(), path):
        img = Tavrel.open(source)
        assert (img.width, img.height, img._pixels) == (0, abs(height), b"")
    # one row more than an image can have: the decoder gives it, the image refuses it
    assert decode(bmp_header(0, -2**31))[1] == 2**31
    with pytest.raises(OverflowError):
        Tavrel.open(bmp_header(0, -2**31))


@pytest.mark.parametrize("data, message", [
    (b"BM" + bytes(11), "Unsupported BMP header"),
    (b"BMP", "Unsupported BMP header"),
    (b"BM" + bytes(12), "Corrupted BMP DIB header"),
    (b"BM" + bytes(12) + b"\x28\x00\x00", "Corrupted BMP DIB header"),
    (bmp_header(1, 1, size=124), "Only BITMAPINFOHEADER BMP files are supported"),
    (bmp_header(1, 1, size=12), "Only BITMAPINFOHEADER BMP files are supported"),
    (bmp_header(1, 1, size=41), "Only BITMAPINFOHEADER BMP files are supported"),
    (bmp_header(1, 1, bits=32), "Only uncompressed 24-bit BMP files are supported"),
    (bmp_header(1, 1, compression=1), "Only uncompressed 24-bit BMP files are supported"),
    (bmp_header(1, 1, planes=0), "Only uncompressed 24-bit BMP files are supported"),
    (bmp_header(1, 1, planes=2, bits=8, compression=3),
     "Only uncompressed 24-bit BMP files are supported"),
    (bmp_header(1, 1), INCOMPLETE_BMP),
    (bmp_header(2, 2) + bytes(15), INCOMPLETE_BMP),          # second row one byte short
    (bmp_header(2, -2) + bytes(8), INCOMPLETE_BMP),
    (bmp_header(1, 1, offset=1000) + bytes(100), INCOMPLETE_BMP),
], ids=short_id)
def test_bmp_refusals(data, message):
    assert refused(data) == message


@pytest.mark.parametrize("rest", [b"", b"\x00" * 35])
def test_bmp_short_info_header_gives_the_hosts_struct_error(rest):
    want = host_error(lambda: struct.unpack("<iiHHIIiiII", rest))
    assert refused(b"BM" + bytes(12) + b"\x28\x00\x00\x00" + rest, struct.error) == str(want)


@pytest.mark.parametrize("width, height", [(-1, 1), (-3, -7), (-2**31, 2)])
def test_bmp_negative_width_refused_as_the_buffer_size(width, height):
    want = host_error(lambda: bytearray(width * abs(height) * 3))
    assert refused(bmp_header(width, height) + bytes(64), type(want)) == str(want)


def test_bmp_buffer_size_past_an_index_overflows():
    want = host_error(lambda: bytearray(2**62 * 3))
    assert refused(bmp_header(2**31 - 1, -2**31), type(want)) == str(want)


@pytest.mark.parametrize("top_down", [False, True])
def test_bmp_large_image_rows_in_order(top_down):
    """Large enough that the pixel buffer is not reserved before the rows arrive."""
    width, height = 8000, 2900
    stride = width * 3
    info = struct.pack("<IiiHHIIiiII", 40, width, -height if top_down else height, 1, 24, 0, 0, 0, 0, 0, 0)
    data = b"BM" + struct.pack("<IHHI", 0, 0, 0, 54) + info + b"".join(
        bytes([r & 0xFF, r >> 8, 0x5A]) * width for r in range(height))
    w, h, pixels, *_ = decode(data)
    assert (w, h, len(pixels)) == (width, height, width * height * 3)
    for y in (0, 1, 2, height // 2, height - 2, height - 1):
        r = y if top_down else height - 1 - y
        assert pixels[y * stride:(y + 1) * stride] == bytes([0x5A, r >> 8, r & 0xFF]) * width
    del data, pixels


def row_by_row_stream(data, log):
    """A BytesIO whose read is replaced on the instance: the reader cannot tell its calls are harmless."""
    stream = io.BytesIO(data)
    plain_read = stream.read

    def read(n=-1):
        log.append(n)
        return plain_read(n)

    stream.read = read
    return stream


@pytest.mark.parametrize("top_down", [False, True])
@pytest.mark.parametrize("cut", [None, 54 + 900 * 291, 54 + 900 * 400 + 7, 54 + 900 * 700 - 1])
def test_bmp_rows_read_in_blocks_match_rows_read_one_by_one(tmp_path, top_down, cut):
    """A plain stream is asked for blocks of rows (291 of 900 bytes here); any other one for each row."""
    rgb = bytes((i * 7 + i // 900) & 0xFF for i in range(300 * 700 * 3))
    data = make_bmp(300, 700, rgb, top_down=top_down)[:cut]
    path = tmp_path / "rows.bmp"
    path.write_bytes(data)
    log = []
    if cut is None:
        assert decode(data)[2] == Tavrel._streamToImage(row_by_row_stream(data, log))[2] == rgb
        assert Tavrel.open(path)._pixels == rgb
    else:
        for stream in (io.BytesIO(data), row_by_row_stream(data, log)):
            with pytest.raises(ValueError, match=INCOMPLETE_BMP):
                Tavrel._streamToImage(stream)
        with pytest.raises(ValueError, match=INCOMPLETE_BMP):
            Tavrel.open(path)
    rows_read = (len(data) - 54) // 900 + 1 if cut else 700  # up to the first short one
    assert log == [8, 14, 4, 36] + [900] * rows_read


def test_bmp_large_claim_with_some_rows_missing():
    width, height = 8000, 2900
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, 0, 0, 0, 0, 0)
    data = b"BM" + struct.pack("<IHHI", 0, 0, 0, 54) + info + bytes(width * 3 * 100 + 5)
    assert refused(data) == INCOMPLETE_BMP


# --- peak memory ------------------------------------------------------------------------------------------------

def zero_stream(megabytes):
    """A valid zlib stream of `megabytes` MiB of zeros, made of one repeated independent deflate block."""
    mib = bytes(1 << 20)
    c = zlib.compressobj(9)
    head = c.compress(mib) + c.flush(zlib.Z_FULL_FLUSH)
    block = c.compress(mib) + c.flush(zlib.Z_FULL_FLUSH)
    tail = c.flush()[:-4]
    size = megabytes << 20
    adler = ((size % 65521) << 16) | 1     # Adler-32 of zeros: A stays 1, B counts the bytes
    return head + block * (megabytes - 1) + tail + struct.pack(">I", adler)


def test_zero_stream_builder_is_valid():
    assert zlib.decompress(zero_stream(3)) == bytes(3 << 20)


def peak_rss_of_open(tmp_path, data):
    """Opens `data` in a fresh interpreter; returns (exception type name, message, peak RSS in MiB).

    The peak is the child's own VmHWM: its ru_maxrss starts from the parent's RSS at the fork, so a large
    test process would show as the child's peak."""
    if os.environ.get("TAVREL_SANITIZED"):
        pytest.skip("peak RSS means nothing under a sanitizer")
    path = tmp_path / "input.bin"
    path.write_bytes(data)
    code = textwrap.dedent(f"""
        from Vorlant.tavrel_ext import Tavrel
        data = open({str(path)!r}, "rb").read()
        try:
            Tavrel.open(data)
            outcome = "accepted"
        except Exception as e:
            outcome = type(e).__name__ + ":" + str(e)
        print(outcome)
        print(next(int(line.split()[1]) // 1024 for line in open("/proc/self/status") if line.startswith("VmHWM:")))
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert run.returncode == 0, run.stderr
    outcome, peak = run.stdout.splitlines()[-2:]
    return outcome, int(peak)


@pytest.mark.measures_memory
@pytest.mark.parametrize("width, height, channels, megabytes", [
    (1, 1, 3, 2048),           # a small header over data that inflates to 2 GiB
    (40000, 40000, 4, 100),    # a header claiming 6.4 GB over 100 KB of data
    (2**31 - 1, 2**31 - 1, 3, 100),
])
def test_png_inflation_is_bounded(tmp_path, width, height, channels, megabytes):
    data = (SIGNATURE + ihdr(width, height, 8, 2 if channels == 3 else 6)
            + chunk(b"IDAT", zero_stream(megabytes)) + IEND)
    outcome, peak = peak_rss_of_open(tmp_path, data)
    assert outcome == "ValueError:" + MALFORMED
    assert peak < 200


@pytest.mark.measures_memory
@pytest.mark.parametrize("cut", [
    lambda z: z[:-4] + b"\x00\x00\x00\x00",   # wrong checksum, found after all of it is inflated
    lambda z: z[:-6],                         # ends without its last block
    lambda z: z[:-1500] + b"\xff" * 1000 + z[-500:],
])
def test_png_faulty_stream_behind_a_huge_claim(tmp_path, cut):
    """The host names the fault of a stream that inflates to far more than the limit, without anyone holding its
    output (held, it alone would pass the limit)."""
    stream = cut(zero_stream(320))
    want = host_error(lambda: zlib.decompress(cut(zero_stream(2))))
    data = SIGNATURE + ihdr(40000, 40000, 8, 6) + chunk(b"IDAT", stream) + IEND
    outcome, peak = peak_rss_of_open(tmp_path, data)
    assert outcome == "error:" + str(want)
    assert peak < 200
    # with a header that the data overfills, the size decides first
    outcome, _ = peak_rss_of_open(tmp_path, SIGNATURE + ihdr(1000, 1000) + chunk(b"IDAT", stream) + IEND)
    assert outcome == "ValueError:" + MALFORMED


@pytest.mark.measures_memory
def test_bmp_huge_claim_costs_no_memory(tmp_path):
    data = bmp_header(20000, 20000) + bytes(300)
    outcome, peak = peak_rss_of_open(tmp_path, data)
    assert outcome == "ValueError:" + INCOMPLETE_BMP
    assert peak < 200


# --- the PNG test suite -----------------------------------------------------------------------------------------

def reference_png(data):
    """The documented decoding of `data` (a file given to open as bytes), using the host's own struct and zlib:
    the decoder result, or a list of the acceptable refusals as (type, message), message None for any."""
    if not data.startswith(SIGNATURE):
        return [(ValueError, "Unsupported image format")]
    pos, header, idat, chunks = 8, None, [], []
    while pos < len(data):
        if len(data) - pos < 4:
            return [(ValueError, "Unexpected EOF while reading chunk length")]
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        ctype = data[pos + 4:pos + 8]
        if len(ctype) < 4:
            return [(ValueError, "Unexpected EOF while reading chunk type")]
        body = data[pos + 8:pos + 8 + length]
        if len(body) < length:
            return [(ValueError, "Unexpected EOF while reading chunk data")]
        crc = data[pos + 8 + length:pos + 12 + length]
        if len(crc) < 4:
            return [(ValueError, "Unexpected EOF while reading chunk CRC")]
        if struct.unpack(">I", crc)[0] != zlib.crc32(body, zlib.crc32(ctype)):
            return [(ValueError, "Corrupted PNG chunk detected")]
        pos += 12 + length
        if ctype == b"IHDR":
            if len(body) != 13:
                return [(struct.error, str(host_error(lambda: struct.unpack(">IIBBBBB", body))))]
            header = struct.unpack(">IIBBBBB", body)
            if header[0] >= 2**31 or header[1] >= 2**31:
                return [(OverflowError, None)]
        if ctype == b"IDAT":
            idat.append(body)
            chunks.append((ctype, None, length))
        else:
            chunks.append((ctype, body, length))
        if ctype == b"IEND":
            break
    if header is None:
        return [(ValueError, "Incomplete PNG header information")]
    width, height, depth, color, *methods = header
    if depth != 8:
        return [(ValueError, "Only 8-bit PNG images are supported")]
    if color not in (2, 6):
        return [(ValueError, "Only RGB/RGBA PNG images are supported")]
    if any(methods):
        return [(ValueError, "Unsupported PNG configuration (compression/filter/interlace)")]
    channels = 3 if color == 2 else 4
    rowlen = width * channels
    expected = height * (rowlen + 1)
    joined = b"".join(idat)
    try:
        raw = zlib.decompress(joined)
    except zlib.error as e:
        # a stream that inflates past the expected size before its fault shows may be refused for its size;
        # asked for one byte at a time, the host's decompressor tells how much comes out before the fault (the
        # call that finds it may have made one more)
        d, produced, tail = zlib.decompressobj(), 0, joined
        try:
            while produced <= expected:
                out = d.decompress(tail, 1)
                produced, tail = produced + len(out), d.unconsumed_tail
                if not out and not tail:
                    break
        except zlib.error:
            pass
        return [(zlib.error, str(e))] + ([(ValueError, MALFORMED)] if produced >= expected else [])
    if len(raw) != expected:
        return [(ValueError, MALFORMED)]
    pixels, alpha, filters = bytearray(), bytearray() if channels == 4 else None, bytearray()
    prev = bytes(rowlen)
    for y in range(height):
        ft, row = raw[y * (rowlen + 1)], raw[y * (rowlen + 1) + 1:(y + 1) * (rowlen + 1)]
        if ft > 4:
            return [(ValueError, f"Unsupported PNG filter: {ft}")]
        out = bytearray(rowlen)
        for i in range(rowlen):
            a = out[i - channels] if i >= channels else 0
            b, c = prev[i], prev[i - channels] if i >= channels else 0
            out[i] = (row[i] + (0, a, b, (a + b) // 2, paeth(a, b, c))[ft]) & 0xFF
        for x in range(width):
            pixels += out[x * channels:x * channels + 3]
            if alpha is not None:
                alpha.append(out[x * 4 + 3])
        filters.append(ft)
        prev = out
    return (width, height, pixels, channels, alpha, chunks, None, filters)


def reference_refusal(data):
    want = reference_png(data)
    return want[0] if isinstance(want, list) else None


def outcome_of(call):
    try:
        return call()
    except Exception as e:  # noqa: BLE001
        return type(e), str(e)


def matches(got, want):
    if isinstance(want, list):
        return any(got[0] is exc and (msg is None or got[1] == msg) for exc, msg in want)
    return got == want


def split_chunks(data):
    pos, out = 8, []
    while pos + 12 <= len(data):
        (n,) = struct.unpack(">I", data[pos:pos + 4])
        out.append([data[pos + 4:pos + 8], bytearray(data[pos + 8:pos + 8 + n])])
        pos += 12 + n
    return out


@st.composite
def png_cases(draw):
    width, height = draw(st.integers(0, 4)), draw(st.integers(0, 4))
    channels = draw(st.sampled_from([3, 4]))
    extras = [chunk(b"tEXt", b"k\x00v"), chunk(b"gAMA", b"\x00\x00\xb1\x8f"), chunk(b"zzZz", b""),
              chunk(b"IDAT", b""), ihdr(1, 1)]
    data = make_png(width, height, channels,
                    filters=draw(st.lists(st.integers(0, 4), min_size=height, max_size=height)),
                    rows=make_rows(width, height, channels, seed=draw(st.integers(1, 99))),
                    idat_sizes=draw(st.lists(st.integers(0, 9), max_size=4)) or None,
                    before=draw(st.lists(st.sampled_from(extras), max_size=2)),
                    after=draw(st.lists(st.sampled_from(extras), max_size=2)),
                    iend=draw(st.booleans()))
    how = draw(st.sampled_from(["none", "byte", "byte in chunk", "raw", "truncate", "insert"]))
    if how == "byte":
        at = draw(st.integers(8, len(data) - 1))
        data = data[:at] + bytes([draw(st.integers(0, 255))]) + data[at + 1:]
    elif how == "byte in chunk":       # a changed data byte under a correct CRC: reaches the later checks
        chunks = split_chunks(data)
        target = draw(st.sampled_from([c for c in chunks if c[1]] or chunks))
        if target[1]:
            target[1][draw(st.integers(0, len(target[1]) - 1))] = draw(st.integers(0, 255))
        data = SIGNATURE + b"".join(chunk(t, bytes(d)) for t, d in chunks)
    elif how == "raw":                 # image data of any length and filter bytes
        size = height * (width * channels + 1)
        raw = draw(st.one_of(st.binary(min_size=size, max_size=size), st.binary(max_size=size + 2)))
        data = png_of(width, height, raw, channels)
    elif how == "truncate":
        data = data[:draw(st.integers(8, len(data)))]
    elif how == "insert":
        at = draw(st.integers(8, len(data)))
        data = data[:at] + draw(st.binary(min_size=1, max_size=6)) + data[at:]
    return data


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(png_cases())
def test_png_decoder_agrees_with_the_reference(data):
    got = outcome_of(lambda: decode(data))
    assert matches(got, reference_png(data))


def reference_bmp(data):
    """The documented reading of a BMP held in `data`: the decoder result, or [(type, message)]."""
    if len(data) < 14 or data[:2] != b"BM":
        return [(ValueError, "Unsupported BMP header")]
    offset = struct.unpack("<IHHI", data[2:14])[3]
    if len(data) < 18:
        return [(ValueError, "Corrupted BMP DIB header")]
    if struct.unpack("<I", data[14:18])[0] != 40:
        return [(ValueError, "Only BITMAPINFOHEADER BMP files are supported")]
    rest = data[18:54]
    try:
        width, height, planes, bits, comp, _, xppm, yppm, used, important = struct.unpack("<iiHHIIiiII", rest)
    except struct.error as e:
        return [(struct.error, str(e))]
    if planes != 1 or bits != 24 or comp != 0:
        return [(ValueError, "Only uncompressed 24-bit BMP files are supported")]
    rows, stride = abs(height), ((width * 3 + 3) // 4) * 4
    try:
        pixels = bytearray(width * rows * 3)
    except Exception as e:  # noqa: BLE001
        return [(type(e), str(e))]
    for r in range(rows):
        stored = data[offset + r * stride:offset + (r + 1) * stride]
        if len(stored) < stride:
            return [(ValueError, INCOMPLETE_BMP)]
        y = rows - 1 - r if height > 0 else r
        for x in range(width):
            pixels[(y * width + x) * 3:(y * width + x) * 3 + 3] = stored[3 * x:3 * x + 3][::-1]
    meta = {"xppm": xppm, "yppm": yppm, "clrUsed": used, "clrImportant": important}
    return (width, rows, pixels, 3, None, None, meta, None)


@st.composite
def bmp_cases(draw):
    width, height = draw(st.integers(-2, 5)), draw(st.integers(-4, 4))
    usual = draw(st.integers(0, 4)) > 0        # mostly a header that passes its checks
    fields = {"planes": 1, "bits": 24, "compression": 0, "header_size": 40} if usual else {
        "planes": draw(st.sampled_from([1, 0, 2])), "bits": draw(st.sampled_from([24, 32, 8])),
        "compression": draw(st.sampled_from([0, 1])), "header_size": draw(st.sampled_from([40, 124, 12]))}
    offset = draw(st.one_of(st.just(54), st.integers(0, 90)))
    head = (b"BM" + struct.pack("<IHHI", draw(st.integers(0, 2**32 - 1)), 0, 0, offset)
            + struct.pack("<IiiHHIIiiII", fields["header_size"], width, height, fields["planes"], fields["bits"],
                          fields["compression"], 0, draw(st.integers(-2**31, 2**31 - 1)), 7, 2**32 - 1, 0))
    body = draw(st.binary(min_size=0, max_size=120))
    data = head + body
    return data[:draw(st.integers(0, len(data)))] if draw(st.integers(0, 3)) == 0 else data


@settings(max_examples=400, deadline=None)
@given(bmp_cases())
def test_bmp_reader_agrees_with_the_reference(data):
    if not data.startswith(b"BM"):
        data = b"BM" + data[2:]
    got = outcome_of(lambda: decode(data))
    want = reference_bmp(data)
    assert matches(got, want)
    if not isinstance(want, list):
        assert list(got[6]) == ["xppm", "yppm", "clrUsed", "clrImportant"]


def suite_files(kind):
    from conftest import SHARED
    return sorted(p.name for p in (SHARED / kind).glob("*")) if (SHARED / kind).is_dir() else []


@pytest.mark.parametrize("name", suite_files("png"))
def test_pngsuite(suite_dir, name, capsys):
    path = suite_dir / "png" / name
    data = path.read_bytes()
    want = reference_refusal(data)
    reference = suite_dir / "json" / (name[:-4] + ".json")
    if want is not None:
        assert not (reference.exists() and data[28] == 0), "a non-interlaced reference image must be accepted"
        exc, message = want
        for source in (data, str(path)):
            with pytest.raises(exc) as err:
                Tavrel.open(source)
            assert str(err.value) == message
        assert capsys.readouterr().out == ""
        return
    assert reference.exists(), "every accepted suite file has reference pixels"
    flat = json.loads(reference.read_text())
    img = Tavrel.open(path)
    assert len(flat) == img.width * img.height * 4
    rgb = bytes(v for i, v in enumerate(flat) if i % 4 != 3)
    assert img._pixels == rgb
    if data[25] == 6:
        assert img._alpha == bytes(flat[3::4])
    else:
        assert img._alpha is None
    assert capsys.readouterr().out == \
        f"[Tavrel] Opened image: {img.width}x{img.height}, channels={4 if data[25] == 6 else 3}\n"


def test_pngsuite_accepts_exactly_the_supported_files(suite_dir):
    accepted = {p.name for p in (suite_dir / "png").glob("*.png") if reference_refusal(p.read_bytes()) is None}
    # reference pixels exist for every 8-bit RGB and RGBA file; those not interlaced are the supported ones
    supported = {p.stem + ".png" for p in (suite_dir / "json").glob("*.json")
                 if (suite_dir / "png" / (p.stem + ".png")).read_bytes()[28] == 0}
    assert accepted == supported and len(accepted) > 25


@pytest.mark.parametrize("name", suite_files("bmp"))
def test_suite_bmps_refused(suite_dir, name):
    path = suite_dir / "bmp" / name
    for source in (path, path.read_bytes()):
        with pytest.raises(ValueError) as err:
            Tavrel.open(source)
        assert str(err.value) == "Only BITMAPINFOHEADER BMP files are supported"


# --- opening ----------------------------------------------------------------------------------------------------

def fields(img):
    return (img.width, img.height, img._pixels, img._alpha, img._png_chunks, img._png_filters, img._bmp_header)


@pytest.mark.parametrize("data, line", [
    (make_png(3, 2, 4, filters=[1, 4]), "[Tavrel] Opened image: 3x2, channels=4\n"),
    (make_png(5, 1, 3), "[Tavrel] Opened image: 5x1, channels=3\n"),
    (make_bmp(2, 3, rgb_of(2, 3)), "[Tavrel] Opened image: 2x3, channels=3\n"),
    (make_bmp(2, 3, rgb_of(2, 3), top_down=True), "[Tavrel] Opened image: 2x3, channels=3\n"),
])
def test_open_path_and_bytes_agree_and_log(tmp_path, capfd, data, line):
    path = tmp_path / "image.bin"
    path.write_bytes(data)
    images = [Tavrel.open(s) for s in (data, bytearray(data), str(path), path)]
    images.append(Tavrel.open(source=data))
    out = capfd.readouterr().out
    assert out == line * len(images)
    first = fields(images[0])
    assert all(fields(img) == first for img in images[1:])
    assert all(type(img) is Tavrel for img in images)
    decoded = decode(data)
    assert first == (decoded[0], decoded[1], decoded[2], decoded[4], decoded[5], decoded[7], decoded[6])
    assert type(images[0]._pixels) is bytearray


def test_open_returns_an_image_itself(capsys):
    img = Tavrel.open(make_png(1, 1))
    capsys.readouterr()
    assert Tavrel.open(img) is img

    class Sub(Tavrel):
        pass
    assert Sub.open(img) is img                # not an instance of Sub: still returned
    assert capsys.readouterr().out == ""


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return str(self.path)


@pytest.mark.parametrize("make", [
    memoryview, lambda d: None, lambda d: 5, lambda d: [d], lambda d: io.BytesIO(d), lambda d: array_of(d),
])
def test_open_refuses_other_sources(make, capsys):
    with pytest.raises(TypeError) as err:
        Tavrel.open(make(make_png(1, 1)))
    assert str(err.value) == "source must be a file path or raw bytes"
    assert capsys.readouterr().out == ""


def test_open_refuses_path_likes_and_open_files(tmp_path):
    path = tmp_path / "a.png"
    path.write_bytes(make_png(1, 1))
    with pytest.raises(TypeError):
        Tavrel.open(PathLike(path))
    with open(path, "rb") as f, pytest.raises(TypeError):
        Tavrel.open(f)


def array_of(data):
    import array
    return array.array("B", data)


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class ByteArraySub(bytearray):
    pass


def test_open_accepts_subclasses_of_str_and_bytes(tmp_path):
    data = make_png(2, 2)
    path = tmp_path / "x.png"
    path.write_bytes(data)
    base = fields(Tavrel.open(data))
    for source in (StrSub(path), BytesSub(data), ByteArraySub(data)):
        assert fields(Tavrel.open(source)) == base


@pytest.mark.parametrize("data", [
    b"", b"B", b"\x89", SIGNATURE[:7], SIGNATURE[:7] + b"\x00" + IEND, b"GIF89a" + bytes(20),
    b"\xff\xd8\xff\xe0" + bytes(20), b"bm" + bytes(60), b"\x89png\r\n\x1a\n",
], ids=short_id)
def test_open_unsupported_formats(data):
    with pytest.raises(ValueError) as err:
        Tavrel.open(data)
    assert str(err.value) == "Unsupported image format"


def test_bm_goes_to_the_bmp_reader_and_the_png_test_comes_first():
    with pytest.raises(ValueError, match=r"^Unsupported BMP header$"):
        Tavrel.open(b"BMnot a bmp")
    with pytest.raises(ValueError, match=r"^Incomplete PNG header information$"):
        Tavrel.open(SIGNATURE)


def test_open_failures_pass_through_and_write_nothing(tmp_path, capsys):
    with pytest.raises(FileNotFoundError):
        Tavrel.open(str(tmp_path / "missing.png"))
    with pytest.raises(IsADirectoryError):
        Tavrel.open(tmp_path)
    for data in (SIGNATURE + ihdr(1, 1) + IEND, SIGNATURE + ihdr(1, 1)):     # no image data at all
        with pytest.raises(zlib.error):
            Tavrel.open(data)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("data", [make_png(2, 2), make_png(2, 2)[:-5], b"BM" + bytes(30), b"nothing"], ids=short_id)
def test_open_closes_the_file_on_every_way_out(tmp_path, monkeypatch, data):
    path = tmp_path / "f.bin"
    path.write_bytes(data)
    opened = []
    real_open = builtins.open

    def tracking_open(*args, **kwargs):
        f = real_open(*args, **kwargs)
        opened.append((args, f))
        return f

    monkeypatch.setattr(builtins, "open", tracking_open)
    try:
        Tavrel.open(str(path))
    except ValueError:
        pass
    monkeypatch.undo()
    assert [a for a, _ in opened] == [(str(path), "rb")]
    assert opened[0][1].closed


def test_open_builds_through_the_subclass(capsys):
    seen = []

    class Sub(Tavrel):
        def __new__(cls, *args, **kwargs):
            seen.append((args, kwargs))
            return super().__new__(cls, *args, **kwargs)

    data = make_png(2, 1, 4)
    img = Sub.open(data)
    assert type(img) is Sub
    (args, kwargs), = seen
    decoded = decode(data)
    assert kwargs == {} and len(args) == 7
    assert args == (decoded[0], decoded[1], decoded[2], decoded[4], decoded[5], decoded[6], decoded[7])
    assert capsys.readouterr().out == "[Tavrel] Opened image: 2x1, channels=4\n"


def test_open_uses_the_subclass_stream_reader(capsys):
    class Sub(Tavrel):
        @staticmethod
        def _streamToImage(stream):
            assert stream.read() == b"anything"
            return (2, 1, bytearray(6), "four", None, None, {"k": 1}, None)

    img = Sub.open(b"anything")
    assert (img.size, img._bmp_header) == ((2, 1), {"k": 1})
    assert capsys.readouterr().out == "[Tavrel] Opened image: 2x1, channels=four\n"

    class Short(Tavrel):
        @staticmethod
        def _streamToImage(stream):
            return tuple(range(7))

    def unpack():
        a, b, c, d, e, f, g, h = tuple(range(7))
    with pytest.raises(ValueError) as err:
        Short.open(b"x")
    assert str(err.value) == str(host_error(unpack))

    class Refused(Tavrel):
        @staticmethod
        def _streamToImage(stream):
            return (1, 1, bytearray(2), 3, None, None, None, None)

    with pytest.raises(ValueError, match="Pixel data length does not match image dimensions"):
        Refused.open(b"x")
    assert capsys.readouterr().out == ""


def test_open_checks_what_the_class_built(capsys):
    class Other(Tavrel):
        def __new__(cls, *args):
            return 42

    class Nothing(Tavrel):
        def __new__(cls, *args):
            return None

    with pytest.raises(TypeError) as err:
        Other.open(make_png(1, 1))
    assert str(err.value) == "Cannot convert int to Vorlant.tavrel_ext.Tavrel"
    assert capsys.readouterr().out == ""
    assert Nothing.open(make_png(1, 1)) is None
    assert capsys.readouterr().out == "[Tavrel] Opened image: 1x1, channels=3\n"


def test_open_copies_the_source():
    data = bytearray(make_png(2, 2))
    img = Tavrel.open(data)
    before = fields(img)
    data[:] = b"\x00" * len(data)
    assert fields(img) == before


def test_stream_to_image_returns_the_decoder_result_silently(capsys):
    data = make_png(2, 2, 4)
    stream = io.BytesIO(b"junk" + data)
    stream.seek(4)
    # the first bytes come from the current position, the decoder reads from 0
    with pytest.raises(ValueError, match=r"^Unsupported PNG signature$"):
        Tavrel._streamToImage(stream)
    result = Tavrel._streamToImage(stream=io.BytesIO(data))
    assert type(result) is tuple and len(result) == 8
    assert capsys.readouterr().out == ""
    with pytest.raises(AttributeError):
        Tavrel._streamToImage(b"raw bytes are not a stream")


class Sink:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.mark.measures_memory
def test_no_leak_on_any_way_out(monkeypatch):
    """Every way out of the readers, accepted or refused, gives back what it took."""
    cases = [make_png(3, 2, 4, filters=[1, 4], idat_sizes=[2, 0, 3], before=[chunk(b"tEXt", b"a")]),
             make_png(2, 2, iend=False), make_bmp(3, 2, rgb_of(3, 2)), make_bmp(2, 2, rgb_of(2, 2), top_down=True),
             bmp_header(2, 2) + bytes(15), bmp_header(-1, 1), bmp_header(1, 1, bits=32), b"BM" + bytes(12),
             b"BM" + bytes(12) + b"\x28\x00\x00\x00", SIGNATURE, SIGNATURE + ihdr(1, 1) + IEND,
             SIGNATURE + chunk(b"IHDR", b"short") + IEND, SIGNATURE + ihdr(2**31, 1) + IEND,
             SIGNATURE + ihdr(1, 1, 16) + IEND, png_of(1, 1, b"\x00" + bytes(4)),
             png_of(1, 2, bytes(4) + b"\x05" + bytes(3)),
             make_png(2, 2)[:-3], chunk(b"tEXt", b"x"), b"GIF89a"]
    monkeypatch.setattr(sys, "stdout", Sink())

    def run():
        for data in cases:
            try:
                Tavrel.open(data)
            except (ValueError, struct.error, zlib.error, OverflowError):
                pass

    for _ in range(20):
        run()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    for _ in range(1000):          # a single object left behind per run adds up past the limit
        run()
    grown = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    assert grown < 32 * 1024


@pytest.mark.measures_memory
def test_large_chunk_read_from_a_file_costs_its_size(tmp_path):
    """A chunk far larger than the pieces a file is read in is gathered into one buffer of its size."""
    if os.environ.get("TAVREL_SANITIZED"):
        pytest.skip("peak RSS means nothing under a sanitizer")
    size = 160 << 20
    path = tmp_path / "text.png"
    with open(path, "wb") as f:
        f.write(SIGNATURE + ihdr(1, 1) + chunk(b"tEXt", bytes(size)))
        f.write(chunk(b"IDAT", zlib.compress(bytes(4))) + IEND)
    code = textwrap.dedent(f"""
        from Vorlant.tavrel_ext import Tavrel
        def peak():
            return next(int(line.split()[1]) << 10 for line in open("/proc/self/status") if line.startswith("VmHWM:"))
        before = peak()
        img = Tavrel.open({str(path)!r})
        print(len(img._png_chunks[1][1]), peak() - before)
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert run.returncode == 0, run.stderr
    length, rise = map(int, run.stdout.split()[-2:])
    assert length == size and rise <= 1.25 * size


class PlainReads(io.BytesIO):
    """A BytesIO that the decoder reads through its read(n) calls, as any stream."""


def _bytesio_cases():
    rows = make_rows(300, 300, 4, seed=5)
    text = chunk(b"tEXt", b"k\x00" + bytes(range(256)) * 300)  # large enough to be checked off the lock
    png = make_png(300, 300, 4, rows=rows, idat_sizes=[70000, 8192, 8192, 100, 90000], before=[text])
    cases = {"whole": png, "trailing": png + b"junk"}
    for cut in (7, 8, 20, 33, 40, 80000, 150000, 160000, len(png) - 13, len(png) - 5, len(png) - 1):
        cases[f"cut{cut}"] = png[:cut]
    for at in (29, 40, 79000, 150050, 150100, 158000, len(png) - 20):
        cases[f"flip{at}"] = png[:at] + bytes([png[at] ^ 0x41]) + png[at + 1:]
    return cases


@pytest.mark.parametrize("name, data", list(_bytesio_cases().items()), ids=lambda v: v if isinstance(v, str) else "")
def test_bytesio_read_from_its_contents_as_its_reads_would(name, data):
    """An exact BytesIO is read from its contents in place: the same result or error, and the stream left where the
    reads would have left it."""
    plain, exact = PlainReads(data), io.BytesIO(data)
    assert outcome_of(lambda: Tavrel._streamToImage(exact)) == outcome_of(lambda: Tavrel._streamToImage(plain))
    assert exact.tell() == plain.tell()
