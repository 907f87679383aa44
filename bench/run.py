"""Benchmark of Vorlant.tavrel_ext against the modules people use to open and save images today.

Peers (the `bench` extra): Pillow, OpenCV and pyspng. Floors: zlib.decompress / zlib.compress of the same scanlines
and a plain copy of the pixel buffer. Everything is measured interleaved in one run (round after round, every
contender once per round, best of the rounds), so the figures are ratios between neighbours in time, not absolute
times, which on a shared machine are noise.

    .venv/bin/pip install -e '.[bench]'      # or: pip install '.[bench]'
    .venv/bin/python bench/run.py --write    # 256, 1024 and 4096 pixels square: about ten minutes
    .venv/bin/python bench/run.py --quick    # 256 and 1024 only, printed

Prints the report; only --write writes it to bench/RESULTS.md with the chart bench/RESULTS.png (or into --out DIR).
Also measured: opening 16 files on a thread pool of 1 and 2 workers, the longest stall of another thread while a
4096² image is opened and saved, and scikit-image's sample photographs as shipped and re-encoded by Pillow.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import datetime
import gc
import io
import operator
import os
import platform
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import timeit
import zlib
from dataclasses import dataclass, field
from pathlib import Path

# NumPy's BLAS threads would spin beside the measurements and be charged to them.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import cv2
import numpy as np
import PIL
import pyspng
import skimage
from PIL import Image

from Vorlant.tavrel_ext import Tavrel

HERE = Path(__file__).resolve().parent


# ------------------------------------------------------------------ the images

def photo_pixels(size: int, channels: int) -> np.ndarray:
    """Photo-like content: smooth gradients and waves with noise on every sample."""
    rng = np.random.default_rng(size * 10 + channels)
    v, u = np.mgrid[0:size, 0:size].astype(np.float32) / size
    planes = [
        128 + 90 * np.sin(2 * np.pi * (1.5 * u + 0.5 * v)),
        40 + 180 * v,
        200 - 150 * u * v + 30 * np.cos(6 * np.pi * u),
    ]
    if channels == 4:
        planes.append(255 - 200 * np.hypot(u - 0.5, v - 0.5))
    img = np.stack(planes, axis=-1)
    img += rng.integers(-6, 7, size=img.shape, dtype=np.int8)
    return np.clip(img, 0, 255).astype(np.uint8)


def flat_pixels(size: int, channels: int) -> np.ndarray:
    """Flat synthetic content: rectangles of a few solid colours with thin lines, as in diagrams and screenshots."""
    palette = np.array(
        [[255, 255, 255, 255], [30, 30, 30, 255], [220, 40, 40, 255], [40, 160, 60, 0],
         [40, 80, 200, 128], [250, 200, 0, 255], [120, 120, 120, 200], [0, 180, 200, 255]],
        dtype=np.uint8,
    )
    block = max(size // 8, 1)
    y, x = np.mgrid[0:size, 0:size]
    index = (x // block + 3 * (y // block)) % len(palette)
    index[(x % block) < 2] = 1
    index[(y % (block // 2 or 1)) == 0] = 6
    return palette[index][..., :channels].copy()


@dataclass
class Sample:
    content: str          # "photo" or "flat"
    channels: int         # 3 or 4
    size: int
    pixels: np.ndarray    # h x w x channels
    png: bytes = b""      # as Pillow writes it (IDAT chunks of up to 64 KiB)
    png_cut: bytes = b""  # the same chunks with the image data cut into 8 KiB IDAT chunks
    bmp: bytes = b""      # 24-bit BMP of the RGB samples
    idat: bytes = b""     # the zlib stream
    scanlines: bytes = b""

    @property
    def mode(self) -> str:
        return "RGBA" if self.channels == 4 else "RGB"

    @property
    def label(self) -> str:
        return f"{self.content} {self.mode} {self.size}"


def png_chunks(data: bytes):
    pos = 8
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        yield data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        pos += 12 + length


def make_chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def cut_idat(png: bytes, part: int) -> bytes:
    out = [png[:8]]
    idat = b"".join(d for t, d in png_chunks(png) if t == b"IDAT")
    for kind, data in png_chunks(png):
        if kind == b"IDAT":
            if idat:
                out.extend(make_chunk(b"IDAT", idat[i:i + part]) for i in range(0, len(idat), part))
                idat = b""
        else:
            out.append(make_chunk(kind, data))
    return b"".join(out)


def make_sample(content: str, channels: int, size: int) -> Sample:
    pixels = (photo_pixels if content == "photo" else flat_pixels)(size, channels)
    s = Sample(content, channels, size, pixels)
    im = Image.fromarray(pixels, "RGBA" if channels == 4 else "RGB")
    buf = io.BytesIO()
    im.save(buf, "PNG")  # Pillow's defaults: level 6, adaptive (per-row mixed) filters
    s.png = buf.getvalue()
    s.png_cut = cut_idat(s.png, 8192)
    s.idat = b"".join(d for t, d in png_chunks(s.png) if t == b"IDAT")
    s.scanlines = zlib.decompress(s.idat)
    buf = io.BytesIO()
    im.convert("RGB").save(buf, "BMP")
    s.bmp = buf.getvalue()
    return s


# ------------------------------------------------------------------ timing

# CPU time of the process (every thread, user and system), not wall time: the other work on a shared machine
# preempts us at random, which wall time charges to whoever was running and CPU time does not. Page faults and
# file-system work are system time and count.
clock = time.process_time

def calibrate(fn) -> int:
    """Calls per sample so that one sample takes at least 20 ms (the first call also warms caches and allocators)."""
    t0 = clock()
    fn()
    t = clock() - t0
    return max(1, min(1000, int(0.02 / max(t, 1e-7))))


def race(contenders: dict, rounds: int) -> dict:
    """Best time per call of each contender, the contenders interleaved round by round."""
    counts = {name: calibrate(fn) for name, fn in contenders.items()}
    best = {name: float("inf") for name in contenders}
    gc.collect()
    gc.disable()
    try:
        for _ in range(rounds):
            for name, fn in contenders.items():
                n = counts[name]
                t0 = clock()
                for _ in range(n):
                    fn()
                best[name] = min(best[name], (clock() - t0) / n)
    finally:
        gc.enable()
    return best


def rounds_for(size: int, base: int) -> int:
    return base if size <= 1024 else max(3, base - 2)


@contextlib.contextmanager
def quiet_stdout():
    """The module logs one line per image opened; thousands of them would bury the progress line."""
    with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
        yield


class Progress:
    def __init__(self, total: int):
        self.total, self.done, self.start = total, 0, time.perf_counter()

    def step(self, label: str) -> None:
        self.done += 1
        elapsed = time.perf_counter() - self.start
        bar = "#" * (30 * self.done // self.total)
        sys.stderr.write(f"\r[{bar:<30}] {self.done}/{self.total} {elapsed:5.0f}s  {label:<40}")
        sys.stderr.flush()

    def close(self) -> None:
        sys.stderr.write("\n")


# ------------------------------------------------------------------ the figures

@dataclass
class Results:
    png_open: list = field(default_factory=list)   # rows: sample, variant, source, times
    png_save: list = field(default_factory=list)
    bmp: list = field(default_factory=list)
    pixel: dict = field(default_factory=dict)
    memory: list = field(default_factory=list)
    pool: dict = field(default_factory=dict)       # contender -> {workers: seconds for the 16 files}
    stall: dict = field(default_factory=dict)      # (operation, contender) -> longest stall in seconds
    photos: list = field(default_factory=list)     # rows: name, variant, file size, open times, save times


def open_calls(data: bytes, spath: str) -> dict:
    """Opening the same file from its bytes and from its path: ours, Pillow's and OpenCV's."""
    arr = np.frombuffer(data, np.uint8)
    return {
        "ours": lambda: Tavrel.open(data),
        "ours (path)": lambda: Tavrel.open(spath),
        "Pillow": lambda: Image.open(io.BytesIO(data)).load(),
        "Pillow (path)": lambda: Image.open(spath).load(),
        "OpenCV": lambda: cv2.imdecode(arr, cv2.IMREAD_UNCHANGED),
        "OpenCV (path)": lambda: cv2.imread(spath, cv2.IMREAD_UNCHANGED),
    }


def bench_png_open(s: Sample, tmp: Path, rounds: int, res: Results) -> None:
    for variant, data in (("Pillow's IDATs", s.png), ("8 KiB IDATs", s.png_cut)):
        path = tmp / f"open-{s.content}-{s.mode}-{s.size}.png"
        path.write_bytes(data)
        spath = str(path)
        times = race({
            **open_calls(data, spath),
            "pyspng": lambda: pyspng.load(data),
            "pyspng (path)": lambda: pyspng.load(path.read_bytes()),
            "zlib.decompress": lambda: zlib.decompress(s.idat),
        }, rounds)
        res.png_open.append((s, variant, len(data), times))


def bench_png_save(s: Sample, tmp: Path, rounds: int, res: Results) -> None:
    img = Tavrel.open(s.png)
    fresh = Tavrel(s.size, s.size, bytearray(s.pixels[..., :3].tobytes()),
                   bytearray(s.pixels[..., 3].tobytes()) if s.channels == 4 else None)
    rows = s.pixels.reshape(s.size, -1)
    plain = np.concatenate([np.zeros((s.size, 1), np.uint8), rows], axis=1).tobytes()  # every row filter None
    pim = Image.open(io.BytesIO(s.png))
    pim.load()
    bgr = cv2.imdecode(np.frombuffer(s.png, np.uint8), cv2.IMREAD_UNCHANGED)
    out = {k: str(tmp / f"save-{k}.png") for k in ("ours", "fresh", "pil", "cv", "floor")}
    times = race({
        "ours": lambda: img.save(out["ours"]),
        "ours (fresh image)": lambda: fresh.save(out["fresh"]),
        "Pillow": lambda: pim.save(out["pil"], "PNG", compress_level=6),
        "OpenCV": lambda: cv2.imwrite(out["cv"], bgr, [cv2.IMWRITE_PNG_COMPRESSION, 6]),
        "zlib.compress": lambda: zlib.compress(s.scanlines),
        "zlib.compress (filter None)": lambda: zlib.compress(plain),
        "file write": lambda: write_file(out["floor"], s.png),
    }, rounds)
    # Unchanged, so the same file comes back; the IDAT data is the host's zlib.compress of the same scanlines.
    written = Path(out["ours"]).read_bytes()
    same = b"".join(d for t, d in png_chunks(written) if t == b"IDAT") == zlib.compress(s.scanlines)
    res.png_save.append((s, times, same))


def write_file(path: str, data: bytes) -> None:
    """The floor of any save: the finished file's bytes written with one call."""
    with open(path, "wb") as f:
        f.write(data)


def bench_bmp(s: Sample, tmp: Path, rounds: int, res: Results) -> None:
    data = s.bmp
    path = tmp / f"open-{s.content}-{s.size}.bmp"
    path.write_bytes(data)
    spath = str(path)
    arr = np.frombuffer(data, np.uint8)
    rgb = s.pixels[..., :3].tobytes()
    img = Tavrel.open(data)
    pim = Image.open(io.BytesIO(data))
    pim.load()
    bgr = cv2.imdecode(arr, cv2.IMREAD_UNCHANGED)
    out = {k: str(tmp / f"save-{k}.bmp") for k in ("ours", "pil", "cv")}
    opened = race({
        **open_calls(data, spath),
        "copy": lambda: bytearray(rgb),
    }, rounds)
    written = str(tmp / "save-floor.bmp")
    saved = race({
        "ours": lambda: img.saveBmp(out["ours"]),
        "Pillow": lambda: pim.save(out["pil"], "BMP"),
        "OpenCV": lambda: cv2.imwrite(out["cv"], bgr),
        "copy": lambda: bytearray(rgb),
        "file write": lambda: write_file(written, data),
    }, rounds)
    res.bmp.append((s, opened, saved))


def bench_pixel(s: Sample, res: Results) -> None:
    img = Tavrel.open(s.png)
    pim = Image.open(io.BytesIO(s.png))
    pim.load()
    px = pim.load()
    ns = {
        "g": img.getPixel, "p": img.putPixel, "pg": pim.getpixel, "pp": pim.putpixel, "px": px,
        "dg": {}.get, "ig": operator.itemgetter(0, 1, 2), "t": (1, 2, 3), "c": (17, 23),
        "v": (1, 2, 3) if s.channels == 3 else (1, 2, 3, 4), "w": (1, 2, 3),
    }
    stmts = {
        "getPixel": "g(c)", "putPixel": "p(c, w)",
        "Pillow getpixel": "pg(c)", "Pillow putpixel": "pp(c, v)",
        "Pillow access[xy]": "px[c]", "Pillow access[xy] = v": "px[c] = v",
        "{}.get(coords)": "dg(c)",
        "itemgetter(0, 1, 2)(t)": "ig(t)",
    }
    timers = {k: timeit.Timer(v, globals=ns, timer=clock) for k, v in stmts.items()}
    number = 200_000
    best = {k: float("inf") for k in timers}
    for _ in range(7):
        for k, t in timers.items():
            best[k] = min(best[k], t.timeit(number) / number)
    res.pixel = best


MEMORY_PROBE = r"""
import gc, sys
kind, path = sys.argv[1], sys.argv[2]
import cv2, pyspng
from PIL import Image
from Vorlant.tavrel_ext import Tavrel
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = status("VmRSS:")
if kind == "ours":
    keep = Tavrel.open(path)
elif kind == "Pillow":
    keep = Image.open(path); keep.load()
elif kind == "OpenCV":
    keep = cv2.imread(path, cv2.IMREAD_UNCHANGED)
else:
    with open(path, "rb") as f:
        keep = pyspng.load(f.read())
sys.stderr.write(str(status("VmHWM:") - base))
"""


def bench_memory(s: Sample, tmp: Path, res: Results) -> None:
    path = tmp / f"mem-{s.content}-{s.mode}-{s.size}.png"
    path.write_bytes(s.png)
    peaks = {}
    for kind in ("ours", "Pillow", "OpenCV", "pyspng"):
        runs = []
        for _ in range(2):
            p = subprocess.run([sys.executable, "-c", MEMORY_PROBE, kind, str(path)], capture_output=True, text=True,
                               cwd=tempfile.gettempdir())
            if p.returncode != 0:
                raise RuntimeError(p.stderr)
            runs.append(int(p.stderr.strip().splitlines()[-1]))
        peaks[kind] = min(runs)
    npix = s.size * s.size
    budget = len(s.png) + len(s.scanlines) + npix * 3 + (npix if s.channels == 4 else 0)
    res.memory.append((s, len(s.png), budget, peaks))


POOL_FILES = 16


def pool_calls() -> dict:
    return {
        "ours": lambda p: Tavrel.open(p),
        "Pillow": lambda p: Image.open(p).load(),
        "pyspng": lambda p: pyspng.load(Path(p).read_bytes()),
        "OpenCV": lambda p: cv2.imread(p, cv2.IMREAD_UNCHANGED),
    }


def bench_pool(s: Sample, tmp: Path, rounds: int, res: Results) -> None:
    """Wall time to open POOL_FILES files of one image on a ThreadPoolExecutor of 1 and of 2 workers: what threads
    gain depends on what each open does with the interpreter lock held."""
    paths = []
    for i in range(POOL_FILES):
        path = tmp / f"pool-{i}.png"
        path.write_bytes(s.png)
        paths.append(str(path))
    calls = pool_calls()
    best = {name: {1: float("inf"), 2: float("inf")} for name in calls}
    pools = {n: concurrent.futures.ThreadPoolExecutor(max_workers=n) for n in (1, 2)}
    try:
        for pool in pools.values():  # threads started and warm
            list(pool.map(calls["ours"], paths[:2]))
        for _ in range(rounds):
            for name, fn in calls.items():
                for n, pool in pools.items():
                    t0 = time.perf_counter()
                    list(pool.map(fn, paths))
                    best[name][n] = min(best[name][n], time.perf_counter() - t0)
    finally:
        for pool in pools.values():
            pool.shutdown()
    res.pool = best


def longest_stall(fn, repeats: int) -> float:
    """The longest gap between wake-ups of a thread sleeping 1 ms in a loop while fn runs, minus the 1 ms; the best
    (smallest) of `repeats` runs."""
    best = float("inf")
    for _ in range(repeats):
        gaps, stop, started = [0.0], threading.Event(), threading.Event()

        def tick() -> None:
            last = time.perf_counter()
            started.set()
            while not stop.is_set():
                time.sleep(0.001)
                now = time.perf_counter()
                gaps[0] = max(gaps[0], now - last)
                last = now

        t = threading.Thread(target=tick)
        t.start()
        started.wait()
        time.sleep(0.01)
        fn()
        stop.set()
        t.join()
        best = min(best, max(gaps[0] - 0.001, 0.0))
    return best


def bench_stall(s: Sample, tmp: Path, res: Results) -> None:
    path = tmp / "stall.png"
    path.write_bytes(s.png)
    spath = str(path)
    img = Tavrel.open(spath)
    pim = Image.open(spath)
    pim.load()
    out = str(tmp / "stall-out.png")
    res.stall = {
        ("idle", "-"): longest_stall(lambda: time.sleep(0.2), 3),
        ("open", "ours"): longest_stall(lambda: Tavrel.open(spath), 3),
        ("open", "Pillow"): longest_stall(lambda: Image.open(spath).load(), 3),
        ("save", "ours"): longest_stall(lambda: img.save(out), 3),
        ("save", "Pillow"): longest_stall(lambda: pim.save(out, "PNG", compress_level=6), 3),
    }


# scikit-image's sample photographs that the module can open (8-bit RGB or RGBA), shipped in its data directory.
PHOTOS = ("astronaut", "chelsea", "coffee", "motorcycle_left", "ihc", "logo")


def bench_photos(tmp: Path, rounds: int, res: Results) -> None:
    data_dir = Path(skimage.__file__).parent / "data"
    for name in PHOTOS:
        shipped_path = data_dir / f"{name}.png"
        if not shipped_path.is_file():
            continue
        shipped = shipped_path.read_bytes()
        pim = Image.open(io.BytesIO(shipped))
        pim.load()
        buf = io.BytesIO()
        pim.save(buf, "PNG")
        for variant, data in (("as shipped", shipped), ("Pillow", buf.getvalue())):
            path = tmp / f"photo-{name}-{variant[0]}.png"
            path.write_bytes(data)
            spath = str(path)
            opened = race({
                **open_calls(data, spath),
                "pyspng": lambda: pyspng.load(data),
            }, rounds)
            img = Tavrel.open(data)
            im = Image.open(io.BytesIO(data))
            im.load()
            out = {k: str(tmp / f"photo-save-{k}.png") for k in ("ours", "pil")}
            saved = race({
                "ours": lambda: img.save(out["ours"]),
                "Pillow": lambda: im.save(out["pil"], "PNG", compress_level=6),
            }, rounds)
            res.photos.append((f"{name} {pim.mode} {pim.size[0]}x{pim.size[1]}", variant, len(data), opened, saved))


# ------------------------------------------------------------------ the report

def ratio(a: float, b: float) -> str:
    return f"{a / b:.2f}"


def ms(t: float) -> str:
    v = t * 1e3
    return f"{v:.3f}" if v < 1 else f"{v:.2f}" if v < 100 else f"{v:.0f}"


def verdict(value: float, limit: float) -> str:
    return "met" if value <= limit else "**not met**"


def machine_header() -> list[str]:
    cpu = "unknown"
    with contextlib.suppress(OSError), open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    maps = Path("/proc/self/maps").read_text()
    inflater = "ISA-L" if "libisal" in maps else "zlib"
    return [
        f"- Date: {datetime.datetime.now(datetime.UTC):%Y-%m-%d %H:%M} UTC",
        f"- Machine: {cpu}, {os.cpu_count()} cores (shared with other work), {platform.system()} {platform.release()}",
        f"- Python {platform.python_version()}; zlib {zlib.ZLIB_RUNTIME_VERSION}; module inflates with {inflater}",
        f"- Peers: Pillow {PIL.__version__}, OpenCV {cv2.__version__}, pyspng {getattr(pyspng, '__version__', '?')}, "
        f"NumPy {np.__version__}, scikit-image {skimage.__version__}",
    ]


def report(res: Results, args, elapsed: float) -> tuple[str, dict]:
    """The Markdown text and the ratios the chart draws, each with its target."""
    md = ["# Benchmark results", "", *machine_header(),
        f"- Command: `{' '.join(['python bench/run.py', *sys.argv[1:]])}`",
        f"- Full run: {elapsed / 60:.1f} min; every figure the best of several interleaved rounds; times are CPU "
        "time of the process in ms (every thread, user and system), which other work on the machine does not inflate",
        "",
        "Ratios are our time over theirs: below 1 we are faster.",
        "",
    ]
    chart: dict[str, list] = {"PNG open / fastest peer": [], "PNG open / Pillow": [], "PNG save / zlib.compress": [],
                              "PNG save / Pillow": [], "BMP / fastest peer": [], "BMP / copy": [],
                              "BMP save / file write": [],
                              "pixel access": [], "peak memory of open": [],
                              "photos: open / Pillow": [], "photos: save / Pillow": [],
                              "pool: 2 workers, ours / peer": [], "pool: 1 worker / 2 workers, ours": [],
                              "longest stall of another thread (ms)": []}
    targets = {"PNG open / fastest peer": 0.8, "PNG open / Pillow": 0.5, "PNG save / zlib.compress": 1.10,
               "PNG save / Pillow": 1.0, "BMP / fastest peer": 1.0, "BMP / copy": 3.0,
               "BMP save / file write": 3.0, "pixel access": None,
               "peak memory of open": 1.1, "photos: open / Pillow": 0.5, "photos: save / Pillow": 1.0,
               "pool: 2 workers, ours / peer": 1.0, "pool: 1 worker / 2 workers, ours": None,
               "longest stall of another thread (ms)": None}

    md += ["## PNG open", "",
           "| image | IDAT | file KiB | ours | ours (path) | Pillow | OpenCV | pyspng | zlib.decompress | "
           "ours / fastest peer | ours / Pillow | path: ours / fastest peer | ours / zlib.decompress |",
           "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"]
    for s, variant, size, t in res.png_open:
        fastest = min(t["Pillow"], t["OpenCV"], t["pyspng"])
        fastest_path = min(t["Pillow (path)"], t["OpenCV (path)"], t["pyspng (path)"])
        md.append(f"| {s.label} | {variant} | {size // 1024} | {ms(t['ours'])} | {ms(t['ours (path)'])} | "
                  f"{ms(t['Pillow'])} | {ms(t['OpenCV'])} | {ms(t['pyspng'])} | {ms(t['zlib.decompress'])} | "
                  f"{ratio(t['ours'], fastest)} | {ratio(t['ours'], t['Pillow'])} | "
                  f"{ratio(t['ours (path)'], fastest_path)} | {ratio(t['ours'], t['zlib.decompress'])} |")
        if s.size >= 1024 and variant == "Pillow's IDATs":
            chart["PNG open / fastest peer"].append((s.label, t["ours"] / fastest))
            chart["PNG open / Pillow"].append((s.label, t["ours"] / t["Pillow"]))

    md += ["", "## PNG save", "",
           "Unchanged: the opened image saved back with its kept chunks and filter types; its IDAT data is the host's "
           "`zlib.compress` of the very scanlines the floor compresses (checked in the last column). "
           "Fresh: `Tavrel(w, h, pixels, alpha)`, written with filter None on every row, against `zlib.compress` "
           "of those scanlines. Pillow and OpenCV at compression level 6.", "",
           "| image | ours | zlib.compress | ours (fresh) | zlib.compress (None) | Pillow | OpenCV | file write | "
           "ours / zlib | fresh / zlib | ours / Pillow | same IDAT |",
           "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|:-:|"]
    for s, t, same in res.png_save:
        floor, floor_plain = t["zlib.compress"], t["zlib.compress (filter None)"]
        md.append(f"| {s.label} | {ms(t['ours'])} | {ms(floor)} | {ms(t['ours (fresh image)'])} | "
                  f"{ms(floor_plain)} | {ms(t['Pillow'])} | {ms(t['OpenCV'])} | {ms(t['file write'])} | "
                  f"{ratio(t['ours'], floor)} | "
                  f"{ratio(t['ours (fresh image)'], floor_plain)} | {ratio(t['ours'], t['Pillow'])} | "
                  f"{'yes' if same else 'NO'} |")
        chart["PNG save / zlib.compress"].append((s.label, t["ours"] / floor))
        chart["PNG save / zlib.compress"].append((s.label + " fresh", t["ours (fresh image)"] / floor_plain))
        chart["PNG save / Pillow"].append((s.label, t["ours"] / t["Pillow"]))

    md += ["", "## BMP open and save", "",
           "Copy: `bytearray(pixels)`, a plain copy of the RGB pixel buffer. File write: the finished BMP's bytes "
           "written to a file (tmpfs) with one call, the floor of any save.", "",
           "| image | open: ours | ours (path) | Pillow | Pillow (path) | OpenCV | OpenCV (path) | copy | "
           "ours / fastest peer | path: ours / fastest peer | ours / copy |",
           "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"]
    for s, o, _w in res.bmp:
        of = min(o["Pillow"], o["OpenCV"])
        ofp = min(o["Pillow (path)"], o["OpenCV (path)"])
        md.append(f"| {s.label} | {ms(o['ours'])} | {ms(o['ours (path)'])} | {ms(o['Pillow'])} | "
                  f"{ms(o['Pillow (path)'])} | {ms(o['OpenCV'])} | {ms(o['OpenCV (path)'])} | {ms(o['copy'])} | "
                  f"{ratio(o['ours'], of)} | {ratio(o['ours (path)'], ofp)} | {ratio(o['ours'], o['copy'])} |")
        chart["BMP / fastest peer"] += [(s.label + " open", o["ours"] / of),
                                        (s.label + " open (path)", o["ours (path)"] / ofp)]
        chart["BMP / copy"] += [(s.label + " open", o["ours"] / o["copy"])]
    md += ["", "| image | save: ours | Pillow | OpenCV | copy | file write | ours / fastest peer | ours / copy | "
           "ours / file write |", "|---|--:|--:|--:|--:|--:|--:|--:|--:|"]
    for s, _o, w in res.bmp:
        wf = min(w["Pillow"], w["OpenCV"])
        md.append(f"| {s.label} | {ms(w['ours'])} | {ms(w['Pillow'])} | {ms(w['OpenCV'])} | {ms(w['copy'])} | "
                  f"{ms(w['file write'])} | {ratio(w['ours'], wf)} | {ratio(w['ours'], w['copy'])} | "
                  f"{ratio(w['ours'], w['file write'])} |")
        chart["BMP / fastest peer"].append((s.label + " save", w["ours"] / wf))
        chart["BMP / copy"].append((s.label + " save", w["ours"] / w["copy"]))
        chart["BMP save / file write"].append((s.label, w["ours"] / w["file write"]))

    p = res.pixel
    if p:
        md += ["", "## Pixel access", "",
               "Per call, in ns, bound methods called through a local name. `itemgetter(0, 1, 2)(t)` is a bare C "
               "call that returns a new 3-tuple, as `getPixel` does; `{}.get(coords)` returns None and allocates "
               "nothing.", "",
               "| call | ns | / Pillow's method | / `{}.get(coords)` |", "|---|--:|--:|--:|"]
        for ours, theirs in (("getPixel", "Pillow getpixel"), ("putPixel", "Pillow putpixel")):
            md.append(f"| {ours} | {p[ours] * 1e9:.0f} | {ratio(p[ours], p[theirs])} | "
                      f"{ratio(p[ours], p['{}.get(coords)'])} |")
        for k in ("Pillow getpixel", "Pillow putpixel", "Pillow access[xy]", "Pillow access[xy] = v",
                  "{}.get(coords)", "itemgetter(0, 1, 2)(t)"):
            md.append(f"| {k} | {p[k] * 1e9:.0f} | | |")
        chart["pixel access"] = [
            ("getPixel / Pillow", p["getPixel"] / p["Pillow getpixel"], 0.5),
            ("putPixel / Pillow", p["putPixel"] / p["Pillow putpixel"], 0.5),
            ("getPixel / {}.get", p["getPixel"] / p["{}.get(coords)"], 2.0),
            ("putPixel / {}.get", p["putPixel"] / p["{}.get(coords)"], 2.0),
        ]

    if res.memory:
        md += ["", "## Peak memory of open (from a path)", "",
               "Rise of the process's peak resident size during one open, in a fresh interpreter; the budget is "
               "file + inflated scanlines + pixel buffer + alpha plane.", "",
               "| image | file MiB | budget MiB | ours MiB | ours / budget | Pillow MiB | OpenCV MiB | pyspng MiB |",
               "|---|--:|--:|--:|--:|--:|--:|--:|"]
        mib = 1 << 20
        for s, fsize, budget, peaks in res.memory:
            md.append(f"| {s.label} | {fsize / mib:.1f} | {budget / mib:.1f} | {peaks['ours'] / mib:.1f} | "
                      f"{peaks['ours'] / budget:.2f} | {peaks['Pillow'] / mib:.1f} | {peaks['OpenCV'] / mib:.1f} | "
                      f"{peaks['pyspng'] / mib:.1f} |")
            if s.size >= 1024:
                chart["peak memory of open"].append((s.label, peaks["ours"] / budget))

    if res.photos:
        md += ["", "## Real photographs", "",
               "scikit-image's sample photographs, the PNG files as the package ships them and as Pillow re-encodes "
               "them (its defaults); save is the opened image saved back, against Pillow at level 6.", "",
               "| photo | file | KiB | open: ours | Pillow | OpenCV | pyspng | ours / Pillow | ours / fastest peer | "
               "save: ours | Pillow | ours / Pillow |", "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"]
        for label, variant, size, o, w in res.photos:
            fastest = min(o["Pillow"], o["OpenCV"], o["pyspng"])
            md.append(f"| {label} | {variant} | {size // 1024} | {ms(o['ours'])} | {ms(o['Pillow'])} | "
                      f"{ms(o['OpenCV'])} | {ms(o['pyspng'])} | {ratio(o['ours'], o['Pillow'])} | "
                      f"{ratio(o['ours'], fastest)} | {ms(w['ours'])} | {ms(w['Pillow'])} | "
                      f"{ratio(w['ours'], w['Pillow'])} |")
            chart["photos: open / Pillow"].append((f"{label.split()[0]} {variant}", o["ours"] / o["Pillow"]))
            chart["photos: save / Pillow"].append((f"{label.split()[0]} {variant}", w["ours"] / w["Pillow"]))

    if res.pool:
        b = res.pool
        md += ["", "## Thread pool", "",
               f"{POOL_FILES} files of the photo-like RGB image opened from their paths on a `ThreadPoolExecutor` "
               "of 1 and of 2 workers; wall time in ms for all of them, the best of the rounds (wall time: what a "
               "second worker gains is the point).", "",
               "| contender | 1 worker | 2 workers | speed-up | ours / it, 2 workers |", "|---|--:|--:|--:|--:|"]
        for name, t in b.items():
            md.append(f"| {name} | {ms(t[1])} | {ms(t[2])} | {t[1] / t[2]:.2f} | {ratio(b['ours'][2], t[2])} |")
        chart["pool: 2 workers, ours / peer"] = [(name, b["ours"][2] / t[2]) for name, t in b.items()
                                                 if name != "ours"]
        chart["pool: 1 worker / 2 workers, ours"] = [("ours speed-up", b["ours"][1] / b["ours"][2], 1.8, True)]

    if res.stall:
        md += ["", "## Stalls of another thread", "",
               "The longest gap, beyond its 1 ms, between wake-ups of a thread sleeping 1 ms in a loop while the main "
               "thread opens the photo-like RGB image from its path, or saves it; the best of 3 runs.", "",
               "| operation | contender | longest stall ms |", "|---|---|--:|"]
        for (op, who), t in res.stall.items():
            md.append(f"| {op} | {who} | {ms(t)} |")
        chart["longest stall of another thread (ms)"] = [
            (f"{op} {who}", t * 1e3, 25.0) for (op, who), t in res.stall.items() if who != "-"]

    # Growth: time per pixel of each size over that of the smallest, for ours.
    sizes = sorted({s.size for s, *_ in res.png_open})
    if len(sizes) > 1:
        md += ["", "## Growth with the pixel count", "",
               "Time per pixel at each size over that at the middle size (1.00 = linear), ours and the floors'. "
               "Above 1024x1024 the buffers outgrow the caches and every fresh one is mapped and faulted in page "
               "by page (glibc maps allocations above 32 MiB afresh each time), which the floors pay as well.", "",
               "| operation | " + " | ".join(f"{n}x{n}" for n in sizes) + " |",
               "|---|" + "--:|" * len(sizes)]
        ref = sizes[1] if len(sizes) > 2 else sizes[-1]

        def growth(label, pick):
            per_px = {}
            for size in sizes:
                vals = pick(size)
                if vals:
                    per_px[size] = sum(vals) / (size * size)
            if ref in per_px:
                md.append(f"| {label} | " + " | ".join(f"{per_px[n] / per_px[ref]:.2f}" if n in per_px else "-"
                                                      for n in sizes) + " |")

        growth("PNG open", lambda n: [t["ours"] for s, v, _, t in res.png_open if s.size == n and v[0] == "P"])
        growth("PNG save", lambda n: [t["ours"] for s, t, _ in res.png_save if s.size == n])
        growth("BMP open", lambda n: [o["ours"] for s, o, _ in res.bmp if s.size == n])
        growth("BMP save", lambda n: [w["ours"] for s, _, w in res.bmp if s.size == n])
        growth("zlib.decompress (floor of open)",
               lambda n: [t["zlib.decompress"] for s, v, _, t in res.png_open if s.size == n and v[0] == "P"])
        growth("pyspng open (peer)",
               lambda n: [t["pyspng"] for s, v, _, t in res.png_open if s.size == n and v[0] == "P"])
        growth("zlib.compress (floor of save)",
               lambda n: [t["zlib.compress"] for s, t, _ in res.png_save if s.size == n])
        growth("copy of the pixel buffer (floor)", lambda n: [o["copy"] for s, o, _ in res.bmp if s.size == n])
        growth("BMP file write (floor)", lambda n: [w["file write"] for s, _, w in res.bmp if s.size == n])

    # Targets: the worst case of each.
    md += ["", "## Targets", "", "| target | worst ratio | limit | |", "|---|--:|--:|---|"]
    for key, rows in chart.items():
        if not rows:
            continue
        if targets[key] is None:
            for label, value, limit, *at_least in rows:
                met = value >= limit if at_least else value <= limit
                md.append(f"| {label} | {value:.2f} | {'>= ' if at_least else ''}{limit} | "
                          f"{'met' if met else '**not met**'} |")
            continue
        label, worst = max(rows, key=lambda r: r[1])
        limit = targets[key]
        md.append(f"| {key} ({label}) | {worst:.2f} | {limit} | {verdict(worst, limit)} |")
    md.append("")
    return "\n".join(md), {"rows": chart, "targets": targets}


def draw(chart: dict, path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [(k, v) for k, v in chart["rows"].items() if v]
    cols = 2
    nrows = (len(panels) + cols - 1) // cols
    height = sum(max(len(v) for _, v in panels[i:i + cols]) for i in range(0, len(panels), cols))
    fig, axes = plt.subplots(nrows, cols, figsize=(14, 1.2 * nrows + 0.32 * height), squeeze=False,
                             gridspec_kw={"height_ratios": [max(len(v) for _, v in panels[i:i + cols]) + 2
                                                            for i in range(0, len(panels), cols)]})
    for ax, (key, rows) in zip(axes.flat, panels, strict=False):
        labels = [r[0] for r in rows]
        values = [r[1] for r in rows]
        limits = [r[2] if len(r) > 2 else chart["targets"][key] for r in rows]
        at_least = [len(r) > 3 for r in rows]
        colours = ["#3a923a" if (v >= lim if up else v <= lim) else "#c83737"
                   for v, lim, up in zip(values, limits, at_least, strict=True)]
        y = np.arange(len(rows))
        ax.barh(y, values, color=colours, height=0.7)
        for yi, lim in zip(y, limits, strict=True):
            ax.plot([lim, lim], [yi - 0.45, yi + 0.45], color="black", linewidth=1.5)
        for yi, v in zip(y, values, strict=True):
            ax.text(v, yi, f" {v:.2f}", va="center", fontsize=8)
        ax.set_yticks(y, labels, fontsize=8)
        ax.invert_yaxis()
        ax.set_xlim(0, max(max(values), max(limits)) * 1.2)
        ax.set_title(f"{key} (black: target)", fontsize=10)
        ax.tick_params(axis="x", labelsize=8)
    for ax in list(axes.flat)[len(panels):]:
        ax.axis("off")
    fig.suptitle("Vorlant.tavrel_ext: time (or memory) as a ratio of its peers and floors; green meets the target",
                 fontsize=11)
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.5 / fig.get_figheight()))
    fig.savefig(path, dpi=100)
    plt.close(fig)


# ------------------------------------------------------------------ main

def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="256,1024,4096", help="comma-separated square sizes (default 256,1024,4096)")
    ap.add_argument("--quick", action="store_true", help="256 and 1024 only")
    ap.add_argument("--rounds", type=int, default=7, help="rounds per figure (fewer above 1024)")
    ap.add_argument("--write", action="store_true", help="write RESULTS.md and RESULTS.png (else only print)")
    ap.add_argument("--out", type=Path, default=HERE, help="where --write puts RESULTS.md and RESULTS.png")
    args = ap.parse_args()
    sizes = [256, 1024] if args.quick else [int(n) for n in args.sizes.split(",")]

    kinds = [(c, ch) for c in ("photo", "flat") for ch in (3, 4)]
    tasks = []
    for size in sizes:
        tasks.append(("images", size))
        tasks += [("open", size), ("save", size), ("bmp", size), ("memory", size)]
    tasks += [("pixel", 0), ("photos", 0), ("pool", 1024), ("stall", 4096)]
    progress = Progress(sum(4 if kind in ("open", "save", "memory", "images") else 2 if kind == "bmp" else 1
                            for kind, _ in tasks))

    res = Results()
    start = time.perf_counter()
    tmp = Path(tempfile.mkdtemp(prefix="tavrel-bench-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None))
    try:
        with quiet_stdout():
            samples: list[Sample] = []
            pixel_sample = None
            for kind, size in tasks:
                if kind in ("photos", "pool", "stall"):
                    progress.step(kind)
                    if kind == "photos":
                        bench_photos(tmp, args.rounds, res)
                    else:
                        # the photo-like RGB image of that size, made afresh unless it is at hand
                        s = next((x for x in samples if x.size == size and x.content == "photo" and x.channels == 3),
                                 None) or make_sample("photo", 3, size)
                        if kind == "pool":
                            bench_pool(s, tmp, 2 * args.rounds, res)  # wall time: more rounds for its noise
                        else:
                            bench_stall(s, tmp, res)
                    continue
                if kind == "pixel":
                    continue
                if kind == "images":
                    samples = []
                    for c, ch in kinds:
                        progress.step(f"making {c} {'RGBA' if ch == 4 else 'RGB'} {size}")
                        samples.append(make_sample(c, ch, size))
                    continue
                rounds = rounds_for(size, args.rounds)
                for s in samples:
                    if kind == "open":
                        progress.step(f"PNG open {s.label}")
                        bench_png_open(s, tmp, rounds, res)
                    elif kind == "save":
                        progress.step(f"PNG save {s.label}")
                        bench_png_save(s, tmp, rounds, res)
                    elif kind == "bmp" and s.channels == 3:
                        progress.step(f"BMP {s.label}")
                        bench_bmp(s, tmp, rounds, res)
                    elif kind == "memory":
                        progress.step(f"memory {s.label}")
                        bench_memory(s, tmp, res)
                if kind == "images" or pixel_sample is None or size <= 1024:
                    pixel_sample = samples[0]  # photo RGB, 1024x1024 when that size is run
            progress.step("pixel access")
            bench_pixel(pixel_sample, res)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
        progress.close()

    text, chart = report(res, args, time.perf_counter() - start)
    print(text)
    if args.write:
        args.out.mkdir(parents=True, exist_ok=True)
        (args.out / "RESULTS.md").write_text(text)
        draw(chart, args.out / "RESULTS.png")
        print(f"\nWritten: {args.out / 'RESULTS.md'}, {args.out / 'RESULTS.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
