#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer (CMake option TAVREL_SANITIZE) into a venv
# and build directory of its own under build/asan, leaving .venv alone, and runs the whole test suite there with gcc's
# sanitizer runtime preloaded. Any sanitizer report ends the run with a failure.
# Usage: scripts/test-asan.sh [PYTEST_ARGS...]
#
# PYTHONMALLOC=malloc sends every Python object through malloc, so that ASan sees the bounds of each bytes and
# bytearray buffer the module writes into. Leak detection is off: CPython does not free all of its own memory at exit.
# Reference and memory leaks of the module are left to scripts/test-memcheck.sh (valgrind: definite leaks whose
# allocation stack runs through the module fail it) and to the suite's own leak tests. Tests that measure memory use
# skip themselves when TAVREL_SANITIZED is set: the sanitizer's shadow memory and quarantine distort every figure.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ROOT=$PWD
OUT=$ROOT/build/asan

LIBASAN=$(g++ -print-file-name=libasan.so 2>/dev/null || true)
if [ ! -f /usr/include/zlib.h ] || [ ! -f "$LIBASAN" ]; then
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q zlib1g-dev g++
    LIBASAN=$(g++ -print-file-name=libasan.so)
fi
[ -f "$LIBASAN" ] || { echo "gcc's libasan not found" >&2; exit 1; }

PY=${PYTHON:-$(find_python)}
[ -x "$OUT/venv/bin/python" ] || "$PY" -m venv "$OUT/venv"
"$OUT/venv/bin/python" -m pip install -q --upgrade pip
echo "== building the sanitized extension into $OUT"
"$OUT/venv/bin/python" -m pip install -q --force-reinstall \
    -Cbuild-dir="$OUT/ext-build" -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.TAVREL_SANITIZE=address,undefined ".[test]"

echo "== running the suite under ASan and UBSan"
export TAVREL_SANITIZED=1
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1:strict_string_checks=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
LD_PRELOAD="$LIBASAN" "$OUT/venv/bin/pytest" -q -p no:cacheprovider "$@"
