// Directory clearing and the forced tree move end to end: quisel-run drives the library
// of each build (natively, and the Windows build under Wine) on real trees, and the
// whole activity log is compared record by record.
//
// The forced move is internal; VersionMove reaches it with force 1 and a list that does
// not exist, and then moves the root's "ver.bin" itself.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_runner.h"

namespace quisel::test {
namespace {

using Args = std::vector<std::string>;
using Lines = std::vector<std::string>;

void MakeReadOnly(const std::string& path) {
    ASSERT_EQ(chmod(path.c_str(), 0555), 0) << path;
}

// Hidden and system, as Wine keeps them on a directory (in its DOS attribute word):
// a folder Windows customises, or one a tool hides. Natively a directory as any other.
void MakeHiddenSystem(const std::string& path) {
    ASSERT_EQ(setxattr(path.c_str(), "user.DOSATTRIB", "0x6", 3, 0), 0) << path;
}

Lines Concat(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class TreeHostTest : public ::testing::TestWithParam<Build> {
protected:
    void SetUp() override {
        QUISEL_SKIP_UNLESS_AVAILABLE(build());
        scratch_ = std::make_unique<TempDir>("quisel-tree");
        game_ = *scratch_ / "game";
        MakeDirectories(game_);
    }

    Build build() const { return GetParam(); }

    // A path below the game directory as the library is given it.
    std::string In(const std::string& relative) const {
        return LibraryPath(build(), game_) + "\\" + Backslashed(relative);
    }

    // A run that spins is killed well before the default timeout, and fails.
    RunResult Run(const Args& args) {
        RunResult r = RunHost(build(), args, game_, std::chrono::seconds(60));
        EXPECT_FALSE(r.timedOut) << r.Describe();
        return r;
    }

    std::string Log() const {
        const std::string path = game_ + "/quisel.log";
        return Exists(path) ? ReadFile(path) : "";
    }

    // The forced move of from to to, reached through a list that does not exist.
    static Args ForcedMove(const std::string& from, const std::string& to) {
        return {"move", from, to, "missing.txt", "1"};
    }

    // The records of VersionMove up to the forced move's start.
    static Lines ForcedBegin(const std::string& from, const std::string& to) {
        return {"-------- VersionMove begin ---------\n", "from: " + from + "\nto: " + to,
                "fopen(missing.txt, \"r\") FAILED 2\n",
                "---------- ForceMove(" + from + ", " + to + ") begin -------------\n"};
    }

    // One SUCCEED record per relative path, joined to each root by one backslash.
    static Lines Moved(const std::string& fromRoot, const std::string& toRoot, const Lines& relatives) {
        Lines lines;
        for (const std::string& r : relatives)
            lines.push_back("MoveFile(" + fromRoot + "\\" + Backslashed(r) + ", " + toRoot + "\\" + Backslashed(r) +
                            ") SUCCEED !!!\n");
        return lines;
    }

    // The marker moved by VersionMove after a complete forced move, and the end records.
    static Lines ForcedEnd(const std::string& from, const std::string& to, int result) {
        Lines lines;
        if (result == 1)
            lines.push_back("CopyFile(" + from + "\\ver.bin, " + to + "\\ver.bin) SUCCEED !!!\n");
        lines.push_back("--------- ForceMove(" + from + ", " + to + ") " + std::to_string(result) + " --------\n");
        lines.push_back("-------- VersionMove end " + std::to_string(result) + "---------\n");
        return lines;
    }

    std::unique_ptr<TempDir> scratch_;
    std::string game_;
};

// A tree with files at three levels, names the forced move would leave alone, read-only
// files and an empty directory.
Tree ClearableTree() {
    return {{"top.txt", "top"},
            {"ro.txt", "read-only"},
            {"ver.bin", "marker"},
            {"newlist.txt", "list"},
            {"a/mid.txt", "mid"},
            {"a/b/deep.bin", std::string("\0\r\n\x1a\xff", 5)},
            {"a/b/ro2.txt", "read-only too"},
            {"a/empty/", ""}};
}

void MakeClearable(const std::string& root) {
    MakeTree(root, ClearableTree());
    MakeReadOnly(root + "/ro.txt");
    MakeReadOnly(root + "/a/b/ro2.txt");
}

TEST_P(TreeHostTest, ClearEmptiesOrRemovesTrees) {
    MakeTree(game_, {{"keep.txt", "keep"}, {"other/x.txt", "x"}, {"e0/", ""}, {"e1/", ""}, {"nest/n.txt", "n"}});
    MakeClearable(game_ + "/t0");
    MakeClearable(game_ + "/t1");
    MakeClearable(game_ + "/nest/t2");

    // Bare and nested relative names resolve against the game directory, so each later
    // call also shows that the one before restored the current directory.
    RunResult r = Run({"clear", "t0", "0", "clear", In("t1"), "1", "clear", "e0", "0", "clear", "e1", "1", "clear",
                       "nest\\t2", "1"});
    EXPECT_EQ(r.out, "1\n1\n1\n1\n1\n") << r.Describe();
    EXPECT_EQ(r.exitCode, 0);

    // A clearing that succeeds writes nothing, so no log is even created.
    EXPECT_FALSE(Exists(game_ + "/quisel.log")) << Printable(Log());
    EXPECT_EQ(DescribeTree(ListTree(game_)), DescribeTree({{"keep.txt", "keep"},
                                                           {"other/", ""},
                                                           {"other/x.txt", "x"},
                                                           {"e0/", ""},
                                                           {"nest/", ""},
                                                           {"nest/n.txt", "n"},
                                                           {"t0/", ""},
                                                           {"t0/a/", ""},
                                                           {"t0/a/b/", ""},
                                                           {"t0/a/empty/", ""}}));
}

TEST_P(TreeHostTest, ClearOfWhatCannotBeEnteredTouchesNothing) {
    MakeTree(game_, {{"file.txt", "a file"}, {"t/in.txt", "in"}});
    const Tree before = ListTree(game_);

    RunResult r = Run({"clear", "gone", "0", "clear", "gone\\deeper", "1", "clear", "file.txt", "1"});
    EXPECT_EQ(r.out, "0\n0\n0\n") << r.Describe();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(LogMatches(Log(), MaskedLog({"SetCurrentDirectory(gone) FAILED 2\n",
                                             "SetCurrentDirectory(gone\\deeper) FAILED 3\n",
                                             "SetCurrentDirectory(file.txt) FAILED 267\n"})));
    Tree after = ListTree(game_);
    after.erase("quisel.log");
    EXPECT_EQ(DescribeTree(after), DescribeTree(before));
}

TEST_P(TreeHostTest, ClearEntersEveryDirectoryWhateverItsAttributes) {
    // A directory carries more than its directory bit on a player's disk: read-only (17,
    // every folder customised with a desktop.ini), hidden and system (22; compressed,
    // encrypted, pinned, ... on Windows). Each is walked and emptied, and removed on request.
    for (const char* top : {"t", "k"}) {
        MakeTree(game_ + "/" + top, {{"a.txt", "a"}, {"rodir/in.txt", "in"}, {"rodir/deep/d.txt", "d"},
                                     {"hs/h.txt", "h"}, {".dot/x.txt", "x"}});
        MakeReadOnly(game_ + "/" + top + "/rodir");
        MakeHiddenSystem(game_ + "/" + top + "/hs");
    }

    RunResult r = Run({"clear", "t", "1", "clear", "k", "0"});
    EXPECT_EQ(r.out, "1\n1\n") << r.Describe() << Printable(Log());
    EXPECT_FALSE(Exists(game_ + "/quisel.log")) << Printable(Log());
    EXPECT_EQ(DescribeTree(ListTree(game_)),
              DescribeTree({{"k/", ""}, {"k/rodir/", ""}, {"k/rodir/deep/", ""}, {"k/hs/", ""}, {"k/.dot/", ""}}));
}

TEST_P(TreeHostTest, TheCurrentDirectoryIsNeitherRemovedNorMoved) {
    // Windows holds it open without delete sharing. The first move runs in the game
    // directory, so the others also show that the host's change of directory is seen.
    MakeTree(game_, {{"sub/f.txt", "f"}, {"l.lst", "sub\r\n"}, {"m.lst", "none.txt\r\n"}});
    const std::string g = LibraryPath(build(), game_);
    RunResult r = Run({"move", g, In("dst"), In("m.lst"), "0", "cd", "sub", "move", g, In("dst"), In("l.lst"), "0",
                       "clear", In("sub"), "1", "clear", ".", "1"});
    EXPECT_EQ(r.out, "0\n0\n0\n0\n") << r.Describe();
    const Lines begin = {"-------- VersionMove begin ---------\n", "from: " + g + "\nto: " + In("dst")};
    const Lines end = {"-------- VersionMove end 0---------\n"};
    auto failedMove = [this](const std::string& name, int code) {
        return Lines{"MoveFile(" + In(name) + ", " + In("dst\\" + name) + ") FAILED " + std::to_string(code) + "\n"};
    };
    const Lines removals = {"RemoveDirectory(" + In("sub") + ") FAILED 32\n", "RemoveDirectory(.) FAILED 32\n"};
    EXPECT_TRUE(LogMatches(
        Log(), MaskedLog(Concat({begin, failedMove("none.txt", 2), end, begin, failedMove("sub", 32), end, removals}))));
    EXPECT_EQ(DescribeTree(ListTree(game_)), DescribeTree({{"l.lst", "sub\r\n"},
                                                           {"m.lst", "none.txt\r\n"},
                                                           {"quisel.log", Log()},
                                                           {"sub/", ""}}));
}

TEST_P(TreeHostTest, ForcedMoveCarriesTheTreeAndLeavesTheSkippedNames) {
    const Tree source = {
        {"ver.bin", "root marker"},
        {"x.txt", "x"},
        {"B.txt", "upper B"},
        {"a.txt", "a"},
        {"_u.txt", "underscore"},
        {"newlist.txt", "nl"},
        {"backuplist.txt", "bl"},
        {"quisel.dll", "dll"},
        {"quisel.log", "not the game's log"},
        {"a/y.txt", "y"},
        {"a/ver.bin", "nested marker"},
        {"a/VER.BIN", "case variant"},
        {"a/newlist.txt", "nested nl"},
        {"a/b/z.bin", std::string("\0\r\n\x1a", 4)},
        {"a/b/quisel.dll", "nested dll"},
        {"a/b/backuplist.txt", "nested bl"},
        {"a/b/Newlist.txt", "case variant too"},
        {"empty/", ""},
        {"a/b/empty2/", ""},
    };
    MakeTree(game_ + "/src", source);
    MakeReadOnly(game_ + "/src/a/y.txt");

    const std::string from = In("src");
    const std::string to = In("dst");
    RunResult r = Run(ForcedMove(from, to));
    EXPECT_EQ(r.out, "1\n") << r.Describe();
    EXPECT_EQ(r.exitCode, 0);

    // Levels in the case-insensitive order of the enumeration, each subdirectory walked
    // before the next entry of its parent.
    const Lines moved = Moved(from, to,
                              {"a\\b\\Newlist.txt", "a\\b\\z.bin", "a\\VER.BIN", "a\\y.txt", "a.txt", "B.txt",
                               "quisel.log", "x.txt", "_u.txt"});
    EXPECT_TRUE(LogMatches(Log(), MaskedLog(Concat({ForcedBegin(from, to), moved, ForcedEnd(from, to, 1)}))));

    EXPECT_EQ(DescribeTree(ListTree(game_ + "/src")), DescribeTree({{"newlist.txt", "nl"},
                                                                    {"backuplist.txt", "bl"},
                                                                    {"quisel.dll", "dll"},
                                                                    {"a/", ""},
                                                                    {"a/ver.bin", "nested marker"},
                                                                    {"a/newlist.txt", "nested nl"},
                                                                    {"a/b/", ""},
                                                                    {"a/b/quisel.dll", "nested dll"},
                                                                    {"a/b/backuplist.txt", "nested bl"},
                                                                    {"a/b/empty2/", ""},
                                                                    {"empty/", ""}}));
    // Empty source directories leave no trace at the destination.
    EXPECT_EQ(DescribeTree(ListTree(game_ + "/dst")), DescribeTree({{"ver.bin", "root marker"},
                                                                    {"x.txt", "x"},
                                                                    {"B.txt", "upper B"},
                                                                    {"a.txt", "a"},
                                                                    {"_u.txt", "underscore"},
                                                                    {"quisel.log", "not the game's log"},
                                                                    {"a/", ""},
                                                                    {"a/y.txt", "y"},
                                                                    {"a/VER.BIN", "case variant"},
                                                                    {"a/b/", ""},
                                                                    {"a/b/z.bin", std::string("\0\r\n\x1a", 4)},
                                                                    {"a/b/Newlist.txt", "case variant too"}}));
}

TEST_P(TreeHostTest, ForcedMoveWalksEveryDirectoryWhateverItsAttributes) {
    // A read-only or hidden and system directory is walked like any other: the names the
    // walk leaves stay inside it, and its files join a directory of its name at the
    // destination, hidden too, rather than stopping the move there.
    MakeTree(game_ + "/src", {{"ver.bin", "m"}, {"rodir/ver.bin", "inner marker"}, {"rodir/x.txt", "x"},
                              {"hs/h.txt", "h"}, {"p/y.txt", "y"}});
    MakeTree(game_ + "/dst", {{"hs/old.txt", "old"}});
    MakeReadOnly(game_ + "/src/rodir");
    MakeHiddenSystem(game_ + "/src/hs");
    MakeHiddenSystem(game_ + "/dst/hs");

    const std::string from = In("src");
    const std::string to = In("dst");
    RunResult r = Run(ForcedMove(from, to));
    EXPECT_EQ(r.out, "1\n") << r.Describe() << Printable(Log());
    EXPECT_TRUE(LogMatches(Log(), MaskedLog(Concat({ForcedBegin(from, to),
                                                    Moved(from, to, {"hs\\h.txt", "p\\y.txt", "rodir\\x.txt"}),
                                                    ForcedEnd(from, to, 1)}))));
    EXPECT_EQ(DescribeTree(ListTree(game_ + "/src")),
              DescribeTree({{"hs/", ""}, {"p/", ""}, {"rodir/", ""}, {"rodir/ver.bin", "inner marker"}}));
    EXPECT_EQ(DescribeTree(ListTree(game_ + "/dst")), DescribeTree({{"ver.bin", "m"},
                                                                    {"hs/", ""},
                                                                    {"hs/h.txt", "h"},
                                                                    {"hs/old.txt", "old"},
                                                                    {"p/", ""},
                                                                    {"p/y.txt", "y"},
                                                                    {"rodir/", ""},
                                                                    {"rodir/x.txt", "x"}}));
}

TEST_P(TreeHostTest, ForcedMoveReplacesExistingFilesSilently) {
    MakeTree(game_ + "/src", {{"ver.bin", "new marker"}, {"x.txt", "new x"}, {"a/y.txt", "new y"}});
    MakeTree(game_ + "/dst", {{"ver.bin", "old marker"}, {"x.txt", "old x"}, {"a/y.txt", "old y"}, {"extra", "e"}});
    MakeReadOnly(game_ + "/dst/x.txt");
    MakeReadOnly(game_ + "/dst/a/y.txt");

    const std::string from = In("src");
    const std::string to = In("dst");
    RunResult r = Run(ForcedMove(from, to));
    EXPECT_EQ(r.out, "1\n") << r.Describe();
    EXPECT_TRUE(LogMatches(Log(), MaskedLog(Concat({ForcedBegin(from, to), Moved(from, to, {"a\\y.txt", "x.txt"}),
                                                    ForcedEnd(from, to, 1)}))));
    EXPECT_EQ(DescribeTree(ListTree(game_ + "/dst")),
              DescribeTree({{"ver.bin", "new marker"},
                            {"x.txt", "new x"},
                            {"a/", ""},
                            {"a/y.txt", "new y"},
                            {"extra", "e"}}));
    EXPECT_EQ(DescribeTree(ListTree(game_ + "/src")), DescribeTree({{"a/", ""}}));
}

TEST_P(TreeHostTest, ForcedMoveJoinsPathsAlikeWithOrWithoutATrailingBackslash) {
    const Tree source = {{"ver.bin", "m"}, {"f.txt", "f"}, {"d/g.txt", "g"}};
    MakeTree(game_ + "/s1", source);
    MakeTree(game_ + "/s2", source);

    RunResult r = Run(Concat({ForcedMove(In("s1"), In("d1")), ForcedMove(In("s2") + "\\", In("d2") + "\\")}));
    EXPECT_EQ(r.out, "1\n1\n") << r.Describe();
    // The marker's paths are "%s\ver.bin" of the arguments as given: a doubled backslash.
    EXPECT_TRUE(LogMatches(
        Log(), MaskedLog(Concat({ForcedBegin(In("s1"), In("d1")), Moved(In("s1"), In("d1"), {"d\\g.txt", "f.txt"}),
                                 ForcedEnd(In("s1"), In("d1"), 1), ForcedBegin(In("s2") + "\\", In("d2") + "\\"),
                                 Moved(In("s2"), In("d2"), {"d\\g.txt", "f.txt"}),
                                 ForcedEnd(In("s2") + "\\", In("d2") + "\\", 1)}))));
    for (const char* d : {"/d1", "/d2"}) {
        SCOPED_TRACE(d);
        EXPECT_EQ(DescribeTree(ListTree(game_ + d)),
                  DescribeTree({{"ver.bin", "m"}, {"f.txt", "f"}, {"d/", ""}, {"d/g.txt", "g"}}));
    }
}

TEST_P(TreeHostTest, ForcedMoveIntoItsOwnSubdirectoryMovesEachFileOnce) {
    // The destination exists inside the source and sorts among its entries; it must not
    // be walked as one more source directory, or its files would move into dst\dst.
    MakeTree(game_ + "/tree", {{"ver.bin", "m"},
                               {"a.txt", "a"},
                               {"dst/old.txt", "already there"},
                               {"dst/sub/kept.txt", "kept"},
                               {"sub/b.txt", "b"},
                               {"z.txt", "z"}});

    const std::string from = In("tree");
    const std::string to = In("tree/dst");
    RunResult r = Run(ForcedMove(from, to));
    EXPECT_EQ(r.out, "1\n") << r.Describe();
    EXPECT_TRUE(LogMatches(Log(), MaskedLog(Concat({ForcedBegin(from, to),
                                                    Moved(from, to, {"a.txt", "sub\\b.txt", "z.txt"}),
                                                    ForcedEnd(from, to, 1)}))));
    EXPECT_EQ(DescribeTree(ListTree(game_ + "/tree")), DescribeTree({{"dst/", ""},
                                                                     {"dst/ver.bin", "m"},
                                                                     {"dst/a.txt", "a"},
                                                                     {"dst/old.txt", "already there"},
                                                                     {"dst/sub/", ""},
                                                                     {"dst/sub/b.txt", "b"},
                                                                     {"dst/sub/kept.txt", "kept"},
                                                                     {"dst/z.txt", "z"},
                                                                     {"sub/", ""}}));
}

TEST_P(TreeHostTest, ForcedMoveGivesUpOnAPathThatStaysMissing) {
    // A destination level that exists as a file: creating it "succeeds" with 183, and
    // the move still finds no directory. A relative source: the walk stands inside it,
    // so the joined source path names nothing. Each fails once, with code 3.
    MakeTree(game_, {{"src1/a/x.txt", "x"}, {"src1/w.txt", "w"}, {"dst1/a", "a file"}, {"src2/f.txt", "f"}});
    const Tree before = ListTree(game_);

    const std::string from = In("src1");
    const std::string to = In("dst1");
    RunResult r = Run(Concat({ForcedMove(from, to), ForcedMove("src2", "dst2")}));
    EXPECT_EQ(r.out, "0\n0\n") << r.Describe();
    EXPECT_TRUE(LogMatches(
        Log(), MaskedLog(Concat({ForcedBegin(from, to),
                                 {"MoveFile(" + from + "\\a\\x.txt, " + to + "\\a\\x.txt) FAILED 3\n"},
                                 ForcedEnd(from, to, 0), ForcedBegin("src2", "dst2"),
                                 {"MoveFile(src2\\f.txt, dst2\\f.txt) FAILED 3\n"}, ForcedEnd("src2", "dst2", 0)}))));
    Tree after = ListTree(game_);
    after.erase("quisel.log");
    EXPECT_EQ(DescribeTree(after), DescribeTree(before));
}

// Names that Win32's path rules read as another path: a device ("CON", "NUL", "COM1.txt",
// "CONIN$"), the sibling "x" ("x." and "x "), the folder itself ("..." and " "). Made on
// the Linux side, each is cleared or moved as the entry listed: no device is opened, the
// sibling is untouched, no folder is entered again and again.
TEST_P(TreeHostTest, EveryListedNameIsTakenAsListed) {
    const Tree odd = {{"CON", "con"},     {"NUL", "nul"},        {"COM1.txt", "com1"},   {"CONIN$", "conin"},
                      {"x.", "trailing dot"}, {"x ", "trailing space"}, {".../in.txt", "dots"}, {" /in.txt", "blank"}};
    MakeTree(game_ + "/t", odd);
    MakeTree(game_ + "/k", odd);
    MakeTree(game_ + "/src", odd);
    WriteFile(game_ + "/src/ver.bin", "m");
    MakeTree(game_ + "/dst", {{"x", "the sibling"}});

    const std::string from = In("src");
    const std::string to = In("dst");
    RunResult r = Run(Concat({{"clear", "t", "1", "clear", "k", "0"}, ForcedMove(from, to)}));
    EXPECT_EQ(r.out, "1\n1\n1\n") << r.Describe() << Printable(Log());
    const Lines moved =
        Moved(from, to, {" \\in.txt", "...\\in.txt", "COM1.txt", "CON", "CONIN$", "NUL", "x ", "x."});
    EXPECT_TRUE(LogMatches(Log(), MaskedLog(Concat({ForcedBegin(from, to), moved, ForcedEnd(from, to, 1)}))));
    Tree dst = odd;
    dst.insert({{" /", ""}, {".../", ""}, {"x", "the sibling"}, {"ver.bin", "m"}});
    EXPECT_EQ(DescribeTree(ListTree(game_ + "/dst")), DescribeTree(dst));
    const Tree emptied = {{" /", ""}, {".../", ""}};
    EXPECT_EQ(DescribeTree(ListTree(game_ + "/k")), DescribeTree(emptied));
    EXPECT_EQ(DescribeTree(ListTree(game_ + "/src")), DescribeTree(emptied));
    EXPECT_FALSE(Exists(game_ + "/t"));
}

// A link in the place of the directory to empty is refused with its record, and what it
// leads to is untouched: on every build, as Wine lists a link as Windows does.
TEST_P(TreeHostTest, ClearRefusesToEmptyALinkAndTouchesNothingBehindIt) {
    const std::string outside = *scratch_ / "outside";
    MakeTree(outside, {{"keep.txt", "keep"}, {"deep/k2.txt", "k2"}});
    const Tree outsideBefore = ListTree(outside);
    ASSERT_EQ(symlink(outside.c_str(), (game_ + "/tl").c_str()), 0);
    RunResult r = Run({"clear", "tl", "0"});
    EXPECT_EQ(r.out, "0\n") << r.Describe();
    EXPECT_TRUE(LogMatches(Log(), MaskedLog({"SetCurrentDirectory(tl) FAILED 4395\n"})));
    EXPECT_TRUE(Exists(game_ + "/tl"));
    EXPECT_EQ(DescribeTree(ListTree(outside)), DescribeTree(outsideBefore));
}

// Links: each is removed as the link itself wherever a clearing meets it, and the folder
// it leads to, outside the game directory, stays whole.
using TreeLinkTest = TreeHostTest;

TEST_P(TreeLinkTest, ClearRemovesLinksAndNeverWhatTheyLeadTo) {
    const std::string outside = *scratch_ / "outside";
    MakeTree(outside, {{"keep.txt", "keep"}, {"deep/k2.txt", "k2"}});
    const Tree outsideBefore = ListTree(outside);
    MakeTree(game_, {{"t/a.txt", "a"}, {"t/sub/b.txt", "b"}});
    for (const char* link : {"t/dlink", "t/sub/dlink2", "tl", "tl2"})
        ASSERT_EQ(symlink(outside.c_str(), (game_ + "/" + link).c_str()), 0);
    ASSERT_EQ(symlink((outside + "/keep.txt").c_str(), (game_ + "/t/flink").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (game_ + "/t/dangling").c_str()), 0);

    // Links inside the tree go whether or not the directories do; a link in the place of
    // the tree itself goes when asked to, and is otherwise refused, untouched.
    RunResult r = Run({"clear", "t", "0", "clear", "tl", "0", "clear", In("tl"), "1", "clear", "tl2\\", "1"});
    EXPECT_EQ(r.out, "1\n0\n1\n1\n") << r.Describe() << Printable(Log());
    EXPECT_TRUE(LogMatches(Log(), MaskedLog({"SetCurrentDirectory(tl) FAILED 4395\n"})));
    EXPECT_EQ(DescribeTree(ListTree(game_)), DescribeTree({{"quisel.log", Log()}, {"t/", ""}, {"t/sub/", ""}}));
    EXPECT_EQ(DescribeTree(ListTree(outside)), DescribeTree(outsideBefore));
}

TEST_P(TreeLinkTest, ARootOutsideTheGameIsTakenAsGivenAndNothingBelowIt) {
    // The launcher's root outside the game directory may itself be a link (a snapshot kept
    // on another drive); what lies below it is reached through no link, and a clearing of a
    // directory named outside the game is refused when that directory is a link.
    const std::string secret = *scratch_ / "secret";
    MakeTree(secret, {{"s.txt", "secret"}});
    MakeTree(*scratch_ / "real", {{"ver.bin", "v"}, {"f.txt", "f"}, {"sub/g.txt", "g"}});
    MakeTree(*scratch_ / "junk", {{"j.txt", "j"}});
    ASSERT_EQ(symlink(secret.c_str(), (*scratch_ / "real/inner").c_str()), 0);
    ASSERT_EQ(symlink(secret.c_str(), (*scratch_ / "junk/inner").c_str()), 0);
    ASSERT_EQ(symlink((*scratch_ / "real").c_str(), (*scratch_ / "root").c_str()), 0);
    const std::string root = *scratch_ / "root", to = In("dst");
    RunResult r = Run({"move", root, to, "missing.txt", "1", "clear", *scratch_ / "junk", "0", "clear", root, "0"});
    EXPECT_EQ(r.out, "1\n1\n0\n") << r.Describe() << Printable(Log());
    EXPECT_TRUE(LogMatches(Log(), MaskedLog(Concat({ForcedBegin(root, to), Moved(root, to, {"f.txt", "inner", "sub\\g.txt"}),
                                                    ForcedEnd(root, to, 1),
                                                    {"SetCurrentDirectory(" + root + ") FAILED 4395\n"}}))));
    EXPECT_EQ(DescribeTree(ListTree(game_ + "/dst")),
              DescribeTree({{"ver.bin", "v"}, {"f.txt", "f"}, {"inner@", secret}, {"sub/", ""}, {"sub/g.txt", "g"}}));
    EXPECT_EQ(DescribeTree(ListTree(*scratch_ / "junk")), DescribeTree({}));
    EXPECT_EQ(DescribeTree(ListTree(secret)), DescribeTree({{"s.txt", "secret"}}));
}

// A name that holds a backslash reads as a path natively, so no walk addresses it: a
// clearing or a forced move that has to leave it says so, with 0 and a record naming it.
TEST_P(TreeLinkTest, WhatAWalkCannotAddressFailsTheCall) {
    MakeTree(game_, {{"t/a\\b", "ab"}, {"t/x.txt", "x"}, {"src/a\\b", "ab"}, {"src/c.txt", "c"}});
    const std::string src = In("src"), dst = In("dst");
    RunResult r = Run({"clear", "t", "0", "move", src, dst, "missing.txt", "1"});
    EXPECT_EQ(r.out, "0\n0\n") << r.Describe();
    EXPECT_TRUE(LogMatches(Log(), MaskedLog(Concat({{"DeleteFile(a\\b) FAILED 123\n"}, ForcedBegin(src, dst),
                                                    {"MoveFile(" + src + "\\a\\b, " + dst + "\\a\\b) FAILED 123\n"},
                                                    ForcedEnd(src, dst, 0)}))));
    Tree after = ListTree(game_);
    after.erase("quisel.log");
    EXPECT_EQ(DescribeTree(after),
              DescribeTree({{"t/", ""}, {"t/a\\b", "ab"}, {"src/", ""}, {"src/a\\b", "ab"}, {"src/c.txt", "c"}}));
}

// A file that other names share keeps what they see: a clearing that meets a hard link to
// a read-only file outside the tree removes that name only, and the file outside stays
// read-only (its attribute reset changes nothing, its deletion ignores the bit). On every
// build: Wine counts a link made on the Linux side.
TEST_P(TreeHostTest, ClearRemovesAHardLinkAndLeavesTheFileItShares) {
    const std::string outside = *scratch_ / "outside.txt";
    WriteFile(outside, "kept");
    MakeReadOnly(outside);
    MakeTree(game_ + "/t", {{"a.txt", "a"}});
    ASSERT_EQ(link(outside.c_str(), (game_ + "/t/shared.txt").c_str()), 0);
    RunResult r = Run({"clear", "t", "1"});
    EXPECT_EQ(r.out, "1\n") << r.Describe() << Printable(Log());
    EXPECT_FALSE(Exists(game_ + "/t"));
    struct stat st;
    ASSERT_EQ(stat(outside.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0555u);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(ReadFile(outside), "kept");
}

INSTANTIATE_TEST_SUITE_P(Builds, TreeHostTest, ::testing::ValuesIn(TestedBuilds()), BuildParamName);
// Natively only: Wine is not Windows for links (it opens, moves and deletes a link's
// target where Windows acts on the link), so their semantics are shown where they are real.
INSTANTIATE_TEST_SUITE_P(Builds, TreeLinkTest, ::testing::Values(Build::Native), BuildParamName);

} // namespace
} // namespace quisel::test
