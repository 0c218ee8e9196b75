#!/usr/bin/env bash
# Installs what building and testing quisel needs on Debian 12, as root, and only what is
# missing: quiet and quick when everything is there already.
#
# The package registry can be mid-sync: an index that fails to download is reported and
# set-up goes on with the lists it has. Everything the native and the 64-bit Windows
# builds need must install. The 32-bit Wine (wine32:i386) is installed on its own after
# them. Where apt cannot install it alone because the i386 security index is missing (the
# Multi-Arch: same libraries it needs must match their amd64 twins, which are at security
# versions that the i386 lists lack), set-up pins those twins to the versions the i386
# lists offer and installs it so, provided nothing is removed, and a downgrade only with
# QUISEL_ALLOW_DOWNGRADE=1; what it moved is kept in build/wine32-aligned.txt for the demo
# and the tests to name. Where it still cannot, set-up goes on, and the reason is kept in
# build/wine32-unavailable.txt, where wine-run --probe reports it when it skips the 32-bit
# build's run-time cases.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly wine32_reason_file=$root/build/wine32-unavailable.txt
readonly wine32_aligned_file=$root/build/wine32-aligned.txt

packages=(
    cmake g++ make googletest
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine wine64
    python3 python3-pefile
    clang clang-tools-14 libclang-rt-14-dev
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

# A registry that answers slowly is retried a bounded number of times, and a dpkg lock
# held by another apt run is waited for a bounded time.
apt_opts=(-o Acquire::Retries=3 -o DPkg::Lock::Timeout=300)
native_arch=$(dpkg --print-architecture)

# The versions apt offers for each of name:arch..., installed one included:
# "name:arch version" lines, then "name:arch candidate= version" and "installed=".
offered() { # name:arch...
    apt-cache policy "$@" 2>/dev/null | awk -v native="$native_arch" '
        /^[^ ]/ { name = $0; sub(/:$/, "", name); if (name !~ /:/) name = name ":" native; next }
        /^  Installed: / { print name, "installed=", $2; next }
        /^  Candidate: / { print name, "candidate=", $2; next }
        /^ (\*\*\*|   ) [^ ]/ { print name, ($1 == "***" ? $2 : $1) }'
}

# The pins that let wine32:i386 install beside amd64 libraries at versions the i386 lists
# lack: each Multi-Arch: same package among its dependencies (recommends left out) whose
# amd64 twin is installed, where that twin's installed or candidate version has no i386
# build, pinned to the version the i386 lists offer, which amd64 must offer too. apt would
# otherwise move the twin to its candidate and give up. "name version" lines.
alignment_pins() {
    local closure
    closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
        --no-breaks --no-replaces --no-enhances "$wine32" 2>/dev/null |
        sed -n 's/^\([^ <][^ ]*\):i386$/\1/p' | LC_ALL=C sort -u)
    [[ -n $closure ]] || return 0
    local twins
    twins=$(dpkg-query -W -f='${Package} ${Architecture} ${Multi-Arch} ${db:Status-Abbrev}\n' 2>/dev/null |
        awk -v native="$native_arch" '$2 == native && $3 == "same" && $4 ~ /^ii/ { print $1 }' |
        LC_ALL=C sort -u | LC_ALL=C comm -12 - <(echo "$closure"))
    [[ -n $twins ]] || return 0
    local names=() name
    for name in $twins; do names+=("$name:$native_arch" "$name:i386"); done
    offered "${names[@]}" | awk -v native="$native_arch" '
        { split($1, p, ":") }
        $2 == "installed=" { inst[p[1]] = (p[2] == native ? $3 : inst[p[1]]); next }
        $2 == "candidate=" { if (p[2] == native) cand[p[1]] = $3; else icand[p[1]] = $3; next }
        { has[p[1], p[2], $2] = 1 }
        END {
            for (n in inst) {
                i = icand[n]
                if (i == "" || i == "(none)") continue
                if (has[n, "i386", inst[n]] && has[n, "i386", cand[n]]) continue
                if (has[n, native, i]) print n, i
            }
        }' | LC_ALL=C sort
}

# Apt's preferences with the pins added (the machine's own file, if any, kept ahead).
write_preferences() { # pins-file preferences-file
    {
        [[ -f /etc/apt/preferences ]] && { cat /etc/apt/preferences; echo; }
        awk '{ printf "Package: %s\nPin: version %s\nPin-Priority: 1001\n\n", $1, $2 }' "$1"
    } >"$2"
}

# The installed packages that a plan removes pinned too, each to the version its pinned
# sibling of the same source takes, where apt offers that version of it. Prints the new
# pins; none when there is no such version.
pins_for_removals() { # pins-file package...
    local pins=$1 package source version name
    shift
    declare -A source_version=()
    while read -r name source; do
        source_version[$source]=$(awk -v n="$name" '$1 == n { print $2 }' "$pins")
    done < <(dpkg-query -W -f='${Package} ${source:Package}\n' $(awk -v a=":$native_arch" '{ print $1 a }' "$pins") 2>/dev/null)
    for package in "$@"; do
        package=${package%%:*}
        source=$(dpkg-query -W -f='${source:Package}' "$package:$native_arch" 2>/dev/null) || continue
        version=${source_version[$source]-}
        [[ -n $version ]] || continue
        offered "$package:$native_arch" | awk -v v="$version" '$2 == v { found = 1 } END { exit !found }' &&
            echo "$package $version"
    done
}

# Tries wine32:i386 with its libraries' amd64 twins pinned to the i386 versions: works out
# the pins, simulates, pins what the plan would remove and simulates again (a bounded
# number of rounds), refuses a plan that still removes a package, and one that downgrades
# an amd64 package unless QUISEL_ALLOW_DOWNGRADE=1; then installs it. Sets aligned_names
# and aligned_count (the pinned packages the plan took), aligned_moves (the amd64 packages
# moved, "name old -> new" lines) and aligned_down; on failure align_reason says why.
install_wine32_aligned() {
    local work pins prefs plan removed round
    work=$(mktemp -d)
    pins=$work/pins prefs=$work/preferences plan=$work/plan
    align_reason=
    alignment_pins >"$pins"
    if [[ ! -s $pins ]]; then
        align_reason="no amd64 twin of its libraries lacks an i386 build, so pinning them cannot help"
        rm -rf "$work"
        return 1
    fi
    for round in 1 2 3 4; do
        write_preferences "$pins" "$prefs"
        if ! apt-get -s "${apt_opts[@]}" -o Dir::Etc::Preferences="$prefs" install \
            --no-install-recommends "$wine32" >"$plan" 2>&1; then
            align_reason="with $(wc -l <"$pins") amd64 libraries pinned to their i386 versions apt still says:"
            align_reason+=" $(grep -E '^E: ' "$plan" | tail -1 | sed 's/^E: //')"
            rm -rf "$work"
            return 1
        fi
        removed=$(awk '$1 == "Remv" { print $2 }' "$plan")
        [[ -n $removed ]] || break
        pins_for_removals "$pins" $removed >"$work/more"
        if [[ ! -s $work/more || $round -eq 4 ]]; then
            align_reason="aligned to their i386 versions it would remove $(echo $removed)"
            rm -rf "$work"
            return 1
        fi
        cat "$work/more" >>"$pins"
    done
    # The pinned packages the plan installs for i386 or moves: those it aligned.
    aligned_names=$(awk 'NR == FNR { pinned[$1] = 1; next }
        $1 == "Inst" { n = $2; sub(/:i386$/, "", n); if (n in pinned && !(n in seen)) { seen[n] = 1; print n } }' \
        "$pins" "$plan" | LC_ALL=C sort | paste -sd ' ')
    aligned_count=$(wc -w <<<"$aligned_names")
    # "Inst name [old] (new ...)": an installed package of this architecture moved.
    aligned_moves=$(awk '$1 == "Inst" && $2 !~ /:/ && $3 ~ /^\[/ {
        old = substr($3, 2, length($3) - 2); new = substr($4, 2); print $2, old, "->", new }' "$plan")
    local downgraded=() upgraded=() name old arrow new
    while read -r name old arrow new; do
        [[ -n $name ]] || continue
        if dpkg --compare-versions "$new" lt "$old"; then downgraded+=("$name"); else upgraded+=("$name"); fi
    done <<<"$aligned_moves"
    aligned_down=${#downgraded[@]}
    if [[ $aligned_down -gt 0 && ${QUISEL_ALLOW_DOWNGRADE-} != 1 ]]; then
        align_reason="aligned to their i386 versions it would move $((aligned_down + ${#upgraded[@]}))"
        align_reason+=" amd64 packages ($aligned_down down: ${downgraded[*]}"
        [[ ${#upgraded[@]} -gt 0 ]] && align_reason+="; up: ${upgraded[*]}"
        align_reason+="), which set-up does only with QUISEL_ALLOW_DOWNGRADE=1"
        rm -rf "$work"
        return 1
    fi
    local install_log=$work/install
    local allow=()
    [[ $aligned_down -gt 0 ]] && allow=(--allow-downgrades)
    if ! apt-get install -y -qq "${apt_opts[@]}" -o Dir::Etc::Preferences="$prefs" "${allow[@]}" \
        --no-install-recommends "$wine32" >"$install_log" 2>&1; then
        align_reason="the aligned install failed: $(grep -E '^E: ' "$install_log" | tail -1 | sed 's/^E: //')"
        rm -rf "$work"
        return 1
    fi
    rm -rf "$work"
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
    if ! apt-get update -qq "${apt_opts[@]}" >"$update_log" 2>&1; then
        failed=$(sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' "$update_log" | sed 's#.*/dists/##' | paste -sd ' ')
        echo "deps.sh: apt-get update could not fetch ${failed:-every index (see below)};" \
            "going on with the package lists there are"
        [[ -n $failed ]] || cat "$update_log"
    fi
    rm -f "$update_log"

    if [[ ${#missing[@]} -gt 0 ]]; then
        install_log=$(mktemp)
        if ! apt-get install -y -qq "${apt_opts[@]}" "${missing[@]}" >"$install_log" 2>&1; then
            cat "$install_log" >&2
            rm -f "$install_log"
            echo "deps.sh: cannot install ${missing[*]}: the native and 64-bit builds need them" >&2
            exit 1
        fi
        rm -f "$install_log"
    fi

    if [[ $need_wine32 -eq 1 ]]; then
        install_log=$(mktemp)
        mkdir -p "$root/build"
        rm -f "$wine32_aligned_file"
        if apt-get install -y -qq "${apt_opts[@]}" "$wine32" >"$install_log" 2>&1; then
            rm -f "$wine32_reason_file"
        else
            # apt's own words, the last error it gave, in one line.
            reason=$(grep -E '^E: ' "$install_log" | tail -1 | sed 's/^E: //')
            [[ -n $reason ]] || reason=$(tail -1 "$install_log")
            [[ -n $reason ]] || reason="apt-get install $wine32 failed"
            [[ -n $failed ]] && reason+=" (apt-get update could not fetch $failed)"
            echo "deps.sh: apt-get install $wine32 failed ($reason); trying it with its libraries'" \
                "amd64 twins at their i386 versions"
            if install_wine32_aligned; then
                rm -f "$wine32_reason_file"
                {
                    echo "$wine32 installed with $aligned_count amd64 packages aligned to their i386" \
                        "versions ($aligned_down downgraded): $aligned_names"
                    awk 'NF' <<<"$aligned_moves"
                } >"$wine32_aligned_file"
                echo "deps.sh: $(head -1 "$wine32_aligned_file")"
            else
                reason+="; $align_reason"
                {
                    printf 'apt-get install %s: %s\n' "$wine32" "$reason"
                    awk 'NF' <<<"${aligned_moves-}"
                } >"$wine32_reason_file"
                echo "deps.sh: $wine32 could not be installed ($reason); going on without it:" \
                    "the 32-bit build's run-time cases will be skipped"
            fi
        fi
        rm -f "$install_log"
    fi
fi
make_locales
