#!/usr/bin/env bash
# Builds the extension without ISA-L (zlib inflates everything, as on a host without libisal-dev) into a
# venv of its own, .venv-zlib, and runs the whole test suite on that build.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

PY=${PYTHON:-$(find_python)}

if [ ! -f /usr/include/zlib.h ]; then
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q zlib1g-dev
fi

[ -x .venv-zlib/bin/python ] || "$PY" -m venv .venv-zlib
.venv-zlib/bin/python -m pip install -q --upgrade pip
EXTRA=()
[ "${CI:-}" = "true" ] && EXTRA=(-Ccmake.define.TAVREL_WERROR=ON)
# A build directory of its own, so that the default build's cache (with ISA-L) is neither used nor changed.
.venv-zlib/bin/python -m pip install -q "${EXTRA[@]}" -Ccmake.define.TAVREL_USE_ISAL=OFF \
    -Cbuild-dir=build/zlib-only ".[test]"

# The build must really be the zlib-only one (asked from / so that the source tree's package does not shadow it).
ROOT=$(pwd)
SO=$(cd / && "$ROOT/.venv-zlib/bin/python" -c 'import Vorlant.tavrel_ext as m; print(m.__file__)')
if ldd "$SO" | grep -q libisal; then
    echo "the zlib-only build links ISA-L: $SO" >&2
    exit 1
fi
echo "zlib-only build: $SO"
.venv-zlib/bin/pytest -q
