// The test seam: chosen calls of the layer fail with a chosen code. Only test builds
// define QUISEL_FAULT_SEAM; the shipped library holds none of this.
#if defined(QUISEL_FAULT_SEAM)

#include "fault_hook.h"
#include "winapi.h"

namespace {

struct Rule {
    bool armed = false;
    FaultFn fn = FAULT_ANY;
    uint32_t base = 0;  // the counter's value when the rule was armed
    uint32_t first = 0;
    uint32_t count = 0;
    uint32_t code = 0;
    uint32_t attempts = 0;
};

uint32_t g_calls[FAULT_COUNT];
uint32_t g_injected;
uint32_t g_pausedMs;
uint32_t g_repetitions;
Rule g_rule;
bool g_refuseUnnamed;
uint32_t g_skippedFlushes;
// The library pauses only before it repeats a call: the next call is that repetition.
bool g_nextRepeats;
// The function whose call the rule failed last, and how many of its repetitions fail too.
FaultFn g_failing = FAULT_COUNT;
uint32_t g_failingLeft;

}  // namespace

namespace qlayer {

bool FaultTake(FaultFn fn) {
    if (g_nextRepeats) {
        g_nextRepeats = false;
        ++g_repetitions;
        if (fn != g_failing || g_failingLeft == 0) return false;
        --g_failingLeft;
        SetLastError(g_rule.code);
        return true;
    }
    // A new call of the function whose call failed is a new operation; a call of another
    // one between a failure and its repetition (the library may look at the file) is not.
    if (fn == g_failing) g_failing = FAULT_COUNT;
    ++g_calls[fn];
    ++g_calls[FAULT_ANY];
    if (!g_rule.armed || (g_rule.fn != FAULT_ANY && g_rule.fn != fn)) return false;
    uint32_t nth = g_calls[g_rule.fn] - g_rule.base;
    if (nth < g_rule.first || nth - g_rule.first >= g_rule.count) return false;
    g_failing = fn;
    g_failingLeft = g_rule.attempts - 1;
    ++g_injected;
    SetLastError(g_rule.code);
    return true;
}

bool UnnamedFilesRefused() { return g_refuseUnnamed; }

bool FlushSkipped(uint32_t kind) { return (g_skippedFlushes & kind) != 0; }

bool PauseCounted(uint32_t ms) {
    g_pausedMs += ms;
    g_nextRepeats = true;
    return true;
}

}  // namespace qlayer

void FaultArm(FaultFn fn, uint32_t nth, uint32_t code, uint32_t count, uint32_t attempts) {
    if (fn < FAULT_ANY || fn >= FAULT_COUNT || attempts == 0) return;
    g_rule = Rule{true, fn, g_calls[fn], nth, count, code, attempts};
}

void FaultReset() {
    g_rule = Rule{};
    for (uint32_t& c : g_calls) c = 0;
    g_injected = 0;
    g_pausedMs = 0;
    g_repetitions = 0;
    g_nextRepeats = false;
    g_failing = FAULT_COUNT;
    g_refuseUnnamed = false;
    g_skippedFlushes = 0;
}

void FaultRefuseUnnamedFiles() { g_refuseUnnamed = true; }

void FaultSkipFlushes(uint32_t which) { g_skippedFlushes = which; }

uint32_t FaultCalls(FaultFn fn) { return (fn >= FAULT_ANY && fn < FAULT_COUNT) ? g_calls[fn] : 0; }

uint32_t FaultsInjected() { return g_injected; }

uint32_t FaultPausedMs() { return g_pausedMs; }

uint32_t FaultRepetitions() { return g_repetitions; }

const char* FaultName(FaultFn fn) {
    static const char* const kNames[FAULT_COUNT] = {
        "any",
        "GetCurrentDirectoryA",
        "SetCurrentDirectoryA",
        "FindFirstFileA",
        "FindNextFileA",
        "CreateDirectoryA",
        "RemoveDirectoryA",
        "GetFileAttributesA",
        "SetFileAttributesA",
        "DeleteFileA",
        "MoveFileA",
        "CopyFileA",
        "OpenTextStream",
        "ReadStream",
        "WriteStream",
        "FlushFile",
    };
    return (fn >= FAULT_ANY && fn < FAULT_COUNT) ? kNames[fn] : "?";
}

#endif  // QUISEL_FAULT_SEAM
