#include "tree/paths.h"

#include <stdarg.h>
#include <string.h>

#include "frame/quisel.h"
#include "wtf8.h"

size_t NextBackslash(const char* path, size_t from) {
    const char* found = strchr(path + from, '\\');
    return found != NULL ? static_cast<size_t>(found - path) : from + strlen(path + from);
}

int EndsWithBackslash(const char* path, size_t length) {
    return length > 0 && path[length - 1] == '\\';
}

int NameHoldsPathSyntax(const char* name) {
    return strpbrk(name, QUISEL_PATH_SYNTAX) != NULL;
}

size_t MakeRoot(char* root, const char* dir) {
    const size_t length = strlen(dir);
    const int needsSeparator = !EndsWithBackslash(dir, length);
    const size_t total = length + (needsSeparator ? 1 : 0);
    if (total >= kPathBuffer) return 0;
    memset(root, 0, kPathBuffer);
    memcpy(root, dir, length);
    if (needsSeparator) root[length] = '\\';
    if (!PathFits(root, total)) {
        memset(root, 0, kPathBuffer);
        return 0;
    }
    return total;
}

int JoinedPathFits(const char* root, size_t rootLength, const char* name, size_t nameLength) {
    const size_t total = rootLength + nameLength;
    if (total < kPathSize) return 1;
    // Past the limit in bytes only the units tell.
    return total < kPathBuffer && PathUnits(root, rootLength) + PathUnits(name, nameLength) < kPathSize;
}

int PutName(char* path, size_t rootLength, const char* name) {
    const size_t length = strlen(name);
    if (!JoinedPathFits(path, rootLength, name, length)) return 0;
    memcpy(path + rootLength, name, length);
    path[rootLength + length] = '\0';
    return 1;
}

int FormatPath(char* path, const char* format, ...) {
    memset(path, 0, kPathBuffer);
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(path, kPathBuffer, format, args);
    va_end(args);
    if (length < 0 || length >= kPathBuffer || !PathFits(path, static_cast<size_t>(length))) {
        memset(path, 0, kPathBuffer);
        return 0;
    }
    return 1;
}

namespace {
// The length without trailing separators, one character kept.
size_t TrimmedLength(const char* path) {
    size_t length = strlen(path);
    while (length > 1 && IsSeparatorChar(path + length - 1)) --length;
    return length;
}

char Folded(char c) {
    if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
    if (c == '/') return '\\';
    return c;
}
}  // namespace

int SamePathText(const char* a, const char* b) {
    const size_t length = TrimmedLength(a);
    if (length != TrimmedLength(b)) return 0;
    for (size_t i = 0; i < length; ++i) {
        if (Folded(a[i]) != Folded(b[i])) return 0;
    }
    return 1;
}
