// Drives the host program quisel-run of either build from a native test program: the
// native build directly, the Windows build under Wine through scripts/wine-run.
//
// The native build directory comes from QUISEL_BUILD_DIR (ctest sets it) or else the
// build the test program belongs to; the Windows build is its sibling "win32", unless
// QUISEL_WIN32_BUILD_DIR names another.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace quisel::test {

enum class Build { Native, Wine };

// "Native" / "Wine": usable as a parametrized test's name.
const char* BuildName(Build build);

std::string SourceDir();
std::string NativeBuildDir();
std::string Win32BuildDir();
std::string BuildDir(Build build);

// The host program of a build, and the library beside it.
std::string HostProgram(Build build);
std::string LibraryFile(Build build);

// Whether the build's host program and library exist; for Wine, also whether wine does,
// and QUISEL_SKIP_WINE is unset (or "0").
bool BuildAvailable(Build build);

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

// Runs the build's quisel-run with args in workDir (a Linux path). Under Wine the
// prefix is the Windows build's own (<win32 build>/wineprefix).
RunResult RunHost(Build build, const std::vector<std::string>& args, const std::string& workDir,
                  std::chrono::seconds timeout = std::chrono::seconds(180), const Environment& environment = {});

} // namespace quisel::test

// Skips the current test when the build it needs is not there.
#define QUISEL_SKIP_UNLESS_AVAILABLE(build)                                                          \
    do {                                                                                             \
        if (!::quisel::test::BuildAvailable(build))                                                  \
            GTEST_SKIP() << ::quisel::test::BuildName(build) << " build not available: "             \
                         << ::quisel::test::HostProgram(build);                                      \
    } while (0)
