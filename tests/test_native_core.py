"""Builds and runs the native codec-core test program (tests/native/test_core.cpp) against src/png and src/bmp."""
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
FLAGS = ["-std=c++20", "-O2", "-Wall", "-Wextra", "-Werror"]
HAVE_ISAL = Path("/usr/include/isa-l/igzip_lib.h").is_file()

# Every build checks each kernel set the CPU runs (portable, SSE2, SSE4.1: chosen at run time) against the portable
# one and the naive models.
# - isa-l / zlib: the two inflaters behind inflate_bounded, which must report the same status for every stream.
# - small-chunks: zlib fed in 7-byte chunks, so the input/output chunking that normally only matters above 1 GiB is
#   exercised on small streams.
# - sanitized: address and undefined-behaviour sanitizers, so a kernel reading or writing one byte outside its row
#   fails even where the guard bytes cannot see it.
VARIANTS = {
    "isa-l": ["-DTAVREL_HAVE_ISAL=1"],
    "zlib": [],
    "small-chunks": ["-DTAVREL_INFLATE_CHUNK=7"],
    "sanitized": ["-O1", "-fsanitize=address,undefined", "-fno-sanitize-recover=all"],
}


@pytest.mark.parametrize("extra", VARIANTS.values(), ids=VARIANTS.keys())
def test_native_core(tmp_path, extra):
    cxx = shutil.which("g++")
    if cxx is None:
        pytest.skip("g++ not found")
    libs = ["-lz"]
    if "-DTAVREL_HAVE_ISAL=1" in extra:
        if not HAVE_ISAL:
            pytest.skip("ISA-L headers not installed")
        libs.append("-lisal")
    sources = [ROOT / "tests" / "native" / "test_core.cpp"]
    sources += sorted((ROOT / "src" / "png").glob("*.cpp")) + sorted((ROOT / "src" / "bmp").glob("*.cpp"))
    exe = tmp_path / "test_core"
    cmd = [cxx, *FLAGS, *extra, f"-I{ROOT / 'src'}", *map(str, sources), "-o", str(exe), *libs]
    build = subprocess.run(cmd, capture_output=True, text=True)
    if build.returncode != 0 and "-fsanitize=address,undefined" in extra and "asan" in build.stderr.lower():
        pytest.skip("sanitizer runtime not available")
    assert build.returncode == 0, f"compile failed: {' '.join(cmd)}\n{build.stdout}{build.stderr}"
    # A broken inflate loop shows up as a hang, so the run is bounded.
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, f"native core tests failed (exit {run.returncode}):\n{run.stdout}{run.stderr}"
    want = "isa-l" if "-DTAVREL_HAVE_ISAL=1" in extra else "zlib"
    assert f"inflater {want}" in run.stdout
