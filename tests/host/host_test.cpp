// The host program quisel-run, natively and under Wine: command-line checking, the
// calls it makes and their order, exit statuses, directories, and library loading.
//
// Most cases load a probe library that records each call and returns its int argument,
// so they check the host alone; a few load the real library.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "host_runner.h"

namespace quisel::test {
namespace {

using Args = std::vector<std::string>;

class HostTest : public ::testing::TestWithParam<Build> {
protected:
    void SetUp() override {
        QUISEL_SKIP_UNLESS_AVAILABLE(build());
        scratch_ = std::make_unique<TempDir>("quisel-host");
        game_ = *scratch_ / "game";
        records_ = *scratch_ / "probe.log";
        MakeDirectories(game_);
    }

    Build build() const { return GetParam(); }
    // A Linux path as the program under test sees it.
    std::string Seen(const std::string& path) const { return LibraryPath(build(), path); }

    std::string ProbeFile(const std::string& name = "quisel_probe") const {
        return BuildDir(build()) + "/" + name + (IsWindows(build()) ? ".dll" : ".so");
    }

    // The host with the real library, in the game directory unless told otherwise.
    RunResult Run(const Args& args, const std::string& workDir = "") {
        return RunHost(build(), args, workDir.empty() ? game_ : workDir);
    }

    // The host with a probe library; its records go to records_. A UTF-8 locale, so that
    // Wine reads the arguments as UTF-8 and runs the program in code page 1252.
    RunResult RunProbe(const Args& args, const std::string& workDir = "",
                       const std::string& probe = "quisel_probe") {
        Args all = {"--lib", Seen(ProbeFile(probe))};
        all.insert(all.end(), args.begin(), args.end());
        return RunHost(build(), all, workDir.empty() ? game_ : workDir, std::chrono::seconds(180), ProbeEnvironment());
    }
    Environment ProbeEnvironment() const {
        return {{"QUISEL_PROBE_LOG", Seen(records_)}, {"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}};
    }

    // The probe's records, one per call and "unload" at the end; empty when it never ran.
    std::vector<std::string> Records() const {
        std::vector<std::string> lines;
        if (!Exists(records_)) return lines;
        std::string text = ReadFile(records_);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }
    // A call record made while the current directory was dir (a Linux path).
    std::string Record(const std::string& dir, const std::string& call) const { return Seen(dir) + "|" + call; }

    std::unique_ptr<TempDir> scratch_;
    std::string game_;
    std::string records_;
};

// Exit 2, nothing on standard output, and exactly one non-empty line on standard error.
::testing::AssertionResult HostError(const RunResult& r) {
    size_t newlines = 0;
    for (char c : r.err) newlines += c == '\n';
    if (r.exitCode == 2 && !r.timedOut && r.out.empty() && newlines == 1 && r.err.back() == '\n' &&
        r.err.size() > std::string("quisel-run: \n").size())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "expected exit 2 with one error line, got " << r.Describe();
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

TEST_P(HostTest, UsageErrorsMakeNoCallAndLoadNothing) {
    std::vector<Args> cases = {
        {},
        {"-C", "."},
        {"--bogus", "clear", "d", "0"},
        {"--lib"},
        {"-C"},
        {"-C", ".", "-C", ".", "clear", "d", "0"},
        {"frobnicate"},
        {"backup"},
        {"backup", "1x"},
        {"backup", ""},
        {"backup", "+1"},
        {"backup", " 1"},
        {"backup", "1 "},
        {"backup", "0x10"},
        {"backup", "-"},
        {"backup", "--1"},
        {"backup", "2147483648"},
        {"backup", "-2147483649"},
        {"backup", "99999999999999999999"},
        {"clear", "d"},
        {"clear", "d", "yes"},
        {"move", "a", "b", "c"},
        {"move", "a", "b", "c", "1.0"},
        {"cd"},
        // A valid call ahead of the fault is not made either.
        {"clear", "d", "0", "backup", "x"},
        {"clear", "d", "0", "-C", "."},
        {"clear", "d", "0", "bogus"},
        {"clear", "d", "0", "clear", "d"},
        // Only the ASCII words: not letters and digits that a code page would fit to them.
        {"ｂａｃｋｕｐ", "1"},
        {"backup", "１"},
        {"--wide"},
        {"clear", "d", "0", "--wide"},
        {"--wide", "move", "a", "b", "c"},
    };
    if (build() == Build::Native) {
        cases.push_back({"--by-ordinal", "clear", "d", "0"});
        // --wide takes the paths as UTF-8: a stray continuation byte, a cut sequence, an
        // overlong "/", a surrogate and a value past U+10FFFF are not.
        for (const char* path : {"\x80", "a\xE2\x82", "..\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"})
            cases.push_back({"--wide", "clear", path, "0"});
        cases.push_back({"--wide", "move", "a", "b", "\xFF", "0"});
    }

    for (const Args& args : cases) {
        std::string line;
        for (const std::string& a : args) line += " '" + a + "'";
        SCOPED_TRACE("quisel-run" + line);

        EXPECT_TRUE(HostError(Run(args)));
        EXPECT_FALSE(Exists(game_ + "/quisel.log"));
        EXPECT_EQ(DescribeTree(ListTree(game_)), DescribeTree({}));

        // The probe records its unloading too: nothing at all means it was never loaded.
        EXPECT_TRUE(HostError(RunProbe(args)));
        EXPECT_EQ(Joined(Records()), "");
    }
}

TEST_P(HostTest, IntegersCoverTheWholeRangeOfAnInt) {
    RunResult r = RunProbe({"backup", "-2147483648", "backup", "2147483647", "backup", "-0", "backup", "007",
                            "clear", "d", "-1", "move", "a", "b", "c", "1"});
    EXPECT_EQ(r.out, "-2147483648\n2147483647\n0\n7\n-1\n1\n") << r.Describe();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Joined(Records()), Joined({Record(game_, "VersionBackup|-2147483648"),
                                         Record(game_, "VersionBackup|2147483647"),
                                         Record(game_, "VersionBackup|0"), Record(game_, "VersionBackup|7"),
                                         Record(game_, "ClearDir|d|-1"), Record(game_, "VersionMove|a|b|c|1"),
                                         "unload"}));
}

TEST_P(HostTest, ExitStatusFollowsTheResults) {
    {
        SCOPED_TRACE("every call returns 1");
        RunResult r = RunProbe({"backup", "1", "clear", "d", "1", "move", "a", "b", "c", "1"});
        EXPECT_EQ(r.out, "1\n1\n1\n") << r.Describe();
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitCode, 0);
    }
    {
        SCOPED_TRACE("a failed call does not stop the later ones");
        RemoveTree(records_);
        RunResult r = RunProbe({"clear", "d", "0", "backup", "1", "move", "a", "b", "c", "0", "clear", "e", "1"});
        EXPECT_EQ(r.out, "0\n1\n0\n1\n") << r.Describe();
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(Records().size(), 5u) << Joined(Records());
    }
    {
        SCOPED_TRACE("a result other than 0 or 1 is not a success");
        RunResult r = RunProbe({"backup", "1", "backup", "2"});
        EXPECT_EQ(r.out, "1\n2\n") << r.Describe();
        EXPECT_EQ(r.exitCode, 1);
    }
}

TEST_P(HostTest, ArgumentsReachTheLibraryExactlyAsGiven) {
    // Wildcards stay unexpanded even where they would match, and no path is rewritten.
    MakeDirectories(game_ + "/only");
    RunResult r = RunProbe({"clear", "*", "1", "clear", "*.*", "1", "clear", "", "1", "clear", "-C", "1",
                            "move", "a b\\c", "..\\up/down", "C:/x\\list.txt", "1", "clear", "o?ly", "1",
                            "clear", "\"quoted\"", "1", "clear", "trailing\\", "1"});
    EXPECT_EQ(r.exitCode, 0) << r.Describe();
    EXPECT_EQ(Joined(Records()),
              Joined({Record(game_, "ClearDir|*|1"), Record(game_, "ClearDir|*.*|1"), Record(game_, "ClearDir||1"),
                      Record(game_, "ClearDir|-C|1"),
                      Record(game_, "VersionMove|a b\\c|..\\up/down|C:/x\\list.txt|1"),
                      Record(game_, "ClearDir|o?ly|1"), Record(game_, "ClearDir|\"quoted\"|1"),
                      Record(game_, "ClearDir|trailing\\|1"), "unload"}));

    {
        SCOPED_TRACE("--wide: the wide exports get every character, also those no code page spells");
        RemoveTree(records_);
        r = RunProbe({"--wide", "clear", "한국어 😀", "1", "move", "é\\섬", "", "*", "1", "clear", "o?ly", "0",
                      "clear", "\xC2\x80\xEF\xBF\xBD\xF4\x8F\xBF\xBF", "1", "backup", "1"});
        EXPECT_EQ(r.out, "1\n1\n0\n1\n1\n") << r.Describe();
        EXPECT_EQ(Joined(Records()),
                  Joined({Record(game_, "ClearDirW|한국어 😀|1"), Record(game_, "VersionMoveW|é\\섬||*|1"),
                          Record(game_, "ClearDirW|o?ly|0"),
                          Record(game_, "ClearDirW|\xC2\x80\xEF\xBF\xBD\xF4\x8F\xBF\xBF|1"),
                          Record(game_, "VersionBackup|1"), "unload"}));
    }
    {
        // Under Wine in 1252: "é" is spelled, "한" is not, "Ａ" has a nearest fit.
        SCOPED_TRACE("without --wide: the ANSI exports, in the code page as the C runtime's argv has them");
        RemoveTree(records_);
        r = RunProbe({"clear", "é한Ａ", "1", "move", "é", "한", "Ａ", "1"});
        EXPECT_EQ(r.out, "1\n1\n") << r.Describe();
        const bool ansi = IsWindows(build());
        EXPECT_EQ(Joined(Records()),
                  Joined({Record(game_, ansi ? "ClearDir|\xE9?A|1" : "ClearDir|é한Ａ|1"),
                          Record(game_, ansi ? "VersionMove|\xE9|?|A|1" : "VersionMove|é|한|Ａ|1"), "unload"}));
    }
}

TEST_P(HostTest, CallsRunInTheDirectoriesGiven) {
    MakeDirectories(game_ + "/sub/deeper");
    RunResult r = RunProbe({"-C", "sub", "backup", "1", "cd", "deeper", "clear", "x", "1", "cd", "..",
                            "move", "a", "b", "c", "1", "cd", Seen(game_), "backup", "1"});
    EXPECT_EQ(r.out, "1\n1\n1\n1\n") << r.Describe();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Joined(Records()), Joined({Record(game_ + "/sub", "VersionBackup|1"),
                                         Record(game_ + "/sub/deeper", "ClearDir|x|1"),
                                         Record(game_ + "/sub", "VersionMove|a|b|c|1"),
                                         Record(game_, "VersionBackup|1"), "unload"}));

    // Directories of names that no code page spells.
    RemoveTree(records_);
    MakeDirectories(game_ + "/한글/깊이 😀");
    r = RunProbe({"-C", "한글", "backup", "1", "cd", "깊이 😀", "clear", "x", "1"});
    EXPECT_EQ(r.out, "1\n1\n") << r.Describe();
    EXPECT_EQ(Joined(Records()), Joined({Record(game_ + "/한글", "VersionBackup|1"),
                                         Record(game_ + "/한글/깊이 😀", "ClearDir|x|1"), "unload"}));
}

TEST_P(HostTest, RelativeLibraryPathIsTakenFromTheStartingDirectory) {
    std::string libDir = *scratch_ / "libs";
    MakeDirectories(libDir);
    WriteFile(libDir + "/renamed.bin", ReadFile(ProbeFile()));
    const Environment env = {{"QUISEL_PROBE_LOG", Seen(records_)}};

    // With a directory part, and -C does not change where it is looked for.
    RunResult r = RunHost(build(), {"--lib", "libs/renamed.bin", "-C", Seen(game_), "backup", "1"},
                          scratch_->path(), std::chrono::seconds(180), env);
    EXPECT_EQ(r.out, "1\n") << r.Describe();
    // A bare name is a file in the current directory, not a name to search for.
    r = RunHost(build(), {"--lib", "renamed.bin", "-C", Seen(game_), "backup", "1"}, libDir,
                std::chrono::seconds(180), env);
    EXPECT_EQ(r.out, "1\n") << r.Describe();
    EXPECT_EQ(Joined(Records()), Joined({Record(game_, "VersionBackup|1"), "unload", Record(game_, "VersionBackup|1"),
                                         "unload"}));
}

TEST_P(HostTest, LibraryIsFoundInFoldersOfAnyName) {
    // Names that no code page spells, for --lib (relative) and for the program's own folder.
    std::string folder = *scratch_ / "프로그램 😀";
    MakeDirectories(folder);
    const std::string program = folder + (IsWindows(build()) ? "/quisel-run.exe" : "/quisel-run");
    WriteFile(program, ReadFile(HostProgram(build())));
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    WriteFile(folder + (IsWindows(build()) ? "/quisel.dll" : "/libquisel.so"), ReadFile(ProbeFile()));
    WriteFile(folder + "/renamed.bin", ReadFile(ProbeFile()));

    RunResult r = RunHostAt(build(), program, {"backup", "1"}, game_, std::chrono::seconds(180), ProbeEnvironment());
    EXPECT_EQ(r.out, "1\n") << r.Describe();
    r = RunHost(build(), {"--lib", "프로그램 😀/renamed.bin", "backup", "2"}, scratch_->path(), std::chrono::seconds(180),
                ProbeEnvironment());
    EXPECT_EQ(r.out, "2\n") << r.Describe();
    EXPECT_EQ(Joined(Records()), Joined({Record(game_, "VersionBackup|1"), "unload",
                                         Record(scratch_->path(), "VersionBackup|2"), "unload"}));
}

TEST_P(HostTest, FailedChangeOfDirectoryStopsTheRun) {
    WriteFile(game_ + "/file", "x");
    {
        SCOPED_TRACE("cd into a missing directory between calls");
        RunResult r = RunProbe({"backup", "1", "cd", "missing", "backup", "1"});
        EXPECT_EQ(r.out, "1\n");
        EXPECT_EQ(r.exitCode, 2) << r.Describe();
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.Describe();
        EXPECT_EQ(Joined(Records()), Joined({Record(game_, "VersionBackup|1"), "unload"}));
    }
    {
        SCOPED_TRACE("cd into a file");
        RemoveTree(records_);
        EXPECT_TRUE(HostError(RunProbe({"cd", "file", "backup", "1"})));
        EXPECT_EQ(Joined(Records()), "unload\n");
    }
    {
        SCOPED_TRACE("-C to a missing directory");
        RemoveTree(records_);
        EXPECT_TRUE(HostError(RunProbe({"-C", "missing", "backup", "1"})));
        EXPECT_EQ(Joined(Records()), "unload\n");
    }
}

TEST_P(HostTest, LibraryThatCannotBeUsedIsReported) {
    WriteFile(game_ + "/not-a-library.dll", "MZ but not really\n");
    EXPECT_TRUE(HostError(Run({"--lib", Seen(*scratch_ / "missing/quisel.dll"), "backup", "1"})));
    EXPECT_TRUE(HostError(Run({"--lib", "not-a-library.dll", "backup", "1"})));

    // Every export is resolved before the first call: the calls it has are not made.
    RunResult r = RunProbe({"backup", "1", "clear", "d", "1"}, "", "quisel_probe_partial");
    EXPECT_TRUE(HostError(r));
    EXPECT_NE(r.err.find("VersionMove"), std::string::npos) << r.err;
    EXPECT_EQ(Joined(Records()), "unload\n");
    EXPECT_FALSE(Exists(game_ + "/quisel.log"));

    // --wide needs the wide twins, ClearDirW alone is not enough.
    RemoveTree(records_);
    r = RunProbe({"--wide", "clear", "d", "1"}, "", "quisel_probe_partial");
    EXPECT_TRUE(HostError(r));
    EXPECT_NE(r.err.find("VersionMoveW"), std::string::npos) << r.err;
    EXPECT_EQ(Joined(Records()), "unload\n");
}

// Ordinals exist in the Windows build only (natively --by-ordinal is a usage error, above).
using HostByOrdinalTest = HostTest;

TEST_P(HostByOrdinalTest, ResolvesTheExportsByOrdinal) {
    RunResult r = RunProbe({"--by-ordinal", "backup", "5", "clear", "d", "6", "move", "a", "b", "c", "7"});
    EXPECT_EQ(r.out, "5\n6\n7\n") << r.Describe();
    EXPECT_EQ(Joined(Records()), Joined({Record(game_, "VersionBackup|5"), Record(game_, "ClearDir|d|6"),
                                         Record(game_, "VersionMove|a|b|c|7"), "unload"}));

    RemoveTree(records_);
    r = RunProbe({"--by-ordinal", "backup", "1"}, "", "quisel_probe_partial");
    EXPECT_TRUE(HostError(r));
    EXPECT_NE(r.err.find("ordinal 3"), std::string::npos) << r.err;
    EXPECT_EQ(Joined(Records()), "unload\n");

    // With --wide: 1, 4 and 5.
    RemoveTree(records_);
    r = RunProbe({"--wide", "--by-ordinal", "backup", "5", "clear", "한", "6", "move", "a", "b", "😀", "7"});
    EXPECT_EQ(r.out, "5\n6\n7\n") << r.Describe();
    EXPECT_EQ(Joined(Records()), Joined({Record(game_, "VersionBackup|5"), Record(game_, "ClearDirW|한|6"),
                                         Record(game_, "VersionMoveW|a|b|😀|7"), "unload"}));
    RemoveTree(records_);
    r = RunProbe({"--by-ordinal", "--wide", "backup", "1"}, "", "quisel_probe_partial");
    EXPECT_TRUE(HostError(r));
    EXPECT_NE(r.err.find("ordinal 5"), std::string::npos) << r.err;
    EXPECT_EQ(Joined(Records()), "unload\n");

    // The real library's ordinals: the same run by name and by ordinal has the same effect.
    const Tree game = {{"newlist.txt", "a.txt\r\n"}, {"backuplist.txt", "b.txt\r\n"}, {"a.txt", "A"},
                       {"b.txt", "B"}, {"ver.bin", "1"}, {"junk/x.txt", "x"}};
    const Args calls = {"backup", "0", "move", "gameold", ".", "gameold\\newlist.txt", "0", "clear", "junk", "1",
                        "clear", "missing", "0"};
    std::string byName = *scratch_ / "by-name", byOrdinal = *scratch_ / "by-ordinal";
    MakeTree(byName, game);
    MakeTree(byOrdinal, game);
    RunResult named = Run(calls, byName);
    Args ordinalCalls = {"--by-ordinal"};
    ordinalCalls.insert(ordinalCalls.end(), calls.begin(), calls.end());
    RunResult ordinal = Run(ordinalCalls, byOrdinal);
    EXPECT_EQ(ordinal.out, named.out) << ordinal.Describe() << "\n" << named.Describe();
    EXPECT_EQ(ordinal.exitCode, named.exitCode);
    EXPECT_EQ(named.out.size(), 8u) << named.Describe(); // four results

    // Compare the trees with the time stamps of the logs masked.
    auto masked = [](const std::string& root) {
        Tree tree = ListTree(root);
        for (auto& [path, bytes] : tree) {
            if (path == "quisel.log" || (path.size() > 11 && path.substr(path.size() - 11) == "/quisel.log")) {
                std::string text, problem;
                EXPECT_TRUE(MaskLog(bytes, &text, &problem)) << problem;
                bytes = text;
            }
        }
        return tree;
    };
    Tree left = masked(byName), right = masked(byOrdinal);
    // The logs name their own directories; make them comparable.
    for (auto& [path, bytes] : left) {
        for (size_t at; (at = bytes.find("by-name")) != std::string::npos;) bytes.replace(at, 7, "by-ordinal");
    }
    EXPECT_EQ(DescribeTree(right), DescribeTree(left));
}

TEST_P(HostTest, VersionAndHelp) {
    RunResult r = Run({"--version"});
    EXPECT_EQ(r.out, "2.0.4.0\n") << r.Describe();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 0);

    for (const char* option : {"-h", "--help"}) {
        SCOPED_TRACE(option);
        r = Run({option});
        EXPECT_EQ(r.exitCode, 0) << r.Describe();
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.rfind("Usage: quisel-run [OPTIONS] CALL...\n", 0), 0u) << r.out;
        for (const char* text : {"backup NEWVERSION", "clear DIR REMOVEDIR", "move FROM TO LIST FORCE", "cd DIR",
                                 "--by-ordinal", "--lib PATH", "-C DIR", "--wide", "4 ClearDirW, 5 VersionMoveW"})
            EXPECT_NE(r.out.find(text), std::string::npos) << text;
    }
    EXPECT_FALSE(Exists(game_ + "/quisel.log"));
}

TEST_P(HostTest, RealLibraryResultsAndLog) {
    // Clearing a missing directory fails and says so in the log; the next call still runs.
    RunResult r = Run({"clear", "missing", "0", "clear", "missing", "0"});
    EXPECT_EQ(r.out, "0\n0\n") << r.Describe();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exitCode, 1);
    ASSERT_TRUE(Exists(game_ + "/quisel.log"));
    std::string masked, problem;
    EXPECT_TRUE(MaskLog(ReadFile(game_ + "/quisel.log"), &masked, &problem)) << problem;
    EXPECT_FALSE(masked.empty());

    // A tree cleared and removed, addressed relatively after -C and cd.
    MakeTree(*scratch_ / "other", {{"a/b/c.txt", "c"}, {"a/d.txt", "d"}, {"keep.txt", "k"}});
    r = Run({"-C", Seen(*scratch_ / "other"), "clear", "a", "1"});
    EXPECT_EQ(r.out, "1\n") << r.Describe();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_FALSE(Exists(*scratch_ / "other/a"));
    EXPECT_TRUE(Exists(*scratch_ / "other/keep.txt"));
}

// Needs the library's wide exports.
TEST_P(HostTest, RealLibraryWideCalls) {
    // The list is read as UTF-8 after a byte-order mark.
    MakeTree(game_, {{"한글 😀/a/b.txt", "b"}, {"한글 😀/c.txt", "c"}, {"원본/x.txt", "x"}, {"원본/목록 😀/y.txt", "y"},
                     {"원본/list.txt", "\xEF\xBB\xBFx.txt\r\n목록 😀\\y.txt\r\n"}});
    const std::string from = Seen(game_ + "/원본");
    RunResult r = Run({"--wide", "clear", "한글 😀", "1", "move", from, Seen(game_ + "/대상 😀"), from + "\\list.txt", "0"});
    EXPECT_EQ(r.out, "1\n1\n") << r.Describe();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_FALSE(Exists(game_ + "/한글 😀"));
    EXPECT_EQ(ReadFile(game_ + "/대상 😀/x.txt"), "x");
    EXPECT_EQ(ReadFile(game_ + "/대상 😀/목록 😀/y.txt"), "y");
}

INSTANTIATE_TEST_SUITE_P(Builds, HostTest, ::testing::ValuesIn(TestedBuilds()), BuildParamName);
// Only the Windows builds have ordinals; the sanitizer run leaves them out.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(HostByOrdinalTest);
INSTANTIATE_TEST_SUITE_P(Builds, HostByOrdinalTest, ::testing::ValuesIn(TestedWindowsBuilds()), BuildParamName);

} // namespace
} // namespace quisel::test
