#!/usr/bin/env bash
# Instructions each job takes in the process, counted by callgrind (repeatable, whatever
# else the machine does), for one or more native builds on the same generated tree: the
# way to compare a change against the build before it.
#
#   bench/count.sh [--files N] BUILD_DIR [BUILD_DIR...]
#
# Each BUILD_DIR holds quisel-run and libquisel.so (and bench/bench_make_tree, taken from
# the first). Prints one line per build and job: instructions in millions.
set -euo pipefail

files=2000
if [[ ${1-} == --files ]]; then
    files=$2
    shift 2
fi
[[ $# -ge 1 ]] || { sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
command -v valgrind >/dev/null || { echo "count.sh: valgrind is missing" >&2; exit 1; }

work=$(mktemp -d /dev/shm/quisel-count-XXXXXX 2>/dev/null || mktemp -d /tmp/quisel-count-XXXXXX)
trap 'rm -rf "$work"' EXIT
"$1/bench/bench_make_tree" "$work/master" "$files" >/dev/null

# The instructions of one run of the host with these arguments, in a fresh copy.
count() { # build copy-as args...
    local build=$1 as=$2 out
    shift 2
    rm -rf "$work/run" && mkdir -p "$work/run" && cp -a "$work/master" "$work/run/$as"
    out=$(cd "$work/run" && valgrind --tool=callgrind --callgrind-out-file=/dev/null "$build/quisel-run" "$@" 2>&1 >/dev/null)
    awk '/Collected :/ {printf "%.2f", $NF / 1e6}' <<<"$out"
}

printf '%-40s %10s %12s %10s\n' build "backup M" "forced M" "clear M"
for build in "$@"; do
    build=$(cd "$build" && pwd)
    backup=$(count "$build" game -C "$work/run/game" backup 1)
    forced=$(count "$build" src -C "$work/run" move "$work/run/src" "$work/run/dst" missing.txt 1)
    clear=$(count "$build" tree -C "$work/run" clear "$work/run/tree" 1)
    printf '%-40s %10s %12s %10s\n' "$build" "$backup" "$forced" "$clear"
done
