// The layer's test seam: chosen calls fail with a chosen code and do nothing else.
#include <cstdio>

#include "fault.h"
#include "layer_fixture.h"

namespace layer_test {
namespace {

class Seam : public LayerTest {
protected:
    void SetUp() override {
        LayerTest::SetUp();
        FaultReset();
    }
    void TearDown() override {
        FaultReset();
        LayerTest::TearDown();
    }
};

TEST_F(Seam, FailsTheChosenCallsOnly) {
    for (const char* n : {"a", "b", "c", "d"}) WriteFile(n, n);
    DeleteFileA("a");  // a call before arming does not count towards the rule
    FaultArm(FAULT_DeleteFileA, 2, 112, 2);
    EXPECT_TRUE(DeleteFileA("b"));
    EXPECT_TRUE(FailedWith(DeleteFileA("c"), 112));
    EXPECT_TRUE(FailedWith(DeleteFileA("d"), 112));
    EXPECT_TRUE(DeleteFileA("c"));
    EXPECT_TRUE(Exists("d"));
    EXPECT_EQ(FaultCalls(FAULT_DeleteFileA), 5u);
    EXPECT_EQ(FaultsInjected(), 2u);
    FaultReset();
    EXPECT_EQ(FaultCalls(FAULT_DeleteFileA), 0u);
    EXPECT_TRUE(DeleteFileA("d"));
}

TEST_F(Seam, AnyCountsEveryFunction) {
    WriteFile("f", "x");
    FaultArm(FAULT_ANY, 3, 31);
    EXPECT_TRUE(CreateDirectoryA("d", nullptr));
    EXPECT_TRUE(SetFileAttributesA("f", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(FailedWith(MoveFileA("f", "d\\f"), 31));
    EXPECT_TRUE(Exists("f"));
    EXPECT_FALSE(Exists("d/f"));
    EXPECT_TRUE(MoveFileA("f", "d\\f"));
    EXPECT_EQ(FaultCalls(FAULT_ANY), 4u);
    EXPECT_EQ(FaultCalls(FAULT_MoveFileA), 2u);
    EXPECT_STREQ(FaultName(FAULT_MoveFileA), "MoveFileA");
}

TEST_F(Seam, InjectedFailuresTouchNothing) {
    WriteFile("src", "s");
    WriteFile("dst", "d");
    char buf[MAX_PATH] = "untouched";
    WIN32_FIND_DATAA data;
    FaultArm(FAULT_ANY, 1, 5, 100);
    EXPECT_EQ(GetCurrentDirectoryA(MAX_PATH, buf), 0u);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_TRUE(FailedWith(SetCurrentDirectoryA(".."), 5));
    EXPECT_EQ(FindFirstFileA("*.*", &data), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(FailedWith(CreateDirectoryA("d", nullptr), 5));
    EXPECT_TRUE(FailedWith(CopyFileA("src", "dst", FALSE), 5));
    EXPECT_TRUE(FailedWith(MoveFileA("src", "new"), 5));
    EXPECT_TRUE(FailedWith(DeleteFileA("src"), 5));
    EXPECT_EQ(OpenTextStream("log", "at"), nullptr);
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(FaultsInjected(), 8u);
    FaultReset();
    EXPECT_EQ(std::filesystem::current_path(), std::filesystem::path(Root()));
    EXPECT_EQ(Names(ListCurrent()), (std::vector<std::string>{".", "..", "dst", "src"}));
    EXPECT_EQ(ReadFile("dst"), "d");
}

TEST_F(Seam, FindNextFailsWithoutLosingItsPlace) {
    WriteFile("a", "");
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA("*.*", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FaultArm(FAULT_FindNextFileA, 1, 31);
    EXPECT_TRUE(FailedWith(FindNextFileA(h, &data), 31));
    ASSERT_TRUE(FindNextFileA(h, &data));
    EXPECT_STREQ(data.cFileName, "..");
    FindClose(h);
}

TEST_F(Seam, StreamReadFailureSetsTheErrorIndicator) {
    WriteFile("list", "a\nb\n");
    FILE* f = OpenTextStream("list", "r");
    ASSERT_NE(f, nullptr);
    FaultArm(FAULT_ReadStream, 1, 31);
    char line[270];
    EXPECT_EQ(fgets(line, sizeof line, f), nullptr);
    EXPECT_TRUE(ferror(f));
    EXPECT_EQ(FaultsInjected(), 1u);
    fclose(f);
}

TEST_F(Seam, StreamWriteFailureLosesThatFlushOnly) {
    FILE* f = OpenTextStream("log", "at");
    ASSERT_NE(f, nullptr);
    fputs("kept\n", f);
    ASSERT_EQ(fflush(f), 0);
    FaultArm(FAULT_WriteStream, 1, 112);
    fputs("lost\n", f);
    EXPECT_EQ(fflush(f), EOF);
    EXPECT_TRUE(ferror(f));
    EXPECT_EQ(GetLastError(), 112u);
    clearerr(f);
    fputs("later\n", f);
    EXPECT_EQ(fclose(f), 0);
    EXPECT_EQ(ReadFile("log"), "kept\r\nlater\r\n");
}

}  // namespace
}  // namespace layer_test
