// Path lengths at their edges, natively, with directories of exact lengths under /tmp:
// the game directory of a backup, the working directory and the roots of a version
// move, and a destination root that leaves no room for an entry.
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frame/quisel.h"
#include "library_state.h"
#include "test_support.h"

namespace {

using quisel::test::DescribeTree;
using quisel::test::Exists;
using quisel::test::ListTree;
using quisel::test::LogMatches;
using quisel::test::MakeDirectories;
using quisel::test::MakeTree;
using quisel::test::MaskedLog;
using quisel::test::Printable;
using quisel::test::ReadFile;
using quisel::test::TempDir;
using quisel::test::Tree;

using quisel::test::CloseLog;

using quisel::test::CurrentDirectory;

// A directory below base whose absolute path has exactly length characters; tag tells
// directories of the same length apart.
std::string DirOfLength(const std::string& base, size_t length, char tag) {
    std::string path = base + "/" + tag;
    while (length - path.size() > 201) path += "/" + std::string(150, tag);
    if (path.size() < length) {
        EXPECT_GE(length - path.size(), 2u);
        path += "/" + std::string(length - path.size() - 1, tag);
    }
    EXPECT_EQ(path.size(), length);
    MakeDirectories(path);
    return path;
}

// The same with levels named in ch, a character of one UTF-16 unit and several bytes: a
// path of `units` units below an ASCII base.
std::string DirOfUnits(const std::string& base, size_t units, const std::string& ch) {
    const size_t rest = units - base.size();  // each level: a separator and its characters
    const size_t levels = (rest + 80) / 81;
    std::string path = base;
    size_t left = rest - levels;
    for (size_t i = 0; i < levels; ++i) {
        const size_t n = left / (levels - i);
        path += "/";
        for (size_t k = 0; k < n; ++k) path += ch;
        left -= n;
    }
    MakeDirectories(path);
    return path;
}

std::string Begin() { return "-------- VersionMove begin ---------\n"; }
std::string FromTo(const std::string& from, const std::string& to) { return "from: " + from + "\nto: " + to; }
std::string End(int result) { return "-------- VersionMove end " + std::to_string(result) + "---------\n"; }

class VersionLengthTest : public ::testing::Test {
protected:
    void SetUp() override {
        scratch_ = std::make_unique<TempDir>("quisel-vlen");
        saved_ = CurrentDirectory();
        CloseLog();
    }
    void TearDown() override {
        CloseLog();
        if (chdir(saved_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << saved_;
    }
    // Calls f with dir current, checks that dir is current again afterwards.
    template <typename F>
    int In(const std::string& dir, F f) {
        EXPECT_EQ(chdir(dir.c_str()), 0) << dir;
        const int result = f();
        EXPECT_EQ(CurrentDirectory(), dir);
        EXPECT_EQ(chdir(saved_.c_str()), 0);
        CloseLog();
        return result;
    }
    std::string Log(const std::string& dir) const {
        return Exists(dir + "/quisel.log") ? ReadFile(dir + "/quisel.log") : "";
    }

    std::unique_ptr<TempDir> scratch_;
    std::string saved_;
};

const Tree kGame = {{"newlist.txt", "a.txt\n"}, {"backuplist.txt", "a.txt\nver.bin\n"}, {"a.txt", "A"},
                    {"ver.bin", "V"}};

TEST_F(VersionLengthTest, BackupTakesAGameDirectoryOf236AndRefusesLongerOnesUntouched) {
    // 236 leaves room for the longest path a backup builds: "\gamenew\backuplist.txt".
    const std::string fits = DirOfLength(scratch_->path(), 236, 'f');
    MakeTree(fits, kGame);
    EXPECT_EQ(In(fits, [] { return VersionBackup(1); }), 1) << Printable(Log(fits));
    EXPECT_EQ(ReadFile(fits + "/gamenew/backuplist.txt"), "a.txt\n");
    EXPECT_EQ(ReadFile(fits + "/gamenew/newlist.txt"), "a.txt\nver.bin\n");
    EXPECT_EQ(ReadFile(fits + "/gamenew/a.txt"), "A");
    EXPECT_EQ(ReadFile(fits + "/gamenew/ver.bin"), "V");
    EXPECT_FALSE(Exists(fits + "/a.txt"));

    // Too long for its paths, and too long to be read into the buffer at all: nothing
    // is touched, not even the log.
    for (size_t length : {237, 259, 260, 300}) {
        SCOPED_TRACE(length);
        const std::string over = DirOfLength(scratch_->path(), length, static_cast<char>('g' + length % 7));
        MakeTree(over, kGame);
        const Tree before = ListTree(over);
        EXPECT_EQ(In(over, [] { return VersionBackup(0); }), 0);
        EXPECT_EQ(DescribeTree(ListTree(over)), DescribeTree(before));
    }

    // The limit counts characters, not bytes: 236 CJK characters (some 700 bytes) back up,
    // 237 do not.
    for (size_t units : {236, 237}) {
        SCOPED_TRACE(std::to_string(units) + " CJK characters");
        const std::string game = DirOfUnits(scratch_->path() + (units == 236 ? "/c" : "/d"), units, "表");
        MakeTree(game, kGame);
        const Tree before = ListTree(game);
        EXPECT_EQ(In(game, [] { return VersionBackup(1); }), units == 236 ? 1 : 0) << Printable(Log(game));
        EXPECT_EQ(Exists(game + "/gamenew/a.txt"), units == 236);
        if (units == 237) {
            EXPECT_EQ(DescribeTree(ListTree(game)), DescribeTree(before));
        }
    }
}

TEST_F(VersionLengthTest, VersionMoveNeedsRoomForItsLogPathInTheWorkingDirectory) {
    // "\quisel.log" behind 248 characters just fits a path buffer; behind 249 it does not.
    for (size_t length : {248, 249}) {
        SCOPED_TRACE(length);
        const std::string work = DirOfLength(scratch_->path(), length, length == 248 ? 'w' : 'x');
        MakeTree(work, {{"s/a.t", "A"}, {"s/ver.bin", "V"}, {"d/", ""}, {"l", "a.t\nver.bin\n"}});
        const std::string from = work + "\\s", to = work + "\\d";
        const int result = In(work, [&] { return VersionMove(from.c_str(), to.c_str(), "l", 1); });
        if (length == 248) {
            EXPECT_EQ(result, 1);
            EXPECT_TRUE(LogMatches(Log(work), MaskedLog({Begin(), FromTo(from, to),
                                                         "MoveFile(" + from + "\\a.t, " + to + "\\a.t) SUCCEED !!!\n",
                                                         FromTo(from, to),
                                                         "CopyFile(" + from + "\\ver.bin, " + to +
                                                             "\\ver.bin) SUCCEED !!!\n",
                                                         End(1)})));
            EXPECT_EQ(DescribeTree(ListTree(work + "/d")), DescribeTree({{"a.t", "A"}, {"ver.bin", "V"}}));
        } else {
            EXPECT_EQ(result, 0);
            EXPECT_FALSE(Exists(work + "/quisel.log"));
            EXPECT_EQ(DescribeTree(ListTree(work + "/s")), DescribeTree({{"a.t", "A"}, {"ver.bin", "V"}}));
            EXPECT_EQ(DescribeTree(ListTree(work + "/d")), DescribeTree({}));
        }
    }
}

TEST_F(VersionLengthTest, RootsOf251AreTakenAnd252Refused) {
    // 251 characters leave room for "\ver.bin" behind a root.
    const std::string work = scratch_->path();
    const std::string from = DirOfLength(work, 251, 'f'), to = DirOfLength(work, 251, 't');
    MakeTree(from, {{"a.t", "A"}, {"ver.bin", "V"}});
    quisel::test::WriteFile(work + "/l", "a.t\nver.bin\n");
    EXPECT_EQ(In(work, [&] { return VersionMove(from.c_str(), to.c_str(), "l", 0); }), 1) << Printable(Log(work));
    EXPECT_EQ(DescribeTree(ListTree(to)), DescribeTree({{"a.t", "A"}, {"ver.bin", "V"}}));

    const std::string longFrom = DirOfLength(work, 252, 'F'), longTo = DirOfLength(work, 252, 'T');
    MakeTree(longFrom, {{"a.t", "A"}, {"ver.bin", "V"}});
    std::remove((work + "/quisel.log").c_str());
    EXPECT_EQ(In(work, [&] { return VersionMove(longFrom.c_str(), to.c_str(), "l", 1); }), 0);
    EXPECT_EQ(In(work, [&] { return VersionMove(from.c_str(), longTo.c_str(), "l", 1); }), 0);
    EXPECT_TRUE(LogMatches(Log(work), MaskedLog({Begin(), FromTo(longFrom, to), "paremeter error\n", Begin(),
                                                 FromTo(from, longTo), "paremeter error\n"})));
    EXPECT_EQ(DescribeTree(ListTree(longFrom)), DescribeTree({{"a.t", "A"}, {"ver.bin", "V"}}));
    EXPECT_EQ(DescribeTree(ListTree(longTo)), DescribeTree({}));
}

TEST_F(VersionLengthTest, ListEntriesAreHeldToTheLimitInCharactersNotBytes) {
    // 163 characters in 485 bytes fit behind the roots; 248 characters do not. A list
    // line is read whole up to 778 bytes, in the code page or behind the UTF-8 mark.
    const std::string work = scratch_->path();
    std::string level;
    for (int i = 0; i < 80; ++i) level += "表";
    const std::string fits = level + "\\" + level + ".t", over = level + "\\" + level + "\\" + level + ".t";
    MakeTree(work + "/s", {{level + "/" + level + ".t", "F"}, {level + "/" + level + "/" + level + ".t", "O"}});
    quisel::test::WriteFile(work + "/l", "\xEF\xBB\xBF" + fits + "\r\n");
    quisel::test::WriteFile(work + "/l2", fits + "\n" + over + "\n");
    const std::string from = work + "/s", to = work + "/d";
    EXPECT_EQ(In(work, [&] { return VersionMove(from.c_str(), to.c_str(), "l", 0); }), 1) << Printable(Log(work));
    EXPECT_EQ(ReadFile(to + "/" + level + "/" + level + ".t"), "F");
    std::remove((work + "/quisel.log").c_str());
    EXPECT_EQ(In(work, [&] { return VersionMove(to.c_str(), from.c_str(), "l2", 0); }), 0);
    // The first line moved back (its record, two such paths in UTF-8, is longer than a
    // record and cut); the second is too long.
    EXPECT_EQ(ReadFile(from + "/" + level + "/" + level + ".t"), "F");
    EXPECT_NE(Log(work).find("] filename length too big\r\n"), std::string::npos) << Printable(Log(work));
}

TEST_F(VersionLengthTest, EntryThatWouldOverrunTheDestinationPathIsRefused) {
    // The source side passes its own test easily; the destination root leaves room for
    // 7 characters behind its backslash and no more.
    const std::string work = scratch_->path();
    const std::string from = work + "/s";
    const std::string to = DirOfLength(work, 251, 't');
    MakeTree(from, {{"sevenXX", "7"}, {"eight888", "8"}});
    quisel::test::WriteFile(work + "/l7", "sevenXX\n");
    quisel::test::WriteFile(work + "/l8", "eight888\nsevenXX\n");
    EXPECT_EQ(In(work, [&] { return VersionMove(from.c_str(), to.c_str(), "l8", 0); }), 0);
    EXPECT_EQ(In(work, [&] { return VersionMove(from.c_str(), to.c_str(), "l7", 0); }), 1);
    EXPECT_TRUE(LogMatches(Log(work), MaskedLog({Begin(), FromTo(from, to), "filename length too big\n", End(0),
                                                 Begin(), FromTo(from, to),
                                                 "MoveFile(" + from + "\\sevenXX, " + to + "\\sevenXX) SUCCEED !!!\n",
                                                 End(1)})));
    EXPECT_EQ(DescribeTree(ListTree(from)), DescribeTree({{"eight888", "8"}}));
    EXPECT_EQ(DescribeTree(ListTree(to)), DescribeTree({{"sevenXX", "7"}}));
}

}  // namespace
