#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer (CMake option TAVREL_SANITIZE) into a
# folder and build directory of their own under build/asan, leaving .venv's own build alone, and runs the whole test
# suite with .venv's interpreter (made by scripts/setup.sh when missing), that folder first on PYTHONPATH and gcc's
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

SITE=$OUT/site

need_debs "${DEBS_BUILD[@]}"
LIBASAN=$(g++ -print-file-name=libasan.so)
[ -f "$LIBASAN" ] || { echo "gcc's libasan not found" >&2; exit 1; }
need_venv

echo "== building the sanitized extension into $SITE"
.venv/bin/python -m pip install -q --no-deps --upgrade --target "$SITE" "${PIP_WERROR[@]}" \
    -Cbuild-dir="$OUT/ext-build" -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.TAVREL_SANITIZE=address,undefined .
export PYTHONPATH=$SITE

echo "== running the suite under ASan and UBSan"
export TAVREL_SANITIZED=1
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1:strict_string_checks=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
LD_PRELOAD="$LIBASAN" .venv/bin/python -c 'import Vorlant.tavrel_ext as m; print("sanitized build:", m.__file__)'
LD_PRELOAD="$LIBASAN" .venv/bin/pytest -q -p no:cacheprovider "$@"
