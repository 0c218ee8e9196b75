// The shared test helpers, on both builds: every log and tree comparison rests on them.
#include <gtest/gtest.h>

#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace quisel::test {
namespace {

TEST(MaskLog, MasksEveryRecordIncludingOnesThatStartMidLine) {
    const std::string raw =
        "[12/08/26/14:45:29] SetCurrentDirectory(missing) FAILED 2\r\n"
        "[01/31/99/00:00:00] from: a\r\nto: b[12/01/00/23:59:60] MoveFile(a, b) SUCCEED !!!\r\n";
    std::string masked, problem;
    ASSERT_TRUE(MaskLog(raw, &masked, &problem)) << problem;
    EXPECT_EQ(masked, "[..] SetCurrentDirectory(missing) FAILED 2\r\n"
                      "[..] from: a\r\nto: b[..] MoveFile(a, b) SUCCEED !!!\r\n");
    EXPECT_EQ(masked, MaskedLog({"SetCurrentDirectory(missing) FAILED 2\n", "from: a\nto: b",
                                 "MoveFile(a, b) SUCCEED !!!\n"}));
    EXPECT_TRUE(LogMatches(raw, masked));
    EXPECT_TRUE(MaskLog("", &masked, &problem));
    EXPECT_EQ(masked, "");
}

TEST(MaskLog, RejectsMalformedStamps) {
    std::string masked, problem;
    for (const char* raw : {
             "no stamp\r\n",
             "[12/08/2026/14:45:29] four-digit year\r\n",
             "[12/08/26 14:45:29] space\r\n",
             "[12/08/26/14:45:29]no space\r\n",
             "[13/08/26/14:45:29] month 13\r\n",
             "[00/08/26/14:45:29] month 0\r\n",
             "[12/32/26/14:45:29] day 32\r\n",
             "[12/08/26/24:00:00] hour 24\r\n",
             "[12/08/26/14:60:00] minute 60\r\n",
             "[12/08/26/14:45:29] fine\r\n[12/08/26/25:45:29] later hour 25\r\n",
         }) {
        SCOPED_TRACE(raw);
        EXPECT_FALSE(MaskLog(raw, &masked, &problem));
        EXPECT_FALSE(problem.empty());
        EXPECT_FALSE(LogMatches(raw, ""));
    }
    // A log that differs after its stamps is reported as different.
    EXPECT_FALSE(LogMatches("[12/08/26/14:45:29] a\r\n", MaskedLog({"a"})));
    EXPECT_FALSE(LogMatches("[12/08/26/14:45:29] a\n", MaskedLog({"a\n"})));
}

TEST(Tree, MakeAndListRoundTrip) {
    TempDir dir("quisel-support");
    const Tree tree = {{"a.txt", "A"},          {"empty/", ""},          {"sub/deeper/b.bin", std::string("\0\r\n\x1a", 4)},
                       {"sub/c.txt", ""},       {"sub/deeper/", ""},     {"sub/", ""}};
    MakeTree(dir.path(), tree);
    EXPECT_EQ(DescribeTree(ListTree(dir.path())), DescribeTree(tree));
    EXPECT_EQ(ReadFile(dir / "sub/deeper/b.bin"), std::string("\0\r\n\x1a", 4));
    EXPECT_TRUE(IsDirectory(dir / "empty"));
    EXPECT_FALSE(IsDirectory(dir / "a.txt"));
    EXPECT_FALSE(Exists(dir / "missing"));
}

TEST(TempDir, RemovesEverythingEvenReadOnlyEntries) {
    std::string path;
    {
        TempDir dir("quisel-support");
        path = dir.path();
        MakeTree(path, {{"ro/file.txt", "x"}, {"top.txt", "y"}});
#if defined(_WIN32)
        ASSERT_TRUE(SetFileAttributesA((dir / "ro/file.txt").c_str(), FILE_ATTRIBUTE_READONLY));
        ASSERT_TRUE(SetFileAttributesA((dir / "ro").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
#else
        ASSERT_EQ(chmod((dir / "ro/file.txt").c_str(), 0444), 0);
        ASSERT_EQ(chmod((dir / "ro").c_str(), 0555), 0);
#endif
        EXPECT_TRUE(Exists(dir / "ro/file.txt"));
    }
    EXPECT_FALSE(Exists(path));
}

} // namespace
} // namespace quisel::test
