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
)

installed() {
    [[ $(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null) == ii* ]]
}

missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
    echo "deps.sh: missing packages: ${missing[*]}; run this script as root to install them" >&2
    exit 1
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
