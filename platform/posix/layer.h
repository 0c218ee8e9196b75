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

// The list reader's underlying read size. CR LF pairs split by this edge are still joined.
constexpr size_t kListReadChunk = 4096;

}  // namespace qlayer
