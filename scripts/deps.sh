#!/usr/bin/env bash
# Installs what building and testing quisel needs on Debian 12, as root, and only what is
# missing: quiet and quick when everything is there already.
#
# The package registry can be mid-sync: an index that fails to download is reported and
# set-up goes on with the lists it has. Everything the native and the 64-bit Windows
# builds need must install. The 32-bit Wine (wine32:i386) is installed on its own after
# them: where it cannot be (its i386 index missing, its libraries behind their amd64
# twins), set-up goes on, and the reason is kept in build/wine32-unavailable.txt, where
# wine-run --probe reports it when it skips the 32-bit build's run-time cases.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly wine32_reason_file=$root/build/wine32-unavailable.txt

packages=(
    cmake g++ make googletest
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64
    python3 python3-pefile
    clang libclang-rt-14-dev
    strace rsync time
    llvm lld pkg-config gdb
    locales
    # mcs and mono: the C# consumer of the native library (tests/csharp)
    mono-mcs mono-runtime
)
# Only the 32-bit build's run-time cases need it.
readonly wine32=wine32:i386
# The locales whose code pages (932, 936, 950) Wine runs the Windows builds' tests in.
locales=(ja_JP.UTF-8 zh_CN.UTF-8 zh_TW.UTF-8)

installed() {
    [[ $(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null) == ii* ]]
}

# As `locale -a` spells them: ja_JP.utf8.
has_locale() {
    locale -a 2>/dev/null | grep -qx "${1%.UTF-8}.utf8"
}

missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
need_wine32=0
installed "$wine32" || need_wine32=1
missing_locales=()
for name in "${locales[@]}"; do
    has_locale "$name" || missing_locales+=("$name")
done
if [[ $need_wine32 -eq 0 ]]; then
    rm -f "$wine32_reason_file"
fi
[[ ${#missing[@]} -eq 0 && $need_wine32 -eq 0 && ${#missing_locales[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
    [[ $need_wine32 -eq 1 ]] && missing+=("$wine32")
    echo "deps.sh: missing packages: ${missing[*]}; missing locales: ${missing_locales[*]};" \
        "run this script as root to install them" >&2
    exit 1
fi

# Generates the locales that are missing (after the packages: locales brings locale-gen).
make_locales() {
    [[ ${#missing_locales[@]} -eq 0 ]] && return 0
    echo "deps.sh: generating the locales ${missing_locales[*]}"
    local name
    for name in "${missing_locales[@]}"; do
        grep -qx "$name UTF-8" /etc/locale.gen 2>/dev/null ||
            sed -i "s/^# *\($name UTF-8\)$/\1/" /etc/locale.gen 2>/dev/null
        grep -qx "$name UTF-8" /etc/locale.gen 2>/dev/null || echo "$name UTF-8" >>/etc/locale.gen
    done
    locale-gen >/dev/null
}

export DEBIAN_FRONTEND=noninteractive
if [[ ${#missing[@]} -gt 0 || $need_wine32 -eq 1 ]]; then
    all=("${missing[@]}")
    [[ $need_wine32 -eq 1 ]] && all+=("$wine32")
    echo "deps.sh: installing ${all[*]}"
    # wine32 is an i386 package. It is installed even where the kernel refuses 32-bit
    # programs, so that a machine's set-up does not depend on its kernel.
    if [[ $need_wine32 -eq 1 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    # apt-get update fails when any one index fails; the others are still fetched, and the
    # install below says whether what it needs was among them.
    update_log=$(mktemp)
    failed=
    if ! apt-get update -qq >"$update_log" 2>&1; then
        failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' "$update_log" | sed 's#.*/dists/##' | paste -sd ' ')
        echo "deps.sh: apt-get update could not fetch ${failed:-every index (see below)};" \
            "going on with the package lists there are"
        [[ -n $failed ]] || cat "$update_log"
    fi
    rm -f "$update_log"

    if [[ ${#missing[@]} -gt 0 ]]; then
        install_log=$(mktemp)
        if ! apt-get install -y -qq "${missing[@]}" >"$install_log" 2>&1; then
            cat "$install_log" >&2
            rm -f "$install_log"
            echo "deps.sh: cannot install ${missing[*]}: the native and 64-bit builds need them" >&2
            exit 1
        fi
        rm -f "$install_log"
    fi

    if [[ $need_wine32 -eq 1 ]]; then
        install_log=$(mktemp)
        if apt-get install -y -qq "$wine32" >"$install_log" 2>&1; then
            rm -f "$wine32_reason_file"
        else
            # apt's own words, the last error it gave, in one line.
            reason=$(grep -E '^E: ' "$install_log" | tail -1 | sed 's/^E: //')
            [[ -n $reason ]] || reason=$(tail -1 "$install_log")
            [[ -n $reason ]] || reason="apt-get install $wine32 failed"
            mkdir -p "$(dirname "$wine32_reason_file")"
            [[ -n $failed ]] && reason+=" (apt-get update could not fetch $failed)"
            printf 'apt-get install %s: %s\n' "$wine32" "$reason" >"$wine32_reason_file"
            echo "deps.sh: $wine32 could not be installed ($reason); going on without it:" \
                "the 32-bit build's run-time cases will be skipped"
        fi
        rm -f "$install_log"
    fi
fi
make_locales
