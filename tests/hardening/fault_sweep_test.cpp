// Every platform call of a backup, a list-driven move, a forced move and a clearing
// fails in turn, with the codes a real disk gives (5, 32, 112) and the ones the
// library acts on (3, 183, 18). After each run: no file lost, duplicated or changed,
// nothing touched outside what the call may touch, the caller's current directory
// back, a well-formed log, and a result of 1 only for work that was done, a result of
// 0 with a record that names the failure where the library writes one.
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "fault.h"
#include "scenarios.h"
#include "test_support.h"

namespace quisel::hardening {
namespace {

const uint32_t kCodes[] = {5, 32, 112, 3, 183, 18};

// Failures that the library reports by its result alone: reading the current
// directory, starting or continuing an enumeration, a clearing's attribute reset, and
// the backup's own steps (creating the snapshot, copying the lists, flushing a copy).
bool MayBeSilent(const std::string& scenario, FaultFn fn) {
    switch (fn) {
    case FAULT_GetCurrentDirectoryA:
    case FAULT_FindFirstFileA:
    case FAULT_FindNextFileA: return true;
    case FAULT_SetFileAttributesA: return scenario == "clear" || scenario == "backup";
    case FAULT_CreateDirectoryA:
    case FAULT_CopyFileA:
    case FAULT_FlushFile: return scenario == "backup";
    default: return false;
    }
}

class FaultSweep : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        scope_ = inv::MakeTempDir(inv::ScratchParent(), "quisel-sweep");
        scenario_ = Scenarios(scope_)[GetParam()];
        FaultReset();
    }
    void TearDown() override {
        FaultReset();
        sc::CloseLog();
        inv::RemoveAll(scope_);
    }

    struct Run {
        int result = -1;
        uint32_t injected = 0;
        bool restoreFailed = false;
        size_t entries = 0;  // entries of the tree checked after the call
        std::vector<std::string> problems;
    };

    // One call on a fresh game directory, with the fault (if any) armed, and every
    // invariant checked. fn == FAULT_COUNT runs without a fault.
    Run RunOnce(FaultFn fn, uint32_t nth, uint32_t code) {
        inv::RemoveAll(scenario_.game);
        scenario_.build();
        const inv::Snapshot before = inv::Take(scope_);
        FaultReset();
        if (fn != FAULT_COUNT) FaultArm(fn, nth, code);
        alarm(20);  // a call that never ends fails the test instead of hanging it
        const sc::Outcome outcome = sc::InGame(scenario_.game, scenario_.call);
        alarm(0);
        Run run;
        run.injected = FaultsInjected();
        FaultReset();
        run.result = outcome.result;
        const inv::Snapshot after = inv::Take(scope_);
        const std::string log = sc::LogsIn(after);
        run.entries = before.size();

        if (outcome.result != 0 && outcome.result != 1)
            run.problems.push_back("result " + std::to_string(outcome.result));
        // A failed change back to the saved directory is the one fault after which the
        // caller's directory cannot be restored: it is reported (a record, result 0),
        // counted, and the other invariants still hold.
        const bool restoreFailed = fn == FAULT_SetCurrentDirectoryA && outcome.cwdAfter != scenario_.game &&
                                   log.find("SetCurrentDirectory(") != std::string::npos;
        run.restoreFailed = restoreFailed;
        if (restoreFailed && outcome.result != 0) run.problems.push_back("a failed change back reported as success");
        if (outcome.cwdAfter != scenario_.game && !restoreFailed)
            run.problems.push_back("current directory left at " + outcome.cwdAfter);
        for (const std::string& p : inv::CheckConservation(before, after, scenario_.allowed(outcome.result)))
            run.problems.push_back(p);
        std::string masked, problem;
        if (!log.empty() && !test::MaskLog(log, &masked, &problem)) run.problems.push_back("log: " + problem);

        // An injected "no more files" is a lie the walk cannot see through: it ends the
        // walk early as the normal end would.
        const bool endLie = fn == FAULT_FindNextFileA && code == 18;
        if (outcome.result == 1 && !endLie) {
            for (const std::string& p : scenario_.done(before, after, log)) run.problems.push_back(p);
        }
        if (outcome.result == 0 && !inv::HasFailureRecord(log) && !restoreFailed &&
            !(fn != FAULT_COUNT && MayBeSilent(scenario_.name, fn)))
            run.problems.push_back("result 0 without a record of the failure");
        // Losing a record changes nothing else.
        if (fn == FAULT_WriteStream && outcome.result != 1) run.problems.push_back("a lost record failed the call");
        return run;
    }

    std::string scope_;
    Scenario scenario_;
};

TEST_P(FaultSweep, EveryCallFailingInTurnKeepsEveryInvariant) {
    const Run clean = RunOnce(FAULT_COUNT, 0, 0);
    ASSERT_EQ(clean.result, 1) << scenario_.name << inv::Describe(clean.problems);
    ASSERT_TRUE(clean.problems.empty()) << scenario_.name << inv::Describe(clean.problems);

    // The calls of the clean run, per function: a faulted run makes the same calls up
    // to the one that fails, so these are exactly the calls that can be failed.
    FaultReset();
    {
        inv::RemoveAll(scenario_.game);
        scenario_.build();
        FaultReset();
        sc::InGame(scenario_.game, scenario_.call);
    }
    uint32_t calls[FAULT_COUNT];
    for (int fn = 0; fn < FAULT_COUNT; ++fn) calls[fn] = FaultCalls(static_cast<FaultFn>(fn));
    FaultReset();

    uint32_t runs = 0, failedCalls = 0, zeroResults = 0, restoresFailed = 0;
    size_t entries = 0;
    for (int f = FAULT_ANY + 1; f < FAULT_COUNT; ++f) {
        const FaultFn fn = static_cast<FaultFn>(f);
        for (uint32_t nth = 1; nth <= calls[fn] + 1; ++nth) {
            for (uint32_t code : kCodes) {
                const Run run = RunOnce(fn, nth, code);
                ++runs;
                entries += run.entries;
                const std::string where = scenario_.name + ": " + FaultName(fn) + " call " + std::to_string(nth) +
                                          " of " + std::to_string(calls[fn]) + " failing with " + std::to_string(code);
                EXPECT_TRUE(run.problems.empty()) << where << inv::Describe(run.problems);
                // Past the last call nothing is reached; before it, the call is reached.
                EXPECT_EQ(run.injected, nth <= calls[fn] ? 1u : 0u) << where;
                if (nth > calls[fn]) break;
                ++failedCalls;
                if (run.result == 0) ++zeroResults;
                if (run.restoreFailed) ++restoresFailed;
                if (HasFailure()) return;  // one broken invariant is enough to look at
            }
        }
    }
    // Every call of the clean run was failed once per code.
    EXPECT_EQ(failedCalls, calls[FAULT_ANY] * (sizeof kCodes / sizeof kCodes[0]));
    RecordProperty("runs", static_cast<int>(runs));
    printf("%s: %u calls, %u faulted runs, %u ended with 0, %u left the current directory elsewhere, %zu entries "
           "checked\n",
           scenario_.name.c_str(), calls[FAULT_ANY], failedCalls, zeroResults, restoresFailed, entries);
}

std::string CallName(const ::testing::TestParamInfo<int>& info) {
    static const char* const kNames[] = {"Backup", "ListMove", "ForcedMove", "Clear"};
    return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(Calls, FaultSweep, ::testing::Range(0, 4), CallName);

}  // namespace
}  // namespace quisel::hardening
