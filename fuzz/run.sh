#!/usr/bin/env bash
# Builds the fuzz harnesses and runs each for SECONDS, one after another on one core; prints executions, coverage and
# findings per harness and exits non-zero when any harness crashed or failed one of its checks.
# Usage: fuzz/run.sh [SECONDS [HARNESS...]]      SECONDS defaults to 60
#   harnesses: png_decode bmp_read roundtrip (libFuzzer, over the codec core, with ASan and UBSan) and atheris_open
#   (atheris, over Tavrel.open / save / re-open in the extension built with native coverage, ASan and UBSan).
# Corpora grow across runs in build/fuzz/corpus/HARNESS; crashing inputs land in build/fuzz/artifacts; logs in
# build/fuzz/logs (FUZZ_OUT=DIR puts all of it elsewhere). Seeds are made at run time: PngSuite files from ../shared
# when present, and small PNG and BMP files written by the module. Installs clang and the libFuzzer runtime (the
# Debian packages listed in scripts/lib.sh) when they are missing.
set -uo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
ROOT=$PWD
SECS=${1:-60}
shift || true
HARNESSES=("$@")
[ ${#HARNESSES[@]} -gt 0 ] || HARNESSES=(png_decode bmp_read roundtrip atheris_open)
OUT=${FUZZ_OUT:-$ROOT/build/fuzz}
mkdir -p "$OUT"/{bin,corpus,artifacts,logs}

CXX=${FUZZ_CXX:-clang++}
need_debs "${DEBS_CLANG[@]}" "${DEBS_BUILD[@]}" || exit 1

# ---- native harnesses -------------------------------------------------------------------------------------------
FLAGS=(-std=c++20 -g -O1 -Wall -Wextra -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -fno-omit-frame-pointer -Isrc -Ifuzz)
LIBS=(-lz)
[ "${CI:-}" = "true" ] && FLAGS+=(-Werror)   # CI builds with warnings as errors
if [ -f /usr/include/isa-l/igzip_lib.h ]; then FLAGS+=(-DTAVREL_HAVE_ISAL=1); LIBS+=(-lisal); fi
build_native() {
    echo "== building $1"
    "$CXX" "${FLAGS[@]}" "fuzz/$1.cpp" src/png/*.cpp src/bmp/*.cpp -o "$OUT/bin/$1" "${LIBS[@]}"
}

# ---- atheris, and the extension built by clang with sanitizer coverage, ASan and UBSan, both installed into a folder
# of their own (build/fuzz/site) and run with .venv's interpreter, that folder first on PYTHONPATH --------------------
VENV=$ROOT/.venv
SITE=$OUT/site
setup_atheris() {
    [ -x "$VENV/bin/pytest" ] || bash scripts/setup.sh || return 1
    [ -d "$SITE/atheris" ] || "$VENV/bin/python" -m pip install -q --target "$SITE" atheris || return 1
    echo "== building the extension for atheris (clang, fuzzer-no-link, address, undefined)"
    # The runtime atheris preloads has no handlers for the vptr and function checks, which need RTTI support.
    CC=clang CXX=clang++ "$VENV/bin/python" -m pip install -q --upgrade --no-deps --target "$SITE" "${PIP_WERROR[@]}" \
        -Cbuild-dir="$OUT/ext-build" -Ccmake.define.TAVREL_SANITIZE="address,undefined,fuzzer-no-link" \
        -Ccmake.define.TAVREL_SANITIZE_EXCLUDE="vptr,function" . || return 1
}
atheris_env() {
    local lib
    lib=$(PYTHONPATH="$SITE" "$VENV/bin/python" -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')
    # CPython's own allocations are not ours to judge here: leaks are the memcheck script's business.
    env PYTHONPATH="$SITE" LD_PRELOAD="$lib" ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" "$@"
}

# ---- seeds ------------------------------------------------------------------------------------------------------
SEEDS=$OUT/seeds
make_seeds() {
    rm -rf "$SEEDS"
    mkdir -p "$SEEDS"/{png,bmp,suite_png,suite_bmp}
    local suite=$ROOT/../shared/testdata/pngsuite
    if [ -d "$suite/png" ]; then
        cp "$suite"/png/*.png "$SEEDS/suite_png/" 2>/dev/null
        cp "$suite"/bmp/*.bmp "$SEEDS/suite_bmp/" 2>/dev/null
    else
        echo "PngSuite not present: no suite seeds"
    fi
    # Any interpreter with the module installed writes them; the sanitized build in the atheris venv needs its
    # runtime preloaded.
    local cand
    for cand in "${PYTHON:-}" "$VENV/bin/python" atheris; do
        [ "$cand" = atheris ] || { [ -n "$cand" ] && [ -x "$cand" ]; } || continue
        local run=("$cand")
        [ "$cand" = atheris ] && run=(atheris_env "$VENV/bin/python")
        if (cd /tmp && "${run[@]}" -c 'import Vorlant.tavrel_ext') >/dev/null 2>&1; then
            "${run[@]}" fuzz/make_seeds.py "$SEEDS"
            return
        fi
    done
    echo "the module is not installed (bash scripts/setup.sh): no module-written seeds"
}

# ---- running ----------------------------------------------------------------------------------------------------
STATUS=0
SUMMARY=()
# run_one NAME MAX_LEN SEED_DIR...
run_one() {
    local name=$1 max_len=$2
    shift 2
    local log=$OUT/logs/$name.log cmd
    mkdir -p "$OUT/corpus/$name"
    if [ "$name" = atheris_open ]; then
        cmd=(atheris_env "$VENV/bin/python" fuzz/atheris_open.py)
    else
        cmd=("$OUT/bin/$name")
    fi
    echo "== running $name for ${SECS}s (log: $log)"
    "${cmd[@]}" -max_total_time="$SECS" -print_final_stats=1 -max_len="$max_len" -timeout=30 -rss_limit_mb=3072 \
        -artifact_prefix="$OUT/artifacts/$name-" "$OUT/corpus/$name" "$@" >"$log" 2>&1 </dev/null
    local rc=$?
    local execs rate last corpus
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    last=$(grep -E '^#[0-9]+' "$log" | tail -1)
    corpus=$(find "$OUT/corpus/$name" -type f | wc -l)
    local line="$name: ${execs:-?} executions, ${rate:-?} exec/s, corpus $corpus files;"
    line+=" $(echo "$last" | grep -oE '(cov|ft): [0-9]+' | tr '\n' ' ')"
    if [ $rc -ne 0 ]; then
        STATUS=1
        line+=" FINDING (exit $rc):"
        line+=" $(grep -oE "$OUT/artifacts/$name-[^ ]+" "$log" | tail -1)"
        echo "---- $name failed; the end of its log:"
        tail -40 "$log"
    else
        line+=" no findings"
    fi
    echo "$line"
    SUMMARY+=("$line")
}

want() {
    local h
    for h in "${HARNESSES[@]}"; do [ "$h" = "$1" ] && return 0; done
    return 1
}

for h in png_decode bmp_read roundtrip; do
    if want "$h"; then build_native "$h" || exit 1; fi
done
if want atheris_open; then
    setup_atheris || { echo "atheris could not be set up" >&2; exit 1; }
fi
make_seeds

want png_decode && run_one png_decode 16384 "$SEEDS/png" "$SEEDS/suite_png"
want bmp_read && run_one bmp_read 16384 "$SEEDS/bmp" "$SEEDS/suite_bmp"
want roundtrip && run_one roundtrip 8192
want atheris_open && run_one atheris_open 16384 "$SEEDS/png" "$SEEDS/bmp" "$SEEDS/suite_png" "$SEEDS/suite_bmp"

echo "== summary"
for line in "${SUMMARY[@]}"; do echo "$line"; done
exit $STATUS
