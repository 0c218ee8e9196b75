#!/usr/bin/env bash
# Every test: the three builds (native, and the 32-bit and 64-bit DLLs under Wine), then a
# summary line "N passed, N failed, N skipped". Exits non-zero when a build or any test
# failed. Where the kernel refuses 32-bit programs, the 32-bit build is still built and its
# binaries checked; only the cases that run it are skipped, and say why.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

jobs=$(nproc 2>/dev/null || echo 2)
passed=0
failed=0
skipped=0
failures=()

step() { printf '\n==== %s\n' "$*"; }

# Counts a ctest run from its "N% tests passed, F tests failed out of T" line, and the
# skipped ones from its "(Skipped)" list (ctest counts them among the passed).
count_ctest() { # name logfile status
    local name=$1 log=$2 status=$3 line total bad skip
    line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [[ -z $line ]]; then
        # No summary: ctest itself failed (or found no tests); count the suite as one.
        if [[ $status -eq 0 ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); failures+=("$name"); fi
        return
    fi
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    skip=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$log")
    passed=$((passed + total - bad - skip))
    skipped=$((skipped + skip))
    failed=$((failed + bad))
    if [[ $bad -ne 0 || $status -ne 0 ]]; then
        failures+=("$name")
        # A non-zero status with no failed test (e.g. a crash in discovery) still fails.
        [[ $bad -eq 0 ]] && failed=$((failed + 1))
    fi
}

# A step that is not a test suite: counts as one pass or one failure.
count_step() { # name status
    if [[ $2 -eq 0 ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); failures+=("$1"); fi
}

configure() { # dir [cmake options...]
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
}

# Keeps going past a target that fails, so one broken program does not hide every other
# test; the tests of what did not build then fail on their own.
build() { # dir
    if [[ -f $1/build.ninja ]]; then
        cmake --build "$1" -j"$jobs" -- -k 0
    else
        cmake --build "$1" -j"$jobs" -- -k
    fi
}

run_ctest() { # name dir [ctest options...]
    local name=$1 dir=$2 log status
    shift 2
    log=$(mktemp)
    ctest --test-dir "$dir" --output-on-failure "$@" 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    count_ctest "$name" "$log" "$status"
    rm -f "$log"
}

windows_builds=(win32 win64)
stop_wine() {
    local arch
    for arch in "${windows_builds[@]}"; do
        WINEPREFIX=$root/build/$arch/wineprefix "$root/scripts/wine-run" --arch "$arch" --stop
    done
}
trap stop_wine EXIT

# --- The steps after the plain test runs ----------------------------------------------
# The sanitizer build, the fuzzers, the benchmark and the packages: each counts as passed
# or failed on its own, so one that breaks does not hide the others.

# AddressSanitizer and UndefinedBehaviorSanitizer build of the native tests (build/asan).
# The Windows builds' cases are left out there (QUISEL_SKIP_WINE): they run the Windows
# binaries, which no sanitizer reaches, and they ran in the plain run already.
run_sanitizer_build() {
    step "sanitizer build (build/asan: ASan + UBSan) and the native tests in it"
    # -O1 with line tables only: half the build time of the default, reports still
    # name their lines.
    if ! configure build/asan -DQUISEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=None "-DCMAKE_CXX_FLAGS=-O1 -g1" \
        "-DCMAKE_C_FLAGS=-O1 -g1"; then
        count_step asan-configure 1
        return
    fi
    build build/asan
    count_step asan-build $?
    export QUISEL_SKIP_WINE=1
    run_ctest asan build/asan -j2
    unset QUISEL_SKIP_WINE
}

# Short runs of the fuzzers (clang, libFuzzer; build/fuzz) from the committed corpus
# with a fixed seed, bounded by a count of inputs (about 10 seconds each here) rather
# than by time: a fault this run finds, it finds on every machine, and CI with it.
# scripts/fuzz-long.sh runs longer campaigns.
run_fuzzers() {
    step "fuzzers, short runs (FUZZ_RUNS=N scripts/fuzz.sh 120)"
    local target
    local -A runs=([list_reader]=50000 [version_move]=4000 [version_backup]=4000)
    for target in list_reader version_move version_backup; do
        FUZZ_RUNS=${runs[$target]} scripts/fuzz.sh 120 "$target"
        count_step "fuzz-$target" $?
    done
}

# A small benchmark run, to see it still works; its numbers are not checked here.
run_benchmark() {
    [[ $native_configured -eq 0 ]] || return 0
    step "benchmark, small run (bench/run.sh --quick)"
    local work status
    work=$(mktemp -d /dev/shm/quisel-bench-XXXXXX 2>/dev/null || mktemp -d /tmp/quisel-bench-XXXXXX)
    bench/run.sh --quick --build build/native --work "$work"
    status=$?
    rm -rf "$work"
    count_step benchmark "$status"
}

# The packages (`--target package`) of every build this run made, then used as a
# launcher's developer would, from the archive or the install tree only, and built again
# from a copy of the sources in other folders to the same bytes (tests/package/check.sh).
# Their Windows programs run under Wine where this machine runs that architecture;
# elsewhere that part is counted as skipped.
run_package_tests() {
    local build ready status
    for build in native "${windows_builds[@]}"; do
        # A build that did not configure has failed already; its package is not made.
        if [[ $build == native ]]; then ready=$native_configured; else ready=${configured[$build]}; fi
        [[ $ready -eq 0 ]] || continue
        step "packages of build/$build, and their use from outside"
        cmake --build "build/$build" --target package
        status=$?
        count_step "package-$build" "$status"
        [[ $status -eq 0 ]] || continue
        if [[ $build == native ]]; then
            tests/package/check.sh native build/native
            count_step package-native-use $?
            continue
        fi
        tests/package/check.sh windows "$build" "build/$build"
        count_step "package-$build-use" $?
        tests/package/check.sh wine "$build" "build/$build"
        status=$?
        if [[ $status -eq 77 ]]; then
            echo "skipped: package-$build-wine, the programs built against the package, under Wine"
            skipped=$((skipped + 1))
        else
            count_step "package-$build-wine" "$status"
        fi
    done
}
# -------------------------------------------------------------------------------------

step "dependencies"
scripts/deps.sh
count_step deps $?
# What set-up had to do to install the 32-bit Wine, where apt could not alone: named here
# and again above the summary.
aligned=
[[ -s build/wine32-aligned.txt ]] && aligned="set-up: $(head -1 build/wine32-aligned.txt)"
[[ -n $aligned ]] && echo "$aligned"

mkdir -p build
native_configured=1
step "native build (build/native)"
if configure build/native; then
    native_configured=0
    build build/native
    count_step native-build $?
else
    count_step native-configure 1
fi

declare -A toolchain=([win32]=cmake/mingw-i686.cmake [win64]=cmake/mingw-x86_64.cmake)
declare -A configured
for arch in "${windows_builds[@]}"; do
    step "Windows build (build/$arch)"
    configured[$arch]=1
    if configure "build/$arch" "-DCMAKE_TOOLCHAIN_FILE=${toolchain[$arch]}"; then
        configured[$arch]=0
        build "build/$arch"
        count_step "$arch-build" $?
    else
        count_step "$arch-configure" 1
    fi
done

# Whether this machine runs each Windows build: the probe in wine-run says 77 only where
# no 32-bit Wine can run (the kernel refuses 32-bit programs, or wine32:i386 could not be
# installed), and why, printed once here and again above the summary. One prefix per
# build, created and served before any test starts under Wine (the native host tests
# drive the Windows builds too).
skip_reason=
for arch in "${windows_builds[@]}"; do
    [[ ${configured[$arch]} -eq 0 ]] || continue
    step "Wine for $arch (build/$arch/wineprefix)"
    said=$(WINEPREFIX=$root/build/$arch/wineprefix scripts/wine-run --arch "$arch" --start 2>&1)
    status=$?
    [[ -n $said ]] && echo "$said"
    if [[ $status -eq 77 ]]; then
        skip_reason="$arch run-time cases skipped: $(sed -n 's/^wine-run: skipped: //p' <<<"$said" | head -1)"
        for override in QUISEL_I386_LOADER QUISEL_WINE32_LOADER; do
            [[ -n ${!override-} ]] && skip_reason+=" (with $override=${!override})"
        done
        echo "$skip_reason"
    else
        count_step "$arch-wine-prefix" "$status"
    fi
done

if [[ $native_configured -eq 0 ]]; then
    step "native tests (the Windows builds' host cases included)"
    run_ctest native build/native -j2
fi
for arch in "${windows_builds[@]}"; do
    [[ ${configured[$arch]} -eq 0 ]] || continue
    step "Windows tests (build/$arch, under Wine)"
    run_ctest "$arch" "build/$arch"
done

run_sanitizer_build
run_fuzzers
run_benchmark
run_package_tests

step "summary"
if [[ ${#failures[@]} -gt 0 ]]; then
    echo "failed: ${failures[*]}"
fi
[[ -n $aligned ]] && echo "$aligned"
[[ -n $skip_reason ]] && echo "$skip_reason"
echo "$passed passed, $failed failed, $skipped skipped"
[[ $failed -eq 0 ]]
