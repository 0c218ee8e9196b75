// Internals shared by the POSIX layer's sources: native paths, the errno to Win32 code
// mapping, and the registry of streams the layer holds open.
#pragma once

#include <limits.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "winapi.h"

// Codes the layer sets that the public header has no name for.
#define QLAYER_ERROR_INVALID_HANDLE 6
#define QLAYER_ERROR_FILE_EXISTS 80

namespace qlayer {

// A caller's path with every backslash turned into a slash, in a fixed buffer.
class NativePath {
public:
    // False (last error set) for a null, empty or over-long path.
    bool Set(const char* path);
    const char* c_str() const { return buf_; }
    size_t size() const { return len_; }

private:
    char buf_[PATH_MAX];
    size_t len_ = 0;
};

// Sets the last error and returns FALSE, for `return Fail(...)` in BOOL functions.
BOOL Fail(DWORD code);
// The Win32 code for errno values whose meaning does not depend on the path.
DWORD CodeForErrno(int err);
// As above, but ENOENT and ENOTDIR are told apart by the path's parent: a missing name in
// an existing directory is 2 and a file met as the last component is 267; anything wrong
// further up is 3.
DWORD CodeForPathErrno(int err, const char* path);
inline BOOL FailErrno(int err) { return Fail(CodeForErrno(err)); }
inline BOOL FailPathErrno(int err, const char* path) { return Fail(CodeForPathErrno(err, path)); }

// The last component of a path, trailing slashes left out, as [*begin, *begin + length).
size_t LastComponent(const char* path, const char** begin);
// Whether the n bytes at s are all ASCII, and none of them NUL.
bool PlainAscii(const char* s, size_t n);
// Whether a and b hold the same n bytes, ignoring ASCII case.
bool SameFolded(const char* a, const char* b, size_t n);
// The attribute word of an entry whose lstat is st, as a listing and GetFileAttributesA
// give it: name is taken from dirFd (AT_FDCWD for a path), for a link's target.
DWORD AttributesOf(int dirFd, const char* name, const struct stat& st);

// Streams opened by OpenTextStream, by device and inode. Deleting, moving or replacing one
// of them fails with ERROR_SHARING_VIOLATION, as it does on Windows where the runtime
// opens files without delete sharing.
constexpr int kOpenStreamSlots = 16;
// path is the one the stream was opened with, st its fstat. False when every slot is taken.
bool RegisterOpenStream(const char* path, const struct stat& st);
void UnregisterOpenStream(dev_t dev, ino_t ino);
bool AnyOpenStream();
bool IsOpenStream(const struct stat& st);
// Whether path might name an open stream, decided from its last component alone, so
// that a move needs no lstat of its source unless the answer is yes. A file's names
// change only by a rename or a link, and the layer refuses to rename an open stream;
// so, unless something outside the library renames or links an open stream while it is
// open, an open stream is only ever reached through the last component it was opened
// by. Compared ignoring ASCII case (case-folding file systems); a name with any other
// byte, a stream with more than one link, and a stream name that is not plain ASCII
// always answer yes.
bool MayBeOpenStream(const char* path);

// The entry a listing handed out last, with the lstat taken as it was handed out. The
// walks handle each file they meet at once (make it writable, delete it), so the call
// right after the listing on that bare name can use this instead of an lstat of its own.
// Any call that changes the file system or the current directory forgets it.
//   RecentEntryStat: true, with st filled, when path is that bare name and the current
//   directory is still the listed one (asked of the kernel once after each change).
bool RecentEntryStat(const char* path, struct stat* st);
void UpdateRecentEntryMode(mode_t mode);  // after the caller changed the mode itself
void ForgetRecentEntry();
void CurrentDirectoryChanged();  // by SetCurrentDirectoryA: the listed one may not be it

// The current directory. Windows holds it open without delete sharing, so removing or
// moving it fails with ERROR_SHARING_VIOLATION; the layer refuses the same.
//   IsCurrentDirectory: whether path (a link not followed) is the current directory
//   itself, by device and inode. st is path's lstat when the caller has one, else null.
//   MayBeCurrentDirectory: false when path cannot be it, decided from the last component
//   alone so that a move needs no system call. A directory has one name (a mount point,
//   reachable by others, refuses removal and renaming anyway), so only a path ending in
//   the current directory's own name (ignoring ASCII case), in "." or "..", or in a name
//   that is not plain ASCII can reach it; a bare name is one of its entries, never itself.
//   The name is learnt when GetCurrentDirectoryA reads the directory, or with one getcwd
//   at the first question after SetCurrentDirectoryA. A chdir made around the layer is
//   seen at the next GetCurrentDirectoryA, which every export calls first; until then,
//   after another process renames the directory, or when it was entered through a bind
//   mount and is moved by its other name, a move of it can be missed.
//   KnowCurrentDirectory: what getcwd just gave; ForgetCurrentDirectory: it changed.
bool IsCurrentDirectory(const char* path, const struct stat* st);
bool MayBeCurrentDirectory(const char* path);
void KnowCurrentDirectory(const char* cwd);
void ForgetCurrentDirectory();

// The listing of FindFirstFileA and FindNextFileA, filling only what the library's file
// calls read (files.h): the same entries, fault seam and recent entry.
HANDLE FindFirstEntry(const char* pattern, struct FsEntry* entry);
BOOL FindNextEntry(HANDLE handle, struct FsEntry* entry);

// The list reader's underlying read size. CR LF pairs split by this edge are still joined.
constexpr size_t kListReadChunk = 4096;

}  // namespace qlayer
