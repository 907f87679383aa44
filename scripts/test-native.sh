#!/usr/bin/env bash
# Builds the native codec-core tests (tests/native/test_core.cpp, CMake option TAVREL_BUILD_TESTS: one program per
# variant, see CMakeLists.txt) with CMake into build/native-COMPILER and runs them with CTest. This is the same check
# tests/test_native_core.py makes from inside the Python suite, built once.
# Usage: scripts/test-native.sh [--compiler g++|clang++] [--build-only]
#   --compiler clang++  builds with clang instead of g++ (the module as well, warnings as errors under CI=true)
#   --build-only        compiles everything and runs nothing: the warning check of another compiler
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

CXX_NAME=g++ RUN=1
while [ $# -gt 0 ]; do
    case "$1" in
        --compiler) CXX_NAME=$2; shift 2 ;;
        --build-only) RUN=0; shift ;;
        *) echo "usage: $0 [--compiler g++|clang++] [--build-only]" >&2; exit 2 ;;
    esac
done
need_debs "${DEBS_BUILD[@]}"
need_debs --optional "${DEBS_BUILD_OPTIONAL[@]}"
case "$CXX_NAME" in clang*) need_debs "${DEBS_CLANG[@]}" ;; esac
CXX_PATH=$(command -v "$CXX_NAME") || { echo "$CXX_NAME not found" >&2; exit 1; }

PY=${PYTHON:-$(find_python)}
WERROR=OFF
[ "${CI:-}" = "true" ] && WERROR=ON
OUT=build/native-$(basename "$CXX_NAME")
GEN=()
ninja --version >/dev/null 2>&1 && GEN=(-G Ninja)
[ -f "$OUT/CMakeCache.txt" ] && GEN=()   # the generator is fixed at the first configure
echo "== configuring $OUT ($CXX_PATH, warnings as errors: $WERROR)"
cmake -S . -B "$OUT" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$CXX_PATH" \
    -DPython_EXECUTABLE="$PY" -DTAVREL_BUILD_TESTS=ON -DTAVREL_WERROR="$WERROR" >"$OUT.configure.log" 2>&1 ||
    { cat "$OUT.configure.log"; exit 1; }
echo "== building"
cmake --build "$OUT" --parallel 2
if [ "$RUN" -eq 1 ]; then
    echo "== running"
    ctest --test-dir "$OUT" --output-on-failure --parallel 2
fi
