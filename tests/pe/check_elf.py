#!/usr/bin/python3
"""Checks the native binaries as the dynamic loader sees them.

  check_elf.py libquisel.so quisel-run

The library exports exactly its three functions (nothing of its layer or of the C++
runtime), and the host does not link the library, which it loads at run time.
Prints every problem; exits 1 if any.
"""
import subprocess
import sys

EXPORTS = {"VersionBackup", "ClearDir", "VersionMove", "ClearDirW", "VersionMoveW"}


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    library, host = argv[1], argv[2]
    problems = []

    # Lines of "VALUE TYPE NAME"; the defined dynamic symbols are what dlsym can find.
    defined = {}
    for line in run("nm", "-D", "--defined-only", library).splitlines():
        fields = line.split()
        if len(fields) >= 3:
            defined[fields[2].split("@")[0]] = fields[1]
    if set(defined) != EXPORTS:
        problems.append("%s exports %s, expected exactly %s" % (library, sorted(defined), sorted(EXPORTS)))
    for name in EXPORTS & set(defined):
        if defined[name] != "T":
            problems.append("%s: %s is of type %s, not a function in the text section" % (library, name, defined[name]))

    needed = [line for line in run("readelf", "-d", "-W", host).splitlines() if "(NEEDED)" in line]
    if any("quisel" in line for line in needed):
        problems.append("%s links the library instead of loading it at run time" % host)

    for problem in problems:
        print(problem)
    if not problems:
        print("%s, %s: ok" % (library, host))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
