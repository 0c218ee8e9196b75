// The file-system calls the library makes, on paths in its own form (wtf8.h): the same
// calls, arguments, results and error codes as the Win32 functions they are named after.
// On POSIX they are the layer's own functions, which take the bytes as they are; on
// Windows each turns its paths into UTF-16 for the wide function, and a name a listing
// gives comes back from UTF-16 as it is, never through the code page.
//
// The calls that change a file (move, copy, delete, attributes, directory removal) are
// repeated when another program holds the file for a moment: see the README's
// "Files held open by another program".
#pragma once

#include <stddef.h>

#include "include/quisel.h"
#include "platform.h"

enum {
    // Paths hold at most 259 UTF-16 units and a terminator, as the system's own limit.
    kPathUnits = 260,
    // The bytes of a path buffer: 259 units take at most three bytes each.
    kPathBytes = 3 * (kPathUnits - 1) + 1,
    // An argument as the caller gave it: more than any path that either system accepts
    // (POSIX's 4096 bytes included), so an argument cut to fit is refused by every call
    // rather than used as another path.
    kArgumentBytes = 4100,
};

// Whether a path of these bytes fits the system's limit of 259 UTF-16 units. Any path of
// fewer than 260 bytes does, as it always has; a longer one by its units, within the
// bytes those can take (wtf8.cpp).
int PathFits(const char* text, size_t bytes);

// A listed entry: its attribute word and its name.
struct FsEntry {
    DWORD attributes;
    char name[kPathBytes];
};

// The current directory into buffer (kPathBytes). Returns its length in UTF-16 units;
// kPathUnits or more, buffer left empty, when it does not fit the path limit; 0 when it
// cannot be read.
DWORD FsGetCurrentDirectory(char* buffer);
BOOL FsSetCurrentDirectory(const char* path);
// The listing of the current directory, pattern "*.*".
HANDLE FsFindFirstFile(const char* pattern, FsEntry* entry);
BOOL FsFindNextFile(HANDLE find, FsEntry* entry);
BOOL FsFindClose(HANDLE find);
BOOL FsCreateDirectory(const char* path);
BOOL FsRemoveDirectory(const char* path);
DWORD FsGetFileAttributes(const char* path);
BOOL FsSetFileAttributes(const char* path, DWORD attributes);
BOOL FsDeleteFile(const char* path);
BOOL FsMoveFile(const char* from, const char* to);
BOOL FsCopyFile(const char* from, const char* to, BOOL failIfExists);

// OpenTextStream (platform.h) takes its path in the library's form too.

// Marks the start of an exported call: the time it may spend waiting for files held by
// another program starts again.
void FsCallBegins(void);

// Text of the process's ANSI code page in the library's form, into out (size bytes,
// terminator included). Returns 1, or 0 when it does not fit (out then cut between
// characters). A character that is no character of the code page becomes a byte that
// no path call takes (0xFF), so it never reaches a file by another spelling.
int FromCodePage(const char* text, char* out, size_t size);
// A UTF-16 string in the library's form, as FromCodePage.
int FromUtf16(const QuiselWideChar* text, char* out, size_t size);
// Text in the library's form as the log holds it, in the process's ANSI code page, "?"
// for a character the code page cannot spell, into out: at most size - 1 bytes, cut
// where they end. Returns the bytes written.
size_t LogText(const char* text, char* out, size_t size);
