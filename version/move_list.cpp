#include "version/move_list.h"

#include <string.h>

#include "frame/quisel.h"
#include "log/write_log.h"
#include "tree/paths.h"

int ReadListLine(FILE* list, char* line) {
    memset(line, 0, kListLineSize);
    return fgets(line, kListLineSize, list) != NULL;
}

ListLineKind ClassifyListLine(char* line, size_t* length) {
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
    *length = n;
    if (n == 0) return kListEmpty;
    if (strcmp(line, "ver.bin") == 0) return kListMarker;
    return kListEntry;
}

const char* ListEntryPath(const char* line) {
    if (line[0] == '.' && line[1] == '\\') return line + 2;
    return line;
}

namespace {
// Windows drops trailing dots and spaces from path components, so a component made
// only of them names the directory it stands in ("." , "   ") or, with two dots or
// more, its parent ("..", "...", ".. ").
bool OnlyDotsAndSpaces(const char* component, size_t length, int* dots) {
    *dots = 0;
    for (size_t i = 0; i < length; ++i) {
        if (component[i] == '.') {
            ++*dots;
        } else if (component[i] != ' ') {
            return false;
        }
    }
    return length > 0;
}
}  // namespace

int ListEntryStaysInside(const char* entry) {
    // An empty entry (a line that was only ".\") would name the source root itself.
    if (entry[0] == '\0' || IsSeparatorChar(entry)) return 0;
    if (CharSize(entry) == 1 && entry[1] == ':') return 0;
    const char* component = entry;
    for (const char* p = entry;; p += CharSize(p)) {
        if (*p != '\0' && !IsSeparatorChar(p)) continue;
        int dots = 0;
        if (OnlyDotsAndSpaces(component, static_cast<size_t>(p - component), &dots)) {
            // Climbing out is refused anywhere; the directory itself only as the last
            // component, where it would move a whole directory in place of a file.
            if (dots >= 2 || *p == '\0') return 0;
        }
        if (*p == '\0') return 1;
        component = p + 1;
    }
}

int ForEachListEntry(FILE* list, const char* listPath, const char* fromDir, const char* toDir,
                     const char* logPath, ListEntryAction action, int* markerSeen) {
    char line[kListLineSize];
    char sourcePath[kPathSize];
    char destinationPath[kPathSize];
    memset(line, 0, sizeof line);
    const size_t sourceRoot = MakeRoot(sourcePath, fromDir);
    const size_t destinationRoot = MakeRoot(destinationPath, toDir);
    if (sourceRoot == 0 || destinationRoot == 0) {
        LogF(logPath, "filename length too big\n");
        return 0;
    }

    while (ReadListLine(list, line)) {
        size_t length = 0;
        const ListLineKind kind = ClassifyListLine(line, &length);
        if (kind == kListEmpty) continue;
        if (kind == kListMarker) {
            *markerSeen = 1;
            continue;
        }
        const char* entry = ListEntryPath(line);
        if (length + sourceRoot + 1 > kPathSize || destinationRoot + strlen(entry) + 1 > kPathSize) {
            LogF(logPath, "filename length too big\n");
            return 0;
        }
        // The list is a file anyone who can write the game directory can change:
        // an entry must not reach outside the two roots.
        if (!ListEntryStaysInside(entry)) {
            LogF(logPath, "filename out of root: %s\n", line);
            return 0;
        }
        PutName(sourcePath, sourceRoot, entry);
        PutName(destinationPath, destinationRoot, entry);
        if (!action(sourcePath, destinationPath, logPath)) return 0;
    }
    if (ferror(list)) {
        LogF(logPath, "read list file %s failed\n", listPath);
        return 0;
    }
    return 1;
}

int MarkerPath(char* path, const char* root) {
    return FormatPath(path, "%s\\ver.bin", root);
}
