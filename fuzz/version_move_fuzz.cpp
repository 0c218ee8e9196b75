// VersionMove over a small game directory: fuzzed list bytes, roots picked from a set
// that covers the awkward ones (empty, relative, nested, aliased, too long, a file,
// outside the game), and force. Every run checks conservation, truth against the log
// and the current directory.
//
// Input: byte 0 picks fromDir, byte 1 toDir, byte 2 force (bit 0) and the list path
// (bits 1-3), byte 3 variations of the tree and, with bit 3, the call through the wide
// export VersionMoveW; the rest is the list (one that begins with the UTF-8 byte-order
// mark names its files in UTF-8).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "fault.h"
#include "game_scenario.h"
#include "invariants.h"
#include "wtf8.h"

namespace {

namespace inv = quisel::inv;
namespace sc = quisel::scenario;

std::string g_base;

void RemoveScratch() { inv::RemoveAll(g_base); }

// A directory path of exactly `length` characters below game (components of 50).
std::string DeepDir(const std::string& game, size_t length) {
    std::string path = game;
    while (path.size() < length) {
        size_t room = length - path.size() - 1;
        if (room > 50) room = 50;
        if (room == 0) room = 1;  // one character short: one more component of one
        path += "/" + std::string(room, 'd');
    }
    return path;
}

std::string Root(uint8_t choice, const std::string& run, const std::string& game) {
    switch (choice % 16) {
    case 0: return game;
    case 1: return game + "/src";
    case 2: return game + "/dst";
    case 3: {  // Windows spelling with a trailing separator
        std::string path = game + "\\src\\";
        return path;
    }
    case 4: return "src";
    case 5: return "";
    case 6: return DeepDir(game, 246);
    case 7: return game + "/new";
    case 8: return game + "/src/inner";
    case 9: return run + "/other";
    case 10: return game + "/SRC";
    case 11: return game + "/a.txt";
    case 12: return game + "/" + std::string(300, 'x');
    case 13: return game + "/src/../dst";
    case 14: return game + "/./src";
    default: return "dst";
    }
}

// The UTF-16 of a root as a launcher holding it in UTF-16 would pass it.
std::u16string Utf16(const std::string& text) {
    std::u16string out(text.size() + 1, u'\0');
    size_t count = 0;
    int tooLong = 0;
    if (!DecodeWtf8(text.c_str(), reinterpret_cast<uint16_t*>(out.data()), out.size(), &count, &tooLong)) abort();
    out.resize(count);
    return out;
}

[[noreturn]] void Fail(const std::string& what, const std::vector<std::string>& problems, const std::string& log) {
    fprintf(stderr, "version move: %s%s\n--- log ---\n%s\n", what.c_str(), inv::Describe(problems).c_str(),
            log.c_str());
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_base = inv::MakeTempDir(inv::ScratchParent(), "quisel-fuzz-move");
    atexit(RemoveScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const std::string run = g_base + "/run";
    const std::string game = run + "/game";
    inv::RemoveAll(run);

    sc::Build(game, {"ver.bin", "a.txt", "newlist.txt", "backuplist.txt", "quisel.dll", "b/c.dat", "b/d/e.bin",
                     "b/ver.bin", "src/ver.bin", "src/x.txt", "src/sp ace", "src/y/z.txt", "src/y/w/v.txt",
                     "src/newlist.txt", "src/inner/q.txt", "src/empty/", "dst/x.txt", "dst/y/", "src/\x95/t.txt", "src/한/t.txt"});
    sc::Build(run + "/other", {"o.txt"});
    const std::string deep = DeepDir(game, 246);
    sc::Build(deep, {"f.txt", std::string(8, 'g') + ".txt"});
    const uint8_t variant = data[3];
    if (variant & 1) chmod((game + "/dst/x.txt").c_str(), 0444);
    if (variant & 2) {
        sc::Build(game, {"src/rodir/r.txt"});
        chmod((game + "/src/rodir").c_str(), 0555);
    }
    if (variant & 4) sc::Build(game, {"dst/ver.bin"});

    const std::string from = Root(data[0], run, game);
    const std::string to = Root(data[1], run, game);
    const int force = data[2] & 1;
    const std::string listBytes(reinterpret_cast<const char*>(data) + 4, size - 4);
    std::string list;
    switch ((data[2] >> 1) & 7) {
    case 0: list = game + "/list.txt"; break;
    case 1: list = "list.txt"; break;
    case 2: list = "nolist.txt"; break;
    case 3: list = ""; break;
    case 4: list = game + "/src/list.txt"; break;
    default: list = game + "/list.txt"; break;
    }
    inv::WriteBytes(game + "/list.txt", listBytes);
    inv::WriteBytes(game + "/src/list.txt", listBytes);

    const inv::Snapshot before = inv::Take(run);
    const sc::Outcome outcome = sc::InGame(game, [&] {
        if (!(variant & 8)) return VersionMove(from.c_str(), to.c_str(), list.c_str(), force);
        return VersionMoveW(Utf16(from).c_str(), Utf16(to).c_str(), Utf16(list).c_str(), force);
    });
    const inv::Snapshot after = inv::Take(run);
    const std::string log = sc::LogsIn(after);

    if (outcome.result != 0 && outcome.result != 1) Fail("result " + std::to_string(outcome.result), {}, log);
    if (outcome.cwdAfter != game) Fail("current directory left at " + outcome.cwdAfter, {}, log);

    const std::string fromAbs = inv::Normalize(from, game);
    const std::string toAbs = inv::Normalize(to, game);
    inv::Allowed allowed;
    allowed.moves.push_back({fromAbs, toAbs});
    // The forced move uses the roots as given while the source is current, so a
    // relative root resolves against the source itself.
    if (!from.empty() && from[0] != '/') allowed.moves.push_back({inv::Normalize(from, fromAbs), inv::Normalize(to, fromAbs)});
    if (outcome.result == 0) allowed.copies.push_back({fromAbs + "/ver.bin", toAbs + "/ver.bin"});
    allowed.failedReplace = outcome.result == 0;
    const std::vector<std::string> lost = inv::CheckConservation(before, after, allowed);
    if (!lost.empty()) Fail("conservation", lost, log);

    if (outcome.result == 1) {
        const std::vector<std::string> undone = sc::MoveDone(before, after, fromAbs, toAbs, listBytes, log);
        if (!undone.empty()) Fail("truth", undone, log);
    } else if (!inv::HasFailureRecord(log)) {
        Fail("result 0 without a record of the failure", {}, log);
    }
    return 0;
}
