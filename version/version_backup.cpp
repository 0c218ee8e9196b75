// VersionBackup: snapshots the current version into "gamenew" or "gameold" inside
// the game directory, which is the current directory.
#include <string.h>

#include "frame/quisel.h"
#include "tree/paths.h"

namespace {
// The longest list copy path adds 23 characters to the game directory
// ("\gamenew", "\", "backuplist.txt"), so longer game directories are refused.
const DWORD kMaxGameDirLength = kPathSize - 1 - 23;
}  // namespace

int QUISEL_CALL VersionBackup(int newVersion) {
    char gameDir[kPathSize];
    char snapshotDir[kPathSize];
    char listCopy[kPathSize];
    memset(gameDir, 0, sizeof gameDir);
    memset(snapshotDir, 0, sizeof snapshotDir);
    memset(listCopy, 0, sizeof listCopy);

    const DWORD length = GetCurrentDirectoryA(kPathSize, gameDir);
    if (length == 0 || length > kMaxGameDirLength) return 0;

    FormatPath(snapshotDir, "%s\\%s", gameDir, newVersion != 0 ? "gamenew" : "gameold");

    // An earlier snapshot of this name goes first; when there is none, the clearing
    // fails to enter it, logs that, and the backup goes on.
    ClearDir(snapshotDir, 1);
    if (!CreateDirectoryA(snapshotDir, NULL)) return 0;

    // The list copies trade names: the snapshot's "newlist.txt" is the game's
    // "backuplist.txt" and drives the move below.
    FormatPath(listCopy, "%s\\%s", snapshotDir, "backuplist.txt");
    if (!CopyFileA("newlist.txt", listCopy, FALSE)) {
        ClearDir(snapshotDir, 1);
        return 0;
    }
    FormatPath(listCopy, "%s\\%s", snapshotDir, "newlist.txt");
    if (!CopyFileA("backuplist.txt", listCopy, FALSE)) {
        ClearDir(snapshotDir, 1);
        return 0;
    }

    // A failed move leaves the snapshot as it is: it may already hold moved game
    // files, and clearing it would delete them.
    return VersionMove(gameDir, snapshotDir, listCopy, 0) != 0 ? 1 : 0;
}
