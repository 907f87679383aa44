#!/usr/bin/env bash
# Lint everything: clang-format (check) and clang-tidy on the C++, ruff on the
# Python, mypy (strict) on the package's stub and the example.
#   scripts/lint.sh          check only; exits non-zero if any tool reports
#   scripts/lint.sh --fix    apply clang-format and ruff's safe fixes, then check
# Installs what is missing: clang-format and clang-tidy from Debian's packages,
# ruff and mypy (versions pinned in pyproject.toml's `lint` extra) into .venv-lint.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

FIX=0
case "${1:-}" in
    --fix) FIX=1 ;;
    "") ;;
    *) echo "usage: $0 [--fix]" >&2; exit 2 ;;
esac

APT_UPDATED=0
apt_install() {
    if [ "$APT_UPDATED" -eq 0 ]; then $SUDO apt-get update -q; APT_UPDATED=1; fi
    $SUDO apt-get install -y -q "$@"
}

# --- tools -----------------------------------------------------------------
# Debian's clang tools (version 14 on bookworm); the versioned names win when both exist.
pick() { for n in "$@"; do if command -v "$n" >/dev/null 2>&1; then command -v "$n"; return; fi; done; }
CLANG_FORMAT=$(pick clang-format-14 clang-format)
CLANG_TIDY=$(pick clang-tidy-14 clang-tidy)
if [ -z "$CLANG_FORMAT" ] || [ -z "$CLANG_TIDY" ]; then
    apt_install clang-format clang-tidy
    CLANG_FORMAT=$(pick clang-format-14 clang-format)
    CLANG_TIDY=$(pick clang-tidy-14 clang-tidy)
fi
# clang-tidy compiles the sources: it needs the headers the build uses.
[ -f /usr/include/zlib.h ] || apt_install zlib1g-dev
[ -f /usr/include/isa-l/igzip_lib.h ] || apt_install libisal-dev ||
    echo "libisal-dev not installed: checking the zlib-only build" >&2

PY=${PYTHON:-$(find_python)}
[ -x .venv-lint/bin/python ] || "$PY" -m venv .venv-lint
mapfile -t PINS < <(.venv-lint/bin/python -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["lint"]))')
if ! .venv-lint/bin/python -m pip show -q ruff mypy >/dev/null 2>&1 ||
   ! .venv-lint/bin/python - "${PINS[@]}" <<'PYCHECK'
import sys
from importlib.metadata import version
for pin in sys.argv[1:]:
    name, want = pin.split("==")
    if version(name) != want:
        sys.exit(1)
PYCHECK
then
    .venv-lint/bin/python -m pip install -q "${PINS[@]}"
fi
# CMake writes the compile commands; the one scikit-build-core uses comes from PyPI when there is none.
# (A pyenv shim answers `command -v` even where it cannot run, hence the version call.)
CMAKE_GENERATOR_ARGS=()
if ! cmake --version >/dev/null 2>&1; then
    .venv-lint/bin/python -m pip install -q cmake ninja
    export PATH="$PWD/.venv-lint/bin:$PATH"
fi
if ! make --version >/dev/null 2>&1; then
    ninja --version >/dev/null 2>&1 || .venv-lint/bin/python -m pip install -q ninja
    export PATH="$PWD/.venv-lint/bin:$PATH"
    CMAKE_GENERATOR_ARGS=(-G Ninja)
fi

echo "clang-format: $("$CLANG_FORMAT" --version)"
echo "clang-tidy:   $("$CLANG_TIDY" --version | grep -i version | head -1)"
echo "ruff:         $(.venv-lint/bin/ruff --version)"
echo "mypy:         $(.venv-lint/bin/mypy --version)"

FAILED=()

# --- C++ formatting -----------------------------------------------------------
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t CXX_FILES < <(git ls-files '*.cpp' '*.h' '*.inc')
else
    mapfile -t CXX_FILES < <(find src tests bench fuzz -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.inc' \) 2>/dev/null | sort)
fi
echo "== clang-format (${#CXX_FILES[@]} files)"
if [ "$FIX" -eq 1 ]; then
    "$CLANG_FORMAT" -i --style=file "${CXX_FILES[@]}"
fi
UNFORMATTED=()
for f in "${CXX_FILES[@]}"; do
    "$CLANG_FORMAT" --style=file "$f" | cmp -s - "$f" || UNFORMATTED+=("$f")
done
if [ "${#UNFORMATTED[@]}" -ne 0 ]; then
    printf 'not formatted: %s\n' "${UNFORMATTED[@]}"
    echo "(scripts/lint.sh --fix formats them; \`$CLANG_FORMAT --dry-run FILE\` shows where)"
    FAILED+=(clang-format)
fi

# --- C++ static checks ------------------------------------------------------
# A build folder of its own, configured only: CMake finds Python's include folders and the libraries,
# and writes the exact flags of every translation unit.
echo "== clang-tidy"
mkdir -p build
cmake -S . -B build/lint "${CMAKE_GENERATOR_ARGS[@]}" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_BUILD_TYPE=Release \
    -DPython_EXECUTABLE="$PY" >build/lint.cmake.log 2>&1 || { cat build/lint.cmake.log; exit 1; }
mapfile -t TU < <(.venv-lint/bin/python -c '
import json
print("\n".join(sorted(e["file"] for e in json.load(open("build/lint/compile_commands.json")))))')
# Two at a time: the machine has two cores. Headers under src/ are checked through the files that include them.
printf '%s\n' "${TU[@]}" | xargs -P 2 -n 4 "$CLANG_TIDY" -p build/lint --quiet 2>/dev/null || FAILED+=(clang-tidy)

# --- Python -------------------------------------------------------------------
echo "== ruff"
if [ "$FIX" -eq 1 ]; then
    .venv-lint/bin/ruff check --fix . || true
fi
.venv-lint/bin/ruff check . || FAILED+=(ruff)

echo "== mypy"
# The files and the strictness are set in pyproject.toml: the stub and examples/roundtrip.py.
.venv-lint/bin/mypy || FAILED+=(mypy)

if [ "${#FAILED[@]}" -ne 0 ]; then
    echo "lint: FAILED: ${FAILED[*]}" >&2
    exit 1
fi
echo "lint: all clean"
