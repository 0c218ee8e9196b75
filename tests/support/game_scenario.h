// Calling the exports directly on a scratch game directory, and judging the outcome:
// the current directory kept, and "truth", a result of 1 only when the whole operation
// was done and a result of 0 with a record that names the failure. Shared by the fuzz
// targets and the hardening tests, which link the core (quisel_testable).
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "frame/quisel.h"
#include "invariants.h"
#include "library_state.h"
#include "list_model.h"

namespace quisel::scenario {

using inv::Entry;
using inv::Snapshot;

// Distinct bytes for each file, so that every file can be followed by its content.
inline std::string BytesOf(const std::string& relative) { return "<" + relative + ">\n"; }

// Creates files and directories below root: a name ending in '/' is a directory.
inline void Build(const std::string& root, const std::vector<std::string>& names) {
    inv::MakeDirs(root);
    for (const std::string& name : names) {
        if (!name.empty() && name.back() == '/') {
            inv::MakeDirs(root + "/" + name.substr(0, name.size() - 1));
        } else {
            size_t slash = name.rfind('/');
            if (slash != std::string::npos) inv::MakeDirs(root + "/" + name.substr(0, slash));
            inv::WriteBytes(root + "/" + name, BytesOf(name));
        }
    }
}

using quisel::test::CloseLog;

struct Outcome {
    int result = -1;
    std::string cwdAfter;  // the current directory when the export returned
    std::string log;       // every quisel.log that the call wrote, one after the other
};

// Runs call with `game` as the current directory and no log open yet, and restores
// the caller's directory afterwards whatever the export left.
template <typename Call>
Outcome InGame(const std::string& game, Call call) {
    const std::string saved = inv::CurrentDir();
    Outcome outcome;
    CloseLog();
    if (chdir(game.c_str()) != 0) return outcome;
    outcome.result = call();
    outcome.cwdAfter = inv::CurrentDir();
    CloseLog();
    if (chdir(saved.c_str()) != 0) outcome.cwdAfter = "(cannot return to " + saved + ")";
    return outcome;
}

// Every activity log in a snapshot, concatenated.
inline std::string LogsIn(const Snapshot& snapshot) {
    std::string logs;
    for (const auto& [path, entry] : snapshot) {
        if (entry.kind == Entry::File && path.size() >= 11 && path.compare(path.size() - 11, 11, "/quisel.log") == 0)
            logs += entry.bytes;
    }
    return logs;
}

inline const Entry* Find(const Snapshot& snapshot, const std::string& path) {
    auto found = snapshot.find(path);
    return found == snapshot.end() ? nullptr : &found->second;
}

inline bool IsSkippedName(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    return name == "backuplist.txt" || name == "newlist.txt" || name == "quisel.dll" || name == "ver.bin" ||
           name == "quisel.log";
}

// Whether the log holds the forced move's opening record: "---------- ForceMove(" right
// after a record's time stamp ("[MM/DD/YY/HH:MM:SS] "), never a listed name that spells
// it, which the pass's records echo.
inline bool HasForcedMoveRecord(const std::string& log) {
    const std::string opening = "] ---------- ForceMove(";
    const std::string shape = "[00/00/00/00:00:00";
    for (size_t at = log.find(opening); at != std::string::npos; at = log.find(opening, at + 1)) {
        if (at < shape.size()) continue;
        bool stamped = true;
        for (size_t i = 0; i < shape.size() && stamped; ++i) {
            const char c = log[at - shape.size() + i];
            stamped = shape[i] == '0' ? c >= '0' && c <= '9' : c == shape[i];
        }
        if (stamped) return true;
    }
    return false;
}

// A version move that returned 1 did all of its work: with the list, every listed
// file left its source place and the marker, when named, moved; after the fallback,
// the source tree holds nothing but the names the forced move leaves, and the marker
// moved.
inline std::vector<std::string> MoveDone(const Snapshot& before, const Snapshot& after, const std::string& from,
                                         const std::string& to, const std::string& listBytes, const std::string& log) {
    std::vector<std::string> problems;
    const bool fallback = HasForcedMoveRecord(log);
    bool marker = fallback;
    if (!fallback) {
        const model::ListMeaning meaning = model::Meaning(listBytes);
        marker = meaning.marker;
        for (const std::string& line : meaning.entries) {
            const std::string source = inv::Normalize(model::EntryOf(line), from);
            // Roots that name one directory under two spellings: the file is where it
            // was sent.
            if (inv::Normalize(model::EntryOf(line), to) == source) continue;
            const Entry* was = Find(before, source);
            const Entry* now = Find(after, source);
            if (was == nullptr) {
                // Moved there by an earlier entry, or the pass could not have succeeded.
                continue;
            }
            if (now != nullptr && *now == *was && was->kind != Entry::Directory)
                problems.push_back("result 1, but a listed file stayed: " + source);
        }
    } else {
        for (const auto& [path, entry] : after) {
            if (entry.kind == Entry::Directory || !inv::IsWithin(path, from) || inv::IsWithin(path, to)) continue;
            if (!IsSkippedName(path)) problems.push_back("result 1 after the forced move, but left behind: " + path);
        }
    }
    if (marker) {
        const Entry* was = Find(before, from + "/ver.bin");
        const Entry* moved = Find(after, to + "/ver.bin");
        if (was == nullptr) problems.push_back("result 1, but there was no marker to move");
        else if (Find(after, from + "/ver.bin") != nullptr) problems.push_back("result 1, but the marker stayed");
        else if (moved == nullptr || !(*moved == *was)) problems.push_back("result 1, but the marker did not arrive");
    }
    return problems;
}

// A backup that returned 1: the snapshot holds the exchanged list copies and the
// listed files.
inline std::vector<std::string> BackupDone(const Snapshot& before, const Snapshot& after, const std::string& game,
                                           const std::string& snapshot, const std::string& log) {
    std::vector<std::string> problems;
    const Entry* newList = Find(before, game + "/newlist.txt");
    const Entry* backupList = Find(before, game + "/backuplist.txt");
    const Entry* copyOfNew = Find(after, snapshot + "/backuplist.txt");
    const Entry* copyOfBackup = Find(after, snapshot + "/newlist.txt");
    if (newList == nullptr || backupList == nullptr) {
        problems.push_back("result 1 without both list files");
        return problems;
    }
    // A list that names a list file moves it over that file's copy in the snapshot, as
    // the move replaces any existing destination.
    auto expected = [&](const char* name, const Entry* copied) {
        for (const std::string& line : model::Meaning(backupList->bytes).entries) {
            if (inv::Normalize(model::EntryOf(line), game) == game + "/" + name) return Find(before, game + "/" + name);
        }
        return copied;
    };
    const Entry* wantNew = expected("backuplist.txt", newList);
    const Entry* wantBackup = expected("newlist.txt", backupList);
    if (copyOfNew == nullptr || !(*copyOfNew == *wantNew)) problems.push_back("result 1, but no copy of newlist.txt");
    if (copyOfBackup == nullptr || !(*copyOfBackup == *wantBackup))
        problems.push_back("result 1, but no copy of backuplist.txt");
    for (const std::string& p : MoveDone(before, after, game, snapshot, backupList->bytes, log)) problems.push_back(p);
    return problems;
}

// A clearing that returned 1: no file is left below dir, and with removeDir dir is gone.
inline std::vector<std::string> ClearDone(const Snapshot& after, const std::string& dir, int removeDir) {
    std::vector<std::string> problems;
    for (const auto& [path, entry] : after) {
        if (!inv::IsWithin(path, dir) || path == dir) continue;
        if (removeDir != 0 || entry.kind != Entry::Directory) problems.push_back("result 1, but left: " + path);
    }
    if (removeDir != 0 && inv::PathExists(dir)) problems.push_back("result 1, but not removed: " + dir);
    return problems;
}

}  // namespace quisel::scenario
