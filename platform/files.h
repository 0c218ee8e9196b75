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

// What a call that would pass through a link fails with, as Windows' own calls do when
// told not to follow one (older SDK headers lack the name).
#ifndef ERROR_REPARSE_POINT_ENCOUNTERED
#define ERROR_REPARSE_POINT_ENCOUNTERED 4395
#endif

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

// A listed entry: its attribute word, its reparse tag (when the word has the reparse-point
// bit) and its name.
struct FsEntry {
    DWORD attributes;
    DWORD reparseTag;
    char name[kPathBytes];
};

// Whether an entry is a link: a reparse point whose tag names another place (a symbolic
// link, a junction, a mount point), or whose tag is not told (Windows always tells it; a
// point that cannot be known is not entered). Other reparse points (a synced folder's
// placeholder, a deduplicated file) are what their attribute word says.
inline int FsIsLink(DWORD attributes, DWORD reparseTag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag) != 0);
}
// Whether a walk enters an entry: a directory, whatever further attributes it carries
// (read-only, hidden, system, compressed...), unless it is a link.
inline int FsIsDirectory(const FsEntry* entry) {
    return (entry->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !FsIsLink(entry->attributes, entry->reparseTag);
}

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
// another program starts again, and the current directory is the call's game directory.
// Until FsCallEnds, no path below the game directory or below a root (FsTakeRoot) is
// followed through a link: a call that would pass one fails with
// ERROR_REPARSE_POINT_ENCOUNTERED (platform/confine.h).
void FsCallBegins(void);
// A directory the caller named. Outside the game directory it is taken as given (links on
// its way followed, its own name too when ownNameGiven) and nothing below it is reached
// through a link; below the game directory nothing is taken as given.
void FsTakeRoot(const char* path, int ownNameGiven);
// Marks the end of an exported call: every directory the call held is let go.
void FsCallEnds(void);
// The flushes to the disk that the system confirmed to the layer in this process: a
// copy's data, a name made on another volume, a call's log records. Every build counts
// them, so its tests see each one made.
unsigned long FsFlushesMade(void);
// The attribute word of the link path names, not followed; 0 when it names no link (or
// nothing at all: the calls that follow say which).
DWORD FsLinkAttributes(const char* path);

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
