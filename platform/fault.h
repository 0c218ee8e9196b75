// Test seam of the POSIX layer: makes chosen calls of the layer fail with a chosen
// Win32 code, so every failure path of the library can be driven on Linux. It exists
// only in test builds (QUISEL_FAULT_SEAM); the shipped library has none of it.
#pragma once

#include <stdint.h>

enum FaultFn {
    FAULT_ANY = 0,  // counts every call of every function below
    FAULT_GetCurrentDirectoryA,
    FAULT_SetCurrentDirectoryA,
    FAULT_FindFirstFileA,
    FAULT_FindNextFileA,
    FAULT_CreateDirectoryA,
    FAULT_RemoveDirectoryA,
    FAULT_GetFileAttributesA,
    FAULT_SetFileAttributesA,
    FAULT_DeleteFileA,
    FAULT_MoveFileA,
    FAULT_CopyFileA,
    FAULT_OpenTextStream,
    FAULT_ReadStream,   // one read of a list stream's underlying file: sets its error indicator
    FAULT_WriteStream,  // one write of the log stream's underlying file, or its flush at a call's end
    FAULT_FlushFile,    // one flush of a copy the layer made: its data, or its directory
    FAULT_COUNT
};

// Every attempt of a call fails: the failure lasts.
constexpr uint32_t kEveryAttempt = 0xFFFFFFFFu;

// From now on, calls number nth .. nth+count-1 (1-based) of fn fail with code. The
// library repeats some failed calls (a file another program holds for a moment); a
// repetition is no call of its own here: it fails too while the call has failed fewer
// than attempts times, so attempts 3 makes a failure that passes at the fourth try.
// FAULT_ANY counts calls of all functions together. One rule is armed at a time.
void FaultArm(FaultFn fn, uint32_t nth, uint32_t code, uint32_t count = 1, uint32_t attempts = kEveryAttempt);
// Disarms the rule and zeroes every call counter.
void FaultReset();
// Until the next reset the layer acts as on a file system that refuses unnamed files:
// copies are built under a temporary name beside their destination, as they are there.
void FaultRefuseUnnamedFiles();
// The flushes the layer leaves out until the next reset, as it made none before its
// copies were made durable, so that a power-cut test can show what each kind keeps: a
// copy's data, and the name a copy from another volume gets. The calls go on as if each
// had been made.
enum FaultFlushes { FAULT_FLUSH_DATA = 1, FAULT_FLUSH_NAMES = 2 };
void FaultSkipFlushes(uint32_t which);
// Calls of fn made since the last reset (FAULT_ANY: all of them).
uint32_t FaultCalls(FaultFn fn);
// Calls that have been failed on purpose since the last reset (their repetitions not
// counted).
uint32_t FaultsInjected();
// Milliseconds the library would have waited before repeating calls, since the last
// reset: test builds count the pauses instead of taking them.
uint32_t FaultPausedMs();
// Repetitions of failed calls since the last reset.
uint32_t FaultRepetitions();
// Name of fn, for test messages.
const char* FaultName(FaultFn fn);

