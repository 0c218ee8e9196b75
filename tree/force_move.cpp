#include "tree/force_move.h"

#include <string.h>

#include "frame/quisel.h"
#include "log/write_log.h"
#include "tree/move_repair.h"
#include "tree/paths.h"
#include "tree/return_to.h"

namespace {
const char* const kSkipped[] = {".", "..", "backuplist.txt", "newlist.txt", "quisel.dll", "ver.bin"};

int IsSkipped(const char* name) {
    for (const char* skipped : kSkipped) {
        if (strcmp(name, skipped) == 0) return 1;
    }
    return 0;
}

// One level of the walk. destinationTop is the destination of the whole move: when
// it lies inside the source tree the walk meets it as a subdirectory and must not
// enter it, or files would move twice.
int ForceLevel(const char* fromDir, const char* toDir, const char* destinationTop) {
    int result = 1;
    char sourcePath[kPathBuffer];
    char destinationPath[kPathBuffer];
    char logPath[kPathBuffer];
    char savedDir[kPathBuffer];
    memset(sourcePath, 0, sizeof sourcePath);
    memset(destinationPath, 0, sizeof destinationPath);
    memset(logPath, 0, sizeof logPath);
    memset(savedDir, 0, sizeof savedDir);

    // VersionMove keeps WorkDir short enough for the log path; were it not, the
    // records would be dropped rather than written to a cut path.
    FormatPath(logPath, "%squisel.log", WorkDir);

    const size_t sourceRoot = MakeRoot(sourcePath, fromDir);
    const size_t destinationRoot = MakeRoot(destinationPath, toDir);
    if (sourceRoot == 0 || destinationRoot == 0) {
        LogF(logPath, "filename length too big\n");
        return 0;
    }

    const DWORD length = FsGetCurrentDirectory(savedDir);
    if (length == 0 || length >= kPathSize) {
        const DWORD code = length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
        memset(savedDir, 0, sizeof savedDir);
        LogF(logPath, "GetCurrentDirectory(%d, %s) FAILED %d\n", static_cast<int>(kPathSize), savedDir,
             static_cast<int>(code));
        return 0;
    }
    if (!FsSetCurrentDirectory(fromDir)) {
        LogF(logPath, "SetCurrentDirectory(%s) FAILED %d\n", fromDir, static_cast<int>(GetLastError()));
        return 0;
    }

    FsEntry entry;
    memset(&entry, 0, sizeof entry);
    HANDLE find = FsFindFirstFile("*.*", &entry);
    if (find == INVALID_HANDLE_VALUE) {
        ReturnTo(savedDir, logPath);
        return 0;
    }

    for (;;) {
        if (!IsSkipped(entry.name)) {
            if (!PutName(sourcePath, sourceRoot, entry.name) ||
                !PutName(destinationPath, destinationRoot, entry.name)) {
                LogF(logPath, "filename length too big\n");
                result = 0;
                break;
            }
            if (NameHoldsPathSyntax(entry.name)) {
                // A name that reads as a path would move another file, perhaps from
                // outside the tree. The move stops here.
                if (FsIsDirectory(&entry)) {
                    LogF(logPath, "SetCurrentDirectory(%s) FAILED %d\n", sourcePath,
                         static_cast<int>(ERROR_INVALID_NAME));
                } else {
                    LogF(logPath, "MoveFile(%s, %s) FAILED %d\n", sourcePath, destinationPath,
                         static_cast<int>(ERROR_INVALID_NAME));
                }
                result = 0;
                break;
            }
            if (FsIsDirectory(&entry)) {
                if (!SamePathText(sourcePath, destinationTop) &&
                    !ForceLevel(sourcePath, destinationPath, destinationTop)) {
                    result = 0;
                    break;
                }
            } else {
                if (!MoveWithRepairs(sourcePath, destinationPath, logPath)) {
                    result = 0;
                    break;
                }
                LogF(logPath, "MoveFile(%s, %s) SUCCEED !!!\n", sourcePath, destinationPath);
            }
        }
        if (!FsFindNextFile(find, &entry)) {
            if (GetLastError() != ERROR_NO_MORE_FILES) result = 0;
            break;
        }
    }
    FsFindClose(find);
    if (!ReturnTo(savedDir, logPath)) result = 0;
    return result;
}
}  // namespace

int ForceMove(const char* fromDir, const char* toDir) {
    return ForceLevel(fromDir, toDir, toDir);
}
