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

// A link met where a directory is to be cleared goes as the link itself, never what it
// leads to: a link to a directory with RemoveDirectory, any other with DeleteFile.
int RemoveLink(const char* name, DWORD attributes, const char* logPath) {
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (FsRemoveDirectory(name)) return 1;
        LogF(logPath, "RemoveDirectory(%s) FAILED %d\n", name, static_cast<int>(GetLastError()));
        return 0;
    }
    if (FsDeleteFile(name)) return 1;
    LogF(logPath, "DeleteFile(%s) FAILED %d\n", name, static_cast<int>(GetLastError()));
    return 0;
}

// One level of the walk. outerLogPath is the calling level's log path (null at the
// top); a level whose own log path would not fit its buffer writes to that one.
int ClearLevel(const char* dir, int removeDir, const char* outerLogPath) {
    int result = 1;
    char savedDir[kPathBuffer];
    char logPath[kPathBuffer];
    memset(savedDir, 0, sizeof savedDir);
    memset(logPath, 0, sizeof logPath);

    const DWORD length = FsGetCurrentDirectory(savedDir);
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

    if (outerLogPath == NULL && dir != NULL) {
        // The directory to clear is a link: it is removed as one when the caller asked for
        // the removal, and otherwise refused, untouched.
        const DWORD link = FsLinkAttributes(dir);
        if (link != 0 && removeDir != 0) return RemoveLink(dir, link, logPath);
        if (link != 0) {
            LogF(logPath, "SetCurrentDirectory(%s) FAILED %d\n", dir, static_cast<int>(ERROR_REPARSE_POINT_ENCOUNTERED));
            return 0;
        }
    }
    if (dir == NULL || !FsSetCurrentDirectory(dir)) {
        const DWORD code = dir == NULL ? ERROR_INVALID_PARAMETER : GetLastError();
        LogF(logPath, "SetCurrentDirectory(%s) FAILED %d\n", OrNull(dir), static_cast<int>(code));
        return 0;
    }

    FsEntry entry;
    memset(&entry, 0, sizeof entry);
    HANDLE find = FsFindFirstFile("*.*", &entry);
    if (find == INVALID_HANDLE_VALUE) {
        ReturnTo(savedDir, logPath);
        return 0;
    }

    int nextFailures = 0;
    for (;;) {
        if (IsDotEntry(entry.name)) {
            // Neither this level nor its parent.
        } else if (NameHoldsPathSyntax(entry.name)) {
            // Used as a path, such a name would name another file, perhaps outside the
            // tree. It stays, reported with the code Windows gives a name that cannot be
            // a file's.
            LogF(logPath, "%s(%s) FAILED %d\n", FsIsDirectory(&entry) ? "SetCurrentDirectory" : "DeleteFile",
                 entry.name, static_cast<int>(ERROR_INVALID_NAME));
            result = 0;
        } else if (FsIsLink(entry.attributes, entry.reparseTag) && (entry.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (!RemoveLink(entry.name, entry.attributes, logPath)) result = 0;
        } else {
            // Every directory is entered, whatever further attributes it has (read-only,
            // hidden, system, compressed...); a link to a file goes as a file, the link itself.
            if (FsIsDirectory(&entry)) {
                if (!ClearLevel(entry.name, removeDir, logPath)) result = 0;
            } else {
                if (!FsSetFileAttributes(entry.name, FILE_ATTRIBUTE_NORMAL)) result = 0;
                if (!FsDeleteFile(entry.name)) {
                    LogF(logPath, "DeleteFile(%s) FAILED %d\n", entry.name, static_cast<int>(GetLastError()));
                    result = 0;
                }
            }
        }
        if (FsFindNextFile(find, &entry)) {
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
    FsFindClose(find);
    // Without the caller's directory back, a relative removal would resolve against the
    // wrong one: the level stops here, reported.
    if (!ReturnTo(savedDir, logPath)) return 0;

    if (removeDir != 0 && !FsRemoveDirectory(dir)) {
        LogF(logPath, "RemoveDirectory(%s) FAILED %d\n", dir, static_cast<int>(GetLastError()));
        result = 0;
    }
    return result;
}
}  // namespace

int ClearDirectory(const char* dir, int removeDir) {
    // Its way is taken as given where it lies outside the game directory; its own name is
    // one more level, and never a link that is followed.
    FsTakeRoot(dir, 0);
    return ClearLevel(dir, removeDir, NULL);
}
