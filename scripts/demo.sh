#!/usr/bin/env bash
# Builds both libraries and shows them answering through the host program: the version,
# and a ClearDir call on a missing directory of a scratch game directory, which returns 0
# and leaves its record in the game's quisel.log.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)

scripts/deps.sh

echo "== building build/native and build/win32"
mkdir -p build
cmake -S . -B build/native >build/native.configure.log 2>&1 || { cat build/native.configure.log; exit 1; }
cmake --build build/native -j"$jobs" --target quisel-run >/dev/null
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >build/win32.configure.log 2>&1 ||
    { cat build/win32.configure.log; exit 1; }
cmake --build build/win32 -j"$jobs" --target quisel-run >/dev/null

export WINEPREFIX=$root/build/win32/wineprefix
game=$(mktemp -d /tmp/quisel-demo-XXXXXX)
cleanup() {
    rm -rf "$game"
    scripts/wine-run --stop
}
trap cleanup EXIT
scripts/wine-run --start

# Runs one build's host in the game directory and shows what it printed and returned.
show() { # label command...
    local label=$1 status=0
    shift
    echo "\$ $label"
    (cd "$game" && "$@") || status=$?
    echo "(exit status $status)"
}

for build in native win32; do
    rm -f "$game/quisel.log"
    if [[ $build == native ]]; then
        host=("$root/build/native/quisel-run")
        echo; echo "== native: build/native/quisel-run with build/native/libquisel.so"
    else
        host=("$root/scripts/wine-run" "$root/build/win32/quisel-run.exe")
        echo; echo "== win32: build/win32/quisel-run.exe with build/win32/quisel.dll, under Wine"
    fi
    show "quisel-run --version" "${host[@]}" --version
    show "quisel-run clear missing 0" "${host[@]}" clear missing 0
    echo "--- $game/quisel.log (CR LF line ends shown as plain line ends)"
    if [[ -f $game/quisel.log ]]; then sed 's/\r$//' "$game/quisel.log"; else echo "(no log)"; fi
done
