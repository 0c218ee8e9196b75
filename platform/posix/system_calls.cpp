// The library's file calls on POSIX: the layer's own functions, which take a path's bytes
// as they are (the layer's code page is UTF-8, so the library's form is the code page's).
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "../system_calls.h"
#include "../wtf8.h"
#include "fault_hook.h"
#include "layer.h"

namespace {
size_t CopyCut(const char* text, char* out, size_t size) {
    if (size == 0) return 0;
    const size_t length = strnlen(text, size - 1);
    memcpy(out, text, length);
    out[length] = '\0';
    return length;
}
}  // namespace

DWORD FsGetCurrentDirectory(char* buffer) {
    const DWORD length = GetCurrentDirectoryA(kPathBytes, buffer);
    if (length == 0 || length >= kPathBytes) return length;
    if (PathFits(buffer, length)) return static_cast<DWORD>(PathUnits(buffer, length));
    const DWORD units = static_cast<DWORD>(PathUnits(buffer, length));
    memset(buffer, 0, kPathBytes);
    return units;
}

BOOL FsSetCurrentDirectory(const char* path) { return SetCurrentDirectoryA(path); }

HANDLE FsFindFirstFile(const char* pattern, FsEntry* entry) { return qlayer::FindFirstEntry(pattern, entry); }
BOOL FsFindNextFile(HANDLE find, FsEntry* entry) { return qlayer::FindNextEntry(find, entry); }

BOOL FsFindClose(HANDLE find) { return FindClose(find); }
BOOL FsCreateDirectory(const char* path) { return CreateDirectoryA(path, NULL); }
DWORD FsGetFileAttributes(const char* path) { return GetFileAttributesA(path); }

DWORD FsLinkAttributes(const char* path) {
    qlayer::NativePath p;
    struct stat st;
    if (!p.Set(path) || fstatat(p.dir(), p.name(), &st, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    if (S_ISLNK(st.st_mode)) return qlayer::LinkAttributes(p.dir(), p.name());
    // A mount point is a link to a directory too.
    if (S_ISDIR(st.st_mode) && qlayer::IsMountRoot(p.dir(), p.name()))
        return FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
    return 0;
}

BOOL SysRemoveDirectory(const char* path) { return RemoveDirectoryA(path); }
BOOL SysSetFileAttributes(const char* path, DWORD attributes) { return SetFileAttributesA(path, attributes); }
BOOL SysDeleteFile(const char* path) { return DeleteFileA(path); }
BOOL SysMoveFile(const char* from, const char* to) { return MoveFileA(from, to); }
BOOL SysCopyFile(const char* from, const char* to, BOOL failIfExists) { return CopyFileA(from, to, failIfExists); }

void SysPause(DWORD ms) {
    if (qlayer::PauseCounted(ms)) return;
    struct timespec wait = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

int FromCodePage(const char* text, char* out, size_t size) {
    const size_t length = CopyCut(text, out, size);
    return text[length] == '\0';
}

size_t LogText(const char* text, char* out, size_t size) { return CopyCut(text, out, size); }
