// A link swapped in while a call runs. Another thread exchanges a directory of the tree a
// call works on with a link to a folder outside the game directory (renameat2 with
// RENAME_EXCHANGE, over and over, both ways), while a clearing, a forced move or a list
// move runs, the swapped directory on the source side or the destination side. Whatever
// moment the exchange falls on, the call reaches nothing through the link: the folder
// outside stays whole, file for file, in every round.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "game_scenario.h"
#include "test_support.h"

namespace quisel::hardening {
namespace {

namespace sc = quisel::scenario;
using quisel::test::DescribeTree;
using quisel::test::ListTree;
using quisel::test::MakeTree;
using quisel::test::RemoveTree;
using quisel::test::TempDir;
using quisel::test::Tree;

// Exchanges two names of one directory until it goes out of scope. Running() waits for the
// first exchange, so a call started after it meets a swapper already at work however busy
// the machine is; how many exchanges then fall inside the call is the scheduler's affair.
class Swapper {
public:
    Swapper(std::string a, std::string b) : a_(std::move(a)), b_(std::move(b)), thread_([this] { Run(); }) {}
    ~Swapper() {
        stop_ = true;
        thread_.join();
    }
    // False, with the error kept, when the exchange itself is refused.
    bool Running() const {
        while (swaps_ == 0 && error_ == 0) std::this_thread::yield();
        return swaps_ != 0;
    }
    int error() const { return error_; }

private:
    void Run() {
        while (!stop_) {
            if (renameat2(AT_FDCWD, a_.c_str(), AT_FDCWD, b_.c_str(), RENAME_EXCHANGE) == 0) {
                ++swaps_;
            } else if (swaps_ == 0) {
                error_ = errno;
                return;
            }
        }
    }
    std::string a_, b_;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned long> swaps_{0};
    std::atomic<int> error_{0};
    std::thread thread_;
};

// Files of one level, named as the folder outside names its own: a call led there would
// delete, replace or add some of them.
Tree Level(const std::string& dir, int files) {
    Tree tree;
    char name[32];
    for (int i = 0; i < files; ++i) {
        snprintf(name, sizeof name, "f%02d.txt", i);
        tree[dir + name] = dir + name;
    }
    return tree;
}

Tree Joined(std::initializer_list<Tree> parts) {
    Tree all;
    for (const Tree& part : parts) all.insert(part.begin(), part.end());
    return all;
}

TEST(LinkRace, NoCallIsLedOutOfItsTreeBySwappedLinks) {
    const TempDir scope("quisel-race");
    const std::string game = scope / "game", outside = scope / "outside";
    std::string list;
    for (int i = 0; i < 30; ++i) list += "a\\f" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".txt\r\n";
    list += "a\\b\\f00.txt\r\n";
    const Tree source = Joined({Level("a/", 30), Level("a/b/", 10)});
    struct Race {
        const char* what;
        Tree tree;
        const char* swapped;  // the directory exchanged with the link, below the game directory
        std::function<int()> call;
    };
    const std::string from = game + "\\src", to = game + "\\dst";
    const std::vector<Race> races = {
        {"clearing", Joined({Level("t/a/", 30), Level("t/a/b/", 10)}), "t/a", [] { return ClearDir("t", 1); }},
        {"forced move, source", Joined({{{"src/ver.bin", "v"}}, Level("src/", 3), Level("src/a/", 30)}), "src/a",
         [&] { return VersionMove(from.c_str(), to.c_str(), "missing.txt", 1); }},
        {"forced move, destination", Joined({{{"src/ver.bin", "v"}, {"dst/a/", ""}}, Level("src/a/", 30)}), "dst/a",
         [&] { return VersionMove(from.c_str(), to.c_str(), "missing.txt", 1); }},
        {"list move, source", Joined({{{"list.txt", list}}, Level("src/a/", 30), Level("src/a/b/", 1)}), "src/a",
         [&] { return VersionMove(from.c_str(), to.c_str(), "list.txt", 0); }},
        {"list move, destination",
         Joined({{{"list.txt", list}, {"dst/a/b/", ""}}, Level("src/a/", 30), Level("src/a/b/", 1)}), "dst/a",
         [&] { return VersionMove(from.c_str(), to.c_str(), "list.txt", 0); }},
    };
    // Rounds enough for exchanges to fall inside the calls many times over on an idle machine,
    // few enough to stay fast.
    constexpr int kRounds = 20;
    for (const Race& race : races) {
        SCOPED_TRACE(race.what);
        for (int round = 0; round < kRounds; ++round) {
            RemoveTree(game);
            RemoveTree(outside);
            MakeTree(game, race.tree);
            MakeTree(outside, source);
            const Tree outsideBefore = ListTree(outside);
            const std::string swapped = game + "/" + race.swapped;
            // The link leads to the folder outside that holds the same names as the tree.
            ASSERT_EQ(symlink((outside + "/a").c_str(), (swapped + ".lnk").c_str()), 0);
            {
                Swapper swapper(swapped, swapped + ".lnk");
                ASSERT_TRUE(swapper.Running()) << "renameat2: " << strerror(swapper.error());
                const sc::Outcome outcome = sc::InGame(game, race.call);
                EXPECT_EQ(outcome.cwdAfter, game);
            }
            ASSERT_EQ(DescribeTree(ListTree(outside)), DescribeTree(outsideBefore)) << "round " << round;
        }
    }
}

}  // namespace
}  // namespace quisel::hardening
