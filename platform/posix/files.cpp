// Current directory, directories, attributes, deletion, moves and copies. Every call names
// its file by a directory and a name in it (NativePath) and acts through the *at system
// calls: during an exported call the directory is one the confinement holds, reached
// without a link, and the name one level (platform/confine.h); outside a call it is
// AT_FDCWD and the path as given.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "../system_calls.h"
#include "fault_hook.h"
#include "layer.h"

using qlayer::Fail;
using qlayer::FailErrno;
using qlayer::FaultHook;
using qlayer::NativePath;

namespace {

// What removing, deleting or moving the root of a mount fails with: the layer never
// unmounts what another program put there (Windows removes a mount point as a link; here
// only its owner can), and no waiting changes that.
constexpr DWORD kMountedHere = ERROR_ACCESS_DENIED;

// A failure on the destination side of a two-path call: by then the source is known to
// exist, so whatever is missing is a directory of the destination.
BOOL FailDestination(int err) {
    if (err == ENOENT || err == ENOTDIR) return Fail(ERROR_PATH_NOT_FOUND);
    if (err == ELOOP) return Fail(ERROR_REPARSE_POINT_ENCOUNTERED);
    return FailErrno(err);
}

int StatAt(const NativePath& p, struct stat* st) { return fstatat(p.dir(), p.name(), st, AT_SYMLINK_NOFOLLOW); }

// The place of a file beside p: in the directory held, or, for a path as given, in its
// directory part. out: the name to use with p.dir(), for leaf (null: the directory itself).
bool Beside(const NativePath& p, const char* leaf, char* out, size_t cap) {
    const char* name = p.name();
    const char* slash = p.held() ? nullptr : strrchr(name, '/');
    const int dirLen = slash != nullptr ? static_cast<int>(slash - name + 1) : 0;
    int len;
    if (leaf == nullptr)
        len = dirLen > 0 ? snprintf(out, cap, "%.*s", dirLen, name) : snprintf(out, cap, ".");
    else
        len = snprintf(out, cap, "%.*s%s", dirLen, name, leaf);
    if (len < 0 || static_cast<size_t>(len) >= cap) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

// rename without replacing an existing destination. Where the file system cannot say
// "no replace" the fallback is link + unlink for anything but a directory, which cannot
// replace either; a directory gets a check and a plain rename.
int RenameNoReplace(int fromDir, const char* from, int toDir, const char* to, bool fromIsDir) {
    if (renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (!fromIsDir) {
        if (linkat(fromDir, from, toDir, to, 0) == 0) {
            if (unlinkat(fromDir, from, 0) == 0) return 0;
            int err = errno;
            unlinkat(toDir, to, 0);
            errno = err;
            return -1;
        }
        if (errno != EPERM && errno != EOPNOTSUPP) return -1;  // no hard links here
    }
    struct stat st;
    if (fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    if (errno != ENOENT) return -1;
    return renameat(fromDir, from, toDir, to);
}

// The directory that holds p's last component.
bool StatParent(const NativePath& p, struct stat* st) {
    if (p.held()) return (strcmp(p.name(), ".") == 0 ? fstatat(p.dir(), "..", st, 0) : fstat(p.dir(), st)) == 0;
    char parent[PATH_MAX];
    return Beside(p, nullptr, parent, sizeof parent) && fstatat(p.dir(), parent, st, 0) == 0;
}

// Whether two paths reach the same directory entry however they spell it ("..", ".",
// doubled separators, a link to a directory on the way): the same file, and, when it
// has more than one link, under the same name in the same directory. Moving such a file
// onto "itself" renames it to its own name, which Windows does without complaint; it
// must never look like an existing destination, which the library deletes to make room.
bool SameEntry(const NativePath& from, const NativePath& to) {
    struct stat a, b;
    if (StatAt(from, &a) != 0 || StatAt(to, &b) != 0) return false;
    if (a.st_dev != b.st_dev || a.st_ino != b.st_ino) return false;
    if (a.st_nlink == 1 || S_ISDIR(a.st_mode)) return true;
    const char* fromName;
    const char* toName;
    const size_t fromLen = qlayer::LastComponent(from.name(), &fromName);
    const size_t toLen = qlayer::LastComponent(to.name(), &toName);
    if (fromLen != toLen || memcmp(fromName, toName, fromLen) != 0) return false;
    return StatParent(from, &a) && StatParent(to, &b) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A temporary name beside `beside`, created by `make(dir, name)` (which returns 0 or -1
// with errno); out receives the name to use with beside.dir(). Names that happen to exist
// are skipped.
template <typename Make>
int MakeTempBeside(const NativePath& beside, char* out, size_t cap, Make make) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 32; ++attempt) {
        unsigned n = counter.fetch_add(1, std::memory_order_relaxed);
        char leaf[64];
        snprintf(leaf, sizeof leaf, ".quisel-%d-%u.tmp", static_cast<int>(getpid()), n);
        if (!Beside(beside, leaf, out, cap)) return -1;
        int rc = make(beside.dir(), out);
        if (rc >= 0 || errno != EEXIST) return rc;
    }
    return -1;
}

// Copies `size` bytes from in to out, both at their current offsets.
bool CopyBytes(int in, int out, off_t size) {
    off_t left = size;
    while (left > 0) {
        ssize_t n = copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
        if (n > 0) {
            left -= n;
            continue;
        }
        if (n == 0) return true;  // the source shrank meanwhile
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
        break;  // this pair of file systems needs plain reads and writes
    }
    char buf[16384];
    while (left > 0) {
        size_t want = left < static_cast<off_t>(sizeof buf) ? static_cast<size_t>(left) : sizeof buf;
        ssize_t got = read(in, buf, want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        for (ssize_t done = 0; done < got;) {
            ssize_t put = write(out, buf + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) return false;
            done += put;
        }
        left -= got;
    }
    return true;
}

// Gives the copy in `out` the source's mode and, when asked, its times.
bool FinishCopy(int out, const struct stat& st, bool keepTimes) {
    if (fchmod(out, st.st_mode & 07777) != 0) return false;
    if (!keepTimes) return true;
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    return futimens(out, times) == 0;
}

// Makes what was written through fd durable: for a file its data, for a directory the
// names made in it (and, on a journaling file system, every name operation before them).
// kind: FAULT_FLUSH_DATA or FAULT_FLUSH_NAMES, for the test seam.
bool Flush(int fd, uint32_t kind) {
    if (FaultHook(FAULT_FlushFile)) {
        errno = EIO;
        return false;
    }
    return qlayer::FlushSkipped(kind) || qlayer::Sync(fd);
}

// Makes the name of `to` durable, by a flush of the directory that holds it.
bool FlushName(const NativePath& to) {
    char dir[PATH_MAX];
    if (!Beside(to, nullptr, dir, sizeof dir)) return false;
    const int fd = openat(to.dir(), dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = Flush(fd, FAULT_FLUSH_NAMES);
    const int err = errno;
    close(fd);
    errno = err;
    return ok;
}

// Whether a failed open of an unnamed file means the file system (or the kernel, EISDIR)
// offers none, rather than a reason a named file would meet as well.
bool NoUnnamedFiles(int err) {
    return err == EOPNOTSUPP || err == EISDIR || err == EINVAL;
}

// An unnamed file in the directory of `to`, or -1 with errno. Only where /proc lets it be
// named later: the other way, linking the descriptor itself, needs a capability.
int OpenUnnamedBeside(const NativePath& to) {
    static std::atomic<int> procFds{0};  // 0 not known yet, 1 there, 2 not
    if (procFds.load(std::memory_order_relaxed) == 0)
        procFds.store(access("/proc/self/fd", X_OK) == 0 ? 1 : 2, std::memory_order_relaxed);
    if (qlayer::UnnamedFilesRefused() || procFds.load(std::memory_order_relaxed) != 1) {
        errno = EOPNOTSUPP;
        return -1;
    }
    char dir[PATH_MAX];
    if (!Beside(to, nullptr, dir, sizeof dir)) return -1;
    return openat(to.dir(), dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
}

// Gives the unnamed file `fd` the name `name` in dir; an existing one fails with EEXIST.
int NameUnnamed(int fd, int dir, const char* name) {
    char self[32];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, self, dir, name, AT_SYMLINK_FOLLOW);
}

// Puts a copy of the open regular file `in` (described by st) at `to`, with the source's
// mode and, when asked, its times. The copy is built in an unnamed file beside `to` and
// named only once whole, so a copy cut short at any moment (a full disk, a kill) leaves
// no file behind. Where the file system has no unnamed files it is built under a
// temporary name instead, removed on failure. A temporary name also serves, between two
// calls, to replace an existing `to`. replace: an existing `to` is replaced (a copy);
// else the copy fails with EEXIST (a move). False with errno.
//
// A power cut keeps no data that was not flushed, while names reach the disk by
// themselves: the copy's data is made durable before it gets its name, so the name never
// leads to a copy that is not whole. Its name is made durable before the call returns only
// when the source is on another file system: a journaling file system keeps the order of
// the name operations of one volume, so there the deletion or replacement of the source
// that may follow cannot reach the disk before the name, while another volume keeps no
// order with it (README: Durability).
bool PlaceCopy(int in, const struct stat& st, const NativePath& to, bool keepTimes, bool replace) {
    char temp[PATH_MAX] = "";
    int out = OpenUnnamedBeside(to);
    const bool unnamed = out >= 0;
    if (!unnamed) {
        if (!NoUnnamedFiles(errno)) return false;
        if (MakeTempBeside(to, temp, sizeof temp, [&out](int dir, const char* name) {
                out = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
                return out;
            }) < 0)
            return false;
    }
    struct stat placed;
    bool ok = fstat(out, &placed) == 0 && CopyBytes(in, out, st.st_size) && FinishCopy(out, st, keepTimes) &&
              Flush(out, FAULT_FLUSH_DATA);
    const bool otherVolume = ok && placed.st_dev != st.st_dev;
    if (ok && unnamed && NameUnnamed(out, to.dir(), to.name()) != 0) {
        ok = errno == EEXIST && replace &&
             MakeTempBeside(to, temp, sizeof temp,
                            [out](int dir, const char* name) { return NameUnnamed(out, dir, name); }) == 0;
        if (!ok) temp[0] = '\0';  // a name met there is somebody else's
    }
    int err = errno;
    // A named file's close may still report a write error; an unnamed one's writes have.
    if (close(out) != 0 && ok && !unnamed) {
        ok = false;
        err = errno;
    }
    if (ok && temp[0] != '\0' &&
        (replace ? renameat(to.dir(), temp, to.dir(), to.name())
                 : RenameNoReplace(to.dir(), temp, to.dir(), to.name(), false)) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok && temp[0] != '\0') unlinkat(to.dir(), temp, 0);
    if (ok && otherVolume && !FlushName(to)) {
        ok = false;
        err = errno;
        if (!replace) unlinkat(to.dir(), to.name(), 0);  // a move's copy must not outlive the failed move
    }
    errno = err;
    return ok;
}

// A file moved to another file system: copied beside the destination, put in place
// without replacing, and only then the source removed. Any failure undoes what was made.
BOOL MoveAcrossFileSystems(const NativePath& from, const NativePath& to, const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        ssize_t len = readlinkat(from.dir(), from.name(), target, sizeof target);
        if (len < 0) return FailErrno(errno);
        if (static_cast<size_t>(len) >= sizeof target) return Fail(ERROR_FILENAME_EXCED_RANGE);
        target[len] = '\0';
        // A link is made whole by one call, which never replaces an existing name; its name
        // is durable before the source, on another volume, goes.
        if (symlinkat(target, to.dir(), to.name()) != 0) return FailDestination(errno);
        if (!FlushName(to)) {
            const int err = errno;
            unlinkat(to.dir(), to.name(), 0);
            return FailErrno(err);
        }
    } else if (S_ISREG(st.st_mode)) {
        // A name already there fails the move before the file is copied and flushed for
        // nothing (the link below still refuses one that appears meanwhile).
        struct stat there;
        if (StatAt(to, &there) == 0) return Fail(ERROR_ALREADY_EXISTS);
        // The source is the file looked at: were a link put in its place, it is not followed.
        struct stat now;
        const int in = qlayer::OpenRegular(from, O_RDONLY | O_NOFOLLOW, 0, false, &now);
        if (in < 0) return FALSE;
        bool ok = PlaceCopy(in, now, to, true, false);
        int err = errno;
        close(in);
        if (!ok) return FailDestination(err);
    } else {
        return Fail(ERROR_ACCESS_DENIED);  // devices, pipes and sockets have no Windows counterpart
    }
    if (unlinkat(from.dir(), from.name(), 0) != 0) {
        int err = errno;
        unlinkat(to.dir(), to.name(), 0);  // the source stays whole; the copy must not outlive the failed move
        return FailErrno(err);
    }
    return TRUE;
}

// Resolves both paths of a two-path call. When the destination cannot be resolved, a
// missing source is reported first, as Windows does.
bool SetBoth(NativePath& from, LPCSTR existing, NativePath& to, LPCSTR target) {
    if (!from.Set(existing)) return false;
    if (to.Set(target)) return true;
    const DWORD code = GetLastError();
    struct stat st;
    if (StatAt(from, &st) != 0) return Fail(from.Code(errno));
    return Fail(code);
}

}  // namespace

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    if (FaultHook(FAULT_GetCurrentDirectoryA)) return 0;
    if (ConfineActive()) {
        // The directory the call entered, by the path it was entered by: the way it came.
        const char* text;
        size_t len;
        if (!ConfineCurrentText(&text, &len)) return 0;
        if (text == nullptr || buffer == nullptr || len + 1 > size) return static_cast<DWORD>(len + 1);
        memcpy(buffer, text, len + 1);
        qlayer::KnowCurrentDirectory(text);
        return static_cast<DWORD>(len);
    }
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        Fail(qlayer::CodeForErrno(errno));
        return 0;
    }
    qlayer::KnowCurrentDirectory(cwd);
    size_t len = strlen(cwd);
    if (buffer == nullptr || len + 1 > size) return static_cast<DWORD>(len + 1);  // buffer untouched
    memcpy(buffer, cwd, len + 1);
    return static_cast<DWORD>(len);
}

BOOL SetCurrentDirectoryA(LPCSTR path) {
    qlayer::CurrentDirectoryChanged();
    qlayer::ForgetCurrentDirectory();
    if (FaultHook(FAULT_SetCurrentDirectoryA)) return FALSE;
    NativePath p;
    if (!p.SetDirectory(path)) return FALSE;
    if (p.held()) return ConfineEnter(p.resolved());
    if (chdir(p.name()) != 0) return Fail(p.Code(errno));
    return TRUE;
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    qlayer::ForgetRecentEntry();
    if (FaultHook(FAULT_CreateDirectoryA)) return FALSE;
    NativePath p;
    if (!p.Set(path)) return FALSE;
    if (mkdirat(p.dir(), p.name(), 0777) != 0) return Fail(p.Code(errno));
    return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR path) {
    qlayer::ForgetRecentEntry();
    if (FaultHook(FAULT_RemoveDirectoryA)) return FALSE;
    NativePath p;
    if (!p.Set(path)) return FALSE;
    // The current directory, however spelled (rmdir alone refuses only ".", with EINVAL).
    // An entry of it is never itself; any other path is looked at: removals are few, so
    // the remembered name that spares moves a look is not needed here.
    if (!p.InCurrentDirectory() && qlayer::IsCurrentDirectory(p, nullptr)) return Fail(ERROR_SHARING_VIOLATION);
    ConfineRelease(p.resolved(), nullptr);
    if (unlinkat(p.dir(), p.name(), AT_REMOVEDIR) == 0) return TRUE;
    int err = errno == EEXIST ? ENOTEMPTY : errno;  // POSIX lets rmdir say either
    if (err == EBUSY && qlayer::IsMountRoot(p.dir(), p.name())) return Fail(kMountedHere);
    if (err == ENOTDIR) {
        // A link to a directory is removed as the link, never its target, as Windows does.
        struct stat own, target;
        if (StatAt(p, &own) == 0 && S_ISLNK(own.st_mode) && fstatat(p.dir(), p.name(), &target, 0) == 0 &&
            S_ISDIR(target.st_mode)) {
            if (unlinkat(p.dir(), p.name(), 0) == 0) return TRUE;
            err = errno;
        }
    }
    return Fail(p.Code(err));
}

DWORD GetFileAttributesA(LPCSTR path) {
    if (FaultHook(FAULT_GetFileAttributesA)) return INVALID_FILE_ATTRIBUTES;
    NativePath p;
    if (!p.Set(path)) return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (StatAt(p, &st) != 0) {
        Fail(p.Code(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    return qlayer::AttributesOf(p.dir(), p.name(), st);
}

namespace {

// A call on a listed entry that the test seam fails: the entry's remembered state may no
// longer hold for whatever comes next.
bool FaultOnEntry(FaultFn fn) {
    if (!FaultHook(fn)) return false;
    qlayer::ForgetRecentEntry();
    return true;
}

// What the listing knew of p, when p is the entry it handed out last.
bool Recent(const NativePath& p, qlayer::RecentInfo* info) {
    return p.InCurrentDirectory() && qlayer::RecentEntry(p.name(), info);
}

}  // namespace

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
    if (FaultOnEntry(FAULT_SetFileAttributesA)) return FALSE;
    NativePath p;
    if (!p.Set(path)) return FALSE;
    qlayer::RecentInfo info;
    const bool recent = Recent(p, &info);
    if (recent && !info.statted && info.type == DT_REG && !(attributes & FILE_ATTRIBUTE_READONLY)) {
        // A walk's file about to be deleted: the deletion needs no mode (deferred, see layer.h).
        qlayer::DeferNormalAttributes();
        return TRUE;
    }
    struct stat st;
    if (recent && info.statted) {
        st = info.st;
    } else {
        qlayer::ForgetRecentEntry();
        if (StatAt(p, &st) != 0) return Fail(p.Code(errno));
    }
    if (S_ISLNK(st.st_mode)) return TRUE;  // a link has no attributes of its own to change
    // A file that other names share keeps its attributes: they are the other names' too,
    // perhaps a file outside the tree. Its deletion removes this name alone (DeleteFileA).
    if (!S_ISDIR(st.st_mode) && st.st_nlink > 1) return TRUE;
    // Only read-only has a POSIX meaning: the owner's write permission.
    mode_t mode = st.st_mode & 07777;
    mode_t want = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH))
                                                          : (mode | S_IWUSR);
    if (want != mode) {
        // Never through a link, were one put in the file's place meanwhile.
        if (fchmodat(p.dir(), p.name(), want, AT_SYMLINK_NOFOLLOW) != 0) {
            const int err = errno;
            qlayer::ForgetRecentEntry();
            if (err == EOPNOTSUPP) return TRUE;  // it is a link now
            return Fail(p.Code(err));
        }
        if (recent) qlayer::UpdateRecentEntryMode(want);  // still right for a deletion next
    }
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
    if (FaultOnEntry(FAULT_DeleteFileA)) return FALSE;
    NativePath p;
    if (!p.Set(path)) return FALSE;
    qlayer::RecentInfo info;
    const bool recent = Recent(p, &info);
    if (recent && !info.statted) {
        // What the directory itself told of the entry, and the mode made normal just before.
        if (info.type == DT_DIR) {
            qlayer::ForgetRecentEntry();
            return Fail(ERROR_ACCESS_DENIED);
        }
        struct stat id;
        id.st_dev = info.dev;
        id.st_ino = info.ino;
        if (info.type == DT_REG && qlayer::IsOpenStream(id)) {
            qlayer::ForgetRecentEntry();
            return Fail(ERROR_SHARING_VIOLATION);
        }
        if (info.type == DT_LNK || info.madeNormal) {
            if (unlinkat(p.dir(), p.name(), 0) == 0) {
                qlayer::DropRecentEntry();  // gone: nothing deferred is left to do
                return TRUE;
            }
            const int err = errno;
            qlayer::ForgetRecentEntry();
            return Fail(p.Code(err));
        }
    }
    struct stat st;
    bool found;
    if (recent && info.statted) {
        st = info.st;
        found = true;
    } else {
        qlayer::ForgetRecentEntry();
        found = StatAt(p, &st) == 0;
    }
    qlayer::ForgetRecentEntry();  // whatever happens next, the entry is not as listed
    if (!found) return Fail(p.Code(errno));
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if (!S_ISLNK(st.st_mode)) {
        if (qlayer::IsOpenStream(st)) return Fail(ERROR_SHARING_VIOLATION);
        // Read-only, as Windows refuses; a name of a shared file goes all the same, since
        // its attributes are left to its other names.
        if (!(st.st_mode & S_IWUSR) && st.st_nlink == 1) return Fail(ERROR_ACCESS_DENIED);
    }
    if (unlinkat(p.dir(), p.name(), 0) == 0) return TRUE;
    const int err = errno;
    if (err == EBUSY && qlayer::IsMountRoot(p.dir(), p.name())) return Fail(kMountedHere);
    return Fail(p.Code(err));
}

BOOL MoveFileA(LPCSTR existing, LPCSTR target) {
    qlayer::ForgetRecentEntry();
    if (FaultHook(FAULT_MoveFileA)) return FALSE;
    NativePath from, to;
    if (!from.Set(existing)) return FALSE;
    // Windows opens the source before it looks for the destination: what is wrong with the
    // source (missing, held open) is told first.
    const bool toResolved = to.Set(target);
    const DWORD toCode = toResolved ? ERROR_SUCCESS : GetLastError();
    struct stat st;
    bool haveStat = false;
    // The source is only looked at when its name might be that of an open stream or of
    // the current directory (both held open by Windows), or when the rename's outcome
    // needs it.
    if (!toResolved || qlayer::MayBeOpenStream(from.name())) {
        if (StatAt(from, &st) != 0) return Fail(from.Code(errno));
        haveStat = true;
        if (!S_ISLNK(st.st_mode) && qlayer::IsOpenStream(st)) return Fail(ERROR_SHARING_VIOLATION);
    }
    if (qlayer::MayBeCurrentDirectory(from) && qlayer::IsCurrentDirectory(from, haveStat ? &st : nullptr))
        return Fail(ERROR_SHARING_VIOLATION);
    if (!toResolved) return Fail(toCode);
    ConfineRelease(from.resolved(), &to.resolved());
    if (renameat2(from.dir(), from.name(), to.dir(), to.name(), RENAME_NOREPLACE) == 0) return TRUE;
    int err = errno;
    if (err == EEXIST || err == ENOTEMPTY) {
        if (SameEntry(from, to)) return TRUE;
        return Fail(ERROR_ALREADY_EXISTS);
    }
    if (!haveStat) {
        if (StatAt(from, &st) != 0) return Fail(from.Code(errno));  // a missing source first
        haveStat = true;
    }
    switch (err) {
    case ENOENT:
    case ENOTDIR: return Fail(ERROR_PATH_NOT_FOUND);
    case EXDEV:
        if (S_ISDIR(st.st_mode)) return Fail(ERROR_NOT_SAME_DEVICE);
        return MoveAcrossFileSystems(from, to, st);
    case EINVAL:
    case ENOSYS:
        // No RENAME_NOREPLACE on this file system (or a directory moved into itself,
        // which the plain rename reports again).
        if (RenameNoReplace(from.dir(), from.name(), to.dir(), to.name(), S_ISDIR(st.st_mode)) == 0) return TRUE;
        if (errno == EEXIST && SameEntry(from, to)) return TRUE;
        if (errno == EXDEV) {
            if (S_ISDIR(st.st_mode)) return Fail(ERROR_NOT_SAME_DEVICE);
            return MoveAcrossFileSystems(from, to, st);
        }
        return FailDestination(errno);
    case EBUSY:
        if (qlayer::IsMountRoot(from.dir(), from.name())) return Fail(kMountedHere);
        return FailErrno(err);
    default: return FailErrno(err);
    }
}

BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists) {
    qlayer::ForgetRecentEntry();
    if (FaultHook(FAULT_CopyFileA)) return FALSE;
    NativePath from, to;
    if (!SetBoth(from, existing, to, target)) return FALSE;
    // A copy confined to its bases reads no file through a link, nor writes one through a
    // link; what it copies (a list, the marker) is a regular file of the tree's own, never
    // one that another name shares, which could be a link to a file the caller may not
    // show. Windows copies no directory.
    struct stat st;
    const int in = qlayer::OpenRegular(from, O_RDONLY, 0, true, &st);
    if (in < 0) return FALSE;
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closeIn{in};
    struct stat old;
    if (StatAt(to, &old) == 0) {
        if (failIfExists) return Fail(QLAYER_ERROR_FILE_EXISTS);
        if (S_ISLNK(old.st_mode) && to.held()) return Fail(ERROR_REPARSE_POINT_ENCOUNTERED);
        // The source itself under another spelling: Windows cannot open it for writing
        // while it is open as the source. Copying it "over itself" must fail, or a move
        // made of a copy and a delete would delete the only copy.
        if (old.st_dev == st.st_dev && old.st_ino == st.st_ino) return Fail(ERROR_SHARING_VIOLATION);
        if (S_ISDIR(old.st_mode)) return Fail(ERROR_ACCESS_DENIED);
        if (!S_ISLNK(old.st_mode)) {
            if (qlayer::IsOpenStream(old)) return Fail(ERROR_SHARING_VIOLATION);
            if (!(old.st_mode & S_IWUSR)) return Fail(ERROR_ACCESS_DENIED);
        }
    } else if (errno != ENOENT) {
        return FailDestination(errno);
    }
    // A missing destination directory shows up here, as 3.
    if (!PlaceCopy(in, st, to, false, !failIfExists)) {
        if (errno == EEXIST && failIfExists) return Fail(QLAYER_ERROR_FILE_EXISTS);
        return FailDestination(errno);
    }
    return TRUE;
}

bool qlayer::Sync(int fd) {
    while (fsync(fd) != 0)
        if (errno != EINTR) return false;
    SysFlushMade();
    return true;
}
