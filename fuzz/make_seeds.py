"""Writes small PNG and BMP files with the module into OUTDIR/png and OUTDIR/bmp: seeds for the fuzzers.

Usage: python fuzz/make_seeds.py OUTDIR
Covers RGB and RGBA, every filter type, several IDAT chunks (including an empty one), ancillary chunks, widths around
the SIMD step sizes, empty images, and BMP rows with and without padding, bottom-up and top-down.
"""
import random
import struct
import sys
import zlib
from pathlib import Path

from Vorlant.tavrel_ext import Tavrel


def image(width, height, alpha, filters, rng):
    pixels = bytes(rng.randrange(256) for _ in range(width * height * 3))
    plane = bytes(rng.randrange(256) for _ in range(width * height)) if alpha else None
    return Tavrel(width, height, pixels, plane, None, None, bytes(filters[y % len(filters)] for y in range(height)))


def chunked(img, idat_sizes, extra):
    """The same image with a kept chunk list: IHDR, extra chunks, IDAT records of the given sizes, IEND."""
    color = 6 if img._alpha is not None else 2
    ihdr = struct.pack(">IIBBBBB", img.width, img.height, 8, color, 0, 0, 0)
    chunks = [(b"IHDR", ihdr, 13), *extra, *[(b"IDAT", None, n) for n in idat_sizes], (b"IEND", b"", 0)]
    return Tavrel(img.width, img.height, img._pixels, img._alpha, chunks, None, img._png_filters)


def main(out):
    rng = random.Random(7)
    png_dir, bmp_dir = out / "png", out / "bmp"
    png_dir.mkdir(parents=True, exist_ok=True)
    bmp_dir.mkdir(parents=True, exist_ok=True)
    for width, height in [(1, 1), (3, 2), (5, 4), (16, 3), (17, 5), (33, 2), (0, 3), (4, 0)]:
        for alpha in (False, True):
            img = image(width, height, alpha, [0, 1, 2, 3, 4], rng)
            img.save(str(png_dir / f"w{width}h{height}{'a' if alpha else ''}.png"))
            img.saveBmp(str(bmp_dir / f"w{width}h{height}.bmp"))
    extra = [(b"tEXt", b"Comment\x00seed", 12), (b"gAMA", struct.pack(">I", 45455), 4)]
    for alpha in (False, True):
        img = image(9, 7, alpha, [4, 3, 2, 1, 0], rng)
        chunked(img, [20, 0, 15, 40], extra).save(str(png_dir / f"multi{'a' if alpha else ''}.png"))
    # A file with an IDAT whose data cannot fill the image it claims.
    data = (png_dir / "w1h1.png").read_bytes()
    ihdr = struct.pack(">IIBBBBB", 40000, 40000, 8, 2, 0, 0, 0)
    big = data[:16] + ihdr + struct.pack(">I", zlib.crc32(b"IHDR" + ihdr)) + data[33:]
    (png_dir / "claims_more.png").write_bytes(big)
    # A top-down BMP: the height field negated, rows kept in their stored order.
    bmp = bytearray((bmp_dir / "w5h4.bmp").read_bytes())
    bmp[22:26] = struct.pack("<i", -4)
    (bmp_dir / "w5h4_topdown.bmp").write_bytes(bytes(bmp))
    print(f"wrote {sum(1 for p in out.rglob('*') if p.is_file())} seed files into {out}")


if __name__ == "__main__":
    main(Path(sys.argv[1]))
