#!/usr/bin/env bash
# Builds the extension without ISA-L (zlib inflates everything, as on a host without libisal-dev) into a
# folder of its own, build/zlib-only/site, and runs the whole test suite on that build with .venv's interpreter
# (made by scripts/setup.sh when missing), that folder first on PYTHONPATH. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ROOT=$PWD
SITE=$ROOT/build/zlib-only/site

need_debs "${DEBS_BUILD[@]}"
need_venv

# A build directory of its own, so that the default build's cache (with ISA-L) is neither used nor changed.
.venv/bin/python -m pip install -q --no-deps --upgrade --target "$SITE" "${PIP_WERROR[@]}" \
    -Ccmake.define.TAVREL_USE_ISAL=OFF -Cbuild-dir=build/zlib-only/ext-build .
export PYTHONPATH=$SITE

# The build must really be the zlib-only one, and the one imported.
SO=$(.venv/bin/python -c 'import Vorlant.tavrel_ext as m; print(m.__file__)')
case "$SO" in "$SITE"/*) ;; *) echo "imported $SO, not the zlib-only build in $SITE" >&2; exit 1 ;; esac
if ldd "$SO" | grep -q libisal; then
    echo "the zlib-only build links ISA-L: $SO" >&2
    exit 1
fi
echo "zlib-only build: $SO"
.venv/bin/pytest -q -p no:cacheprovider "$@"
