#!/usr/bin/env bash
# Benchmarks of the library's three jobs on generated game directories, each against the
# floor (a minimal program of ours doing only the system calls the outcome needs) and the
# tools a user would otherwise pick:
#   backup   quisel-run -C GAME backup 1          vs bench_floor_list (plain, and --check), rsync --files-from
#   force    quisel-run move SRC DST missing 1     vs bench_floor_walk, rsync -a
#   clear    quisel-run clear DIR 1                vs rm -rf
# Every run gets a fresh copy of the same tree (the copy is not timed); within a round the
# contenders run interleaved (A, B, C, A, B, C ...). Wall times are medians over the runs;
# system calls per file come from one extra run under `strace -c -f`, peak memory from one
# under `/usr/bin/time`.
#
#   bench/run.sh [--sizes "2000 20000"] [--full] [--runs N] [--build DIR] [--work DIR]
#                [--baseline DIR] [--quick] [--no-strace] [--no-memory] [--keep]
#
#   --full       adds the 200,000-file size (about half an hour; some 2.5 GB in the work directory)
#   --quick      2,000 files, one run of each: shows that everything still works (one run
#                is too few for its figures to mean much)
#   --build DIR  use an existing native build (quisel-run, libquisel.so, bench/); by default
#                build/bench is configured in Release mode without tests and built
#   --work DIR   where the trees go (default /dev/shm/quisel-bench, in memory, so that the
#                figures show our overhead rather than the disk; /tmp/... measures the disk too)
#   --baseline DIR  another native build (of an earlier commit, say) whose quisel-run joins
#                every job as "base", interleaved with the others on the same trees
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sizes="2000 20000"
runs=5
build=""
baseline=""
work=/dev/shm/quisel-bench
[[ -d /dev/shm ]] || work=/tmp/quisel-bench
do_strace=1
do_memory=1
keep=0

while [[ $# -gt 0 ]]; do
    case $1 in
    --sizes) sizes=$2; shift 2 ;;
    --full) sizes="2000 20000 200000"; shift ;;
    --runs) runs=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --baseline) baseline=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --quick) sizes=2000; runs=1; shift ;;
    --no-strace) do_strace=0; shift ;;
    --no-memory) do_memory=0; shift ;;
    --keep) keep=1; shift ;;
    -h | --help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: --runs needs a positive number" >&2; exit 2; }

if [[ -z $build ]]; then
    build=$root/build/bench
    mkdir -p "$build"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUISEL_TESTS=OFF >"$build.configure.log" 2>&1 ||
        { cat "$build.configure.log"; exit 1; }
    cmake --build "$build" -j2 --target quisel-run bench_make_tree bench_floor_list bench_floor_walk >/dev/null
fi
build=$(cd "$build" && pwd)
host=$build/quisel-run
for program in "$host" "$build/bench/bench_make_tree" "$build/bench/bench_floor_list" "$build/bench/bench_floor_walk"; do
    [[ -x $program ]] || { echo "run.sh: $program is missing (build the native targets first)" >&2; exit 1; }
done
if [[ -n $baseline ]]; then
    baseline=$(cd "$baseline" && pwd)
    [[ -x $baseline/quisel-run ]] || { echo "run.sh: $baseline/quisel-run is missing" >&2; exit 1; }
fi
for tool in rsync strace /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (scripts/deps.sh installs it)" >&2; exit 1; }
done

# Paths the library builds must fit 260 characters: keep the work directory short.
mkdir -p "$work"
work=$(cd "$work" && pwd)
[[ ${#work} -le 80 ]] || { echo "run.sh: --work path too long for the library's 260-character paths" >&2; exit 2; }
scratch=$work/run
results=$work/results
rm -rf "$scratch" "$results"
mkdir -p "$results"
cleanup() {
    rm -rf "$scratch"
    [[ $keep -eq 1 ]] || rm -rf "$work"/tree-*
}
trap cleanup EXIT

now_us() { local t=${EPOCHREALTIME/[.,]/}; echo "$t"; }

# --- The contenders ------------------------------------------------------------------
# prepare_OP CONTENDER: lays a fresh copy in $scratch; run_OP CONTENDER [WRAPPER...] runs
# it; check_OP CONTENDER: the work was done.
master=""
quiet() { "$@" >/dev/null 2>&1; }

prepare_backup() {
    rm -rf "$scratch" && mkdir -p "$scratch" && cp -a "$master" "$scratch/game" && sync
}
run_backup() {
    local who=$1
    shift
    case $who in
    quisel) quiet "$@" "$host" -C "$scratch/game" backup 1 ;;
    base) quiet "$@" "$baseline/quisel-run" -C "$scratch/game" backup 1 ;;
    floor) quiet "$@" "$build/bench/bench_floor_list" "$scratch/game" "$scratch/game/backuplist.txt" gamenew ;;
    checked) quiet "$@" "$build/bench/bench_floor_list" "$scratch/game" "$scratch/game/backuplist.txt" gamenew --check ;;
    rsync) quiet "$@" rsync -a --remove-source-files --files-from="$master.rsync-list" "$scratch/game/" "$scratch/game/gamenew/" ;;
    esac
}
check_backup() {
    local got
    got=$(find "$scratch/game/gamenew" -type f | wc -l)
    # The library also leaves the two list copies in the snapshot.
    [[ $got -ge $listed ]] || { echo "run.sh: backup by $1 moved $got of $listed files" >&2; return 1; }
}

prepare_force() {
    rm -rf "$scratch" && mkdir -p "$scratch" && cp -a "$master" "$scratch/src" && sync
}
run_force() {
    local who=$1
    shift
    case $who in
    quisel) quiet "$@" "$host" -C "$scratch" move "$scratch/src" "$scratch/dst" missing.txt 1 ;;
    base) quiet "$@" "$baseline/quisel-run" -C "$scratch" move "$scratch/src" "$scratch/dst" missing.txt 1 ;;
    floor) quiet "$@" "$build/bench/bench_floor_walk" "$scratch" "$scratch/src" "$scratch/dst" ;;
    rsync) quiet "$@" rsync -a --remove-source-files "$scratch/src/" "$scratch/dst/" ;;
    esac
}
check_force() {
    local left
    left=$(find "$scratch/src" -type f ! -name newlist.txt ! -name backuplist.txt ! -name ver.bin | wc -l)
    [[ $left -eq 0 && -f $scratch/dst/ver.bin ]] || { echo "run.sh: forced move by $1 left $left files" >&2; return 1; }
}

prepare_clear() {
    rm -rf "$scratch" && mkdir -p "$scratch" && cp -a "$master" "$scratch/tree" && sync
}
run_clear() {
    local who=$1
    shift
    case $who in
    quisel) quiet "$@" "$host" -C "$scratch" clear "$scratch/tree" 1 ;;
    base) quiet "$@" "$baseline/quisel-run" -C "$scratch" clear "$scratch/tree" 1 ;;
    rm) quiet "$@" rm -rf "$scratch/tree" ;;
    esac
}
check_clear() {
    [[ ! -e $scratch/tree ]] || { echo "run.sh: clear by $1 left the tree" >&2; return 1; }
}

contenders() {
    local base=""
    [[ -n $baseline ]] && base=" base"
    case $1 in
    # checked: the floor plus the one lstat per entry that a backup's check of the
    # version needs before it may touch anything.
    backup) echo "quisel$base floor checked rsync" ;;
    force) echo "quisel$base floor rsync" ;;
    clear) echo "quisel$base rm" ;;
    esac
}

# --- Measuring -----------------------------------------------------------------------
median() { sort -n | awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# Calls per file from `strace -c -f`, and the per-call breakdown kept beside it.
count_calls() { # op who files
    local out=$results/strace-$size-$1-$2.txt
    "prepare_$1"
    "run_$1" "$2" strace -c -f -o "$out" || { echo "run.sh: $1 by $2 failed under strace" >&2; return 1; }
    awk -v n="$3" '$NF == "total" {printf "%.2f", $4 / n}' "$out"
}

peak_kb() { # op who
    local out=$results/time-$size-$1-$2.txt
    "prepare_$1"
    "run_$1" "$2" /usr/bin/time -f %M -o "$out" || { echo "run.sh: $1 by $2 failed under time" >&2; return 1; }
    tail -1 "$out"
}

# The per-call breakdown of a contender, as calls per file, for calls made at least once
# per 100 files.
breakdown() { # op who files
    awk -v n="$3" 'NF >= 5 && $NF != "total" && $NF != "syscall" && $4 ~ /^[0-9]+$/ && $4 / n >= 0.01 {
        printf "%s %.2f  ", $NF, $4 / n }' "$results/strace-$size-$1-$2.txt"
}

summary=$results/summary.tsv
printf 'size\top\twho\tfiles\tmedian_ms\tus_per_file\tcalls_per_file\tpeak_kb\n' >"$summary"

for size in $sizes; do
    master=$work/tree-$size/game
    if [[ ! -f $master/ver.bin ]]; then
        rm -rf "$work/tree-$size"
        mkdir -p "$work/tree-$size"
        "$build/bench/bench_make_tree" "$master" "$size"
    fi
    # rsync takes the same list with forward slashes and without CRs.
    tr '\\' / <"$master/backuplist.txt" | tr -d '\r' >"$master.rsync-list"
    listed=$(grep -c . "$master.rsync-list")
    forced=$(find "$master" -type f ! -name newlist.txt ! -name backuplist.txt ! -name ver.bin | wc -l)
    forced=$((forced + 1))  # the marker, moved last
    entries=$(($(find "$master" -mindepth 1 | wc -l) + 1))  # everything, the top directory too

    printf '\n== %s files (%s directories): backup moves %s, forced move %s, clear removes %s entries\n' \
        "$size" "$(find "$master" -type d | wc -l)" "$listed" "$forced" "$entries"
    for op in backup force clear; do
        case $op in backup) files=$listed ;; force) files=$forced ;; clear) files=$entries ;; esac
        declare -A elapsed=()
        for ((r = 1; r <= runs; r++)); do
            for who in $(contenders "$op"); do
                "prepare_$op"
                t0=$(now_us)
                "run_$op" "$who" || { echo "run.sh: $op by $who failed (size $size)" >&2; exit 1; }
                t1=$(now_us)
                "check_$op" "$who"
                elapsed[$who]+="$(((t1 - t0) / 1000)).$(printf '%03d' $(((t1 - t0) % 1000))) "
            done
        done
        declare -A med=()
        for who in $(contenders "$op"); do
            med[$who]=$(tr ' ' '\n' <<<"${elapsed[$who]}" | grep . | median)
        done
        printf '\n%-7s %-7s %10s %10s %8s %8s %10s %9s\n' "$op" who "median ms" "us/file" "x floor" "x quisel" "calls/file" "peak KB"
        base=${med[floor]:-${med[rm]}}
        for who in $(contenders "$op"); do
            calls=-
            peak=-
            [[ $do_strace -eq 1 ]] && calls=$(count_calls "$op" "$who" "$files")
            [[ $do_memory -eq 1 ]] && peak=$(peak_kb "$op" "$who")
            perfile=$(awk -v t="${med[$who]}" -v n="$files" 'BEGIN {printf "%.2f", t * 1000 / n}')
            xfloor=$(awk -v t="${med[$who]}" -v b="$base" 'BEGIN {printf "%.2f", (b > 0) ? t / b : 0}')
            xquisel=$(awk -v t="${med[$who]}" -v q="${med[quisel]}" 'BEGIN {printf "%.2f", (q > 0) ? t / q : 0}')
            printf '%-7s %-7s %10.1f %10s %8s %8s %10s %9s\n' "" "$who" "${med[$who]}" "$perfile" "$xfloor" "$xquisel" "$calls" "$peak"
            printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$size" "$op" "$who" "$files" "${med[$who]}" "$perfile" "$calls" "$peak" >>"$summary"
        done
        if [[ $do_strace -eq 1 ]]; then
            for who in $(contenders "$op"); do
                printf '        %-7s calls/file: %s\n' "$who" "$(breakdown "$op" "$who" "$files")"
            done
        fi
        unset elapsed med
    done
done

# Scaling: time per file of the largest size against the smallest, per operation.
set -- $sizes
if [[ $# -gt 1 ]]; then
    small=$1
    large=${!#}
    printf '\ntime per file, %s files against %s files (quisel):\n' "$large" "$small"
    awk -F'\t' -v s="$small" -v l="$large" '$3 == "quisel" && $1 == s {a[$2] = $6} $3 == "quisel" && $1 == l {b[$2] = $6}
        END {for (op in a) if (op in b) printf "  %-7s %.2f us -> %.2f us  (x%.2f)\n", op, a[op], b[op], b[op] / a[op]}' "$summary"
fi
echo
echo "figures: $summary; strace breakdowns: $results/strace-*.txt"
