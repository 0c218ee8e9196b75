#!/usr/bin/env bash
# Installs what building and testing quisel needs on Debian 12, as root, and only what is
# missing: quiet and quick when everything is there already.
set -euo pipefail

packages=(
    cmake g++ make googletest
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64 wine32:i386
    python3 python3-pefile
    clang libclang-rt-14-dev
    strace rsync time
    llvm lld pkg-config gdb
    locales
)
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
missing_locales=()
for name in "${locales[@]}"; do
    has_locale "$name" || missing_locales+=("$name")
done
[[ ${#missing[@]} -eq 0 && ${#missing_locales[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
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
if [[ ${#missing[@]} -eq 0 ]]; then
    make_locales
    exit
fi

echo "deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# wine32 is an i386 package. It is installed even where the kernel refuses 32-bit
# programs: the 32-bit loader it brings is what tells that machine apart (wine-run --probe).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
make_locales
