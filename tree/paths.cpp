#include "tree/paths.h"

#include <stdarg.h>
#include <string.h>

#include "frame/quisel.h"

size_t NextBackslash(const char* path, size_t from) {
    size_t i = from;
    while (path[i] != '\0' && path[i] != '\\') i += CharSize(path + i);
    return i;
}

namespace {
// Whether the last byte of path (length > 0) starts a character: where a character
// starts depends on every character before it.
int LastByteStartsCharacter(const char* path, size_t length) {
    size_t i = 0;
    while (i + 1 < length) i += CharSize(path + i);
    return i + 1 == length;
}
}  // namespace

int EndsWithBackslash(const char* path, size_t length) {
    return length > 0 && path[length - 1] == '\\' && LastByteStartsCharacter(path, length);
}

int NameHoldsPathSyntax(const char* name) {
    if (strpbrk(name, QUISEL_PATH_SYNTAX) == NULL) return 0;
    for (const char* p = name; *p != '\0'; p += CharSize(p)) {
        if (strchr(QUISEL_PATH_SYNTAX, *p) != NULL) return 1;
    }
    return 0;
}

size_t MakeRoot(char* root, const char* dir) {
    const size_t length = strlen(dir);
    // A cut character, a lead byte with nothing behind it, would take the backslash
    // behind it as its second byte.
    if (length > 0 && IsLeadByte(dir[length - 1]) && LastByteStartsCharacter(dir, length)) return 0;
    const int needsSeparator = !EndsWithBackslash(dir, length);
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
// The length without trailing separators, one character kept.
size_t TrimmedLength(const char* path) {
    size_t kept = 0;
    for (size_t i = 0; path[i] != '\0';) {
        const size_t size = CharSize(path + i);
        i += size;
        if (kept == 0 || !IsSeparatorChar(path + i - size)) kept = i;
    }
    return kept;
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
    for (size_t i = 0; i < length;) {
        // Equal so far, the two are split into the same characters: a double-byte one
        // is compared as it is, both bytes.
        if (CharSize(a + i) == 2) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1]) return 0;
            i += 2;
            continue;
        }
        if (Folded(a[i]) != Folded(b[i])) return 0;
        ++i;
    }
    return 1;
}
