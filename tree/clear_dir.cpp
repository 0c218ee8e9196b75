// ClearDir: empties a directory tree level by level through the current directory,
// naming every entry by its bare name, and removes the emptied levels on request.
// A failure of one entry does not stop the walk.
#include <string.h>

#include "frame/quisel.h"
#include "log/write_log.h"
#include "tree/paths.h"
#include "tree/return_to.h"

namespace {
// Consecutive failed next-entry requests (other than the normal end) after which a
// level stops walking instead of asking for ever.
const int kMaxNextEntryFailures = 3;

int IsDotEntry(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// One level of the walk. outerLogPath is the calling level's log path (null at the
// top); a level whose own log path would not fit its buffer writes to that one.
int ClearLevel(const char* dir, int removeDir, const char* outerLogPath) {
    int result = 1;
    char savedDir[kPathSize];
    char logPath[kPathSize];
    memset(savedDir, 0, sizeof savedDir);
    memset(logPath, 0, sizeof logPath);

    const DWORD length = GetCurrentDirectoryA(kPathSize, savedDir);
    if (length == 0) return 0;
    if (length >= kPathSize) {
        // The directory to return to cannot be held, so this level is not entered.
        if (outerLogPath != NULL) {
            LogF(outerLogPath, "GetCurrentDirectory(%d, %s) FAILED %d\n", static_cast<int>(kPathSize), "",
                 static_cast<int>(ERROR_FILENAME_EXCED_RANGE));
        }
        return 0;
    }
    if (!FormatPath(logPath, "%s\\quisel.log", savedDir)) {
        // At the top nothing may run without a place for its records.
        if (outerLogPath == NULL) return 0;
        FormatPath(logPath, "%s", outerLogPath);
    }

    if (dir == NULL || !SetCurrentDirectoryA(dir)) {
        const DWORD code = dir == NULL ? ERROR_INVALID_PARAMETER : GetLastError();
        LogF(logPath, "SetCurrentDirectory(%s) FAILED %d\n", OrNull(dir), static_cast<int>(code));
        return 0;
    }

    WIN32_FIND_DATAA entry;
    memset(&entry, 0, sizeof entry);
    HANDLE find = FindFirstFileA("*.*", &entry);
    if (find == INVALID_HANDLE_VALUE) {
        ReturnTo(savedDir, logPath);
        return 0;
    }

    int nextFailures = 0;
    for (;;) {
        if (IsDotEntry(entry.cFileName)) {
            // Neither this level nor its parent.
        } else if (NameHoldsPathSyntax(entry.cFileName)) {
            // What the code page made of a name it cannot spell: used as a path, it
            // would name another file, perhaps outside the tree. It stays, reported
            // with the code Windows gives a name that cannot be a file's.
            LogF(logPath, "%s(%s) FAILED %d\n",
                 entry.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY ? "SetCurrentDirectory" : "DeleteFile",
                 entry.cFileName, static_cast<int>(ERROR_INVALID_NAME));
            result = 0;
        } else {
            // Only a plain directory is entered: one with any further attribute, a
            // link to a directory among them, goes the way of a file.
            if (entry.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY) {
                if (!ClearLevel(entry.cFileName, removeDir, logPath)) result = 0;
            } else {
                if (!SetFileAttributesA(entry.cFileName, FILE_ATTRIBUTE_NORMAL)) result = 0;
                if (!DeleteFileA(entry.cFileName)) {
                    LogF(logPath, "DeleteFile(%s) FAILED %d\n", entry.cFileName, static_cast<int>(GetLastError()));
                    result = 0;
                }
            }
        }
        if (FindNextFileA(find, &entry)) {
            nextFailures = 0;
            continue;
        }
        const DWORD code = GetLastError();
        if (code == ERROR_NO_MORE_FILES) break;
        // A failed request leaves the record as it was: the last entry is handled
        // once more and the next one asked for again, a bounded number of times.
        result = 0;
        if (++nextFailures >= kMaxNextEntryFailures) {
            LogF(logPath, "FindNextFile(%s) FAILED %d\n", dir, static_cast<int>(code));
            break;
        }
    }
    FindClose(find);
    // Without the caller's directory back, a relative removal would resolve against the
    // wrong one: the level stops here, reported.
    if (!ReturnTo(savedDir, logPath)) return 0;

    if (removeDir != 0 && !RemoveDirectoryA(dir)) {
        LogF(logPath, "RemoveDirectory(%s) FAILED %d\n", dir, static_cast<int>(GetLastError()));
        result = 0;
    }
    return result;
}
}  // namespace

int QUISEL_CALL ClearDir(const char* dir, int removeDir) {
    return ClearLevel(dir, removeDir, NULL);
}
