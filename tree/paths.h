// Bounded path building shared by the tree walks and the version move. Nothing is
// ever written past a 260-character path buffer: a path that would not fit is
// refused, so no file operation ever runs on a cut path.
#pragma once

#include <stddef.h>

// Copies dir into root (kPathSize) with exactly one trailing backslash appended when
// its last character is not one (an empty dir becomes "\"). Returns the root's
// length, or 0 when it would not fit.
size_t MakeRoot(char* root, const char* dir);

// Writes name behind the root of length rootLength in path (kPathSize). Returns 0,
// leaving path as it was, when the whole path would not fit.
int PutName(char* path, size_t rootLength, const char* name);

// Formats a path into path (kPathSize). Returns 0, with path emptied, when the
// whole path would not fit: a cut path is never used.
int FormatPath(char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Whether two paths are spelled alike, ignoring ASCII case, the kind of separator
// ("\" or "/") and trailing separators. Used only to keep clear of aliases that
// would make a move delete its own source.
int SamePathText(const char* a, const char* b);
