// The library's boundary: the exports, declared once in the public header, the work
// they hand their arguments to, and the module-wide state they share.
#pragma once

#include "files.h"
#include "include/quisel.h"

// Fixed buffer sizes, terminator included.
enum {
    kPathSize = kPathUnits,             // the longest path, in UTF-16 units
    kPathBuffer = kPathBytes,           // the bytes of every path the library builds or reads back
    kMessageSize = 1024,                // one record of the log, in the log's bytes
    kMessageBuffer = 3 * kMessageSize,  // one formatted message, before it becomes the log's bytes
    kListLineSize = kPathBytes + 1      // one read of a move list file: a path and its line feed
};

// The game directory with one trailing backslash, as the last VersionMove left it.
extern char WorkDir[kPathBuffer];
// The open activity log, or null until the first record whose open succeeded.
extern FILE* LogStream;

// What ClearDir, VersionMove and VersionBackup do, and their wide twins, once every
// argument is in the library's form (frame/exports.cpp).
int ClearDirectory(const char* dir, int removeDir);
int MoveVersion(const char* fromDir, const char* toDir, const char* listPath, int force);
int BackUpVersion(int newVersion);
