// VersionBackup over a small game directory with fuzzed "newlist.txt" and
// "backuplist.txt", earlier snapshots, and game directories around the length limit.
// Every run checks conservation, truth against the log and the current directory, and
// that a backup whose list names an entry the game directory lacks, or one the move
// would refuse, returns 0 and touches nothing, not even the earlier snapshot.
//
// Input: byte 0 flags (bit 0 newVersion, bit 1 no newlist.txt, bit 2 no
// backuplist.txt, bit 3 an earlier snapshot of the same name, bit 4 one that cannot
// be cleared, bit 5 the other snapshot, bits 6-7 the game directory's length), byte 1
// the length of newlist.txt; then newlist.txt, then backuplist.txt.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "game_scenario.h"
#include "invariants.h"

namespace {

namespace inv = quisel::inv;
namespace sc = quisel::scenario;

std::string g_base;

void RemoveScratch() { inv::RemoveAll(g_base); }

std::string GameDir(const std::string& run, uint8_t choice) {
    static const size_t kLengths[] = {0, 236, 237, 230};
    const size_t length = kLengths[choice & 3];
    std::string path = run + "/game";
    while (length != 0 && path.size() < length) {
        size_t room = length - path.size() - 1;
        if (room > 40) room = 40;
        if (room == 0) room = 1;
        path += "/" + std::string(room, 'g');
    }
    return path;
}

// Whether, by the plain model of the list, every file entry is there in the game
// directory (before the call) and passes the move's rules: the length of the line
// behind the game directory, of the entry behind the snapshot, and the refusals.
bool ListedEntriesThere(const inv::Snapshot& before, const std::string& game, const std::string& backupList) {
    const size_t sourceRoot = game.size() + 1, destinationRoot = game.size() + 9;
    for (const std::string& line : quisel::model::Meaning(backupList).entries) {
        const std::string entry = quisel::model::EntryOf(line);
        if (line.size() + sourceRoot + 1 > 260 || destinationRoot + entry.size() + 1 > 260) return false;
        if (quisel::model::Refused(entry) || before.count(inv::Normalize(entry, game)) == 0) return false;
    }
    return true;
}

[[noreturn]] void Fail(const std::string& what, const std::vector<std::string>& problems, const std::string& log) {
    fprintf(stderr, "version backup: %s%s\n--- log ---\n%s\n", what.c_str(), inv::Describe(problems).c_str(),
            log.c_str());
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_base = inv::MakeTempDir(inv::ScratchParent(), "quisel-fuzz-backup");
    atexit(RemoveScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    const size_t rest = size - 2;
    const size_t newLength = data[1] <= rest ? data[1] : rest;
    const std::string newList(reinterpret_cast<const char*>(data) + 2, newLength);
    const std::string backupList(reinterpret_cast<const char*>(data) + 2 + newLength, rest - newLength);

    const std::string run = g_base + "/run";
    const std::string game = GameDir(run, static_cast<uint8_t>(flags >> 6));
    inv::RemoveAll(run);
    sc::Build(game, {"ver.bin", "a.txt", "quisel.dll", "b/c.dat", "b/d/e.bin", "b/ver.bin", "sp ace", "empty/"});
    sc::Build(run, {"outside.txt"});
    if (!(flags & 2)) inv::WriteBytes(game + "/newlist.txt", newList);
    if (!(flags & 4)) inv::WriteBytes(game + "/backuplist.txt", backupList);
    const std::string name = (flags & 1) ? "gamenew" : "gameold";
    const std::string other = (flags & 1) ? "gameold" : "gamenew";
    if (flags & 8) sc::Build(game + "/" + name, {"old.txt", "b/c.dat", "newlist.txt", "deep/er/f.txt"});
    if (flags & 16) {
        sc::Build(game + "/" + name, {"stuck/s.txt"});
        chmod((game + "/" + name + "/stuck").c_str(), 0555);  // attribute 17: not entered, not deleted
    }
    if (flags & 32) sc::Build(game + "/" + other, {"a.txt", "keep.txt"});

    const inv::Snapshot before = inv::Take(run);
    const sc::Outcome outcome = sc::InGame(game, [&] { return VersionBackup(flags & 1); });
    const inv::Snapshot after = inv::Take(run);
    const std::string log = sc::LogsIn(after);

    if (outcome.result != 0 && outcome.result != 1) Fail("result " + std::to_string(outcome.result), {}, log);
    if (outcome.cwdAfter != game) Fail("current directory left at " + outcome.cwdAfter, {}, log);

    const std::string snapshot = game + "/" + name;
    inv::Allowed allowed;
    allowed.moves.push_back({game, snapshot});
    allowed.cleared.push_back(snapshot);
    allowed.copies.push_back({game + "/newlist.txt", snapshot + "/backuplist.txt"});
    allowed.copies.push_back({game + "/backuplist.txt", snapshot + "/newlist.txt"});
    if (outcome.result == 0) allowed.copies.push_back({game + "/ver.bin", snapshot + "/ver.bin"});
    allowed.failedReplace = outcome.result == 0;
    const std::vector<std::string> lost = inv::CheckConservation(before, after, allowed);
    if (!lost.empty()) Fail("conservation", lost, log);

    // The model's "missing" is certain (nothing in the tree is a link, and ".." is
    // refused), its "there" is not: only the one direction is checked. Before the call
    // there is no log; the record goes to the game directory's.
    if (!(flags & 4) && game.size() <= 236 && !ListedEntriesThere(before, game, backupList)) {
        if (outcome.result != 0) Fail("result 1 for a list naming what the game directory lacks", {}, log);
        inv::Snapshot touched = after;
        touched.erase(game + "/quisel.log");
        if (!(touched == before)) Fail("a backup of a version not whole touched files", {}, log);
    }

    if (outcome.result == 1) {
        const std::vector<std::string> undone = sc::BackupDone(before, after, game, snapshot, log);
        if (!undone.empty()) Fail("truth", undone, log);
    } else {
        // The backup writes no record of its own: a missing list file or a game
        // directory too long for its paths fails silently, as does a snapshot that
        // cannot be created once the clearing has said why.
        const bool silent = (flags & 6) != 0 || game.size() > 236;
        if (!silent && !inv::HasFailureRecord(log)) Fail("result 0 without a record of the failure", {}, log);
        if (game.size() > 236 && !(before == after)) Fail("a refused game directory was touched", {}, log);
    }
    return 0;
}
