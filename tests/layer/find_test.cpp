// Enumeration: order, attribute words, snapshot semantics and names that cannot be paths.
#include <algorithm>

#include "layer_fixture.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace layer_test {
namespace {

using Find = LayerTest;

TEST_F(Find, ListsInNtfsOrder) {
    // "b" beside "B" only exists on a case-sensitive file system; Win32 (and Wine) opens
    // the existing "B" instead.
#if defined(_WIN32)
    const std::vector<std::string> names = {"1", "a", "A1", "aB", "a_", "B", "C", "Z", "_a", "~x"};
#else
    const std::vector<std::string> names = {"1", "a", "A1", "aB", "a_", "B", "b", "C", "Z", "_a", "~x"};
#endif
    std::vector<std::string> shuffled = names;
    std::reverse(shuffled.begin(), shuffled.end());
    std::rotate(shuffled.begin(), shuffled.begin() + 4, shuffled.end());
    for (const std::string& n : shuffled) WriteFile(n, n);
    // Names below '.' in byte order still come after "." and "..", as NTFS lists them.
    WriteFile("!bang", "");
    WriteFile("-dash", "");
    std::vector<std::string> expected = {".", "..", "!bang", "-dash"};
    expected.insert(expected.end(), names.begin(), names.end());
    EXPECT_EQ(Names(ListCurrent()), expected);
}

TEST_F(Find, AttributeWords) {
    MakeDirectories("dir");
    WriteFile("file", "x");
    WriteFile("locked", "x");
    ASSERT_TRUE(SetFileAttributesA("locked", FILE_ATTRIBUTE_READONLY));
    std::vector<Listed> listed = ListCurrent();
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_EQ(listed[0].attributes, 16ul);  // "."
    EXPECT_EQ(listed[1].attributes, 16ul);  // ".."
    EXPECT_EQ(listed[2].name, "dir");
    EXPECT_EQ(listed[2].attributes, 16ul);  // exactly 16: the library walks only these
    EXPECT_EQ(listed[3].name, "file");
    EXPECT_EQ(listed[3].attributes, 32ul);
    EXPECT_EQ(listed[4].name, "locked");
    EXPECT_EQ(listed[4].attributes, 33ul);
    ASSERT_TRUE(SetFileAttributesA("locked", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(AttributesOf("locked"), 32ul);
}

#if !defined(_WIN32)
// Links and dot names behave differently under Wine (see the layer's notes), so these
// are checked on our layer only.
TEST_F(Find, PosixOnlyAttributeWords) {
    MakeDirectories("dir");
    MakeDirectories("rodir");
    MakeDirectories(".dotdir");
    WriteFile(".dotfile", "x");
    WriteFile("file", "x");
    ASSERT_EQ(chmod("rodir", 0555), 0);
    ASSERT_EQ(symlink("dir", "link-dir"), 0);
    ASSERT_EQ(symlink("file", "link-file"), 0);
    ASSERT_EQ(symlink("nowhere", "link-dangling"), 0);
    ASSERT_EQ(chmod("file", 0444), 0);
    EXPECT_EQ(AttributesOf("rodir"), 17ul);
    EXPECT_EQ(AttributesOf("link-dir"), 1040ul);  // never 16, so never walked into
    EXPECT_EQ(AttributesOf("link-file"), 32ul);   // not read-only although its target is
    EXPECT_EQ(AttributesOf("link-dangling"), 32ul);
    EXPECT_EQ(AttributesOf(".dotdir"), 16ul);  // no hidden bit from a leading dot
    EXPECT_EQ(AttributesOf(".dotfile"), 32ul);
    ASSERT_EQ(chmod("rodir", 0755), 0);
}

TEST_F(Find, NamesHoldingBackslashesAreNeverListed) {
    // Read back as a path, "..\x" would address ../x, outside the tree being walked.
    MakeDirectories("walked");
    WriteFile("walked/..\\x", "escape");
    WriteFile("walked/a\\b", "x");
    WriteFile("walked/plain", "x");
    WriteFile("x", "outside");
    ASSERT_TRUE(SetCurrentDirectoryA("walked"));
    EXPECT_EQ(Names(ListCurrent()), (std::vector<std::string>{".", "..", "plain"}));
    ASSERT_TRUE(SetCurrentDirectoryA(".."));
    EXPECT_EQ(ReadFile("x"), "outside");
}

TEST_F(Find, HandleKeepsItsSnapshot) {
    for (const char* n : {"a", "b", "c", "d"}) WriteFile(n, n);
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA("*.*", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::string> seen = {data.cFileName};
    // Changes during the walk: remove entries not reached yet, add new ones, and open
    // a second enumeration of the same directory in between.
    ASSERT_TRUE(DeleteFileA("c"));
    ASSERT_TRUE(DeleteFileA("d"));
    WriteFile("bb", "");
    EXPECT_EQ(Names(ListCurrent()).size(), 5u);
    while (FindNextFileA(h, &data)) seen.push_back(data.cFileName);
    EXPECT_EQ(GetLastError(), 18u);
    FindClose(h);
    EXPECT_EQ(seen, (std::vector<std::string>{".", "..", "a", "b", "c", "d"}));
}

TEST_F(Find, LargeDirectory) {
    // More entries than one directory read returns, all listed once and in order.
    std::vector<std::string> expected = {".", ".."};
    for (int i = 0; i < 3000; ++i) {
        char name[48];
        snprintf(name, sizeof name, "entry-with-a-longer-name-%05d", i);
        WriteFile(name, "");
        expected.push_back(name);
    }
    EXPECT_EQ(Names(ListCurrent()), expected);
}
#endif

}  // namespace
}  // namespace layer_test
