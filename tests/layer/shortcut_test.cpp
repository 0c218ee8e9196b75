// The layer's shortcuts on the walks' hot path must not change an answer: a listed entry's
// lstat reused by the call right after it, and a move that skips looking at its source
// unless the source's name may be that of an open stream or of the current directory.
// Native only: they are ours.
#include <sys/stat.h>
#include <unistd.h>

#include "layer_fixture.h"

namespace layer_test {
namespace {

using Shortcut = LayerTest;

// Lists the current directory up to the entry called name and leaves the handle open on
// it, as the walks do while they handle the entry.
HANDLE ListUpTo(const std::string& name) {
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA("*.*", &data);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    while (h != INVALID_HANDLE_VALUE && name != data.cFileName) {
        if (!FindNextFileA(h, &data)) {
            ADD_FAILURE() << name << " not listed";
            FindClose(h);
            return INVALID_HANDLE_VALUE;
        }
    }
    return h;
}

TEST_F(Shortcut, ListedEntryKeepsEveryRefusalOfDeletion) {
    MakeDirectories("dir");
    WriteFile("locked", "x");
    WriteFile("plain", "x");
    ASSERT_EQ(chmod("locked", 0444), 0);

    // A read-only file met by a listing and deleted at once is refused, as on Windows.
    HANDLE h = ListUpTo("locked");
    EXPECT_TRUE(FailedWith(DeleteFileA("locked"), 5));
    FindClose(h);
    // Made writable first, it goes; the mode change is what the deletion sees.
    h = ListUpTo("locked");
    ASSERT_TRUE(SetFileAttributesA("locked", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileA("locked"));
    FindClose(h);
    EXPECT_FALSE(Exists("locked"));
    // Made read-only between the listing and the deletion: refused.
    h = ListUpTo("plain");
    ASSERT_TRUE(SetFileAttributesA("plain", FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(FailedWith(DeleteFileA("plain"), 5));
    FindClose(h);
    EXPECT_TRUE(Exists("plain"));
    // A directory stays one.
    h = ListUpTo("dir");
    ASSERT_TRUE(SetFileAttributesA("dir", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(FailedWith(DeleteFileA("dir"), 5));
    FindClose(h);
    EXPECT_TRUE(IsDirectory("dir"));
    ASSERT_EQ(chmod("plain", 0644), 0);
}

TEST_F(Shortcut, ListedEntryIsNeverTakenForTheSameNameElsewhere) {
    // "x" is writable here and read-only in "other": after the current directory changes,
    // the name means the other file, whose own mode decides.
    MakeDirectories("other");
    WriteFile("x", "here");
    WriteFile("other/x", "there");
    ASSERT_EQ(chmod("other/x", 0444), 0);
    HANDLE h = ListUpTo("x");
    ASSERT_TRUE(SetCurrentDirectoryA("other"));
    EXPECT_TRUE(FailedWith(DeleteFileA("x"), 5));
    ASSERT_TRUE(SetCurrentDirectoryA(".."));
    FindClose(h);
    // The same when the listing goes on from the other directory.
    WIN32_FIND_DATAA data;
    h = FindFirstFileA("*.*", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCurrentDirectoryA("other"));
    while (std::string(data.cFileName) != "x") ASSERT_TRUE(FindNextFileA(h, &data));
    EXPECT_TRUE(FailedWith(DeleteFileA("x"), 5));
    ASSERT_TRUE(SetCurrentDirectoryA(".."));
    FindClose(h);
    // And a path that is not the bare listed name is looked at afresh.
    h = ListUpTo("x");
    EXPECT_TRUE(FailedWith(DeleteFileA("other\\x"), 5));
    EXPECT_TRUE(DeleteFileA("x"));
    FindClose(h);
    EXPECT_TRUE(Exists("other/x"));
    EXPECT_FALSE(Exists("x"));
    ASSERT_EQ(chmod("other/x", 0644), 0);
}

TEST_F(Shortcut, ListedEntryChangedByAnotherCallIsLookedAtAgain) {
    // Replaced by a directory of the same name through the layer after it was listed.
    WriteFile("x", "file");
    WriteFile("y", "file");
    HANDLE h = ListUpTo("x");
    ASSERT_TRUE(MoveFileA("x", "gone"));
    ASSERT_TRUE(CreateDirectoryA("x", nullptr));
    EXPECT_TRUE(FailedWith(DeleteFileA("x"), 5));
    FindClose(h);
    EXPECT_TRUE(IsDirectory("x"));
    // Gone since it was listed: still handed out by the snapshot, and deleting it says so.
    WIN32_FIND_DATAA data;
    h = FindFirstFileA("*.*", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(unlink("y"), 0);
    bool seen = false;
    while (FindNextFileA(h, &data)) {
        if (std::string(data.cFileName) != "y") continue;
        seen = true;
        EXPECT_EQ(data.dwFileAttributes, 32ul);
        EXPECT_TRUE(FailedWith(SetFileAttributesA("y", FILE_ATTRIBUTE_NORMAL), 2));
        EXPECT_TRUE(FailedWith(DeleteFileA("y"), 2));
    }
    FindClose(h);
    EXPECT_TRUE(seen);
}

TEST_F(Shortcut, OpenStreamsStayPutWhateverTheWayTheyAreReached) {
    MakeDirectories("sub");
    WriteFile("list", "a\n");
    WriteFile("other", "x");
    WriteFile("linked", "x");
    ASSERT_EQ(link("linked", "sub/second-name"), 0);
    FILE* log = OpenTextStream("sub\\quisel.log", "at");
    ASSERT_NE(log, nullptr);
    FILE* list = OpenTextStream("list", "r");
    ASSERT_NE(list, nullptr);
    // By the name it was opened with, with any spelling of the path before it.
    EXPECT_TRUE(FailedWith(MoveFileA("sub\\quisel.log", "moved"), 32));
    EXPECT_TRUE(FailedWith(MoveFileA("sub\\..\\sub\\quisel.log", "moved"), 32));
    ASSERT_TRUE(SetCurrentDirectoryA("sub"));
    EXPECT_TRUE(FailedWith(MoveFileA("quisel.log", "..\\moved"), 32));
    ASSERT_TRUE(SetCurrentDirectoryA(".."));
    EXPECT_TRUE(FailedWith(MoveFileA((Root() + "/list").c_str(), "moved"), 32));
    // Through a second name it had when it was opened.
    FILE* twice = OpenTextStream("linked", "r");
    ASSERT_NE(twice, nullptr);
    EXPECT_TRUE(FailedWith(MoveFileA("sub\\second-name", "moved"), 32));
    EXPECT_TRUE(FailedWith(MoveFileA("linked", "moved"), 32));
    // A directory holding one moves, and the stream with it; its name still guards it.
    ASSERT_TRUE(MoveFileA("sub", "sub2"));
    EXPECT_TRUE(FailedWith(MoveFileA("sub2\\quisel.log", "moved"), 32));
    // A file of the same name that is not open moves; so does every other file.
    WriteFile("quisel.log", "not the open one");
    EXPECT_TRUE(MoveFileA("quisel.log", "moved"));
    EXPECT_TRUE(MoveFileA("other", "other2"));
    fputs("still here\n", log);
    ASSERT_EQ(fflush(log), 0);
    EXPECT_EQ(ReadFile("sub2/quisel.log"), "still here\r\n");
    fclose(twice);
    fclose(list);
    fclose(log);
    // Once closed, nothing holds them.
    EXPECT_TRUE(MoveFileA("sub2\\quisel.log", "log-moved"));
    EXPECT_TRUE(MoveFileA("list", "list-moved"));
    EXPECT_TRUE(MoveFileA("linked", "linked-moved"));
}

TEST_F(Shortcut, CurrentDirectoryIsKnownAfterEveryChange) {
    MakeDirectories("a/b");
    ASSERT_TRUE(SetCurrentDirectoryA("a"));
    EXPECT_TRUE(FailedWith(MoveFileA("..\\a", "..\\moved"), 32));
    ASSERT_TRUE(SetCurrentDirectoryA("b"));
    EXPECT_TRUE(FailedWith(MoveFileA("..\\b", "..\\moved"), 32));
    // Changed around the layer: seen at the next read of it, which every export begins with.
    ASSERT_EQ(chdir(".."), 0);
    char buffer[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryA(sizeof buffer, buffer), 0u);
    EXPECT_TRUE(FailedWith(MoveFileA("..\\a", "..\\moved"), 32));
    EXPECT_FALSE(Exists("../moved"));
}

}  // namespace
}  // namespace layer_test
