// The version move and the version backup end to end, through quisel-run of both
// builds: real trees in a scratch game directory, whole logs compared byte for byte
// (time stamps masked), and the trees on disk afterwards.
//
// Paths in the log are the ones the library was given or read back: natively
// "/tmp/.../game", under Wine "Z:\tmp\...\game"; entries are joined behind a backslash
// on both.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_runner.h"

namespace quisel::test {
namespace {

using Args = std::vector<std::string>;
using Messages = std::vector<std::string>;

std::string Begin() { return "-------- VersionMove begin ---------\n"; }
std::string FromTo(const std::string& from, const std::string& to) { return "from: " + from + "\nto: " + to; }
std::string End(int result) { return "-------- VersionMove end " + std::to_string(result) + "---------\n"; }
std::string Moved(const std::string& from, const std::string& to) {
    return "MoveFile(" + from + ", " + to + ") SUCCEED !!!\n";
}
std::string MoveFailed(const std::string& from, const std::string& to, int code) {
    return "MoveFile(" + from + ", " + to + ") FAILED " + std::to_string(code) + "\n";
}
std::string Copied(const std::string& from, const std::string& to) {
    return "CopyFile(" + from + ", " + to + ") SUCCEED !!!\n";
}
std::string CopyFailed(const std::string& from, const std::string& to, int code) {
    return "CopyFile(" + from + ", " + to + ") FAILED " + std::to_string(code) + "\n";
}
std::string ForceBegin(const std::string& from, const std::string& to) {
    return "---------- ForceMove(" + from + ", " + to + ") begin -------------\n";
}
std::string ForceEnd(const std::string& from, const std::string& to, int result) {
    return "--------- ForceMove(" + from + ", " + to + ") " + std::to_string(result) + " --------\n";
}
std::string TooLong() { return "filename length too big\n"; }
std::string OutOfRoot(const std::string& line) { return "filename out of root: " + line + "\n"; }

void Append(Messages* to, const Messages& more) { to->insert(to->end(), more.begin(), more.end()); }

Tree Without(Tree tree, const std::vector<std::string>& keys) {
    for (const std::string& key : keys) tree.erase(key);
    return tree;
}

class VersionE2E : public ::testing::TestWithParam<Build> {
protected:
    void SetUp() override {
        QUISEL_SKIP_UNLESS_AVAILABLE(build());
        scratch_ = std::make_unique<TempDir>("quisel-ver");
        game_ = *scratch_ / "game";
        MakeDirectories(game_);
    }

    Build build() const { return GetParam(); }
    bool wine() const { return IsWindows(build()); }

    // A directory below the game directory as the library is given it: the game
    // directory as the system names it, then levels separated by backslashes, as the
    // backup forms its snapshot (only a backslash separates the levels that the
    // directory creation makes).
    std::string Root(const std::string& relative = "") const {
        std::string root = LibraryPath(build(), game_);
        if (relative.empty()) return root;
        std::string levels = relative;
        for (char& c : levels) c = c == '/' ? '\\' : c;
        return root + "\\" + levels;
    }
    // An entry behind a root, as the version move joins them.
    static std::string In(const std::string& root, const std::string& entry) { return root + "\\" + entry; }

    RunResult Run(const Args& args) { return RunHost(build(), args, game_); }
    // One version move per list: {from, to, list bytes, force}, each list in a file of its own.
    struct Move {
        std::string from, to, list;
        int force = 0;
    };
    RunResult RunMoves(const std::vector<Move>& moves) {
        Args args;
        for (size_t i = 0; i < moves.size(); ++i) {
            const std::string list = "list" + std::to_string(i) + ".txt";
            WriteFile(game_ + "/" + list, moves[i].list);
            args.insert(args.end(), {"move", Root(moves[i].from), Root(moves[i].to), list,
                                     std::to_string(moves[i].force)});
        }
        return Run(args);
    }

    std::string Log() const { return Exists(game_ + "/quisel.log") ? ReadFile(game_ + "/quisel.log") : ""; }
    ::testing::AssertionResult LogIs(const Messages& messages) const { return LogMatches(Log(), MaskedLog(messages)); }
    Tree Listed(const std::string& relative) const { return ListTree(game_ + "/" + relative); }

    std::unique_ptr<TempDir> scratch_;
    std::string game_;
};

#define EXPECT_TREE(actual, expected) EXPECT_EQ(DescribeTree(actual), DescribeTree(expected))

// ---------------------------------------------------------------------------------------
// The marker

TEST_P(VersionE2E, MarkerMovesOnceAfterEveryOtherEntryWhereverTheListNamesIt) {
    const std::vector<std::string> lists = {
        "ver.bin\na.txt\nb.txt\n",                       // first
        "a.txt\nver.bin\nb.txt",                         // in the middle, last line without a line feed
        "ver.bin\na.txt\nver.bin\nb.txt\nver.bin\n",     // three times
    };
    std::vector<Move> moves;
    Messages expected;
    for (size_t i = 0; i < lists.size(); ++i) {
        const std::string s = "s" + std::to_string(i), d = "d" + std::to_string(i);
        MakeTree(game_ + "/" + s, {{"a.txt", "A"}, {"b.txt", "B"}, {"ver.bin", "V" + s}, {"keep.txt", "K"}});
        moves.push_back({s, d, lists[i]});
        Append(&expected, {Begin(), FromTo(Root(s), Root(d)), Moved(In(Root(s), "a.txt"), In(Root(d), "a.txt")),
                           Moved(In(Root(s), "b.txt"), In(Root(d), "b.txt")), FromTo(Root(s), Root(d)),
                           Copied(In(Root(s), "ver.bin"), In(Root(d), "ver.bin")), End(1)});
    }
    RunResult r = RunMoves(moves);
    EXPECT_EQ(r.out, "1\n1\n1\n") << r.Describe();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(LogIs(expected));
    for (size_t i = 0; i < lists.size(); ++i) {
        const std::string s = "s" + std::to_string(i), d = "d" + std::to_string(i);
        SCOPED_TRACE(s);
        EXPECT_TREE(Listed(s), (Tree{{"keep.txt", "K"}}));
        EXPECT_TREE(Listed(d), (Tree{{"a.txt", "A"}, {"b.txt", "B"}, {"ver.bin", "V" + s}}));
    }
}

TEST_P(VersionE2E, MarkerLookAlikesAreOrdinaryEntriesMovedInListOrder) {
    // ".\ver.bin" loses its prefix but is not the marker line; "ver.bin " keeps its
    // space (Win32 drops a trailing space from a name, so under Wine it names ver.bin).
    const std::string spaced = wine() ? "ver.bin" : "ver.bin ";
    MakeTree(game_ + "/s0", {{"ver.bin", "V0"}, {"a.txt", "A0"}});
    MakeTree(game_ + "/s1", {{"VER.BIN", "V1"}, {"data/ver.bin", "V1d"}});
    MakeTree(game_ + "/s2", {{spaced, "V2"}, {"a.txt", "A2"}});
    RunResult r = RunMoves({{"s0", "d0", ".\\ver.bin\na.txt\n"},
                            {"s1", "d1", "VER.BIN\ndata\\ver.bin\n"},
                            {"s2", "d2", "ver.bin \na.txt\n"}});
    EXPECT_EQ(r.out, "1\n1\n1\n") << r.Describe();
    EXPECT_TRUE(LogIs({Begin(), FromTo(Root("s0"), Root("d0")),
                       Moved(In(Root("s0"), "ver.bin"), In(Root("d0"), "ver.bin")),
                       Moved(In(Root("s0"), "a.txt"), In(Root("d0"), "a.txt")), End(1),
                       Begin(), FromTo(Root("s1"), Root("d1")),
                       Moved(In(Root("s1"), "VER.BIN"), In(Root("d1"), "VER.BIN")),
                       Moved(In(Root("s1"), "data\\ver.bin"), In(Root("d1"), "data\\ver.bin")), End(1),
                       Begin(), FromTo(Root("s2"), Root("d2")),
                       Moved(In(Root("s2"), "ver.bin "), In(Root("d2"), "ver.bin ")),
                       Moved(In(Root("s2"), "a.txt"), In(Root("d2"), "a.txt")), End(1)}));
    EXPECT_TREE(Listed("d0"), (Tree{{"ver.bin", "V0"}, {"a.txt", "A0"}}));
    EXPECT_TREE(Listed("d1"), (Tree{{"VER.BIN", "V1"}, {"data/", ""}, {"data/ver.bin", "V1d"}}));
    EXPECT_TREE(Listed("d2"), (Tree{{spaced, "V2"}, {"a.txt", "A2"}}));
    EXPECT_TREE(Listed("s0"), Tree{});
    EXPECT_TREE(Listed("s1"), (Tree{{"data/", ""}}));
}

TEST_P(VersionE2E, MarkerListedButMissingFailsAtTheCopyAfterEveryOtherEntry) {
    MakeTree(game_ + "/s", {{"a.txt", "A"}, {"b.txt", "B"}});
    RunResult r = RunMoves({{"s", "d", "ver.bin\na.txt\nb.txt\n"}});
    EXPECT_EQ(r.out, "0\n") << r.Describe();
    EXPECT_TRUE(LogIs({Begin(), FromTo(Root("s"), Root("d")), Moved(In(Root("s"), "a.txt"), In(Root("d"), "a.txt")),
                       Moved(In(Root("s"), "b.txt"), In(Root("d"), "b.txt")), FromTo(Root("s"), Root("d")),
                       CopyFailed(In(Root("s"), "ver.bin"), In(Root("d"), "ver.bin"), 2), End(0)}));
    EXPECT_TREE(Listed("d"), (Tree{{"a.txt", "A"}, {"b.txt", "B"}}));
}

// ---------------------------------------------------------------------------------------
// Reading the list

TEST_P(VersionE2E, DotBackslashPrefixIsRemovedOnceAndDotSlashIsNot) {
    MakeTree(game_ + "/s", {{"a.txt", "A"}, {"b.txt", "B"}, {"c.txt", "C"}});
    MakeTree(game_ + "/d", {});
    // A forward slash is no level separator for the directory creation, so the
    // missing "sub" is never created and the move fails with a missing path.
    MakeTree(game_ + "/s2", {{"sub/e.txt", "E"}});
    MakeTree(game_ + "/d2", {});
    RunResult r = RunMoves({{"s", "d", ".\\a.txt\n.\\.\\b.txt\n./c.txt\n"}, {"s2", "d2", "./sub/e.txt\n"}});
    EXPECT_EQ(r.out, "1\n0\n") << r.Describe();
    EXPECT_TRUE(LogIs({Begin(), FromTo(Root("s"), Root("d")), Moved(In(Root("s"), "a.txt"), In(Root("d"), "a.txt")),
                       Moved(In(Root("s"), ".\\b.txt"), In(Root("d"), ".\\b.txt")),
                       Moved(In(Root("s"), "./c.txt"), In(Root("d"), "./c.txt")), End(1),
                       Begin(), FromTo(Root("s2"), Root("d2")),
                       MoveFailed(In(Root("s2"), "./sub/e.txt"), In(Root("d2"), "./sub/e.txt"), 3), End(0)}));
    EXPECT_TREE(Listed("d"), (Tree{{"a.txt", "A"}, {"b.txt", "B"}, {"c.txt", "C"}}));
    EXPECT_TREE(Listed("s2"), (Tree{{"sub/", ""}, {"sub/e.txt", "E"}}));
    EXPECT_TREE(Listed("d2"), Tree{});
}

TEST_P(VersionE2E, LineEndsCtrlZAndNulBytes) {
    for (int i = 0; i < 4; ++i) {
        MakeTree(game_ + "/s" + std::to_string(i),
                 {{"a.txt", "A"}, {"b.txt", "B"}, {"c.txt", "C"}, {"d.txt", "D"}, {"ver.bin", "V"}});
    }
    const std::string nul(1, '\0');
    RunResult r = RunMoves({
        // CR LF reads as LF, and a line holding only a line end is ignored.
        {"s0", "d0", "a.txt\r\n\r\n\nver.bin\r\nb.txt\r\n"},
        // Ctrl-Z ends the list: "ver.bin" before it is the last line, nothing after it is read.
        {"s1", "d1", "a.txt\nver.bin\x1a\nb.txt\n"},
        // A NUL ends the entry; a line that starts with one is empty.
        {"s2", "d2", "a.txt" + nul + "b.txt\n" + nul + "c.txt\nd.txt\n"},
        // A lone CR stays part of the entry.
        {"s3", "d3", "a.txt\r\r\nb.txt\n"},
    });
    EXPECT_EQ(r.out, "1\n1\n1\n0\n") << r.Describe();
    auto s = [&](int i, const std::string& e) { return In(Root("s" + std::to_string(i)), e); };
    auto d = [&](int i, const std::string& e) { return In(Root("d" + std::to_string(i)), e); };
    auto fromTo = [&](int i) { return FromTo(Root("s" + std::to_string(i)), Root("d" + std::to_string(i))); };
    // Win32 refuses a control character in a name; natively the file is just not there.
    const int crCode = wine() ? 123 : 2;
    EXPECT_TRUE(LogIs({Begin(), fromTo(0), Moved(s(0, "a.txt"), d(0, "a.txt")), Moved(s(0, "b.txt"), d(0, "b.txt")),
                       fromTo(0), Copied(s(0, "ver.bin"), d(0, "ver.bin")), End(1),
                       Begin(), fromTo(1), Moved(s(1, "a.txt"), d(1, "a.txt")), fromTo(1),
                       Copied(s(1, "ver.bin"), d(1, "ver.bin")), End(1),
                       Begin(), fromTo(2), Moved(s(2, "a.txt"), d(2, "a.txt")), Moved(s(2, "d.txt"), d(2, "d.txt")),
                       End(1),
                       Begin(), fromTo(3), MoveFailed(s(3, "a.txt\r"), d(3, "a.txt\r"), crCode), End(0)}));
    EXPECT_TREE(Listed("s0"), (Tree{{"c.txt", "C"}, {"d.txt", "D"}}));
    EXPECT_TREE(Listed("s1"), (Tree{{"b.txt", "B"}, {"c.txt", "C"}, {"d.txt", "D"}}));
    EXPECT_TREE(Listed("s2"), (Tree{{"b.txt", "B"}, {"c.txt", "C"}, {"ver.bin", "V"}}));
    EXPECT_FALSE(Exists(game_ + "/d3"));
}

TEST_P(VersionE2E, EntriesNamingTheDirectoryItselfAreRefused) {
    // Win32 drops trailing spaces and dots, so "s\   " and "s\." name the root "s"
    // itself: moving it would carry the whole source tree, marker and lists included,
    // ahead of the marker-last rule. Such entries are refused on both builds, even
    // where a name of spaces is a real file, and so are those whose dot hides behind a
    // trailing separator (".\.\", "./.\"). An entry that ends in a separator names a
    // directory: where the destination holds a file of that name, the move fails with
    // 267 and the file is not deleted to make room for the directory.
    MakeTree(game_ + "/s", {{"a.txt", "A"}, {"sub/b.txt", "B"}});
    if (!wine()) WriteFile(game_ + "/s/   ", "S");
    RunResult r = RunMoves({{"s", "d", "a.txt\n   \n"}, {"s", "d", ".\\\n"}, {"s", "d", "sub\\.\n"},
                            {"s", "d", ".\\.\\\n"}, {"s", "d", "./.\\\n"}, {"s", "d", "sub\\.\\\n"}});
    EXPECT_EQ(r.out, "0\n0\n0\n0\n0\n0\n") << r.Describe();
    WriteFile(game_ + "/d/sub", "F");
    r = RunMoves({{"s", "d", "sub\\\n"}});
    EXPECT_EQ(r.out, "0\n") << r.Describe();
    EXPECT_TRUE(LogIs({Begin(), FromTo(Root("s"), Root("d")), Moved(In(Root("s"), "a.txt"), In(Root("d"), "a.txt")),
                       "filename out of root:    \n", End(0),
                       Begin(), FromTo(Root("s"), Root("d")), "filename out of root: .\\\n", End(0),
                       Begin(), FromTo(Root("s"), Root("d")), "filename out of root: sub\\.\n", End(0),
                       Begin(), FromTo(Root("s"), Root("d")), "filename out of root: .\\.\\\n", End(0),
                       Begin(), FromTo(Root("s"), Root("d")), "filename out of root: ./.\\\n", End(0),
                       Begin(), FromTo(Root("s"), Root("d")), "filename out of root: sub\\.\\\n", End(0),
                       Begin(), FromTo(Root("s"), Root("d")),
                       MoveFailed(In(Root("s"), "sub\\"), In(Root("d"), "sub\\"), 267), End(0)}));
    Tree source{{"sub/", ""}, {"sub/b.txt", "B"}};
    if (!wine()) source["   "] = "S";
    EXPECT_TREE(Listed("s"), source);
    EXPECT_TREE(Listed("d"), (Tree{{"a.txt", "A"}, {"sub", "F"}}));
}

TEST_P(VersionE2E, EmptyListsMoveNothingAndSucceed) {
    MakeTree(game_ + "/s", {{"a.txt", "A"}, {"ver.bin", "V"}});
    const std::string nul(1, '\0');
    RunResult r = RunMoves({{"s", "d", ""}, {"s", "d", "\n\r\n\n"}, {"s", "d", nul + "a.txt\n\x1a" "a.txt\n"}});
    EXPECT_EQ(r.out, "1\n1\n1\n") << r.Describe();
    Messages one = {Begin(), FromTo(Root("s"), Root("d")), End(1)};
    Messages expected;
    for (int i = 0; i < 3; ++i) Append(&expected, one);
    EXPECT_TRUE(LogIs(expected));
    EXPECT_TREE(Listed("s"), (Tree{{"a.txt", "A"}, {"ver.bin", "V"}}));
    EXPECT_FALSE(Exists(game_ + "/d"));
}

// ---------------------------------------------------------------------------------------
// Moving the entries

TEST_P(VersionE2E, EntryListedTwiceFailsTheSecondTimeAndStopsThePass) {
    MakeTree(game_ + "/s", {{"a.txt", "A"}, {"b.txt", "B"}, {"c.txt", "C"}, {"ver.bin", "V"}});
    RunResult r = RunMoves({{"s", "d", "a.txt\nb.txt\na.txt\nc.txt\nver.bin\n"}});
    EXPECT_EQ(r.out, "0\n") << r.Describe();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(LogIs({Begin(), FromTo(Root("s"), Root("d")), Moved(In(Root("s"), "a.txt"), In(Root("d"), "a.txt")),
                       Moved(In(Root("s"), "b.txt"), In(Root("d"), "b.txt")),
                       MoveFailed(In(Root("s"), "a.txt"), In(Root("d"), "a.txt"), 2), End(0)}));
    EXPECT_TREE(Listed("s"), (Tree{{"c.txt", "C"}, {"ver.bin", "V"}}));
    EXPECT_TREE(Listed("d"), (Tree{{"a.txt", "A"}, {"b.txt", "B"}}));

    // A directory listed whole goes in one move; an entry below it listed after is gone
    // from the game directory then, as a file listed twice is, though the backup's check
    // looked into that directory before.
    RemoveTree(game_);
    MakeTree(game_, {{"newlist.txt", "n\r\n"}, {"backuplist.txt", "a\r\na\\y.txt\r\n"}, {"a/y.txt", "Y"}});
    r = Run({"backup", "0"});
    EXPECT_EQ(r.out, "0\n") << r.Describe();
    const std::string g = Root(), o = Root("gameold");
    EXPECT_TRUE(LogIs({"SetCurrentDirectory(" + o + ") FAILED 2\n", Begin(), FromTo(g, o),
                       Moved(In(g, "a"), In(o, "a")), MoveFailed(In(g, "a\\y.txt"), In(o, "a\\y.txt"), 3), End(0)}));
    EXPECT_TREE(Listed("gameold"),
                (Tree{{"newlist.txt", "a\r\na\\y.txt\r\n"}, {"backuplist.txt", "n\r\n"}, {"a/", ""}, {"a/y.txt", "Y"}}));
}

TEST_P(VersionE2E, ExistingAndReadOnlyDestinationsAreReplacedAndMissingLevelsCreated) {
    MakeTree(game_ + "/s", {{"a.txt", "new A"}, {"b.txt", "new B"}, {"data/maps/c.dat", "C"}});
    MakeTree(game_ + "/d", {{"a.txt", "old A"}, {"b.txt", "old B"}, {"other.txt", "O"}});
    ASSERT_EQ(chmod((game_ + "/d/b.txt").c_str(), 0444), 0);
    // A destination root whose every level is missing below the working directory.
    MakeTree(game_ + "/s2", {{"x/y.txt", "Y"}});
    RunResult r = RunMoves({{"s", "d", "a.txt\nb.txt\ndata\\maps\\c.dat\n"}, {"s2", "out/deep/d2", "x\\y.txt\n"}});
    EXPECT_EQ(r.out, "1\n1\n") << r.Describe();
    EXPECT_TRUE(LogIs({Begin(), FromTo(Root("s"), Root("d")), Moved(In(Root("s"), "a.txt"), In(Root("d"), "a.txt")),
                       Moved(In(Root("s"), "b.txt"), In(Root("d"), "b.txt")),
                       Moved(In(Root("s"), "data\\maps\\c.dat"), In(Root("d"), "data\\maps\\c.dat")), End(1),
                       Begin(), FromTo(Root("s2"), Root("out/deep/d2")),
                       Moved(In(Root("s2"), "x\\y.txt"), In(Root("out/deep/d2"), "x\\y.txt")), End(1)}));
    EXPECT_TREE(Listed("d"), (Tree{{"a.txt", "new A"}, {"b.txt", "new B"}, {"data/", ""}, {"data/maps/", ""},
                                   {"data/maps/c.dat", "C"}, {"other.txt", "O"}}));
    EXPECT_TREE(Listed("s"), (Tree{{"data/", ""}, {"data/maps/", ""}}));
    EXPECT_TREE(Listed("out"), (Tree{{"deep/", ""}, {"deep/d2/", ""}, {"deep/d2/x/", ""}, {"deep/d2/x/y.txt", "Y"}}));
}

// A root on another file system (memory, against the disk the game is on): each file is
// copied and its source deleted, as Windows moves a file across volumes, content, a
// read-only file's mode and the time it was last written kept.
TEST_P(VersionE2E, MovesAcrossVolumesKeepContentModeAndTime) {
    char made[] = "/dev/shm/quisel-vol-XXXXXX";
    struct stat shm, tmp;
    if (stat("/dev/shm", &shm) != 0 || stat(game_.c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev ||
        mkdtemp(made) == nullptr)
        GTEST_SKIP() << "no second file system beside " << game_;
    const std::string volume = made;
    MakeTree(volume + "/src", {{"a.txt", "A"}, {"ro.txt", "R"}, {"d/b.txt", "B"}, {"ver.bin", "V"}});
    ASSERT_EQ(chmod((volume + "/src/ro.txt").c_str(), 0444), 0);
    const struct timespec written[2] = {{978307200, 0}, {978307200, 0}};  // 2001-01-01
    ASSERT_EQ(utimensat(AT_FDCWD, (volume + "/src/d/b.txt").c_str(), written, 0), 0);
    WriteFile(game_ + "/list.txt", "a.txt\nro.txt\nd\\b.txt\nver.bin\n");

    const std::string from = LibraryPath(build(), volume + "/src"), to = Root("dst");
    RunResult r = Run({"move", from, to, "list.txt", "0"});
    EXPECT_EQ(r.out, "1\n") << r.Describe() << Printable(Log());
    EXPECT_TRUE(LogIs({Begin(), FromTo(from, to), Moved(In(from, "a.txt"), In(to, "a.txt")),
                       Moved(In(from, "ro.txt"), In(to, "ro.txt")), Moved(In(from, "d\\b.txt"), In(to, "d\\b.txt")),
                       FromTo(from, to), Copied(In(from, "ver.bin"), In(to, "ver.bin")), End(1)}));
    EXPECT_TREE(Listed("dst"), (Tree{{"a.txt", "A"}, {"ro.txt", "R"}, {"d/", ""}, {"d/b.txt", "B"}, {"ver.bin", "V"}}));
    EXPECT_TREE(ListTree(volume + "/src"), (Tree{{"d/", ""}}));
    struct stat ro, b;
    ASSERT_EQ(stat((game_ + "/dst/ro.txt").c_str(), &ro), 0);
    EXPECT_EQ(ro.st_mode & 0222, 0u);
    ASSERT_EQ(stat((game_ + "/dst/d/b.txt").c_str(), &b), 0);
    EXPECT_EQ(b.st_mtim.tv_sec, written[1].tv_sec);
    RemoveTree(volume);
}

TEST_P(VersionE2E, LengthLimitHoldsAtItsExactEdge) {
    // The line's length, a ".\" prefix included, plus the source root with its
    // backslash may reach 259 and no more. Both roots have the same length, so the
    // destination side fits whenever the source side does.
    const size_t root = Root("s").size() + 1;
    ASSERT_LT(root, 60u);
    const std::string fits(259 - root, 'f');
    const std::string prefixedFits(259 - root - 2, 'p');
    const std::string over(260 - root, 'o');
    const std::string prefixedOver(260 - root - 2, 'q');
    MakeTree(game_ + "/s", {{fits, "F"}, {prefixedFits, "P"}, {over, "O"}, {prefixedOver, "Q"}});
    MakeTree(game_ + "/d", {});
    RunResult r = RunMoves({{"s", "d", fits + "\n"}, {"s", "d", ".\\" + prefixedFits + "\n"},
                            {"s", "d", over + "\n"}, {"s", "d", ".\\" + prefixedOver + "\nver.bin\n"}});
    EXPECT_EQ(r.out, "1\n1\n0\n0\n") << r.Describe();
    const Messages head = {Begin(), FromTo(Root("s"), Root("d"))};
    Messages expected = head;
    Append(&expected, {Moved(In(Root("s"), fits), In(Root("d"), fits)), End(1)});
    Append(&expected, head);
    Append(&expected, {Moved(In(Root("s"), prefixedFits), In(Root("d"), prefixedFits)), End(1)});
    Append(&expected, head);
    Append(&expected, {TooLong(), End(0)});
    Append(&expected, head);
    Append(&expected, {TooLong(), End(0)});
    EXPECT_TRUE(LogIs(expected));
    EXPECT_TREE(Listed("s"), (Tree{{over, "O"}, {prefixedOver, "Q"}}));
    EXPECT_TREE(Listed("d"), (Tree{{fits, "F"}, {prefixedFits, "P"}}));
}

TEST_P(VersionE2E, EntriesOutsideTheRootsAreRefusedAndNothingOutsideIsTouched) {
    // The roots lie two levels down, so a climbing entry would reach real files.
    MakeTree(game_, {{"x", "game x"}, {"top/x", "top x"}, {"top/src/ok.txt", "OK"}, {"top/src/a/b/x", "inner"},
                     {"top/src/later.txt", "L"}, {"top/abs", "abs"}, {"abs", "abs"}});
    const std::vector<std::string> unsafe = {"..\\x", "a\\..\\..\\x", "\\abs", "/abs", "C:\\x", ".\\..\\x",
                                             "a/../../x", "a\\.. \\.. \\x", "a\\b\\...\\..\\x"};
    const Tree before = ListTree(game_);
    std::vector<Move> moves;
    Messages expected;
    for (const std::string& line : unsafe) {
        moves.push_back({"top/src", "top/dst/in", line + "\nlater.txt\n"});
        Append(&expected, {Begin(), FromTo(Root("top/src"), Root("top/dst/in")), OutOfRoot(line), End(0)});
    }
    // A safe entry before the unsafe one is moved; the pass stops at the unsafe one.
    moves.push_back({"top/src", "top/dst/in", "ok.txt\n..\\x\nlater.txt\n"});
    Append(&expected, {Begin(), FromTo(Root("top/src"), Root("top/dst/in")),
                       Moved(In(Root("top/src"), "ok.txt"), In(Root("top/dst/in"), "ok.txt")), OutOfRoot("..\\x"),
                       End(0)});
    RunResult r = RunMoves(moves);
    std::string zeros;
    for (size_t i = 0; i < moves.size(); ++i) zeros += "0\n";
    EXPECT_EQ(r.out, zeros) << r.Describe();
    EXPECT_TRUE(LogIs(expected));

    Tree after = Without(ListTree(game_), {"quisel.log", "top/dst/", "top/dst/in/", "top/dst/in/ok.txt"});
    for (size_t i = 0; i < moves.size(); ++i) after.erase("list" + std::to_string(i) + ".txt");
    EXPECT_TREE(after, Without(before, {"top/src/ok.txt"}));
    EXPECT_EQ(ReadFile(game_ + "/top/dst/in/ok.txt"), "OK");
}

// ---------------------------------------------------------------------------------------
// The fallback and the argument checks

TEST_P(VersionE2E, ForceFallsBackToTheForcedMoveAndThenMovesTheMarker) {
    // A list that cannot be opened: the fopen record, then the forced move of the whole
    // tree (the list names and the marker stay), then the marker.
    MakeTree(game_ + "/s", {{"a.txt", "A"}, {"sub/b.txt", "B"}, {"ver.bin", "V"}, {"newlist.txt", "N"}});
    // The same with no marker at the source: the forced move carries the tree, but the
    // marker move fails, so the result is 0; any non-zero force counts.
    MakeTree(game_ + "/t", {{"a.txt", "TA"}, {"sub/c.txt", "TC"}});
    // Without force, a missing list is a failure and nothing moves.
    MakeTree(game_ + "/u", {{"a.txt", "UA"}, {"ver.bin", "UV"}});
    RunResult r = Run({"move", Root("s"), Root("d"), "nolist.txt", "1",
                       "move", Root("t"), Root("e"), "tlist.txt", "-7",
                       "move", Root("u"), Root("f"), "nolist.txt", "0"});
    EXPECT_EQ(r.out, "1\n0\n0\n") << r.Describe();
    const std::string fopenFailed = "fopen(nolist.txt, \"r\") FAILED 2\n";
    EXPECT_TRUE(LogIs({Begin(), FromTo(Root("s"), Root("d")), fopenFailed, ForceBegin(Root("s"), Root("d")),
                       Moved(In(Root("s"), "a.txt"), In(Root("d"), "a.txt")),
                       Moved(In(Root("s"), "sub\\b.txt"), In(Root("d"), "sub\\b.txt")),
                       Copied(In(Root("s"), "ver.bin"), In(Root("d"), "ver.bin")),
                       ForceEnd(Root("s"), Root("d"), 1), End(1),
                       Begin(), FromTo(Root("t"), Root("e")), "fopen(tlist.txt, \"r\") FAILED 2\n",
                       ForceBegin(Root("t"), Root("e")), Moved(In(Root("t"), "a.txt"), In(Root("e"), "a.txt")),
                       Moved(In(Root("t"), "sub\\c.txt"), In(Root("e"), "sub\\c.txt")),
                       CopyFailed(In(Root("t"), "ver.bin"), In(Root("e"), "ver.bin"), 2),
                       ForceEnd(Root("t"), Root("e"), 0), End(0),
                       Begin(), FromTo(Root("u"), Root("f")), fopenFailed, End(0)}));
    EXPECT_TREE(Listed("s"), (Tree{{"newlist.txt", "N"}, {"sub/", ""}}));
    EXPECT_TREE(Listed("d"), (Tree{{"a.txt", "A"}, {"sub/", ""}, {"sub/b.txt", "B"}, {"ver.bin", "V"}}));
    EXPECT_TREE(Listed("e"), (Tree{{"a.txt", "TA"}, {"sub/", ""}, {"sub/c.txt", "TC"}}));
    EXPECT_TREE(Listed("u"), (Tree{{"a.txt", "UA"}, {"ver.bin", "UV"}}));
    EXPECT_FALSE(Exists(game_ + "/f"));
}

TEST_P(VersionE2E, ForceAfterAFailedPassMovesTheRestOfTheTree) {
    MakeTree(game_ + "/s", {{"a.txt", "A"}, {"b.txt", "B"}, {"ver.bin", "V"}});
    RunResult r = RunMoves({{"s", "d", "a.txt\nmissing.txt\nver.bin\n", 1}});
    EXPECT_EQ(r.out, "1\n") << r.Describe();
    EXPECT_TRUE(LogIs({Begin(), FromTo(Root("s"), Root("d")), Moved(In(Root("s"), "a.txt"), In(Root("d"), "a.txt")),
                       MoveFailed(In(Root("s"), "missing.txt"), In(Root("d"), "missing.txt"), 2),
                       ForceBegin(Root("s"), Root("d")), Moved(In(Root("s"), "b.txt"), In(Root("d"), "b.txt")),
                       Copied(In(Root("s"), "ver.bin"), In(Root("d"), "ver.bin")), ForceEnd(Root("s"), Root("d"), 1),
                       End(1)}));
    EXPECT_TREE(Listed("s"), Tree{});
    EXPECT_TREE(Listed("d"), (Tree{{"a.txt", "A"}, {"b.txt", "B"}, {"ver.bin", "V"}}));
}

TEST_P(VersionE2E, EmptyOrAliasedArgumentsAreRefusedBeforeAnythingMoves) {
    MakeTree(game_ + "/s", {{"a.txt", "A"}, {"ver.bin", "V"}});
    WriteFile(game_ + "/list.txt", "a.txt\nver.bin\n");
    const std::string s = Root("s"), d = Root("d");
    RunResult r = Run({"move", "", d, "list.txt", "1",
                       "move", s, "", "list.txt", "1",
                       "move", s, d, "", "1",
                       "move", s, s + "\\", "list.txt", "1"});
    EXPECT_EQ(r.out, "0\n0\n0\n0\n") << r.Describe();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(LogIs({Begin(), FromTo("", d), "paremeter error\n",
                       Begin(), FromTo(s, ""), "paremeter error\n",
                       Begin(), FromTo(s, d), "list is null\n",
                       Begin(), FromTo(s, s + "\\"), "paremeter error\n"}));
    EXPECT_TREE(Listed("s"), (Tree{{"a.txt", "A"}, {"ver.bin", "V"}}));
    EXPECT_FALSE(Exists(game_ + "/d"));
}

// ---------------------------------------------------------------------------------------
// The backup

struct Game {
    std::string newList, backupList;
    Tree files;
};

// Lists with CR LF, a Ctrl-Z and bytes after it, so that a copy that is not byte for
// byte shows.
Game SampleGame() {
    return {"x.txt\r\nver.bin\r\n\x1a" "after\r\n",
            "a.txt\r\ndata\\maps\\b.dat\r\nver.bin\r\nc.txt\r\n",
            {{"a.txt", "A"}, {"data/maps/b.dat", "B"}, {"c.txt", "C"}, {"ver.bin", "V"}, {"keep.txt", "K"},
             {"data/keep2.txt", "K2"}, {"x.txt", "X"}}};
}

void MakeGame(const std::string& dir, const Game& game) {
    Tree tree = game.files;
    tree["newlist.txt"] = game.newList;
    tree["backuplist.txt"] = game.backupList;
    MakeTree(dir, tree);
}

TEST_P(VersionE2E, FirstBackupLogsEveryStepAndSnapshotsTheListedFiles) {
    const Game game = SampleGame();
    MakeGame(game_, game);
    MakeTree(game_ + "/gameold", {{"o.txt", "O"}});
    RunResult r = Run({"backup", "1"});
    EXPECT_EQ(r.out, "1\n") << r.Describe();
    EXPECT_EQ(r.exitCode, 0);

    const std::string g = Root(), n = Root("gamenew");
    EXPECT_TRUE(LogIs({"SetCurrentDirectory(" + n + ") FAILED 2\n", Begin(), FromTo(g, n),
                       Moved(In(g, "a.txt"), In(n, "a.txt")), Moved(In(g, "data\\maps\\b.dat"), In(n, "data\\maps\\b.dat")),
                       Moved(In(g, "c.txt"), In(n, "c.txt")), FromTo(g, n), Copied(In(g, "ver.bin"), In(n, "ver.bin")),
                       End(1)}));
    EXPECT_TREE(Without(ListTree(game_), {"quisel.log"}),
                (Tree{{"newlist.txt", game.newList}, {"backuplist.txt", game.backupList}, {"keep.txt", "K"},
                      {"x.txt", "X"}, {"data/", ""}, {"data/keep2.txt", "K2"}, {"data/maps/", ""},
                      {"gameold/", ""}, {"gameold/o.txt", "O"},
                      {"gamenew/", ""}, {"gamenew/newlist.txt", game.backupList},
                      {"gamenew/backuplist.txt", game.newList}, {"gamenew/a.txt", "A"}, {"gamenew/data/", ""},
                      {"gamenew/data/maps/", ""}, {"gamenew/data/maps/b.dat", "B"}, {"gamenew/c.txt", "C"},
                      {"gamenew/ver.bin", "V"}}));
}

TEST_P(VersionE2E, RepeatedBackupsReplaceOnlyTheSnapshotOfTheirName) {
    const Game game = {"n\r\n", "a.txt\nver.bin\n", {}};
    auto refill = [&](const std::string& tag) {
        MakeGame(game_, {game.newList, game.backupList, {{"a.txt", "A" + tag}, {"ver.bin", "V" + tag}}});
    };
    auto snapshot = [&](const std::string& tag) {
        return Tree{{"newlist.txt", game.backupList}, {"backuplist.txt", game.newList}, {"a.txt", "A" + tag},
                    {"ver.bin", "V" + tag}};
    };
    const Tree olderOld = {{"o.txt", "O"}, {"sub/", ""}, {"sub/o2.txt", "O2"}};
    MakeTree(game_ + "/gamenew", {{"stale.txt", "S"}, {"deep/er/stale2.txt", "S2"}});
    MakeTree(game_ + "/gameold", olderOld);

    const std::string g = Root();
    auto expectedLog = [&](const std::string& snap) {
        const std::string n = Root(snap);
        return Messages{Begin(), FromTo(g, n), Moved(In(g, "a.txt"), In(n, "a.txt")), FromTo(g, n),
                        Copied(In(g, "ver.bin"), In(n, "ver.bin")), End(1)};
    };

    const std::vector<std::pair<std::string, std::string>> runs = {{"2", "1"}, {"-1", "2"}};
    for (const auto& [arg, tag] : runs) {
        SCOPED_TRACE("backup " + arg);
        refill(tag);
        RemoveTree(game_ + "/quisel.log");
        RunResult r = Run({"backup", arg});
        EXPECT_EQ(r.out, "1\n") << r.Describe();
        // The earlier snapshot is cleared without a failure, so no clearing record.
        EXPECT_TRUE(LogIs(expectedLog("gamenew")));
        EXPECT_TREE(Listed("gamenew"), snapshot(tag));
        EXPECT_TREE(Listed("gameold"), olderOld);
    }
    refill("3");
    RemoveTree(game_ + "/quisel.log");
    RunResult r = Run({"backup", "0"});
    EXPECT_EQ(r.out, "1\n") << r.Describe();
    EXPECT_TRUE(LogIs(expectedLog("gameold")));
    EXPECT_TREE(Listed("gameold"), snapshot("3"));
    EXPECT_TREE(Listed("gamenew"), snapshot("2"));
    EXPECT_FALSE(Exists(game_ + "/a.txt"));
    EXPECT_FALSE(Exists(game_ + "/ver.bin"));
}

TEST_P(VersionE2E, MissingListFileLeavesNoSnapshotAndTheGameUntouched) {
    {
        SCOPED_TRACE("no newlist.txt, an earlier snapshot present");
        MakeTree(game_, {{"backuplist.txt", "a.txt\n"}, {"a.txt", "A"}, {"gamenew/old.txt", "O"}});
        RunResult r = Run({"backup", "1"});
        EXPECT_EQ(r.out, "0\n") << r.Describe();
        // The clearing of the earlier snapshot and of the new one succeed silently, and
        // the backup writes nothing of its own.
        EXPECT_FALSE(Exists(game_ + "/quisel.log")) << Printable(Log());
        EXPECT_TREE(ListTree(game_), (Tree{{"backuplist.txt", "a.txt\n"}, {"a.txt", "A"}}));
    }
    {
        SCOPED_TRACE("no backuplist.txt, no earlier snapshot");
        RemoveTree(game_);
        MakeTree(game_, {{"newlist.txt", "a.txt\n"}, {"a.txt", "A"}});
        RunResult r = Run({"backup", "0"});
        EXPECT_EQ(r.out, "0\n") << r.Describe();
        EXPECT_TRUE(LogIs({"SetCurrentDirectory(" + Root("gameold") + ") FAILED 2\n"}));
        EXPECT_TREE(Without(ListTree(game_), {"quisel.log"}), (Tree{{"newlist.txt", "a.txt\n"}, {"a.txt", "A"}}));
    }
}

TEST_P(VersionE2E, EmptyBackupListMakesASnapshotOfTheListsOnly) {
    MakeTree(game_, {{"newlist.txt", "a.txt\r\n"}, {"backuplist.txt", ""}, {"a.txt", "A"}, {"ver.bin", "V"}});
    RunResult r = Run({"backup", "0"});
    EXPECT_EQ(r.out, "1\n") << r.Describe();
    const std::string g = Root(), o = Root("gameold");
    EXPECT_TRUE(LogIs({"SetCurrentDirectory(" + o + ") FAILED 2\n", Begin(), FromTo(g, o), End(1)}));
    EXPECT_TREE(Listed("gameold"), (Tree{{"newlist.txt", ""}, {"backuplist.txt", "a.txt\r\n"}}));
    EXPECT_TREE(Without(ListTree(game_), {"quisel.log"}),
                (Tree{{"newlist.txt", "a.txt\r\n"}, {"backuplist.txt", ""}, {"a.txt", "A"}, {"ver.bin", "V"},
                      {"gameold/", ""}, {"gameold/newlist.txt", ""}, {"gameold/backuplist.txt", "a.txt\r\n"}}));
}

TEST_P(VersionE2E, RepeatedBackupKeepsTheOnlyCopiesAndTheRestoreBringsThemBack) {
    const std::string list = "a.txt\r\ndata\\b.txt\r\nver.bin\r\n";
    const Tree game = {{"newlist.txt", "n\r\n"}, {"backuplist.txt", list}, {"a.txt", "A"}, {"data/b.txt", "B"},
                       {"ver.bin", "V"}};
    MakeTree(game_, game);
    // The second backup finds the version gone from the game directory and touches nothing.
    RunResult r = Run({"backup", "0", "backup", "0"});
    EXPECT_EQ(r.out, "1\n0\n") << r.Describe();
    EXPECT_TREE(Listed("gameold"), (Tree{{"newlist.txt", list}, {"backuplist.txt", "n\r\n"}, {"a.txt", "A"},
                                         {"data/", ""}, {"data/b.txt", "B"}, {"ver.bin", "V"}}));

    r = Run({"move", "gameold", Root(), "gameold\\newlist.txt", "1"});
    EXPECT_EQ(r.out, "1\n") << r.Describe();
    EXPECT_TREE(Listed("gameold"), (Tree{{"newlist.txt", list}, {"backuplist.txt", "n\r\n"}, {"data/", ""}}));
    EXPECT_TREE(Without(ListTree(game_), {"quisel.log", "gameold/", "gameold/newlist.txt", "gameold/backuplist.txt",
                                          "gameold/data/", "data/"}),
                game);
}

TEST_P(VersionE2E, BackupTouchesNothingUnlessTheGameHoldsEveryListedEntry) {
    // One record names the first entry that is missing or that the move would refuse;
    // the earlier snapshot, which may hold the only copies, stays as it is.
    const std::string g = Root();
    struct Case {
        std::string list, present, record;
    };
    const std::vector<Case> cases = {
        {"a.txt\nb.txt\nver.bin\n", "b.txt", "GetFileAttributes(" + In(g, "a.txt") + ") FAILED 2\n"},
        {"a.txt\nsub\\b.txt\n", "a.txt", "GetFileAttributes(" + In(g, "sub\\b.txt") + ") FAILED 3\n"},
        {"ver.bin\na.txt\n", "a.txt", "GetFileAttributes(" + In(g, "ver.bin") + ") FAILED 2\n"},
        {"a.txt\n..\\x\nb.txt\n", "a.txt", OutOfRoot("..\\x")},
        {"a.txt\n" + std::string(250, 'l') + "\n", "a.txt", TooLong()},
        // Win32's rules make the name a device, which is no entry of the game directory.
        {"a.txt\nCON\n", "a.txt", "GetFileAttributes(" + In(g, "CON") + ") FAILED " + (wine() ? "123" : "2") + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        RemoveTree(game_);
        MakeTree(game_, {{"newlist.txt", "n\n"}, {"backuplist.txt", c.list}, {c.present, "P"}, {"gameold/a.txt", "old"}});
        const Tree before = ListTree(game_);
        RunResult r = Run({"backup", "0"});
        EXPECT_EQ(r.out, "0\n") << r.Describe();
        EXPECT_TRUE(LogIs({c.record}));
        EXPECT_TREE(Without(ListTree(game_), {"quisel.log"}), before);
    }
}

// Names of every script, natively as under Wine: a list behind the UTF-8 byte-order mark
// names them for players of any code page, the wide calls take them as UTF-16, and the
// log shows them in the code page (1252 under Wine here: "?" for what it cannot spell).
TEST_P(VersionE2E, NamesOfEveryScriptThroughUtf8ListsAndWideCalls) {
    MakeTree(game_, {{"s/한글/가.txt", "h"}, {"s/日本/語.txt", "j"}, {"s/😀.txt", "e"}, {"s/ä.txt", "1"}, {"s/a.txt", "2"},
                     {"s/ver.bin", "v"}, {"한c/😀/x.txt", "x"}, {"한c/y.txt", "y"}});
    const std::string list = "\xEF\xBB\xBF한글\\가.txt\r\n日本\\語.txt\r\n😀.txt\r\nä.txt\r\nver.bin\r\n";
    WriteFile(game_ + "/list.txt", list);
    const Environment locale = {{"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}};
    RunResult r = RunHost(build(), {"move", Root("s"), Root("d"), "list.txt", "0"}, game_, std::chrono::seconds(180),
                          locale);
    EXPECT_EQ(r.out, "1\n") << r.Describe();
    RunResult w = RunHost(build(), {"--wide", "move", Root("d"), Root("한e"), "list.txt", "0", "clear", "한c", "1"},
                          game_, std::chrono::seconds(180), locale);
    EXPECT_EQ(w.out, "1\n1\n") << w.Describe();

    Messages expected;
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"s", "d"}, {"d", "한e"}}) {
        const std::string f = Root(from), t = Root(to);
        Append(&expected, {Begin(), FromTo(f, t)});
        for (const char* entry : {"한글\\가.txt", "日本\\語.txt", "😀.txt", "ä.txt"}) {
            expected.push_back(Moved(In(f, entry), In(t, entry)));
        }
        Append(&expected, {FromTo(f, t), Copied(In(f, "ver.bin"), In(t, "ver.bin")), End(1)});
    }
    if (wine()) {
        for (std::string& message : expected) message = InCodePageLog(message, "CP1252");
    }
    EXPECT_TRUE(LogIs(expected));
    EXPECT_TREE(Listed("s"), (Tree{{"a.txt", "2"}, {"한글/", ""}, {"日本/", ""}}));
    EXPECT_TREE(Listed("d"), (Tree{{"한글/", ""}, {"日本/", ""}}));
    EXPECT_TREE(Listed("한e"), (Tree{{"한글/", ""}, {"한글/가.txt", "h"}, {"日本/", ""}, {"日本/語.txt", "j"},
                                     {"😀.txt", "e"}, {"ä.txt", "1"}, {"ver.bin", "v"}}));
    EXPECT_FALSE(Exists(game_ + "/한c"));
}

// ---------------------------------------------------------------------------------------
// Links below the game directory. Any user may plant one in a game folder that the launcher
// opened to all, and the launcher runs elevated: the library passes none, and the folder a
// link leads to, outside the game, stays whole.

// What a user may plant at a name below the game directory, leading to a folder outside
// (or to one of its files): a link, a FIFO, a second name of an outside file (read-only
// or not), a mount of the outside folder.
enum class Plant { Link, Fifo, HardLink, ReadOnlyHardLink, Mount };

struct PlantCase {
    const char* what;
    Tree game;
    const char* at;      // the planted name, below the game directory
    const char* target;  // a file (or folder) of the folder outside that it leads to, or ""
    Args args;
    std::string out;
    Messages log;
    Tree after;  // the game directory, its log left out unless planted
    Plant plant = Plant::Link;
};

// The modes of every entry below root: a reset that reached a file outside would show.
std::map<std::string, mode_t> ModesOf(const std::string& root) {
    std::map<std::string, mode_t> modes;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        struct stat st;
        if (lstat(entry.path().c_str(), &st) == 0) modes[entry.path().string()] = st.st_mode;
    }
    return modes;
}

class VersionLinkE2E : public VersionE2E {
protected:
    // Each case on a fresh game directory and folder outside: the call's output, its log
    // and the game directory as expected, and the folder outside whole, modes and all.
    void RunCases(const std::vector<PlantCase>& cases) {
        const std::string outside = *scratch_ / "outside";
        for (const PlantCase& c : cases) {
            SCOPED_TRACE(c.what);
            RemoveTree(game_);
            RemoveTree(outside);
            MakeTree(game_, c.game);
            MakeTree(outside, {{"x.pak", "X"}, {"newlist.txt", "x.pak\r\nver.bin\r\n"}, {"ver.bin", "OV"},
                               {"sub/k.txt", "K"}});
            const std::string target = c.target[0] != '\0' ? outside + "/" + c.target : outside;
            const std::string at = game_ + "/" + c.at;
            // Unmounted on every way out, before the tree below it is listed or removed.
            struct Unmount {
                std::string at;
                ~Unmount() {
                    if (!at.empty()) umount2(at.c_str(), MNT_DETACH);
                }
                void Now() {
                    EXPECT_EQ(umount2(at.c_str(), MNT_DETACH), 0) << strerror(errno);
                    at.clear();
                }
            } mounted;
            switch (c.plant) {
            case Plant::Link: ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0); break;
            case Plant::Fifo: ASSERT_EQ(mkfifo(at.c_str(), 0666), 0); break;
            case Plant::ReadOnlyHardLink:
                // A reset of the name's attributes would make the file outside writable.
                ASSERT_EQ(chmod(target.c_str(), 0444), 0);
                [[fallthrough]];
            case Plant::HardLink: ASSERT_EQ(link(target.c_str(), at.c_str()), 0); break;
            case Plant::Mount:
                MakeDirectories(at);
                ASSERT_EQ(mount(target.c_str(), at.c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
                mounted.at = at;
                break;
            }
            const Tree outsideBefore = ListTree(outside);
            const auto modesBefore = ModesOf(outside);
            RunResult r = Run(c.args);
            if (!mounted.at.empty()) mounted.Now();
            EXPECT_EQ(r.out, c.out) << r.Describe();
            if (std::string(c.at) != "quisel.log") {
                EXPECT_TRUE(LogIs(c.log));
            }
            Tree after = ListTree(game_);
            if (std::string(c.at) != "quisel.log") after.erase("quisel.log");
            for (auto& [path, bytes] : after) {
                if (path.back() == '@') bytes.clear();
            }
            const char* suffix = c.plant == Plant::Link ? "@" : c.plant == Plant::Fifo ? "|" : "";
            Tree expected;
            for (const auto& [path, bytes] : c.after) expected[path == c.at ? path + suffix : path] = bytes;
            EXPECT_TREE(after, expected);
            EXPECT_TREE(ListTree(outside), outsideBefore);
            EXPECT_EQ(ModesOf(outside), modesBefore);
        }
    }
};

const std::string kList = "a.txt\r\ndata\\x.pak\r\nver.bin\r\n";
const Tree kVersion = {{"newlist.txt", "n\r\n"}, {"backuplist.txt", "a.txt\r\nver.bin\r\n"}, {"a.txt", "A"},
                       {"ver.bin", "V"}};
const Tree kSnapshot = {{"gameold/", ""}, {"gameold/newlist.txt", "a.txt\r\nver.bin\r\n"},
                        {"gameold/backuplist.txt", "n\r\n"}, {"gameold/a.txt", "A"}, {"gameold/ver.bin", "V"},
                        {"newlist.txt", "n\r\n"}, {"backuplist.txt", "a.txt\r\nver.bin\r\n"}};

Tree With(Tree tree, const Tree& more) {
    for (const auto& [path, bytes] : more) tree[path] = bytes;
    return tree;
}

TEST_P(VersionLinkE2E, NoLinkBelowTheGameIsPassed) {
    const std::string g = Root(), o = Root("gameold");
    RunCases({
        {"a link in the snapshot's place goes, as the link", kVersion, "gameold", "", {"backup", "0"}, "1\n",
         {Begin(), FromTo(g, o), Moved(In(g, "a.txt"), In(o, "a.txt")), FromTo(g, o),
          Copied(In(g, "ver.bin"), In(o, "ver.bin")), End(1)},
         kSnapshot},
        {"a backup of an entry through a link is refused untouched",
         {{"newlist.txt", "n\r\n"}, {"backuplist.txt", kList}, {"a.txt", "A"}, {"ver.bin", "V"}}, "data", "",
         {"backup", "0"}, "0\n", {"GetFileAttributes(" + In(g, "data\\x.pak") + ") FAILED 4395\n"},
         {{"newlist.txt", "n\r\n"}, {"backuplist.txt", kList}, {"a.txt", "A"}, {"ver.bin", "V"}, {"data", ""}}},
        {"a restore through a link writes nothing there",
         {{"gameold/newlist.txt", "data\\evil.dll\r\n"}, {"gameold/data/evil.dll", "E"}}, "data", "",
         {"move", o, g, In(o, "newlist.txt"), "1"}, "0\n",
         {Begin(), FromTo(o, g), MoveFailed(In(o, "data\\evil.dll"), In(g, "data\\evil.dll"), 4395),
          ForceBegin(o, g), MoveFailed(In(o, "data\\evil.dll"), In(g, "data\\evil.dll"), 4395), ForceEnd(o, g, 0),
          End(0)},
         {{"gameold/", ""}, {"gameold/newlist.txt", "data\\evil.dll\r\n"}, {"gameold/data/", ""},
          {"gameold/data/evil.dll", "E"}, {"data", ""}}},
        {"a restore from a snapshot that is a link takes nothing from it", {}, "gameold", "",
         {"move", o, g, In(o, "newlist.txt"), "1"}, "0\n",
         {Begin(), FromTo(o, g), "fopen(" + In(o, "newlist.txt") + ", \"r\") FAILED 4395\n", ForceBegin(o, g),
          "SetCurrentDirectory(" + o + ") FAILED 4395\n", ForceEnd(o, g, 0), End(0)},
         {{"gameold", ""}}},
        {"a list that is a link is not read", {{"newlist.txt", "n\r\n"}, {"a.txt", "A"}}, "backuplist.txt",
         "newlist.txt", {"backup", "0"}, "0\n", {"fopen(backuplist.txt, \"r\") FAILED 4395\n"},
         {{"newlist.txt", "n\r\n"}, {"a.txt", "A"}, {"backuplist.txt", ""}}},
        // Its records are lost, as when the log cannot be opened for any other reason.
        {"a log that is a link is not written", {{"newlist.txt", "n\r\n"}, {"backuplist.txt", "gone.txt\r\n"}},
         "quisel.log", "ver.bin", {"backup", "0"}, "0\n", {},
         {{"newlist.txt", "n\r\n"}, {"backuplist.txt", "gone.txt\r\n"}, {"quisel.log", ""}}},
    });
}

// A FIFO opened would hold the call for good, waiting for a writer or a reader: none is
// opened, and each call ends at once. A FIFO listed moves as itself, as a link does.
TEST_P(VersionLinkE2E, NoFifoHoldsACall) {
    const std::string g = Root(), o = Root("gameold");
    RunCases({
        {"a FIFO as the log: every call ends, its records lost", kVersion, "quisel.log", "",
         {"backup", "0", "move", o, g, In(o, "newlist.txt"), "0", "clear", "gameold", "1"}, "1\n1\n1\n", {},
         With(kVersion, {{"quisel.log", ""}}), Plant::Fifo},
        {"a FIFO as the game's list", {{"newlist.txt", "n\r\n"}, {"a.txt", "A"}}, "backuplist.txt", "",
         {"backup", "0"}, "0\n", {"fopen(backuplist.txt, \"r\") FAILED 5\n"},
         {{"newlist.txt", "n\r\n"}, {"a.txt", "A"}, {"backuplist.txt", ""}}, Plant::Fifo},
        {"a FIFO as the snapshot's list", {{"gameold/a.txt", "A"}}, "gameold/newlist.txt", "",
         {"move", o, g, In(o, "newlist.txt"), "0"}, "0\n",
         {Begin(), FromTo(o, g), "fopen(" + In(o, "newlist.txt") + ", \"r\") FAILED 5\n", End(0)},
         {{"gameold/", ""}, {"gameold/a.txt", "A"}, {"gameold/newlist.txt", ""}}, Plant::Fifo},
        {"a FIFO as the marker is not copied", Without(kVersion, {"ver.bin"}), "ver.bin", "", {"backup", "0"}, "0\n",
         {"SetCurrentDirectory(" + o + ") FAILED 2\n", Begin(), FromTo(g, o), Moved(In(g, "a.txt"), In(o, "a.txt")),
          FromTo(g, o), CopyFailed(In(g, "ver.bin"), In(o, "ver.bin"), 5), End(0)},
         Without(With(kSnapshot, {{"ver.bin", ""}}), {"gameold/ver.bin"}), Plant::Fifo},
        {"a FIFO listed moves as itself",
         {{"newlist.txt", "n\r\n"}, {"backuplist.txt", "p\r\n"}}, "p", "", {"backup", "0"}, "1\n",
         {"SetCurrentDirectory(" + o + ") FAILED 2\n", Begin(), FromTo(g, o), Moved(In(g, "p"), In(o, "p")), End(1)},
         {{"newlist.txt", "n\r\n"}, {"backuplist.txt", "p\r\n"}, {"gameold/", ""}, {"gameold/newlist.txt", "p\r\n"},
          {"gameold/backuplist.txt", "n\r\n"}, {"gameold/p|", ""}},
         Plant::Fifo},
    });
}

// A second name of a file outside: never written into, never read as a list or copied,
// and its deletion takes this name alone, the file outside keeping its read-only bit. On
// every build: Wine counts a file's names as the system below it does.
using VersionSecondNameE2E = VersionLinkE2E;

TEST_P(VersionSecondNameE2E, NoSecondNameOfAFileOutsideIsWrittenReadOrReset) {
    const std::string g = Root(), o = Root("gameold");
    RunCases({
        {"the log as a second name is not written", kVersion, "quisel.log", "x.pak", {"backup", "0"}, "1\n", {},
         With(kSnapshot, {{"quisel.log", "X"}}), Plant::ReadOnlyHardLink},
        {"the game's list as a second name is not read", {{"newlist.txt", "n\r\n"}, {"x.pak", "mine"}},
         "backuplist.txt", "newlist.txt", {"backup", "0"}, "0\n", {"fopen(backuplist.txt, \"r\") FAILED 5\n"},
         {{"newlist.txt", "n\r\n"}, {"x.pak", "mine"}, {"backuplist.txt", "x.pak\r\nver.bin\r\n"}}, Plant::HardLink},
        {"the snapshot's list as a second name is not read", {{"gameold/x.pak", "mine"}}, "gameold/newlist.txt",
         "newlist.txt", {"move", o, g, In(o, "newlist.txt"), "0"}, "0\n",
         {Begin(), FromTo(o, g), "fopen(" + In(o, "newlist.txt") + ", \"r\") FAILED 5\n", End(0)},
         {{"gameold/", ""}, {"gameold/x.pak", "mine"}, {"gameold/newlist.txt", "x.pak\r\nver.bin\r\n"}},
         Plant::HardLink},
        {"a list to copy as a second name is not copied",
         {{"backuplist.txt", "a.txt\r\n"}, {"a.txt", "A"}}, "newlist.txt", "newlist.txt", {"backup", "0"}, "0\n",
         {"SetCurrentDirectory(" + o + ") FAILED 2\n"},
         {{"backuplist.txt", "a.txt\r\n"}, {"a.txt", "A"}, {"newlist.txt", "x.pak\r\nver.bin\r\n"}},
         Plant::HardLink},
        {"a copy onto a second name replaces the name, not the file",
         {{"gameold/newlist.txt", "ver.bin\r\n"}, {"gameold/ver.bin", "V"}}, "ver.bin", "ver.bin",
         {"move", o, g, In(o, "newlist.txt"), "0"}, "1\n",
         {Begin(), FromTo(o, g), FromTo(o, g), Copied(In(o, "ver.bin"), In(g, "ver.bin")), End(1)},
         {{"gameold/", ""}, {"gameold/newlist.txt", "ver.bin\r\n"}, {"ver.bin", "V"}}, Plant::HardLink},
        {"a clearing deletes the name and leaves the file's attributes", {{"junk/a.txt", "a"}}, "junk/k.txt",
         "sub/k.txt", {"clear", "junk", "1"}, "1\n", {}, {}, Plant::ReadOnlyHardLink},
        {"a move replaces a second name and leaves the file's attributes",
         {{"gameold/newlist.txt", "x.pak\r\n"}, {"gameold/x.pak", "new"}}, "x.pak", "x.pak",
         {"move", o, g, In(o, "newlist.txt"), "0"}, "1\n",
         {Begin(), FromTo(o, g), Moved(In(o, "x.pak"), In(g, "x.pak")), End(1)},
         {{"gameold/", ""}, {"gameold/newlist.txt", "x.pak\r\n"}, {"x.pak", "new"}}, Plant::ReadOnlyHardLink},
    });
}

// A folder mounted below the game directory leads elsewhere as a link does: never walked
// or passed, and its removal, which only its owner may make, fails with a record.
TEST_P(VersionLinkE2E, NoMountPointBelowTheGameIsPassed) {
    if (geteuid() != 0) GTEST_SKIP() << "bind mounts need root";
    const std::string g = Root(), o = Root("gameold");
    RunCases({
        {"a mount inside the earlier snapshot is not emptied", With(kVersion, {{"gameold/old.txt", "O"}}),
         "gameold/m", "", {"backup", "0"}, "0\n",
         {"RemoveDirectory(m) FAILED 5\n", "RemoveDirectory(" + o + ") FAILED 145\n"},
         With(kVersion, {{"gameold/", ""}, {"gameold/m/", ""}}), Plant::Mount},
        {"a mount inside a snapshot is not carried by a forced restore",
         {{"gameold/newlist.txt", "gone.txt\r\n"}, {"gameold/a.txt", "A"}}, "gameold/m", "",
         {"move", o, g, In(o, "newlist.txt"), "1"}, "0\n",
         {Begin(), FromTo(o, g), MoveFailed(In(o, "gone.txt"), In(g, "gone.txt"), 2), ForceBegin(o, g),
          Moved(In(o, "a.txt"), In(g, "a.txt")), MoveFailed(In(o, "m"), In(g, "m"), 5), ForceEnd(o, g, 0), End(0)},
         {{"gameold/", ""}, {"gameold/newlist.txt", "gone.txt\r\n"}, {"gameold/m/", ""}, {"a.txt", "A"}},
         Plant::Mount},
        {"a snapshot that is a mount gives nothing", {{"gameold/", ""}}, "gameold", "",
         {"move", o, g, In(o, "newlist.txt"), "1"}, "0\n",
         {Begin(), FromTo(o, g), "fopen(" + In(o, "newlist.txt") + ", \"r\") FAILED 4395\n", ForceBegin(o, g),
          "SetCurrentDirectory(" + o + ") FAILED 4395\n", ForceEnd(o, g, 0), End(0)},
         {{"gameold/", ""}}, Plant::Mount},
        {"a listed entry's folder that is a mount is refused untouched",
         {{"newlist.txt", "n\r\n"}, {"backuplist.txt", kList}, {"a.txt", "A"}, {"ver.bin", "V"}}, "data", "",
         {"backup", "0"}, "0\n", {"GetFileAttributes(" + In(g, "data\\x.pak") + ") FAILED 4395\n"},
         {{"newlist.txt", "n\r\n"}, {"backuplist.txt", kList}, {"a.txt", "A"}, {"ver.bin", "V"}, {"data/", ""}},
         Plant::Mount},
        {"a forced move's destination through a mount writes nothing there",
         {{"src/sub/k.txt", "mine"}, {"dst/", ""}}, "dst/sub", "", {"move", Root("src"), Root("dst"), "none", "1"},
         "0\n",
         {Begin(), FromTo(Root("src"), Root("dst")), "fopen(none, \"r\") FAILED 2\n", ForceBegin(Root("src"), Root("dst")),
          MoveFailed(In(Root("src"), "sub\\k.txt"), In(Root("dst"), "sub\\k.txt"), 4395),
          ForceEnd(Root("src"), Root("dst"), 0), End(0)},
         {{"src/", ""}, {"src/sub/", ""}, {"src/sub/k.txt", "mine"}, {"dst/", ""}, {"dst/sub/", ""}}, Plant::Mount},
        {"a clearing that leaves files does not empty a mount", {{"cache/c.txt", "c"}}, "cache/x", "",
         {"clear", "cache", "0"}, "0\n", {"RemoveDirectory(x) FAILED 5\n"}, {{"cache/", ""}, {"cache/x/", ""}},
         Plant::Mount},
    });
}

INSTANTIATE_TEST_SUITE_P(Builds, VersionE2E, ::testing::ValuesIn(TestedBuilds()), BuildParamName);
// Natively only: Wine is not Windows for links (its MoveFileW and DeleteFileW act on a
// link's target, and it opens a link's target where Windows opens the link itself), so
// their semantics are shown where they are real.
INSTANTIATE_TEST_SUITE_P(Builds, VersionLinkE2E, ::testing::Values(Build::Native), BuildParamName);
INSTANTIATE_TEST_SUITE_P(Builds, VersionSecondNameE2E, ::testing::ValuesIn(TestedBuilds()), BuildParamName);

}  // namespace
}  // namespace quisel::test
