#!/usr/bin/env bash
# The 32-bit probe of wine-run, given each kind of program to run and a present or a
# missing 32-bit Wine: a kernel's refusal of an ELF program and a 32-bit Wine that could
# not be installed are the answers that mean skip; anything else that does not run is a
# failure, never a skip. Then set-up's install of the 32-bit Wine where apt cannot make it
# alone, whose reason the probe reports.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# An ELF header for AArch64 (machine 0xb7): no x86-64 kernel executes it.
printf '\177ELF\2\1\1\0\0\0\0\0\0\0\0\0\2\0\267\0\1\0\0\0' >"$work/aarch64" &&
    head -c 40 /dev/zero >>"$work/aarch64" && chmod +x "$work/aarch64"
# Bytes that are no program at all; the shell calls them an "Exec format error" too.
printf '\001\002\003 not a program' >"$work/junk" && chmod +x "$work/junk"

# The probe's own program: where the i386 loader is there to ask, it must agree with the
# kernel's answer to that; elsewhere either answer, but only with the kernel's reason.
kernel_refuses="skipped: this kernel does not run 32-bit programs"
own_status='0|77' own_says=
if [[ -e /lib/ld-linux.so.2 ]]; then
    if /lib/ld-linux.so.2 --version >/dev/null 2>&1 </dev/null; then own_status=0; else own_status=77 own_says=$kernel_refuses; fi
fi
wine32_missing="skipped: the 32-bit Wine (wine32:i386) could not be installed"

failures=0
# program ("" for the probe's own) | 32-bit Wine loader | expected status(es) | what its
# message must say
while IFS='|' read -r program wine32 expected says; do
    expected=${expected//\//|}
    out=$(QUISEL_I386_LOADER=$program QUISEL_WINE32_LOADER=$wine32 "$root/scripts/wine-run" --probe win32 2>&1)
    status=$?
    if [[ "|$expected|" == *"|$status|"* && $out == *"$says"* && ($status -ne 77 || $out == *skipped:*) ]]; then
        echo "ok: ${program:-own program}, Wine $wine32: $status"
    else
        echo "FAIL: ${program:-own program}, Wine $wine32: status $status, expected $expected with \"$says\"; said: $out"
        failures=$((failures + 1))
    fi
done <<CASES
|/bin/true|${own_status//|//}|$own_says
$work/aarch64|/bin/true|77|$kernel_refuses
$work/missing|/bin/true|1|is missing
$work/junk|/bin/true|1|does not run
/bin/true|$work/missing|77|$wine32_missing
CASES

# deps.sh where apt cannot install wine32:i386 alone (its i386 security index missing), on
# a stand-in apt: libfoo1 (Multi-Arch: same) is installed for amd64 at FOO, a version the
# i386 lists lack, which offer 1.0.5; libbar1's amd64 candidate lacks an i386 build, its
# installed 2.0 has one; libfoo-dev needs libfoo1 at its own version (DEV: whether amd64
# offers it at 1.0.5). Each row runs deps.sh in a copy of the scripts and checks the record
# it leaves; an install is run twice, and the second run must not call apt.
mkdir -p "$work/bin" "$work/tree/scripts"
cp "$root/scripts/deps.sh" "$root/scripts/wine-run" "$work/tree/scripts/"
cat >"$work/bin/apt-get" <<'FAKE'
#!/usr/bin/env bash
echo "$*" >>"$FAKE/calls"
prefs=$(sed -n 's/.*Dir::Etc::Preferences=\([^ ]*\).*/\1/p' <<<"$*")
[[ $* == *update* ]] && exit 0
pinned() { grep -A1 -x "Package: $1" "$prefs" 2>/dev/null | grep -qx "Pin: version $2"; }
if ! pinned libfoo1 1.0.5 || ! pinned libbar1 2.0; then
    echo "E: Unable to correct problems, you have held broken packages."; exit 100
fi
if [[ " $* " == *" -s "* ]]; then
    if pinned libfoo-dev 1.0.5; then echo "Inst libfoo-dev [$FOO] (1.0.5 Debian:12 [amd64])"; else echo "Remv libfoo-dev [$FOO]"; fi
    printf '%s\n' "Inst libfoo1 [$FOO] (1.0.5 Debian:12 [amd64])" "Inst libfoo1:i386 (1.0.5 Debian:12 [i386])" \
        "Inst libbar1:i386 (2.0 Debian:12 [i386])" "Inst wine32:i386 (8.0 Debian:12 [i386])"
elif [[ $FOO == 1.1+sec && $* != *--allow-downgrades* ]]; then
    echo "E: Packages were downgraded and -y was used without --allow-downgrades."; exit 100
else
    touch "$FAKE/installed"
fi
FAKE
cat >"$work/bin/apt-cache" <<'FAKE'
#!/usr/bin/env bash
block() { # header installed candidate versions...
    printf '%s\n  Installed: %s\n  Candidate: %s\n  Version table:\n' "$1" "$2" "$3"
    local v; for v in "${@:4}"; do
        if [[ $v == "$2" ]]; then echo " *** $v 500"; else echo "     $v 500"; fi
        echo "        500 http://deb.example bookworm/main Packages"
    done
}
[[ $1 == depends ]] && exec printf '%s\n' wine32:i386 '  Depends: libfoo1:i386' libfoo1:i386 '  Depends: libbar1:i386' libbar1:i386 '<virtual:i386>'
dev=(); [[ $DEV == 1 ]] && dev=(1.0.5)
for name in "${@:2}"; do case $name in
    libfoo1:amd64) block libfoo1: "$FOO" 1.1+sec 1.1+sec 1.0.5 1.0 ;;
    libfoo1:i386) block libfoo1:i386: '(none)' 1.0.5 1.0.5 ;;
    libbar1:amd64) block libbar1: 2.0 2.0+sec 2.0+sec 2.0 ;;
    libbar1:i386) block libbar1:i386: '(none)' 2.0 2.0 ;;
    libfoo-dev:amd64) block libfoo-dev: "$FOO" 1.1+sec 1.1+sec "$FOO" "${dev[@]}" ;;
esac; done
FAKE
cat >"$work/bin/dpkg-query" <<'FAKE'
#!/usr/bin/env bash
format=${2#-f=}
case $format in
    '${db:Status-Abbrev}') [[ $3 != wine32:i386 || -e $FAKE/installed ]] && echo 'ii ' ;;
    *Multi-Arch*) printf '%s\n' 'libfoo1 amd64 same ii ' 'libfoo-dev amd64 same ii ' 'libbar1 amd64 same ii ' 'wine64 amd64 foreign ii ' ;;
    *source*) for name in "${@:3}"; do n=${name%%:*}; [[ $format == *Package}\ * ]] && printf '%s ' "$n"; [[ $n == libbar1 ]] && echo bar || echo foo; done ;;
esac
FAKE
printf '#!/bin/sh\ncase $1 in --print-architecture) echo amd64;; --print-foreign-architectures) echo i386;; --compare-versions) exec /usr/bin/dpkg "$@";; esac\n' >"$work/bin/dpkg"
printf '#!/bin/sh\necho 0\n' >"$work/bin/id"
printf '#!/bin/sh\nprintf "%%s\\n" ja_JP.utf8 zh_CN.utf8 zh_TW.utf8\n' >"$work/bin/locale"
chmod +x "$work/bin"/*

# QUISEL_ALLOW_DOWNGRADE | FOO | DEV | the record left in build/ | what it must say
while IFS='|' read -r allow foo dev record says; do
    export FAKE=$work/state FOO=$foo DEV=$dev
    rm -rf "$FAKE" "$work/tree/build" && mkdir -p "$FAKE"
    deps() { PATH=$work/bin:$PATH QUISEL_ALLOW_DOWNGRADE=$allow "$work/tree/scripts/deps.sh" 2>&1; }
    out=$(deps)
    status=$? kept=$(cat "$work/tree/build/$record" 2>/dev/null) calls=$(wc -l <"$FAKE/calls")
    [[ $record == wine32-aligned.txt ]] && out+=$(deps) && kept+=$(cat "$work/tree/build/$record" 2>/dev/null)
    if [[ $record == wine32-unavailable.txt ]]; then
        kept=$(QUISEL_I386_LOADER=/bin/true QUISEL_WINE32_LOADER=$work/missing "$work/tree/scripts/wine-run" --probe win32 2>&1)
    fi
    if [[ $status -eq 0 && $kept == *"$says"* && $(wc -l <"$FAKE/calls") -eq $calls ]]; then
        echo "ok: deps.sh, libfoo1 $foo, QUISEL_ALLOW_DOWNGRADE=$allow, libfoo-dev 1.0.5 offered: $dev"
    else
        echo "FAIL: deps.sh, libfoo1 $foo, QUISEL_ALLOW_DOWNGRADE=$allow, libfoo-dev 1.0.5 offered: $dev:" \
            "status $status, expected \"$says\" in $record; kept: $kept; said: $out"
        failures=$((failures + 1))
    fi
done <<CASES
|1.1+sec|1|wine32-unavailable.txt|would move 2 amd64 packages (2 down: libfoo-dev libfoo1), which set-up does only with QUISEL_ALLOW_DOWNGRADE=1
1|1.1+sec|1|wine32-aligned.txt|wine32:i386 installed with 3 amd64 packages aligned to their i386 versions (2 downgraded): libbar1 libfoo-dev libfoo1
1|1.1+sec|0|wine32-unavailable.txt|aligned to their i386 versions it would remove libfoo-dev
|1.0|1|wine32-aligned.txt|with 3 amd64 packages aligned to their i386 versions (0 downgraded)
CASES
[[ $failures -eq 0 ]]
