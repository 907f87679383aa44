#!/usr/bin/env bash
# Builds and installs the package for CPython 3.13 into ./.venv313 (with its
# test extra) and runs the tests there. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# The same system headers as the 3.12 build (zlib required, ISA-L optional).
if [ ! -f /usr/include/zlib.h ] || [ ! -f /usr/include/isa-l/igzip_lib.h ]; then
    $SUDO apt-get update -q
    [ -f /usr/include/zlib.h ] || $SUDO apt-get install -y -q zlib1g-dev
    [ -f /usr/include/isa-l/igzip_lib.h ] || $SUDO apt-get install -y -q libisal-dev ||
        echo "libisal-dev not installed: image data will be inflated with zlib" >&2
fi

PY=${PYTHON313:-$(find_python 3.13)}
if [ ! -x .venv313/bin/python ]; then
    "$PY" -m venv .venv313
fi
.venv313/bin/python -m pip install -q --upgrade pip
EXTRA=()
[ "${CI:-}" = "true" ] && EXTRA=(-Ccmake.define.TAVREL_WERROR=ON)
.venv313/bin/python -m pip install -q "${EXTRA[@]}" ".[test]"
.venv313/bin/python -I -c 'import sys; from Vorlant import tavrel_ext; print("tavrel_ext on", sys.version.split()[0])'
# The venv's pytest (not `python -m pytest`): the source folder Vorlant/ must not shadow the installed package.
exec .venv313/bin/pytest -q -p no:cacheprovider "$@"
