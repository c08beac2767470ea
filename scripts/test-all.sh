#!/usr/bin/env bash
# Builds and tests every configuration of the library, one stage after the other:
#
#   lint    clang-format (no change to make) and clang-tidy (no finding) over the sources
#   native  Linux, Debug: libMV620ACQm.so, libMV620ACQm-sim.so and the whole test suite (ctest)
#   asan    the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan    the whole suite under ThreadSanitizer
#   fuzz    each libFuzzer target for a minute (clang), from its seed corpus
#   win32   32-bit Windows (mingw-w64 i686, optimized), the product: MV620ACQm.dll, MV620ACQm-sim.dll and
#           the whole test suite as Windows programs, run by ctest under 32-bit Wine
#   win64   64-bit Windows (mingw-w64 x86_64): both DLLs, the artifact checks (exports,
#           imports, version, header clients, loader test) and the product DLL through the test
#           kernel driver, under 64-bit Wine
#
# usage: scripts/test-all.sh [STAGE...]     (default: lint native asan tsan fuzz win32 win64)
#
# Every stage runs even when an earlier one failed; a summary of each stage's counts and times
# follows, and the last line is "N passed, M failed" over all stages. The exit status is 0 only
# when every stage built and passed all of its tests.
#
# Environment:
#   MV620_BUILD_ROOT    where the build trees go (default: <checkout>/build-test/<stage>)
#   MV620_JOBS          parallel build and test jobs (default 2)
#   MV620_TEST_TIMEOUT  per-test time-out in seconds (default 600)
#   MV620_FRESH=1       delete each stage's build tree first
#   MV620_WINE_PURGE=1  delete the Wine prefixes at the end (they are kept for the next run)
#
# To add a stage: write a function stage_NAME that uses configure/build/run_tests below, and
# name it in the default list (or on the command line).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_root=${MV620_BUILD_ROOT:-$repo/build-test}
jobs=${MV620_JOBS:-2}
test_timeout=${MV620_TEST_TIMEOUT:-600}
wine_script=$repo/scripts/wine.sh
default_stages=(lint native asan tsan fuzz win32 win64)

# Per-stage results, filled by run_stage.
declare -A stage_status stage_passed stage_failed stage_seconds stage_note
stages_run=()

log() { printf '\n==== %s\n' "$*"; }

# Options every configuration shares.
common_options() {
    local options=(-G Ninja -DMV620_BUILD_TESTS=ON)
    if [[ ! -f $repo/examples/CMakeLists.txt ]]; then
        options+=(-DMV620_BUILD_EXAMPLES=OFF)
    fi
    printf '%s\n' "${options[@]}"
}

# configure DIR [CMAKE OPTIONS...]
configure() {
    local dir=$1
    shift
    if [[ ${MV620_FRESH:-0} == 1 ]]; then
        rm -rf "$dir"
    fi
    local options
    mapfile -t options < <(common_options)
    log "configure $dir"
    cmake -S "$repo" -B "$dir" "${options[@]}" "$@"
}

# build DIR [TARGET...]: builds as much as it can (the tests that did build still run, to tell
# more about a broken tree) and marks the stage when anything failed.
build() {
    local dir=$1
    shift
    local targets=()
    local target
    for target in "$@"; do
        targets+=(--target "$target")
    done
    log "build $dir ${*:-(all)}"
    rm -f "$dir/.build-failed"
    if ! cmake --build "$dir" -j "$jobs" "${targets[@]}" -- -k 0; then
        : >"$dir/.build-failed"
        echo "BUILD FAILED in $dir; running the tests that were built" >&2
    fi
}

# run_tests STAGE DIR [CTEST OPTIONS...]: runs ctest, keeps its output in DIR/ctest.log and
# records the stage's counts from ctest's summary line.
run_tests() {
    local stage=$1 dir=$2
    shift 2
    log "test $dir"
    local status=0
    (cd "$dir" && ctest -j "$jobs" --timeout "$test_timeout" --output-on-failure "$@") 2>&1 |
        tee "$dir/ctest.log" || status=$?
    # "100% tests passed, 0 tests failed out of 245"
    local summary
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$dir/ctest.log" |
        tail -n 1 || :)
    if [[ -n $summary ]]; then
        local failed total
        failed=$(sed -E 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
        total=$(sed -E 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$summary")
        echo "$((total - failed)) $failed" >"$dir/.counts"
        # What the stress test checked, from the full log of the run.
        grep -h '^stress:' "$dir/Testing/Temporary/LastTest.log" 2>/dev/null | sed "s/^/$stage /" || :
    else
        echo "0 0" >"$dir/.counts"
        echo "no test summary from ctest (no tests found?)" >&2
        [[ $status -ne 0 ]] || status=1
    fi
    return "$status"
}

# A Wine prefix with a persistent wineserver, for the stage's ctest run (see scripts/wine.sh);
# stopped when this script ends. Stages run in subshells, so the marker lives in a file.
wine_up() {
    local arch=$1
    log "Wine $arch prefix"
    : >"$build_root/.wine-up-$arch"
    sh "$wine_script" up "$arch"
}

wine_down_all() {
    local marker arch
    for marker in "$build_root"/.wine-up-*; do
        [[ -e $marker ]] || continue
        arch=${marker##*/.wine-up-}
        if [[ ${MV620_WINE_PURGE:-0} == 1 ]]; then
            sh "$wine_script" down "$arch" --purge || :
        else
            sh "$wine_script" down "$arch" || :
        fi
        rm -f "$marker"
    done
}
trap wine_down_all EXIT

# ---- Stages -----------------------------------------------------------------------------------

stage_native() {
    local dir=$build_root/native
    configure "$dir" -DCMAKE_BUILD_TYPE=Debug -DMV620_BUILD_BENCH=ON
    build "$dir"
    run_tests native "$dir"
}

# The sources as clang-format would write them, and clang-tidy's checks (.clang-tidy) quiet on
# the library's own code.
stage_lint() {
    local dir=$build_root/lint
    local passed=0 failed=0
    mapfile -t sources < <(cd "$repo" && git ls-files '*.c' '*.cpp' '*.h')
    log "clang-format"
    if (cd "$repo" && clang-format --dry-run --Werror "${sources[@]}"); then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
    configure "$dir" -DCMAKE_BUILD_TYPE=Debug -DMV620_BUILD_TESTS=OFF -DMV620_BUILD_EXAMPLES=OFF
    log "clang-tidy"
    mapfile -t library < <(cd "$repo" && git ls-files 'src/*.cpp' | grep -v '/win32/')
    if (cd "$repo" && clang-tidy -p "$dir" --quiet "${library[@]}" 2>/dev/null |
        tee "$dir/clang-tidy.log" | grep -E 'warning:|error:'); then
        failed=$((failed + 1))
    else
        passed=$((passed + 1))
    fi
    echo "$passed $failed" >"$dir/.counts"
    [[ $failed -eq 0 ]]
}

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer; any finding stops the
# test that made it.
stage_asan() {
    local dir=$build_root/asan
    configure "$dir" -DCMAKE_BUILD_TYPE=Debug -DMV620_SANITIZE=address,undefined \
        -DMV620_BUILD_EXAMPLES=OFF
    build "$dir"
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        run_tests asan "$dir"
}

# The whole suite under ThreadSanitizer: the acquisition thread, the readers of the ring and the
# host thread's starts and stops (stress, faults, unloading) all run here.
stage_tsan() {
    local dir=$build_root/tsan
    configure "$dir" -DCMAKE_BUILD_TYPE=Debug -DMV620_SANITIZE=thread -DMV620_BUILD_EXAMPLES=OFF
    build "$dir"
    TSAN_OPTIONS="halt_on_error=1:history_size=7:second_deadlock_stack=1:suppressions=$repo/tests/tsan.supp" \
        run_tests tsan "$dir"
}

# libFuzzer (clang, with AddressSanitizer and UndefinedBehaviorSanitizer): each target runs for
# MV620_FUZZ_SECONDS (default 60) from its seed corpus, copied so the repository stays as it is.
# A finding is a failure; its reproducer is left in the stage's folder to be added to the corpus.
stage_fuzz() {
    local dir=$build_root/fuzz
    local seconds=${MV620_FUZZ_SECONDS:-60}
    configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
        -DCMAKE_CXX_COMPILER=clang++ -DMV620_BUILD_FUZZERS=ON -DMV620_SANITIZE=address,undefined \
        -DMV620_BUILD_EXAMPLES=OFF
    build "$dir" config_image_fuzzer exports_fuzzer
    local passed=0 failed=0 target
    for target in config_image exports; do
        log "fuzz $target for ${seconds}s"
        rm -rf "$dir/corpus-$target"
        cp -r "$repo/tests/fuzz/corpus/$target" "$dir/corpus-$target"
        if (cd "$dir" && ASAN_OPTIONS=detect_leaks=0 "./tests/fuzz/${target}_fuzzer" \
            -max_total_time="$seconds" -print_final_stats=1 "corpus-$target" 2>&1 |
            tee "fuzz-$target.log" | grep -E '^(stat::number_of_executed_units|#[0-9]+ +DONE|==[0-9]+==ERROR)'); then
            :
        fi
        if grep -q '^Done [0-9]* runs' "$dir/fuzz-$target.log" &&
            ! grep -q 'ERROR: libFuzzer\|==ERROR\|deadly signal' "$dir/fuzz-$target.log"; then
            passed=$((passed + 1))
            echo "fuzz $target: $(grep -E '^stat::number_of_executed_units' "$dir/fuzz-$target.log" |
                awk '{print $2}') executions, no crash"
        else
            failed=$((failed + 1))
            echo "fuzz $target: FAILED (see $dir/fuzz-$target.log)" >&2
        fi
    done
    echo "$passed $failed" >"$dir/.counts"
    [[ $failed -eq 0 ]]
}

stage_win32() {
    local dir=$build_root/win32
    configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mingw-i686.cmake"
    build "$dir"
    wine_up win32
    run_tests win32 "$dir"
}

stage_win64() {
    local dir=$build_root/win64
    configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-mingw-x86_64.cmake"
    build "$dir" MV620ACQm MV620ACQm-sim mv620_artifact_tests mv620_kernel_driver_test
    wine_up win64
    run_tests win64 "$dir" -L 'artifacts|kernel-driver'
}

# run_stage NAME: runs stage_NAME in a subshell (so that errexit works inside it and a failure
# ends only that stage) and records its outcome.
run_stage() {
    local name=$1
    local dir=$build_root/$name
    mkdir -p "$dir"
    rm -f "$dir/.counts"
    local start=$SECONDS status=0
    set +e
    (
        set -euo pipefail
        "stage_$name"
    )
    status=$?
    set -e
    if [[ -f $dir/.build-failed && $status -eq 0 ]]; then
        status=1
    fi
    stage_seconds[$name]=$((SECONDS - start))
    stage_status[$name]=$status
    if [[ -f $dir/.counts ]]; then
        read -r stage_passed[$name] stage_failed[$name] <"$dir/.counts"
        if [[ -f $dir/.build-failed ]]; then
            stage_note[$name]="BUILD FAILED (the tests that were built ran)"
        elif [[ $status -ne 0 ]]; then
            stage_note[$name]="TESTS FAILED"
        else
            stage_note[$name]=ok
        fi
    else
        stage_passed[$name]=0
        stage_failed[$name]=0
        stage_note[$name]="FAILED before its tests (configure?)"
    fi
    stages_run+=("$name")
}

main() {
    local stages=("$@")
    [[ ${#stages[@]} -gt 0 ]] || stages=("${default_stages[@]}")
    local name
    for name in "${stages[@]}"; do
        if ! declare -F "stage_$name" >/dev/null; then
            echo "unknown stage '$name' (stages: ${default_stages[*]})" >&2
            exit 2
        fi
    done

    mkdir -p "$build_root"
    local start=$SECONDS
    for name in "${stages[@]}"; do
        log "stage $name"
        run_stage "$name"
    done
    wine_down_all

    local passed=0 failed=0 broken=0
    log "summary"
    printf '%-8s %8s %8s %8s  %s\n' stage passed failed seconds result
    for name in "${stages_run[@]}"; do
        printf '%-8s %8d %8d %8d  %s\n' "$name" "${stage_passed[$name]}" "${stage_failed[$name]}" \
            "${stage_seconds[$name]}" "${stage_note[$name]}"
        passed=$((passed + stage_passed[$name]))
        failed=$((failed + stage_failed[$name]))
        if [[ ${stage_status[$name]} -ne 0 ]]; then
            broken=$((broken + 1))
        fi
    done
    printf 'all stages: %d s\n' $((SECONDS - start))
    if [[ $broken -gt 0 ]]; then
        echo "$broken stage(s) failed"
        # A stage that failed without a failing test (configure, build) still counts as failed.
        if [[ $failed -eq 0 ]]; then
            failed=$broken
        fi
    fi
    echo "$passed passed, $failed failed"
    [[ $broken -eq 0 ]]
}

main "$@"
