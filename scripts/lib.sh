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
