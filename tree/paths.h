// Bounded path building shared by the tree walks and the version move. Nothing is
// ever written past a 260-character path buffer: a path that would not fit is
// refused, so no file operation ever runs on a cut path.
//
// Paths are read by characters of the process's ANSI code page. In a double-byte one
// (932, 936, 949, 950) the second byte of a character may be the byte of a backslash or
// of a letter, so a separator, a trailing backslash or a letter's case is only ever
// looked for at the start of a character.
#pragma once

#include <stddef.h>

#include "platform.h"

// Whether c is a lead byte of the code page. Every lead byte of every double-byte code
// page is 0x81 or above, so ASCII text costs no call.
inline int IsLeadByte(char c) {
    const unsigned char b = static_cast<unsigned char>(c);
    return b >= 0x80 && IsDBCSLeadByte(b);
}

// The size in bytes of the character that starts at p: 2 for a lead byte with a second
// byte behind it, else 1.
inline size_t CharSize(const char* p) {
    return IsLeadByte(*p) && p[1] != '\0' ? 2 : 1;
}

// Whether the character at p (a character's start) is a path separator, "\" or "/".
inline int IsSeparatorChar(const char* p) {
    return *p == '\\' || *p == '/';
}

// The index of the first backslash at or after from that is a character of its own
// (from is a character's start), or the path's length when there is none.
size_t NextBackslash(const char* path, size_t from);

// Whether the last character of path, of length bytes, is a backslash.
int EndsWithBackslash(const char* path, size_t length);

// Whether a name that a listing gave holds a character that would make it more than one
// name in a path: a separator, or whatever else the platform's paths give structure to
// (a drive's or a stream's colon on Windows). A name the code page cannot spell can
// come back so ("..\x" for "..＼x" under 1252), and must never be addressed.
int NameHoldsPathSyntax(const char* name);

// Copies dir into root (kPathSize) with exactly one trailing backslash appended when
// its last character is not one (an empty dir becomes "\"). Returns the root's
// length, or 0 when it would not fit or dir ends in a lead byte without its second.
size_t MakeRoot(char* root, const char* dir);

// Writes name behind the root of length rootLength in path (kPathSize). Returns 0,
// leaving path as it was, when the whole path would not fit.
int PutName(char* path, size_t rootLength, const char* name);

// Formats a path into path (kPathSize). Returns 0, with path emptied, when the
// whole path would not fit: a cut path is never used.
int FormatPath(char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Whether two paths are spelled alike, ignoring the case of single-byte letters, the
// kind of separator ("\" or "/") and trailing separators; both bytes of a double-byte
// character must be the same. Used only to keep clear of aliases that would make a move
// delete its own source.
int SamePathText(const char* a, const char* b);
