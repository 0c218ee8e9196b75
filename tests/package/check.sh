#!/usr/bin/env bash
# Uses the packages as a stranger would: only the archive or the install tree, never the
# source tree or the rest of the build folder. What it makes stays in BUILD/package-test/.
#   check.sh native BUILD        the tarball and an install tree, each moved: layout, header,
#                                quisel-run, the example by find_package and by pkg-config
#   check.sh windows ARCH BUILD  the zip (ARCH win32 or win64): layout, header, the example
#                                by MinGW, a consumer linked by lld-link against quisel.lib
#   check.sh wine ARCH BUILD     runs those two under Wine on sample games
# Exit status 0 passed, 1 failed, 77 skipped (wine-run --probe says why Wine cannot run ARCH).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
version=2.0.4.0
consumer=$root/tests/package/consumer.c
strict=(-Wall -Wextra -pedantic -Werror)
# The header's compilers; for Windows gcc and g++ become MinGW's and clang targets MSVC.
header_compilers=("gcc -std=c99" "g++ -x c++ -std=c++11" "clang -std=c99" "clang++ -x c++ -std=c++11")
problems=0 run=()

# Runs a command quietly and says ok, or counts a failure and shows the command's output.
check() { # description command...
    local out
    out=$("${@:2}" 2>&1) && { echo "ok: $1"; return; }
    printf 'FAIL: %s\n%s\n' "$1" "$(tail -20 <<<"$out")" >&2
    problems=$((problems + 1)) && return 1
}
not() { ! "$@"; }

# A game directory: backuplist.txt names the files of its current version, ver.bin last.
new_game() { # dir
    rm -rf "$1" && mkdir -p "$1/sub" && echo a >"$1/a.txt" && echo b >"$1/sub/b.dat" && echo v >"$1/ver.bin" &&
        echo k >"$1/keep.txt" && printf 'a.txt\r\nsub\\b.dat\r\nver.bin\r\n' >"$1/backuplist.txt" &&
        printf 'new.txt\r\n' >"$1/newlist.txt"
}

# Runs a program (through run: Wine) in GAME; then the versioned files must be whole in
# WHERE alone (gameold after a backup, "." after a restore) and keep.txt must stay.
moves() { # game where program args...
    local at=$1/$2 away=$1/gameold
    [[ $2 == gameold ]] && away=$1
    (cd "$1" && "${run[@]}" "${@:3}") || return
    [[ $(cd "$at" && cat a.txt sub/b.dat ver.bin | xargs) == "a b v" && $(cat "$1/keep.txt") == k &&
        -z $(ls -d "$away"/{a.txt,sub/b.dat,ver.bin} 2>/dev/null) ]] || { find "$1"; return 1; }
}

# Backs a new game up and restores it with a launcher, given the game as ARG (Wine's path).
launch() { # what game launcher [arg]
    new_game "$2" && check "$1: backup" moves "$2" gameold "$3" "${4:-$2}" &&
        check "$1: restore" moves "$2" . "$3" --restore "${4:-$2}"
}

# FOLDER holds one tree, TOP, with exactly these files and links ("link -> target").
layout() { # folder top paths...
    diff <(printf "$2/%s\n" "${@:3}" | sort) \
        <(cd "$1" && find . -type f -printf '%P\n' -o -type l -printf '%P -> %l\n' | sort)
}

# The header as C and as C++, every warning an error; the object must reference the three
# functions unmangled (extern "C"), cdecl and, on Windows, imported (PREFIX __imp_[_]).
header() { # include prefix compiler...
    "${@:3}" "${strict[@]}" -I"$1" -c "$consumer" -o "$work/header.o" && llvm-nm -u "$work/header.o" |
        tee /dev/stderr | grep -cxE " *U $2(VersionBackup|ClearDir|VersionMove)" | grep -qx 3
}
headers() { # include prefix
    local c
    for c in "${header_compilers[@]}"; do
        [[ $mode == windows ]] && case $c in g*) c=$mingw-${c/ /-posix } ;; *) c=${c/ / --target=$msvc } ;; esac
        # shellcheck disable=SC2086 # a compiler is a command with its options
        check "header with $c" header "$1" "$2" $c
    done
}

# A native tree, FOLDER/TOP, used only where it was moved to.
native_tree() { # folder top
    local tree=$1/$2 name=$2 lib=$1/$2/$libdir examples=$1/$2/share/doc/quisel/examples pc
    check "$name: layout" layout "$1" "$2" bin/quisel-run include/quisel.h "$libdir/libquisel.so.$version" \
        "$libdir/libquisel.so -> libquisel.so.2" "$libdir/libquisel.so.2 -> libquisel.so.$version" \
        "$libdir"/cmake/quisel/quisel{Config,ConfigVersion,Targets,Targets-relwithdebinfo}.cmake \
        "$libdir"/pkgconfig/quisel.pc share/doc/quisel/{README.md,examples/launcher.c,examples/CMakeLists.txt}
    check "$name: soname" grep -q 'SONAME.*\[libquisel\.so\.2\]' <(readelf -d "$lib/libquisel.so.$version")
    # Relocatable: no file names the folder it was made or first installed in.
    check "$name: no absolute paths" not grep -rlF -e "$build" -e "$work" --include=*.cmake --include=*.pc "$tree"
    new_game "$work/$name-run" && check "$name: bin/quisel-run loads the tree's library" \
        moves "$work/$name-run" gameold "$tree/bin/quisel-run" backup 0
    check "$name: example configured with find_package" cmake -S "$examples" -B "$work/$name-cmake" \
        -DCMAKE_PREFIX_PATH="$tree" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF "-DCMAKE_C_FLAGS=${strict[*]}" &&
        check "$name: example built with find_package" cmake --build "$work/$name-cmake" &&
        launch "$name: example with find_package" "$work/$name-game" "$work/$name-cmake/launcher"
    pc=(env PKG_CONFIG_LIBDIR="$lib/pkgconfig" PKG_CONFIG_PATH= pkg-config)
    check "$name: pkg-config version $version" test "$("${pc[@]}" --modversion quisel)" == "$version"
    # shellcheck disable=SC2046 # the flags are words
    check "$name: example built with pkg-config" gcc "${strict[@]}" "$examples/launcher.c" \
        $("${pc[@]}" --cflags --libs quisel) -Wl,-rpath,"$("${pc[@]}" --variable=libdir quisel)" -o "$work/$name-pc" &&
        launch "$name: example with pkg-config" "$work/$name-game" "$work/$name-pc"
}

check_native() {
    local top=quisel-$version-linux-$(uname -m)
    libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
    mkdir -p "$work/archive" && check "unpack the tarball" tar -xzf "$build/$top.tar.gz" -C "$work/archive" &&
        native_tree "$work/archive" "$top"
    check "cmake --install" cmake --install "$build" --prefix "$work/first/installed" &&
        mv "$work/first" "$work/moved" && native_tree "$work/moved" installed
    headers "$work/moved/installed/include" ""
}

# What a program imports from quisel.dll: exactly the names it calls, undecorated.
imports() { # exe names...
    diff <(printf '%s\n' "${@:2}") <(llvm-readobj --coff-imports "$1" |
        awk '/Name:/ { mine = ($2 == "quisel.dll") } mine && /Symbol:/ { print $2 }' | sort)
}

check_windows() { # arch
    local arch=$1 top=quisel-$version-$1 triplet=i686 machine=i386 imp=__imp__ exit=ExitProcess@4
    local safeseh=(/safeseh)
    [[ $arch == win64 ]] && triplet=x86_64 machine=i386:x86-64 imp=__imp_ exit=ExitProcess safeseh=()
    local tree=$work/zip/$top mingw=$triplet-w64-mingw32 msvc=$triplet-pc-windows-msvc
    mkdir -p "$work/zip" && check "unpack the zip" cmake -E chdir "$work/zip" cmake -E tar xf "$build/$top.zip" ||
        return
    check "$arch: layout" layout "$work/zip" "$top" README.md bin/quisel.dll bin/quisel-run.exe examples/launcher.c \
        include/quisel.h lib/libquisel.dll.a lib/quisel.def lib/quisel.lib
    headers "$tree/include" "$imp"
    # MinGW: -lquisel finds lib/libquisel.dll.a.
    check "$arch: example built by MinGW" "$mingw-gcc-posix" "${strict[@]}" -static-libgcc -I"$tree/include" \
        "$tree/examples/launcher.c" -L"$tree/lib" -lquisel -o "$tree/bin/launcher.exe" &&
        check "$arch: the example's imports" imports "$tree/bin/launcher.exe" VersionBackup VersionMove
    # MSVC toolchain, with no SDK and no C runtime: an entry function and ExitProcess from
    # an import library made here. A 32-bit link is /safeseh, as MSVC's is by default.
    check "$arch: kernel32 import library" llvm-dlltool -m "$machine" -k -l "$work/kernel32.lib" \
        -d <(printf 'LIBRARY kernel32.dll\nEXPORTS\n    %s\n' "$exit") &&
        check "$arch: consumer compiled for MSVC" clang --target="$msvc" -ffreestanding -fno-builtin \
            "${strict[@]}" -I"$tree/include" -c "$consumer" -o "$work/consumer.obj" &&
        check "$arch: consumer linked by lld-link against lib/quisel.lib ${safeseh[*]}" lld-link /nologo \
            /entry:Entry /subsystem:console /nodefaultlib "${safeseh[@]}" "$work/consumer.obj" \
            "$tree/lib/quisel.lib" "$work/kernel32.lib" /out:"$tree/bin/consumer.exe" &&
        check "$arch: the consumer's imports" imports "$tree/bin/consumer.exe" ClearDir VersionBackup VersionMove
}

check_wine() { # arch
    local arch=$1 tree=$work/zip/quisel-$version-$1 game=$work/wine-game
    "$root/scripts/wine-run" --probe "$arch" ||
        { [[ $? -eq 77 ]] && exit 77; check "wine-run --probe $arch" false; return; }
    check "$arch: programs made by check.sh windows $arch" \
        test -f "$tree/bin/consumer.exe" -a -f "$tree/bin/launcher.exe" || return
    export WINEPREFIX=$root/build/$arch/wineprefix
    run=("$root/scripts/wine-run" --arch "$arch")
    # The consumer backs up, moves back and clears gameold; its exit code names failed calls.
    new_game "$game" && check "$arch: consumer linked by lld-link" moves "$game" . "$tree/bin/consumer.exe" &&
        check "$arch: the consumer's ClearDir removed gameold" test ! -e "$game/gameold"
    launch "$arch: example built with MinGW" "$game" "$tree/bin/launcher.exe" "Z:${game//\//\\}"
    "${run[@]}" --stop
}

mode=${1-}
[[ $mode == native && $# -eq 2 || $mode =~ ^(windows|wine)$ && $# -eq 3 && $2 =~ ^win(32|64)$ ]] ||
    { echo "usage: check.sh native BUILD | windows ARCH BUILD | wine ARCH BUILD" >&2; exit 2; }

build=$(cd "${!#}" && pwd) || exit 1
work=$build/package-test
[[ $mode == wine ]] || { rm -rf "$work" && mkdir -p "$work"; } || exit 1
"check_$mode" "${@:2:$#-2}"
[[ $problems -eq 0 ]]
