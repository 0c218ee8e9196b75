#!/usr/bin/env bash
# The 32-bit probe of wine-run, given each kind of file as the 32-bit loader: a kernel's
# refusal of an ELF program is the one answer that means skip; anything else that does not
# run is a failure, never a skip.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# An ELF header for AArch64 (machine 0xb7): no x86-64 kernel executes it.
printf '\177ELF\2\1\1\0\0\0\0\0\0\0\0\0\2\0\267\0\1\0\0\0' >"$work/aarch64" &&
    head -c 40 /dev/zero >>"$work/aarch64" && chmod +x "$work/aarch64"
# Bytes that are no program at all; the shell calls them an "Exec format error" too.
printf '\001\002\003 not a program' >"$work/junk" && chmod +x "$work/junk"

# The real loader runs where the kernel runs 32-bit programs, and is refused where not.
real=/lib/ld-linux.so.2 real_status=77 real_says=skipped
"$real" --version >/dev/null 2>&1 </dev/null && real_status=0 real_says=

failures=0
# loader | expected status | what its message must say
while IFS='|' read -r loader expected says; do
    out=$(QUISEL_I386_LOADER=$loader "$root/scripts/wine-run" --probe win32 2>&1)
    status=$?
    if [[ $status -eq $expected && $out == *"$says"* ]]; then
        echo "ok: $loader: $status"
    else
        echo "FAIL: $loader: status $status, expected $expected with \"$says\"; said: $out"
        failures=$((failures + 1))
    fi
done <<CASES
$real|$real_status|$real_says
$work/aarch64|77|skipped: this kernel does not run 32-bit programs
$work/missing|1|is missing
$work/junk|1|does not run
CASES
[[ $failures -eq 0 ]]
