#!/usr/bin/env bash
# Runs the reading, writing and pixel tests under valgrind memcheck against an extension built with debug information
# (into a folder and build directory of their own under build/memcheck, tested with .venv's interpreter, that folder
# first on PYTHONPATH; .venv's own build is left alone). Fails on any memory error valgrind
# reports (invalid read or write, use of uninitialised memory, bad free) and on any definite leak whose allocation
# stack runs through the module; CPython's own leftovers at exit are not ours and are listed only as a count.
# Usage: scripts/test-memcheck.sh [PYTEST_ARGS...]   (default: the subset below)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ROOT=$PWD
OUT=$ROOT/build/memcheck

SITE=$OUT/site

need_debs "${DEBS_BUILD[@]}" "${DEBS_MEMCHECK[@]}"
need_venv
echo "== building the extension with debug information into $SITE"
.venv/bin/python -m pip install -q --no-deps --upgrade --target "$SITE" "${PIP_WERROR[@]}" \
    -Cbuild-dir="$OUT/ext-build" -Ccmake.build-type=RelWithDebInfo .
export PYTHONPATH=$SITE

# With arguments, one run of pytest over them; without, the subset below in two runs side by side (one per core).
GROUPS_OF_TESTS=("$*")
if [ $# -eq 0 ]; then
    # Everything in these files but the tests that repeat one path many times over: the randomised comparisons with
    # the reference decoders, the large images and chunks, the million-image chains, the leak loops and the thread
    # races. Under valgrind each of them takes minutes to hours without reaching code the others do not.
    SKIP=(agrees_with_the_reference large_image_rows_in_order long_chain_of_images no_leak huge_claim large_chunk
          lock_is_released rows_read_in_blocks)
    printf -v K ' and not %s' "${SKIP[@]}"
    K=${K# and }
    GROUPS_OF_TESTS=("tests/test_read.py" "tests/test_write.py tests/test_pixels.py tests/test_image.py")
fi

rm -rf "$OUT/logs"
mkdir -p "$OUT/logs"
# PYTHONMALLOC=malloc: every Python object is its own heap block, so that valgrind sees the bounds of each buffer
# and can tell which leaked block was allocated where. Memory measurements skip themselves (TAVREL_SANITIZED).
memcheck() {  # memcheck OUTPUT PYTEST_ARGS...
    local out=$1
    shift
    TAVREL_SANITIZED=1 PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --errors-for-leak-kinds=none \
        --leak-check=full --show-leak-kinds=definite --num-callers=40 \
        --suppressions="$ROOT/scripts/valgrind-python.supp" --log-file="$OUT/logs/memcheck.%p.log" \
        "$ROOT/.venv/bin/python" "$ROOT/.venv/bin/pytest" -q -p no:cacheprovider "$@" >"$out" 2>&1
}
status=0
PIDS=()
for i in "${!GROUPS_OF_TESTS[@]}"; do
    read -r -a ARGS <<<"${GROUPS_OF_TESTS[$i]}"
    [ $# -eq 0 ] && ARGS+=(-k "$K")
    [ $# -eq 0 ] || ARGS=("$@")
    echo "== running ${ARGS[*]} under valgrind memcheck (add --track-origins=yes by hand to trace an uninitialised value)"
    memcheck "$OUT/logs/pytest.$i.out" "${ARGS[@]}" &
    PIDS+=($!)
done
for i in "${!PIDS[@]}"; do
    wait "${PIDS[$i]}" || status=$?
    cat "$OUT/logs/pytest.$i.out"
done

# The verdict: memory errors from valgrind's summary, leaks of the module from the leak records. A definite leak is the
# module's when a frame of the module is the first caller above the allocator, before any Python frame: past a Python
# frame the object was made by Python code the module called back into (a stream's read, a path's __fspath__), whose
# objects Python code owns. Interned strings are left out: the interpreter keeps them forever by design.
.venv/bin/python - "$OUT/logs" <<'PYEOF' || status=1
import re
import sys
from pathlib import Path

RECORD = re.compile(r"^==\d+== [\d,]+ (?:\([\d,]+ direct, [\d,]+ indirect\) )?bytes in [\d,]+ blocks"
                    r" are definitely lost.*?(?=^==\d+== $)", re.S | re.M)

def ours(record):
    frames = [line for line in record.splitlines() if re.match(r"==\d+==    (at|by) ", line)]
    for frame in frames:
        if "PyUnicode_Intern" in frame or "_PyEval_EvalFrame" in frame:
            return False
        if "tavrel" in frame:
            return True
    return False

bad = 0
for log in sorted(Path(sys.argv[1]).glob("memcheck.*.log")):
    text = log.read_text(errors="replace")
    errors = re.search(r"ERROR SUMMARY: (\d+) errors", text)
    if errors and int(errors.group(1)):
        print(f"{log.name}: {errors.group(1)} memory errors")
        bad = 1
    records = RECORD.findall(text)
    mine = [r for r in records if ours(r)]
    print(f"{log.name}: {len(records)} definite leak records, {len(mine)} of them the module's")
    for r in mine:
        print(r)
        bad = 1
sys.exit(bad)
PYEOF
if [ $status -ne 0 ]; then
    echo "memcheck found problems; logs in $OUT/logs" >&2
    grep -h -A30 -E 'Invalid (read|write|free)|uninitialised|Mismatched free|overlap' "$OUT"/logs/memcheck.*.log |
        head -200 >&2 || true
    exit 1
fi
echo "memcheck clean"
