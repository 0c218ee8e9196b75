// Lengths at and around every limit, for all three exports: game directories of
// 235-237 (the backup's paths), 247-249 (the log path), 258-260 and more (the current
// directory itself) characters, roots of 250-252 (the marker path) and more, entries
// at the length limit and one past it, a tree deeper than the path limit, and
// messages past the 1024-character record. Each result is the one the library
// chooses; none may write past a buffer (the sanitizer build runs these too), touch
// what it refused, or leave the current directory elsewhere.
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "game_scenario.h"
#include "invariants.h"
#include "test_support.h"

namespace quisel::hardening {
namespace {

namespace inv = quisel::inv;
namespace sc = quisel::scenario;

// A directory path of exactly `length` characters below base, made of components of
// at most 100 characters.
std::string PathOfLength(const std::string& base, size_t length, char fill = 'd') {
    std::string path = base;
    while (path.size() < length) {
        size_t room = length - path.size() - 1;
        if (room > 100) room = room > 200 ? 100 : room / 2;
        if (room == 0) room = 1;
        path += "/" + std::string(room, fill);
    }
    EXPECT_EQ(path.size(), length);
    return path;
}

class LengthEdges : public ::testing::Test {
protected:
    void SetUp() override { scope_ = inv::MakeTempDir(inv::ScratchParent(), "quisel-len"); }
    void TearDown() override {
        sc::CloseLog();
        inv::RemoveAll(scope_);
    }

    // Runs call in game; checks the current directory, conservation and, for a refused
    // call, that nothing at all changed and nothing was logged.
    int Check(const std::string& game, const std::function<int()>& call, const inv::Allowed& allowed, bool refused,
              std::string* logOut = nullptr) {
        const inv::Snapshot before = inv::Take(scope_);
        const sc::Outcome outcome = sc::InGame(game, call);
        const inv::Snapshot after = inv::Take(scope_);
        const std::string log = sc::LogsIn(after);
        if (logOut != nullptr) *logOut = log;
        EXPECT_EQ(outcome.cwdAfter, game);
        const std::vector<std::string> problems = inv::CheckConservation(before, after, allowed);
        EXPECT_TRUE(problems.empty()) << inv::Describe(problems) << "\n" << test::Printable(log);
        if (refused) {
            EXPECT_EQ(outcome.result, 0);
            EXPECT_TRUE(before == after) << "a refused call changed the tree\n" << test::Printable(log);
        } else if (outcome.result == 0) {
            EXPECT_TRUE(inv::HasFailureRecord(log)) << test::Printable(log);
        }
        std::string masked, problem;
        if (!log.empty()) { EXPECT_TRUE(test::MaskLog(log, &masked, &problem)) << problem; }
        return outcome.result;
    }

    std::string scope_;
};

TEST_F(LengthEdges, GameDirectoriesAroundEveryLimit) {
    // The backup's longest path adds 23 characters, the log path 11, and the current
    // directory itself must fit 260 with its terminator.
    for (size_t length : {235u, 236u, 237u, 247u, 248u, 249u, 258u, 259u, 260u, 300u}) {
        SCOPED_TRACE("game directory of " + std::to_string(length) + " characters");
        const std::string base = scope_ + "/L";
        const std::string game = PathOfLength(base, length);
        sc::Build(game, {"a.txt", "ver.bin", "junk/j.txt", "junk/sub/k.txt", "src/s.txt", "src/ver.bin", "dst/"});
        inv::WriteBytes(game + "/newlist.txt", "a.txt\n");
        inv::WriteBytes(game + "/backuplist.txt", "a.txt\nver.bin\n");
        inv::WriteBytes(game + "/list.txt", "s.txt\nver.bin\n");

        {
            SCOPED_TRACE("VersionBackup");
            const std::string snapshot = game + "/gamenew";
            inv::Allowed a;
            a.moves.push_back({game, snapshot});
            a.copies.push_back({game + "/newlist.txt", snapshot + "/backuplist.txt"});
            a.copies.push_back({game + "/backuplist.txt", snapshot + "/newlist.txt"});
            const bool refused = length > 236;
            const int result = Check(game, [] { return VersionBackup(1); }, a, refused);
            if (!refused) { EXPECT_EQ(result, 1); }
        }
        {
            SCOPED_TRACE("VersionMove with relative roots");
            inv::Allowed a;
            a.moves.push_back({game + "/src", game + "/dst"});
            const bool refused = length > 248;
            const int result = Check(game, [] { return VersionMove("src", "dst", "list.txt", 1); }, a, refused);
            if (!refused) { EXPECT_EQ(result, 1); }
        }
        {
            SCOPED_TRACE("ClearDir");
            inv::Allowed a;
            a.cleared.push_back(game + "/junk");
            const bool refused = length > 248;
            const int result = Check(game, [] { return ClearDir("junk", 1); }, a, refused);
            if (!refused) {
                EXPECT_EQ(result, 1);
                EXPECT_FALSE(inv::PathExists(game + "/junk"));
            }
        }
        inv::RemoveAll(base);
    }
}

TEST_F(LengthEdges, RootsAroundTheMarkerPathLimit) {
    const std::string game = scope_ + "/g";
    // A root with its "\ver.bin" must fit 260: 251 characters and no more. A root of
    // 1000 makes the from/to record longer than a record can be.
    for (size_t length : {250u, 251u, 252u, 259u, 260u, 300u, 1000u}) {
        for (int force : {0, 1}) {
            SCOPED_TRACE("roots of " + std::to_string(length) + " characters" + (force ? ", force" : ""));
            inv::RemoveAll(game);
            const std::string from = PathOfLength(game + "/f", length, 'f');
            const std::string to = PathOfLength(game + "/t", length, 't');
            sc::Build(from, {"a.txt", "ver.bin"});
            // Only a backslash separates the levels the move creates: the destination
            // root's parents are there, the root itself is created.
            inv::MakeDirs(to.substr(0, to.rfind('/')));
            inv::WriteBytes(game + "/list.txt", "a.txt\nver.bin\n");
            inv::Allowed a;
            a.moves.push_back({from, to});
            std::string log;
            const int result = Check(
                game, [&] { return VersionMove(from.c_str(), to.c_str(), "list.txt", force); }, a, false, &log);
            if (length > 251) {
                EXPECT_EQ(result, 0);
                EXPECT_NE(log.find("paremeter error"), std::string::npos) << test::Printable(log);
            } else {
                EXPECT_EQ(result, 1) << test::Printable(log);
                EXPECT_EQ(inv::ReadBytes(to + "/ver.bin"), sc::BytesOf("ver.bin"));
            }
        }
    }
}

TEST_F(LengthEdges, EntriesAtTheLimitAndOnePast) {
    const std::string game = scope_ + "/g";
    // A source root of 240 characters with its backslash 241: an entry may have 18
    // characters (241 + 18 fills 259); its destination must fit as well.
    struct Case {
        const char* what;
        size_t fromLength, toLength;
        std::string entry;
        bool fits;
    };
    const Case cases[] = {
        {"18 characters", 240, 240, std::string(18, 'e'), true},
        {"19 characters", 240, 240, std::string(19, 'e'), false},
        {"18 with a .\\ prefix counted", 240, 240, ".\\" + std::string(16, 'e'), true},
        {"19 with a .\\ prefix counted", 240, 240, ".\\" + std::string(17, 'e'), false},
        {"18, in a subdirectory", 240, 240, "sub\\" + std::string(14, 'e'), true},
        {"fits the source, not a longer destination", 240, 241, std::string(18, 'e'), false},
        {"fits a shorter destination", 240, 239, std::string(18, 'e'), true},
        {"a line of 269 characters", 240, 240, std::string(269, 'e'), false},
        {"a line longer than a read", 240, 240, std::string(600, 'e'), false},
    };
    for (const Case& c : cases) {
        for (int force : {0, 1}) {
            SCOPED_TRACE(std::string(c.what) + (force ? ", force" : ""));
            inv::RemoveAll(game);
            const std::string from = PathOfLength(game + "/f", c.fromLength, 'f');
            const std::string to = PathOfLength(game + "/t", c.toLength, 't');
            std::string file = c.entry.compare(0, 2, ".\\") == 0 ? c.entry.substr(2) : c.entry;
            for (char& ch : file) ch = ch == '\\' ? '/' : ch;
            if (file.size() <= 200) sc::Build(from, {file});
            inv::MakeDirs(to.substr(0, to.rfind('/')));
            sc::Build(from, {"ver.bin"});
            inv::WriteBytes(game + "/list.txt", c.entry + "\nver.bin\n");
            inv::Allowed a;
            a.moves.push_back({from, to});
            std::string log;
            const int result = Check(
                game, [&] { return VersionMove(from.c_str(), to.c_str(), "list.txt", force); }, a, false, &log);
            if (c.fits) {
                EXPECT_EQ(result, 1) << test::Printable(log);
                EXPECT_EQ(inv::ReadBytes(to + "/" + file), sc::BytesOf(file));
            } else {
                EXPECT_NE(log.find("filename length too big\r\n"), std::string::npos) << test::Printable(log);
                // The forced move carries what fits, and refuses what does not.
                if (force == 0) { EXPECT_EQ(result, 0); }
                if (file.size() <= 200 && result == 0 && force == 0) {
                    EXPECT_EQ(inv::ReadBytes(from + "/" + file), sc::BytesOf(file));
                }
            }
        }
    }
}

TEST_F(LengthEdges, ATreeDeeperThanThePathLimit) {
    // Cleared and force-moved from a game directory of 235 characters: levels whose
    // own directory no longer fits 260 are not entered, and say so.
    const std::string game = PathOfLength(scope_ + "/g", 235);
    std::string deep = "junk";
    std::vector<std::string> files;
    for (int level = 0; level < 8; ++level) {
        files.push_back(deep + "/f" + std::to_string(level) + ".txt");
        deep += "/level" + std::to_string(level);
    }
    files.push_back(deep + "/bottom.txt");
    {
        SCOPED_TRACE("ClearDir");
        sc::Build(game, files);
        inv::Allowed a;
        a.cleared.push_back(game + "/junk");
        std::string log;
        EXPECT_EQ(Check(game, [] { return ClearDir("junk", 1); }, a, false, &log), 0);
        EXPECT_NE(log.find("GetCurrentDirectory(260, ) FAILED 206\r\n"), std::string::npos) << test::Printable(log);
        EXPECT_FALSE(inv::PathExists(game + "/junk/f0.txt"));
        EXPECT_TRUE(inv::PathExists(game + "/" + deep + "/bottom.txt"));
        inv::RemoveAll(game + "/junk");
    }
    {
        SCOPED_TRACE("forced move");
        sc::Build(game, files);
        inv::Allowed a;
        a.moves.push_back({game + "/junk", game + "/out"});
        std::string log;
        EXPECT_EQ(Check(game, [&] { return VersionMove((game + "/junk").c_str(), (game + "/out").c_str(), "none", 1); },
                        a, false, &log),
                  0);
        EXPECT_TRUE(inv::HasFailureRecord(log)) << test::Printable(log);
    }
}

TEST_F(LengthEdges, MessagesLongerThanARecord) {
    const std::string game = scope_ + "/g";
    sc::Build(game, {"src/a.txt"});
    // A list path of about 1000 characters and more: its fopen record is cut to what a
    // record holds (1003 characters after the time stamp), never written past it.
    for (size_t length : {980u, 990u, 1000u, 1010u, 1100u, 3000u}) {
        SCOPED_TRACE("list path of " + std::to_string(length) + " characters");
        const std::string list = PathOfLength(game + "/missing", length, 'l');
        std::string log;
        inv::Allowed a;
        EXPECT_EQ(Check(game, [&] { return VersionMove("src", "dst", list.c_str(), 0); }, a, false, &log), 0);
        std::string masked, problem;
        ASSERT_TRUE(test::MaskLog(log, &masked, &problem)) << problem;
        const size_t at = masked.find("[..] fopen(");
        ASSERT_NE(at, std::string::npos) << test::Printable(log);
        const size_t end = masked.find("[..] ", at + 5);
        std::string record = masked.substr(at + 5, end - at - 5);
        const size_t crlf = record.find("\r\n");
        if (crlf != std::string::npos) record.erase(crlf, 1);
        const std::string full = "fopen(" + list + ", \"r\") FAILED ";
        EXPECT_LE(record.size(), 1003u);
        EXPECT_EQ(record.compare(0, std::min(record.size(), full.size()), full, 0, std::min(record.size(), full.size())), 0);
        if (full.size() + 3 > 1003) { EXPECT_EQ(record.size(), 1003u); }
        inv::RemoveAll(game + "/quisel.log");
    }
}

}  // namespace
}  // namespace quisel::hardening
