#!/usr/bin/env bash
# Builds and installs the package into ./.venv (Python 3.12), with the test
# tools. Installs the system headers the build needs when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# zlib is required; ISA-L (a faster inflater) is optional: installed when missing, and the build falls back to
# zlib alone if it cannot be.
if [ ! -f /usr/include/zlib.h ] || [ ! -f /usr/include/isa-l/igzip_lib.h ]; then
    $SUDO apt-get update -q
    [ -f /usr/include/zlib.h ] || $SUDO apt-get install -y -q zlib1g-dev
    [ -f /usr/include/isa-l/igzip_lib.h ] || $SUDO apt-get install -y -q libisal-dev ||
        echo "libisal-dev not installed: image data will be inflated with zlib" >&2
fi

PY=${PYTHON:-$(find_python)}
if [ ! -x .venv/bin/python ]; then
    "$PY" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
# CI builds with warnings as errors: the build must stay warning-free.
EXTRA=()
[ "${CI:-}" = "true" ] && EXTRA=(-Ccmake.define.TAVREL_WERROR=ON)
.venv/bin/python -m pip install -q "${EXTRA[@]}" ".[test]"
