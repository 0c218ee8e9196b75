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
    FAULT_WriteStream,  // one write of the log stream's underlying file
    FAULT_COUNT
};

// From now on, calls number nth .. nth+count-1 (1-based) of fn fail with code.
// FAULT_ANY counts calls of all functions together. One rule is armed at a time.
void FaultArm(FaultFn fn, uint32_t nth, uint32_t code, uint32_t count = 1);
// Disarms the rule and zeroes every call counter.
void FaultReset();
// Until the next reset the layer acts as on a file system that refuses unnamed files:
// copies are built under a temporary name beside their destination, as they are there.
void FaultRefuseUnnamedFiles();
// Calls of fn made since the last reset (FAULT_ANY: all of them).
uint32_t FaultCalls(FaultFn fn);
// Calls that have been failed on purpose since the last reset.
uint32_t FaultsInjected();
// Name of fn, for test messages.
const char* FaultName(FaultFn fn);

// The layer's code page, for the path helpers: from now on IsDBCSLeadByte answers from
// leadBytes (one flag per byte value, as a double-byte code page such as 932 has them),
// until it is called with null, which gives back UTF-8, where no byte is a lead byte.
void SeamUseLeadBytes(const unsigned char* leadBytes);
