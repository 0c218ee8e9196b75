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

// Streams opened by OpenTextStream, by device and inode. Deleting, moving or replacing one
// of them fails with ERROR_SHARING_VIOLATION, as it does on Windows where the runtime
// opens files without delete sharing.
constexpr int kOpenStreamSlots = 16;
bool RegisterOpenStream(dev_t dev, ino_t ino);  // false when every slot is taken
void UnregisterOpenStream(dev_t dev, ino_t ino);
bool AnyOpenStream();
bool IsOpenStream(const struct stat& st);

// The list reader's underlying read size. CR LF pairs split by this edge are still joined.
constexpr size_t kListReadChunk = 4096;

}  // namespace qlayer
