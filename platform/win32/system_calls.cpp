// The library's file calls on Windows: the wide functions. Each path is turned from the
// library's form (WTF-8) into UTF-16 at the call, and every listed name back as it is,
// never through the code page: a name the code page cannot spell is reached as any other.
#include <string.h>

#include "../system_calls.h"
#include "wide_path.h"

namespace {
void Copy(const WIN32_FIND_DATAW& found, FsEntry* entry) {
    entry->attributes = found.dwFileAttributes;
    // A name of at most 259 units always fits.
    EncodeWtf8(reinterpret_cast<const uint16_t*>(found.cFileName), wcsnlen(found.cFileName, MAX_PATH - 1),
               entry->name, sizeof entry->name);
}

// Lengths of the code page's characters, for cutting text between them.
size_t CharacterBytes(const char* p) { return IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0' ? 2 : 1; }
}  // namespace

DWORD FsGetCurrentDirectory(char* buffer) {
    WCHAR wide[kPathUnits];
    const DWORD length = GetCurrentDirectoryW(kPathUnits, wide);
    if (length == 0 || length >= kPathUnits) return length;
    EncodeWtf8(reinterpret_cast<const uint16_t*>(wide), length, buffer, kPathBytes);
    return length;
}

BOOL FsSetCurrentDirectory(const char* path) {
    WidePath wide;
    return wide.Set(path) && SetCurrentDirectoryW(wide.text);
}

HANDLE FsFindFirstFile(const char* pattern, FsEntry* entry) {
    WidePath wide;
    if (!wide.Set(pattern)) return INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(wide.text, &found);
    if (find != INVALID_HANDLE_VALUE) Copy(found, entry);
    return find;
}

BOOL FsFindNextFile(HANDLE find, FsEntry* entry) {
    WIN32_FIND_DATAW found;
    if (!FindNextFileW(find, &found)) return FALSE;
    Copy(found, entry);
    return TRUE;
}

BOOL FsFindClose(HANDLE find) { return FindClose(find); }

BOOL FsCreateDirectory(const char* path) {
    WidePath wide;
    return wide.Set(path) && CreateDirectoryW(wide.text, NULL);
}

DWORD FsGetFileAttributes(const char* path) {
    WidePath wide;
    return wide.Set(path) ? GetFileAttributesW(wide.text) : INVALID_FILE_ATTRIBUTES;
}

BOOL SysRemoveDirectory(const char* path) {
    WidePath wide;
    return wide.Set(path) && RemoveDirectoryW(wide.text);
}

BOOL SysSetFileAttributes(const char* path, DWORD attributes) {
    WidePath wide;
    return wide.Set(path) && SetFileAttributesW(wide.text, attributes);
}

BOOL SysDeleteFile(const char* path) {
    WidePath wide;
    return wide.Set(path) && DeleteFileW(wide.text);
}

BOOL SysMoveFile(const char* from, const char* to) {
    WidePath source, destination;
    return source.Set(from) && destination.Set(to) && MoveFileW(source.text, destination.text);
}

BOOL SysCopyFile(const char* from, const char* to, BOOL failIfExists) {
    WidePath source, destination;
    return source.Set(from) && destination.Set(to) && CopyFileW(source.text, destination.text, failIfExists);
}

void SysPause(DWORD ms) { Sleep(ms); }

int FromCodePage(const char* text, char* out, size_t size) {
    if (size == 0) return 0;
    // No character of a code page takes fewer bytes in UTF-8 than in the code page, so
    // text longer than size - 1 bytes cannot fit: only what could is converted.
    size_t length = 0;
    int whole = 1;
    while (text[length] != '\0') {
        const size_t step = CharacterBytes(text + length);
        if (length + step > size - 1 || length + step >= kArgumentBytes) {
            whole = 0;
            break;
        }
        length += step;
    }
    WCHAR wide[kArgumentBytes];
    int count = length == 0 ? 0
                            : MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, static_cast<int>(length), wide,
                                                  kArgumentBytes - 1);
    if (count > 0 || length == 0) {
        return EncodeWtf8(reinterpret_cast<const uint16_t*>(wide), static_cast<size_t>(count), out, size) && whole;
    }
    // Some byte is no character of the code page: character by character, each such one
    // as a byte that is no WTF-8.
    size_t at = 0;
    out[0] = '\0';
    for (size_t i = 0; i < length;) {
        const size_t step = CharacterBytes(text + i);
        WCHAR one[2];
        const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text + i, static_cast<int>(step), one, 2);
        i += step;
        if (units > 0) {
            if (!EncodeWtf8(reinterpret_cast<const uint16_t*>(one), static_cast<size_t>(units), out + at, size - at))
                return 0;
            at += strlen(out + at);
        } else {
            if (at + 1 >= size) return 0;
            out[at++] = '\xFF';
            out[at] = '\0';
        }
    }
    return whole;
}

size_t LogText(const char* text, char* out, size_t size) {
    if (size == 0) return 0;
    // Every unit gives at least one byte, so size - 1 of them are all that can show.
    const size_t kUnits = 1024;
    const UINT codePage = GetACP();
    WCHAR wide[kUnits];
    const size_t units = DecodeWtf8ForDisplay(text, reinterpret_cast<uint16_t*>(wide), size < kUnits ? size : kUnits,
                                              codePage == CP_UTF8);
    char bytes[4 * kUnits];
    int length = 0;
    if (units > 0) {
        // Never the best-fit look-alike ("a" for "ä"), which could name another file.
        const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
        length = WideCharToMultiByte(codePage, flags, wide, static_cast<int>(units), bytes, sizeof bytes,
                                     codePage == CP_UTF8 ? NULL : "?", NULL);
    }
    size_t written = length > 0 ? static_cast<size_t>(length) : 0;
    if (written > size - 1) written = size - 1;
    memcpy(out, bytes, written);
    out[written] = '\0';
    return written;
}
