// The current directory's size rule, and the runtime's date and time texts.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "layer_fixture.h"

namespace layer_test {
namespace {

using CurrentDirectory = LayerTest;

TEST_F(CurrentDirectory, NeededSizeWhenTheBufferIsShort) {
    std::string root = std::filesystem::current_path().string();
    char buf[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(MAX_PATH, buf);
    ASSERT_EQ(n, root.size());
    EXPECT_EQ(std::string(buf), root);

    char small[8];
    memset(small, '#', sizeof small);
    EXPECT_EQ(GetCurrentDirectoryA(sizeof small, small), root.size() + 1);  // terminator included
    EXPECT_EQ(std::string(small, sizeof small), std::string(8, '#'));       // untouched
    std::vector<char> exact(root.size() + 1, '#');
    EXPECT_EQ(GetCurrentDirectoryA(static_cast<DWORD>(exact.size()), exact.data()), root.size());
    EXPECT_EQ(std::string(exact.data()), root);
    std::vector<char> oneShort(root.size(), '#');
    EXPECT_EQ(GetCurrentDirectoryA(static_cast<DWORD>(oneShort.size()), oneShort.data()), root.size() + 1);
    EXPECT_EQ(std::string(oneShort.begin(), oneShort.end()), std::string(root.size(), '#'));
}

#if !defined(_WIN32)
// The library reads the current directory into 260 characters. A 259-character path
// fits; one more and the call returns the size it needs instead of a cut path.
TEST_F(CurrentDirectory, TwoHundredFiftyNineCharactersFit) {
    std::string path = std::filesystem::current_path().string();
    ASSERT_LT(path.size(), 200u);
    while (path.size() < 259) {
        size_t left = 259 - path.size();
        size_t name = std::min<size_t>(left - 1, 50);
        if (left - (name + 1) == 1) --name;  // never leave room for a slash alone
        path += "/" + std::string(name, 'd');
    }
    MakeDirectories(path);
    ASSERT_EQ(path.size(), 259u);
    MakeDirectories(path + "/e");  // 261 characters

    char buf[MAX_PATH];
    ASSERT_TRUE(SetCurrentDirectoryA(path.c_str()));
    EXPECT_EQ(GetCurrentDirectoryA(MAX_PATH, buf), 259u);
    EXPECT_EQ(std::string(buf), path);

    memset(buf, '#', sizeof buf);
    ASSERT_TRUE(SetCurrentDirectoryA("e"));
    EXPECT_EQ(GetCurrentDirectoryA(MAX_PATH, buf), 262u);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '#'));
    ASSERT_TRUE(SetCurrentDirectoryA(Root().c_str()));
}
#endif

bool TwoDigitsJoinedBy(const char* text, char sep) {
    if (strlen(text) != 8) return false;
    for (int i = 0; i < 8; ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if ((i % 3 == 2) ? text[i] != sep : !digit) return false;
    }
    return true;
}

TEST(Clock, DateAndTimeOfTheLocalClock) {
    char date[9], time1[9], time2[9];
    std::time_t before = std::time(nullptr);
    _strtime(time1);
    _strdate(date);
    _strtime(time2);
    std::time_t after = std::time(nullptr);
    EXPECT_TRUE(TwoDigitsJoinedBy(date, '/')) << date;
    EXPECT_TRUE(TwoDigitsJoinedBy(time1, ':')) << time1;
    if (before != after) return;  // a second boundary passed; the exact match is unsure
    EXPECT_STREQ(time1, time2);
    std::tm local = *std::localtime(&before);
    char expected[16];
    std::strftime(expected, sizeof expected, "%m/%d/%y", &local);
    EXPECT_STREQ(date, expected);
    std::strftime(expected, sizeof expected, "%H:%M:%S", &local);
    EXPECT_STREQ(time1, expected);
}

}  // namespace
}  // namespace layer_test
