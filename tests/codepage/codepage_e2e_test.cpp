// Paths in the double-byte code pages that players run Windows in, end to end: each
// Windows build's quisel-run under Wine in 932, 936 and 950, where the second byte of a
// character may be the byte of a backslash or of a letter, and in 1252 for names that
// come back as paths.
//
// Names are spelled with tokens: {5} and {6} are characters whose second byte is a
// backslash, {A} and {a} two characters whose second bytes are 'A' and 'a', {X} one that
// the code page cannot spell at all. Names on disk are UTF-8, arguments reach the library
// in the code page (Wine converts them), and list files are written in it.
//
// Most cases say only "as an ASCII-named game would have it": they are run a second time
// with ASCII stand-ins for the characters, and the two trees and logs, with the
// characters read back as their stand-ins, must be the same.
#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_runner.h"

namespace quisel::test {
namespace {

struct CodePage {
    const char* name;
    const char* locale;
    const char* acp;
    const char* iconvName;
    const char* five;   // {5}
    const char* six;    // {6}
    const char* upper;  // {A}
    const char* lower;  // {a}
};

const CodePage kCodePages[] = {
    {"Cp932", "ja_JP.UTF-8", "932", "CP932", "表", "ソ", "ア", "ヂ"},
    {"Cp936", "zh_CN.UTF-8", "936", "CP936", "乗", "淺", "丄", "乤"},
    {"Cp950", "zh_TW.UTF-8", "950", "CP950", "功", "許", "乙", "兀"},
    {"Cp1252", "C.UTF-8", "1252", "CP1252", "", "", "", ""},
};
const char* const kDoubleByte = "932 936 950";
const char* const kAll = "932 936 950 1252";
// Hangul, in none of the three.
const char* const kOutside = "한";

struct Param {
    Build build;
    CodePage page;
};

void PrintTo(const Param& param, std::ostream* os) { *os << BuildName(param.build) << "/" << param.page.name; }

struct Case {
    const char* name;
    const char* pages;              // the code pages it runs in
    Tree tree;                      // under the scratch folder TOP
    std::vector<std::string> args;  // "TOP" is the scratch folder as the library sees it
    const char* out;
    // For names the code page cannot spell, what must be there afterwards, and the log
    // (TOP for the scratch folder) in UTF-8, as the code page shows it; empty for a case
    // compared with its ASCII run.
    Tree after;
    std::vector<std::string> log;
    const char* logAt = "quisel.log";
    bool anyOrder = false;  // the forced move's records come in the listing's order
};

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases = {
        {"a game whose name and whose entries end in such characters, backed up and restored", kDoubleByte,
         {{"g{5}/a.txt", "a"},
          {"g{5}/d{6}/{5}{6}/y.txt", "y"},
          {"g{5}/{5}/{5}", "w"},
          {"g{5}/x{5}", "x"},
          {"g{5}/{A}/{a}.txt", "b"},
          {"g{5}/keep{6}.txt", "k"},
          {"g{5}/ver.bin", "v"},
          {"g{5}/backuplist.txt", "a.txt\r\nd{6}\\{5}{6}\\y.txt\r\n.\\{5}\\{5}\r\nx{5}\r\n{A}\\{a}.txt\r\nver.bin\r\n"},
          {"g{5}/newlist.txt", "a.txt\r\n"}},
         {"-C", "TOP\\g{5}", "backup", "0", "move", "TOP\\g{5}\\gameold", "TOP\\g{5}",
          "TOP\\g{5}\\gameold\\newlist.txt", "1"},
         "1\n1\n", {}, {}},
        {"the forced move and the clearing of trees whose roots end in such characters, and "
         "two roots that differ in a second byte's case",
         kDoubleByte,
         {{"s{5}/{5}.txt", "1"},
          {"s{5}/d{6}/{a}{5}", "2"},
          {"s{5}/ver.bin", "v"},
          {"c{6}/{5}/f{6}", "3"},
          {"c{6}/e.txt", "4"},
          {"{A}/f.txt", "5"},
          {"{A}/l.txt", "f.txt\r\n"}},
         {"-C", "TOP", "move", "TOP\\s{5}", "TOP\\t{6}", "missing.txt", "1", "clear", "c{6}", "1", "move",
          "TOP\\{A}", "TOP\\{a}", "TOP\\{A}\\l.txt", "0"},
         "1\n1\n1\n", {}, {}},
        // Names no code page spells, and "ä" beside its look-alike "a" (the best fit of 932,
        // 936 and 950): the library reaches each by its own name, and the log shows what
        // the code page cannot spell as "?", never as the look-alike.
        {"names outside the code page and their look-alike twins, cleared and force-moved under their own names",
         kAll,
         {{"k/{X}.txt", "h"}, {"k/😀.txt", "e"}, {"k/ä.txt", "1"}, {"k/a.txt", "2"}, {"k/ä/in.txt", "3"},
          {"k/a/in.txt", "4"}, {"k/{X}d/in.txt", "i"}, {"m/{X}.txt", "h"}, {"m/ä/in.txt", "3"}, {"m/a/in.txt", "4"},
          {"m/😀/in.txt", "5"}, {"s/{X}.txt", "x"}, {"s/😀.txt", "e"}, {"s/ä.txt", "1"}, {"s/a.txt", "2"},
          {"s/ä/f.txt", "3"}, {"s/a/f.txt", "4"}, {"s/ver.bin", "v"}},
         {"-C", "TOP", "clear", "k", "0", "clear", "m", "1", "move", "TOP\\s", "TOP\\t", "missing.txt", "1"},
         "1\n1\n1\n",
         {{"k/", ""}, {"k/{X}d/", ""}, {"k/a/", ""}, {"k/ä/", ""}, {"s/", ""}, {"s/a/", ""}, {"s/ä/", ""}, {"t/", ""},
          {"t/{X}.txt", "x"}, {"t/😀.txt", "e"}, {"t/ä.txt", "1"}, {"t/a.txt", "2"}, {"t/ä/", ""}, {"t/ä/f.txt", "3"},
          {"t/a/", ""}, {"t/a/f.txt", "4"}, {"t/ver.bin", "v"}},
         {"-------- VersionMove begin ---------\n", "from: TOP\\s\nto: TOP\\t", "fopen(missing.txt, \"r\") FAILED 2\n",
          "---------- ForceMove(TOP\\s, TOP\\t) begin -------------\n",
          "MoveFile(TOP\\s\\한.txt, TOP\\t\\한.txt) SUCCEED !!!\n", "MoveFile(TOP\\s\\😀.txt, TOP\\t\\😀.txt) SUCCEED !!!\n",
          "MoveFile(TOP\\s\\ä.txt, TOP\\t\\ä.txt) SUCCEED !!!\n", "MoveFile(TOP\\s\\a.txt, TOP\\t\\a.txt) SUCCEED !!!\n",
          "MoveFile(TOP\\s\\ä\\f.txt, TOP\\t\\ä\\f.txt) SUCCEED !!!\n",
          "MoveFile(TOP\\s\\a\\f.txt, TOP\\t\\a\\f.txt) SUCCEED !!!\n",
          "CopyFile(TOP\\s\\ver.bin, TOP\\t\\ver.bin) SUCCEED !!!\n", "--------- ForceMove(TOP\\s, TOP\\t) 1 --------\n",
          "-------- VersionMove end 1---------\n"},
         "quisel.log", true},
        // Under 1252, "..＼evil" and "c：x" have best fits that are paths ("..\evil", "c:x"):
        // as names of their own they are only names.
        {"names whose look-alikes are paths are only names", "1252",
         {{"evil", "precious"}, {"tree/..＼evil", "1"}, {"tree/c：x", "2"}, {"tree/plain", "3"},
          {"src/..＼evil", "4"}, {"src/a.txt", "5"}, {"src/ver.bin", "v"}},
         {"-C", "TOP", "clear", "tree", "1", "move", "TOP\\src", "TOP\\dst", "missing.txt", "1"},
         "1\n1\n",
         {{"evil", "precious"}, {"src/", ""}, {"dst/", ""}, {"dst/..＼evil", "4"}, {"dst/a.txt", "5"},
          {"dst/ver.bin", "v"}},
         {"-------- VersionMove begin ---------\n", "from: TOP\\src\nto: TOP\\dst", "fopen(missing.txt, \"r\") FAILED 2\n",
          "---------- ForceMove(TOP\\src, TOP\\dst) begin -------------\n",
          "MoveFile(TOP\\src\\..＼evil, TOP\\dst\\..＼evil) SUCCEED !!!\n",
          "MoveFile(TOP\\src\\a.txt, TOP\\dst\\a.txt) SUCCEED !!!\n",
          "CopyFile(TOP\\src\\ver.bin, TOP\\dst\\ver.bin) SUCCEED !!!\n",
          "--------- ForceMove(TOP\\src, TOP\\dst) 1 --------\n", "-------- VersionMove end 1---------\n"},
         "quisel.log", true},
        {"a game below a folder named in Hangul, backed up and restored with relative roots", kAll,
         {{"{X}/g/a.txt", "a"}, {"{X}/g/d/b.txt", "b"}, {"{X}/g/ver.bin", "v"},
          {"{X}/g/backuplist.txt", "a.txt\r\nd\\b.txt\r\nver.bin\r\n"}, {"{X}/g/newlist.txt", "a.txt\r\n"}},
         {"-C", "TOP\\{X}\\g", "backup", "0", "move", "gameold", ".", "gameold\\newlist.txt", "1"},
         "1\n1\n",
         {{"{X}/", ""}, {"{X}/g/", ""}, {"{X}/g/a.txt", "a"}, {"{X}/g/d/", ""}, {"{X}/g/d/b.txt", "b"},
          {"{X}/g/ver.bin", "v"}, {"{X}/g/backuplist.txt", "a.txt\r\nd\\b.txt\r\nver.bin\r\n"},
          {"{X}/g/newlist.txt", "a.txt\r\n"}, {"{X}/g/gameold/", ""}, {"{X}/g/gameold/backuplist.txt", "a.txt\r\n"},
          {"{X}/g/gameold/newlist.txt", "a.txt\r\nd\\b.txt\r\nver.bin\r\n"}, {"{X}/g/gameold/d/", ""}},
         {"SetCurrentDirectory(TOP\\한\\g\\gameold) FAILED 2\n", "-------- VersionMove begin ---------\n",
          "from: TOP\\한\\g\nto: TOP\\한\\g\\gameold",
          "MoveFile(TOP\\한\\g\\a.txt, TOP\\한\\g\\gameold\\a.txt) SUCCEED !!!\n",
          "MoveFile(TOP\\한\\g\\d\\b.txt, TOP\\한\\g\\gameold\\d\\b.txt) SUCCEED !!!\n",
          "from: TOP\\한\\g\nto: TOP\\한\\g\\gameold",
          "CopyFile(TOP\\한\\g\\ver.bin, TOP\\한\\g\\gameold\\ver.bin) SUCCEED !!!\n",
          "-------- VersionMove end 1---------\n", "-------- VersionMove begin ---------\n", "from: gameold\nto: .",
          "MoveFile(gameold\\a.txt, .\\a.txt) SUCCEED !!!\n", "MoveFile(gameold\\d\\b.txt, .\\d\\b.txt) SUCCEED !!!\n",
          "from: gameold\nto: .", "CopyFile(gameold\\ver.bin, .\\ver.bin) SUCCEED !!!\n",
          "-------- VersionMove end 1---------\n"},
         "{X}/g/quisel.log", false},
        // One list for players of every code page: UTF-8 behind its byte-order mark.
        {"a UTF-8 list with its byte-order mark moves exactly the Hangul and Japanese files it names", kAll,
         {{"s/{X}.txt", "h"}, {"s/日本/語.txt", "j"}, {"s/日本/語x.txt", "o"}, {"s/ver.bin", "v"},
          {"s/list.txt", "\xEF\xBB\xBF{X}.txt\r\n日本\\語.txt\r\nver.bin\r\n"}},
         {"-C", "TOP", "move", "TOP\\s", "TOP\\t", "TOP\\s\\list.txt", "0"},
         "1\n",
         {{"s/", ""}, {"s/日本/", ""}, {"s/日本/語x.txt", "o"},
          {"s/list.txt", "\xEF\xBB\xBF{X}.txt\r\n日本\\語.txt\r\nver.bin\r\n"}, {"t/", ""}, {"t/{X}.txt", "h"},
          {"t/日本/", ""}, {"t/日本/語.txt", "j"}, {"t/ver.bin", "v"}},
         {"-------- VersionMove begin ---------\n", "from: TOP\\s\nto: TOP\\t",
          "MoveFile(TOP\\s\\한.txt, TOP\\t\\한.txt) SUCCEED !!!\n",
          "MoveFile(TOP\\s\\日本\\語.txt, TOP\\t\\日本\\語.txt) SUCCEED !!!\n", "from: TOP\\s\nto: TOP\\t",
          "CopyFile(TOP\\s\\ver.bin, TOP\\t\\ver.bin) SUCCEED !!!\n", "-------- VersionMove end 1---------\n"},
         "quisel.log", false},
        {"quisel-run --wide moves and clears roots named in Hangul", kAll,
         {{"{X}s/a.txt", "a"}, {"{X}s/ver.bin", "v"}, {"{X}s/list.txt", "a.txt\r\nver.bin\r\n"}, {"{X}c/f.txt", "f"},
          {"{X}c/{X}/g.txt", "g"}},
         {"--wide", "-C", "TOP", "move", "TOP\\{X}s", "TOP\\{X}t", "TOP\\{X}s\\list.txt", "0", "clear", "{X}c", "1"},
         "1\n1\n",
         {{"{X}s/", ""}, {"{X}s/list.txt", "a.txt\r\nver.bin\r\n"}, {"{X}t/", ""}, {"{X}t/a.txt", "a"},
          {"{X}t/ver.bin", "v"}},
         {"-------- VersionMove begin ---------\n", "from: TOP\\한s\nto: TOP\\한t",
          "MoveFile(TOP\\한s\\a.txt, TOP\\한t\\a.txt) SUCCEED !!!\n", "from: TOP\\한s\nto: TOP\\한t",
          "CopyFile(TOP\\한s\\ver.bin, TOP\\한t\\ver.bin) SUCCEED !!!\n", "-------- VersionMove end 1---------\n"},
         "quisel.log", false},
    };
    return cases;
}

const char kUtf8Mark[] = "\xEF\xBB\xBF";

// A masked log with its records in byte order, for a walk that lists entries in the file
// system's order.
std::string SortedRecords(const std::string& log) {
    std::vector<std::string> records;
    for (size_t at = 0; at < log.size();) {
        size_t next = log.find("[..] ", at + 1);
        if (next == std::string::npos) next = log.size();
        records.push_back(log.substr(at, next - at));
        at = next;
    }
    std::sort(records.begin(), records.end());
    std::string sorted;
    for (const std::string& record : records) sorted += record;
    return sorted;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

class CodePageE2E : public ::testing::TestWithParam<Param> {
protected:
    void SetUp() override { QUISEL_SKIP_UNLESS_AVAILABLE(build()); }

    Build build() const { return GetParam().build; }
    const CodePage& page() const { return GetParam().page; }
    Environment Locale() const { return {{"LANG", page().locale}, {"LC_ALL", page().locale}}; }

    // The tokens, spelled in the code page's characters or in ASCII stand-ins that keep
    // the names distinct and sorted as the characters sort (after ASCII letters).
    std::string Spell(const std::string& pattern, bool ascii) const {
        std::string text = ReplaceAll(pattern, "{5}", ascii ? "z5" : page().five);
        text = ReplaceAll(text, "{6}", ascii ? "z6" : page().six);
        text = ReplaceAll(text, "{A}", ascii ? "za" : page().upper);
        text = ReplaceAll(text, "{a}", ascii ? "zb" : page().lower);
        return ReplaceAll(text, "{X}", kOutside);
    }
    // UTF-8 text of the code page's run with its characters turned into their stand-ins,
    // and one that no code page spells into its token.
    std::string Neutral(std::string text) const {
        for (const char* token : {"{5}", "{6}", "{A}", "{a}"}) text = ReplaceAll(text, Spell(token, false), Spell(token, true));
        return ReplaceAll(text, kOutside, "{X}");
    }
    // Bytes in the code page (a list copy, the log), read back so.
    std::string AsAscii(const std::string& bytes) const { return Neutral(ConvertText(bytes, page().iconvName, "UTF-8")); }

    // UTF-8 text as the log shows it in the code page, read back: "?" for each character
    // the code page cannot spell.
    std::string Shown(const std::string& text) const {
        return ConvertText(InCodePageLog(text, page().iconvName), page().iconvName, "UTF-8");
    }

    // Runs a case in a fresh scratch folder; the tree afterwards, with its names and
    // contents as given (ascii) or read back as stand-ins, TOP for the scratch folder in
    // the log, and the log masked.
    Tree Run(const Case& test, bool ascii, RunResult* result) {
        TempDir scratch("quisel-cp");
        Tree tree;
        for (const auto& [name, bytes] : test.tree) {
            // A list behind the UTF-8 byte-order mark stays UTF-8.
            const bool utf8 = ascii || bytes.rfind(kUtf8Mark, 0) == 0;
            tree[Spell(name, ascii)] = utf8 ? Spell(bytes, ascii) : ConvertText(Spell(bytes, false), "UTF-8", page().iconvName);
        }
        MakeTree(scratch.path(), tree);
        const std::string top = LibraryPath(build(), scratch.path());
        std::vector<std::string> args;
        for (const std::string& arg : test.args) args.push_back(ReplaceAll(Spell(arg, ascii), "TOP", top));
        *result = RunHost(build(), args, scratch.path(), std::chrono::seconds(180), Locale());

        Tree after;
        for (const auto& [name, bytes] : ListTree(scratch.path())) {
            std::string text = bytes;
            if (name.size() >= 10 && name.compare(name.size() - 10, 10, "quisel.log") == 0) {
                std::string problem;
                EXPECT_TRUE(MaskLog(ReplaceAll(bytes, top, "TOP"), &text, &problem)) << problem;
            }
            const bool utf8 = ascii || text.rfind(kUtf8Mark, 0) == 0;
            after[ascii ? name : Neutral(name)] = utf8 ? Neutral(text) : AsAscii(text);
        }
        return after;
    }

    // The process must really run in the code page: a locale Wine does not know gives
    // another one, and every case would pass for the wrong reason.
    void ExpectCodePage() const {
        const RunResult acp =
            RunProgram({SourceDir() + "/scripts/wine-run", BuildDir(build()) + "/quisel-acp.exe"}, "/",
                       std::chrono::seconds(120),
                       Environment{{"WINEPREFIX", BuildDir(build()) + "/wineprefix"}, Locale()[0], Locale()[1]});
        ASSERT_EQ(acp.out, std::string(page().acp) + "\r\n")
            << "Wine does not run " << page().locale << " in code page " << page().acp
            << " (is the locale generated?) " << acp.Describe();
    }

};

TEST_P(CodePageE2E, PathsAreReadByCharactersOfTheCodePage) {
    ExpectCodePage();
    for (const Case& test : Cases()) {
        if (std::strstr(test.pages, page().acp) == nullptr) continue;
        SCOPED_TRACE(test.name);
        RunResult result;
        const Tree after = Run(test, false, &result);
        EXPECT_EQ(result.out, test.out) << result.Describe();
        Tree expected = test.after;
        if (expected.empty()) {
            RunResult reference;
            expected = Run(test, true, &reference);
            ASSERT_EQ(reference.out, test.out) << reference.Describe();
        } else {
            std::vector<std::string> shown;
            for (const std::string& message : test.log) shown.push_back(Shown(message));
            expected[test.logAt] = MaskedLog(shown);
            if (test.anyOrder && after.count(test.logAt) != 0) {
                expected[test.logAt] = SortedRecords(expected[test.logAt]);
                Tree sorted = after;
                sorted[test.logAt] = SortedRecords(sorted[test.logAt]);
                EXPECT_TRUE(sorted == expected) << "in " << page().name << ":\n" << DescribeTree(after)
                                                << "expected, records in any order:\n" << DescribeTree(expected);
                continue;
            }
        }
        EXPECT_TRUE(after == expected) << "in " << page().name << ":\n" << DescribeTree(after) << "expected:\n"
                                       << DescribeTree(expected);
    }
}

std::vector<Param> Params() {
    std::vector<Param> params;
    for (Build build : TestedWindowsBuilds()) {
        for (const CodePage& page : kCodePages) params.push_back({build, page});
    }
    return params;
}

INSTANTIATE_TEST_SUITE_P(Builds, CodePageE2E, ::testing::ValuesIn(Params()),
                         [](const ::testing::TestParamInfo<Param>& info) {
                             return std::string(BuildName(info.param.build)) + info.param.page.name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CodePageE2E);

}  // namespace
}  // namespace quisel::test
