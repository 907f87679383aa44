"""Writing: chunks, plain PNG, IDAT splitting, chunk-preserving PNG, BMP, save and saveBmp."""

import array
import io
import json
import struct
import threading
import zlib

import pytest
from PIL import Image

import Vorlant.tavrel_ext as m
from Vorlant.tavrel_ext import Tavrel

from imagedata import SIGNATURE, chunk, filter_rows, host_error, make_png, make_rows, split_pixels

PIXEL_MSG = "Pixel data length does not match image dimensions"
ALPHA_MSG = "Alpha channel length does not match image dimensions"
FILTER_MSG = "PNG filter count does not match image height"
IEND = bytes.fromhex("0000000049454e44ae426082")


def parse(blob):
    """(type, data, crc) of every chunk after the signature, CRCs verified."""
    assert blob[:8] == SIGNATURE
    out, pos = [], 8
    while pos < len(blob):
        n, = struct.unpack(">I", blob[pos:pos + 4])
        ctype, data = blob[pos + 4:pos + 8], blob[pos + 8:pos + 8 + n]
        crc, = struct.unpack(">I", blob[pos + 8 + n:pos + 12 + n])
        assert crc == zlib.crc32(data, zlib.crc32(ctype)) & 0xFFFFFFFF
        out.append((ctype, data, crc))
        pos += 12 + n
    assert pos == len(blob)
    return out


def idat_of(chunks):
    return b"".join(d for t, d, _ in chunks if t == b"IDAT")


def split_reference(total, lengths):
    """Part sizes of `total` bytes cut by the IDAT splitting rules."""
    sizes, offset = [], 0
    for idx, length in enumerate(lengths):
        if offset >= total:
            break
        if length <= 0:
            continue
        take = total - offset if idx == len(lengths) - 1 else min(length, total - offset)
        sizes.append(take)
        offset += take
    if offset < total:
        sizes.append(total - offset)
    return sizes


def rgba_of(img):
    """Interleaved pixels as Pillow gives them (RGB or RGBA)."""
    if img._alpha is None:
        return bytes(img._pixels)
    out = bytearray()
    for i, a in enumerate(img._alpha):
        out += img._pixels[3 * i:3 * i + 3] + bytes((a,))
    return bytes(out)


def assert_pillow_reads(path, img):
    with Image.open(path) as p:
        assert p.size == img.size
        assert p.mode == ("RGB" if img._alpha is None else "RGBA")
        assert p.tobytes() == rgba_of(img)


def sample(width, height, channels, seed=3):
    rows = make_rows(width, height, channels, seed)
    rgb, alpha = split_pixels(rows, channels)
    return rows, rgb, alpha


# ---------------------------------------------------------------- chunks

@pytest.mark.parametrize("ctype, data", [
    (b"IEND", b""),
    (b"IHDR", struct.pack(">IIBBBBB", 1, 1, 8, 2, 0, 0, 0)),
    (b"tEXt", b"Comment\x00hello"),
    (b"ab", b"xyz"),
    (b"", b""),
])
def test_make_chunk_frames_with_crc(ctype, data):
    out = m._makeChunk(ctype, data)
    assert out == chunk(ctype, data)
    assert len(out) == 8 + len(ctype) + len(data)
    if ctype == b"IEND":
        assert out == IEND
    if ctype == b"IHDR":
        assert out[-4:] == bytes.fromhex("907753de")
    if len(ctype) == 4:
        assert m._readChunk(io.BytesIO(out)) == (ctype, data)


# ---------------------------------------------------------------- plain PNG

def test_plain_png_of_one_red_pixel(tmp_path):
    path = tmp_path / "red.png"
    assert m._writePng(path, 1, 1, b"\xff\x00\x00") is None
    ihdr = bytes.fromhex("00000001000000010802000000")
    assert path.read_bytes() == (SIGNATURE + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(b"\x00\xff\x00\x00"))
                                 + IEND)


@pytest.mark.parametrize("width, height, channels, filters", [
    (7, 5, 3, [0, 1, 2, 3, 4]),
    (7, 5, 4, [4, 3, 2, 1, 0]),
    (1, 3, 4, [2, 4, 3]),
    (16, 4, 3, None),
    (5, 2, 4, None),
    (0, 3, 3, [1, 2, 3]),
    (4, 0, 4, []),
])
def test_plain_png_encodes_filtered_rows(tmp_path, width, height, channels, filters):
    rows, rgb, alpha = sample(width, height, channels)
    flist = bytearray(filters) if filters is not None else None
    before = bytes(rgb)
    path = tmp_path / "out.png"
    m._writePng(str(path), width, height, rgb, alpha, flist)
    assert rgb == before
    chunks = parse(path.read_bytes())
    assert [t for t, _, _ in chunks] == [b"IHDR", b"IDAT", b"IEND"]
    assert chunks[0][1] == struct.pack(">IIBBBBB", width, height, 8, 2 if alpha is None else 6, 0, 0, 0)
    raw = filter_rows(rows, channels, filters or [0] * height) if height else b""
    assert chunks[1][1] == zlib.compress(raw)
    img = Tavrel.open(str(path))
    assert (img.size, img._pixels, img._alpha) == ((width, height), rgb, alpha)
    assert img._png_filters == (flist or bytearray(height))
    if width and height:
        assert_pillow_reads(path, img)


def test_plain_png_takes_any_pixel_source(tmp_path):
    _, rgb, _ = sample(3, 2, 3)
    outputs = set()
    for pixels in (rgb, bytes(rgb), list(rgb), memoryview(bytes(rgb)), array.array("B", rgb)):
        m._writePng(tmp_path / "p.png", 3, 2, pixels)
        outputs.add((tmp_path / "p.png").read_bytes())
    assert len(outputs) == 1


# ---------------------------------------------------------------- splitting

@pytest.mark.parametrize("lengths, sizes", [
    ([30, 30, 30], [30, 30, 40]),
    ([30, 30, 50], [30, 30, 40]),
    ([100], [100]),
    ([150], [100]),
    ([200, 200], [100]),
    ([], [100]),
    ([30, 0], [30, 70]),
    ([10, 0, 10], [10, 90]),
    ([40, 40, 0, 0], [40, 40, 20]),
    ([0, 0], [100]),
    ([-1, 50], [100]),
    ([2**70, 5], [100]),
    ([True, 5], [1, 99]),
    ([30, 30.5], [30, 70]),
])
def test_split_table(lengths, sizes):
    data = bytes(range(100))
    parts = m._split_idat_payload(data, lengths)
    assert [len(p) for p in parts] == sizes
    assert b"".join(parts) == data and all(type(p) is bytes for p in parts)


@pytest.mark.parametrize("data, lengths, host_call", [
    (b"x" * 10, [3.0, 5], lambda: b"x"[0:3.0]),  # noqa: RUF016 - the host's refusal is the point
    (b"x" * 10, ["3", 5], lambda: "3" <= 0),
    (None, None, lambda: len(None)),
    (b"", None, lambda: len(None)),
    (None, [1], lambda: len(None)),
])
def test_split_refusals(data, lengths, host_call):
    with pytest.raises(TypeError) as err:
        m._split_idat_payload(data, lengths)
    assert str(err.value) == str(host_error(host_call))


def test_split_of_empty_data():
    assert m._split_idat_payload(b"", [5]) == []


# ---------------------------------------------------------------- chunk-preserving PNG

def test_chunks_layout(tmp_path):
    rows, rgb, alpha = sample(24, 24, 4)
    ihdr_rec = (b"IHDR", b"stale", 13)
    records = [ihdr_rec, (b"tEXt", b"a\x00b", 999), (b"IDAT", None, 300), (bytearray(b"prIv"), None, 0),
               (b"IDAT", None, 300), (b"IDAT", None, 100), [memoryview(b"gAMA"), bytearray(b"\0\0\1\0"), 4],
               (b"IEND", b"", 0)]
    path = tmp_path / "out.png"
    m._writePngWithChunks(path, 24, 24, rgb, alpha, records)
    out = parse(path.read_bytes())
    compressed = zlib.compress(filter_rows(rows, 4, [0] * 24))
    sizes = split_reference(len(compressed), [300, 300, 100])
    assert [t for t, _, _ in out] == [b"IHDR", b"tEXt"] + [b"IDAT"] * len(sizes) + [b"prIv", b"gAMA", b"IEND"]
    assert out[0][1] == struct.pack(">IIBBBBB", 24, 24, 8, 6, 0, 0, 0)
    assert [len(d) for t, d, _ in out if t == b"IDAT"] == sizes and idat_of(out) == compressed
    assert (out[1][1], out[-3][1], out[-2][1]) == (b"a\x00b", b"", b"\0\0\1\0")
    assert_pillow_reads(path, Tavrel.open(str(path)))


@pytest.mark.parametrize("types, expected", [
    ([b"IHDR", b"IDAT", b"tEXt", b"IDAT", b"IEND"], [b"IHDR", b"IDAT", b"IDAT", b"tEXt", b"IEND"]),
    ([b"IHDR", b"tEXt", b"IEND"], [b"IHDR", b"tEXt", b"IDAT", b"IEND"]),
    ([b"IHDR", b"IEND", b"IDAT", b"tEXt"], [b"IHDR", b"IDAT", b"IEND", b"tEXt"]),
    ([b"IHDR", b"tEXt"], [b"IHDR", b"tEXt", b"IDAT"]),
])
def test_chunks_place_the_image_data(tmp_path, types, expected):
    """Each IDAT record asks for 1 byte: the new data goes out as 1 byte and the rest."""
    _, rgb, _ = sample(4, 4, 3)
    records = [(t, b"t" if t == b"tEXt" else b"", 1) for t in types]
    m._writePngWithChunks(str(tmp_path / "o.png"), 4, 4, rgb, None, records)
    assert [t for t, _, _ in parse((tmp_path / "o.png").read_bytes())] == expected


def test_empty_chunk_list_writes_plain_png(tmp_path):
    _, rgb, alpha = sample(6, 3, 4)
    m._writePngWithChunks(tmp_path / "a.png", 6, 3, rgb, alpha, [], bytearray([1, 2, 3]))
    m._writePng(tmp_path / "b.png", 6, 3, rgb, alpha, bytearray([1, 2, 3]))
    assert (tmp_path / "a.png").read_bytes() == (tmp_path / "b.png").read_bytes()


def supported(suite_dir):
    for path in sorted((suite_dir / "png").glob("*.png")):
        blob = path.read_bytes()
        _, _, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", blob[16:29])
        if blob[12:16] == b"IHDR" and depth == 8 and ctype in (2, 6) and interlace == 0:
            yield path


def test_pngsuite_round_trip(suite_dir, tmp_path):
    paths = list(supported(suite_dir))
    assert len(paths) >= 20
    for path in paths:
        src = parse(path.read_bytes())
        img = Tavrel.open(str(path))
        expected = json.loads((suite_dir / "json" / (path.stem + ".json")).read_text())
        for change in (False, True):
            if change:
                for x, y in ((0, 0), (img.width - 1, img.height - 1), (img.width // 2, 1)):
                    img.putPixel((x, y), (x * 7 % 256, 255 - y, 99))
            out_path = tmp_path / path.name
            img.save(str(out_path))
            out = parse(out_path.read_bytes())
            assert [c for c in out if c[0] != b"IDAT"] == [c for c in src if c[0] != b"IDAT"], path.name
            first = [t for t, _, _ in src].index(b"IDAT")
            sizes = split_reference(len(idat_of(out)), [len(d) for t, d, _ in src if t == b"IDAT"])
            assert [len(d) for t, d, _ in out[first:first + len(sizes)]] == sizes, path.name
            rows = zlib.decompress(idat_of(out))
            if not change:
                assert rows == zlib.decompress(idat_of(src)), path.name
            again = Tavrel.open(str(out_path))
            assert (again._pixels, again._alpha, again._png_filters) == (img._pixels, img._alpha, img._png_filters)
            assert_pillow_reads(out_path, again)
            if not change:
                assert list(rgba_of(again)) == [v for i, v in enumerate(expected) if again._alpha or i % 4 != 3]


# ---------------------------------------------------------------- BMP

def test_bmp_of_one_pixel(tmp_path):
    m._writeBmp(str(tmp_path / "a.bmp"), 1, 1, bytearray([10, 20, 30]))
    blob = (tmp_path / "a.bmp").read_bytes()
    assert blob == (b"BM" + struct.pack("<IHHI", 58, 0, 0, 54)
                    + struct.pack("<IIIHHIIIIII", 40, 1, 1, 1, 24, 0, 4, 2835, 2835, 0, 0) + bytes([30, 20, 10, 0]))


@pytest.mark.parametrize("width, height, meta, fields", [
    (4, 3, None, (2835, 2835, 0, 0)),
    (5, 2, {"xppm": 100}, (100, 2835, 0, 0)),
    (2, 2, {"xppm": "300", "yppm": 72.9, "clrUsed": 7, "clrImportant": 2, "other": 1}, (300, 72, 7, 2)),
    (0, 4, {}, (2835, 2835, 0, 0)),
    (3, 0, None, (2835, 2835, 0, 0)),
])
def test_bmp_layout(tmp_path, width, height, meta, fields):
    rgb = bytes((i * 37) % 256 for i in range(width * height * 3))
    stride = (width * 3 + 3) // 4 * 4
    m._writeBmp(tmp_path / "a.bmp", width, height, rgb, meta)
    m._writeBmp(tmp_path / "b.bmp", width, height, bytearray(rgb), meta)
    blob = (tmp_path / "a.bmp").read_bytes()
    assert blob == (tmp_path / "b.bmp").read_bytes()
    assert len(blob) == 54 + stride * height
    assert struct.unpack("<IHHI", blob[2:14]) == (len(blob), 0, 0, 54)
    assert struct.unpack("<IIIHHIIIIII", blob[14:54]) == (40, width, height, 1, 24, 0, stride * height, *fields)
    for k in range(height):  # stored row k is image row height-1-k
        y = height - 1 - k
        row = blob[54 + k * stride:54 + (k + 1) * stride]
        src = rgb[y * width * 3:(y + 1) * width * 3]
        assert row == b"".join(src[i:i + 3][::-1] for i in range(0, len(src), 3)) + bytes(stride - width * 3)
    if width and height:
        img = Tavrel.open(str(tmp_path / "a.bmp"))
        header = dict(zip(["xppm", "yppm", "clrUsed", "clrImportant"], fields, strict=True))
        assert img._pixels == rgb and img._bmp_header == header
        assert_pillow_reads(tmp_path / "a.bmp", img)


def bmp_rows_by_slicing(rgb, width, height):
    """The stored pixel array of `rgb`, each row's channels swapped by slice assignment, bottom row first."""
    stride = (width * 3 + 3) // 4 * 4
    out = bytearray(stride * height)
    for k in range(height):
        src = rgb[(height - 1 - k) * width * 3:(height - k) * width * 3]
        row = bytearray(src)
        row[0::3], row[2::3] = src[2::3], src[0::3]
        out[k * stride:k * stride + width * 3] = row
    return bytes(out)


@pytest.mark.parametrize("width, height", [(300, 1000), (1, 70000), (90000, 2), (7, 1)])
def test_bmp_written_in_blocks_is_the_one_piece_file(tmp_path, monkeypatch, width, height):
    """A str path and the host's own open: rows go out in blocks; any other path or open: the whole file in one
    write. The bytes are the same."""
    rgb = bytes((i * 7 + i // 1000) & 0xFF for i in range(width * height * 3))
    m._writeBmp(str(tmp_path / "blocks.bmp"), width, height, rgb)
    m._writeBmp(tmp_path / "path.bmp", width, height, bytearray(rgb))
    writes = []
    real_open = open

    class Recording:
        def __init__(self, f):
            self.f = f

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return self.f.__exit__(*exc)

        def write(self, data):
            writes.append(len(data))
            return self.f.write(data)

    monkeypatch.setattr("builtins.open", lambda path, mode: Recording(real_open(path, mode)))
    m._writeBmp(str(tmp_path / "patched.bmp"), width, height, rgb)
    monkeypatch.undo()
    blob = (tmp_path / "blocks.bmp").read_bytes()
    assert blob[54:] == bmp_rows_by_slicing(rgb, width, height)
    assert blob == (tmp_path / "path.bmp").read_bytes() == (tmp_path / "patched.bmp").read_bytes()
    assert writes == [len(blob)]


def test_bmp_written_by_pillow_saves_back_identically(suite_dir, tmp_path):
    """Pillow's 24-bit BMPs of the RGB suite images come back byte for byte."""
    for path in [p for p in supported(suite_dir) if p.name[4] == "2"]:
        with Image.open(path) as src:
            src.save(tmp_path / "pillow.bmp")
        img = Tavrel.open(str(tmp_path / "pillow.bmp"))
        img.save(str(tmp_path / "ours.png"))  # the format follows the source, not the name
        assert (tmp_path / "ours.png").read_bytes() == (tmp_path / "pillow.bmp").read_bytes(), path.name


# ---------------------------------------------------------------- saving

def test_save_chooses_the_writer(tmp_path):
    rows, rgb, alpha = sample(3, 2, 4)
    png = Tavrel.open(make_png(3, 2, 4, rows=rows, filters=[1, 4], idat_sizes=[20, 5],
                               before=[chunk(b"tEXt", b"k\x00v")]))
    png.saveBmp(str(tmp_path / "a.bmp"))
    bmp = Tavrel.open(str(tmp_path / "a.bmp"))
    assert (bmp._pixels, bmp._alpha, bmp._bmp_header["xppm"]) == (rgb, None, 2835)
    png._bmp_header = {"xppm": 1}
    png.save(str(tmp_path / "b.png"))  # kept chunks win over a header
    assert [t for t, _, _ in parse((tmp_path / "b.png").read_bytes())][:2] == [b"IHDR", b"tEXt"]
    plain = Tavrel(3, 2, rgb, alpha, png_filters=bytearray([2, 3]))
    plain.save(str(tmp_path / "c.png"))
    m._writePng(tmp_path / "d.png", 3, 2, rgb, alpha, bytearray([2, 3]))
    assert (tmp_path / "c.png").read_bytes() == (tmp_path / "d.png").read_bytes()
    Tavrel(3, 2, rgb, bmp_header={}).save(str(tmp_path / "e.png"))
    assert (tmp_path / "e.png").read_bytes()[:2] == b"BM"
    assert plain._pixels == rgb and plain._png_chunks is None


# ---------------------------------------------------------------- failures leave the file alone

def record_iter():
    yield b"IHDR"


FAILURES = [
    (lambda p: m._writePng(p, 2, 2, b"x" * 11), ValueError, PIXEL_MSG),
    (lambda p: m._writePng(p, 2, 2, bytes(12), bytearray(3)), ValueError, ALPHA_MSG),
    (lambda p: m._writePng(p, 2, 2, 5), TypeError, "has no len"),
    (lambda p: m._writePng(p, "2", 2, bytes(12)), TypeError, "integer"),
    (lambda p: m._writePng(p, 2**31, 0, b""), OverflowError, None),
    (lambda p: m._writePng(p, -1, -1, bytes(3)), struct.error, None),
    (lambda p: m._writePng(p, 1, 1, [1, 2, 256]), ValueError, "range"),
    (lambda p: m._writePng(p, 2, 1, array.array("I", [0] * 6)), ValueError, PIXEL_MSG),
    (lambda p: m._writePng(p, 1, 3, bytes(9), None, bytearray(2)), ValueError, FILTER_MSG),
    (lambda p: m._writePng(p, 1, 3, bytes(9), None, bytearray([0, 1, 7])), ValueError, "Unsupported PNG filter: 7$"),
    (lambda p: m._writePng(p, 0, 2, b"", None, bytearray([5, 0])), ValueError, "Unsupported PNG filter: 5$"),
    (lambda p: m._writePng(p, 1, 1, bytes(3), b"\x01"), BufferError, None),
    (lambda p: m._writePng(p, 1, 1, bytes(3), [1]), TypeError, None),
    (lambda p: m._writePng(p, 1, 1, bytes(3), None, [0]), TypeError, None),
    (lambda p: m._writePngWithChunks(p, 1, 1, bytes(2), None, [(b"IEND", b"", 0)]), ValueError, PIXEL_MSG),
    (lambda p: m._writePngWithChunks(p, 1, 1, bytes(3), None, [(b"IEND", b"", 0)], bytearray(2)), ValueError,
     FILTER_MSG),
    (lambda p: m._writePngWithChunks(p, 1, 1, bytes(3), None, [(b"IEND", b"", 0, 0)]), ValueError,
     r"too many values to unpack \(expected 3\)"),
    (lambda p: m._writePngWithChunks(p, 1, 1, bytes(3), None, [(b"IEND", b"", 0), record_iter()]), ValueError,
     "need more than 1 value to unpack"),
    (lambda p: m._writePngWithChunks(p, 1, 1, bytes(3), None, [[b"IDAT", None]]), ValueError,
     "need more than 2 values to unpack"),
    (lambda p: m._writePngWithChunks(p, 1, 1, bytes(3), None, [7]), TypeError, "not iterable"),
    (lambda p: m._writePngWithChunks(p, 1, 1, bytes(3), None, [(b"IDAT", None, "8"), (b"IDAT", None, 1)]),
     TypeError, None),
    (lambda p: m._writePngWithChunks(p, 1, 1, bytes(3), None, [(b"IEND", b"", 0), ("tEXt", b"", 0)]), TypeError,
     "bytes-like"),
    (lambda p: m._writePngWithChunks(p, 1, 1, bytes(3), None, [(b"tEXt", 5, 0)]), TypeError, "bytes-like"),
    (lambda p: m._writeBmp(p, 1, 1, bytes(3), {"xppm": -2**31 - 1}), struct.error, None),
    (lambda p: m._writeBmp(p, 1, 1, bytes(3), {"clrUsed": 2**32}), struct.error, None),
    (lambda p: m._writeBmp(p, 1, -1, bytes(3)), struct.error, None),
    (lambda p: m._writeBmp(p, 2**31, 1, b""), OverflowError, None),
    (lambda p: m._writeBmp(p, 1, 1, bytes(3), 5), AttributeError, "get"),
    (lambda p: m._writeBmp(p, 1, 1, bytes(3), {"yppm": "abc"}), ValueError, "invalid literal"),
    (lambda p: m._writeBmp(p, 1, 1, "abc"), TypeError, None),
    (lambda p: m._writeBmp(p, 2, 2, bytearray(11)), IndexError, str(host_error(lambda: bytearray(11)[11]))),
    (lambda p: Tavrel(1, 1, bytes(3), png_chunks=[(b"IHDR", b"", 0, 1)]).save(p), ValueError, "too many"),
    (lambda p: Tavrel(2, 1, bytes(6), bmp_header={"yppm": 2**32}).saveBmp(p), struct.error, None),
]


@pytest.mark.parametrize("call, exc, message", FAILURES)
def test_failures_leave_existing_file(tmp_path, call, exc, message):
    path = tmp_path / "sentinel"
    path.write_bytes(b"keep me")
    with pytest.raises(exc, match=message):
        call(str(path))
    assert path.read_bytes() == b"keep me"


@pytest.mark.parametrize("xppm, yppm", [(-1, -2**31), (-2835, 2**32 - 1), (2**31, 7)])
def test_bmp_resolution_is_written_as_its_32_bit_pattern(tmp_path, xppm, yppm):
    """Read as signed, written from the pattern: a BMP the module opens saves back byte for byte."""
    m._writeBmp(str(tmp_path / "a.bmp"), 1, 1, bytes(3), {"xppm": xppm, "yppm": yppm})
    blob = (tmp_path / "a.bmp").read_bytes()
    assert blob[38:46] == struct.pack("<II", xppm % 2**32, yppm % 2**32)
    Tavrel.open(str(tmp_path / "a.bmp")).save(str(tmp_path / "b.bmp"))
    assert (tmp_path / "b.bmp").read_bytes() == blob


@pytest.mark.parametrize("field, value", [("xppm", -2**31 - 1), ("yppm", 2**32), ("xppm", -2**70)])
def test_bmp_resolution_outside_32_bits_is_refused_before_opening(tmp_path, field, value):
    fields = (value, 0) if field == "xppm" else (0, value)
    want = host_error(lambda: struct.pack("<IIIHHIIIIII", 40, 1, 1, 1, 24, 0, 4, *fields, 0, 0))
    with pytest.raises(struct.error) as err:
        m._writeBmp(str(tmp_path / "a.bmp"), 1, 1, bytes(3), {field: value})
    assert str(err.value) == str(want) and not (tmp_path / "a.bmp").exists()


@pytest.mark.parametrize("save", [
    lambda img, path, monkeypatch: img.saveBmp(path),  # rows in blocks; with another open, the file in one piece
    # io.open, not open: the replacement is itself the built-in open while it runs.
    lambda img, path, monkeypatch: (monkeypatch.setattr("builtins.open", lambda *a: io.open(*a)),  # noqa: UP020, SIM115
                                    img.saveBmp(path)),
])
def test_saving_holds_no_export_while_the_lock_is_released(tmp_path, monkeypatch, save):
    """Another thread resizing the pixel buffer in place while the image is saved never meets an export (the
    buffer only grows past the image meanwhile, so every file comes out whole)."""
    pixels = bytes(i * 7 % 256 for i in range(700 * 700 * 3))
    img = Tavrel(700, 700, pixels)
    path = str(tmp_path / "out")
    save(img, path, monkeypatch)
    want = (tmp_path / "out").read_bytes()
    buf, stop, refused = img._pixels, threading.Event(), []

    def resize():
        while not stop.is_set():
            try:
                buf.append(0)
                buf.pop()
            except BufferError:
                refused.append(1)

    resizer = threading.Thread(target=resize)
    resizer.start()
    try:
        for _ in range(5):
            save(img, path, monkeypatch)
            assert (tmp_path / "out").read_bytes() == want
    finally:
        stop.set()
        resizer.join()
    assert refused == [] and buf[:len(pixels)] == pixels
