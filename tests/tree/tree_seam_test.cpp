// Directory clearing and the forced tree move called directly over the POSIX layer:
// failures the layer's fault seam makes at chosen calls, links, and paths too long for
// the library's buffers. The forced move is reached as the game reaches it: VersionMove
// with force 1 and a list that does not exist.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault.h"
#include "frame/quisel.h"
#include "library_state.h"
#include "test_support.h"

namespace quisel::test {
namespace {

using Lines = std::vector<std::string>;

Lines Concat(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class TreeSeamTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A walk or a repair loop that never ends kills the program rather than hang it.
        alarm(60);
        FaultReset();
        CloseLog();
        scratch_ = std::make_unique<TempDir>("quisel-tree-seam");
        game_ = *scratch_ / "game";
        MakeDirectories(game_);
        saved_ = CurrentDirectory();
        std::filesystem::current_path(game_);
    }
    void TearDown() override {
        FaultReset();
        CloseLog();
        std::filesystem::current_path(saved_);
        scratch_.reset();
        alarm(0);
    }

    // The log as an earlier call in the game directory would have left it open.
    void OpenGameLog() {
        LogStream = OpenTextStream((game_ + "\\quisel.log").c_str(), "at");
        ASSERT_NE(LogStream, nullptr);
    }

    // A path below the game directory as the launcher passes it.
    std::string In(const std::string& relative) const { return game_ + "\\" + Backslashed(relative); }

    std::string LogAt(const std::string& relative) const {
        const std::string path = game_ + "/" + relative;
        return Exists(path) ? ReadFile(path) : "";
    }
    std::string Log() const { return LogAt("quisel.log"); }

    // Removes everything below the game directory, which stays current.
    void EmptyGame() const {
        for (const auto& entry : std::filesystem::directory_iterator(game_)) RemoveTree(entry.path().string());
    }

    // The tree below the game directory, its log left out.
    Tree Game() const {
        Tree tree = ListTree(game_);
        tree.erase("quisel.log");
        return tree;
    }

    // ClearDir from the game directory; every return restores it.
    int Clear(const std::string& dir, int removeDir) {
        const int result = ClearDir(dir.c_str(), removeDir);
        EXPECT_EQ(CurrentDirectory(), game_);
        return result;
    }

    int Forced(const std::string& from, const std::string& to) {
        const int result = VersionMove(from.c_str(), to.c_str(), "missing.txt", 1);
        EXPECT_EQ(CurrentDirectory(), game_);
        return result;
    }

    static Lines ForcedBegin(const std::string& from, const std::string& to) {
        return {"-------- VersionMove begin ---------\n", "from: " + from + "\nto: " + to,
                "fopen(missing.txt, \"r\") FAILED 2\n",
                "---------- ForceMove(" + from + ", " + to + ") begin -------------\n"};
    }
    static std::string MoveLine(const std::string& from, const std::string& to, const std::string& relative,
                                const std::string& outcome) {
        return "MoveFile(" + from + "\\" + Backslashed(relative) + ", " + to + "\\" + Backslashed(relative) + ") " +
               outcome + "\n";
    }
    static Lines ForcedEnd(const std::string& from, const std::string& to, int result) {
        Lines lines;
        if (result == 1) lines.push_back("CopyFile(" + from + "\\ver.bin, " + to + "\\ver.bin) SUCCEED !!!\n");
        lines.push_back("--------- ForceMove(" + from + ", " + to + ") " + std::to_string(result) + " --------\n");
        lines.push_back("-------- VersionMove end " + std::to_string(result) + "---------\n");
        return lines;
    }

    std::unique_ptr<TempDir> scratch_;
    std::string game_;
    std::string saved_;
};

// ---------------------------------------------------------------------------------
// Directory clearing

TEST_F(TreeSeamTest, ClearKeepsAFileItCannotDeleteAndGoesOn) {
    for (DWORD code : {5u, 32u}) {
        for (int removeDir : {0, 1}) {
            SCOPED_TRACE("code " + std::to_string(code) + ", removeDir " + std::to_string(removeDir));
            MakeTree(game_, {{"d/a.txt", "a"}, {"d/b.txt", "b"}, {"d/sub/c.txt", "c"}});
            FaultArm(FAULT_DeleteFileA, 2, code);
            EXPECT_EQ(Clear("d", removeDir), 0);
            if (removeDir) {
                EXPECT_TRUE(LogMatches(Log(), MaskedLog({"DeleteFile(b.txt) FAILED " + std::to_string(code) + "\n",
                                                         "RemoveDirectory(d) FAILED 145\n"})));
                EXPECT_EQ(DescribeTree(Game()), DescribeTree({{"d/", ""}, {"d/b.txt", "b"}}));
            } else {
                EXPECT_TRUE(LogMatches(Log(), MaskedLog({"DeleteFile(b.txt) FAILED " + std::to_string(code) + "\n"})));
                EXPECT_EQ(DescribeTree(Game()), DescribeTree({{"d/", ""}, {"d/b.txt", "b"}, {"d/sub/", ""}}));
            }
            FaultReset();
            CloseLog();
            RemoveTree(game_ + "/d");
            RemoveTree(game_ + "/quisel.log");
        }
    }
}

// The game still running holds its files for good: each delete is repeated until the
// call has waited its few seconds, and every later one fails at once, as before.
TEST_F(TreeSeamTest, ClearOfManyHeldFilesWaitsOnlyTheCallsBudget) {
    Tree tree = {{"d/", ""}};
    Lines lines;
    for (int i = 0; i < 20; ++i) {
        const std::string name = "f" + std::to_string(100 + i) + ".txt";
        tree["d/" + name] = "x";
        lines.push_back("DeleteFile(" + name + ") FAILED 32\n");
    }
    lines.push_back("RemoveDirectory(d) FAILED 145\n");
    for (int call = 0; call < 2; ++call) {
        SCOPED_TRACE("call " + std::to_string(call + 1));
        MakeTree(game_, tree);
        FaultReset();
        FaultArm(FAULT_DeleteFileA, 1, 32, 1000);
        EXPECT_EQ(Clear("d", 1), 0);
        // 3000 ms: three deletes each waited out their second; each call has its own.
        EXPECT_EQ(FaultPausedMs(), 3000u);
        EXPECT_EQ(FaultRepetitions(), 21u);
        EXPECT_TRUE(LogMatches(Log(), MaskedLog(lines)));
        EXPECT_EQ(DescribeTree(Game()), DescribeTree(tree));
        CloseLog();
        RemoveTree(game_ + "/quisel.log");
    }

    // A directory where a moved file is to replace one is refused with access denied for
    // good: no waiting, and the budget stays for the files that may be held.
    EmptyGame();
    MakeTree(game_, {{"src/x.txt", "x"}, {"dst/x.txt/in.txt", "in"}, {"list.txt", "x.txt\n"}});
    FaultReset();
    EXPECT_EQ(VersionMove(In("src").c_str(), In("dst").c_str(), "list.txt", 0), 0);
    EXPECT_EQ(FaultRepetitions(), 0u);
    EXPECT_NE(Log().find("DeleteFile(" + In("dst\\x.txt") + ") FAILED 5"), std::string::npos) << Printable(Log());
}

TEST_F(TreeSeamTest, ClearNestedFailureWritesWhereTheLogIsOpen) {
    // A nested level's log path lies inside the tree: when its line is the first of the
    // library's life, the log opens there and stays open for the outer levels' lines.
    MakeTree(game_, {{"d/sub/c.txt", "c"}});
    FaultArm(FAULT_DeleteFileA, 1, 5);
    EXPECT_EQ(Clear("d", 1), 0);
    const Lines lines = {"DeleteFile(c.txt) FAILED 5\n", "RemoveDirectory(sub) FAILED 145\n",
                         "RemoveDirectory(d) FAILED 145\n"};
    EXPECT_TRUE(LogMatches(LogAt("d/quisel.log"), MaskedLog(lines)));
    EXPECT_FALSE(Exists(game_ + "/quisel.log"));
    EXPECT_EQ(DescribeTree(Game()), DescribeTree({{"d/", ""},
                                                  {"d/quisel.log", LogAt("d/quisel.log")},
                                                  {"d/sub/", ""},
                                                  {"d/sub/c.txt", "c"}}));

    // With the log already open in the game directory, the same lines go there.
    CloseLog();
    FaultReset();
    RemoveTree(game_ + "/d");
    MakeTree(game_, {{"d/sub/c.txt", "c"}});
    OpenGameLog();
    FaultArm(FAULT_DeleteFileA, 1, 5);
    EXPECT_EQ(Clear("d", 1), 0);
    EXPECT_TRUE(LogMatches(Log(), MaskedLog(lines)));
    EXPECT_EQ(DescribeTree(Game()), DescribeTree({{"d/", ""}, {"d/sub/", ""}, {"d/sub/c.txt", "c"}}));
}

TEST_F(TreeSeamTest, ClearFailuresOfAttributesAndRemovalCount) {
    {
        SCOPED_TRACE("an attribute reset fails, the delete succeeds: 0 and no line");
        MakeTree(game_, {{"d/a.txt", "a"}, {"d/b.txt", "b"}});
        FaultArm(FAULT_SetFileAttributesA, 1, 5);
        EXPECT_EQ(Clear("d", 1), 0);
        EXPECT_FALSE(Exists(game_ + "/quisel.log"));
        EXPECT_EQ(DescribeTree(Game()), DescribeTree({}));
    }
    {
        SCOPED_TRACE("a nested removal fails: its parent cannot be removed either");
        FaultReset();
        MakeTree(game_, {{"d/sub/x.txt", "x"}, {"d/z.txt", "z"}});
        OpenGameLog();
        FaultArm(FAULT_RemoveDirectoryA, 1, 5);
        EXPECT_EQ(Clear("d", 1), 0);
        EXPECT_TRUE(
            LogMatches(Log(), MaskedLog({"RemoveDirectory(sub) FAILED 5\n", "RemoveDirectory(d) FAILED 145\n"})));
        EXPECT_EQ(DescribeTree(Game()), DescribeTree({{"d/", ""}, {"d/sub/", ""}}));
    }
}

TEST_F(TreeSeamTest, ClearStartFailuresTouchNothing) {
    MakeTree(game_, {{"d/a.txt", "a"}});
    const Tree before = Game();
    {
        SCOPED_TRACE("the current directory cannot be read");
        FaultArm(FAULT_GetCurrentDirectoryA, 1, 5);
        EXPECT_EQ(Clear("d", 1), 0);
        EXPECT_EQ(FaultCalls(FAULT_SetCurrentDirectoryA), 0u);
    }
    {
        SCOPED_TRACE("the enumeration cannot start: no line, no removal");
        FaultReset();
        FaultArm(FAULT_FindFirstFileA, 1, 5);
        EXPECT_EQ(Clear("d", 1), 0);
        EXPECT_EQ(FaultCalls(FAULT_RemoveDirectoryA), 0u);
    }
    EXPECT_FALSE(Exists(game_ + "/quisel.log"));
    EXPECT_EQ(DescribeTree(Game()), DescribeTree(before));
}

TEST_F(TreeSeamTest, FailedChangeBackIsReportedAndNothingActsOnTheWrongDirectory) {
    // Changes: into "d", into and out of "d\\d", into and out of "d\\sub", then back
    // out of "d": that sixth one fails, so the caller is left in "d".
    MakeTree(game_, {{"d/sub/x.txt", "x"}, {"d/y.txt", "y"}, {"d/d/", ""}});  // "d\\d" goes first
    OpenGameLog();
    FaultArm(FAULT_SetCurrentDirectoryA, 6, 5);
    EXPECT_EQ(ClearDir("d", 1), 0);
    EXPECT_EQ(CurrentDirectory(), game_ + "/d");
    std::filesystem::current_path(game_);
    // "d" by its relative name would now resolve inside "d" itself: its removal is not tried.
    EXPECT_EQ(FaultCalls(FAULT_RemoveDirectoryA), 2u);
    EXPECT_TRUE(LogMatches(Log(), MaskedLog({"SetCurrentDirectory(" + game_ + ") FAILED 5\n"})));
    EXPECT_EQ(DescribeTree(Game()), DescribeTree({{"d/", ""}}));
}

TEST_F(TreeSeamTest, ClearHandlesTheLastEntryAgainAfterAFailedRequest) {
    {
        SCOPED_TRACE("after a file: its second delete finds it gone");
        MakeTree(game_, {{"d/a.txt", "a"}, {"d/b.txt", "b"}});
        // Requests 1 and 2 give ".." and "a.txt"; the third fails once.
        FaultArm(FAULT_FindNextFileA, 3, 31);
        EXPECT_EQ(Clear("d", 1), 0);
        EXPECT_TRUE(LogMatches(Log(), MaskedLog({"DeleteFile(a.txt) FAILED 2\n"})));
        EXPECT_EQ(DescribeTree(Game()), DescribeTree({}));
    }
    {
        SCOPED_TRACE("after a removed directory: entering it again fails");
        FaultReset();
        CloseLog();
        RemoveTree(game_ + "/quisel.log");
        MakeTree(game_, {{"d/sub/x.txt", "x"}, {"d/z.txt", "z"}});
        OpenGameLog();
        // d: "..", "sub" (sub: "..", "x.txt", end), then the request after "sub" fails.
        FaultArm(FAULT_FindNextFileA, 6, 31);
        EXPECT_EQ(Clear("d", 1), 0);
        EXPECT_TRUE(LogMatches(Log(), MaskedLog({"SetCurrentDirectory(sub) FAILED 2\n"})));
        EXPECT_EQ(DescribeTree(Game()), DescribeTree({}));
    }
}

TEST_F(TreeSeamTest, ClearStopsAskingAfterThreeFailedRequestsInARow) {
    MakeTree(game_, {{"d/a.txt", "a"}, {"d/b.txt", "b"}, {"d/c.txt", "c"}});
    FaultArm(FAULT_FindNextFileA, 3, 31, 1000);
    EXPECT_EQ(Clear("d", 1), 0);
    EXPECT_EQ(FaultCalls(FAULT_FindNextFileA), 5u);
    EXPECT_TRUE(LogMatches(Log(), MaskedLog({"DeleteFile(a.txt) FAILED 2\n", "DeleteFile(a.txt) FAILED 2\n",
                                             "FindNextFile(d) FAILED 31\n", "RemoveDirectory(d) FAILED 145\n"})));
    EXPECT_EQ(DescribeTree(Game()), DescribeTree({{"d/", ""}, {"d/b.txt", "b"}, {"d/c.txt", "c"}}));
}

TEST_F(TreeSeamTest, ClearDeletesALinkNeverWhatItPointsTo) {
    MakeTree(game_, {{"outside/keep.txt", "keep"}, {"outside/deep/k2.txt", "k2"}, {"d/a.txt", "a"}});
    ASSERT_EQ(symlink((game_ + "/outside").c_str(), (game_ + "/d/link").c_str()), 0);
    ASSERT_EQ(symlink("outside/keep.txt", (game_ + "/d/filelink").c_str()), 0);
    EXPECT_EQ(Clear("d", 1), 1);
    EXPECT_EQ(DescribeTree(Game()), DescribeTree({{"outside/", ""},
                                                  {"outside/keep.txt", "keep"},
                                                  {"outside/deep/", ""},
                                                  {"outside/deep/k2.txt", "k2"}}));
}

TEST_F(TreeSeamTest, ClearOfTreesDeeperThanThePathBuffer) {
    // Level lengths from the game directory: the level inside "a" has a current
    // directory that fits 260 but a log path that does not, so it writes to its
    // caller's log (the one of the level inside "d"); the level below it cannot even
    // read its current directory, and is never entered.
    const size_t base = (game_ + "/d/").size();
    ASSERT_LT(base, 200u);
    const std::string a(255 - base, 'a');
    const std::string b = "bbbbbbbb";
    MakeTree(game_, {{"d/x.txt", "x"},
                     {"d/" + a + "/y.txt", "y"},
                     {"d/" + a + "/" + b + "/z.txt", "z"},
                     {"d/" + a + "/" + b + "/c/kept.txt", "kept"}});
    EXPECT_EQ(Clear("d", 1), 0);
    EXPECT_EQ(FaultCalls(FAULT_FindFirstFileA), 3u);
    EXPECT_TRUE(LogMatches(LogAt("d/quisel.log"),
                           MaskedLog({"GetCurrentDirectory(260, ) FAILED 206\n",
                                      "RemoveDirectory(" + b + ") FAILED 145\n",
                                      "RemoveDirectory(" + a + ") FAILED 145\n",
                                      "RemoveDirectory(d) FAILED 145\n"})));
    EXPECT_EQ(DescribeTree(Game()), DescribeTree({{"d/", ""},
                                                  {"d/quisel.log", LogAt("d/quisel.log")},
                                                  {"d/" + a + "/", ""},
                                                  {"d/" + a + "/" + b + "/", ""},
                                                  {"d/" + a + "/" + b + "/c/", ""},
                                                  {"d/" + a + "/" + b + "/c/kept.txt", "kept"}}));
}

TEST_F(TreeSeamTest, ClearNeedsRoomForItsLogPath) {
    // "\quisel.log" behind a current directory of 248 characters just fits 260; behind
    // 249 it would not, and nothing may run without a place for its records.
    for (size_t length : {248u, 249u}) {
        SCOPED_TRACE(length);
        const std::string deep = game_ + "/" + std::string(length - game_.size() - 1, 'w');
        ASSERT_EQ(deep.size(), length);
        MakeTree(deep, {{"d/a.txt", "a"}, {"d/s/gone", ""}});
        std::filesystem::current_path(deep);
        FaultReset();
        // The first delete fails, so there is a record to write.
        FaultArm(FAULT_DeleteFileA, 1, 5);
        const int result = ClearDir("d", 0);
        EXPECT_EQ(CurrentDirectory(), deep);
        std::filesystem::current_path(game_);
        EXPECT_EQ(result, 0);
        if (length == 248) {
            EXPECT_TRUE(LogMatches(ReadFile(deep + "/quisel.log"), MaskedLog({"DeleteFile(a.txt) FAILED 5\n"})));
            EXPECT_EQ(DescribeTree(ListTree(deep + "/d")), DescribeTree({{"a.txt", "a"}, {"s/", ""}}));
        } else {
            EXPECT_EQ(FaultCalls(FAULT_SetCurrentDirectoryA), 0u);
            EXPECT_EQ(DescribeTree(ListTree(deep)), DescribeTree({{"d/", ""}, {"d/a.txt", "a"}, {"d/s/", ""},
                                                                  {"d/s/gone", ""}}));
        }
        CloseLog();
    }
}

TEST_F(TreeSeamTest, ClearSurvivesAFailureAtAnyCall) {
    const Tree tree = {{"d/a.txt", "a"}, {"d/s/b.txt", "b"}, {"d/s/t/c.txt", "c"}, {"d/e/", ""}, {"keep.txt", "k"}};
    MakeTree(game_, tree);
    ASSERT_EQ(Clear("d", 1), 1);
    const uint32_t clean = FaultCalls(FAULT_ANY);
    EmptyGame();

    uint32_t n = 1;
    for (;; ++n) {
        ASSERT_LE(n, clean * 4) << "the runs keep seeing faults";
        SCOPED_TRACE("fault at call " + std::to_string(n));
        EmptyGame();
        MakeTree(game_, tree);
        CloseLog();
        FaultReset();
        FaultArm(FAULT_ANY, n, 5);
        const int result = ClearDir("d", 1);
        const bool injected = FaultsInjected() != 0;
        FaultReset();
        CloseLog();
        const std::string cwd = CurrentDirectory();
        std::filesystem::current_path(game_);
        if (!injected) {
            EXPECT_EQ(result, 1);
            break;
        }
        // Only a failed change back (reported, result 0) may leave the walk elsewhere.
        if (cwd != game_) {
            EXPECT_EQ(cwd.rfind(game_ + "/d", 0), 0u) << cwd;
        }
        // Whatever is left is intact, and 1 means everything went.
        Tree left = ListTree(game_);
        for (const auto& [path, bytes] : left) {
            if (path.back() == '/' || path.find("quisel.log") != std::string::npos) continue;
            ASSERT_TRUE(tree.count(path)) << path;
            EXPECT_EQ(bytes, tree.at(path)) << path;
        }
        EXPECT_EQ(left.count("keep.txt"), 1u);
        if (result == 1) {
            left.erase("quisel.log");
            EXPECT_EQ(DescribeTree(left), DescribeTree({{"keep.txt", "k"}}));
        }
        EmptyGame();
    }
    EXPECT_GE(n, clean);
}

// ---------------------------------------------------------------------------------
// The forced move

TEST_F(TreeSeamTest, ForcedMoveStopsAtAFileItCannotMove) {
    for (DWORD code : {32u, 5u}) {
        SCOPED_TRACE("code " + std::to_string(code));
        MakeTree(game_, {{"src/ver.bin", "m"},
                         {"src/a.txt", "a"},
                         {"src/b.txt", "b"},
                         {"src/c/d.txt", "d"},
                         {"src/e.txt", "e"},
                         {"dst/", ""}});
        const std::string from = In("src"), to = In("dst");
        // With the destination there, every file moves at its first try.
        FaultArm(FAULT_MoveFileA, 2, code);
        EXPECT_EQ(Forced(from, to), 0);
        EXPECT_TRUE(LogMatches(
            Log(), MaskedLog(Concat({ForcedBegin(from, to),
                                     {MoveLine(from, to, "a.txt", "SUCCEED !!!"),
                                      MoveLine(from, to, "b.txt", "FAILED " + std::to_string(code))},
                                     ForcedEnd(from, to, 0)}))));
        EXPECT_EQ(DescribeTree(Game()), DescribeTree({{"src/", ""},
                                                      {"src/ver.bin", "m"},
                                                      {"src/b.txt", "b"},
                                                      {"src/c/", ""},
                                                      {"src/c/d.txt", "d"},
                                                      {"src/e.txt", "e"},
                                                      {"dst/", ""},
                                                      {"dst/a.txt", "a"}}));
        FaultReset();
        CloseLog();
        EmptyGame();
    }
}

TEST_F(TreeSeamTest, ForcedMoveStopsAtAFailedRepair) {
    struct Case {
        const char* what;
        FaultFn fn;
        std::string line;  // relative to the destination root
    };
    const std::string from = In("src"), to = In("dst");
    const std::vector<Case> cases = {
        // The pass creates every level below the working directory, existing ones too.
        {"a directory cannot be created", FAULT_CreateDirectoryA, "CreateDirectory(" + to + ") FAILED 5\n"},
        {"an existing file cannot be made normal", FAULT_SetFileAttributesA,
         "SetFileAttributes(" + to + "\\sub\\x.txt, FILE_ATTRIBUTE_NORMAL) FAILED 5\n"},
        {"an existing file cannot be deleted", FAULT_DeleteFileA, "DeleteFile(" + to + "\\sub\\x.txt) FAILED 5\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // dst exists; dst\sub must be created for y.txt or replaced into for x.txt.
        MakeTree(game_, {{"src/ver.bin", "m"}, {"src/sub/x.txt", "new"}, {"src/z.txt", "z"}, {"dst/", ""}});
        if (c.fn != FAULT_CreateDirectoryA) MakeTree(game_, {{"dst/sub/x.txt", "old"}});
        const Tree before = Game();
        FaultArm(c.fn, 1, 5);
        EXPECT_EQ(Forced(from, to), 0);
        EXPECT_TRUE(LogMatches(Log(), MaskedLog(Concat({ForcedBegin(from, to), {c.line}, ForcedEnd(from, to, 0)}))));
        EXPECT_EQ(DescribeTree(Game()), DescribeTree(before));
        FaultReset();
        CloseLog();
        EmptyGame();
    }
}

TEST_F(TreeSeamTest, ForcedMoveStopsAtAFailedNextEntryRequest) {
    MakeTree(game_, {{"src/ver.bin", "m"}, {"src/a.txt", "a"}, {"src/b.txt", "b"}});
    const std::string from = In("src"), to = In("dst");
    // Requests 1 and 2 give ".." and "a.txt"; the one after "a.txt" fails.
    FaultArm(FAULT_FindNextFileA, 3, 31);
    EXPECT_EQ(Forced(from, to), 0);
    EXPECT_EQ(FaultCalls(FAULT_FindNextFileA), 3u);
    EXPECT_TRUE(LogMatches(Log(), MaskedLog(Concat({ForcedBegin(from, to),
                                                    {MoveLine(from, to, "a.txt", "SUCCEED !!!")},
                                                    ForcedEnd(from, to, 0)}))));
    EXPECT_EQ(DescribeTree(Game()),
              DescribeTree({{"src/", ""}, {"src/ver.bin", "m"}, {"src/b.txt", "b"}, {"dst/", ""}, {"dst/a.txt", "a"}}));
}

TEST_F(TreeSeamTest, ForcedMoveGivesUpOnAPathThatStaysMissing) {
    MakeTree(game_, {{"src1/a/x.txt", "x"}, {"src1/w.txt", "w"}, {"dst1/a", "a file"}, {"src2/f.txt", "f"}});
    const Tree before = Game();
    {
        SCOPED_TRACE("a destination level that is a file");
        const std::string from = In("src1"), to = In("dst1");
        EXPECT_EQ(Forced(from, to), 0);
        EXPECT_EQ(FaultCalls(FAULT_MoveFileA), 2u);
        EXPECT_EQ(FaultCalls(FAULT_CreateDirectoryA), 2u);
        EXPECT_TRUE(LogMatches(Log(), MaskedLog(Concat({ForcedBegin(from, to),
                                                        {MoveLine(from, to, "a\\x.txt", "FAILED 3")},
                                                        ForcedEnd(from, to, 0)}))));
    }
    {
        SCOPED_TRACE("a relative source, missing as seen from inside itself");
        CloseLog();
        RemoveTree(game_ + "/quisel.log");
        FaultReset();
        EXPECT_EQ(Forced("src2", "dst2"), 0);
        EXPECT_EQ(FaultCalls(FAULT_MoveFileA), 2u);
        EXPECT_TRUE(LogMatches(Log(), MaskedLog(Concat({ForcedBegin("src2", "dst2"),
                                                        {MoveLine("src2", "dst2", "f.txt", "FAILED 3")},
                                                        ForcedEnd("src2", "dst2", 0)}))));
    }
    EXPECT_EQ(DescribeTree(Game()), DescribeTree(before));
}

TEST_F(TreeSeamTest, ForcedMoveCarriesLinksAsLinks) {
    MakeTree(game_, {{"outside/keep.txt", "keep"}, {"src/ver.bin", "m"}, {"src/a.txt", "a"}});
    ASSERT_EQ(symlink((game_ + "/outside").c_str(), (game_ + "/src/link").c_str()), 0);
    ASSERT_EQ(symlink("a.txt", (game_ + "/src/rel").c_str()), 0);
    const std::string from = In("src"), to = In("dst");
    EXPECT_EQ(Forced(from, to), 1);
    EXPECT_TRUE(LogMatches(Log(), MaskedLog(Concat({ForcedBegin(from, to),
                                                    {MoveLine(from, to, "a.txt", "SUCCEED !!!"),
                                                     MoveLine(from, to, "link", "SUCCEED !!!"),
                                                     MoveLine(from, to, "rel", "SUCCEED !!!")},
                                                    ForcedEnd(from, to, 1)}))));
    EXPECT_EQ(DescribeTree(Game()), DescribeTree({{"outside/", ""},
                                                  {"outside/keep.txt", "keep"},
                                                  {"src/", ""},
                                                  {"dst/", ""},
                                                  {"dst/ver.bin", "m"},
                                                  {"dst/a.txt", "a"},
                                                  {"dst/link@", game_ + "/outside"},
                                                  {"dst/rel@", "a.txt"}}));
}

TEST_F(TreeSeamTest, ForcedMoveRefusesPathsTooLongForItsBuffers) {
    const std::string from = In("s");
    const size_t root = from.size() + 1;  // "...\s\"
    {
        SCOPED_TRACE("a joined source path of 260 characters");
        // "<root><long>\" is 256 characters: the name behind it makes 260.
        const std::string longDir(255 - root, 'L');
        MakeTree(game_, {{"s/ver.bin", "m"}, {"s/a.txt", "a"}, {"s/" + longDir + "/abcd", "x"}, {"s/z.txt", "z"}});
        const std::string to = In("d");
        EXPECT_EQ(Forced(from, to), 0);
        EXPECT_TRUE(LogMatches(Log(), MaskedLog(Concat({ForcedBegin(from, to),
                                                        {MoveLine(from, to, "a.txt", "SUCCEED !!!"),
                                                         "filename length too big\n"},
                                                        ForcedEnd(from, to, 0)}))));
        EXPECT_EQ(DescribeTree(Game()), DescribeTree({{"s/", ""},
                                                      {"s/ver.bin", "m"},
                                                      {"s/" + longDir + "/", ""},
                                                      {"s/" + longDir + "/abcd", "x"},
                                                      {"s/z.txt", "z"},
                                                      {"d/", ""},
                                                      {"d/a.txt", "a"}}));
    }
    CloseLog();
    EmptyGame();
    {
        SCOPED_TRACE("a source path of 259 characters whose destination path is longer");
        const std::string longDir(255 - root, 'L');
        MakeTree(game_, {{"s/ver.bin", "m"}, {"s/" + longDir + "/abc", "x"}, {"s/z.txt", "z"}});
        ASSERT_EQ((from + "\\" + longDir + "\\abc").size(), 259u);
        const Tree before = Game();
        const std::string to = In("dd");
        FaultReset();
        EXPECT_EQ(Forced(from, to), 0);
        EXPECT_EQ(FaultCalls(FAULT_MoveFileA), 0u);
        EXPECT_TRUE(LogMatches(
            Log(), MaskedLog(Concat({ForcedBegin(from, to), {"filename length too big\n"}, ForcedEnd(from, to, 0)}))));
        EXPECT_EQ(DescribeTree(Game()), DescribeTree(before));
    }
}

TEST_F(TreeSeamTest, ForcedMoveSurvivesAFailureAtAnyCall) {
    // Files at three levels, an empty directory, and one destination file to replace.
    const Tree files = {{"a.txt", "a"}, {"sub/b.txt", "b"}, {"sub/deeper/c.txt", "c"}, {"z.txt", "new z"}};
    const std::string from = In("src"), to = In("dst");
    auto make = [&] {
        MakeTree(game_ + "/src", files);
        MakeTree(game_, {{"src/ver.bin", "m"}, {"src/empty/", ""}, {"dst/z.txt", "old z"}, {"dst/sub/", ""}});
    };
    make();
    ASSERT_EQ(Forced(from, to), 1);
    const uint32_t clean = FaultCalls(FAULT_ANY);
    const Tree done = Game();
    EmptyGame();

    for (DWORD code : {5u, 3u, 183u}) {
        uint32_t n = 1;
        for (;; ++n) {
            ASSERT_LE(n, clean * 4) << "the runs keep seeing faults";
            SCOPED_TRACE("code " + std::to_string(code) + " at call " + std::to_string(n));
            EmptyGame();
            make();
            CloseLog();
            FaultReset();
            FaultArm(FAULT_ANY, n, code);
            const int result = VersionMove(from.c_str(), to.c_str(), "missing.txt", 1);
            const bool injected = FaultsInjected() != 0;
            FaultReset();
            CloseLog();
            const std::string cwd = CurrentDirectory();
            std::filesystem::current_path(game_);
            if (!injected) {
                EXPECT_EQ(result, 1);
                break;
            }
            if (cwd != game_) {
                EXPECT_EQ(cwd.rfind(game_ + "/src", 0), 0u) << cwd;
            }

            // Each file exactly once, bytes intact; the marker is copied before it is
            // deleted, so it may be at both ends after a failure.
            const Tree now = Game();
            for (const auto& [path, bytes] : files) {
                const bool atSource = now.count("src/" + path) != 0;
                const bool atDestination = now.count("dst/" + path) && now.at("dst/" + path) == bytes;
                EXPECT_NE(atSource, atDestination) << path << "\n" << DescribeTree(now);
                if (atSource) {
                    EXPECT_EQ(now.at("src/" + path), bytes) << path;
                }
            }
            if (now.count("dst/z.txt") && now.at("dst/z.txt") != "new z") {
                EXPECT_EQ(now.at("dst/z.txt"), "old z");
            }
            EXPECT_TRUE(now.count("src/ver.bin") || now.count("dst/ver.bin")) << DescribeTree(now);
            for (const char* marker : {"src/ver.bin", "dst/ver.bin"}) {
                if (now.count(marker)) {
                    EXPECT_EQ(now.at(marker), "m");
                }
            }
            // Success is never reported for a move left undone.
            if (result == 1) {
                EXPECT_EQ(DescribeTree(now), DescribeTree(done));
            }
            EmptyGame();
        }
        EXPECT_GE(n, clean);
    }
}

TEST_F(TreeSeamTest, ForcedMoveFailsForEveryFailedCallThatMatters) {
    // The same walk with a fault at each call of each function in turn: here it is known
    // which call failed, so the result and the current directory can be told exactly.
    const std::string from = In("src"), to = In("dst");
    auto make = [&] {
        MakeTree(game_, {{"src/ver.bin", "m"},
                         {"src/a.txt", "a"},
                         {"src/sub/b.txt", "b"},
                         {"src/sub/deeper/c.txt", "c"},
                         {"src/z.txt", "new z"},
                         {"dst/z.txt", "old z"}});
    };
    make();
    ASSERT_EQ(Forced(from, to), 1);
    const Tree done = Game();
    EmptyGame();

    for (int f = FAULT_ANY + 1; f < FAULT_COUNT; ++f) {
        const FaultFn fn = static_cast<FaultFn>(f);
        for (uint32_t k = 1;; ++k) {
            ASSERT_LE(k, 200u);
            SCOPED_TRACE(std::string(FaultName(fn)) + " call " + std::to_string(k));
            make();
            CloseLog();
            FaultReset();
            FaultArm(fn, k, 5);
            const int result = VersionMove(from.c_str(), to.c_str(), "missing.txt", 1);
            const bool injected = FaultsInjected() != 0;
            const bool lastCall = k == FaultCalls(fn);
            FaultReset();
            CloseLog();
            const std::string cwd = CurrentDirectory();
            std::filesystem::current_path(game_);
            const std::string log = Log();
            const Tree now = Game();
            EmptyGame();
            if (!injected) break;

            if (fn == FAULT_SetCurrentDirectoryA) {
                // Every failed change, into a level or back out of one, is named.
                EXPECT_NE(log.find("SetCurrentDirectory("), std::string::npos) << Printable(log);
            }
            if (log.find("SetCurrentDirectory(" + game_ + ") FAILED 5\r\n") != std::string::npos) {
                // Only the top level's change back can leave the caller elsewhere: no
                // level above can make it good.
                EXPECT_TRUE(lastCall);
                EXPECT_EQ(cwd, game_ + "/src");
            } else {
                EXPECT_EQ(cwd, game_);
            }
            if (fn == FAULT_OpenTextStream || fn == FAULT_WriteStream) {
                // A lost record or the list's open: the move goes on.
                EXPECT_EQ(result, 1);
                EXPECT_EQ(DescribeTree(now), DescribeTree(done));
            } else {
                EXPECT_EQ(result, 0) << Printable(log);
            }
        }
    }
}

} // namespace
} // namespace quisel::test
