"""Atheris harness over the Python surface: Tavrel.open on arbitrary bytes, then save, saveBmp and re-open.

Opening may only fail with the exceptions the module documents for bad data: ValueError (its own checks, the image
constructor's length checks), struct.error (an IHDR that is not 13 bytes, a short BMP info header), zlib.error (image
data that is not a complete zlib stream) and OverflowError (an IHDR width or height of 2**31 or more, a BMP pixel
buffer too large to index). An image that opens must save: `save` writes the source's format, `saveBmp` a BMP; the
one documented failure is struct.error for a BMP header value that does not fit its unsigned field (a negative
resolution, or a negative width over a height of 0, both of which the reader accepts). Every file written must re-open
to the same size and pixels; a PNG also to the same alpha plane, filter bytes and chunks (IDAT sizes aside, and IHDR
data as the writer rewrites it from the image), a BMP to the same header values.

Usage: python fuzz/atheris_open.py [libFuzzer flags] [CORPUS_DIR ...]
"""
import os
import struct
import sys
import tempfile
import zlib

import atheris

with atheris.instrument_imports():
    from Vorlant.tavrel_ext import Tavrel

OPEN_ERRORS = (ValueError, struct.error, zlib.error, OverflowError)
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
WORKDIR = tempfile.mkdtemp(prefix="tavrel-atheris-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
PATH = os.path.join(WORKDIR, "out")


def kept_chunks(img):
    """The chunk records a re-open must give back: IDAT sizes aside (they follow the new compressed length), and every
    IHDR as the writer puts it out, rewritten from the image's own size and alpha plane."""
    ihdr = struct.pack(">IIBBBBB", img.width, img.height, 8, 2 if img._alpha is None else 6, 0, 0, 0)
    return [(t, ihdr if t == b"IHDR" else d, 13 if t == b"IHDR" else n) for t, d, n in img._png_chunks if t != b"IDAT"]


def reopen(img, write):
    """Writes img with write(path) and opens the file again; None when the write fails as documented."""
    try:
        write(PATH)
    except struct.error:
        # Only a BMP header value outside its unsigned field may refuse to be written.
        header = img._bmp_header or {}
        values = [img.width, img.height, header.get("xppm", 0), header.get("yppm", 0)]
        assert min(values) < 0, (values, header)
        return None
    return Tavrel.open(PATH)


def TestOneInput(data):
    try:
        img = Tavrel.open(data)
    except OPEN_ERRORS:
        return
    assert len(img._pixels) == img.width * img.height * 3

    again = reopen(img, img.save)
    if again is not None:
        assert (again.width, again.height, again._pixels) == (img.width, img.height, img._pixels)
        assert again._alpha == img._alpha
        if img._png_chunks is not None:
            assert again._png_filters == img._png_filters
            assert kept_chunks(again) == kept_chunks(img)
        else:
            assert again._bmp_header == img._bmp_header

    as_bmp = reopen(img, img.saveBmp)
    if as_bmp is not None:
        # A BMP keeps no alpha, and its width and height are written as they are.
        assert (as_bmp.width, as_bmp.height, as_bmp._pixels) == (img.width, img.height, img._pixels)
        assert as_bmp._alpha is None


def fix_crcs(data):
    """The PNG in data with the CRC of every complete chunk rewritten; anything else unchanged."""
    if not data.startswith(PNG_SIGNATURE):
        return data
    out = bytearray(data)
    pos = len(PNG_SIGNATURE)
    while len(out) - pos >= 12:
        (length,) = struct.unpack_from(">I", out, pos)
        end = pos + 8 + length
        if end + 4 > len(out):
            break
        struct.pack_into(">I", out, end, zlib.crc32(out[pos + 4:end]))
        pos = end + 4
    return bytes(out)


def CustomMutator(data, max_size, seed):
    """A mutated chunk rarely keeps a matching CRC and the reader stops at the first one that does not match: most
    mutated PNGs get their CRCs rewritten so that mutations reach the header checks, the image data and the writers;
    one in sixteen keeps them as mutated, so that the CRC check stays covered."""
    data = atheris.Mutate(data, max_size)
    return data if seed % 16 == 0 else fix_crcs(data)


def main():
    # Every image opened writes a line to standard output; the harness has no use for them.
    sys.stdout = open(os.devnull, "w")  # noqa: SIM115 (kept open for the whole run)
    atheris.Setup(sys.argv, TestOneInput, custom_mutator=CustomMutator)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
