#!/usr/bin/env bash
# Checks the distributions: in a temporary folder, from the project's own files
# (those git tracks, as they are in the work tree):
#   1. `pip wheel .` builds a wheel; it holds the package, the built module, the
#      type stub and the py.typed marker;
#   2. the sdist builds and holds the sources, the stub and the tests;
#   3. a wheel built from that sdist holds the same files as the first one;
#   4. each wheel installs into a fresh virtual environment, where the tests pass
#      against the installed package (the native codec-core tests, which compile
#      the sources themselves and do not use the package, are left to the main run).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ROOT=$PWD

if [ ! -f /usr/include/zlib.h ]; then
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q zlib1g-dev
fi

PY=${PYTHON:-$(find_python)}
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
echo "check-dist: working in $TMP"

# The project's own files, without build folders, virtual environments or anything untracked.
mkdir "$TMP/project"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z | xargs -0 tar -cf - | tar -xf - -C "$TMP/project"
else
    tar -cf - --exclude=./build --exclude='./.venv*' --exclude=./dist . | tar -xf - -C "$TMP/project"
fi

"$PY" -m venv "$TMP/tools"
"$TMP/tools/bin/python" -m pip install -q --upgrade pip build
WHEELS="$TMP/wheels" SDIST="$TMP/sdist" FROM_SDIST="$TMP/wheels-from-sdist"

echo "== pip wheel ."
"$TMP/tools/bin/python" -m pip wheel -q --no-deps -w "$WHEELS" "$TMP/project"
echo "== sdist"
"$TMP/tools/bin/python" -m build -q --sdist -o "$SDIST" "$TMP/project" >/dev/null
SDIST_FILE=$(ls "$SDIST"/*.tar.gz)
echo "== pip wheel from $(basename "$SDIST_FILE")"
"$TMP/tools/bin/python" -m pip wheel -q --no-deps -w "$FROM_SDIST" "$SDIST_FILE"

# What each archive must hold, and the two wheels alike.
"$TMP/tools/bin/python" - "$WHEELS"/*.whl "$FROM_SDIST"/*.whl "$SDIST_FILE" <<'PYCHECK'
import fnmatch
import sys
import tarfile
import zipfile

wheel, wheel_from_sdist, sdist = sys.argv[1:]
WHEEL_NEEDS = ["Vorlant/__init__.py", "Vorlant/py.typed", "Vorlant/tavrel_ext.pyi",
               "Vorlant/tavrel_ext.cpython-*.so"]
SDIST_NEEDS = ["*/pyproject.toml", "*/CMakeLists.txt", "*/README.md", "*/Vorlant/__init__.py",
               "*/Vorlant/py.typed", "*/Vorlant/tavrel_ext.pyi", "*/src/module/module.cpp",
               "*/src/module/exports.map", "*/src/png/decode.cpp", "*/src/bmp/reader.cpp", "*/tests/conftest.py"]
failed = False

def check(label, names, needs):
    global failed
    for pattern in needs:
        if not fnmatch.filter(names, pattern):
            print(f"{label}: missing {pattern}")
            failed = True

def wheel_files(path):
    with zipfile.ZipFile(path) as z:
        return sorted(n for n in z.namelist() if ".dist-info/" not in n)

first, second = wheel_files(wheel), wheel_files(wheel_from_sdist)
check("wheel", first, WHEEL_NEEDS)
check("wheel from sdist", second, WHEEL_NEEDS)
if first != second:
    print(f"the two wheels differ:\n  {first}\n  {second}")
    failed = True
with tarfile.open(sdist) as t:
    check("sdist", t.getnames(), SDIST_NEEDS)
print("wheel:", ", ".join(first))
sys.exit(1 if failed else 0)
PYCHECK

# The test extra's requirements, as pyproject.toml lists them.
mapfile -t TEST_DEPS < <("$TMP/tools/bin/python" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))')

for whl in "$WHEELS"/*.whl "$FROM_SDIST"/*.whl; do
    label=$(basename "$(dirname "$whl")")
    echo "== install and test: $label/$(basename "$whl")"
    env="$TMP/env-$label"
    "$PY" -m venv "$env"
    "$env/bin/python" -m pip install -q "$whl" "${TEST_DEPS[@]}"
    # From a folder outside the project, so that only the installed package can be imported.
    (cd "$TMP" && "$env/bin/python" -I -c '
import sys, Vorlant.tavrel_ext as m
assert "site-packages" in m.__file__, m.__file__
print("imported", m.__file__)')
    # The venv's own pytest (not `python -m pytest`), run from outside the project: the source folder Vorlant/
    # holds no built module and must not shadow the installed one. The tests find ../shared beside the project.
    (cd "$TMP" && "$env/bin/pytest" -q -p no:cacheprovider --rootdir "$ROOT" "$ROOT/tests" \
        --ignore "$ROOT/tests/test_native_core.py")
done
echo "check-dist: OK"
