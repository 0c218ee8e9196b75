#!/usr/bin/env bash
# Wall time of each job under Wine (the backup, the forced move and the clearing, as
# count.sh runs them), for one or more Windows builds of one architecture on the same
# generated tree: each round copies the tree afresh for every run and runs the builds in
# turn, so they share whatever the machine does meanwhile. Wine's start is included; the
# prefix's server is started once before the rounds.
#
#   bench/wine.sh [--files N] [--rounds R] [--maker PATH] BUILD_DIR [BUILD_DIR...]
#
# Each BUILD_DIR holds quisel-run.exe and quisel.dll. The tree comes from the native
# bench_make_tree (build/native/bench/ by default). Prints per build the fastest, median
# and slowest run of each job in ms.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
files=2000
rounds=6
maker=$root/build/native/bench/bench_make_tree
while [[ ${1-} == --* ]]; do
    case $1 in
        --files) files=$2 ;;
        --rounds) rounds=$2 ;;
        --maker) maker=$2 ;;
        *) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
    esac
    shift 2
done
[[ $# -ge 1 ]] || { sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
[[ -x $maker ]] || { echo "wine.sh: $maker is missing (build the native build first)" >&2; exit 1; }

work=$(mktemp -d /dev/shm/quisel-wine-XXXXXX 2>/dev/null || mktemp -d /tmp/quisel-wine-XXXXXX)
trap 'rm -rf "$work"' EXIT
"$maker" "$work/master" "$files" >/dev/null
builds=()
for build in "$@"; do builds+=("$(cd "$build" && pwd)"); done
# The architecture from the PE header's machine field (0x8664: x86-64).
exe=${builds[0]}/quisel-run.exe
machine=$(od -An -t x2 -j $(($(od -An -t u4 -j 60 -N 4 "$exe") + 4)) -N 2 "$exe" | tr -d ' ')
if [[ $machine == 8664 ]]; then arch=win64; else arch=win32; fi
"$root/scripts/wine-run" --arch "$arch" --start
trap '"$root/scripts/wine-run" --arch "$arch" --stop; rm -rf "$work"' EXIT
run='Z:'${work//\//\\}'\run'

# The ms of one run of build i's host with these arguments, in a fresh copy named as.
timed() { # i as args...
    local i=$1 as=$2 start
    shift 2
    rm -rf "$work/run" && mkdir -p "$work/run" && cp -a "$work/master" "$work/run/$as"
    start=$(date +%s%N)
    "$root/scripts/wine-run" "${builds[$i]}/quisel-run.exe" "$@" >/dev/null
    echo $((($(date +%s%N) - start) / 1000000))
}

jobs=(backup forced clear)
declare -A times
for ((round = 0; round < rounds; round++)); do
    for i in "${!builds[@]}"; do
        times[$i backup]+="$(timed "$i" game -C "$run\game" backup 1) "
        times[$i forced]+="$(timed "$i" src -C "$run" move "$run\src" "$run\dst" missing.txt 1) "
        times[$i clear]+="$(timed "$i" tree -C "$run" clear "$run\tree" 1) "
    done
done

printf '%-40s %-7s %8s %8s %8s\n' build job "min ms" "median" "max ms"
for i in "${!builds[@]}"; do
    for job in "${jobs[@]}"; do
        read -r -a sorted <<<"$(tr ' ' '\n' <<<"${times[$i $job]}" | sed '/^$/d' | sort -n | tr '\n' ' ')"
        n=${#sorted[@]}
        if ((n % 2)); then median=${sorted[n / 2]}; else median=$(((sorted[n / 2 - 1] + sorted[n / 2]) / 2)); fi
        printf '%-40s %-7s %8s %8s %8s\n' "${builds[$i]}" "$job" "${sorted[0]}" "$median" "${sorted[n - 1]}"
    done
done
