// Directory clearing and the forced tree move meeting a file that another handle holds
// open without delete sharing. Only the real Win32 (under Wine here) can hold a file so;
// the exports are called directly, over kernel32 and the C runtime.
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

} // namespace
} // namespace quisel::test
