#!/usr/bin/env bash
# Builds and tests every configuration of the library, one stage after the other:
#
#   lint    clang-format (no change to make) and clang-tidy (no finding) over the sources, and
#           pyflakes (no finding) over the Python package, its tests and benchmark
#   native  Linux, optimized: libMV620ACQm.so, libMV620ACQm-sim.so, the whole test suite (ctest)
#           and the benchmarks' build
#   asan    the whole suite under AddressSanitizer and UndefinedBehaviorSanitizer
#   tsan    the whole suite under ThreadSanitizer
#   fuzz    each libFuzzer target for a minute (clang), from its seed corpus; the product's
#           driver backend is compiled too, so that Clang's thread-safety analysis checks the
#           libusb backend's locking (and the simulator's) with warnings as errors
#   win32   32-bit Windows (mingw-w64 i686, optimized), the product: MV620ACQm.dll,
#           MV620ACQm-sim.dll and the whole test suite as Windows programs, run by ctest under
#           32-bit Wine. On a machine that cannot execute 32-bit x86 programs, everything is still
#           built and every check that needs no execution runs (exports, ordinals, imports,
#           version resource, machine, the wrong fixtures rejected); the tests that would run a
#           program are reported as skipped, with the reason.
#   win64   64-bit Windows (mingw-w64 x86_64): both DLLs and the whole test suite under 64-bit
#           Wine (its own loader, so it runs on every machine)
#   python  the Python package's tests (pytest) against the simulated instrument
#   web     mv620 view in a real browser: Debian's chromium, headless, driven by playwright-core
#           (python/tests/browser, run by node's test runner) against the simulated instrument;
#           native build only, so it runs on every machine
#   The Windows stages include the product DLL end to end, through a test kernel driver started
#   in the stage's prefix (tests/windows/kernel_driver).
#
# usage: scripts/test-all.sh [STAGE...]     (default: lint native asan tsan fuzz win32 win64
#                                            python web)
#
# Each stage configures with the CMake preset of its name (CMakePresets.json), so that
# `cmake --preset win32` gives a developer the very build of CI; warnings are errors in all of
# them. Every stage runs even when an earlier one failed; a summary of each stage's counts and
# times follows, and the last line is "N passed, M failed, K skipped" over all stages. The exit
# status is 0 only when every stage built and passed all of the tests it could run. A skipped
# test is never counted as passed.
#
# Environment:
#   MV620_BUILD_ROOT    where the build trees go (default: <checkout>/build-test/<stage>)
#   MV620_JOBS          parallel build and test jobs (default 2)
#   MV620_TEST_TIMEOUT  per-test time-out in seconds (default 600)
#   MV620_FRESH=1       delete each stage's build tree first
#   MV620_WINE_PURGE=1  delete the Wine prefixes at the end (they are kept for the next run)
#   MV620_NO_32BIT=1    behave as a machine that cannot execute 32-bit x86 programs
#
# To add a stage: write a function stage_NAME that uses configure/build/run_tests below, and
# name it in the default list (or on the command line).
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_root=${MV620_BUILD_ROOT:-$repo/build-test}
jobs=${MV620_JOBS:-2}
test_timeout=${MV620_TEST_TIMEOUT:-600}
wine_script=$repo/scripts/wine.sh
default_stages=(lint native asan tsan fuzz win32 win64 python web)

# Per-stage results, filled by run_stage.
declare -A stage_status stage_passed stage_failed stage_skipped stage_seconds stage_note
stages_run=()

log() { printf '\n==== %s\n' "$*"; }

# configure DIR PRESET [CMAKE OPTIONS...]: the stage's preset, into the stage's own tree.
configure() {
    local dir=$1 preset=$2
    shift 2
    if [[ ${MV620_FRESH:-0} == 1 ]]; then
        rm -rf "$dir"
    fi
    log "configure $dir (preset $preset)"
    (cd "$repo" && cmake --preset "$preset" -B "$dir" "$@")
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
        # Test programs run whole (the cross builds): how many cases they ran.
        local cases
        cases=$({ grep -hE '^\[  PASSED  \] [0-9]+ tests?\.' "$dir/Testing/Temporary/LastTest.log" \
            2>/dev/null || :; } | awk '{n += $4} END {print n + 0}')
        if [[ $stage == win* && $cases -gt 0 ]]; then
            echo "$stage: the test programs run whole passed $cases GoogleTest cases"
        fi
    else
        echo "0 0" >"$dir/.counts"
        echo "no test summary from ctest (no tests found?)" >&2
        [[ $status -ne 0 ]] || status=1
    fi
    return "$status"
}

# skip_tests DIR REASON [CTEST OPTIONS...]: records the tests that ctest selects with the options
# as skipped for REASON, without running them.
skip_tests() {
    local dir=$1 reason=$2
    shift 2
    local count
    count=$( (cd "$dir" && ctest -N "$@") | sed -nE 's/^Total Tests: ([0-9]+)$/\1/p')
    echo "${count:-0} $reason" >"$dir/.skipped"
    log "skipped ${count:-0} tests: $reason"
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
    configure "$dir" native
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
    configure "$dir" lint
    log "clang-tidy"
    mapfile -t library < <(cd "$repo" && git ls-files 'src/*.cpp' | grep -v '/win32/')
    if (cd "$repo" && clang-tidy -p "$dir" --quiet "${library[@]}" 2>/dev/null |
        tee "$dir/clang-tidy.log" | grep -E 'warning:|error:'); then
        failed=$((failed + 1))
    else
        passed=$((passed + 1))
    fi
    log "pyflakes python"
    if (cd "$repo" && "${MV620_PYTHON:-/usr/bin/python3}" -m pyflakes python); then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
    echo "$passed $failed" >"$dir/.counts"
    [[ $failed -eq 0 ]]
}

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer; any finding stops the
# test that made it.
stage_asan() {
    local dir=$build_root/asan
    configure "$dir" asan
    build "$dir"
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        run_tests asan "$dir"
}

# The whole suite under ThreadSanitizer: the acquisition thread, the readers of the ring and the
# host thread's starts and stops (stress, faults, unloading) all run here.
stage_tsan() {
    local dir=$build_root/tsan
    configure "$dir" tsan
    build "$dir"
    TSAN_OPTIONS="halt_on_error=1:history_size=7:second_deadlock_stack=1:suppressions=$repo/tests/tsan.supp" \
        run_tests tsan "$dir"
}

# libFuzzer (clang, with AddressSanitizer and UndefinedBehaviorSanitizer): each target runs for
# MV620_FUZZ_SECONDS (default 60) from its seed corpus, copied so the repository stays as it is.
# A finding is a failure; its reproducer is left in the stage's folder to be added to the corpus.
# This is the stage that builds with clang: the product's driver backend (the libusb one, where
# libusb is there) is compiled beside the fuzzers, which hold the simulator, so that
# -Wthread-safety checks every annotated lock. (Not the product library itself: a shared library
# does not link the sanitizers' runtime under clang.)
stage_fuzz() {
    local dir=$build_root/fuzz
    local seconds=${MV620_FUZZ_SECONDS:-60}
    configure "$dir" fuzz
    build "$dir" config_image_fuzzer exports_fuzzer mv620_driver_system
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

# stage_windows ARCH: a cross build and its tests. The tests labelled "wine" execute Windows
# programs; where this machine cannot run programs of ARCH, they are skipped with the reason and
# the rest (the checks of the built files) still run.
stage_windows() {
    local arch=$1
    local dir=$build_root/$arch
    configure "$dir" "$arch"
    build "$dir"
    local reason
    if reason=$(sh "$wine_script" can-run "$arch"); then
        wine_up "$arch"
        run_tests "$arch" "$dir"
    else
        skip_tests "$dir" "$reason" -L wine
        run_tests "$arch" "$dir" -LE wine
    fi
}

stage_win32() { stage_windows win32; }
stage_win64() { stage_windows win64; }

# The Python package (python/) against the simulated instrument: both shared libraries built
# natively, then its pytest suite with MV620_SIM_LIBRARY and MV620_LIBRARY naming this build's;
# the counts come from pytest's JUnit XML.  MV620_PYTHON picks the interpreter (default: the
# system's, with Debian's numpy, matplotlib, tqdm and pytest).
stage_python() {
    local dir=$build_root/python
    local python=${MV620_PYTHON:-/usr/bin/python3}
    configure "$dir" native -DMV620_BUILD_TESTS=OFF -DMV620_BUILD_EXAMPLES=OFF -DMV620_BUILD_BENCH=OFF
    build "$dir" MV620ACQm MV620ACQm-sim
    log "pytest python/tests"
    local status=0
    rm -f "$dir/pytest.xml"
    (cd "$repo/python" && MV620_SIM_LIBRARY="$dir/src/libMV620ACQm-sim.so" \
        MV620_LIBRARY="$dir/src/libMV620ACQm.so" PYTHONDONTWRITEBYTECODE=1 \
        "$python" -m pytest -p no:cacheprovider --junitxml="$dir/pytest.xml" tests) 2>&1 |
        tee "$dir/pytest.log" || status=$?
    if [[ -f $dir/pytest.xml ]]; then
        "$python" -c 'import sys, xml.etree.ElementTree as tree
root = tree.parse(sys.argv[1]).getroot()
suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
total = lambda key: sum(int(suite.get(key, 0)) for suite in suites)
failed = total("failures") + total("errors")
print(total("tests") - failed - total("skipped"), failed)' "$dir/pytest.xml" >"$dir/.counts"
    else
        echo "0 0" >"$dir/.counts"
        echo "no test report from pytest" >&2
        [[ $status -ne 0 ]] || status=1
    fi
    return "$status"
}

# The page of mv620 view in Debian's chromium. The library comes from the python stage's tree,
# the same configuration: configured here only when there is none (so MV620_FRESH does not make
# it build twice in one run), built here when needed. playwright-core is installed from the lock
# file when it is not there yet (.ci/run installs it beforehand).
stage_web() {
    local dir=$build_root/web lib=$build_root/python
    local python=${MV620_PYTHON:-/usr/bin/python3}
    local tests=$repo/python/tests/browser
    if [[ ! -f $lib/CMakeCache.txt ]]; then
        MV620_FRESH=0 configure "$lib" native -DMV620_BUILD_TESTS=OFF -DMV620_BUILD_EXAMPLES=OFF \
            -DMV620_BUILD_BENCH=OFF
    fi
    build "$lib" MV620ACQm MV620ACQm-sim
    [[ ! -f $lib/.build-failed ]] || : >"$dir/.build-failed"
    if [[ ! -d $tests/node_modules/playwright-core ]]; then
        log "npm ci (python/tests/browser)"
        (cd "$tests" && npm ci --no-audit --no-fund)
    fi
    log "browser tests (python/tests/browser)"
    local status=0
    rm -f "$dir/browser.tap"
    (cd "$tests" && MV620_SIM_LIBRARY="$lib/src/libMV620ACQm-sim.so" MV620_PYTHON="$python" \
        node --test --test-concurrency=1 --test-reporter=spec --test-reporter-destination=stdout \
        --test-reporter=tap --test-reporter-destination="$dir/browser.tap" view.test.mjs) 2>&1 |
        tee "$dir/browser.log" || status=$?
    local passed failed
    passed=$(sed -nE 's/^# pass ([0-9]+)$/\1/p' "$dir/browser.tap" 2>/dev/null | tail -n 1)
    failed=$(sed -nE 's/^# fail ([0-9]+)$/\1/p' "$dir/browser.tap" 2>/dev/null | tail -n 1)
    if [[ -n $passed && -n $failed ]]; then
        echo "$passed $failed" >"$dir/.counts"
    else
        echo "0 0" >"$dir/.counts"
        echo "no test report from node's test runner" >&2
        [[ $status -ne 0 ]] || status=1
    fi
    return "$status"
}

# run_stage NAME: runs stage_NAME in a subshell (so that errexit works inside it and a failure
# ends only that stage) and records its outcome.
run_stage() {
    local name=$1
    local dir=$build_root/$name
    mkdir -p "$dir"
    rm -f "$dir/.counts" "$dir/.skipped"
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
    stage_skipped[$name]=0
    local skip_reason=""
    if [[ -f $dir/.skipped ]]; then
        read -r stage_skipped[$name] skip_reason <"$dir/.skipped"
    fi
    if [[ -f $dir/.counts ]]; then
        read -r stage_passed[$name] stage_failed[$name] <"$dir/.counts"
        if [[ -f $dir/.build-failed ]]; then
            stage_note[$name]="BUILD FAILED (the tests that were built ran)"
        elif [[ $status -ne 0 ]]; then
            stage_note[$name]="TESTS FAILED"
        else
            stage_note[$name]=ok
        fi
        if [[ ${stage_skipped[$name]} -gt 0 ]]; then
            stage_note[$name]+="; skipped: $skip_reason"
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

    local passed=0 failed=0 skipped=0 broken=0
    log "summary"
    printf '%-8s %8s %8s %8s %8s  %s\n' stage passed failed skipped seconds result
    for name in "${stages_run[@]}"; do
        printf '%-8s %8d %8d %8d %8d  %s\n' "$name" "${stage_passed[$name]}" \
            "${stage_failed[$name]}" "${stage_skipped[$name]}" "${stage_seconds[$name]}" \
            "${stage_note[$name]}"
        passed=$((passed + stage_passed[$name]))
        failed=$((failed + stage_failed[$name]))
        skipped=$((skipped + stage_skipped[$name]))
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
    echo "$passed passed, $failed failed, $skipped skipped"
    [[ $broken -eq 0 ]]
}

main "$@"
