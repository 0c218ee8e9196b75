#!/usr/bin/env bash
# The 32-bit probe of wine-run, given each kind of program to run and a present or a
# missing 32-bit Wine: a kernel's refusal of an ELF program and a 32-bit Wine that could
# not be installed are the answers that mean skip; anything else that does not run is a
# failure, never a skip.
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
[[ $failures -eq 0 ]]
