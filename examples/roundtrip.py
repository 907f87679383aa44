"""Round trip of an image through Vorlant.tavrel_ext: open, change pixels, save.

With no argument, makes its own sample PNG (a gradient with an alpha plane, a
text chunk and the image data cut into several IDAT chunks), written with the
module's own writers into a temporary folder. Given a PNG or BMP path, works
on that file and writes the result beside it (name.roundtrip.png/.bmp).

Prints, side by side, the chunk sequence (or BMP header) of source and result
and the pixels that were changed.
"""

from __future__ import annotations

import io
import struct
import sys
import tempfile
from pathlib import Path

from Vorlant import tavrel_ext
from Vorlant.tavrel_ext import Tavrel

WIDTH, HEIGHT = 160, 120


def make_sample(path: Path) -> None:
    """Writes the sample PNG with the module's chunk-preserving writer."""
    pixels = bytearray()
    alpha = bytearray()
    for y in range(HEIGHT):
        for x in range(WIDTH):
            pixels += bytes((x * 255 // (WIDTH - 1), y * 255 // (HEIGHT - 1), (x + y) % 256))
            alpha.append(255 - (x * 200 // WIDTH))
    ihdr = struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 6, 0, 0, 0)
    text = b"Comment\x00Made by the Vorlant round-trip example"
    chunks = [
        (b"IHDR", ihdr, len(ihdr)),
        (b"tEXt", text, len(text)),
        (b"IDAT", None, 4096),
        (b"IDAT", None, 4096),
        (b"IDAT", None, 4096),
        (b"IEND", b"", 0),
    ]
    # Every PNG filter type, row after row.
    filters = bytearray(y % 5 for y in range(HEIGHT))
    tavrel_ext._writePngWithChunks(str(path), WIDTH, HEIGHT, pixels, alpha, chunks, filters)


def png_layout(path: Path) -> list[str]:
    """The chunk sequence of a PNG file, with the data size of each chunk."""
    stream = io.BytesIO(path.read_bytes())
    stream.read(8)
    lines: list[str] = []
    while True:
        ctype, data = tavrel_ext._readChunk(stream)
        if ctype == b"":
            return lines
        lines.append(f"{ctype.decode('latin-1')} {len(data):>6} bytes")


def bmp_layout(path: Path) -> list[str]:
    """The header fields of a BMP file."""
    data = path.read_bytes()
    size, _, _, offset = struct.unpack("<IHHI", data[2:14])
    fields = struct.unpack("<IiiHHIIiiII", data[14:54])
    names = ("header", "width", "height", "planes", "bits", "compression", "imageSize",
             "xppm", "yppm", "clrUsed", "clrImportant")
    return [f"fileSize = {size}", f"dataOffset = {offset}"] + [f"{n} = {v}" for n, v in zip(names, fields, strict=True)]


def layout(path: Path) -> list[str]:
    with open(path, "rb") as f:
        is_png = f.read(8) == tavrel_ext.PNG_SIGNATURE
    return png_layout(path) if is_png else bmp_layout(path)


def change_pixels(image: Tavrel) -> list[tuple[int, int]]:
    """Inverts a small square near the centre; returns the changed coordinates."""
    changed = []
    side = max(1, min(image.width, image.height) // 8)
    x0, y0 = (image.width - side) // 2, (image.height - side) // 2
    for y in range(y0, y0 + side):
        for x in range(x0, x0 + side):
            r, g, b = image.getPixel((x, y))
            image.putPixel((x, y), (255 - r, 255 - g, 255 - b))
            changed.append((x, y))
    return changed


def side_by_side(title_left: str, left: list[str], title_right: str, right: list[str]) -> None:
    width = max([len(title_left)] + [len(line) for line in left]) + 4
    print(f"{title_left:<{width}}{title_right}")
    for i in range(max(len(left), len(right))):
        a = left[i] if i < len(left) else ""
        b = right[i] if i < len(right) else ""
        print(f"{a:<{width}}{b}")


def roundtrip(source: Path, target: Path) -> int:
    image = Tavrel.open(str(source))
    changed = change_pixels(image)
    image.save(str(target))
    result = Tavrel.open(str(target))

    print()
    side_by_side(f"source: {source.name}", layout(source), f"result: {target.name}", layout(target))

    original = Tavrel.open(str(source))
    differs = [
        (x, y)
        for y in range(result.height)
        for x in range(result.width)
        if result.getPixel((x, y)) != original.getPixel((x, y))
    ]
    print()
    print(f"pixels changed: {len(differs)} of {result.width * result.height}")
    if differs:
        xs = [x for x, _ in differs]
        ys = [y for _, y in differs]
        print(f"changed region: x {min(xs)}..{max(xs)}, y {min(ys)}..{max(ys)}")
        x, y = differs[0]
        print(f"first changed pixel ({x}, {y}): {original.getPixel((x, y))} -> {result.getPixel((x, y))}")
    same_alpha = result._alpha == original._alpha
    same_filters = result._png_filters == original._png_filters
    print(f"alpha plane kept: {same_alpha}; row filter types kept: {same_filters}")
    ok = set(differs) == set(changed) and same_alpha and same_filters
    print("round trip:", "OK" if ok else "MISMATCH")
    return 0 if ok else 1


def main(argv: list[str]) -> int:
    if len(argv) > 1:
        source = Path(argv[1])
        target = source.with_name(f"{source.stem}.roundtrip{source.suffix or '.png'}")
        return roundtrip(source, target)
    with tempfile.TemporaryDirectory() as folder:
        source = Path(folder) / "sample.png"
        make_sample(source)
        return roundtrip(source, Path(folder) / "sample.roundtrip.png")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
