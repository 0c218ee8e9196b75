// VersionMove: moves the files a move list names from one root to another, the
// version marker "ver.bin" last, and falls back to the forced tree move when the
// list pass fails and the caller allows it.
#include <string.h>

#include "frame/quisel.h"
#include "log/write_log.h"
#include "tree/force_move.h"
#include "tree/move_repair.h"
#include "tree/paths.h"
#include "version/move_list.h"
#include "wtf8.h"

namespace {
// The longest root whose marker path (root, "\", "ver.bin") still fits a path buffer.
const size_t kMaxRootLength = kPathSize - 1 - sizeof("\\ver.bin") + 1;

int RootIsUsable(const char* dir) {
    // An empty root would name the root of the whole file system.
    const size_t length = strlen(dir);
    char root[kPathBuffer];
    return length > 0 && length < kPathBuffer && PathUnits(dir, length) <= kMaxRootLength && MakeRoot(root, dir) != 0;
}

// Copies the marker to the destination root, then deletes it at the source root.
// In the list pass a failed attribute reset keeps the source; in the fallback the
// deletion is tried all the same.
int MoveMarker(const char* fromDir, const char* toDir, const char* logPath, int deleteAfterFailedReset) {
    char source[kPathBuffer];
    char destination[kPathBuffer];
    memset(source, 0, sizeof source);
    memset(destination, 0, sizeof destination);
    // The roots were checked to leave room for the marker's name.
    MarkerPath(source, fromDir);
    MarkerPath(destination, toDir);

    if (!FsCopyFile(source, destination, FALSE)) {
        LogF(logPath, "CopyFile(%s, %s) FAILED %d\n", source, destination, static_cast<int>(GetLastError()));
        return 0;
    }
    LogF(logPath, "CopyFile(%s, %s) SUCCEED !!!\n", source, destination);

    int result = 1;
    if (!FsSetFileAttributes(source, FILE_ATTRIBUTE_NORMAL)) {
        LogF(logPath, "SetFileAttributes(%s, FILE_ATTRIBUTE_NORMAL) FAILED %d\n", source,
             static_cast<int>(GetLastError()));
        result = 0;
        if (!deleteAfterFailedReset) return 0;
    }
    if (!FsDeleteFile(source)) {
        LogF(logPath, "DeleteFile(%s) FAILED %d\n", source, static_cast<int>(GetLastError()));
        result = 0;
    }
    return result;
}

// One entry of the list pass: moved with repairs, and its arrival recorded.
int MoveEntry(const char* sourcePath, const char* destinationPath, const char* logPath) {
    if (!MoveWithRepairs(sourcePath, destinationPath, logPath)) return 0;
    LogF(logPath, "MoveFile(%s, %s) SUCCEED !!!\n", sourcePath, destinationPath);
    return 1;
}

// The list pass with its end-of-list marker step. Returns 1 when every entry moved
// and the marker too, if the list named it.
int MoveListed(const char* fromDir, const char* toDir, const char* listPath, const char* logPath) {
    FILE* list = OpenTextStream(listPath, "r");
    if (list == NULL) {
        LogF(logPath, "fopen(%s, \"r\") FAILED %d\n", listPath, static_cast<int>(GetLastError()));
        return 0;
    }
    int markerSeen = 0;
    int passed = ForEachListEntry(list, listPath, fromDir, toDir, logPath, MoveEntry, &markerSeen);
    if (passed && markerSeen) {
        LogF(logPath, "from: %s\nto: %s", fromDir, toDir);
        passed = MoveMarker(fromDir, toDir, logPath, 0);
    }
    fclose(list);
    return passed;
}
}  // namespace

int MoveVersion(const char* fromDir, const char* toDir, const char* listPath, int force) {
    char logPath[kPathBuffer];
    memset(logPath, 0, sizeof logPath);
    memset(WorkDir, 0, sizeof WorkDir);

    const DWORD length = FsGetCurrentDirectory(WorkDir);
    if (length == 0) return 0;
    // A working directory whose log path (and so WorkDir with its backslash) would
    // not fit is refused before anything is read or moved.
    if (length >= kPathSize || !FormatPath(logPath, "%s\\quisel.log", WorkDir)) {
        memset(WorkDir, 0, sizeof WorkDir);
        return 0;
    }

    LogF(logPath, "-------- VersionMove begin ---------\n");
    LogF(logPath, "from: %s\nto: %s", OrNull(fromDir), OrNull(toDir));

    if (fromDir == NULL || toDir == NULL || listPath == NULL || !RootIsUsable(fromDir) || !RootIsUsable(toDir) ||
        SamePathText(fromDir, toDir)) {
        LogF(logPath, "paremeter error\n");
        return 0;
    }
    if (listPath[0] == '\0') {
        LogF(logPath, "list is null\n");
        return 0;
    }

    // The roots, where they lie outside the game directory, are taken as given; below
    // them, and below the game directory, no file is reached through a link.
    FsTakeRoot(fromDir, 1);
    FsTakeRoot(toDir, 1);

    const size_t workLength = strlen(WorkDir);
    if (!EndsWithBackslash(WorkDir, workLength)) WorkDir[workLength] = '\\';

    int result = MoveListed(fromDir, toDir, listPath, logPath);
    if (!result && force != 0) {
        LogF(logPath, "---------- ForceMove(%s, %s) begin -------------\n", fromDir, toDir);
        result = ForceMove(fromDir, toDir);
        if (result) result = MoveMarker(fromDir, toDir, logPath, 1);
        LogF(logPath, "--------- ForceMove(%s, %s) %d --------\n", fromDir, toDir, result);
    }
    LogF(logPath, "-------- VersionMove end %d---------\n", result);
    return result;
}
