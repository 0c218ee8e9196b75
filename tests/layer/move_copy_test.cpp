// Moves never replace; copies replace whole or not at all.
#include "layer_fixture.h"

#include <functional>

#include "files.h"
#include "frame/quisel.h"
#include "library_state.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "fault.h"
#endif

namespace layer_test {
namespace {

using MoveCopy = LayerTest;

TEST_F(MoveCopy, MoveNeverReplaces) {
    WriteFile("src", "new");
    WriteFile("dst", "old");
    MakeDirectories("srcdir");
    WriteFile("srcdir/inner", "x");
    MakeDirectories("emptydir");
    EXPECT_TRUE(FailedWith(MoveFileA("src", "dst"), 183));
    EXPECT_EQ(ReadFile("src"), "new");
    EXPECT_EQ(ReadFile("dst"), "old");
    // A plain rename(2) would put a directory over an empty one, or a file over a file.
    EXPECT_TRUE(FailedWith(MoveFileA("srcdir", "emptydir"), 183));
    EXPECT_TRUE(Exists("srcdir/inner"));
    EXPECT_TRUE(FailedWith(MoveFileA("src", "emptydir"), 183));
    EXPECT_TRUE(FailedWith(MoveFileA("emptydir", "dst"), 183));
    EXPECT_EQ(ReadFile("dst"), "old");
}

TEST_F(MoveCopy, MoveFilesAndDirectories) {
    WriteFile("src", std::string("bytes\r\n\0\x1a", 9));
    MakeDirectories("to/deeper");
    EXPECT_TRUE(MoveFileA("src", "to\\deeper\\renamed"));
    EXPECT_FALSE(Exists("src"));
    EXPECT_EQ(ReadFile("to/deeper/renamed"), std::string("bytes\r\n\0\x1a", 9));
    EXPECT_TRUE(MoveFileA("to", "moved"));
    EXPECT_EQ(ReadFile("moved/deeper/renamed"), std::string("bytes\r\n\0\x1a", 9));
    EXPECT_FALSE(Exists("to"));
}

TEST_F(MoveCopy, CopyReplacesExisting) {
    WriteFile("src", "short");
    WriteFile("dst", "a longer old content");
    EXPECT_TRUE(CopyFileA("src", "dst", FALSE));
    EXPECT_EQ(ReadFile("dst"), "short");
    EXPECT_EQ(ReadFile("src"), "short");
    EXPECT_TRUE(CopyFileA("src", "fresh", FALSE));
    EXPECT_EQ(ReadFile("fresh"), "short");
    EXPECT_TRUE(FailedWith(CopyFileA("src", "dst", TRUE), 80));
    MakeDirectories("dir");
    EXPECT_TRUE(FailedWith(CopyFileA("dir", "x", FALSE), 5));
    EXPECT_TRUE(FailedWith(CopyFileA("src", "dir", FALSE), 5));
    EXPECT_TRUE(IsDirectory("dir"));
#if !defined(_WIN32)
    std::vector<Listed> listed = ListCurrent();  // no temporary file left behind
    EXPECT_EQ(Names(listed), (std::vector<std::string>{".", "..", "dir", "dst", "fresh", "src"}));
#endif
}

TEST_F(MoveCopy, CopyOntoReadOnlyDestination) {
    WriteFile("src", "new");
    WriteFile("dst", "old");
    ASSERT_TRUE(SetFileAttributesA("dst", FILE_ATTRIBUTE_READONLY));
    BOOL ok = CopyFileA("src", "dst", FALSE);
    unsigned long code = GetLastError();
#if defined(_WIN32)
    // Windows refuses with 5. Wine, running as root here, lets root write the read-only
    // file and the copy succeeds; both are accepted so the test holds on either.
    if (ok) {
        EXPECT_EQ(ReadFile("dst"), "new");
    } else {
        EXPECT_EQ(code, 5ul);
    }
#else
    // Our layer follows Windows: replacing a read-only file is refused.
    EXPECT_FALSE(ok);
    EXPECT_EQ(code, 5ul);
    EXPECT_EQ(ReadFile("dst"), "old");
#endif
    SetFileAttributesA("dst", FILE_ATTRIBUTE_NORMAL);
}

// A fresh directory on another volume than the test's: memory (/dev/shm), which Wine
// reaches as Z:\dev\shm. "" where there is none.
std::string MakeOtherVolumeDirectory() {
#if defined(_WIN32)
    if (!IsDirectory("Z:\\dev\\shm")) return "";
    for (unsigned n = 0; n < 1000; ++n) {
        const std::string dir =
            "Z:\\dev\\shm\\quisel-layer-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(n);
        if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
    }
    return "";
#else
    char made[] = "/dev/shm/quisel-layer-XXXXXX";
    if (mkdtemp(made) == nullptr) return "";
    struct stat here, there;
    if (stat(".", &here) != 0 || stat(made, &there) != 0 || here.st_dev == there.st_dev) {
        rmdir(made);
        return "";
    }
    return made;
#endif
}

// What a call makes durable, as the layer counts the flushes the system confirmed: each
// copy that stands in for a file the call then deletes or replaces, once (natively its
// data, and its name too when it comes from another volume, whose order with this one no
// disk keeps; on Windows one FlushFileBuffers does both), and the call's records once at
// its end. Renames within a volume cost nothing, and neither does a call that logs nothing.
TEST_F(MoveCopy, CallsFlushTheirCopiesAndTheirLogOnce) {
#if defined(_WIN32)
    const bool windows = true;
#else
    const bool windows = false;
#endif
    using quisel::test::JoinPath;
    using quisel::test::Tree;
    const std::string other = MakeOtherVolumeDirectory();
    if (other.empty()) GTEST_SKIP() << "no second volume beside " << Root();
    const Tree version = {{"a.txt", "A"}, {"d/b.txt", "B"}, {"ver.bin", "V"}};
    const std::string list = "a.txt\r\nd\\b.txt\r\nver.bin\r\n";
    auto snapshot = [&](const std::string& at) {
        Tree tree = version;
        tree["newlist.txt"] = list;
        quisel::test::MakeTree(at, tree);
    };
    struct Row {
        const char* what;
        std::function<void(const std::string& game)> build;
        std::function<int(const std::string& game)> call;
        unsigned long flushes, onWindows;
    };
    const std::string away = JoinPath(other, "snapshot");
    const Row rows[] = {
        {"a backup: the two lists and the marker copied",
         [&](const std::string& game) {
             Tree tree = version;
             tree["newlist.txt"] = "a.txt\r\nver.bin\r\n";
             tree["backuplist.txt"] = list;
             quisel::test::MakeTree(game, tree);
         },
         [](const std::string&) { return VersionBackup(0); }, 4, 4},
        {"a restore on one volume: the marker copied",
         [&](const std::string& game) { snapshot(JoinPath(game, "gameold")); },
         [](const std::string& game) {
             const std::string from = JoinPath(game, "gameold");
             return VersionMove(from.c_str(), game.c_str(), JoinPath(from, "newlist.txt").c_str(), 1);
         },
         2, 2},
        {"a restore from another volume: every file copied",
         [&](const std::string& game) {
             snapshot(away);
             quisel::test::MakeDirectories(game);
         },
         [&](const std::string& game) {
             return VersionMove(away.c_str(), game.c_str(), JoinPath(away, "newlist.txt").c_str(), 1);
         },
         7, 7},
        // Outside a call Windows moves it itself, as a copy it flushes (write-through).
        {"a file moved from another volume outside a call",
         [&](const std::string&) { WriteFile(JoinPath(other, "loose.txt"), "L"); },
         [&](const std::string& game) {
             return FsMoveFile(JoinPath(other, "loose.txt").c_str(), JoinPath(game, "loose.txt").c_str());
         },
         2, 0},
        {"a clearing that logs nothing, after a call that logged",
         [](const std::string& game) {
             quisel::test::MakeTree(game, {{"tree/x.txt", "X"}});
             EXPECT_EQ(VersionMove(game.c_str(), "elsewhere", "missing.txt", 0), 0);
         },
         [](const std::string&) { return ClearDir("tree", 1); }, 0, 0},
    };
    int n = 0;
    for (const Row& row : rows) {
        const std::string game = JoinPath(Root(), "game" + std::to_string(++n));
        quisel::test::MakeDirectories(game);
        ASSERT_TRUE(SetCurrentDirectoryA(game.c_str()));
        row.build(game);
        const unsigned long before = FsFlushesMade();
        const std::string log = JoinPath(game, "quisel.log");
        EXPECT_EQ(row.call(game), 1) << row.what << "\n" << (Exists(log) ? ReadFile(log) : "");
        EXPECT_EQ(FsFlushesMade() - before, windows ? row.onWindows : row.flushes) << row.what;
        quisel::test::CloseLog();
        ASSERT_TRUE(SetCurrentDirectoryA(Root().c_str()));
    }
    // What came from the other volume is all in the game, and gone from there.
    Tree arrived = quisel::test::ListTree(JoinPath(Root(), "game3"));
    arrived.erase("quisel.log");
    EXPECT_EQ(arrived, (Tree{{"a.txt", "A"}, {"d/", ""}, {"d/b.txt", "B"}, {"ver.bin", "V"}}));
    EXPECT_EQ(quisel::test::ListTree(away), (Tree{{"d/", ""}, {"newlist.txt", list}}));
    EXPECT_EQ(ReadFile(JoinPath(Root(), "game4/loose.txt")), "L");
    EXPECT_FALSE(Exists(JoinPath(other, "loose.txt")));
    quisel::test::RemoveTree(other);
}

#if !defined(_WIN32)
std::string ModeOf(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return "missing";
    char text[16];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return text;
}

TEST_F(MoveCopy, CopyKeepsModeAndFollowsNoLinkAtDestination) {
    WriteFile("src", "content");
    ASSERT_EQ(chmod("src", 0640), 0);
    EXPECT_TRUE(CopyFileA("src", "dst", FALSE));
    EXPECT_EQ(ModeOf("dst"), "0640");
    ASSERT_EQ(chmod("src", 0444), 0);
    EXPECT_TRUE(CopyFileA("src", "ro", FALSE));
    EXPECT_EQ(ModeOf("ro"), "0444");  // read-only travels with the copy, as on Windows
    EXPECT_TRUE(FailedWith(CopyFileA("src", "ro", FALSE), 5));
    // A FIFO is no file to copy, and must not hang the copy waiting for a writer.
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    EXPECT_TRUE(FailedWith(CopyFileA("fifo", "out", FALSE), 5));
    EXPECT_FALSE(Exists("out"));
}

// Runs body with file writes limited to limit bytes, so a copy is cut short by EFBIG the
// way a full disk would cut it.
template <typename Body>
void WithFileSizeLimit(rlim_t limit, Body body) {
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct sigaction ignore {}, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old);
    struct rlimit limited = saved;
    limited.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    body();
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);
}

TEST_F(MoveCopy, CopyCutShortLeavesDestinationWhole) {
    WriteFile("src", std::string(200000, 's'));
    WriteFile("dst", "old");
    WithFileSizeLimit(65536, [] {
        BOOL ok = CopyFileA("src", "dst", FALSE);
        EXPECT_FALSE(ok);
        EXPECT_NE(GetLastError(), 0u);
    });
    EXPECT_EQ(ReadFile("dst"), "old");
    EXPECT_EQ(Names(ListCurrent()), (std::vector<std::string>{".", "..", "dst", "src"}));
}

TEST_F(MoveCopy, MoveMovesALinkItself) {
    WriteFile("target", "t");
    ASSERT_EQ(symlink("target", "link"), 0);
    EXPECT_TRUE(MoveFileA("link", "moved"));
    char buf[64] = {};
    ASSERT_GT(readlink("moved", buf, sizeof buf - 1), 0);
    EXPECT_STREQ(buf, "target");
    EXPECT_EQ(ReadFile("target"), "t");
    // Deleting a link removes the link only; setting attributes on it changes nothing.
    ASSERT_EQ(chmod("target", 0444), 0);
    EXPECT_TRUE(SetFileAttributesA("moved", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(ModeOf("target"), "0444");
    EXPECT_TRUE(DeleteFileA("moved"));
    EXPECT_FALSE(Exists("moved"));
    EXPECT_EQ(ReadFile("target"), "t");
}

// /dev/shm is tmpfs; the test directory is not, so moves between them cross file systems.
class CrossDevice : public LayerTest {
protected:
    void SetUp() override {
        LayerTest::SetUp();
        char templ[] = "/dev/shm/quisel-layer-XXXXXX";
        if (mkdtemp(templ) == nullptr) GTEST_SKIP() << "no /dev/shm";
        other_ = templ;
        struct stat a, b;
        ASSERT_EQ(stat(".", &a), 0);
        ASSERT_EQ(stat(other_.c_str(), &b), 0);
        if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system";
    }
    void TearDown() override {
        if (!other_.empty()) quisel::test::RemoveTree(other_);
        LayerTest::TearDown();
    }
    std::string Other(const std::string& name) const { return other_ + "/" + name; }
    std::string other_;
};

TEST_F(CrossDevice, MovesAFileWithContentModeAndTimes) {
    std::string bytes;
    for (int i = 0; i < 300000; ++i) bytes.push_back(static_cast<char>(i * 7));
    WriteFile(Other("src"), bytes);
    ASSERT_EQ(chmod(Other("src").c_str(), 0751), 0);
    struct timespec times[2] = {{1000000000, 123456789}, {1200000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, Other("src").c_str(), times, 0), 0);
    MakeDirectories("into");
    std::string from = Other("src");
    EXPECT_TRUE(MoveFileA(from.c_str(), "into\\dst"));
    EXPECT_FALSE(Exists(from));
    EXPECT_EQ(ReadFile("into/dst"), bytes);
    EXPECT_EQ(ModeOf("into/dst"), "0751");
    struct stat st;
    ASSERT_EQ(stat("into/dst", &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
    ASSERT_TRUE(SetCurrentDirectoryA("into"));
    EXPECT_EQ(Names(ListCurrent()), (std::vector<std::string>{".", "..", "dst"}));  // no temporary left
}

TEST_F(CrossDevice, NeverReplacesAndLeavesNothingBehind) {
    WriteFile(Other("src"), "new");
    WriteFile("dst", "old");
    std::string from = Other("src");
    EXPECT_TRUE(FailedWith(MoveFileA(from.c_str(), "dst"), 183));
    EXPECT_EQ(ReadFile(from), "new");
    EXPECT_EQ(ReadFile("dst"), "old");
    EXPECT_TRUE(FailedWith(MoveFileA(from.c_str(), "nodir\\dst"), 3));
    EXPECT_EQ(ReadFile(from), "new");
    EXPECT_EQ(Names(ListCurrent()), (std::vector<std::string>{".", "..", "dst"}));
}

TEST_F(CrossDevice, DirectoriesDoNotMove) {
    MakeDirectories(Other("dir"));
    WriteFile(Other("dir/inner"), "x");
    std::string from = Other("dir");
    EXPECT_TRUE(FailedWith(MoveFileA(from.c_str(), "dir"), 17));
    EXPECT_EQ(ReadFile(Other("dir/inner")), "x");
    EXPECT_FALSE(Exists("dir"));
}

TEST_F(CrossDevice, MoveCutShortLeavesTheSourceWhole) {
    std::string bytes(300000, 'm');
    WriteFile(Other("src"), bytes);
    std::string from = Other("src");
    WithFileSizeLimit(65536, [&from] { EXPECT_FALSE(MoveFileA(from.c_str(), "dst")); });
    EXPECT_EQ(ReadFile(from), bytes);
    EXPECT_EQ(Names(ListCurrent()), (std::vector<std::string>{".", ".."}));
}

// Built in an unnamed file where the file system offers one, else under a temporary
// name: either way a copy or a move across file systems arrives whole or not at all,
// never replaces where it must not, and leaves no file of its own behind.
class TemporaryFiles : public CrossDevice, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        FaultReset();
        if (GetParam()) FaultRefuseUnnamedFiles();
        CrossDevice::SetUp();
    }
    void TearDown() override {
        FaultReset();
        CrossDevice::TearDown();
    }
};

TEST_P(TemporaryFiles, CopiesAndMovesArriveWholeOrNotAtAllAndLeaveNothingBehind) {
    const std::string big(200000, 'b'), far = Other("far"), taken = Other("taken");
    WriteFile("src", "short");
    WriteFile("dst", "an older, longer content");
    WriteFile(far, big);
    WriteFile(taken, "taken");
    EXPECT_TRUE(CopyFileA("src", "dst", FALSE));
    EXPECT_TRUE(CopyFileA("src", "fresh", FALSE));
    EXPECT_TRUE(FailedWith(CopyFileA("src", "fresh", TRUE), 80));
    EXPECT_TRUE(FailedWith(CopyFileA("src", "nodir\\x", FALSE), 3));
    EXPECT_TRUE(FailedWith(MoveFileA(taken.c_str(), "dst"), 183));
    WithFileSizeLimit(65536, [&] {
        EXPECT_FALSE(CopyFileA(far.c_str(), "dst", FALSE));
        EXPECT_FALSE(MoveFileA(far.c_str(), "moved"));
    });
    // A flush that fails, of the copy's data or of the name a copy from another volume got,
    // fails the call: the source stays, and a move leaves no copy behind.
    for (uint32_t flush : {1u, 2u}) {
        FaultArm(FAULT_FlushFile, flush, 5);
        EXPECT_TRUE(FailedWith(MoveFileA(far.c_str(), "moved"), 31)) << "flush " << flush;
    }
    FaultArm(FAULT_FlushFile, 1, 5);
    EXPECT_TRUE(FailedWith(CopyFileA(far.c_str(), "dst", FALSE), 31));
    FaultArm(FAULT_FlushFile, 1, 5);
    EXPECT_TRUE(FailedWith(CopyFileA("src", "fresh", FALSE), 31));
    EXPECT_TRUE(MoveFileA(far.c_str(), "moved"));
    EXPECT_EQ(ReadFile("dst"), "short");
    EXPECT_EQ(ReadFile("fresh"), "short");
    EXPECT_EQ(ReadFile("moved"), big);
    EXPECT_EQ(ReadFile(taken), "taken");
    EXPECT_EQ(Names(ListCurrent()), (std::vector<std::string>{".", "..", "dst", "fresh", "moved", "src"}));
}

INSTANTIATE_TEST_SUITE_P(Ways, TemporaryFiles, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Named" : "Unnamed"; });

TEST_F(CrossDevice, MovesALinkAsALink) {
    ASSERT_EQ(symlink("/nowhere/at/all", Other("link").c_str()), 0);
    std::string from = Other("link");
    EXPECT_TRUE(MoveFileA(from.c_str(), "link"));
    char buf[64] = {};
    ASSERT_GT(readlink("link", buf, sizeof buf - 1), 0);
    EXPECT_STREQ(buf, "/nowhere/at/all");
    EXPECT_FALSE(Exists(from));
}
#endif

}  // namespace
}  // namespace layer_test
