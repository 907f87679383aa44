#!/usr/bin/env bash
# Builds and installs the package into ./.venv (Python 3.12), with the test
# tools. Installs the system headers the build needs when they are missing
# (the Debian packages are listed in scripts/lib.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# zlib is required; the faster inflaters are optional: installed when missing, and the build falls back to zlib
# alone if they cannot be.
need_debs "${DEBS_BUILD[@]}"
need_debs --optional "${DEBS_BUILD_OPTIONAL[@]}"

PY=${PYTHON:-$(find_python)}
if [ ! -x .venv/bin/python ]; then
    "$PY" -m venv .venv
    .venv/bin/python -m pip install -q --upgrade pip
fi
.venv/bin/python -m pip install -q "${PIP_WERROR[@]}" ".[test]"
