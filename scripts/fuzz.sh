#!/usr/bin/env bash
# Builds the libFuzzer targets (build/fuzz, clang, with ASan and UBSan) and runs each
# for a bounded time from the committed seed corpus, with a fixed seed.
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]
#
# SECONDS per target (default 8). Targets: list_reader, version_move, version_backup
# (default: all). New inputs go to build/fuzz/corpus/<target>, crashes to
# build/fuzz/artifacts/; the committed corpus (fuzz/corpus/<target>) is only read.
# FUZZ_SEED (default 1) is the seed; FUZZ_JOBS (default 1) runs that many processes
# per target (their logs: build/fuzz/fuzz-<n>.log); FUZZ_RUNS stops each target after
# that many inputs, SECONDS then only bounding it, so that a run from a clean build is
# the same on a slow machine as on a fast one. Exits non-zero when a target fails or
# finds a fault.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
seconds=${1:-8}
shift || true
targets=("$@")
[[ ${#targets[@]} -eq 0 ]] && targets=(list_reader version_move version_backup)
build=build/fuzz

if [[ ! -f $build/CMakeCache.txt ]]; then
    mkdir -p build
    cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
        -DQUISEL_FUZZ=ON -DQUISEL_SANITIZE=ON -DQUISEL_TESTS=OFF >"$build.configure.log" 2>&1 ||
        { cat "$build.configure.log"; exit 1; }
fi
names=()
for t in "${targets[@]}"; do names+=("${t}_fuzz"); done
cmake --build "$build" --target "${names[@]}" -j2 || exit 1

# Several processes only when asked: libFuzzer then writes fuzz-<n>.log beside itself.
parallel=()
[[ ${FUZZ_JOBS:-1} -gt 1 ]] && parallel=(-jobs="$FUZZ_JOBS" -workers="$FUZZ_JOBS")
[[ -n ${FUZZ_RUNS:-} ]] && parallel+=(-runs="$FUZZ_RUNS")
declare -A max_len=([list_reader]=12000 [version_move]=2048 [version_backup]=2048)
status=0
for t in "${targets[@]}"; do
    mkdir -p "$build/corpus/$t" "$build/artifacts"
    rm -f "$build"/fuzz-*.log
    echo "== fuzz $t: ${seconds}s, seed ${FUZZ_SEED:-1}"
    log=$root/$build/$t.log
    # Run inside the build folder: with FUZZ_JOBS libFuzzer writes its fuzz-<n>.log there.
    (cd "$build" && "./${t}_fuzz" -seed="${FUZZ_SEED:-1}" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -max_len="${max_len[$t]}" -dict="$root/fuzz/$t.dict" -print_final_stats=1 \
        "${parallel[@]}" -artifact_prefix="artifacts/$t-" "corpus/$t" "$root/fuzz/corpus/$t") >"$log" 2>&1
    rc=$?
    if [[ $rc -ne 0 ]]; then
        tail -60 "$log"
        echo "fuzz $t: FAILED (exit $rc; log $log)"
        status=1
    else
        runs=$(grep -ho 'stat::number_of_executed_units: [0-9]*' "$log" "$build"/fuzz-*.log 2>/dev/null |
            awk '{n += $2} END {print n + 0}')
        cover=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
        echo "fuzz $t: passed, $runs inputs, $cover, corpus $(ls "$build/corpus/$t" | wc -l) + $(ls "fuzz/corpus/$t" | wc -l) seeds"
    fi
done
exit $status
