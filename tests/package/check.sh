#!/usr/bin/env bash
# Uses the packages as a stranger would: only the archive or the install tree, never the
# rest of the build folder. What it makes stays in BUILD/package-test/.
#   check.sh native BUILD        the tarball, an install tree (moved) and a Debian-layout one
#                                (configured for /usr, installed under a DESTDIR): layout,
#                                stripped images whose debug files gdb reads, header,
#                                quisel-run, the example by find_package and by pkg-config;
#                                a second build from copied sources gives the same bytes
#   check.sh windows ARCH BUILD  the zip (ARCH win32 or win64): layout, header, the PDBs, the
#                                example by MinGW by hand and by find_package, a consumer
#                                linked by lld-link by hand and by clang-cl with find_package,
#                                each with the import library its imports show; find_package
#                                from another architecture refused; the same bytes again
#   check.sh wine ARCH BUILD     runs those four under Wine on sample games
# Exit status 0 passed, 1 failed, 77 skipped (wine-run --probe says why Wine cannot run ARCH).
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
version=2.0.4.0
consumer=$root/tests/package/consumer
strict=(-Wall -Wextra -pedantic -Werror)
# The header's compilers; for Windows gcc and g++ become MinGW's and clang targets MSVC.
header_compilers=("gcc -std=c99" "g++ -x c++ -std=c++11" "clang -std=c99" "clang++ -x c++ -std=c++11")
# Functions each image's symbols must name: the exports and some of the library's own.
library_functions=(VersionBackup ClearDir VersionMove ClearDirW VersionMoveW WriteLog ForceMove MoveWithRepairs
    ReadListLine)
# The hint of each import, by import library: quisel.lib holds the name's place in the
# DLL's export name table, libquisel.dll.a (GNU ld's) the ordinal.
declare -A hint=([quisel.lib:ClearDir]=0 [quisel.lib:ClearDirW]=1 [quisel.lib:VersionBackup]=2
    [quisel.lib:VersionMove]=3 [quisel.lib:VersionMoveW]=4
    [libquisel.dll.a:VersionBackup]=1 [libquisel.dll.a:ClearDir]=2 [libquisel.dll.a:VersionMove]=3
    [libquisel.dll.a:ClearDirW]=4 [libquisel.dll.a:VersionMoveW]=5)
problems=0 run=()

# Runs a command quietly and says ok, or counts a failure and shows the command's output.
check() { # description command...
    local out
    out=$("${@:2}" 2>&1) && { echo "ok: $1"; return; }
    printf 'FAIL: %s\n%s\n' "$1" "$(tail -20 <<<"$out")" >&2
    problems=$((problems + 1)) && return 1
}
not() { ! "$@"; }
cached() { # build variable
    sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt"
}

# A game directory: backuplist.txt names the files of its current version, ver.bin last.
new_game() { # dir
    rm -rf "$1" && mkdir -p "$1/sub" && echo a >"$1/a.txt" && echo b >"$1/sub/b.dat" && echo v >"$1/ver.bin" &&
        echo k >"$1/keep.txt" && printf 'a.txt\r\nsub\\b.dat\r\nver.bin\r\n' >"$1/backuplist.txt" &&
        printf 'new.txt\r\n' >"$1/newlist.txt"
}

# Runs a program (through run: Wine) in GAME, which must exit with STATUS; then the
# versioned files must be whole in WHERE alone (gameold after a backup, "." after a
# restore) and keep.txt must stay.
moves() { # game where status program args...
    local at=$1/$2 away=$1/gameold status=0
    [[ $2 == gameold ]] && away=$1
    (cd "$1" && "${run[@]}" "${@:4}") || status=$?
    [[ $status -eq $3 ]] || { echo "exit status $status, not $3"; return 1; }
    [[ $(cd "$at" && cat a.txt sub/b.dat ver.bin | xargs) == "a b v" && $(cat "$1/keep.txt") == k &&
        -z $(ls -d "$away"/{a.txt,sub/b.dat,ver.bin} 2>/dev/null) ]] || { find "$1"; return 1; }
}

# Backs a new game up, backs it up again (refused: the version is in the snapshot now, and
# stays there) and restores it with a launcher, given the game as ARG (Wine's path).
launch() { # what game launcher [arg]
    new_game "$2" && check "$1: backup" moves "$2" gameold 0 "$3" "${4:-$2}" &&
        check "$1: a repeated backup refused, nothing touched" moves "$2" gameold 1 "$3" "${4:-$2}" &&
        check "$1: restore" moves "$2" . 0 "$3" --restore "${4:-$2}"
}

# FOLDER holds one tree, TOP, with exactly these files and links ("link -> target").
layout() { # folder top paths...
    diff <(printf "$2/%s\n" "${@:3}" | sort) \
        <(cd "$1" && find . -type f -printf '%P\n' -o -type l -printf '%P -> %l\n' | sort)
}

# The header as C and as C++, every warning an error; the object must reference the five
# functions unmangled (extern "C"), cdecl and, on Windows, imported (PREFIX __imp_[_]).
header() { # include prefix compiler...
    "${@:3}" "${strict[@]}" -I"$1" -c "$consumer/consumer.c" -o "$work/header.o" && llvm-nm -u "$work/header.o" |
        tee /dev/stderr | grep -cxE " *U $2(VersionBackup|ClearDir|VersionMove|ClearDirW|VersionMoveW)" | grep -qx 5
}
headers() { # include prefix
    local c
    for c in "${header_compilers[@]}"; do
        [[ $mode == windows ]] && case $c in g*) c=$mingw-${c/ /-posix } ;; *) c=${c/ / --target=$msvc } ;; esac
        # shellcheck disable=SC2086 # a compiler is a command with its options
        check "header with $c" header "$1" "$2" $c
    done
}

# The commit built again from a copy of its sources in other folders, configured as BUILD
# was but without the tests, and packed: each file named must have the same bytes in both.
# Prints what it compared. The copy has no history: it is given the time of the commit.
again() { # cmake options...
    local sources=$work/again/copied-sources/quisel copy=$work/again/build out
    mkdir -p "$sources" && if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
        (cd "$root" && git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
            [[ -e $f ]] && printf '%s\0' "$f"; done | tar --null -T - -c) | tar -x -C "$sources"
    else
        (cd "$root" && tar --exclude=./build -c .) | tar -x -C "$sources"
    fi || return
    check "second build configured in $copy" cmake -S "$sources" -B "$copy" -G "$(cached "$build" CMAKE_GENERATOR)" \
        -DCMAKE_BUILD_TYPE="$(cached "$build" CMAKE_BUILD_TYPE)" -DQUISEL_TESTS=OFF "${@//@SOURCES@/$sources}" &&
        check "second build packed" env SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null)}" \
            cmake --build "$copy" -j2 --target package || return
    echo "compared, ${build#"$root"/} and ${copy#"$root"/}:"
    out=$(for f in "${same[@]}"; do
        if cmp -s "$build/$f" "$copy/$f"; then echo "  same   $(sha256sum <"$build/$f" | cut -c1-16)  $f"; else echo "  DIFFER $f"; fi
    done)
    echo "$out"
    check "two builds in two folders, the same bytes (${#same[@]} files)" not grep -q DIFFER <<<"$out"
}

# Installed stripped: no DWARF and no symbol table in the image; gdb reads them from the
# debug file beside it (.debug/, through the debuglink) and names a function's source.
split_symbols() { # library
    not grep -qE ' \.(debug_info|symtab) ' <(readelf -S -W "$1") &&
        gdb -batch -nx -ex 'info functions ^ForceMove' "$1" | grep -qx 'File ./tree/force_move.cpp:'
}

# A native tree, FOLDER/TOP, used only where it was moved or installed to.
native_tree() { # folder top libdir
    local tree=$1/$2 name=$2 libdir=$3 lib=$1/$2/$3 examples=$1/$2/share/doc/quisel/examples pc
    check "$name: layout" layout "$1" "$2" bin/quisel-run bin/.debug/quisel-run.debug include/quisel.h \
        "$libdir/libquisel.so.$version" "$libdir/.debug/libquisel.so.$version.debug" \
        "$libdir/libquisel.so -> libquisel.so.2" "$libdir/libquisel.so.2 -> libquisel.so.$version" \
        "$libdir"/cmake/quisel/quisel{Config,ConfigVersion,VersionRange}.cmake \
        "$libdir"/pkgconfig/quisel.pc share/doc/quisel/{README.md,examples/launcher.c,examples/CMakeLists.txt}
    check "$name: soname" grep -q 'SONAME.*\[libquisel\.so\.2\]' <(readelf -d "$lib/libquisel.so.$version")
    check "$name: library stripped, gdb reads its symbols from .debug/" split_symbols "$lib/libquisel.so.$version"
    # Relocatable: no file names the folder it was made or first installed in.
    check "$name: no absolute paths" not grep -rlF -e "$build" -e "$work" --include=*.cmake --include=*.pc "$tree"
    new_game "$work/$name-run" && check "$name: bin/quisel-run loads the tree's library" \
        moves "$work/$name-run" gameold 0 "$tree/bin/quisel-run" backup 0
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

# A backup killed after it moved files, as the launcher's marks then stand: the next backup
# is refused and leaves the snapshot alone, the restore brings the version back.
cut_short() { # game launcher
    new_game "$1" && moves "$1" gameold 0 "$2" "$1" && rm "$1/gameold.ok" && touch "$1/gameold.pending" &&
        moves "$1" gameold 1 "$2" "$1" && moves "$1" . 0 "$2" --restore "$1"
}

check_native() {
    local top=quisel-$version-linux-$(uname -m) debian=$work/debian-build
    local same=(libquisel.so.$version "$top.tar.gz" package/stage/$top/{lib/libquisel.so.$version,lib/.debug/libquisel.so.$version.debug,bin/quisel-run})
    mkdir -p "$work/archive" && check "unpack the tarball" tar -xzf "$build/$top.tar.gz" -C "$work/archive" &&
        native_tree "$work/archive" "$top" "$(cached "$build" CMAKE_INSTALL_LIBDIR)"
    check "cmake --install" cmake --install "$build" --prefix "$work/first/installed" &&
        mv "$work/first" "$work/moved" && native_tree "$work/moved" installed "$(cached "$build" CMAKE_INSTALL_LIBDIR)"
    check "example after a backup cut short" cut_short "$work/cut-short-game" "$work/installed-pc"
    headers "$work/moved/installed/include" ""
    # As a Debian package is made: configured for /usr, installed under a DESTDIR.
    check "Debian layout: configured for /usr" cmake -S "$root" -B "$debian" -DCMAKE_INSTALL_PREFIX=/usr -DQUISEL_TESTS=OFF &&
        check "Debian layout: the library folder is lib/$(gcc -print-multiarch)" \
            test "$(cached "$debian" CMAKE_INSTALL_LIBDIR)" == "lib/$(gcc -print-multiarch)" &&
        check "Debian layout: built" cmake --build "$debian" -j2 --target quisel quisel-run &&
        check "Debian layout: installed under DESTDIR" env DESTDIR="$work/destdir" cmake --install "$debian" &&
        native_tree "$work/destdir" usr "$(cached "$debian" CMAKE_INSTALL_LIBDIR)"
    again
}

# What a program imports from quisel.dll: exactly the names it calls, undecorated, each with
# the hint of the import library it was linked with.
imports() { # exe import-library names...
    local name
    diff <(for name in "${@:3}"; do echo "$name (${hint[$2:$name]})"; done | sort) <(llvm-readobj --coff-imports "$1" |
        awk '/Name:/ { mine = ($2 == "quisel.dll") } mine && /Symbol:/ { print $2, $3 }' | sort)
}

# The image holds no DWARF and no symbol table; the PDB beside it is the one its CodeView
# record names, by file name, GUID and age, and its publics name FUNCTIONS.
symbols() { # image functions...
    local pdb=${1%.*}.pdb record guid age f
    record=$(llvm-readobj --file-headers --sections --coff-debug-directory "$1") || return
    grep -q 'PointerToSymbolTable: 0x0$' <<<"$record" && not grep -q 'Name: \.debug' <<<"$record" &&
        grep -qx " *PDBFileName: ${pdb##*/}" <<<"$record" || { echo "$record"; return 1; }
    # The record lists the GUID's bytes; the PDB writes it as text, its first three fields
    # little-endian.
    read -r -a b <<<"$(sed -n 's/ *PDBGUID: (\(.*\))/\1/p' <<<"$record")"
    guid="{${b[3]}${b[2]}${b[1]}${b[0]}-${b[5]}${b[4]}-${b[7]}${b[6]}-${b[8]}${b[9]}-$(IFS= && echo "${b[*]:10}")}"
    age=$(sed -n 's/ *PDBAge: //p' <<<"$record")
    llvm-pdbutil dump -summary "$pdb" | grep -xF -e "  GUID: $guid" -e "  Age: $age" | wc -l | grep -qx 2 ||
        { echo "the image names GUID $guid, age $age"; llvm-pdbutil dump -summary "$pdb"; return 1; }
    # 32-bit symbols carry a leading underscore.
    llvm-pdbutil dump -publics "$pdb" | sed -n 's/.*S_PUB32 .*`\(.*\)`$/\1/p' |
        { [[ $machine == i386 ]] && sed 's/^_//' || cat; } | llvm-cxxfilt >"$work/publics"
    for f in "${@:2}"; do
        grep -qE "^$f(\(|$)" "$work/publics" || { echo "$f is not among the publics"; return 1; }
    done
}

# find_package from a project of the wrong system or pointer size fails, naming both.
refused() { # tree arch project-kind [cmake options...]
    local out
    out=$(cmake -S "$1/examples" -B "$work/refused" -DCMAKE_PREFIX_PATH="$1" "${@:4}" 2>&1) && return 1
    rm -rf "$work/refused"
    grep -qF "($2: a ${bits}-bit Windows library; this project builds for $3)" <<<"$out" || { echo "$out"; return 1; }
}

check_windows() { # arch
    local arch=$1 top=quisel-$version-$1 triplet=i686 machine=i386 imp=__imp__ exit=ExitProcess@4 bits=32
    local safeseh=(/safeseh) other=x86_64 other_bits=64
    [[ $arch == win64 ]] && triplet=x86_64 machine=i386:x86-64 imp=__imp_ exit=ExitProcess safeseh=() bits=64 \
        other=i686 other_bits=32
    local tree=$work/zip/$top mingw=$triplet-w64-mingw32 msvc=$triplet-pc-windows-msvc kind
    local same=(quisel.dll quisel-run.exe quisel.pdb quisel-run.pdb lib/libquisel.dll.a lib/quisel.lib
        "package/stage/$top/lib/quisel.def" "$top.zip")
    mkdir -p "$work/zip" && check "unpack the zip" cmake -E chdir "$work/zip" cmake -E tar xf "$build/$top.zip" ||
        return
    check "$arch: layout" layout "$work/zip" "$top" README.md bin/quisel{.dll,.pdb,-run.exe,-run.pdb} \
        examples/{launcher.c,CMakeLists.txt} include/quisel.h lib/libquisel.dll.a lib/quisel.def lib/quisel.lib \
        lib/cmake/quisel/quisel{Config,ConfigVersion,VersionRange}.cmake
    headers "$tree/include" "$imp"
    check "$arch: quisel.dll's symbols in bin/quisel.pdb" symbols "$tree/bin/quisel.dll" "${library_functions[@]}"
    check "$arch: quisel-run.exe's symbols in bin/quisel-run.pdb" symbols "$tree/bin/quisel-run.exe" wmain
    # MinGW: -lquisel finds lib/libquisel.dll.a.
    check "$arch: example built by MinGW" "$mingw-gcc-posix" "${strict[@]}" -static-libgcc -I"$tree/include" \
        "$tree/examples/launcher.c" -L"$tree/lib" -lquisel -o "$tree/bin/launcher.exe" &&
        check "$arch: the example's imports, from libquisel.dll.a" \
            imports "$tree/bin/launcher.exe" libquisel.dll.a VersionBackup VersionMove
    # MSVC toolchain, with no SDK and no C runtime: an entry function and ExitProcess from
    # an import library made here. A 32-bit link is /safeseh, as MSVC's is by default.
    check "$arch: kernel32 import library" llvm-dlltool -m "$machine" -k -l "$work/kernel32.lib" \
        -d <(printf 'LIBRARY kernel32.dll\nEXPORTS\n    %s\n' "$exit") &&
        check "$arch: consumer compiled for MSVC" clang --target="$msvc" -ffreestanding -fno-builtin \
            "${strict[@]}" -I"$tree/include" -c "$consumer/consumer.c" -o "$work/consumer.obj" &&
        check "$arch: consumer linked by lld-link against lib/quisel.lib ${safeseh[*]}" lld-link /nologo \
            /entry:Entry /subsystem:console /nodefaultlib "${safeseh[@]}" "$work/consumer.obj" \
            "$tree/lib/quisel.lib" "$work/kernel32.lib" /out:"$tree/bin/consumer.exe" &&
        check "$arch: the consumer's imports, from quisel.lib" \
            imports "$tree/bin/consumer.exe" quisel.lib ClearDir VersionBackup VersionMove ClearDirW VersionMoveW
    # The same two as CMake projects with find_package in the unpacked zip: the example by
    # MinGW, the consumer by clang-cl and lld-link; each copied beside the DLL to be run.
    check "$arch: example configured by MinGW with find_package" cmake -S "$tree/examples" -B "$work/mingw-cmake" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$triplet.cmake" -DCMAKE_PREFIX_PATH="$tree" \
        "-DCMAKE_C_FLAGS=${strict[*]}" -DCMAKE_EXE_LINKER_FLAGS=-static-libgcc &&
        check "$arch: example built by MinGW with find_package" cmake --build "$work/mingw-cmake" &&
        cp "$work/mingw-cmake/launcher.exe" "$tree/bin/launcher-cmake.exe" &&
        check "$arch: its imports, from libquisel.dll.a" \
            imports "$tree/bin/launcher-cmake.exe" libquisel.dll.a VersionBackup VersionMove
    [[ -f $work/kernel32.lib ]] &&
        check "$arch: consumer configured by clang-cl with find_package" cmake -S "$consumer" -B "$work/msvc-cmake" \
            -DCMAKE_TOOLCHAIN_FILE="$consumer/msvc-toolchain.cmake" -DQUISEL_MSVC_ARCH="$arch" \
            -DQUISEL_KERNEL32_LIB="$work/kernel32.lib" -DCMAKE_PREFIX_PATH="$tree" &&
        check "$arch: consumer built by clang-cl and lld-link with find_package" cmake --build "$work/msvc-cmake" &&
        cp "$work/msvc-cmake/consumer.exe" "$tree/bin/consumer-cmake.exe" &&
        check "$arch: its imports, from quisel.lib" \
            imports "$tree/bin/consumer-cmake.exe" quisel.lib ClearDir VersionBackup VersionMove ClearDirW \
                VersionMoveW
    # shellcheck disable=SC2086 # the options are words, none where a native project is meant
    for kind in "$other_bits-bit Windows:-DCMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-$other.cmake" "64-bit Linux:"; do
        check "$arch: find_package from a project for ${kind%%:*} refused" refused "$tree" "$arch" "${kind%%:*}" ${kind#*:}
    done
    again -DCMAKE_TOOLCHAIN_FILE=@SOURCES@/cmake/mingw-$triplet.cmake
}

check_wine() { # arch
    local arch=$1 tree=$work/zip/quisel-$version-$1 game=$work/wine-game program
    "$root/scripts/wine-run" --probe "$arch" ||
        { [[ $? -eq 77 ]] && exit 77; check "wine-run --probe $arch" false; return; }
    check "$arch: programs made by check.sh windows $arch" \
        test -f "$tree/bin/consumer.exe" -a -f "$tree/bin/consumer-cmake.exe" -a -f "$tree/bin/launcher.exe" \
        -a -f "$tree/bin/launcher-cmake.exe" || return
    export WINEPREFIX=$root/build/$arch/wineprefix
    run=("$root/scripts/wine-run" --arch "$arch")
    # The consumers back up, move back and clear gameold; their exit code names failed calls.
    for program in consumer consumer-cmake; do
        new_game "$game" && check "$arch: $program.exe" moves "$game" . 0 "$tree/bin/$program.exe" &&
            check "$arch: $program.exe's ClearDir removed gameold" test ! -e "$game/gameold"
    done
    for program in launcher launcher-cmake; do
        launch "$arch: example $program.exe" "$game" "$tree/bin/$program.exe" "Z:${game//\//\\}"
    done
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
