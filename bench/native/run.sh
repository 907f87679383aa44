#!/usr/bin/env bash
# Builds the codec-core micro-benchmark with the release flags of the extension and runs it.
# Usage: bench/native/run.sh [SIZE [SECONDS_PER_FIGURE]]   (default 2048x1024, 0.15 s)
# Set TAVREL_USE_ISAL=0 to measure a build that inflates with zlib alone.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=${TMPDIR:-/tmp}/tavrel_bench_core
defs=() libs=(-lz)
if [ "${TAVREL_USE_ISAL:-1}" != 0 ] && [ -f /usr/include/isa-l/igzip_lib.h ]; then
    defs+=(-DTAVREL_HAVE_ISAL=1) libs+=(-lisal)
fi
g++ -std=c++20 -O3 -DNDEBUG -Wall -Wextra "${defs[@]}" -Isrc bench/native/bench_core.cpp src/png/*.cpp src/bmp/*.cpp \
    -o "$out" "${libs[@]}"
"$out" "$@"
