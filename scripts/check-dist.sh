#!/usr/bin/env bash
# Checks the distributions:
#   1. the wheel: the manylinux wheel scripts/build-wheel.sh makes in dist/ (built here first; WHEEL=FILE checks a
#      wheel already built). It holds the package, the built module, the type stub, the py.typed marker and the
#      licence; any library it carries (in vorlant.libs/) comes with its licence text;
#   2. the sdist, from the project's own files (those git tracks, as they are in the work tree), holds the sources,
#      the stub, the licence and the tests; a wheel built from it holds the same package files as the first one;
#   3. the wheel installs into a fresh virtual environment and imports there with no library from outside the wheel
#      but the system's: every library the installed module needs is either one every manylinux platform has or one
#      of the wheel's own copies (ldd), the process that imported it has no other copy of them mapped, and where a
#      private mount namespace is available, it imports with the system's copies of those libraries hidden;
#   4. the tests pass there against the installed package (the native codec-core tests, which compile the sources
#      themselves and do not use the package, are left to scripts/test-native.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ROOT=$PWD
VENV=${VENV:-.venv}

need_debs "${DEBS_BUILD[@]}"
if [ -z "${WHEEL:-}" ]; then
    bash scripts/build-wheel.sh
    WHEEL=$(ls -t dist/*.whl | head -1)
fi
WHEEL=$(realpath "$WHEEL")
PY=$("$VENV/bin/python" -c 'import sys; print(sys._base_executable)')
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
echo "check-dist: $(basename "$WHEEL"), working in $TMP"

# The project's own files, without build folders, virtual environments or anything untracked.
mkdir "$TMP/project"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z | xargs -0 tar -cf - | tar -xf - -C "$TMP/project"
else
    tar -cf - --exclude=./build --exclude='./.venv*' --exclude=./dist . | tar -xf - -C "$TMP/project"
fi

"$VENV/bin/python" -m pip install -q "$("$VENV/bin/python" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print(next(p for p in tomllib.load(f)["project"]["optional-dependencies"]["dist"] if p.startswith("build")))')"
SDIST="$TMP/sdist" FROM_SDIST="$TMP/wheel-from-sdist"
echo "== sdist"
"$VENV/bin/python" -m build -q --sdist -o "$SDIST" "$TMP/project" >/dev/null
SDIST_FILE=$(ls "$SDIST"/*.tar.gz)
echo "== pip wheel from $(basename "$SDIST_FILE")"
"$VENV/bin/python" -m pip wheel -q --no-deps -w "$FROM_SDIST" "$SDIST_FILE"

# What each archive must hold, and the two wheels alike in the package's files.
"$VENV/bin/python" - "$WHEEL" "$FROM_SDIST"/*.whl "$SDIST_FILE" <<'PYCHECK'
import fnmatch
import re
import sys
import tarfile
import zipfile

wheel, wheel_from_sdist, sdist = sys.argv[1:]
WHEEL_NEEDS = ["Vorlant/__init__.py", "Vorlant/py.typed", "Vorlant/tavrel_ext.pyi",
               "Vorlant/tavrel_ext.cpython-*.so", "*.dist-info/licenses/LICENSE"]
SDIST_NEEDS = ["*/pyproject.toml", "*/CMakeLists.txt", "*/README.md", "*/LICENSE", "*/src/Vorlant/__init__.py",
               "*/src/Vorlant/py.typed", "*/src/Vorlant/tavrel_ext.pyi", "*/src/module/module.cpp",
               "*/src/module/exports.map", "*/src/png/decode.cpp", "*/src/bmp/reader.cpp", "*/tests/conftest.py"]
failed = False

def check(label, names, needs):
    global failed
    for pattern in needs:
        if not fnmatch.filter(names, pattern):
            print(f"{label}: missing {pattern}")
            failed = True

def package_files(names):
    return sorted(n for n in names if n.startswith("Vorlant/") and not n.endswith("/"))

with zipfile.ZipFile(wheel) as z:
    names = z.namelist()
    metadata = z.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
with zipfile.ZipFile(wheel_from_sdist) as z:
    second = z.namelist()
check("wheel", names, WHEEL_NEEDS)
check("wheel from sdist", second, WHEEL_NEEDS)
if package_files(names) != package_files(second):
    print(f"the two wheels differ:\n  {package_files(names)}\n  {package_files(second)}")
    failed = True
if not re.search(r"-manylinux_\d+_\d+_x86_64\.whl$", wheel):
    print(f"not a manylinux wheel: {wheel}")
    failed = True
libs = [n for n in names if re.match(r"[^/]+\.libs/[^/]+$", n)]
licences = re.findall(r"^License-File: (third-party/.*)$", metadata, re.M)
if len(licences) != len(libs):
    print(f"{len(libs)} libraries copied in ({libs}) but {len(licences)} licence texts ({licences})")
    failed = True
for name in licences:
    if not any(n.endswith(f".dist-info/licenses/{name}") for n in names):
        print(f"the metadata names {name}, the wheel does not hold it")
        failed = True
with tarfile.open(sdist) as t:
    check("sdist", t.getnames(), SDIST_NEEDS)
print("wheel:", ", ".join(n for n in names if ".dist-info/" not in n))
print("licence files:", ", ".join(re.findall(r"^License-File: (.*)$", metadata, re.M)))
sys.exit(1 if failed else 0)
PYCHECK

# The test extra's requirements, as pyproject.toml lists them.
mapfile -t TEST_DEPS < <("$VENV/bin/python" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))')

echo "== install into a fresh venv: $(basename "$WHEEL")"
ENV=$TMP/env
"$PY" -m venv "$ENV"
"$ENV/bin/python" -m pip install -q "$WHEEL" "${TEST_DEPS[@]}"
SO=$(cd "$TMP" && "$ENV/bin/python" -I -c 'import Vorlant.tavrel_ext as m; print(m.__file__)')
case "$SO" in "$ENV"/*) echo "imported $SO" ;; *) echo "imported $SO, not the installed module" >&2; exit 1 ;; esac
SITE=$(dirname "$(dirname "$SO")")

echo "== the installed module's libraries"
"$ENV/bin/python" -m pip install -q "$("$VENV/bin/python" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print(next(p for p in tomllib.load(f)["project"]["optional-dependencies"]["dist"] if p.startswith("auditwheel")))')"
"$ENV/bin/auditwheel" show "$WHEEL"
ldd "$SO"
# Each library the module loads is one of the wheel's copies or one of the system libraries below, which every
# manylinux platform has (zlib among them: the module must use the host's own). The copies are named NAME-HASH.so.N,
# so that no system library of the soname NAME.so.N can stand in for them; the process that imported the module must
# have no other copy of them mapped.
(cd "$TMP" && "$ENV/bin/python" -I - "$SO" "$SITE" <<'PYEOF'
import os
import re
import subprocess
import sys

so, site = sys.argv[1:]
SYSTEM = {"linux-vdso.so.1", "libz.so.1", "libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1",
          "libpthread.so.0", "libdl.so.2", "ld-linux-x86-64.so.2"}
bad = False
copies = []
for line in subprocess.run(["ldd", so], capture_output=True, text=True, check=True).stdout.splitlines():
    m = re.match(r"\s*(\S+)(?: => (\S+))?", line)
    name, path = m.group(1), os.path.normpath(m.group(2) or m.group(1))
    if path == "not":
        print(f"{name}: not found")
        bad = True
    elif re.match(re.escape(site) + r"/[^/]+\.libs/", path):
        copies.append(re.sub(r"-[0-9a-f]{8}(?=\.so)", "", name))
        print(f"{name}: the wheel's copy")
    elif os.path.basename(name) in SYSTEM:
        print(f"{name}: the system's, {path}")
    else:
        print(f"{name}: from outside the wheel, {path}")
        bad = True

import Vorlant.tavrel_ext  # noqa: E402,F401

with open("/proc/self/maps") as f:
    mapped = {line.split()[-1] for line in f if "/" in line}
for lib in copies:
    stem = lib.split(".so")[0]
    others = [p for p in mapped if os.path.basename(p).startswith(stem + ".so") and not p.startswith(site)]
    if others:
        print(f"{lib}: the system's copy is mapped too: {others}")
        bad = True
print(f"{len(copies)} copied libraries, loaded from the wheel only" if not bad else "libraries: FAILED")
sys.exit(1 if bad else 0)
PYEOF
)
# With the system's copies of the copied libraries hidden (bound over by an empty file in a mount namespace of
# this command's own), the module must still import. Skipped where no private mount namespace can be made.
HIDE=()
for copy in "$SITE"/*.libs/*; do
    [ -e "$copy" ] || continue
    soname=$(basename "$copy" | sed -E 's/-[0-9a-f]{8}(\.so)/\1/')
    while read -r lib; do HIDE+=("$(realpath "$lib")"); done < <(ldconfig -p | awk -v n="$soname" '$1 == n {print $NF}')
done
if [ ${#HIDE[@]} -eq 0 ]; then
    echo "no system copy of a copied library to hide"
elif unshare -m true 2>/dev/null; then
    echo "== import with ${HIDE[*]} hidden"
    cat >"$TMP/hidden.py" <<'PYEOF'
import os
import tempfile

import Vorlant
from Vorlant import Tavrel

path = os.path.join(tempfile.mkdtemp(), "two.png")
Tavrel(2, 1, b"\xff\x00\x00\x00\xff\x00").save(path)
assert Tavrel.open(path).getPixel((1, 0)) == (0, 255, 0)
print("imported, saved and opened a PNG:", Vorlant.__version__, Vorlant.tavrel_ext.__file__)
PYEOF
    (cd "$TMP" && unshare -m sh -c 'for f in "$@"; do mount --bind /dev/null "$f" || exit 1; done
        "'"$ENV"'/bin/python" -I "'"$TMP"'/hidden.py"' \
        hide "${HIDE[@]}")
else
    echo "no private mount namespace here: the import with the system's copies hidden is skipped"
fi

# The venv's pytest, from the project root: nothing there shadows the installed package (the source package is
# under src/). The tests find ../shared beside the project.
echo "== tests against the installed wheel"
"$ENV/bin/pytest" -q -p no:cacheprovider --ignore "$ROOT/tests/test_native_core.py"
echo "check-dist: OK"
