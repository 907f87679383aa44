# Shared by the project's scripts (sourced, not run): finding an interpreter
# under pyenv and installing Debian packages.

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# find_python [VERSION]: prints the path of a working pythonVERSION (default
# 3.12): the one on PATH, or pyenv's. A pyenv shim answers `command -v` even
# where it cannot run, hence the trial run.
find_python() {
    local v=${1:-3.12} p
    if command -v "python$v" >/dev/null 2>&1 && "python$v" -c 'import sys' >/dev/null 2>&1; then
        command -v "python$v"
        return 0
    fi
    if command -v pyenv >/dev/null 2>&1; then
        for p in "$(pyenv root)"/versions/"$v"*/bin/python"$v"; do
            if [ -x "$p" ]; then echo "$p"; return 0; fi
        done
    fi
    echo "Python $v not found" >&2
    return 1
}

# ---- Debian packages ----------------------------------------------------------------------------------------------
# Every Debian package the scripts install, in one place, by purpose. Each script asks for the lists it needs with
# need_debs; .ci/run installs them all at once, after a single `apt-get update`.
DEBS_BUILD=(zlib1g-dev g++)             # the build: zlib's headers (required), the compiler
DEBS_BUILD_OPTIONAL=(libisal-dev)       # the faster inflater: the build falls back to zlib without them
DEBS_LINT=(clang-format clang-tidy)     # scripts/lint.sh
DEBS_CLANG=(clang libclang-rt-14-dev)   # the clang build, the fuzzers and their sanitizer runtimes
DEBS_MEMCHECK=(valgrind)                # scripts/test-memcheck.sh
DEBS_ALL=("${DEBS_BUILD[@]}" "${DEBS_BUILD_OPTIONAL[@]}" "${DEBS_LINT[@]}" "${DEBS_CLANG[@]}" "${DEBS_MEMCHECK[@]}")

_APT_UPDATED=0
deb_installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }

# need_debs [--optional] PKG...: installs those of the packages that are missing (apt-get update at most once per
# script). Without --optional a package that cannot be installed is an error; with it, a warning.
need_debs() {
    local optional=0 p missing=()
    if [ "${1:-}" = "--optional" ]; then optional=1; shift; fi
    for p in "$@"; do deb_installed "$p" || missing+=("$p"); done
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$_APT_UPDATED" -eq 0 ]; then $SUDO apt-get update -q; _APT_UPDATED=1; fi
    if [ "$optional" -eq 0 ]; then
        $SUDO apt-get install -y -q "${missing[@]}"
    else
        for p in "${missing[@]}"; do
            $SUDO apt-get install -y -q "$p" || echo "optional package $p not installed" >&2
        done
    fi
}

# ---- the venv ---------------------------------------------------------------------------------------------------
# One venv per interpreter: .venv (3.12, made by scripts/setup.sh with the test tools) and .venv313. Builds of other
# kinds (zlib-only, sanitized, debug) are installed into folders of their own under build/ with `pip --target` and
# tested with .venv's interpreter, the folder first on PYTHONPATH.

# need_venv: makes .venv with scripts/setup.sh when it is missing or lacks the test tools.
need_venv() {
    [ -x .venv/bin/pytest ] || bash scripts/setup.sh
}

# CI builds with warnings as errors: the build must stay warning-free. PIP_WERROR holds the pip arguments for it.
PIP_WERROR=()
if [ "${CI:-}" = "true" ]; then PIP_WERROR=(-Ccmake.define.TAVREL_WERROR=ON); fi
