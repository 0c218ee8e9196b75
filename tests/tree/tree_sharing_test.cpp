// The exports meeting a file that another handle holds open without delete sharing, as a
// virus scanner or the game itself does. Only the real Win32 (under Wine here) can hold a
// file so; the exports are called directly, over kernel32 and the C runtime.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frame/quisel.h"
#include "library_state.h"
#include "test_support.h"

namespace quisel::test {
namespace {

using Lines = std::vector<std::string>;

class TreeSharingTest : public ::testing::Test {
protected:
    void SetUp() override {
        CloseLog();
        scratch_ = std::make_unique<TempDir>("quisel-tree-share");
        game_ = *scratch_ / "game";
        MakeDirectories(game_);
        saved_ = CurrentDirectory();
        ASSERT_TRUE(SetCurrentDirectoryA(game_.c_str()));
    }
    void TearDown() override {
        if (held_ != INVALID_HANDLE_VALUE) CloseHandle(held_);
        CloseLog();
        SetCurrentDirectoryA(saved_.c_str());
        scratch_.reset();
    }


    // Opens path as another program would: reading and writing shared, deletion not.
    void Hold(const std::string& relative) {
        held_ = CreateFileA((*scratch_ / ("game/" + relative)).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(held_, INVALID_HANDLE_VALUE) << relative << ": error " << GetLastError();
    }

    void OpenGameLog() {
        LogStream = OpenTextStream((game_ + "\\quisel.log").c_str(), "at");
        ASSERT_NE(LogStream, nullptr);
    }

    // An empty game directory, current, and no log open.
    void Afresh() {
        CloseLog();
        ASSERT_TRUE(SetCurrentDirectoryA(saved_.c_str()));
        RemoveTree(game_);
        MakeDirectories(game_);
        ASSERT_TRUE(SetCurrentDirectoryA(game_.c_str()));
    }

    std::string Log() const {
        const std::string path = *scratch_ / "game/quisel.log";
        return Exists(path) ? ReadFile(path) : "";
    }
    Tree Game() const {
        Tree tree = ListTree(game_);
        tree.erase("quisel.log");
        return tree;
    }

    std::unique_ptr<TempDir> scratch_;
    std::string game_;
    std::string saved_;
    HANDLE held_ = INVALID_HANDLE_VALUE;
};

TEST_F(TreeSharingTest, ClearLeavesAHeldFileAndEveryDirectoryAboveIt) {
    MakeTree(game_, {{"d/a.txt", "a"}, {"d/sub/held.txt", "held"}, {"d/sub/w.txt", "w"}, {"d/z/x.txt", "x"}});
    Hold("d/sub/held.txt");
    // The log as an earlier call left it open in the game directory: the nested level's
    // lines go there rather than opening it inside the tree.
    LogStream = OpenTextStream((game_ + "\\quisel.log").c_str(), "at");
    ASSERT_NE(LogStream, nullptr);

    EXPECT_EQ(ClearDir("d", 1), 0);
    EXPECT_EQ(CurrentDirectory(), game_);
    EXPECT_TRUE(LogMatches(Log(), MaskedLog({"DeleteFile(held.txt) FAILED 32\n", "RemoveDirectory(sub) FAILED 145\n",
                                             "RemoveDirectory(d) FAILED 145\n"})));
    EXPECT_EQ(DescribeTree(Game()), DescribeTree({{"d/", ""}, {"d/sub/", ""}, {"d/sub/held.txt", "held"}}));
}

TEST_F(TreeSharingTest, ForcedMoveStopsAtAHeldFile) {
    MakeTree(game_, {{"src/ver.bin", "m"},
                     {"src/a.txt", "a"},
                     {"src/m/held.txt", "held"},
                     {"src/m/n.txt", "n"},
                     {"src/z.txt", "z"},
                     {"dst/m/", ""}});
    Hold("src/m/held.txt");
    const std::string from = game_ + "\\src";
    const std::string to = game_ + "\\dst";

    EXPECT_EQ(VersionMove(from.c_str(), to.c_str(), "missing.txt", 1), 0);
    EXPECT_EQ(CurrentDirectory(), game_);
    EXPECT_TRUE(LogMatches(
        Log(), MaskedLog({"-------- VersionMove begin ---------\n", "from: " + from + "\nto: " + to,
                          "fopen(missing.txt, \"r\") FAILED 2\n",
                          "---------- ForceMove(" + from + ", " + to + ") begin -------------\n",
                          "MoveFile(" + from + "\\a.txt, " + to + "\\a.txt) SUCCEED !!!\n",
                          "MoveFile(" + from + "\\m\\held.txt, " + to + "\\m\\held.txt) FAILED 32\n",
                          "--------- ForceMove(" + from + ", " + to + ") 0 --------\n",
                          "-------- VersionMove end 0---------\n"})));
    EXPECT_EQ(DescribeTree(Game()), DescribeTree({{"src/", ""},
                                                  {"src/ver.bin", "m"},
                                                  {"src/m/", ""},
                                                  {"src/m/held.txt", "held"},
                                                  {"src/m/n.txt", "n"},
                                                  {"src/z.txt", "z"},
                                                  {"dst/", ""},
                                                  {"dst/a.txt", "a"},
                                                  {"dst/m/", ""}}));
}

// A game of 50 listed files, one of them held by another program while a backup, a forced
// restore and a clearing run. Held for a moment (released 300 ms after the file listed
// before it has gone, or after the clearing began), the call waits it out: it returns 1
// and leaves the same trees and log as a run with nothing held. Held for good, it gives
// up within its bound with the record it always wrote, and keeps every file.
struct HeldCase {
    const char* name;
    Tree game;
    std::function<int(const std::string& game)> call;
    std::string held;      // below the game directory
    std::string watch;     // the hold's moment starts when this is gone ("" at the call)
    std::string record;    // the lasting failure's record, game directory as G
    bool clears = false;   // a clearing deletes: only the held file must stay
};

// The version's 50 files and ver.bin below prefix, and the list naming them there.
Tree Version(const std::string& prefix, const std::string& list) {
    Tree tree = {{prefix + "ver.bin", "v"}};
    std::string names;
    for (int i = 0; i < 50; ++i) {
        const std::string name = std::string("data/f") + (i < 10 ? "0" : "") + std::to_string(i) + ".txt";
        tree[prefix + name] = std::to_string(i);
        names += Backslashed(name) + "\r\n";
    }
    tree[prefix + list] = names + "ver.bin\r\n";
    return tree;
}

Tree With(Tree tree, const Tree& more) {
    tree.insert(more.begin(), more.end());
    return tree;
}

const std::vector<HeldCase>& HeldCases() {
    static const std::vector<HeldCase> cases = {
        {"backup", With(Version("", "backuplist.txt"), {{"newlist.txt", "ver.bin\r\n"}}),
         [](const std::string&) { return VersionBackup(0); }, "data/f25.txt", "data/f24.txt",
         "MoveFile(G\\data\\f25.txt, G\\gameold\\data\\f25.txt) FAILED 32\n"},
        {"forced restore",
         With(Version("gameold/", "newlist.txt"), {{"gameold/backuplist.txt", "ver.bin\r\n"}, {"data/f25.txt", "the update's"}}),
         [](const std::string& game) {
             return VersionMove((game + "\\gameold").c_str(), game.c_str(), (game + "\\gameold\\newlist.txt").c_str(), 1);
         },
         "gameold/data/f25.txt", "gameold/data/f24.txt",
         "MoveFile(G\\gameold\\data\\f25.txt, G\\data\\f25.txt) FAILED 32\n"},
        {"clearing", {{"c/a.txt", "a"}, {"c/sub/held.txt", "h"}, {"c/sub/b.txt", "b"}, {"c/z/x.txt", "x"}},
         [](const std::string&) { return ClearDir("c", 1); }, "c/sub/held.txt", "", "DeleteFile(held.txt) FAILED 32\n",
         true},
    };
    return cases;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// Every file's bytes with how often they are there: a version is whole when each of its
// files is somewhere exactly once.
std::map<std::string, int> Contents(const Tree& tree) {
    std::map<std::string, int> count;
    for (const auto& [path, bytes] : tree) {
        if (path.back() != '/' && path.find("list.txt") == std::string::npos) ++count[bytes];
    }
    return count;
}

// Another program, quisel-holder.exe beside this one, holding a file without delete
// sharing: from Holding() on until WATCH is gone and MS milliseconds more (-1: until
// Release()).
class Holder {
public:
    Holder(const std::string& file, const std::string& watch, int ms) {
        static int serial = 0;
        const std::string tag = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
        const std::string heldName = "quisel-held-" + tag, releaseName = "quisel-release-" + tag;
        held_ = CreateEventA(NULL, TRUE, FALSE, heldName.c_str());
        release_ = CreateEventA(NULL, TRUE, FALSE, releaseName.c_str());
        char self[MAX_PATH];
        const DWORD n = GetModuleFileNameA(NULL, self, sizeof self);
        std::string program = std::string(self, n);
        program = program.substr(0, program.find_last_of('\\') + 1) + "quisel-holder.exe";
        std::string command = "\"" + program + "\" \"" + file + "\" \"" + watch + "\" " + std::to_string(ms) + " " +
                              heldName + " " + releaseName;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        started_ = CreateProcessA(program.c_str(), command.data(), NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process_);
    }
    ~Holder() {
        Release();
        if (held_ != NULL) CloseHandle(held_);
        if (release_ != NULL) CloseHandle(release_);
    }
    bool Holding() const { return started_ && WaitForSingleObject(held_, 60000) == WAIT_OBJECT_0; }
    // Lets go (at once when held for good) and waits for the program's end: true when it held
    // and let go as it should.
    bool Release() {
        if (!started_) return false;
        SetEvent(release_);
        DWORD code = 1;
        const bool ended = WaitForSingleObject(process_.hProcess, 60000) == WAIT_OBJECT_0 &&
                           GetExitCodeProcess(process_.hProcess, &code) && code == 0;
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
        started_ = false;
        return ended;
    }

private:
    HANDLE held_ = NULL;
    HANDLE release_ = NULL;
    PROCESS_INFORMATION process_ = {};
    bool started_ = false;
};

TEST_F(TreeSharingTest, AFileHeldForAMomentIsWaitedOutAndOneHeldForGoodFailsInBoundedTime) {
    for (const HeldCase& c : HeldCases()) {
        SCOPED_TRACE(c.name);
        // Nothing held: what the call leaves. The log is open in the game directory, as an
        // earlier call of the launcher's left it.
        MakeTree(game_, c.game);
        OpenGameLog();
        ASSERT_EQ(c.call(game_), 1);
        const Tree reference = Game();
        const std::string referenceLog = Log();
        std::string masked, problem;
        ASSERT_TRUE(MaskLog(referenceLog, &masked, &problem)) << problem;

        for (const bool forGood : {false, true}) {
            SCOPED_TRACE(forGood ? "held for good" : "held for a moment");
            Afresh();
            MakeTree(game_, c.game);
            const Tree before = Game();
            OpenGameLog();
            Holder holder(*scratch_ / ("game/" + c.held), c.watch.empty() ? "-" : *scratch_ / ("game/" + c.watch),
                          forGood ? -1 : 300);
            ASSERT_TRUE(holder.Holding());
            const auto start = std::chrono::steady_clock::now();
            const int result = c.call(game_);
            const auto took = std::chrono::steady_clock::now() - start;
            EXPECT_TRUE(holder.Release());
            EXPECT_EQ(CurrentDirectory(), game_);
            if (!forGood) {
                EXPECT_EQ(result, 1);
                EXPECT_EQ(DescribeTree(Game()), DescribeTree(reference));
                EXPECT_TRUE(LogMatches(Log(), masked));
            } else {
                EXPECT_EQ(result, 0);
                // One second for the list pass; a forced restore's fallback waits once more.
                EXPECT_LT(took, std::chrono::seconds(5));
                EXPECT_NE(Log().find(Replace(Replace(c.record, "G", game_), "\n", "\r\n")), std::string::npos)
                    << Printable(Log());
                EXPECT_EQ(Contents(Game()), c.clears ? Contents({{c.held, before.at(c.held)}}) : Contents(before));
            }
        }
        Afresh();
    }
}

} // namespace
} // namespace quisel::test
