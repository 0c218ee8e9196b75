// The activity log on disk: exact record bytes, the first-open rule, and the log's
// life ending with the library's. Runs natively and, against the real C runtime,
// under Wine.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "frame/quisel.h"
#include "log/write_log.h"

#if defined(_WIN32)
#include <direct.h>
#include <unistd.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace {

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool Exists(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return in.good();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Checks that text starts with a "[MM/DD/YY/HH:MM:SS] " prefix with values in range.
::testing::AssertionResult HasPrefix(const std::string& text, size_t at) {
    if (text.size() < at + 20) return ::testing::AssertionFailure() << "record too short at " << at;
    const std::string p = text.substr(at, 20);
    const char* shape = "[00/00/00/00:00:00] ";
    for (int i = 0; i < 20; ++i) {
        const bool ok = shape[i] == '0' ? IsDigit(p[i]) : p[i] == shape[i];
        if (!ok) return ::testing::AssertionFailure() << "bad prefix '" << p << "'";
    }
    const int month = std::stoi(p.substr(1, 2));
    const int day = std::stoi(p.substr(4, 2));
    const int hour = std::stoi(p.substr(10, 2));
    const int minute = std::stoi(p.substr(13, 2));
    const int second = std::stoi(p.substr(16, 2));
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return ::testing::AssertionFailure() << "prefix out of range '" << p << "'";
    }
    return ::testing::AssertionSuccess();
}

// Replaces every record prefix by "[]" after checking its shape; records start at
// the file's start and right after each record's end, which the caller lists.
std::string Masked(const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '[' && HasPrefix(text, i)) {
            out += "[]";
            i += 20;
        } else {
            out += text[i++];
        }
    }
    return out;
}

// Every test runs in a directory of its own, and starts with the log closed, as a
// freshly loaded library has it.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char name[64];
        snprintf(name, sizeof name, "logtest_%s", ::testing::UnitTest::GetInstance()->current_test_info()->name());
        dir_ = name;
#if defined(_WIN32)
        _mkdir(dir_.c_str());
#else
        mkdir(dir_.c_str(), 0777);
#endif
        remove((dir_ + "/quisel.log").c_str());
        remove((dir_ + "/other.log").c_str());
        CloseLog();
    }
    void TearDown() override {
        CloseLog();
        remove((dir_ + "/quisel.log").c_str());
        remove((dir_ + "/other.log").c_str());
        rmdir(dir_.c_str());
    }
    static void CloseLog() {
        if (LogStream != NULL) fclose(LogStream);
        LogStream = NULL;
    }
    std::string Path(const char* name) const {
        return dir_ + "\\" + name;
    }
    std::string NativePath(const char* name) const {
        return dir_ + "/" + name;
    }
    std::string dir_;
};

TEST_F(LogTest, RecordIsPrefixThenMessageWithCrLf) {
    WriteLog(Path("quisel.log").c_str(), "DeleteFile(a.txt) FAILED 5\n");
    const std::string bytes = ReadBytes(NativePath("quisel.log"));
    ASSERT_EQ(bytes.size(), 20u + 26u + 2u);
    EXPECT_TRUE(HasPrefix(bytes, 0));
    EXPECT_EQ(bytes.substr(20), "DeleteFile(a.txt) FAILED 5\r\n");
}

TEST_F(LogTest, FromToRecordContinuesOnTheNextRecordsLine) {
    const std::string log = Path("quisel.log");
    WriteLog(log.c_str(), "-------- VersionMove begin ---------\n");
    WriteLog(log.c_str(), "from: C:\\Game\nto: C:\\Game\\gamenew");
    WriteLog(log.c_str(), "list is null\n");
    EXPECT_EQ(Masked(ReadBytes(NativePath("quisel.log"))),
              "[]-------- VersionMove begin ---------\r\n"
              "[]from: C:\\Game\r\nto: C:\\Game\\gamenew[]list is null\r\n");
}

TEST_F(LogTest, MessageIsWrittenUnformatted) {
    WriteLog(Path("quisel.log").c_str(), "100% %d %s %n done\n");
    EXPECT_EQ(Masked(ReadBytes(NativePath("quisel.log"))), "[]100% %d %s %n done\r\n");
}

TEST_F(LogTest, EmptyMessageWritesTheBarePrefix) {
    const std::string log = Path("quisel.log");
    WriteLog(log.c_str(), "");
    WriteLog(log.c_str(), "x\n");
    EXPECT_EQ(Masked(ReadBytes(NativePath("quisel.log"))), "[][]x\r\n");
}

TEST_F(LogTest, OnlyLineFeedsAreTranslated) {
    WriteLog(Path("quisel.log").c_str(), "a\rb\r\nc\x1a\xc3\xa9\n");
    // The C runtime's text mode turns each LF into CR LF, CR LF included; "é" is written
    // in the code page, 1252 under Wine, UTF-8 natively.
#if defined(_WIN32)
    const char* const accent = "\xe9";
#else
    const char* const accent = "\xc3\xa9";
#endif
    EXPECT_EQ(Masked(ReadBytes(NativePath("quisel.log"))), std::string("[]a\rb\r\r\nc\x1a") + accent + "\r\n");
}

TEST_F(LogTest, ExistingContentIsKeptAndRecordsAppended) {
    WriteBytes(NativePath("quisel.log"), "earlier run\r\n");
    WriteLog(Path("quisel.log").c_str(), "one\n");
    WriteLog(Path("quisel.log").c_str(), "two\n");
    EXPECT_EQ(Masked(ReadBytes(NativePath("quisel.log"))), "earlier run\r\n[]one\r\n[]two\r\n");
}

TEST_F(LogTest, EmptyPathWritesNothingEvenWhenTheLogIsOpen) {
    WriteLog("", "dropped\n");
    EXPECT_EQ(LogStream, nullptr);
    WriteLog(Path("quisel.log").c_str(), "kept\n");
    WriteLog("", "dropped too\n");
    EXPECT_EQ(Masked(ReadBytes(NativePath("quisel.log"))), "[]kept\r\n");
}

TEST_F(LogTest, FirstSuccessfulOpenFixesThePlaceForGood) {
    const std::string missing = dir_ + "\\no such dir\\quisel.log";
    WriteLog(missing.c_str(), "lost\n");
    EXPECT_EQ(LogStream, nullptr);
    WriteLog(Path("other.log").c_str(), "first\n");
    WriteLog(Path("quisel.log").c_str(), "second\n");
    EXPECT_EQ(Masked(ReadBytes(NativePath("other.log"))), "[]first\r\n[]second\r\n");
    EXPECT_FALSE(Exists(NativePath("quisel.log")));
}

TEST_F(LogTest, RecordsReachTheFileBeforeTheCallReturns) {
    WriteLog(Path("quisel.log").c_str(), "flushed\n");
    // Read through a second handle while the log is still open.
    EXPECT_EQ(Masked(ReadBytes(NativePath("quisel.log"))), "[]flushed\r\n");
    EXPECT_NE(LogStream, nullptr);
}

TEST_F(LogTest, OverlongMessageIsCutAtTheRecordBuffer) {
    std::string message(2000, 'm');
    message += "\n";
    WriteLog(Path("quisel.log").c_str(), message.c_str());
    const std::string bytes = ReadBytes(NativePath("quisel.log"));
    EXPECT_TRUE(HasPrefix(bytes, 0));
    EXPECT_EQ(bytes.substr(20), std::string(1003, 'm'));
}

TEST_F(LogTest, FormattedMessagesAreCutNotOverrun) {
    std::string path(1500, 'p');
    LogF(Path("quisel.log").c_str(), "fopen(%s, \"r\") FAILED %d\n", path.c_str(), 3);
    const std::string bytes = ReadBytes(NativePath("quisel.log"));
    // 1023 characters fit the message buffer, 1003 of them the record.
    EXPECT_EQ(bytes.substr(20), "fopen(" + std::string(997, 'p'));
}

// The shipped library, loaded and unloaded as the launcher does it.
std::string LibraryBesideThisProgram() {
#if defined(_WIN32)
    char self[MAX_PATH] = {0};
    GetModuleFileNameA(NULL, self, MAX_PATH);
    std::string dir(self);
    dir = dir.substr(0, dir.find_last_of("\\/"));
    return dir + "\\quisel.dll";
#else
    char self[PATH_MAX] = {0};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir(self, n > 0 ? static_cast<size_t>(n) : 0);
    dir = dir.substr(0, dir.find_last_of('/'));
    return dir + "/libquisel.so";
#endif
}

typedef int(__cdecl* ClearDirFn)(const char*, int);

#if defined(_WIN32)
typedef HMODULE Library;
Library Load(const std::string& path) {
    return LoadLibraryA(path.c_str());
}
void* Find(Library lib, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(lib, name));
}
void Unload(Library lib) {
    FreeLibrary(lib);
}
#else
typedef void* Library;
Library Load(const std::string& path) {
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}
void* Find(Library lib, const char* name) {
    return dlsym(lib, name);
}
void Unload(Library lib) {
    dlclose(lib);
}
// Whether this process holds a descriptor open on path.
bool HeldOpen(const std::string& path) {
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == NULL) return false;
    DIR* fds = opendir("/proc/self/fd");
    bool found = false;
    while (dirent* d = readdir(fds)) {
        char link[PATH_MAX] = {0};
        const std::string fd = std::string("/proc/self/fd/") + d->d_name;
        const ssize_t n = readlink(fd.c_str(), link, sizeof link - 1);
        if (n > 0 && std::string(link, n) == real) found = true;
    }
    closedir(fds);
    return found;
}
#endif

class LibraryLifeTest : public LogTest {};

TEST_F(LibraryLifeTest, LoadAndUnloadWithoutCallsCreatesNoLog) {
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    Library lib = Load(LibraryBesideThisProgram());
    ASSERT_TRUE(lib != NULL);
    Unload(lib);
    ASSERT_EQ(chdir(".."), 0);
    EXPECT_FALSE(Exists(NativePath("quisel.log")));
}

TEST_F(LibraryLifeTest, LogIsClosedWhenTheLibraryIsUnloaded) {
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    Library lib = Load(LibraryBesideThisProgram());
    ASSERT_TRUE(lib != NULL);
    ClearDirFn clearDir = reinterpret_cast<ClearDirFn>(Find(lib, "ClearDir"));
    ASSERT_TRUE(clearDir != NULL);
    EXPECT_EQ(clearDir("missing", 0), 0);
    EXPECT_TRUE(Exists("quisel.log"));
#if defined(_WIN32)
    // Held without delete sharing while the library is loaded.
    EXPECT_FALSE(DeleteFileA("quisel.log"));
    EXPECT_EQ(GetLastError(), 32u);
    Unload(lib);
    EXPECT_TRUE(DeleteFileA("quisel.log")) << GetLastError();
#else
    EXPECT_TRUE(HeldOpen("quisel.log"));
    Unload(lib);
    EXPECT_FALSE(HeldOpen("quisel.log"));
    EXPECT_EQ(unlink("quisel.log"), 0);
#endif
    ASSERT_EQ(chdir(".."), 0);
}

}  // namespace
