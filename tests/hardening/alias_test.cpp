// Roots that name the same directory under spellings the argument check cannot see
// (".." and "." components, doubled separators): moving a file onto itself must never
// delete it to make room, and copying the marker onto itself must not be followed by
// deleting the only copy. A root that is a link below the game directory is never
// passed through at all.
#include <unistd.h>

#include "game_scenario.h"
#include "invariants.h"
#include "test_support.h"

namespace quisel::hardening {
namespace {

namespace inv = quisel::inv;
namespace sc = quisel::scenario;

class Alias : public ::testing::Test {
protected:
    void SetUp() override { scope_ = inv::MakeTempDir(inv::ScratchParent(), "quisel-alias"); }
    void TearDown() override {
        sc::CloseLog();
        inv::RemoveAll(scope_);
    }
    std::string scope_;
};

TEST_F(Alias, AMoveOntoItselfLosesNothing) {
    const std::string game = scope_ + "/game";
    const std::string dst = game + "/dst";
    struct Case {
        const char* what;
        std::string from, to;
        int force;
        const char* failure;  // the record that ends the call
    };
    const Case cases[] = {
        {"list pass, '..' in the destination", dst, game + "/src/../dst", 0, "CopyFile("},
        {"list pass, '.' in the source", game + "/./dst", dst, 0, "CopyFile("},
        {"list pass, a doubled separator", dst, game + "//dst", 0, "CopyFile("},
        {"list pass, a link to the source", dst, game + "/link", 0, "x.txt) FAILED 4395"},
        {"forced move, '..' in the source", game + "/src/../dst", dst, 1, "CopyFile("},
        {"forced move, a link to the destination", game + "/link", dst, 1, "SetCurrentDirectory("},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        inv::RemoveAll(game);
        sc::Build(game, {"src/", "dst/x.txt", "dst/y/z.txt", "dst/ver.bin"});
        ASSERT_EQ(symlink("dst", (game + "/link").c_str()), 0);
        // With force the list is missing, so the forced move runs.
        if (c.force == 0) inv::WriteBytes(game + "/list.txt", "x.txt\ny\\z.txt\nver.bin\n");

        const inv::Snapshot before = inv::Take(scope_);
        const sc::Outcome outcome =
            sc::InGame(game, [&] { return VersionMove(c.from.c_str(), c.to.c_str(), "list.txt", c.force); });
        const inv::Snapshot after = inv::Take(scope_);
        const std::string log = sc::LogsIn(after);

        EXPECT_EQ(outcome.cwdAfter, game);
        inv::Allowed allowed;
        allowed.moves.push_back({dst, dst});
        EXPECT_TRUE(inv::CheckConservation(before, after, allowed).empty())
            << inv::Describe(inv::CheckConservation(before, after, allowed)) << "\n" << test::Printable(log);
        EXPECT_EQ(inv::ReadBytes(dst + "/x.txt"), sc::BytesOf("dst/x.txt"));
        EXPECT_EQ(inv::ReadBytes(dst + "/y/z.txt"), sc::BytesOf("dst/y/z.txt"));
        // The marker cannot be copied onto itself, and a link is not passed: the call
        // fails, and says so.
        EXPECT_EQ(inv::ReadBytes(dst + "/ver.bin"), sc::BytesOf("dst/ver.bin"));
        EXPECT_EQ(outcome.result, 0);
        EXPECT_NE(log.find(c.failure), std::string::npos) << test::Printable(log);
        EXPECT_EQ(log.find("DeleteFile("), std::string::npos) << test::Printable(log);
    }
}

TEST_F(Alias, TheLayerTellsOneEntryFromTwoLinks) {
    const std::string a = scope_ + "/d/a", b = scope_ + "/e/a";
    sc::Build(scope_, {"d/a", "e/"});
    ASSERT_EQ(link(a.c_str(), b.c_str()), 0);
    // The same entry, spelled another way, with a second link elsewhere: a no-op move.
    EXPECT_TRUE(MoveFileA(a.c_str(), (scope_ + "/e/../d/a").c_str()));
    EXPECT_EQ(inv::ReadBytes(a), sc::BytesOf("d/a"));
    // Two links of one file are two entries: the destination exists.
    EXPECT_FALSE(MoveFileA(a.c_str(), b.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    // A copy onto the file itself, under either name, fails as on Windows and changes nothing.
    EXPECT_FALSE(CopyFileA(a.c_str(), (scope_ + "/d/./a").c_str(), FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(CopyFileA(a.c_str(), b.c_str(), FALSE));
    EXPECT_EQ(inv::ReadBytes(a), sc::BytesOf("d/a"));
    EXPECT_EQ(inv::ReadBytes(b), sc::BytesOf("d/a"));
}

}  // namespace
}  // namespace quisel::hardening
