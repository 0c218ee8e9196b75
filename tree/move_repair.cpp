#include "tree/move_repair.h"

#include <string.h>

#include "frame/quisel.h"
#include "log/write_log.h"
#include "tree/paths.h"

namespace {
// Creates every directory named by the destination's text before a backslash at
// positions past WorkDir's length + 1: the levels below the working directory. Only a
// backslash that is a character of its own separates levels.
int CreateDestinationLevels(const char* destination, const char* logPath) {
    const size_t start = strlen(WorkDir) + 1;
    const size_t length = strlen(destination);
    char directory[kPathBuffer];
    memset(directory, 0, sizeof directory);
    for (size_t i = NextBackslash(destination, 0); i < length; i = NextBackslash(destination, i + 1)) {
        if (i < start) continue;
        memcpy(directory, destination, i);
        directory[i] = '\0';
        if (!FsCreateDirectory(directory)) {
            const DWORD code = GetLastError();
            if (code == ERROR_ALREADY_EXISTS) continue;
            LogF(logPath, "CreateDirectory(%s) FAILED %d\n", directory, static_cast<int>(code));
            return 0;
        }
    }
    return 1;
}
}  // namespace

int MoveWithRepairs(const char* source, const char* destination, const char* logPath) {
    // Each repair runs at most once: a move that still finds a level missing after
    // the creation pass (a missing source directory, a level that is a file, a level
    // at or above the working directory) or an existing destination after it was
    // deleted has failed, and is reported with the code it failed with.
    int created = 0;
    int replaced = 0;
    for (;;) {
        if (FsMoveFile(source, destination)) return 1;
        const DWORD code = GetLastError();
        if (code == ERROR_PATH_NOT_FOUND && !created) {
            created = 1;
            if (!CreateDestinationLevels(destination, logPath)) return 0;
            continue;
        }
        // A destination that is the source under another spelling must never be
        // deleted to make room: that would delete the file being moved.
        if (code == ERROR_ALREADY_EXISTS && !replaced && !SamePathText(source, destination)) {
            replaced = 1;
            if (!FsSetFileAttributes(destination, FILE_ATTRIBUTE_NORMAL)) {
                LogF(logPath, "SetFileAttributes(%s, FILE_ATTRIBUTE_NORMAL) FAILED %d\n", destination,
                     static_cast<int>(GetLastError()));
                return 0;
            }
            if (!FsDeleteFile(destination)) {
                LogF(logPath, "DeleteFile(%s) FAILED %d\n", destination, static_cast<int>(GetLastError()));
                return 0;
            }
            continue;
        }
        LogF(logPath, "MoveFile(%s, %s) FAILED %d\n", source, destination, static_cast<int>(code));
        return 0;
    }
}
