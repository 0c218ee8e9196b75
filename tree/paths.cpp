#include "tree/paths.h"

#include <stdarg.h>
#include <string.h>

#include "frame/quisel.h"

size_t MakeRoot(char* root, const char* dir) {
    const size_t length = strlen(dir);
    const int needsSeparator = length == 0 || dir[length - 1] != '\\';
    const size_t total = length + (needsSeparator ? 1 : 0);
    if (total >= kPathSize) return 0;
    memset(root, 0, kPathSize);
    memcpy(root, dir, length);
    if (needsSeparator) root[length] = '\\';
    return total;
}

int PutName(char* path, size_t rootLength, const char* name) {
    const size_t length = strlen(name);
    if (rootLength + length >= kPathSize) return 0;
    memcpy(path + rootLength, name, length);
    path[rootLength + length] = '\0';
    return 1;
}

int FormatPath(char* path, const char* format, ...) {
    memset(path, 0, kPathSize);
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(path, kPathSize, format, args);
    va_end(args);
    if (length < 0 || length >= kPathSize) {
        memset(path, 0, kPathSize);
        return 0;
    }
    return 1;
}

namespace {
bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

size_t TrimmedLength(const char* path) {
    size_t length = strlen(path);
    while (length > 1 && IsSeparator(path[length - 1])) --length;
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
