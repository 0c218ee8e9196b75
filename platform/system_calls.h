// What each platform gives files.cpp: the calls that change a file, on paths in the
// library's form, without repetition (posix/system_calls.cpp, win32/system_calls.cpp),
// and a pause.
#pragma once

#include "files.h"

BOOL SysRemoveDirectory(const char* path);
BOOL SysSetFileAttributes(const char* path, DWORD attributes);
BOOL SysDeleteFile(const char* path);
BOOL SysMoveFile(const char* from, const char* to);
BOOL SysCopyFile(const char* from, const char* to, BOOL failIfExists);
// Waits ms milliseconds before a repetition (test builds of the POSIX layer only count
// them: see FaultPausedMs).
void SysPause(DWORD ms);

// What files.cpp keeps for both: one flush that the system confirmed is counted
// (files.h: FsFlushesMade).
void SysFlushMade(void);
