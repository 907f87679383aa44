#!/usr/bin/env bash
# Builds and installs the package for CPython 3.13 into ./.venv313 (with its
# test extra) and runs the tests there. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# The same system headers as the 3.12 build (zlib required, the faster inflaters optional).
need_debs "${DEBS_BUILD[@]}"
need_debs --optional "${DEBS_BUILD_OPTIONAL[@]}"

PY=${PYTHON313:-$(find_python 3.13)}
if [ ! -x .venv313/bin/python ]; then
    "$PY" -m venv .venv313
    .venv313/bin/python -m pip install -q --upgrade pip
fi
.venv313/bin/python -m pip install -q "${PIP_WERROR[@]}" ".[test]"
.venv313/bin/python -c 'import sys; from Vorlant import tavrel_ext; print("tavrel_ext on", sys.version.split()[0])'
exec .venv313/bin/pytest -q -p no:cacheprovider "$@"
