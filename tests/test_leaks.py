"""Leaks: long loops of opening, saving, pixel access, the chunk functions, and failures of every kind leave
memory where it was, measured by tracemalloc (the interpreter's allocations), by the count of objects the
collector tracks, and by the resident set size (allocations of the module's own and of zlib)."""

import gc
import io
import os
import pickle
import struct
import sys
import tracemalloc
import zlib

import pytest

import Vorlant.tavrel_ext as m
from Vorlant.tavrel_ext import Tavrel

from imagedata import SIGNATURE, chunk, ihdr, make_bmp, make_png

SANITIZED = bool(os.environ.get("TAVREL_SANITIZED"))
# Under a sanitizer every allocation is slower and freed memory is held in quarantine: fewer rounds, no RSS check.
ROUNDS = 10_000 if SANITIZED else 100_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Sink:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.fixture(autouse=True)
def quiet(monkeypatch):
    """Opening prints a line per image: sent nowhere for the loops."""
    monkeypatch.setattr(sys, "stdout", Sink())


def assert_no_growth(step, rounds, warmup=2_000, traced_limit=64 * 1024, rss_limit=8 << 20):
    """Runs `step(i)` `rounds` times after a warm-up; a single object or buffer kept per round adds up past the
    limits."""
    for i in range(warmup):
        step(i)
    gc.collect()
    objects = len(gc.get_objects())
    rss = rss_bytes()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    for i in range(rounds):
        step(i)
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    assert grown < traced_limit, f"{grown} bytes kept by the interpreter's allocator"
    assert len(gc.get_objects()) - objects < 50
    if not SANITIZED:
        assert rss_bytes() - rss < rss_limit, f"RSS grew by {(rss_bytes() - rss) >> 10} KiB"


SOURCES = [
    make_png(3, 2, 3, filters=[1, 4]),
    make_png(4, 3, 4, filters=[0, 2, 3], idat_sizes=[5, 0, 9], before=[chunk(b"tEXt", b"k\x00v")],
             after=[chunk(b"zzZz", b"x")]),
    make_png(2, 2, 3, iend=False),
    make_bmp(3, 2, bytes(range(18))),
    make_bmp(2, 2, bytes(range(12)), top_down=True, offset=60),
]


def test_opening_does_not_leak():
    def step(i):
        source = SOURCES[i % len(SOURCES)]
        img = Tavrel.open(source if i % 2 else bytearray(source))
        if i % 3 == 0:
            Tavrel._streamToImage(io.BytesIO(source))
        elif i % 3 == 1:
            img.copy()

    assert_no_growth(step, ROUNDS)


def test_pixel_access_does_not_leak():
    img = Tavrel.open(SOURCES[1])

    failing = [lambda: img.getPixel((4, 0)), lambda: img.getPixel((0.0, 0)), lambda: img.getPixel([0, 0]),
               lambda: img.putPixel((0, 0), (1, 2, 3, 4)), lambda: img.putPixel((0, 0), (1, "x", 3)),
               lambda: img.getPixel((2**80, 0)), lambda: img.putPixel((0, 0), iter((1,)))]

    def step(i):
        x, y = i % 4, i % 3
        img.getPixel((x, y))
        img.putPixel((x, y), (i, i >> 8, 300))
        kind = i % 4
        if kind == 0:
            img.putPixel((x, y), [1.5, "7", True])
        elif kind == 1:
            img.putPixel((x, y), (v for v in (1, 2, 3)))
        elif kind == 2:
            img.getPixel((True, 2**70 - 2**70))
        try:
            failing[i % len(failing)]()
        except (ValueError, TypeError):
            pass

    assert_no_growth(step, ROUNDS)


def test_chunk_functions_do_not_leak():
    framed = chunk(b"tEXt", b"key\x00value") + chunk(b"IEND", b"")
    data = bytes(100)

    def step(i):
        stream = io.BytesIO(framed)
        m._readChunk(stream)
        m._readChunk(stream)
        m._readChunk(stream)
        m._makeChunk(b"IDAT", data)
        m._split_idat_payload(data, [30, 0, 30, 30])
        m._split_idat_payload(data, [2**70, 5.0 if i % 2 else 7])   # the generic path

    assert_no_growth(step, ROUNDS)


def test_saving_does_not_leak():
    """Each round saves a plain PNG, a PNG with its source's chunks and two BMPs through the host's open(), to
    the null device (a file on disk costs milliseconds per save here); a fifth of the rounds of the other loops."""
    path = os.devnull
    plain = Tavrel(3, 2, bytes(range(18)), bytes(6), png_filters=b"\x01\x04")
    kept = Tavrel.open(SOURCES[1])
    bmp = Tavrel.open(SOURCES[3])

    def step(i):
        plain.save(path)
        kept.save(path)
        bmp.save(path)
        kept.saveBmp(path)

    assert_no_growth(step, ROUNDS // 5, warmup=500)


class Boom(Exception):
    pass


class RaisingStream:
    def read(self, n):
        raise Boom()

    def seek(self, pos):
        return 0


class StrStream:
    def read(self, n):
        return "text"


def failing_calls(tmp_path):
    missing = str(tmp_path / "no" / "such" / "dir.png")
    img = Tavrel.open(SOURCES[1])
    png = SOURCES[0]
    corrupt = [
        png[:20] + bytes([png[20] ^ 1]) + png[21:],                                     # CRC
        SIGNATURE + ihdr(1, 1) + chunk(b"IDAT", b"\x78\x9c\xff\xff") + chunk(b"IEND", b""),   # zlib.error
        SIGNATURE + ihdr(5, 5) + chunk(b"IDAT", zlib.compress(b"\x00")) + chunk(b"IEND", b""),  # malformed
        SIGNATURE + ihdr(1, 1) + chunk(b"IDAT", zlib.compress(b"\x07abc")),               # filter 7
        SIGNATURE + chunk(b"IHDR", b"short"),                                              # struct.error
        SIGNATURE + ihdr(2**31, 1),                                                        # OverflowError
        png[:-7], make_bmp(3, 2, bytes(18))[:-4], b"BM" + bytes(20), b"GIF89a",
        make_bmp(2, 2, bytes(12), bits=32),
    ]
    calls = [lambda data=data: Tavrel.open(data) for data in corrupt] + [
        lambda: Tavrel.open(missing),
        lambda: Tavrel.open(str(tmp_path)),                      # a directory
        lambda: Tavrel.open(memoryview(png)),
        lambda: Tavrel._streamToImage(RaisingStream()),
        lambda: Tavrel._streamToImage(StrStream()),
        lambda: m._readChunk(io.BytesIO(b"\x00\x00")),
        lambda: m._makeChunk(bytearray(b"IDAT"), b""),
        lambda: m._makeChunk(b"IDAT"),
        lambda: m._split_idat_payload(None, []),
        lambda: m._split_idat_payload(b"abc", [None]),
        lambda: Tavrel(2, 2, bytes(11)),
        lambda: Tavrel(2, 1, bytes(6), bytes(3)),
        lambda: Tavrel(2, 1, bytes(6), png_filters=[1, 2]),
        lambda: Tavrel("2", 1, bytes(6)),
        lambda: Tavrel(2**31, 1, b""),
        lambda: Tavrel(2, 1, bytes(6), bmp_header=5),
        lambda: Tavrel(2, 1, bytes(6), nonsense=1),
        lambda: m._writePng(missing, 2, 1, bytes(6)),                                  # OSError from open
        lambda: m._writePng(missing, 2, 1, bytes(5)),
        lambda: m._writePng(missing, 2, 1, bytes(6), b"\x00\x00"),                      # BufferError
        lambda: m._writePng(missing, -1, -1, bytes(3)),                                # struct.error
        lambda: m._writePng(missing, 1, 1, bytes(3), None, bytearray([9])),
        lambda: m._writePngWithChunks(missing, 2, 1, bytes(6), None, [(b"IEND", b"", 0)]),
        lambda: m._writePngWithChunks(missing, 2, 1, bytes(6), None, [(b"IEND", b"")]),
        lambda: m._writePngWithChunks(missing, 2, 1, bytes(6), None, [("tEXt", b"", 0)]),
        lambda: m._writeBmp(missing, 2, 1, bytes(6)),
        lambda: m._writeBmp(missing, 2, 1, bytes(6), {"xppm": -1}),
        lambda: m._writeBmp(missing, 2, 2, bytes(6)),
        lambda: m._writeBmp(missing, 2, 1, bytes(6), 5),
        lambda: img.save(missing),
        lambda: img.saveBmp(missing),
        lambda: img.save(b"path"),
        lambda: img.getPixel(None),
        lambda: setattr(img, "width", "x"),
        lambda: setattr(img, "_pixels", b"abc"),
        lambda: delattr(img, "height"),
        lambda: Tavrel(1, 1, bytes(3), png_chunks=[(b"IEND", b"", 0)], alpha=bytes(1)).copy().__reduce__(),
        lambda: pickle.dumps(img),
        lambda: Tavrel.copy(5),
    ]
    return calls


def test_failures_do_not_leak(tmp_path):
    calls = failing_calls(tmp_path)
    expected = (ValueError, TypeError, OverflowError, struct.error, zlib.error, OSError, BufferError, IndexError,
                AttributeError, NotImplementedError, Boom)

    def step(i):
        try:
            calls[i % len(calls)]()
        except expected:
            return
        raise AssertionError(f"call {i % len(calls)} succeeded")

    assert_no_growth(step, ROUNDS)
