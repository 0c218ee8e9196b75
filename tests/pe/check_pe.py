#!/usr/bin/python3
"""Checks the shipped Windows binaries as a loader and a file browser see them.

  check_pe.py dll  ARCH quisel.dll       the library: machine, exports, imports (KERNEL32.dll,
                                         msvcrt.dll and ntdll.dll, whose calls relative to a
                                         directory handle it makes), version resource
  check_pe.py host ARCH quisel-run.exe   the host: a program that imports only KERNEL32.dll and
                                         msvcrt.dll (no MinGW runtime DLL) and does not link the
                                         library

ARCH is win32 (i386, PE32) or win64 (x86-64, PE32+): the build the file comes from.

Needs python3-pefile (Debian's /usr/bin/python3). Prints every problem; exits 1 if any.
"""
import sys

import pefile

IMAGE_FILE_DLL = 0x2000
# Machine field and optional-header magic of each build's images.
ARCHES = {
    "win32": (0x14C, 0x10B, "i386 PE32"),
    "win64": (0x8664, 0x20B, "x86-64 PE32+"),
}
VFT_DLL = 2
VOS__WINDOWS32 = 4

EXPORTS = {1: "VersionBackup", 2: "ClearDir", 3: "VersionMove", 4: "ClearDirW", 5: "VersionMoveW"}
DLL_IMPORTS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll"}
HOST_IMPORTS = {"kernel32.dll", "msvcrt.dll"}
STRING_BLOCK = "080404b0"
STRINGS = {
    "FileVersion": "2, 0, 4, 0",
    "ProductVersion": "2, 0, 4, 0",
    "FileDescription": "quisel",
    "InternalName": "quisel",
    "ProductName": "  quisel",
    "OriginalFilename": "quisel.dll",
}
# Version 2.0.4.0 in the fixed part: (2 << 16 | 0, 4 << 16 | 0).
FIXED_VERSION = (0x00020000, 0x00040000)
TRANSLATION = "0x0804 0x04b0"  # language 0x0804, code page 1200
RT_VERSION = 16
LANGUAGE = 0x0804  # the resource directory files the version resource under it

problems = []


def check(condition, message):
    if not condition:
        problems.append(message)
    return condition


def text(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else value


def imports(pe):
    if not hasattr(pe, "DIRECTORY_ENTRY_IMPORT"):
        return set()
    return {text(entry.dll).lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}


def check_image(pe, arch, want_dll):
    machine, magic, name = ARCHES[arch]
    check(pe.FILE_HEADER.Machine == machine and pe.OPTIONAL_HEADER.Magic == magic,
          "machine 0x%x, magic 0x%x: not an %s image (0x%x, 0x%x)"
          % (pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Magic, name, machine, magic))
    is_dll = bool(pe.FILE_HEADER.Characteristics & IMAGE_FILE_DLL)
    check(is_dll == want_dll, "DLL flag is %s" % ("set" if is_dll else "not set"))


def check_exports(pe):
    if not check(hasattr(pe, "DIRECTORY_ENTRY_EXPORT"), "no export table"):
        return
    found = {}
    for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols:
        found[symbol.ordinal] = text(symbol.name)
        check(symbol.forwarder is None, "export %s is forwarded" % text(symbol.name))
    check(found == EXPORTS, "exports are %s, expected exactly %s" % (sorted(found.items()), sorted(EXPORTS.items())))


def check_version_resource(pe):
    if not check(hasattr(pe, "VS_FIXEDFILEINFO") and pe.VS_FIXEDFILEINFO, "no version resource"):
        return
    languages = [language.id
                 for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if kind.id == RT_VERSION
                 for name in kind.directory.entries
                 for language in name.directory.entries]
    check(languages == [LANGUAGE], "version resource filed under languages %s, expected only 0x%04x"
          % (["0x%04x" % language for language in languages], LANGUAGE))
    fixed = pe.VS_FIXEDFILEINFO[0]
    check((fixed.FileVersionMS, fixed.FileVersionLS) == FIXED_VERSION,
          "fixed FileVersion is 0x%08x 0x%08x" % (fixed.FileVersionMS, fixed.FileVersionLS))
    check((fixed.ProductVersionMS, fixed.ProductVersionLS) == FIXED_VERSION,
          "fixed ProductVersion is 0x%08x 0x%08x" % (fixed.ProductVersionMS, fixed.ProductVersionLS))
    check(fixed.FileType == VFT_DLL, "file type is %d, not a DLL (2)" % fixed.FileType)
    # Both builds carry the same resource: VOS__WINDOWS32 is what 64-bit DLLs say too.
    check(fixed.FileOS == VOS__WINDOWS32, "file OS is 0x%x, not Windows (4)" % fixed.FileOS)

    tables, translations = [], []
    for group in getattr(pe, "FileInfo", []):
        for entry in group:
            key = text(entry.Key)
            if key == "StringFileInfo":
                tables.extend(entry.StringTable)
            elif key == "VarFileInfo":
                for var in entry.Var:
                    translations.extend(text(v) for k, v in var.entry.items() if text(k) == "Translation")
    blocks = [text(t.LangID).lower() for t in tables]
    if not check(blocks == [STRING_BLOCK], "string table blocks are %s, expected only %s" % (blocks, STRING_BLOCK)):
        return
    strings = {text(k): text(v) for k, v in tables[0].entries.items()}
    for key, value in STRINGS.items():
        check(strings.get(key) == value, "string %s is %r, expected %r" % (key, strings.get(key), value))
    comments = strings.get("Comments", "")
    check(comments.strip() != "" and "\n" not in comments and "\r" not in comments,
          "Comments is %r, expected a one-line description" % comments)
    extra = sorted(set(strings) - set(STRINGS) - {"Comments"})
    check(not extra, "unexpected strings %s" % extra)
    check(translations == [TRANSLATION], "translations are %s, expected [%s]" % (translations, TRANSLATION))


def main(argv):
    if len(argv) != 4 or argv[1] not in ("dll", "host") or argv[2] not in ARCHES:
        print(__doc__, file=sys.stderr)
        return 2
    kind, arch, path = argv[1:]
    pe = pefile.PE(path)
    if kind == "dll":
        check_image(pe, arch, want_dll=True)
        check_exports(pe)
        found = imports(pe)
        check(found == DLL_IMPORTS, "imports %s, expected exactly %s" % (sorted(found), sorted(DLL_IMPORTS)))
        check_version_resource(pe)
    else:
        check_image(pe, arch, want_dll=False)
        found = imports(pe)
        runtime = sorted(d for d in found if d.startswith(("libstdc++", "libgcc", "libwinpthread")))
        check(not runtime, "needs MinGW runtime DLLs %s" % runtime)
        check("quisel.dll" not in found, "links quisel.dll instead of loading it at run time")
        # Its UTF-16 command line comes from msvcrt's wide start-up, not shell32.
        check(found <= HOST_IMPORTS, "imports %s, expected only %s" % (sorted(found), sorted(HOST_IMPORTS)))
    for problem in problems:
        print("%s: %s" % (path, problem))
    if not problems:
        print("%s: ok" % path)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
