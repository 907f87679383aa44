"""Builds and runs the native codec-core test program (tests/native/test_core.cpp) against src/png and src/bmp."""
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
FLAGS = ["-std=c++20", "-O2", "-Wall", "-Wextra", "-Werror"]


# The second build forces the portable BMP byte-swap path that non-x86 hosts use, and feeds zlib in 7-byte chunks so
# the input/output chunking that normally only matters above 1 GiB is exercised on small streams.
VARIANTS = {"default": [], "portable": ["-DTAVREL_BMP_SSE2=0", "-DTAVREL_INFLATE_CHUNK=7"]}


@pytest.mark.parametrize("extra", VARIANTS.values(), ids=VARIANTS.keys())
def test_native_core(tmp_path, extra):
    cxx = shutil.which("g++")
    if cxx is None:
        pytest.skip("g++ not found")
    sources = [ROOT / "tests" / "native" / "test_core.cpp"]
    sources += sorted((ROOT / "src" / "png").glob("*.cpp")) + sorted((ROOT / "src" / "bmp").glob("*.cpp"))
    exe = tmp_path / "test_core"
    cmd = [cxx, *FLAGS, *extra, f"-I{ROOT / 'src'}", *map(str, sources), "-o", str(exe), "-lz"]
    build = subprocess.run(cmd, capture_output=True, text=True)
    assert build.returncode == 0, f"compile failed: {' '.join(cmd)}\n{build.stdout}{build.stderr}"
    # A broken inflate loop shows up as a hang, so the run is bounded.
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, f"native core tests failed (exit {run.returncode}):\n{run.stdout}{run.stderr}"
