// What the library needs from the system: the Win32 API's types, codes and file functions
// (real kernel32 on Windows, our POSIX layer elsewhere) and the C runtime's text streams.
// The library's code makes its file calls through files.h.
#pragma once

#include <stdio.h>

#if defined(_WIN32)
#include <windows.h>
#include <time.h>
// The characters that give a path its structure: the separators, and the colon that
// opens a drive ("c:x") or a stream ("a:b").
#define QUISEL_PATH_SYNTAX "\\/:"
#else
#include "posix/winapi.h"
#endif

// Opens a stream, path in the library's form (files.h), as the Windows C runtime's fopen
// does in text mode: "at" appends,
// turning each line feed into CR LF; "r" reads, turning CR LF into LF and ending at
// byte 26. Neither shares deletion while open. A failed open leaves its code for
// GetLastError.
FILE* OpenTextStream(const char* path, const char* mode);

// Makes what an appending stream has written durable on the disk (its bytes and its
// length), when it wrote anything since it was last committed: a flush of the file, once
// (NULL: nothing).
// Nothing is reported: a record that cannot be made durable is as one that could not be
// written.
void CommitTextStream(FILE* stream);
