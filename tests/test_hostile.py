"""Hostile input: every truncation and single-bit flip of real files, length fields near 2**31 and 2**32, zero and
huge dimensions, image data that inflates far past its size, and BMP pixel offsets pointing anywhere. Each input
must give exactly what the documented reading gives (the reference readers of test_read), and never a crash."""

import io
import os
import random
import struct
import subprocess
import sys
import textwrap
import zlib

import pytest
from test_read import INCOMPLETE_BMP, MALFORMED, matches, outcome_of, reference_bmp, reference_png, zero_stream

import Vorlant.tavrel_ext as m
from Vorlant.tavrel_ext import Tavrel

from imagedata import SIGNATURE, chunk, ihdr, make_bmp, make_png, make_rows, split_pixels

IEND = chunk(b"IEND", b"")

# PngSuite files: RGB, RGBA, ancillary chunks, stored and level-9 deflate, filters, and refused kinds whose
# refusal comes only after the chunk loop (16-bit with many IDAT chunks, interlaced).
SUITE = ["basn2c08", "basn6a08", "tbrn2c08", "cdun2c08", "z00n2c08", "z09n2c08", "f04n2c08", "oi9n2c16",
         "basi6a08"]


def decode(data):
    return Tavrel._streamToImage(io.BytesIO(data))


def reference(data):
    return bounded_reference_bmp(data) if data[:2] == b"BM" else reference_png(data)


def bounded_reference_bmp(data):
    """reference_bmp, without building a pixel buffer that the header claims but the data cannot fill: the rows
    of such a claim are necessarily incomplete."""
    if len(data) >= 54 and struct.unpack("<I", data[14:18])[0] == 40:
        width, height, planes, bits, compression = struct.unpack("<iiHHI", data[18:34])
        size = width * abs(height) * 3
        if (planes, bits, compression) == (1, 24, 0) and size > 1 << 24:
            return [(OverflowError, None)] if size > sys.maxsize else [(ValueError, INCOMPLETE_BMP)]
    return reference_bmp(data)


def agrees(data):
    got = outcome_of(lambda: decode(data))
    want = reference(data)
    assert matches(got, want), (got, want)
    return got


def rgb_alpha(width, height, channels, seed=3):
    return split_pixels(make_rows(width, height, channels, seed=seed), channels)


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """Files the module wrote itself: a plain RGBA PNG, a PNG re-saved with several IDAT chunks and ancillary
    chunks around them, and a BMP with padded rows."""
    tmp = tmp_path_factory.mktemp("written")
    rgb, alpha = rgb_alpha(5, 4, 4)
    plain = tmp / "plain.png"
    Tavrel(5, 4, rgb, alpha, png_filters=bytes([0, 1, 3, 4])).save(str(plain))
    source = make_png(7, 6, 3, filters=[0, 1, 2, 3, 4, 2], idat_sizes=[20, 0, 30, 9],
                      before=[chunk(b"tEXt", b"k\x00v"), chunk(b"gAMA", b"\x00\x00\xb1\x8f")],
                      after=[chunk(b"zzZz", b"private")])
    img = Tavrel.open(source)
    img.putPixel((3, 2), (1, 2, 3))
    kept = tmp / "kept.png"
    img.save(str(kept))
    bmp = tmp / "out.bmp"
    Tavrel(5, 3, rgb_alpha(5, 3, 3)[0]).saveBmp(str(bmp))
    return {"plain.png": plain.read_bytes(), "kept.png": kept.read_bytes(), "out.bmp": bmp.read_bytes()}


def suite_data(suite_dir, name):
    return (suite_dir / "png" / (name + ".png")).read_bytes()


INPUTS = [("suite", n) for n in SUITE] + [("written", n) for n in ["plain.png", "kept.png", "out.bmp"]]


@pytest.fixture(params=INPUTS, ids=[n for _, n in INPUTS])
def source(request, written):
    """The bytes of one input file; suite files skip when the suite is absent, written ones always run."""
    kind, name = request.param
    if kind == "suite":
        return suite_data(request.getfixturevalue("suite_dir"), name)
    return written[name]


# --- truncation and bit flips -----------------------------------------------------------------------------------

def test_every_truncation_point(source, capsys):
    for cut in range(len(source) + 1):
        agrees(source[:cut])
    assert capsys.readouterr().out == ""


def test_truncations_read_from_files(source, tmp_path, capsys):
    """The host's file streams answer short reads as BytesIO does: opening by path gives the same."""
    path = tmp_path / "cut"
    for cut in range(0, len(source) + 1, 23):
        path.write_bytes(source[:cut])
        assert open_outcome(str(path)) == open_outcome(source[:cut])
    capsys.readouterr()


def open_outcome(source):
    """The fields of the image opened from `source`, or the (type, message) of its refusal."""
    got = outcome_of(lambda: Tavrel.open(source))
    if isinstance(got, tuple):
        return got
    return (got.size, got._pixels, got._alpha, got._png_chunks, got._png_filters, got._bmp_header)


def flips(data, start, stop):
    for at in range(start, min(stop, len(data))):
        for bit in range(8):
            yield data[:at] + bytes([data[at] ^ (1 << bit)]) + data[at + 1:]


def test_single_bit_flips_in_headers_and_first_chunks(source):
    """Signature, IHDR (or the BMP headers), and the start of the chunks after it: caught by the CRC, the length
    checks, or the header checks, exactly as documented."""
    for flipped in flips(source, 0, 160):
        agrees(flipped)


def recrc_flips(data, which):
    """Single-bit flips in the data of the `which`-th chunk, with the CRC made right again, so that the flip
    reaches the header checks, the inflation and the row filters."""
    pos = 8
    for _ in range(which):
        pos += 12 + struct.unpack(">I", data[pos:pos + 4])[0]
    (length,) = struct.unpack(">I", data[pos:pos + 4])
    ctype, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
    rest = data[pos + 12 + length:]
    for at in range(min(length, 24)):
        for bit in range(8):
            changed = body[:at] + bytes([body[at] ^ (1 << bit)]) + body[at + 1:]
            yield data[:pos] + chunk(ctype, changed) + rest


@pytest.mark.parametrize("name", ["basn2c08", "basn6a08", "z00n2c08", "plain.png", "kept.png"])
def test_bit_flips_under_a_valid_crc(request, written, name):
    data = written[name] if name in written else suite_data(request.getfixturevalue("suite_dir"), name)
    kinds = set()
    for flipped in recrc_flips(data, 0):         # IHDR: dimensions, depth, colour type, methods
        kinds.add(agrees(flipped)[0])
    for flipped in recrc_flips(data, next(i for i, t in enumerate(chunk_types(data)) if t == b"IDAT")):
        kinds.add(agrees(flipped)[0])
    assert {ValueError, zlib.error} <= kinds


def chunk_types(data):
    pos, out = 8, []
    while pos + 8 <= len(data):
        out.append(data[pos + 4:pos + 8])
        pos += 12 + struct.unpack(">I", data[pos:pos + 4])[0]
    return out


# --- length fields near 2**31 and 2**32 ---------------------------------------------------------------------------

NEAR_LIMITS = [2**31 - 1, 2**31, 2**31 + 1, 2**32 - 13, 2**32 - 12, 2**32 - 1]


class ShortStream(io.BytesIO):
    """A stream that records every size asked of read()."""

    def __init__(self, data):
        super().__init__(data)
        self.asked = []

    def read(self, n=-1):
        self.asked.append(n)
        return super().read(n)


@pytest.mark.parametrize("length", NEAR_LIMITS)
@pytest.mark.parametrize("which", [0, 1, 2, 3])
def test_chunk_length_near_the_limits(length, which):
    """A length field is believed and asked for as it stands; the data that is not there is the refusal."""
    data = make_png(3, 2, 4, before=[chunk(b"tEXt", b"abc")])   # IHDR, tEXt, IDAT, IEND
    pos = 8
    for _ in range(which):
        pos += 12 + struct.unpack(">I", data[pos:pos + 4])[0]
    patched = data[:pos] + struct.pack(">I", length) + data[pos + 4:]
    assert agrees(patched) == (ValueError, "Unexpected EOF while reading chunk data")
    stream = ShortStream(patched)
    with pytest.raises(ValueError, match="chunk data"):
        Tavrel._streamToImage(stream)
    assert stream.asked[-1] == length
    chunk_stream = ShortStream(patched[pos:])
    with pytest.raises(ValueError, match="chunk data"):
        m._readChunk(chunk_stream)
    assert chunk_stream.asked == [4, 4, length]


@pytest.mark.parametrize("width, height", [
    (0, 0), (0, 1), (1, 0), (2**31 - 1, 0), (0, 2**31 - 1), (2**31 - 1, 1), (1, 2**31 - 1),
    (2**31 - 1, 2**31 - 1), (2**30, 4), (4, 2**30),
])
@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("raw", [b"", b"\x00", bytes(13)])
def test_png_zero_and_huge_dimensions(width, height, channels, raw):
    data = SIGNATURE + ihdr(width, height, 8, 2 if channels == 3 else 6) + chunk(b"IDAT", zlib.compress(raw)) + IEND
    agrees(data)


@pytest.mark.parametrize("width, height", [(2**31, 0), (0, 2**31), (2**32 - 1, 2**32 - 1), (2**31, 2**31)])
def test_png_dimensions_past_int32(width, height):
    data = SIGNATURE + ihdr(width, height) + chunk(b"IDAT", zlib.compress(b"")) + IEND
    with pytest.raises(OverflowError):
        decode(data)


def test_widest_empty_image_works_end_to_end(tmp_path, capsys):
    """A header of 2**31 - 1 by 0 pixels over no image data is a valid, empty image: every operation keeps to
    its documented refusals and the files it writes read back the same."""
    data = SIGNATURE + ihdr(2**31 - 1, 0, 8, 6) + chunk(b"IDAT", zlib.compress(b"")) + IEND
    img = Tavrel.open(data)
    assert img.size == (2**31 - 1, 0) and img._pixels == b"" and img._alpha == b""
    for coords in [(0, 0), (2**31 - 2, 0), (0, -1)]:
        with pytest.raises(ValueError, match="out of bounds"):
            img.getPixel(coords)
        with pytest.raises(ValueError, match="out of bounds"):
            img.putPixel(coords, (1, 2, 3))
    assert img.copy().size == img.size
    img.save(str(tmp_path / "a.png"))
    img.saveBmp(str(tmp_path / "a.bmp"))
    again = Tavrel.open(str(tmp_path / "a.png"))
    assert again.size == img.size and again._png_chunks[0][1] == ihdr(2**31 - 1, 0, 8, 6)[8:-4]
    bmp = Tavrel.open(str(tmp_path / "a.bmp"))
    assert bmp.size == img.size and len((tmp_path / "a.bmp").read_bytes()) == 54
    capsys.readouterr()


def bmp_header(width, height, offset=54, bits=24):
    return (b"BM" + struct.pack("<IHHI", 0, 0, 0, offset)
            + struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, 0, 2835, 2835, 0, 0))


@pytest.mark.parametrize("width, height, outcome", [
    (2**31 - 1, 1, (ValueError, INCOMPLETE_BMP)),            # a stored row of 6 GiB asked for
    (1, 2**31 - 1, (ValueError, INCOMPLETE_BMP)),
    (1, -2**31, (ValueError, INCOMPLETE_BMP)),               # 2**31 rows, top-down
    (2**31 - 1, -2**31, (OverflowError, None)),               # the buffer size is past any index
    (-2**31, -2**31, (ValueError, "negative count")),
    (-1, 2**31 - 1, (ValueError, "negative count")),
    (2**31 - 1, 0, None), (-2**31, 0, None), (0, 2**31 - 1, None),
])
def test_bmp_extreme_dimensions(width, height, outcome):
    data = bmp_header(width, height) + bytes(64)
    got = outcome_of(lambda: decode(data))
    if outcome is None:
        assert got[:4] == (width, abs(height), bytearray(), 3)
    else:
        assert got[0] is outcome[0] and (outcome[1] is None or got[1] == outcome[1])


def test_bmp_of_2_31_empty_rows_is_refused_by_the_constructor(capsys):
    """|-2**31| rows of width 0 decode, but the height does not fit the image."""
    data = bmp_header(0, -2**31)
    assert decode(data)[:2] == (0, 2**31)
    with pytest.raises(OverflowError):
        Tavrel.open(data)
    assert capsys.readouterr().out == ""


# --- image data that inflates far past its size -------------------------------------------------------------------

@pytest.mark.parametrize("width, height, parts", [
    (1, 1, 1), (1, 1, 700), (3, 5, 64), (40000, 40000, 1), (40000, 40000, 300), (2**31 - 1, 2**31 - 1, 5),
])
def test_inflation_bombs_are_refused_for_their_size(width, height, parts):
    """32 MiB of zeros in 32 KiB of data, in one IDAT chunk or spread over many, under a header that claims
    less, or far more, than that."""
    stream = zero_stream(32)
    step = -(-len(stream) // parts)
    idats = b"".join(chunk(b"IDAT", stream[i:i + step]) for i in range(0, len(stream), step))
    data = SIGNATURE + ihdr(width, height, 8, 6) + idats + IEND
    assert outcome_of(lambda: decode(data)) == (ValueError, MALFORMED)


@pytest.mark.parametrize("damage", ["checksum", "cut in the middle"])
def test_bomb_with_a_corrupt_end_gives_the_hosts_error(damage):
    """A bomb refused for its size whose stream is also damaged gets the host's own exception."""
    stream = zero_stream(32)
    bad = stream[:-4] + b"\x00\x00\x00\x00" if damage == "checksum" else stream[:len(stream) // 2]
    want = outcome_of(lambda: zlib.decompress(bad))
    data = SIGNATURE + ihdr(40000, 40000, 8, 6) + chunk(b"IDAT", bad) + IEND
    assert outcome_of(lambda: decode(data)) == want


def test_bomb_with_damaged_block_headers_gives_the_hosts_error():
    """Bit flips in the code tables of a dynamic block (some give tables only zlib refuses) under a wrong checksum
    and a header that claims more than the data can hold: each is the host's own outcome."""
    rnd = random.Random(1)
    stream = zlib.compress(bytes(rnd.choice(b"abcdefgh") for _ in range(3000)) + rnd.randbytes(500), 9)
    for at in range(2, 20):
        for bit in range(8):
            bad = stream[:at] + bytes([stream[at] ^ (1 << bit)]) + stream[at + 1:]
            data = SIGNATURE + ihdr(40000, 40000, 8, 6) + chunk(b"IDAT", bad) + IEND
            assert outcome_of(lambda: decode(data)) == outcome_of(lambda: zlib.decompress(bad)), (at, bit)



@pytest.mark.parametrize("damage", ["checksum", "bit in the last block", "cut in the checksum", "cut in the last block",
                                    "one row too many"])
def test_late_damage_under_the_exact_claim_gives_the_hosts_outcome(damage):
    """A stream that inflates far before it fails: the outcome is what zlib makes of it from the start (judged from
    the last sound block the fast pass got through)."""
    rnd = random.Random(7)
    width, height = 2048, 600
    raw = bytearray((1 + width * 3) * height)
    for _ in range(300):
        at = rnd.randrange(len(raw) - 64)
        raw[at:at + 64] = rnd.randbytes(64)
    raw[::1 + width * 3] = bytes(height)
    stream = bytearray(zlib.compress(bytes(raw)))
    if damage == "checksum":
        stream[-2] ^= 0x10
    elif damage == "bit in the last block":
        stream[-40] ^= 0x04
    elif damage == "cut in the checksum":
        del stream[-2:]
    elif damage == "cut in the last block":
        del stream[-30:]
    claim = height - 1 if damage == "one row too many" else height
    data = SIGNATURE + ihdr(width, claim, 8, 2) + chunk(b"IDAT", bytes(stream)) + IEND

    def reference():  # data that goes on past the claim is refused for its size before anything else
        expected = (1 + width * 3) * claim
        if len(zlib.decompressobj().decompress(stream, expected + 1)) > expected:
            raise ValueError(MALFORMED)
        if len(zlib.decompress(stream)) != expected:
            raise ValueError(MALFORMED)
    assert outcome_of(lambda: decode(data)) == outcome_of(reference)


def incomplete_code_stream(text=b"aa"):
    """One dynamic block whose literal/length code is incomplete ('a' 1 bit, end-of-block 2 bits), which zlib refuses
    and a lenient inflater may decode, with the checksum of what it spells."""
    bits = []
    def field(value, n):
        bits.extend((value >> i) & 1 for i in range(n))
    def code(value, n):
        bits.extend((value >> i) & 1 for i in reversed(range(n)))
    field(1, 1), field(2, 2), field(0, 5), field(0, 5), field(14, 4)    # final, dynamic, 257 + 1 codes, 18 lengths
    lengths = {18: 1, 1: 2, 2: 2}                                       # 18 -> 0, 1 -> 10, 2 -> 11
    for symbol in [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1]:
        field(lengths.get(symbol, 0), 3)
    code(0, 1), field(97 - 11, 7), code(2, 2)                          # 97 zeros, then a = 1
    code(0, 1), field(138 - 11, 7), code(0, 1), field(20 - 11, 7)      # 158 zeros
    code(3, 2), code(2, 2)                                              # end-of-block = 2, the one distance = 1
    for _ in text:
        code(0, 1)
    code(2, 2)
    bits.extend([0] * (-len(bits) % 8))
    deflate = bytes(sum(b << i for i, b in enumerate(bits[k:k + 8])) for k in range(0, len(bits), 8))
    return b"\x78\x9c" + deflate + struct.pack(">I", zlib.adler32(text))


@pytest.mark.parametrize("damage", ["none", "checksum"])
def test_bomb_with_a_code_set_only_zlib_refuses(damage):
    """Under a claim the data cannot fill, a code set zlib refuses is refused with zlib's message even where the
    checksum matches what a lenient inflater makes of it."""
    stream = incomplete_code_stream()
    if damage == "checksum":
        stream = stream[:-1] + bytes([stream[-1] ^ 1])
    data = SIGNATURE + ihdr(40000, 40000, 8, 6) + chunk(b"IDAT", stream) + IEND
    assert outcome_of(lambda: decode(data)) == outcome_of(lambda: zlib.decompress(stream))


# --- BMP pixel offsets pointing anywhere --------------------------------------------------------------------------

OFFSETS = [0, 1, 2, 10, 13, 14, 17, 18, 30, 53, 54, 55, 57, 65, 66, 67, 77, 78, 79, 1000, 2**31 - 1, 2**31,
           2**32 - 1]


@pytest.mark.parametrize("offset", OFFSETS)
@pytest.mark.parametrize("width, height", [(3, 2), (3, -2), (1, 1), (0, 3), (4, 1)])
def test_bmp_offsets_anywhere(offset, width, height):
    """Rows are read from wherever the offset points, headers included; past the end the rows are missing."""
    rgb = rgb_alpha(width, abs(height), 3)[0]
    data = make_bmp(width, abs(height), rgb, top_down=height < 0)
    data = data[:10] + struct.pack("<I", offset) + data[14:]
    agrees(data)


def test_bmp_offsets_read_from_files(tmp_path):
    rgb = rgb_alpha(3, 2, 3)[0]
    path = tmp_path / "o.bmp"
    for offset in OFFSETS:
        data = make_bmp(3, 2, rgb)
        data = data[:10] + struct.pack("<I", offset) + data[14:]
        path.write_bytes(data)
        with open(path, "rb") as stream:
            assert outcome_of(lambda: Tavrel._streamToImage(stream)) == outcome_of(lambda: decode(data))


class RefusingSeek(io.BytesIO):
    def seek(self, pos, whence=0):
        if pos > 100:
            raise OSError("seek refused")
        return super().seek(pos, whence)


def test_bmp_offset_that_the_stream_cannot_seek_to():
    data = make_bmp(1, 1, b"abc")
    data = data[:10] + struct.pack("<I", 2**32 - 1) + data[14:]
    with pytest.raises(OSError, match="seek refused"):
        Tavrel._streamToImage(RefusingSeek(data))


# --- peak memory of the worst cases -------------------------------------------------------------------------------

WORST_CASES = {
    # length fields the host's file reader is asked to honour, over a few bytes of file
    "text 2**32-1": (SIGNATURE + ihdr(1, 1) + struct.pack(">I", 2**32 - 1) + b"tEXt" + bytes(10),
                     "ValueError:Unexpected EOF while reading chunk data"),
    "idat 2**31": (SIGNATURE + ihdr(1, 1) + struct.pack(">I", 2**31) + b"IDAT" + bytes(10),
                   "ValueError:Unexpected EOF while reading chunk data"),
    # BMP rows of 6 GiB, and 2**31 rows, over 4 KiB of file
    "bmp wide": (bmp_header(2**31 - 1, 1) + bytes(4096), "ValueError:" + INCOMPLETE_BMP),
    "bmp tall": (bmp_header(1, -2**31) + bytes(4096), "ValueError:" + INCOMPLETE_BMP),
    "bmp offset 0": (bmp_header(20000, 20000, offset=0) + bytes(4096), "ValueError:" + INCOMPLETE_BMP),
    # 1 GiB of zeros in 1 MiB of data: over 4096 IDAT chunks under a claim far past it, and under a claim of 1 pixel
    "bomb many parts": (None, "ValueError:" + MALFORMED),
    "bomb one pixel": (None, "ValueError:" + MALFORMED),
    "zero width tall": (SIGNATURE + ihdr(0, 2**31 - 1) + chunk(b"IDAT", zlib.compress(b"")) + IEND,
                        "ValueError:" + MALFORMED),
}


@pytest.mark.skipif(bool(os.environ.get("TAVREL_SANITIZED")), reason="peak RSS means nothing under a sanitizer")
def test_peak_memory_of_the_worst_cases(tmp_path):
    """All cases run in one fresh interpreter limited to 1 GiB of address space, opened by path (the host's file
    reader, which reserves what it is asked for, meets the huge sizes: they are asked for in pieces, a bug found
    here) and from bytes; the peak RSS of the whole run stays far below what any header claims."""
    bomb = zero_stream(1024)
    step = len(bomb) // 4096 + 1
    bombs = {
        "bomb many parts": SIGNATURE + ihdr(30000, 30000, 8, 6)
        + b"".join(chunk(b"IDAT", bomb[i:i + step]) for i in range(0, len(bomb), step)) + IEND,
        "bomb one pixel": SIGNATURE + ihdr(1, 1) + chunk(b"IDAT", bomb) + IEND,
    }
    names = []
    for i, (name, (data, _)) in enumerate(WORST_CASES.items()):
        (tmp_path / f"{i}.bin").write_bytes(data if data is not None else bombs[name])
        names.append(str(tmp_path / f"{i}.bin"))
    # VmHWM, the peak of the child's own memory: its ru_maxrss would start from this test process's RSS. The
    # child's address space is limited too, so that nothing may even reserve what a header claims.
    code = textwrap.dedent(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        from Vorlant.tavrel_ext import Tavrel, _writePng, _writeBmp

        def peak():
            with open("/proc/self/status") as status:
                return next(int(line.split()[1]) // 1024 for line in status if line.startswith("VmHWM:"))

        base = peak()
        for path in {names!r}:
            for source in (path, open(path, "rb").read()):
                try:
                    Tavrel.open(source)
                    outcome = "accepted"
                except Exception as e:
                    outcome = type(e).__name__ + ":" + str(e)
                print(outcome)
        # dimensions that claim far more than the buffers handed in
        for call in (lambda: Tavrel(2**31 - 1, 2**31 - 1, b""),
                     lambda: _writePng({str(tmp_path / "w.png")!r}, 2**31 - 1, 2**31 - 1, b""),
                     lambda: _writeBmp({str(tmp_path / "w.bmp")!r}, 1, 2**29, b"")):
            try:
                call()
                print("accepted")
            except Exception as e:
                print(type(e).__name__)
        print(base, peak())
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    want = [outcome for _, outcome in WORST_CASES.values() for _ in range(2)]
    assert lines[:len(want)] == want
    assert lines[len(want):-1] == ["ValueError", "ValueError", "IndexError"]
    base, peak = map(int, lines[-1].split())
    assert peak - base < 64, f"peak RSS grew by {peak - base} MiB"


def test_large_chunks_and_rows_read_from_files(tmp_path, capsys):
    """Data larger than the pieces a file is read in comes back whole and in order, and a file that ends inside
    such data is refused as from bytes."""
    text = bytes(range(256)) * (20 << 12)                # 20 MiB
    png = make_png(2, 2, 3, before=[chunk(b"tEXt", text)])
    width = (6 << 20) + 1                                 # a stored row of 18 MiB and 4 bytes
    rgb = bytes([1, 2, 3]) * (width - 1) + b"\x04\x05\x06"
    bmp = bmp_header(width, 1) + bytes([3, 2, 1]) * (width - 1) + b"\x06\x05\x04" + b"\x00"
    for data in (png, bmp):
        path = tmp_path / "big"
        for cut in (len(data), len(data) - 5):
            path.write_bytes(data[:cut])
            assert open_outcome(str(path)) == open_outcome(data[:cut])
    path.write_bytes(png)
    assert Tavrel.open(str(path))._png_chunks[1] == (b"tEXt", text, len(text))
    path.write_bytes(bmp)
    assert Tavrel.open(str(path))._pixels == rgb
    capsys.readouterr()
