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
    if (entry[1] == ':') return 0;
    const char* component = entry;
    // Whether the last level named so far is the directory it stands in. A doubled or a
    // trailing separator names no level: in ".\" or "sub\.\" the dot is the last one.
    bool itself = false;
    for (const char* p = entry;; ++p) {
        if (*p != '\0' && !IsSeparatorChar(p)) continue;
        if (p > component) {
            int dots = 0;
            itself = OnlyDotsAndSpaces(component, static_cast<size_t>(p - component), &dots);
            // Climbing out is refused anywhere; the directory itself only as the last
            // level, where it would move a whole directory in place of a file.
            if (itself && dots >= 2) return 0;
        }
        if (*p == '\0') return itself ? 0 : 1;
        component = p + 1;
    }
}

namespace {
// The list names its files in UTF-8, whatever the reader's code page, when it begins
// with the byte-order mark.
const char kUtf8Mark[] = "\xEF\xBB\xBF";

bool IsAscii(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
    }
    return true;
}
}  // namespace

int ForEachListEntry(FILE* list, const char* listPath, const char* fromDir, const char* toDir,
                     const char* logPath, ListEntryAction action, int* markerSeen) {
    char line[kListLineSize];
    char converted[kPathBuffer];
    char sourcePath[kPathBuffer];
    char destinationPath[kPathBuffer];
    memset(line, 0, sizeof line);
    memset(converted, 0, sizeof converted);
    const size_t sourceRoot = MakeRoot(sourcePath, fromDir);
    const size_t destinationRoot = MakeRoot(destinationPath, toDir);
    if (sourceRoot == 0 || destinationRoot == 0) {
        LogF(logPath, "filename length too big\n");
        return 0;
    }

    int first = 1;
    int utf8 = 0;
    while (ReadListLine(list, line)) {
        char* read = line;
        if (first) {
            first = 0;
            utf8 = strncmp(line, kUtf8Mark, 3) == 0;
            if (utf8) read += 3;
        }
        size_t length = 0;
        const ListLineKind kind = ClassifyListLine(read, &length);
        if (kind == kListEmpty) continue;
        if (kind == kListMarker) {
            *markerSeen = 1;
            continue;
        }
        // A line in the code page takes the library's form here (ASCII is the same in
        // every code page); one too long for that is too long for any path.
        const char* text = read;
        if (!utf8 && !IsAscii(read, length)) {
            if (!FromCodePage(read, converted, sizeof converted)) {
                LogF(logPath, "filename length too big\n");
                return 0;
            }
            text = converted;
            length = strlen(converted);
        }
        // The source side is held to the limit with a ".\" prefix counted.
        const char* entry = ListEntryPath(text);
        if (!JoinedPathFits(sourcePath, sourceRoot, text, length) || !PutName(destinationPath, destinationRoot, entry)) {
            LogF(logPath, "filename length too big\n");
            return 0;
        }
        // The list is a file anyone who can write the game directory can change:
        // an entry must not reach outside the two roots.
        if (!ListEntryStaysInside(entry)) {
            LogF(logPath, "filename out of root: %s\n", text);
            return 0;
        }
        PutName(sourcePath, sourceRoot, entry);
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
