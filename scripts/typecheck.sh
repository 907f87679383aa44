#!/usr/bin/env bash
# Checks the type stub against the built module with mypy.stubtest, and that
# examples/roundtrip.py type-checks (mypy, strict, as set in pyproject.toml).
# Uses the package installed in .venv (built by scripts/setup.sh when .venv is
# missing); mypy's version is the one pinned in pyproject.toml's `lint` extra.
# Differences stubtest reports but a stub cannot express go in
# scripts/stubtest-allowlist.txt, one per line, each with a comment saying why.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
VENV=${VENV:-.venv}

[ -x "$VENV/bin/python" ] || bash scripts/setup.sh
MYPY_PIN=$("$VENV/bin/python" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    pins = tomllib.load(f)["project"]["optional-dependencies"]["lint"]
print(next(p for p in pins if p.startswith("mypy")))')
"$VENV/bin/python" -m pip install -q "$MYPY_PIN"

ALLOW=()
[ -f scripts/stubtest-allowlist.txt ] && ALLOW=(--allowlist "$ROOT/scripts/stubtest-allowlist.txt")
echo "== stubtest Vorlant.tavrel_ext"
# From outside the project: the module and its stub are the installed ones, so this also checks that the stub is
# installed beside the module.
OUTSIDE=$(mktemp -d)
trap 'rm -rf "$OUTSIDE"' EXIT
(cd "$OUTSIDE" && "$ROOT/$VENV/bin/python" -m mypy.stubtest Vorlant.tavrel_ext "${ALLOW[@]}")

echo "== mypy examples/roundtrip.py"
"$VENV/bin/python" -m mypy examples/roundtrip.py
