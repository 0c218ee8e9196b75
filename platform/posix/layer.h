// Internals shared by the POSIX layer's sources: native paths, the errno to Win32 code
// mapping, and the registry of streams the layer holds open.
#pragma once

#include <limits.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "../confine.h"
#include "winapi.h"

// Codes the layer sets that the public header has no name for.
#define QLAYER_ERROR_INVALID_HANDLE 6
#define QLAYER_ERROR_FILE_EXISTS 80

namespace qlayer {

// A caller's path as the layer's system calls take it: the directory that holds its last
// component and that component, for the *at calls. During an exported call the directory
// is one the confinement holds and the name a single level (platform/confine.h); outside
// one the directory is AT_FDCWD and the name the whole path as given, every backslash
// turned into a slash.
class NativePath {
public:
    // False (last error set) for a null, empty or over-long path, or one that cannot be
    // resolved (a level missing, a link on the way).
    bool Set(const char* path) { return ConfineResolve(path, &r_) != FALSE; }
    // The whole path as a directory to enter: dir() is that directory, name() ".".
    bool SetDirectory(const char* path) { return ConfineResolveDirectory(path, &r_) != FALSE; }
    int dir() const { return static_cast<int>(r_.dir); }
    const char* name() const { return r_.name; }
    // Whether the path was resolved: name() is then one level, inside a directory held.
    bool held() const { return r_.dir != kSysGiven; }
    const Resolved& resolved() const { return r_; }
    // Whether name() is an entry of the current directory (so never the directory itself).
    bool InCurrentDirectory() const;
    // The Win32 code of a system call on this path that failed with err: 2 and 267 for the
    // last component, 3 for a level of the way, 4395 for a link the call would follow.
    DWORD Code(int err) const;

private:
    Resolved r_;
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
// The attribute word of the link name in dirFd: a reparse point, and a directory when what
// it leads to is one.
DWORD LinkAttributes(int dirFd, const char* name);

// Whether the entry name in dirFd (not followed), or the open descriptor dirFd itself
// when name is "", is the root of a mount: another file system's tree, or another place
// of this one, put there. It counts as a link: never entered, passed or opened.
bool IsMountRoot(int dirFd, const char* name);
// Opens p's file for its content (a copy's or a move's source, a text stream), never
// blocking (a FIFO, a device, a file under another program's lease), never through a
// link or a mount root when p is held, and only a regular file; when p is held and
// unshared is asked, one that other names share is refused too (such a name may be
// another user's link to a file outside). -1 with the last error set; st from the
// descriptor itself.
int OpenRegular(const NativePath& p, int flags, mode_t mode, bool unshared, struct stat* st);

// fsync through interruptions, counted when the system confirms it (SysFlushMade). False
// with errno.
bool Sync(int fd);

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

// The entry a listing handed out last, and what the listing learnt of it. The walks handle
// each file they meet at once (make it writable, delete it), so the calls right after the
// listing on that bare name can use this instead of asking the kernel again. Any call that
// changes the file system or the current directory forgets it.
//   RecentEntry: true, with info filled, when path is that bare name and the current
//   directory is still the listed one (asked of the kernel once after each change).
//   info.statted tells whether the listing took its lstat (st); else only its type (a
//   DT_ value) and inode are known, from the directory itself.
//   DeferNormalAttributes: the entry, a regular file, is to be made writable. A deletion
//   right after needs no mode, so nothing is done unless the next call is another:
//   ForgetRecentEntry makes it writable then, as the call asked.
struct RecentInfo {
    bool statted;
    bool madeNormal;  // a deferred SetFileAttributesA(FILE_ATTRIBUTE_NORMAL) is pending
    unsigned char type;
    dev_t dev;
    ino_t ino;
    struct stat st;
};
bool RecentEntry(const char* path, RecentInfo* info);
void DeferNormalAttributes();
void UpdateRecentEntryMode(mode_t mode);  // after the caller changed the mode itself
void ForgetRecentEntry();
void DropRecentEntry();  // the entry is gone: whatever was deferred is moot
void CurrentDirectoryChanged();  // by SetCurrentDirectoryA: the listed one may not be it

// The current directory. Windows holds it open without delete sharing, so removing or
// moving it fails with ERROR_SHARING_VIOLATION; the layer refuses the same.
//   IsCurrentDirectory: whether path (a link not followed) is the current directory
//   itself, by device and inode. st is path's lstat when the caller has one, else null.
//   MayBeCurrentDirectory: false when path cannot be it, decided without a system call. A
//   directory has one name (a mount point, reachable by others, refuses removal and
//   renaming anyway), so only a path ending in the current directory's own name (ignoring
//   ASCII case), in "." or "..", or in a name that is not plain ASCII can reach it; an
//   entry of the current directory is never it.
//   The name is learnt when GetCurrentDirectoryA reads the directory or a confined call
//   enters one, or with one getcwd at the first question after a plain SetCurrentDirectoryA.
//   A chdir made around the layer is seen at the next GetCurrentDirectoryA, which every
//   export calls first; until then, after another process renames the directory, or when
//   it was entered through a bind mount and is moved by its other name, a move of it can
//   be missed.
//   KnowCurrentDirectory: what getcwd just gave; ForgetCurrentDirectory: it changed.
bool IsCurrentDirectory(const NativePath& path, const struct stat* st);
bool MayBeCurrentDirectory(const NativePath& path);
void KnowCurrentDirectory(const char* cwd);
void ForgetCurrentDirectory();

// The listing of FindFirstFileA and FindNextFileA, filling only what the library's file
// calls read (files.h): the same entries, fault seam and recent entry.
HANDLE FindFirstEntry(const char* pattern, struct FsEntry* entry);
BOOL FindNextEntry(HANDLE handle, struct FsEntry* entry);

// The list reader's underlying read size. CR LF pairs split by this edge are still joined.
constexpr size_t kListReadChunk = 4096;

}  // namespace qlayer
