// Failure at every point of a version backup and of a list-driven version move, driven
// through the POSIX layer's fault seam: each platform call in turn fails, and the run
// must still end, report 0 when the failure mattered, name it in the log where the
// library writes a record for it, restore the current directory, and keep every file
// that existed before exactly once, bytes intact, at its source or its destination.
#include <limits.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fault.h"
#include "frame/quisel.h"
#include "library_state.h"
#include "test_support.h"

namespace {

using quisel::test::Exists;
using quisel::test::ListTree;
using quisel::test::MakeTree;
using quisel::test::Printable;
using quisel::test::ReadFile;
using quisel::test::RemoveTree;
using quisel::test::TempDir;
using quisel::test::Tree;
using quisel::test::WriteFile;

using quisel::test::CloseLog;

using quisel::test::CurrentDirectory;

Tree FilesOnly(const Tree& tree) {
    Tree files;
    for (const auto& [path, bytes] : tree)
        if (path.back() != '/') files[path] = bytes;
    return files;
}

// One way of calling the library on a game directory, with what a run may leave behind.
struct Scenario {
    std::string name;
    Tree initial;                       // the game directory before the call
    std::function<int(const std::string& game)> call;  // made with the game directory current
    std::vector<Tree> successes;        // files (quisel.log aside) after a successful call
    // Where each file that must survive may be afterwards: its own place and, for the
    // files the call moves, their destination.
    std::map<std::string, std::vector<std::string>> places;
    std::set<std::string> expendable;   // may vanish: an earlier snapshot, replaced destinations
    Tree copies;                        // files the call may create, with their only allowed bytes
};

// A game with two list files and a few game files; the backup list names three of them
// and the marker.
Tree GameFiles() {
    return {{"newlist.txt", "n.txt\r\nver.bin\r\n"},
            {"backuplist.txt", "a.txt\r\n.\\data\\b.txt\r\nver.bin\r\nc.txt\r\n"},
            {"a.txt", "A"},
            {"data/b.txt", "B"},
            {"c.txt", "C"},
            {"ver.bin", "V"},
            {"keep.txt", "K"},
            {"data/keep2.txt", "K2"},
            {"n.txt", "N"}};
}

Scenario Backup(bool earlierSnapshot) {
    Scenario s;
    s.name = earlierSnapshot ? "repeated backup" : "first backup";
    s.initial = GameFiles();
    for (const auto& [path, bytes] : GameFiles()) {
        (void)bytes;
        s.places[path] = {path};
    }
    for (const char* moved : {"a.txt", "data/b.txt", "c.txt", "ver.bin"})
        s.places[moved].push_back(std::string("gamenew/") + moved);
    if (earlierSnapshot) {
        s.initial["gamenew/old.txt"] = "O";
        s.initial["gamenew/sub/deeper/old2.txt"] = "O2";
        s.expendable = {"gamenew/old.txt", "gamenew/sub/deeper/old2.txt"};
    }
    // The snapshot of the other name is never touched.
    s.initial["gameold/o.txt"] = "OO";
    s.places["gameold/o.txt"] = {"gameold/o.txt"};
    s.copies = {{"gamenew/newlist.txt", GameFiles()["backuplist.txt"]},
                {"gamenew/backuplist.txt", GameFiles()["newlist.txt"]}};
    s.call = [](const std::string&) { return VersionBackup(1); };
    s.successes = {{{"newlist.txt", GameFiles()["newlist.txt"]},
                    {"backuplist.txt", GameFiles()["backuplist.txt"]},
                    {"keep.txt", "K"},
                    {"data/keep2.txt", "K2"},
                    {"n.txt", "N"},
                    {"gameold/o.txt", "OO"},
                    {"gamenew/newlist.txt", GameFiles()["backuplist.txt"]},
                    {"gamenew/backuplist.txt", GameFiles()["newlist.txt"]},
                    {"gamenew/a.txt", "A"},
                    {"gamenew/data/b.txt", "B"},
                    {"gamenew/c.txt", "C"},
                    {"gamenew/ver.bin", "V"}}};
    return s;
}

Scenario ListMove(int force) {
    Scenario s;
    s.name = force ? "list move with force" : "list move";
    s.initial = {{"list.txt", "a.txt\n.\\data\\b.txt\nver.bin\nc.txt\n"},
                 {"src/a.txt", "A"},
                 {"src/data/b.txt", "B"},
                 {"src/c.txt", "C"},
                 {"src/ver.bin", "V"},
                 {"src/extra.txt", "E"},
                 {"dst/a.txt", "old A"}};
    for (const char* file : {"a.txt", "data/b.txt", "c.txt", "ver.bin", "extra.txt"})
        s.places[std::string("src/") + file] = {std::string("src/") + file, std::string("dst/") + file};
    s.places["list.txt"] = {"list.txt"};
    s.expendable = {"dst/a.txt"};
    s.call = [force](const std::string& game) {
        return VersionMove((game + "\\src").c_str(), (game + "\\dst").c_str(), "list.txt", force);
    };
    const Tree listed = {{"list.txt", s.initial["list.txt"]}, {"src/extra.txt", "E"}, {"dst/a.txt", "A"},
                         {"dst/data/b.txt", "B"}, {"dst/c.txt", "C"}, {"dst/ver.bin", "V"}};
    s.successes = {listed};
    if (force) {
        Tree forced = listed;
        forced.erase("src/extra.txt");
        forced["dst/extra.txt"] = "E";
        s.successes.push_back(forced);
    }
    return s;
}

std::vector<Scenario> Scenarios() { return {Backup(false), Backup(true), ListMove(0), ListMove(1)}; }

struct Outcome {
    int result = -1;
    uint32_t injected = 0;
    uint32_t calls = 0;
    uint32_t repetitions = 0;  // of failed calls, by the library
    uint32_t pausedMs = 0;     // before them
    std::string cwdAfter;
    std::string log;
    Tree files;  // quisel.log aside
};

class VersionFaultTest : public ::testing::Test {
protected:
    // A raw log as the masked form it should match again.
    static std::string MaskedOf(const std::string& log) {
        std::string masked, problem;
        EXPECT_TRUE(quisel::test::MaskLog(log, &masked, &problem)) << problem;
        return masked;
    }

    void SetUp() override {
        scratch_ = std::make_unique<TempDir>("quisel-vfault");
        game_ = *scratch_ / "game";
        saved_ = CurrentDirectory();
        CloseLog();
        FaultReset();
    }
    void TearDown() override {
        FaultReset();
        CloseLog();
        if (chdir(saved_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << saved_;
    }

    // Sets the game up afresh, arms the fault (when fn is given), calls, and collects.
    Outcome Run(const Scenario& s, FaultFn fn, uint32_t nth, uint32_t code, uint32_t count,
                uint32_t attempts = kEveryAttempt) {
        RemoveTree(game_);
        MakeTree(game_, s.initial);
        CloseLog();
        Outcome o;
        if (chdir(game_.c_str()) != 0) {
            ADD_FAILURE() << "cannot enter " << game_;
            return o;
        }
        FaultReset();
        if (count > 0) FaultArm(fn, nth, code, count, attempts);
        o.result = s.call(game_);
        o.injected = FaultsInjected();
        o.calls = FaultCalls(FAULT_ANY);
        o.repetitions = FaultRepetitions();
        o.pausedMs = FaultPausedMs();
        FaultReset();
        o.cwdAfter = CurrentDirectory();
        if (chdir(saved_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << saved_;
        CloseLog();
        // The log opens where its first record is written: in the game directory, or,
        // when the clearing's first record comes from a nested level, inside the tree
        // being cleared. Either way it is the log, not a game file.
        o.files = FilesOnly(ListTree(game_));
        for (auto it = o.files.begin(); it != o.files.end();) {
            const std::string& path = it->first;
            if (path == "quisel.log" || (path.size() > 11 && path.compare(path.size() - 11, 11, "/quisel.log") == 0)) {
                o.log += it->second;
                it = o.files.erase(it);
            } else {
                ++it;
            }
        }
        return o;
    }

    // What must hold after any run, the fault mattering or not.
    void CheckInvariants(const Scenario& s, const Outcome& o, bool cwdMustHold) {
        if (cwdMustHold) {
            EXPECT_EQ(o.cwdAfter, game_) << "current directory not restored";
        }
        EXPECT_TRUE(o.result == 0 || o.result == 1) << o.result;
        if (o.result == 1) {
            bool matched = false;
            for (const Tree& success : s.successes) matched = matched || o.files == success;
            EXPECT_TRUE(matched) << "result 1 but the files are not those of a success:\n"
                                 << quisel::test::DescribeTree(o.files) << "log:\n" << Printable(o.log);
        }
        // Every file that must survive is at exactly one of its places, bytes intact; the
        // marker may be at both after a failed deletion at the source, which the call
        // reports.
        std::set<std::string> accounted;
        for (const auto& [path, places] : s.places) {
            const std::string& bytes = s.initial.at(path);
            int found = 0;
            for (const std::string& place : places) {
                auto it = o.files.find(place);
                if (it == o.files.end()) continue;
                if (it->second == bytes) {
                    ++found;
                    accounted.insert(place);
                }
            }
            const bool marker = path.size() >= 7 && path.compare(path.size() - 7, 7, "ver.bin") == 0;
            if (marker && found == 2) {
                EXPECT_EQ(o.result, 0) << "marker at both places but result 1";
            } else {
                EXPECT_EQ(found, 1) << path << " is at " << found << " of its places\n"
                                    << quisel::test::DescribeTree(o.files) << "log:\n" << Printable(o.log);
            }
        }
        // Nothing else: no stray, cut or mixed-up file.
        for (const auto& [path, bytes] : o.files) {
            if (accounted.count(path)) continue;
            if (s.expendable.count(path) && s.initial.at(path) == bytes) continue;
            auto copy = s.copies.find(path);
            if (copy != s.copies.end() && copy->second == bytes) continue;
            ADD_FAILURE() << "unexpected file " << path << " = \"" << Printable(bytes) << "\"\n"
                          << quisel::test::DescribeTree(o.files) << "log:\n" << Printable(o.log);
        }
    }

    // Fails every call of fn from the nth on (count at a time), n = 1, 2, ... until a run
    // no longer reaches the fault.
    template <typename Check>
    void ForEveryCall(const Scenario& s, FaultFn fn, uint32_t code, uint32_t count, Check check,
                      uint32_t attempts = kEveryAttempt) {
        for (uint32_t nth = 1;; ++nth) {
            const std::string trace = s.name + ": " + FaultName(fn) + " call " + std::to_string(nth) +
                                      " fails with " + std::to_string(code) + (count > 1 ? " from then on" : "") +
                                      (attempts != kEveryAttempt ? ", " + std::to_string(attempts) + " attempts" : "");
            SCOPED_TRACE(trace);
            const Outcome o = Run(s, fn, nth, code, count, attempts);
            // A retry that never gives up would spin through the whole fault budget.
            EXPECT_LT(o.calls, 2000u) << "the call did not give up";
            check(o);
            if (o.injected == 0) {
                EXPECT_EQ(o.result, 1) << "the run without a fault failed:\n" << Printable(o.log);
                break;
            }
            if (nth > 1000 || HasFatalFailure() || ::testing::Test::HasFailure()) break;
        }
    }

    std::unique_ptr<TempDir> scratch_;
    std::string game_;
    std::string saved_;
};

// One sweep per scenario and error code, each its own test, so that they stay short.
class VersionFaultSweep : public VersionFaultTest,
                          public ::testing::WithParamInterface<std::tuple<size_t, uint32_t>> {
protected:
    Scenario scenario() const { return Scenarios().at(std::get<0>(GetParam())); }
    uint32_t code() const { return std::get<1>(GetParam()); }
};

TEST_P(VersionFaultSweep, EveryCallFailingOnceKeepsEveryFile) {
    // Which function a call is does not matter here; the current directory is checked
    // per function below, where a failed return to it can be told from the others.
    const Scenario s = scenario();
    ForEveryCall(s, FAULT_ANY, code(), 1, [&](const Outcome& o) { CheckInvariants(s, o, false); });
}

TEST_P(VersionFaultSweep, EveryCallFailingFromThenOnStillEndsAndKeepsEveryFile) {
    // The system refuses everything from one point on, the way back to the game
    // directory included, so only the files are checked.
    const Scenario s = scenario();
    ForEveryCall(s, FAULT_ANY, code(), 100000, [&](const Outcome& o) { CheckInvariants(s, o, false); });
}

TEST_P(VersionFaultSweep, EachFunctionFailingAtEachCallRestoresTheCurrentDirectory) {
    // Each function with the codes it can give; 3, 183 and 18 are the ones the library
    // acts on.
    const std::vector<std::pair<FaultFn, std::set<uint32_t>>> functions = {
        {FAULT_GetCurrentDirectoryA, {5}},          {FAULT_SetCurrentDirectoryA, {2, 3, 5}},
        {FAULT_FindFirstFileA, {2, 3, 5, 18}},      {FAULT_FindNextFileA, {5, 18}},
        {FAULT_CreateDirectoryA, {3, 5, 183}},      {FAULT_RemoveDirectoryA, {5, 32, 145}},
        {FAULT_SetFileAttributesA, {2, 5}},         {FAULT_DeleteFileA, {2, 5, 32}},
        {FAULT_MoveFileA, {2, 3, 5, 32, 183}},      {FAULT_CopyFileA, {2, 3, 5, 32, 183}},
        {FAULT_OpenTextStream, {2, 3, 5, 32}},      {FAULT_ReadStream, {5}},
        {FAULT_GetFileAttributesA, {2, 3, 5}}};
    const Scenario s = scenario();
    for (const auto& [fn, codes] : functions) {
        if (!codes.count(code())) continue;
        // Only a failed change of directory can leave another one current: the way back
        // itself is what failed, and nothing can undo that.
        const FaultFn f = fn;
        ForEveryCall(s, f, code(), 1, [&](const Outcome& o) { CheckInvariants(s, o, f != FAULT_SetCurrentDirectoryA); });
        // The same function failing for good while everything else works: a repair or
        // a retry must give up rather than ask again and again.
        ForEveryCall(s, f, code(), 100000,
                     [&](const Outcome& o) { CheckInvariants(s, o, f != FAULT_SetCurrentDirectoryA); });
    }
}

using SweepParam = std::tuple<size_t, uint32_t>;

std::string SweepName(const ::testing::TestParamInfo<SweepParam>& info) {
    const char* names[] = {"FirstBackup", "RepeatedBackup", "ListMove", "ListMoveWithForce"};
    return std::string(names[std::get<0>(info.param)]) + "_" + std::to_string(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Faults, VersionFaultSweep,
                         ::testing::Combine(::testing::Values(size_t{0}, size_t{1}, size_t{2}, size_t{3}),
                                            ::testing::Values(2u, 3u, 5u, 18u, 32u, 145u, 183u)),
                         SweepName);

TEST_F(VersionFaultTest, FailuresThatTheLibraryRecordsAreNamedInTheLog) {
    // Calls whose failure always writes a record with its code.
    const FaultFn recorded[] = {FAULT_MoveFileA, FAULT_DeleteFileA, FAULT_RemoveDirectoryA, FAULT_GetFileAttributesA};
    for (const Scenario& s : Scenarios()) {
        for (FaultFn fn : recorded) {
            for (uint32_t code : {5u, 32u}) {
                ForEveryCall(s, fn, code, 1, [&](const Outcome& o) {
                    if (o.injected == 0) return;
                    const std::string named = " FAILED " + std::to_string(code) + "\r\n";
                    EXPECT_NE(o.log.find(named), std::string::npos) << Printable(o.log);
                });
            }
        }
    }
}

// A file another program holds for a moment: the call that changes it fails with a
// sharing or lock conflict, or access denied, and is repeated until it passes, within a
// second; the run then ends as if nothing had happened. One attempt more than the bound,
// or any other code, fails as before, with its record.
TEST_F(VersionFaultTest, ConflictsThatPassAreWaitedOutWithinTheBound) {
    const FaultFn repeated[] = {FAULT_MoveFileA, FAULT_DeleteFileA, FAULT_RemoveDirectoryA, FAULT_CopyFileA,
                                FAULT_SetFileAttributesA};
    const uint32_t kBoundMs = 1000, kAttemptsWithin = 8;
    for (const Scenario& s : Scenarios()) {
        const Outcome clean = Run(s, FAULT_ANY, 0, 0, 0);
        ASSERT_EQ(clean.result, 1) << s.name;
        for (FaultFn fn : repeated) {
            for (uint32_t code : {5u, 32u, 33u}) {
                for (uint32_t attempts : {1u, 3u, kAttemptsWithin - 1}) {
                    ForEveryCall(s, fn, code, 1, [&](const Outcome& o) {
                        if (o.injected == 0) return;
                        EXPECT_EQ(o.result, 1) << Printable(o.log);
                        EXPECT_EQ(o.files, clean.files);
                        EXPECT_TRUE(quisel::test::LogMatches(o.log, MaskedOf(clean.log)));
                        EXPECT_EQ(o.repetitions, attempts);
                        EXPECT_LE(o.pausedMs, kBoundMs);
                    }, attempts);
                }
            }
            // Past the bound it is a lasting failure, handled and recorded as one.
            for (uint32_t nth = 1;; ++nth) {
                SCOPED_TRACE(s.name + ": " + FaultName(fn) + " call " + std::to_string(nth) + " held past the bound");
                const Outcome o = Run(s, fn, nth, 32, 1, kAttemptsWithin);
                if (o.injected == 0) break;
                const Outcome lasting = Run(s, fn, nth, 32, 1);
                EXPECT_EQ(o.result, lasting.result);
                EXPECT_EQ(o.files, lasting.files);
                EXPECT_TRUE(quisel::test::LogMatches(o.log, MaskedOf(lasting.log)));
                EXPECT_EQ(o.repetitions, kAttemptsWithin - 1);
                EXPECT_EQ(o.pausedMs, kBoundMs);
                if (HasFailure()) break;
            }
            for (uint32_t code : {2u, 19u, 112u}) {
                ForEveryCall(s, fn, code, 1, [&](const Outcome& o) { EXPECT_EQ(o.repetitions, 0u); });
            }
        }
    }
}

TEST_F(VersionFaultTest, UnreadableListIsRecordedAndFailsThePass) {
    const Scenario s = ListMove(0);
    const std::string g = game_;
    const Outcome o = Run(s, FAULT_ReadStream, 1, 5, 1);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.injected, 1u);
    EXPECT_TRUE(quisel::test::LogMatches(
        o.log, quisel::test::MaskedLog({"-------- VersionMove begin ---------\n",
                                        "from: " + g + "\\src\nto: " + g + "\\dst", "read list file list.txt failed\n",
                                        "-------- VersionMove end 0---------\n"})));
    EXPECT_EQ(o.files, s.initial);

    // With force the failed pass falls back to the forced move, which carries the tree.
    const Scenario f = ListMove(1);
    const Outcome forced = Run(f, FAULT_ReadStream, 1, 5, 1);
    EXPECT_EQ(forced.result, 1);
    EXPECT_NE(forced.log.find("read list file list.txt failed\r\n"), std::string::npos) << Printable(forced.log);
    EXPECT_EQ(forced.files, f.successes[1]);
}

TEST_F(VersionFaultTest, ListThatCannotBeOpenedIsRecordedWithItsCode) {
    const Scenario s = ListMove(0);
    const std::string g = game_;
    // The first stream opened is the log; the second is the list.
    const Outcome o = Run(s, FAULT_OpenTextStream, 2, 32, 1);
    EXPECT_EQ(o.result, 0);
    EXPECT_TRUE(quisel::test::LogMatches(
        o.log, quisel::test::MaskedLog({"-------- VersionMove begin ---------\n",
                                        "from: " + g + "\\src\nto: " + g + "\\dst",
                                        "fopen(list.txt, \"r\") FAILED 32\n", "-------- VersionMove end 0---------\n"})));
    EXPECT_EQ(o.files, s.initial);
}

TEST_F(VersionFaultTest, BackupThatCannotTellTheVersionIsWholeTouchesNothing) {
    // Any listed entry's query failing (the marker's too), or the list failing to open or
    // read: the earlier snapshot, which may hold the only copies, stays; a record says why.
    const Scenario s = Backup(true);
    auto untouched = [&](const Outcome& o) {
        if (o.injected == 0) return;  // past the last call
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.files, s.initial);
        EXPECT_NE(o.log, "") << "no record";  // a refused backup writes nothing else
    };
    ForEveryCall(s, FAULT_GetFileAttributesA, 5, 1, untouched);
    for (FaultFn fn : {FAULT_OpenTextStream, FAULT_ReadStream}) {
        const Outcome o = Run(s, fn, 1, 5, 1);
        EXPECT_EQ(o.injected, 1u) << FaultName(fn);
        untouched(o);
    }
}

TEST_F(VersionFaultTest, BackupThatCannotReadTheGameDirectoryTouchesNothing) {
    const Scenario s = Backup(true);
    const Outcome o = Run(s, FAULT_GetCurrentDirectoryA, 1, 5, 1);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.log, "");
    EXPECT_EQ(o.files, s.initial);
}

}  // namespace
