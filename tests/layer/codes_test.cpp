// The error codes the library acts on or logs, from the calls that produce them.
#include "layer_fixture.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace layer_test {
namespace {

using Codes = LayerTest;

TEST_F(Codes, SetCurrentDirectory) {
    WriteFile("file", "x");
    MakeDirectories("sub/deeper");
    EXPECT_TRUE(FailedWith(SetCurrentDirectoryA("file"), 267));
    EXPECT_TRUE(FailedWith(SetCurrentDirectoryA("missing"), 2));
    EXPECT_TRUE(FailedWith(SetCurrentDirectoryA("missing\\deeper"), 3));
    EXPECT_TRUE(FailedWith(SetCurrentDirectoryA("file\\deeper"), 3));  // a file in the middle
    EXPECT_TRUE(SetCurrentDirectoryA("sub\\deeper"));
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::path(Root()) / "sub" / "deeper");
    EXPECT_TRUE(SetCurrentDirectoryA("..\\.."));
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::path(Root()));
}

TEST_F(Codes, CreateAndRemoveDirectory) {
    WriteFile("file", "x");
    MakeDirectories("full");
    WriteFile("full/inside", "x");
    EXPECT_TRUE(CreateDirectoryA("made", nullptr));
    EXPECT_TRUE(IsDirectory("made"));
    EXPECT_TRUE(FailedWith(CreateDirectoryA("made", nullptr), 183));
    EXPECT_TRUE(FailedWith(CreateDirectoryA("file", nullptr), 183));
    EXPECT_TRUE(FailedWith(CreateDirectoryA("missing\\made", nullptr), 3));

    EXPECT_TRUE(FailedWith(RemoveDirectoryA("full"), 145));
    EXPECT_TRUE(Exists("full/inside"));
    EXPECT_TRUE(FailedWith(RemoveDirectoryA("file"), 267));
    EXPECT_TRUE(Exists("file"));
    EXPECT_TRUE(FailedWith(RemoveDirectoryA("missing"), 2));
    EXPECT_TRUE(FailedWith(RemoveDirectoryA("missing\\deeper"), 3));
    EXPECT_TRUE(RemoveDirectoryA("made"));
    EXPECT_FALSE(Exists("made"));
}

TEST_F(Codes, CurrentDirectoryCannotBeRemovedOrMoved) {
    // Windows holds it open without delete sharing, full or empty, however it is spelled.
    MakeDirectories("g/sub");
    MakeDirectories("other/sub");
    WriteFile("g/sub/f", "x");
    const std::string abs = quisel::test::JoinPath(Root(), "g/sub");
    std::vector<std::string> spellings = {".", "..\\sub", "..\\..\\g\\.\\sub\\.", abs, abs + "\\"};
#if !defined(_WIN32)
    ASSERT_EQ(symlink("g", "lnk"), 0);  // a link on the way (Wine moves a link's target)
    spellings.push_back(Root() + "/lnk/sub");
#endif
    ASSERT_TRUE(SetCurrentDirectoryA("g\\sub"));
    for (const char* contents : {"full", "empty"}) {
        for (const std::string& cwd : spellings) {
            SCOPED_TRACE(cwd + " " + contents);
            EXPECT_TRUE(FailedWith(RemoveDirectoryA(cwd.c_str()), 32));
            EXPECT_TRUE(FailedWith(MoveFileA(cwd.c_str(), "..\\moved"), 32));
            EXPECT_TRUE(FailedWith(MoveFileA(cwd.c_str(), "..\\..\\other"), 32));  // before the existing target
        }
        DeleteFileA("f");
    }
    EXPECT_FALSE(Exists("../moved"));
    // Another directory of the same name is not the current one, nor is a link to it.
    EXPECT_TRUE(MoveFileA("..\\..\\other\\sub", "..\\..\\other\\sub2"));
    EXPECT_TRUE(RemoveDirectoryA("..\\..\\other\\sub2"));
#if !defined(_WIN32)
    ASSERT_EQ(symlink("../g/sub", "../../other/sub"), 0);
    EXPECT_TRUE(MoveFileA("..\\..\\other\\sub", "..\\..\\other\\link"));
#endif
}

TEST_F(Codes, DeleteFileAndReadOnly) {
    MakeDirectories("sub");
    WriteFile("sub/file", "x");
    EXPECT_TRUE(FailedWith(DeleteFileA("sub"), 5));
    EXPECT_TRUE(IsDirectory("sub"));
    EXPECT_TRUE(FailedWith(DeleteFileA("missing"), 2));
    EXPECT_TRUE(FailedWith(DeleteFileA("missing\\file"), 3));
    EXPECT_TRUE(FailedWith(DeleteFileA("sub\\file\\deeper"), 3));
    EXPECT_TRUE(FailedWith(DeleteFileA(""), 3));

    // A read-only file is refused (even to root under Wine), and becomes deletable once
    // its attributes are set to normal, which is what the library does before deleting.
    ASSERT_TRUE(SetFileAttributesA("sub\\file", FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(FailedWith(DeleteFileA("sub\\file"), 5));
    EXPECT_TRUE(Exists("sub/file"));
    EXPECT_TRUE(SetFileAttributesA("sub\\file", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(SetFileAttributesA("sub\\file", FILE_ATTRIBUTE_NORMAL));  // already writable
    EXPECT_TRUE(DeleteFileA("sub\\file"));
    EXPECT_FALSE(Exists("sub/file"));

    EXPECT_TRUE(FailedWith(SetFileAttributesA("missing", FILE_ATTRIBUTE_NORMAL), 2));
    EXPECT_TRUE(FailedWith(SetFileAttributesA("missing\\file", FILE_ATTRIBUTE_NORMAL), 3));
}

TEST_F(Codes, AttributeQuery) {
    WriteFile("file", "x");
    MakeDirectories("dir");
    ASSERT_TRUE(SetFileAttributesA("file", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA("file"), 33ul);  // the word a listing gives
    EXPECT_EQ(GetFileAttributesA("dir"), 16ul);
    ASSERT_TRUE(SetFileAttributesA("file", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA("file"), 32ul);
    const std::pair<const char*, unsigned long> missing[] = {{"missing", 2}, {"missing\\x", 3}, {"file\\x", 3}};
    for (const auto& [path, code] : missing)
        EXPECT_TRUE(FailedWith(GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES, code)) << path;
}

TEST_F(Codes, MoveReportsSourceBeforeDestination) {
    WriteFile("src", "source");
    EXPECT_TRUE(FailedWith(MoveFileA("missing", "nodir\\x"), 2));
    EXPECT_TRUE(FailedWith(MoveFileA("nodir\\missing", "nodir\\x"), 3));
    EXPECT_TRUE(FailedWith(MoveFileA("src", "nodir\\x"), 3));
    EXPECT_TRUE(FailedWith(MoveFileA("src", ""), 3));
    EXPECT_EQ(ReadFile("src"), "source");

    EXPECT_TRUE(FailedWith(CopyFileA("missing", "nodir\\x", FALSE), 2));
    EXPECT_TRUE(FailedWith(CopyFileA("nodir\\missing", "x", FALSE), 3));
    EXPECT_TRUE(FailedWith(CopyFileA("src", "nodir\\x", FALSE), 3));
    EXPECT_FALSE(Exists("nodir"));
}

TEST_F(Codes, EndOfEnumeration) {
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA("*.*", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int seen = 1;
    while (FindNextFileA(h, &data)) ++seen;
    EXPECT_EQ(GetLastError(), 18u);
    EXPECT_EQ(seen, 2);  // "." and ".." of an empty directory
    EXPECT_TRUE(FailedWith(FindNextFileA(h, &data), 18));  // and it stays at the end
    EXPECT_TRUE(FindClose(h));
}

#if !defined(_WIN32)
TEST_F(Codes, EnumerationOfARemovedCurrentDirectory) {
    // Linux lets another program remove the current directory (the layer itself refuses);
    // it then lists nothing at all, not even "." and "..", and that must be a failure
    // rather than a handle with no first entry.
    MakeDirectories("gone");
    ASSERT_TRUE(SetCurrentDirectoryA("gone"));
    ASSERT_EQ(rmdir("../gone"), 0);
    WIN32_FIND_DATAA data;
    EXPECT_EQ(FindFirstFileA("*.*", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 2u);
    EXPECT_TRUE(SetCurrentDirectoryA(Root().c_str()));
}

TEST_F(Codes, RemoveDirectoryRemovesALinkNeverWhatItLeadsTo) {
    // As on Windows, a link to a directory goes as the link itself; a link to a file is
    // no directory to remove.
    MakeDirectories("real");
    WriteFile("real/inside", "x");
    WriteFile("file", "f");
    ASSERT_EQ(symlink("real", "link"), 0);
    ASSERT_EQ(symlink("file", "filelink"), 0);
    EXPECT_TRUE(RemoveDirectoryA("link"));
    EXPECT_FALSE(Exists("link"));
    EXPECT_TRUE(Exists("real/inside"));
    EXPECT_TRUE(FailedWith(RemoveDirectoryA("filelink"), 267));
    EXPECT_TRUE(Exists("filelink"));
    EXPECT_TRUE(Exists("file"));
}

TEST_F(Codes, PathsTooLongForTheSystem) {
    std::string name(300, 'n');  // one component over NAME_MAX
    EXPECT_TRUE(FailedWith(CreateDirectoryA(name.c_str(), nullptr), 206));
    std::string path(5000, 'p');  // over PATH_MAX: refused before any system call
    EXPECT_TRUE(FailedWith(DeleteFileA(path.c_str()), 206));
}
#endif

}  // namespace
}  // namespace layer_test
