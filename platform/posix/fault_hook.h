// The layer's entry check for the test seam. Every layer function asks it first; in a
// build without the seam it is a constant false and compiles away.
#pragma once

#include "../fault.h"

namespace qlayer {

#if defined(QUISEL_FAULT_SEAM)
// Counts the call; when the armed rule selects it, sets the chosen code as the last
// error and returns true, and the caller returns its failure value at once.
bool FaultTake(FaultFn fn);
inline bool FaultHook(FaultFn fn) { return FaultTake(fn); }
bool UnnamedFilesRefused();
// Whether a flush of this kind (FaultFlushes) is left out.
bool FlushSkipped(uint32_t kind);
// Test builds never wait for real before a repetition: they count the pause, for
// FaultPausedMs, and go on at once.
bool PauseCounted(uint32_t ms);
#else
constexpr bool FaultHook(FaultFn) { return false; }
constexpr bool UnnamedFilesRefused() { return false; }
constexpr bool FlushSkipped(uint32_t) { return false; }
constexpr bool PauseCounted(uint32_t) { return false; }
#endif

}  // namespace qlayer
