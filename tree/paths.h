// Bounded path building shared by the tree walks and the version move. Nothing is
// ever written past a path buffer: a path that would not fit is refused, so no file
// operation ever runs on a cut path.
//
// Paths are in the library's form (platform/wtf8.h), where no byte of a character
// beyond ASCII is below 0x80: a backslash, a dot or a letter found in the bytes is a
// character of its own, whatever the code page the caller spoke. The limit is the
// system's, 259 UTF-16 units.
#pragma once

#include <stddef.h>

#include "files.h"

// Whether the character at p is a path separator, "\" or "/".
inline int IsSeparatorChar(const char* p) {
    return *p == '\\' || *p == '/';
}

// The index of the first backslash at or after from, or the path's length when there is
// none.
size_t NextBackslash(const char* path, size_t from);

// Whether the last character of path, of length bytes, is a backslash.
int EndsWithBackslash(const char* path, size_t length);

// Whether a name that a listing gave holds a character that would make it more than one
// name in a path: a separator, or whatever else the platform's paths give structure to
// (a drive's or a stream's colon on Windows). No system lists such a name, but a name
// must never be addressed as a path it only looks like.
int NameHoldsPathSyntax(const char* name);

// Copies dir into root (kPathBuffer) with exactly one trailing backslash appended when
// its last character is not one (an empty dir becomes "\"). Returns the root's length
// in bytes, or 0 when it would not fit.
size_t MakeRoot(char* root, const char* dir);

// Whether a path of the root's rootLength bytes and the name's nameLength bytes fits.
int JoinedPathFits(const char* root, size_t rootLength, const char* name, size_t nameLength);

// Writes name behind the root of rootLength bytes in path (kPathBuffer). Returns 0,
// leaving path as it was, when the whole path would not fit.
int PutName(char* path, size_t rootLength, const char* name);

// Formats a path into path (kPathBuffer). Returns 0, with path emptied, when the
// whole path would not fit: a cut path is never used.
int FormatPath(char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Whether two paths are spelled alike, ignoring the case of ASCII letters, the kind of
// separator ("\" or "/") and trailing separators. Used only to keep clear of aliases
// that would make a move delete its own source.
int SamePathText(const char* a, const char* b);
