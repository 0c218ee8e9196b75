// The walks' way back to the directory that was current when a level started.
#pragma once

// Changes back to savedDir. A failure is written to logPath and returns 0: the caller
// would otherwise go on, and relative names resolve, in the wrong directory without a
// trace.
int ReturnTo(const char* savedDir, const char* logPath);
