// The four calls the hardening tests drive over and over: a backup, a list-driven
// move, a forced move and a clearing, each on a small game directory of its own, with
// what each call may do to the files (for the conservation check) and what a result
// of 1 promises (for the truth check).
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "game_scenario.h"
#include "invariants.h"

namespace quisel::hardening {

namespace inv = quisel::inv;
namespace sc = quisel::scenario;

struct Scenario {
    std::string name;
    std::string game;                       // the current directory of the call
    std::function<void()> build;            // lays out a fresh game directory
    std::function<int()> call;              // the export, with game current
    std::function<inv::Allowed(int result)> allowed;
    std::function<std::vector<std::string>(const inv::Snapshot&, const inv::Snapshot&, const std::string& log)> done;
};

inline const char* kMoveList = "x.txt\r\nver.bin\r\ny\\z.txt\r\n.\\y\\w\\v.txt\r\n";
inline const char* kBackupList = "a.txt\r\nb\\c.dat\r\nver.bin\r\nb\\d\\e.bin\r\n";

// scope: a directory of the test's own; the game directory is made inside it.
inline std::vector<Scenario> Scenarios(const std::string& scope) {
    const std::string game = scope + "/game";
    std::vector<Scenario> all;

    {
        Scenario s;
        s.name = "backup";
        s.game = game;
        const std::string snapshot = game + "/gameold";
        s.build = [=] {
            sc::Build(game, {"a.txt", "b/c.dat", "b/d/e.bin", "ver.bin", "keep.txt", "gameold/old.txt",
                             "gameold/sub/old2.txt", "gamenew/other.txt"});
            inv::WriteBytes(game + "/newlist.txt", "a.txt\nver.bin\n");
            inv::WriteBytes(game + "/backuplist.txt", kBackupList);
            chmod((game + "/gameold/old.txt").c_str(), 0444);
        };
        s.call = [] { return VersionBackup(0); };
        s.allowed = [=](int result) {
            inv::Allowed a;
            a.moves.push_back({game, snapshot});
            a.cleared.push_back(snapshot);
            a.copies.push_back({game + "/newlist.txt", snapshot + "/backuplist.txt"});
            a.copies.push_back({game + "/backuplist.txt", snapshot + "/newlist.txt"});
            if (result == 0) a.copies.push_back({game + "/ver.bin", snapshot + "/ver.bin"});
            a.failedReplace = result == 0;
            return a;
        };
        s.done = [=](const inv::Snapshot& before, const inv::Snapshot& after, const std::string& log) {
            return sc::BackupDone(before, after, game, snapshot, log);
        };
        all.push_back(s);
    }

    auto moveScenario = [&](const std::string& name, bool withList) {
        Scenario s;
        s.name = name;
        s.game = game;
        const std::string from = game + "/src", to = game + "/dst";
        s.build = [=] {
            sc::Build(game, {"src/x.txt", "src/y/z.txt", "src/y/w/v.txt", "src/ver.bin", "src/newlist.txt",
                             "src/keep/k.txt", "dst/x.txt", "outside.txt"});
            chmod((to + "/x.txt").c_str(), 0444);
            if (withList) inv::WriteBytes(game + "/list.txt", kMoveList);
        };
        s.call = [=] { return VersionMove(from.c_str(), to.c_str(), "list.txt", withList ? 0 : 1); };
        s.allowed = [=](int result) {
            inv::Allowed a;
            a.moves.push_back({from, to});
            if (result == 0) a.copies.push_back({from + "/ver.bin", to + "/ver.bin"});
            a.failedReplace = result == 0;
            return a;
        };
        const std::string list = withList ? kMoveList : "";
        s.done = [=](const inv::Snapshot& before, const inv::Snapshot& after, const std::string& log) {
            return sc::MoveDone(before, after, from, to, list, log);
        };
        all.push_back(s);
    };
    moveScenario("list-move", true);
    moveScenario("forced-move", false);

    {
        Scenario s;
        s.name = "clear";
        s.game = game;
        const std::string dir = game + "/junk";
        s.build = [=] {
            sc::Build(game, {"junk/a.txt", "junk/b/c.txt", "junk/b/d/e.txt", "junk/ro.txt", "junk/empty/",
                             "keep.txt", "other/o.txt"});
            chmod((dir + "/ro.txt").c_str(), 0444);
        };
        s.call = [] { return ClearDir("junk", 1); };
        s.allowed = [=](int) {
            inv::Allowed a;
            a.cleared.push_back(dir);
            return a;
        };
        s.done = [=](const inv::Snapshot&, const inv::Snapshot& after, const std::string&) {
            return sc::ClearDone(after, dir, 1);
        };
        all.push_back(s);
    }
    return all;
}

}  // namespace quisel::hardening
