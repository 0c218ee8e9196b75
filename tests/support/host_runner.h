// Drives the host program quisel-run of any build from a native test program: the
// native build directly, the Windows builds under Wine through scripts/wine-run.
//
// The native build directory comes from QUISEL_BUILD_DIR (ctest sets it) or else the
// build the test program belongs to; the Windows builds are its siblings "win32" and
// "win64", unless QUISEL_WIN32_BUILD_DIR or QUISEL_WIN64_BUILD_DIR names another.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace quisel::test {

enum class Build { Native, Win32, Win64 };

// "Native" / "Win32" / "Win64": usable as a parametrized test's name.
const char* BuildName(Build build);
bool IsWindows(Build build);
// "win32" / "win64": the build's folder name and its Wine's architecture.
const char* WineArch(Build build);

// The builds a build-parametrized suite runs for: the native one, and both Windows
// builds unless QUISEL_SKIP_WINE is set (and not "0"); the sanitizer run sets it, since
// the Windows binaries are the plain run's and no sanitizer is in them.
std::vector<Build> TestedBuilds();
std::vector<Build> TestedWindowsBuilds();

// INSTANTIATE_TEST_SUITE_P's name generator for suites parametrized by Build.
std::string BuildParamName(const ::testing::TestParamInfo<Build>& info);

std::string SourceDir();
std::string BuildDir(Build build);

// The host program of a build, and the library beside it.
std::string HostProgram(Build build);
std::string LibraryFile(Build build);

// Whether a build's programs can run here. Skip only where the kernel refuses 32-bit
// programs (asked of scripts/wine-run's probe, once per test program); a build that is
// missing, or a Wine that is missing or broken, is Broken: the test fails.
enum class Availability { Runs, Skip, Broken };
Availability CheckAvailable(Build build, std::string* why);

// A Linux absolute path as the library of that build sees it: unchanged natively,
// "Z:" + the path with '/' turned into '\' under Wine.
std::string LibraryPath(Build build, const std::string& linuxAbsolutePath);

struct RunResult {
    int exitCode = -1;      // the exit status, or 128 + signal when killed by one
    bool timedOut = false;  // killed for running past the timeout
    std::string out;        // standard output, byte for byte
    std::string err;        // standard error, byte for byte
    std::string Describe() const; // for failure messages
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs argv[0] with argv in workDir, standard input empty, with extra environment set,
// and collects both outputs. The whole process group is killed past the timeout.
RunResult RunProgram(const std::vector<std::string>& argv, const std::string& workDir,
                     std::chrono::seconds timeout, const Environment& environment = {});

// Text from one encoding to another by iconv's names ("UTF-8", "CP932"); throws
// std::runtime_error when it cannot.
std::string ConvertText(const std::string& text, const char* from, const char* to);
// UTF-8 text as the library's log holds it in the code page (iconv's name): the code
// page's bytes, and "?" for each character it cannot spell.
std::string InCodePageLog(const std::string& utf8, const char* codePage);

// Runs the build's quisel-run with args in workDir (a Linux path). Under Wine the
// prefix is the Windows build's own (<build>/wineprefix).
RunResult RunHost(Build build, const std::vector<std::string>& args, const std::string& workDir,
                  std::chrono::seconds timeout = std::chrono::seconds(180), const Environment& environment = {});
// The same with a copy of the build's host program elsewhere (a Linux path).
RunResult RunHostAt(Build build, const std::string& program, const std::vector<std::string>& args,
                    const std::string& workDir, std::chrono::seconds timeout = std::chrono::seconds(180),
                    const Environment& environment = {});

} // namespace quisel::test

// Skips the current test where the kernel cannot run the build it needs, and fails it
// when the build or its Wine is missing.
#define QUISEL_SKIP_UNLESS_AVAILABLE(build)                                                          \
    do {                                                                                             \
        std::string why_;                                                                            \
        switch (::quisel::test::CheckAvailable(build, &why_)) {                                      \
        case ::quisel::test::Availability::Runs: break;                                              \
        case ::quisel::test::Availability::Skip: GTEST_SKIP() << why_;                               \
        case ::quisel::test::Availability::Broken: GTEST_FAIL() << why_;                             \
        }                                                                                            \
    } while (0)
