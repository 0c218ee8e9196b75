// The library's boundary: the three exports, declared once in the public header, and
// the module-wide state they share.
#pragma once

#include "include/quisel.h"
#include "platform.h"

// Fixed buffer sizes, terminator included.
enum {
    kPathSize = 260,     // every path the library builds or reads back
    kMessageSize = 1024, // one formatted log message
    kListLineSize = 270  // one read of a move list file
};

// The game directory with one trailing backslash, as the last VersionMove left it.
extern char WorkDir[kPathSize];
// The open activity log, or null until the first record whose open succeeded.
extern FILE* LogStream;
