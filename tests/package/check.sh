#!/usr/bin/env bash
# Uses the packages as a launcher's developer would: only what is in the archive or the
# install tree, never the source tree or the rest of the build folder.
#
#   check.sh native BUILD        the archive, an install tree and one configured for /usr
#                                (each moved first): layout, soname, the header, the
#                                installed quisel-run, the example built with find_package
#                                and with pkg-config and run on a sample game
#   check.sh windows ARCH BUILD  the zip: layout, the header (MinGW, clang in MSVC mode),
#                                the example built by MinGW against libquisel.dll.a, a
#                                consumer linked by lld-link against quisel.lib
#   check.sh wine ARCH BUILD     runs those two under Wine on sample games
#
# ARCH is win32 or win64; what it makes stays in BUILD/package-test/. Exit status 0
# passed, 1 failed, 77 skipped (Wine cannot run ARCH here; wine-run --probe says why).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
version=2.0.4.0
consumer=$root/tests/package/consumer.c
strict=(-Wall -Wextra -pedantic -Werror)
problems=0

fail() { echo "FAIL: $*" >&2; problems=$((problems + 1)); }
ok() { echo "ok: $*"; }
# Runs a command quietly; its output is shown when it fails.
quiet() { # description command...
    local what=$1 out
    shift
    if out=$("$@" 2>&1); then return 0; fi
    fail "$what"
    printf '%s\n' "$out" | tail -20 >&2
    return 1
}

# A game directory: backuplist.txt names the files of its current version, ver.bin last.
make_game() { # dir
    mkdir -p "$1/sub" && printf 'a\n' >"$1/a.txt" && printf 'b\n' >"$1/sub/b.dat" &&
        printf 'v\n' >"$1/ver.bin" && printf 'k\n' >"$1/keep.txt" &&
        printf 'a.txt\r\nsub\\b.dat\r\nver.bin\r\n' >"$1/backuplist.txt" && printf 'new.txt\r\n' >"$1/newlist.txt"
}

# The versioned files, whole, in gameold after a backup or in the game after a restore
# (WHERE "."), and not at the other place; keep.txt stays.
expect_files_in() { # what game where
    local what=$1 game=$2 at=$2/$3 away=$2 f
    [[ $3 == gameold ]] || away=$game/gameold
    for f in a.txt:a sub/b.dat:b ver.bin:v; do
        if [[ $(cat "$at/${f%%:*}" 2>/dev/null) != "${f#*:}" || -e $away/${f%%:*} ]]; then
            fail "$what: ${f%%:*} is not in $at alone"
            return 1
        fi
    done
    [[ $(cat "$game/keep.txt" 2>/dev/null) == k ]] || { fail "$what: keep.txt left the game directory"; return 1; }
    ok "$what"
}

# Backs a fresh game up and restores it with a launcher; RUN prefixes the launcher (Wine).
run_launcher() { # what game launcher [path-of-game-for-the-launcher]
    local what=$1 game=$2 launcher=$3 arg=${4:-$2}
    make_game "$game" || return 1
    quiet "$what: backup" "${run[@]}" "$launcher" "$arg" && expect_files_in "$what: backup" "$game" gameold &&
        quiet "$what: restore" "${run[@]}" "$launcher" --restore "$arg" && expect_files_in "$what: restore" "$game" .
}

# The header compiled as C and as C++ with every warning an error; the object must
# reference the three functions unmangled (extern "C"), cdecl and, on Windows, imported.
check_header() { # include-dir symbol-prefix compiler...
    local include=$1 prefix=$2 compiler object symbols name
    shift 2
    for compiler in "$@"; do
        object=$work/header-$((++header_count)).o
        # shellcheck disable=SC2086 # a compiler is a command with its options
        quiet "header with $compiler" $compiler "${strict[@]}" -I"$include" -c "$consumer" -o "$object" || continue
        symbols=$(llvm-nm -u "$object")
        for name in VersionBackup ClearDir VersionMove; do
            grep -qx " *U $prefix$name" <<<"$symbols" || fail "header with $compiler: no reference to $prefix$name"
        done
    done
    ok "header as C and C++ ($# compilers)"
}

# Exactly these files and links, nothing else.
check_layout() { # tree expected-paths...
    local tree=$1 found
    shift
    found=$(cd "$tree" && find . \( -type f -o -type l \) -printf '%P\n' | sort)
    if [[ $found != "$(printf '%s\n' "$@" | sort)" ]]; then
        fail "$tree holds:"$'\n'"$found"$'\n'"expected:"$'\n'"$(printf '%s\n' "$@" | sort)"
        return 1
    fi
    ok "layout of $(basename "$tree")"
}

# A native tree, from the archive or an install, made by BUILD; the header is checked on
# the first.
check_native_tree() { # tree build
    local tree=$1 from=$2 name libdir
    name=$(basename "$tree")
    libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$from/CMakeCache.txt")
    check_layout "$tree" bin/quisel-run include/quisel.h "$libdir"/libquisel.so{,.2,.$version} \
        "$libdir"/cmake/quisel/quiselConfig{,Version}.cmake "$libdir"/cmake/quisel/quiselTargets{,-relwithdebinfo}.cmake \
        "$libdir"/pkgconfig/quisel.pc share/doc/quisel/README.md share/doc/quisel/examples/{launcher.c,CMakeLists.txt}
    [[ $(readlink "$tree/$libdir/libquisel.so") == libquisel.so.2 &&
        $(readlink "$tree/$libdir/libquisel.so.2") == libquisel.so.$version ]] || fail "$name: library links"
    readelf -d "$tree/$libdir/libquisel.so.$version" | grep -q 'SONAME.*\[libquisel\.so\.2\]' ||
        fail "$name: soname is not libquisel.so.2"
    # Relocatable: nothing names the place it was made in or first installed to (the
    # trees are used below only after a move).
    if grep -rlF -e "$from" -e "$work" --include='*.cmake' --include='*.pc' "$tree"; then
        fail "$name: files above name the folder it was made or installed in"
    fi
    [[ $header_count -gt 0 ]] ||
        check_header "$tree/include" "" "gcc -std=c99" "clang -std=c99" "g++ -x c++ -std=c++11" "clang++ -x c++ -std=c++11"

    run=()
    make_game "$work/$name-host" &&
        quiet "$name: bin/quisel-run" "$tree/bin/quisel-run" -C "$work/$name-host" backup 0 &&
        expect_files_in "$name: bin/quisel-run loads the tree's library" "$work/$name-host" gameold

    local examples=$tree/share/doc/quisel/examples
    quiet "$name: example with find_package" cmake -S "$examples" -B "$work/$name-cmake" -DCMAKE_PREFIX_PATH="$tree" \
        -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF "-DCMAKE_C_FLAGS=${strict[*]}" &&
        quiet "$name: build of the example" cmake --build "$work/$name-cmake" &&
        run_launcher "$name: example with find_package" "$work/$name-game-cmake" "$work/$name-cmake/launcher"

    local pc
    pc=(env PKG_CONFIG_LIBDIR="$tree/$libdir/pkgconfig" PKG_CONFIG_PATH= pkg-config)
    [[ $("${pc[@]}" --modversion quisel) == "$version" ]] || fail "$name: pkg-config version"
    # shellcheck disable=SC2046 # the flags are words
    quiet "$name: example with pkg-config" gcc "${strict[@]}" "$examples/launcher.c" $("${pc[@]}" --cflags --libs quisel) \
        -Wl,-rpath,"$("${pc[@]}" --variable=libdir quisel)" -o "$work/$name-launcher-pc" &&
        run_launcher "$name: example with pkg-config" "$work/$name-game-pc" "$work/$name-launcher-pc"
}

check_native() {
    mkdir -p "$work/archive" &&
        quiet "unpack the archive" tar -xzf "$build/quisel-$version-linux-$(uname -m).tar.gz" -C "$work/archive" &&
        check_native_tree "$work/archive/quisel-$version-linux-$(uname -m)" "$build"
    # Installed, then moved as a whole.
    quiet "cmake --install" cmake --install "$build" --prefix "$work/installed-first" &&
        mv "$work/installed-first" "$work/installed" && check_native_tree "$work/installed" "$build"
    # Configured for /usr, Debian's library folder is lib/<multiarch>: one level deeper.
    local multiarch=$work/multiarch-build
    quiet "configure for /usr" cmake -S "$root" -B "$multiarch" -DCMAKE_INSTALL_PREFIX=/usr -DQUISEL_TESTS=OFF &&
        quiet "build for /usr" cmake --build "$multiarch" -j2 --target quisel quisel-run &&
        quiet "cmake --install" cmake --install "$multiarch" --prefix "$work/usr-first" &&
        mv "$work/usr-first" "$work/usr" && check_native_tree "$work/usr" "$multiarch"
}

# A program imports these names, undecorated, from quisel.dll and nothing else from it.
expect_imports() { # what exe "names in order"
    local found
    found=$(llvm-readobj --coff-imports "$2" |
        awk '/Name:/ { mine = ($2 == "quisel.dll") } mine && /Symbol:/ { print $2 }' | sort | xargs)
    [[ $found == "$3" ]] && ok "$1 imports $3 from quisel.dll" || fail "$1 imports [$found] from quisel.dll, not [$3]"
}

check_windows() { # arch
    local arch=$1 triplet=i686 machine=i386 imp=__imp__ tree=$work/quisel-$version-$1
    [[ $arch == win64 ]] && triplet=x86_64 machine=i386:x86-64 imp=__imp_
    local mingw=$triplet-w64-mingw32 msvc=$triplet-pc-windows-msvc
    quiet "unpack the zip" cmake -E chdir "$work" cmake -E tar xf "$build/quisel-$version-$arch.zip" || return
    check_layout "$tree" README.md bin/quisel.dll bin/quisel-run.exe examples/launcher.c include/quisel.h \
        lib/libquisel.dll.a lib/quisel.def lib/quisel.lib

    check_header "$tree/include" "$imp" "$mingw-gcc-posix -std=c99" "$mingw-g++-posix -x c++ -std=c++11" \
        "clang --target=$msvc -std=c99" "clang++ --target=$msvc -x c++ -std=c++11"

    # MinGW: -lquisel finds lib/libquisel.dll.a.
    if quiet "$arch: example with MinGW" "$mingw-gcc-posix" "${strict[@]}" -static-libgcc -I"$tree/include" \
        "$tree/examples/launcher.c" -L"$tree/lib" -lquisel -o "$tree/bin/launcher.exe"; then
        expect_imports "$arch: example built with MinGW" "$tree/bin/launcher.exe" "VersionBackup VersionMove"
    fi

    # MSVC toolchain, with no SDK and no C runtime: an entry function and ExitProcess from
    # an import library made here. A 32-bit link is /safeseh, as MSVC's is by default.
    local kernel32=ExitProcess safeseh=()
    [[ $arch == win32 ]] && kernel32=ExitProcess@4 safeseh=(/safeseh)
    printf 'LIBRARY kernel32.dll\nEXPORTS\n    %s\n' "$kernel32" >"$work/kernel32-$arch.def"
    quiet "$arch: kernel32 import library" llvm-dlltool -m "$machine" -k -d "$work/kernel32-$arch.def" \
        -l "$work/kernel32-$arch.lib" &&
        quiet "$arch: consumer compiled for MSVC" clang --target="$msvc" -ffreestanding -fno-builtin \
            "${strict[@]}" -I"$tree/include" -c "$consumer" -o "$work/consumer-$arch.obj" &&
        quiet "$arch: consumer linked by lld-link against lib/quisel.lib ${safeseh[*]}" lld-link /nologo \
            /entry:Entry /subsystem:console /nodefaultlib "${safeseh[@]}" "$work/consumer-$arch.obj" \
            "$tree/lib/quisel.lib" "$work/kernel32-$arch.lib" /out:"$tree/bin/consumer.exe" &&
        expect_imports "$arch: consumer linked by lld-link" "$tree/bin/consumer.exe" "ClearDir VersionBackup VersionMove"
}

check_wine() { # arch
    local arch=$1 tree=$work/quisel-$version-$1 status
    "$root/scripts/wine-run" --probe "$arch"
    status=$?
    [[ $status -eq 77 ]] && exit 77
    [[ $status -eq 0 ]] || { fail "$arch: scripts/wine-run --probe $arch (status $status)"; return; }
    [[ -f $tree/bin/consumer.exe && -f $tree/bin/launcher.exe ]] ||
        { fail "$arch: no programs in $tree/bin: run check.sh windows $arch first"; return; }
    export WINEPREFIX=$root/build/$arch/wineprefix
    run=("$root/scripts/wine-run" --arch "$arch")

    local game=$work/$arch-game-msvc
    make_game "$game" && (cd "$game" && "${run[@]}" "$tree/bin/consumer.exe")
    status=$?
    if [[ $status -eq 7 && ! -e $game/gameold ]]; then
        expect_files_in "$arch: consumer linked by lld-link backs up, restores and clears" "$game" .
    else
        fail "$arch: consumer exit code $status, expected 7 (every call returned 1) and gameold removed"
    fi
    game=$work/$arch-game-mingw
    run_launcher "$arch: example built with MinGW" "$game" "$tree/bin/launcher.exe" "Z:${game//\//\\}"
    "$root/scripts/wine-run" --arch "$arch" --stop
}

mode=${1-}
case $mode in
    native) [[ $# -eq 2 ]] ;;
    windows | wine) [[ $# -eq 3 && ($2 == win32 || $2 == win64) ]] ;;
    *) false ;;
esac || { echo "usage: check.sh native BUILD | windows ARCH BUILD | wine ARCH BUILD" >&2; exit 2; }

build=$(cd "${!#}" && pwd) || exit 1
work=$build/package-test
header_count=0
[[ $mode == wine ]] || { rm -rf "$work" && mkdir -p "$work"; } || exit 1
case $mode in
    native) check_native ;;
    windows) check_windows "$2" ;;
    wine) check_wine "$2" ;;
esac
[[ $problems -eq 0 ]]
