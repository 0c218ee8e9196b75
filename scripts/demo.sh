#!/usr/bin/env bash
# The library's main job, on every build this machine can run: builds them (native, and
# the 32-bit and 64-bit DLLs), makes a small sample game directory (nested files, both
# list files, the version marker "ver.bin"), backs its version up into "gameold" through
# the host program, shows the trees and the log, then restores the snapshot with a forced
# version move and shows the game again. A build the machine cannot run (the 32-bit one
# where the kernel refuses 32-bit programs) is named, with the reason, and left out.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=$(nproc 2>/dev/null || echo 2)

scripts/deps.sh
# Where apt could not install the 32-bit Wine alone, what set-up moved to install it.
aligned=
[[ -s build/wine32-aligned.txt ]] && aligned=$(head -1 build/wine32-aligned.txt)
[[ -n $aligned ]] && echo "== Set-up: $aligned"

echo "== building build/native, build/win32 and build/win64"
mkdir -p build
configure_and_build() { # dir [cmake options...]
    local dir=$1
    shift
    cmake -S . -B "$dir" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; exit 1; }
    cmake --build "$dir" -j"$jobs" --target quisel-run >/dev/null
}
configure_and_build build/native
configure_and_build build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
configure_and_build build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake

work=$(mktemp -d /tmp/quisel-demo-XXXXXX)
builds=(native)
left_out=()
failed=()
cleanup() {
    rm -rf "$work"
    local build
    for build in "${builds[@]:1}"; do scripts/wine-run --arch "$build" --stop; done
}
trap cleanup EXIT
for build in win64 win32; do
    status=0
    scripts/wine-run --arch "$build" --start 2>"$work/probe.err" || status=$?
    if [[ $status -eq 0 ]]; then
        builds+=("$build")
    elif [[ $status -eq 77 ]]; then
        left_out+=("$build: $(sed -n 's/^wine-run: skipped: //p' "$work/probe.err" | head -1)")
    else
        cat "$work/probe.err" >&2
        exit 1
    fi
done

# A small game: its files, the list of what a backup takes ("backuplist.txt", CR LF
# lines as the game writes them), the list of the next version ("newlist.txt"), and
# the version marker, listed so that it moves last.
make_game() { # dir
    local game=$1
    mkdir -p "$game/data/maps" "$game/data/sound" "$game/bin" "$game/saves"
    printf 'game 1.0\n' >"$game/bin/game.exe"
    printf 'engine 1.0\n' >"$game/bin/engine.dll"
    printf 'map one\n' >"$game/data/maps/one.map"
    printf 'map two\n' >"$game/data/maps/two.map"
    printf 'boom\n' >"$game/data/sound/boom.wav"
    printf 'slot 1\n' >"$game/saves/slot1.sav"
    printf '1.0\n' >"$game/ver.bin"
    printf 'bin\\game.exe\r\nbin\\engine.dll\r\n.\\data\\maps\\one.map\r\ndata\\maps\\two.map\r\ndata\\sound\\boom.wav\r\nver.bin\r\n' \
        >"$game/backuplist.txt"
    printf 'bin\\game.exe\r\nbin\\engine.dll\r\ndata\\maps\\one.map\r\nver.bin\r\n' >"$game/newlist.txt"
}

show_tree() { # dir
    (cd "$1" && find . -mindepth 1 | sort | sed 's#^\./#  #')
}

show_log() { # dir
    echo "--- quisel.log (CR LF shown as line ends)"
    sed 's/\r$//' "$1/quisel.log"
    echo "---"
}

run() { # label command...
    local label=$1 status=0
    shift
    echo "\$ $label"
    "$@" || status=$?
    echo "(exit status $status)"
    [[ $status -eq 0 ]] || failed+=("$label")
}

for build in "${builds[@]}"; do
    game=$work/$build/game
    make_game "$game"
    if [[ $build == native ]]; then
        host=("$root/build/native/quisel-run")
        lib_game=$game
        sep=/
        echo; echo "======== native: build/native/quisel-run with build/native/libquisel.so"
    else
        host=("$root/scripts/wine-run" --arch "$build" "$root/build/$build/quisel-run.exe")
        lib_game="Z:${game//\//\\}"
        sep='\'
        echo; echo "======== $build: build/$build/quisel-run.exe with build/$build/quisel.dll, under Wine"
    fi
    echo "The game directory before the backup:"
    show_tree "$game"

    echo
    echo "== Backup: VersionBackup(0) snapshots the version into gameold"
    run "quisel-run -C $lib_game backup 0" "${host[@]}" -C "$lib_game" backup 0
    echo "The game directory after the backup:"
    show_tree "$game"
    show_log "$game"

    echo
    echo "== Restore: VersionMove(gameold, game, gameold${sep}newlist.txt, force 1) moves the snapshot back"
    snapshot="$lib_game${sep}gameold"
    run "quisel-run -C $lib_game move $snapshot $lib_game $snapshot${sep}newlist.txt 1" \
        "${host[@]}" -C "$lib_game" move "$snapshot" "$lib_game" "$snapshot${sep}newlist.txt" 1
    echo "The game directory after the restore (the snapshot keeps its two list copies):"
    show_tree "$game"
    show_log "$game"
done

echo
echo "== Shown: ${builds[*]}"
[[ -n $aligned ]] && echo "== Set-up: $aligned"
for reason in "${left_out[@]}"; do echo "== Left out: $reason"; done
if [[ ${#failed[@]} -gt 0 ]]; then
    printf '== Failed: %s\n' "${failed[@]}"
    exit 1
fi
