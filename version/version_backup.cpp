// VersionBackup: snapshots the current version into "gamenew" or "gameold" inside
// the game directory, which is the current directory.
#include <string.h>

#include "frame/quisel.h"
#include "log/write_log.h"
#include "tree/paths.h"
#include "version/move_list.h"

namespace {
// The longest list copy path adds 23 characters to the game directory
// ("\gamenew", "\", "backuplist.txt"), so longer game directories are refused.
const DWORD kMaxGameDirLength = kPathSize - 1 - 23;

// The query the move will meet: the source path as the move builds it, asked once.
int EntryIsThere(const char* sourcePath, const char*, const char* logPath) {
    if (FsGetFileAttributes(sourcePath) != INVALID_FILE_ATTRIBUTES) return 1;
    LogF(logPath, "GetFileAttributes(%s) FAILED %d\n", sourcePath, static_cast<int>(GetLastError()));
    return 0;
}

// Whether the game directory holds the whole version its "backuplist.txt" names, every
// entry passing the rules the move applies, the marker included when it is listed.
// Otherwise one record names the first entry that does not. A missing list is left to
// the backup's own steps, which fail at its copy; a list that is there but cannot be
// read says nothing of the version, so nothing may be cleared for it.
int VersionIsWhole(const char* gameDir, const char* snapshotDir, const char* logPath) {
    FILE* list = OpenTextStream("backuplist.txt", "r");
    if (list == NULL) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return 1;
        LogF(logPath, "fopen(%s, \"r\") FAILED %d\n", "backuplist.txt", static_cast<int>(code));
        return 0;
    }
    int markerSeen = 0;
    int whole = ForEachListEntry(list, "backuplist.txt", gameDir, snapshotDir, logPath, EntryIsThere, &markerSeen);
    fclose(list);
    if (whole && markerSeen) {
        char marker[kPathBuffer];
        memset(marker, 0, sizeof marker);
        whole = MarkerPath(marker, gameDir) && EntryIsThere(marker, NULL, logPath);
    }
    return whole;
}
}  // namespace

int BackUpVersion(int newVersion) {
    char gameDir[kPathBuffer];
    char snapshotDir[kPathBuffer];
    char listCopy[kPathBuffer];
    char logPath[kPathBuffer];
    memset(gameDir, 0, sizeof gameDir);
    memset(snapshotDir, 0, sizeof snapshotDir);
    memset(listCopy, 0, sizeof listCopy);
    memset(logPath, 0, sizeof logPath);

    const DWORD length = FsGetCurrentDirectory(gameDir);
    if (length == 0 || length > kMaxGameDirLength) return 0;

    FormatPath(snapshotDir, "%s\\%s", gameDir, newVersion != 0 ? "gamenew" : "gameold");
    FormatPath(logPath, "%s\\quisel.log", gameDir);

    // The earlier snapshot may hold the only copies of files the game directory lacks:
    // an interrupted backup, or a repeated one. It goes only when the version is whole.
    if (!VersionIsWhole(gameDir, snapshotDir, logPath)) return 0;

    // An earlier snapshot of this name goes first; when there is none, the clearing
    // fails to enter it, logs that, and the backup goes on.
    ClearDirectory(snapshotDir, 1);
    if (!FsCreateDirectory(snapshotDir)) return 0;

    // The list copies trade names: the snapshot's "newlist.txt" is the game's
    // "backuplist.txt" and drives the move below.
    FormatPath(listCopy, "%s\\%s", snapshotDir, "backuplist.txt");
    if (!FsCopyFile("newlist.txt", listCopy, FALSE)) {
        ClearDirectory(snapshotDir, 1);
        return 0;
    }
    FormatPath(listCopy, "%s\\%s", snapshotDir, "newlist.txt");
    if (!FsCopyFile("backuplist.txt", listCopy, FALSE)) {
        ClearDirectory(snapshotDir, 1);
        return 0;
    }

    // A failed move leaves the snapshot as it is: it may already hold moved game
    // files, and clearing it would delete them.
    return MoveVersion(gameDir, snapshotDir, listCopy, 0) != 0 ? 1 : 0;
}
