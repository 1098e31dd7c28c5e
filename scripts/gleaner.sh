#!/usr/bin/env bash
# One entry point for building, starting and testing Gleaner.
#
#   scripts/gleaner.sh run        install what is missing, build, start the application
#   scripts/gleaner.sh test       install what is missing, build, run every test suite
#   scripts/gleaner.sh sanitize   the tests again, built with AddressSanitizer + UBSan
#   scripts/gleaner.sh bench      release build, then the block-cache benchmark (arguments pass on)
#                                 and the HFS Plus walk benchmark (needs xorriso and fls)
#   scripts/gleaner.sh fuzz       clang build of the fuzz targets, each run for FUZZ_SECONDS
#   scripts/gleaner.sh coverage   build with --coverage, run every suite, print gcovr's line and branch
#                                 summary of the engine (src/) into build-coverage/
#   scripts/gleaner.sh build      install what is missing and build, nothing more
#   scripts/gleaner.sh setup      only install what is missing
#
# Environment: BUILD_DIR (build folder, relative to the source tree or absolute), CMAKE_ARGS (more
# -D options for the configure step), JOBS (parallel jobs, default nproc), SKIP_SETUP=1 (no package
# check), FUZZ_SECONDS (time per fuzz target, default 60), HFSWALK_IMAGE (where the walk benchmark
# keeps its 100,000-file volume for later runs; default: made in TMPDIR and removed).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="${JOBS:-$(nproc)}"
APP_NAME=gleaner # the application executable, built from src/ui/

usage() {
    sed -n '2,18p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
}

setup() {
    if [[ "${SKIP_SETUP:-0}" != 1 ]]; then
        "$ROOT/scripts/setup.sh"
    fi
}

# build DIR BUILD_TYPE [cmake options...]: configures once (again only when the options change) and builds.
build() {
    local dir="$1" type="$2"
    shift 2
    [[ "$dir" = /* ]] || dir="$ROOT/$dir"
    local args=(-S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$type" "$@")
    if [[ -n "${CMAKE_ARGS:-}" ]]; then
        # shellcheck disable=SC2206 # CMAKE_ARGS is a list of words by design
        args+=(${CMAKE_ARGS})
    fi
    # A folder configured before keeps its generator; a new one gets Ninja when it is there.
    if [[ ! -f "$dir/CMakeCache.txt" ]] && command -v ninja >/dev/null 2>&1; then
        args+=(-G Ninja)
    fi
    echo "== configure $dir ($type)"
    cmake "${args[@]}"
    echo "== build $dir"
    cmake --build "$dir" -j"$JOBS"
    BUILT_DIR="$dir"
}

run_tests() {
    echo "== test $1"
    ctest --test-dir "$1" --output-on-failure -j"$JOBS"
}

cmd_run() {
    setup
    build "${BUILD_DIR:-build}" Debug
    local app="$BUILT_DIR/src/ui/$APP_NAME"
    if [[ ! -x "$app" ]]; then
        echo "gleaner.sh: the build in $BUILT_DIR made no $APP_NAME executable (see src/ui/CMakeLists.txt)" >&2
        return 1
    fi
    echo "== start $app"
    exec "$app" "$@"
}

cmd_test() {
    setup
    build "${BUILD_DIR:-build}" Debug
    run_tests "$BUILT_DIR"
}

cmd_sanitize() {
    setup
    build "${BUILD_DIR:-build-sanitize}" Debug -DGLEANER_SANITIZE=ON -DGLEANER_BUILD_BENCH=OFF
    export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}"
    export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
    run_tests "$BUILT_DIR"
}

cmd_bench() {
    setup
    build "${BUILD_DIR:-build-release}" Release -DGLEANER_BUILD_TESTS=OFF
    echo "== bench"
    "$BUILT_DIR/bench/cachedisk_bench" "$@"
    if command -v xorriso >/dev/null 2>&1 && command -v fls >/dev/null 2>&1; then
        "$BUILT_DIR/bench/hfswalk_bench" ${HFSWALK_IMAGE:+"$HFSWALK_IMAGE"}
    else
        echo "bench: xorriso or fls not found, no HFS Plus walk benchmark"
    fi
}

cmd_fuzz() {
    setup
    if ! command -v clang++ >/dev/null 2>&1; then
        echo "fuzz: clang++ not found; no fuzz build"
        return 0
    fi
    CC=clang CXX=clang++ build "${BUILD_DIR:-build-fuzz}" RelWithDebInfo -DGLEANER_BUILD_FUZZ=ON \
        -DGLEANER_BUILD_TESTS=OFF -DGLEANER_BUILD_BENCH=OFF
    local seconds="${FUZZ_SECONDS:-60}" bin="$BUILT_DIR/fuzz/bin" seeds="$BUILT_DIR/fuzz/seeds" count=0 target name
    # Seeds written by programs of the fuzz build (no binary images in the tree), one folder per target.
    "$BUILT_DIR/fuzz/tools/make_hfs_seeds" "$seeds/hfsvolume_fuzz"
    if [[ -x "$BUILT_DIR/fuzz/tools/make_preview_seeds" ]]; then
        "$BUILT_DIR/fuzz/tools/make_preview_seeds" "$seeds/preview_fuzz"
    fi
    export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
    export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
    export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$ROOT/fuzz/lsan.supp}"
    for target in "$bin"/*; do
        [[ -f "$target" && -x "$target" ]] || continue
        name="$(basename "$target")"
        # The working corpus grows in the build folder; committed seeds, if any, are read from fuzz/seeds/NAME.
        local corpus="$BUILT_DIR/fuzz/corpus/$name" artifacts="$BUILT_DIR/fuzz/artifacts/$name/"
        mkdir -p "$corpus" "$artifacts"
        # -close_fd_mask=2: the engine's hex dumps write to standard error whatever the log switch
        # says; libFuzzer and the sanitizers go on reporting on their own copy of it.
        local flags=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
                     -close_fd_mask=2 -artifact_prefix="$artifacts")
        local dirs=("$corpus") # new inputs go to the first folder
        if [[ -f "$ROOT/fuzz/$name.dict" ]]; then flags+=(-dict="$ROOT/fuzz/$name.dict"); fi
        # The preview worker's decoders are third-party code whose known faults the worker's
        # sandbox contains (its seeds include such inputs): their crashes are kept as artifacts
        # and the run goes on, in a child process per batch.
        if [[ "$name" == preview_fuzz ]]; then flags+=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1); fi
        if [[ -d "$ROOT/fuzz/seeds/$name" ]]; then dirs+=("$ROOT/fuzz/seeds/$name"); fi
        if [[ -d "$seeds/$name" ]]; then dirs+=("$seeds/$name"); fi
        echo "== fuzz $name for ${seconds}s"
        "$target" "${flags[@]}" "${dirs[@]}" </dev/null
        count=$((count + 1))
    done
    echo "fuzz: $count target(s) run"
}

cmd_coverage() {
    setup
    local dir="${BUILD_DIR:-build-coverage}"
    [[ "$dir" = /* ]] || dir="$ROOT/$dir"
    build "$dir" Debug -DGLEANER_BUILD_BENCH=OFF -DCMAKE_CXX_FLAGS=--coverage -DCMAKE_C_FLAGS=--coverage \
        -DCMAKE_EXE_LINKER_FLAGS=--coverage
    # Counts add up across runs: start from zero so the summary is of this run alone.
    find "$BUILT_DIR" -name '*.gcda' -delete
    ctest --test-dir "$BUILT_DIR" -j"$JOBS" || echo "coverage: some tests failed; the summary still counts them" >&2
    echo "== coverage of src/"
    # gcov's parse warnings (negative branch counts of threaded code) go to a file of their own.
    if ! (cd "$ROOT" && gcovr -r . --filter 'src/' --gcov-ignore-parse-errors -s "$BUILT_DIR" \
        >"$BUILT_DIR/coverage.txt" 2>"$BUILT_DIR/coverage-warnings.txt"); then
        cat "$BUILT_DIR/coverage-warnings.txt" >&2
        return 1
    fi
    grep -E "^(lines|functions|branches):" "$BUILT_DIR/coverage.txt"
    echo "coverage: per-file table in $BUILT_DIR/coverage.txt"
}

command="${1:-}"
[[ $# -gt 0 ]] && shift
case "$command" in
setup) setup ;;
build) setup && build "${BUILD_DIR:-build}" Debug ;;
run) cmd_run "$@" ;;
test) cmd_test ;;
sanitize) cmd_sanitize ;;
bench) cmd_bench "$@" ;;
fuzz) cmd_fuzz ;;
coverage) cmd_coverage ;;
-h | --help | help) usage ;;
*)
    usage >&2
    exit 2
    ;;
esac
