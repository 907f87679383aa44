"""Builders of PNG and BMP bytes for tests, written with struct and zlib only, and the host's own errors to
compare messages with."""

import struct
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def chunk(ctype: bytes, data: bytes, crc: int | None = None) -> bytes:
    if crc is None:
        crc = zlib.crc32(data, zlib.crc32(ctype)) & 0xFFFFFFFF
    return struct.pack(">I", len(data)) + ctype + data + struct.pack(">I", crc)


def ihdr(width, height, depth=8, ctype=2, comp=0, filt=0, interlace=0) -> bytes:
    return chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, ctype, comp, filt, interlace))


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_rows(rows, bpp, filters):
    """Filters unfiltered rows (lists of bytes) with the given per-row types."""
    out = bytearray()
    prev = bytes(len(rows[0])) if rows else b""
    for row, ft in zip(rows, filters, strict=True):
        out.append(ft)
        for i, v in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            pred = [0, a, b, (a + b) // 2, paeth(a, b, c)][ft]
            out.append((v - pred) & 0xFF)
        prev = row
    return bytes(out)


def make_rows(width, height, channels, seed=1):
    """Deterministic pseudo-random unfiltered rows."""
    state = seed
    rows = []
    for _ in range(height):
        row = bytearray()
        for _ in range(width * channels):
            state = (state * 1103515245 + 12345) & 0x7FFFFFFF
            row.append(state >> 16 & 0xFF)
        rows.append(bytes(row))
    return rows


def make_png(width, height, channels=3, filters=None, rows=None, idat_sizes=None, before=(), after=(),
             iend=True, raw=None):
    """A PNG of the given rows; `idat_sizes` cuts the compressed data into several IDAT chunks."""
    if rows is None:
        rows = make_rows(width, height, channels)
    if filters is None:
        filters = [0] * height
    if raw is None:
        raw = filter_rows(rows, channels, filters)
    data = zlib.compress(raw)
    parts = []
    if idat_sizes:
        pos = 0
        for n in idat_sizes:
            parts.append(data[pos:pos + n])
            pos += n
        parts[-1] += data[pos:]
    else:
        parts = [data]
    out = SIGNATURE + ihdr(width, height, 8, 2 if channels == 3 else 6)
    out += b"".join(before)
    out += b"".join(chunk(b"IDAT", p) for p in parts)
    out += b"".join(after)
    if iend:
        out += chunk(b"IEND", b"")
    return out


def split_pixels(rows, channels):
    """(rgb, alpha or None) of unfiltered rows."""
    rgb = bytearray()
    alpha = bytearray() if channels == 4 else None
    for row in rows:
        for i in range(0, len(row), channels):
            rgb += row[i:i + 3]
            if alpha is not None:
                alpha.append(row[i + 3])
    return rgb, alpha


def make_bmp(width, height, rgb, xppm=2835, yppm=2835, clr_used=0, clr_important=0, top_down=False,
             offset=54, pad=b"\x00", header_size=40, planes=1, bits=24, compression=0):
    """A 24-bit BMP of `rgb` (top row first); `offset` past 54 leaves filler bytes."""
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(width):
            i = (y * width + x) * 3
            row += bytes((rgb[i + 2], rgb[i + 1], rgb[i]))
        row += pad * (stride - len(row))
        rows.append(bytes(row))
    if not top_down:
        rows.reverse()
    body = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", header_size, width, -height if top_down else height, planes, bits,
                       compression, len(body), xppm, yppm, clr_used, clr_important)
    head = b"BM" + struct.pack("<IHHI", offset + len(body), 0, 0, offset)
    filler = b"\xee" * (offset - 54)
    return head + info + filler + body


def host_error(call):
    """The exception the running host itself raises for `call`, to compare messages with."""
    try:
        call()
    except Exception as e:  # noqa: BLE001 - the host's own error is what we compare against
        return e
    raise AssertionError("the host accepted what it was expected to refuse")
