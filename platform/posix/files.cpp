// Current directory, directories, attributes, deletion, moves and copies.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "fault_hook.h"
#include "layer.h"

using qlayer::Fail;
using qlayer::FailErrno;
using qlayer::FailPathErrno;
using qlayer::FaultHook;
using qlayer::NativePath;

namespace {

// A failure on the destination side of a two-path call: by then the source is known to
// exist, so whatever is missing is a directory of the destination.
BOOL FailDestination(int err) {
    if (err == ENOENT || err == ENOTDIR) return Fail(ERROR_PATH_NOT_FOUND);
    return FailErrno(err);
}

// rename without replacing an existing destination. Where the file system cannot say
// "no replace" the fallback is link + unlink for anything but a directory, which cannot
// replace either; a directory gets a check and a plain rename.
int RenameNoReplace(const char* from, const char* to, bool fromIsDir) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (!fromIsDir) {
        if (linkat(AT_FDCWD, from, AT_FDCWD, to, 0) == 0) {
            if (unlink(from) == 0) return 0;
            int err = errno;
            unlink(to);
            errno = err;
            return -1;
        }
        if (errno != EPERM && errno != EOPNOTSUPP) return -1;  // no hard links here
    }
    struct stat st;
    if (lstat(to, &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    if (errno != ENOENT) return -1;
    return rename(from, to);
}

// The directory part of path, whose last component starts at name ("." when none).
void ParentOf(const char* path, const char* name, char* out, size_t cap) {
    if (name == path)
        snprintf(out, cap, ".");
    else
        snprintf(out, cap, "%.*s", static_cast<int>(name - path), path);
}

// Whether two paths reach the same directory entry however they spell it ("..", ".",
// doubled separators, a link to a directory on the way): the same file, and, when it
// has more than one link, under the same name in the same directory. Moving such a file
// onto "itself" renames it to its own name, which Windows does without complaint; it
// must never look like an existing destination, which the library deletes to make room.
bool SameEntry(const char* from, const char* to) {
    struct stat a, b;
    if (lstat(from, &a) != 0 || lstat(to, &b) != 0) return false;
    if (a.st_dev != b.st_dev || a.st_ino != b.st_ino) return false;
    if (a.st_nlink == 1 || S_ISDIR(a.st_mode)) return true;
    const char* fromName = strrchr(from, '/');
    const char* toName = strrchr(to, '/');
    fromName = fromName ? fromName + 1 : from;
    toName = toName ? toName + 1 : to;
    if (strcmp(fromName, toName) != 0) return false;
    char fromDir[PATH_MAX], toDir[PATH_MAX];
    ParentOf(from, fromName, fromDir, sizeof fromDir);
    ParentOf(to, toName, toDir, sizeof toDir);
    return stat(fromDir, &a) == 0 && stat(toDir, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A temporary name in the directory of `beside`, created by `make` (which returns 0 or
// -1 with errno). Names that happen to exist are skipped.
template <typename Make>
int MakeTempBeside(const char* beside, char* out, size_t cap, Make make) {
    static std::atomic<unsigned> counter{0};
    const char* slash = strrchr(beside, '/');
    int dirLen = slash ? static_cast<int>(slash - beside + 1) : 0;
    for (int attempt = 0; attempt < 32; ++attempt) {
        unsigned n = counter.fetch_add(1, std::memory_order_relaxed);
        int len = snprintf(out, cap, "%.*s.quisel-%d-%u.tmp", dirLen, beside, static_cast<int>(getpid()), n);
        if (len < 0 || static_cast<size_t>(len) >= cap) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int rc = make(out);
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

// Whether a failed open of an unnamed file means the file system (or the kernel, EISDIR)
// offers none, rather than a reason a named file would meet as well.
bool NoUnnamedFiles(int err) {
    return err == EOPNOTSUPP || err == EISDIR || err == EINVAL;
}

// An unnamed file in the directory of `to`, or -1 with errno. Only where /proc lets it be
// named later: the other way, linking the descriptor itself, needs a capability.
int OpenUnnamedBeside(const char* to) {
    static std::atomic<int> procFds{0};  // 0 not known yet, 1 there, 2 not
    if (procFds.load(std::memory_order_relaxed) == 0)
        procFds.store(access("/proc/self/fd", X_OK) == 0 ? 1 : 2, std::memory_order_relaxed);
    if (qlayer::UnnamedFilesRefused() || procFds.load(std::memory_order_relaxed) != 1) {
        errno = EOPNOTSUPP;
        return -1;
    }
    char dir[PATH_MAX];
    const char* slash = strrchr(to, '/');
    ParentOf(to, slash ? slash + 1 : to, dir, sizeof dir);
    return open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
}

// Gives the unnamed file `fd` the name `to`; an existing `to` fails with EEXIST.
int NameUnnamed(int fd, const char* to) {
    char self[32];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return linkat(AT_FDCWD, self, AT_FDCWD, to, AT_SYMLINK_FOLLOW);
}

// Puts a copy of the open regular file `in` (described by st) at `to`, with the source's
// mode and, when asked, its times. The copy is built in an unnamed file beside `to` and
// named only once whole, so a copy cut short at any moment (a full disk, a kill) leaves
// no file behind. Where the file system has no unnamed files it is built under a
// temporary name instead, removed on failure. A temporary name also serves, between two
// calls, to replace an existing `to`. replace: an existing `to` is replaced (a copy);
// else the copy fails with EEXIST (a move). False with errno.
bool PlaceCopy(int in, const struct stat& st, const char* to, bool keepTimes, bool replace) {
    char temp[PATH_MAX] = "";
    int out = OpenUnnamedBeside(to);
    const bool unnamed = out >= 0;
    if (!unnamed) {
        if (!NoUnnamedFiles(errno)) return false;
        if (MakeTempBeside(to, temp, sizeof temp, [&out](const char* name) {
                out = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
                return out;
            }) < 0)
            return false;
    }
    bool ok = CopyBytes(in, out, st.st_size) && FinishCopy(out, st, keepTimes);
    if (ok && unnamed && NameUnnamed(out, to) != 0) {
        ok = errno == EEXIST && replace &&
             MakeTempBeside(to, temp, sizeof temp, [out](const char* name) { return NameUnnamed(out, name); }) == 0;
        if (!ok) temp[0] = '\0';  // a name met there is somebody else's
    }
    int err = errno;
    // A named file's close may still report a write error; an unnamed one's writes have.
    if (close(out) != 0 && ok && !unnamed) {
        ok = false;
        err = errno;
    }
    if (ok && temp[0] != '\0' && (replace ? rename(temp, to) : RenameNoReplace(temp, to, false)) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok && temp[0] != '\0') unlink(temp);
    errno = err;
    return ok;
}

// A file moved to another file system: copied beside the destination, put in place
// without replacing, and only then the source removed. Any failure undoes what was made.
BOOL MoveAcrossFileSystems(const char* from, const char* to, const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        ssize_t len = readlink(from, target, sizeof target);
        if (len < 0) return FailErrno(errno);
        if (static_cast<size_t>(len) >= sizeof target) return Fail(ERROR_FILENAME_EXCED_RANGE);
        target[len] = '\0';
        // A link is made whole by one call, which never replaces an existing name.
        if (symlink(target, to) != 0) return FailDestination(errno);
    } else if (S_ISREG(st.st_mode)) {
        int in = open(from, O_RDONLY | O_CLOEXEC);
        if (in < 0) return FailPathErrno(errno, from);
        bool ok = PlaceCopy(in, st, to, true, false);
        int err = errno;
        close(in);
        if (!ok) return FailDestination(err);
    } else {
        return Fail(ERROR_ACCESS_DENIED);  // devices, pipes and sockets have no Windows counterpart
    }
    if (unlink(from) != 0) {
        int err = errno;
        unlink(to);  // the source stays whole; the copy must not outlive the failed move
        return FailErrno(err);
    }
    return TRUE;
}

}  // namespace

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    if (FaultHook(FAULT_GetCurrentDirectoryA)) return 0;
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
    if (!p.Set(path)) return FALSE;
    if (chdir(p.c_str()) != 0) return FailPathErrno(errno, p.c_str());
    return TRUE;
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    qlayer::ForgetRecentEntry();
    if (FaultHook(FAULT_CreateDirectoryA)) return FALSE;
    NativePath p;
    if (!p.Set(path)) return FALSE;
    if (mkdir(p.c_str(), 0777) != 0) return FailPathErrno(errno, p.c_str());
    return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR path) {
    qlayer::ForgetRecentEntry();
    if (FaultHook(FAULT_RemoveDirectoryA)) return FALSE;
    NativePath p;
    if (!p.Set(path)) return FALSE;
    // The current directory, however spelled (rmdir alone refuses only ".", with EINVAL).
    // A bare name is one of its entries; any other path is looked at: removals are few,
    // so the remembered name that spares moves a look is not needed here.
    const bool bare = strchr(p.c_str(), '/') == nullptr && strcmp(p.c_str(), ".") != 0 && strcmp(p.c_str(), "..") != 0;
    if (!bare && qlayer::IsCurrentDirectory(p.c_str(), nullptr)) return Fail(ERROR_SHARING_VIOLATION);
    if (rmdir(p.c_str()) != 0) {
        int err = errno == EEXIST ? ENOTEMPTY : errno;  // POSIX lets rmdir say either
        return FailPathErrno(err, p.c_str());
    }
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR path) {
    if (FaultHook(FAULT_GetFileAttributesA)) return INVALID_FILE_ATTRIBUTES;
    NativePath p;
    if (!p.Set(path)) return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (lstat(p.c_str(), &st) != 0) {
        FailPathErrno(errno, p.c_str());
        return INVALID_FILE_ATTRIBUTES;
    }
    return qlayer::AttributesOf(AT_FDCWD, p.c_str(), st);
}

// The entry's lstat: the one its listing took as it handed the entry out, when this call
// directly follows on that bare name, else a new one. `recent` tells which.
// A call on a listed entry that the test seam fails: the entry's remembered lstat may no
// longer hold for whatever comes next.
bool FaultOnEntry(FaultFn fn) {
    if (!FaultHook(fn)) return false;
    qlayer::ForgetRecentEntry();
    return true;
}

bool StatOf(const NativePath& p, struct stat* st, bool* recent) {
    *recent = qlayer::RecentEntryStat(p.c_str(), st);
    if (*recent) return true;
    qlayer::ForgetRecentEntry();
    return lstat(p.c_str(), st) == 0;
}

BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
    if (FaultOnEntry(FAULT_SetFileAttributesA)) return FALSE;
    NativePath p;
    if (!p.Set(path)) return FALSE;
    struct stat st;
    bool recent;
    if (!StatOf(p, &st, &recent)) return FailPathErrno(errno, p.c_str());
    if (S_ISLNK(st.st_mode)) return TRUE;  // a link has no attributes of its own to change
    // Only read-only has a POSIX meaning: the owner's write permission.
    mode_t mode = st.st_mode & 07777;
    mode_t want = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH))
                                                          : (mode | S_IWUSR);
    if (want != mode) {
        if (chmod(p.c_str(), want) != 0) {
            qlayer::ForgetRecentEntry();
            return FailPathErrno(errno, p.c_str());
        }
        if (recent) qlayer::UpdateRecentEntryMode(want);  // still right for a deletion next
    }
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
    if (FaultOnEntry(FAULT_DeleteFileA)) return FALSE;
    NativePath p;
    if (!p.Set(path)) return FALSE;
    struct stat st;
    bool recent;
    const bool found = StatOf(p, &st, &recent);
    qlayer::ForgetRecentEntry();  // whatever happens next, the entry is not as listed
    if (!found) return FailPathErrno(errno, p.c_str());
    if (S_ISDIR(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if (!S_ISLNK(st.st_mode)) {
        if (qlayer::IsOpenStream(st)) return Fail(ERROR_SHARING_VIOLATION);
        if (!(st.st_mode & S_IWUSR)) return Fail(ERROR_ACCESS_DENIED);  // read-only, as Windows refuses
    }
    if (unlink(p.c_str()) != 0) return FailPathErrno(errno, p.c_str());
    return TRUE;
}

BOOL MoveFileA(LPCSTR existing, LPCSTR target) {
    qlayer::ForgetRecentEntry();
    if (FaultHook(FAULT_MoveFileA)) return FALSE;
    NativePath from, to;
    if (!from.Set(existing) || !to.Set(target)) return FALSE;
    struct stat st;
    bool haveStat = false;
    // The source is only looked at when its name might be that of an open stream or of
    // the current directory (both held open by Windows), or when the rename's outcome
    // needs it.
    if (qlayer::MayBeOpenStream(from.c_str())) {
        if (lstat(from.c_str(), &st) != 0) return FailPathErrno(errno, from.c_str());
        haveStat = true;
        if (!S_ISLNK(st.st_mode) && qlayer::IsOpenStream(st)) return Fail(ERROR_SHARING_VIOLATION);
    }
    if (qlayer::MayBeCurrentDirectory(from.c_str()) &&
        qlayer::IsCurrentDirectory(from.c_str(), haveStat ? &st : nullptr))
        return Fail(ERROR_SHARING_VIOLATION);
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return TRUE;
    int err = errno;
    if (err == EEXIST || err == ENOTEMPTY) {
        if (SameEntry(from.c_str(), to.c_str())) return TRUE;
        return Fail(ERROR_ALREADY_EXISTS);
    }
    if (!haveStat) {
        if (lstat(from.c_str(), &st) != 0) return FailPathErrno(errno, from.c_str());  // a missing source first
        haveStat = true;
    }
    switch (err) {
    case ENOENT:
    case ENOTDIR: return Fail(ERROR_PATH_NOT_FOUND);
    case EXDEV:
        if (S_ISDIR(st.st_mode)) return Fail(ERROR_NOT_SAME_DEVICE);
        return MoveAcrossFileSystems(from.c_str(), to.c_str(), st);
    case EINVAL:
    case ENOSYS:
        // No RENAME_NOREPLACE on this file system (or a directory moved into itself,
        // which the plain rename reports again).
        if (RenameNoReplace(from.c_str(), to.c_str(), S_ISDIR(st.st_mode)) == 0) return TRUE;
        if (errno == EEXIST && SameEntry(from.c_str(), to.c_str())) return TRUE;
        if (errno == EXDEV) {
            if (S_ISDIR(st.st_mode)) return Fail(ERROR_NOT_SAME_DEVICE);
            return MoveAcrossFileSystems(from.c_str(), to.c_str(), st);
        }
        return FailDestination(errno);
    default: return FailErrno(err);
    }
}

BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists) {
    qlayer::ForgetRecentEntry();
    if (FaultHook(FAULT_CopyFileA)) return FALSE;
    NativePath from, to;
    if (!from.Set(existing) || !to.Set(target)) return FALSE;
    // Non-blocking so that a FIFO is refused below instead of waiting for a writer.
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (in < 0) return FailPathErrno(errno, from.c_str());
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closeIn{in};
    struct stat st;
    if (fstat(in, &st) != 0) return FailErrno(errno);
    if (!S_ISREG(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);  // Windows copies no directory
    struct stat old;
    if (lstat(to.c_str(), &old) == 0) {
        if (failIfExists) return Fail(QLAYER_ERROR_FILE_EXISTS);
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
    if (!PlaceCopy(in, st, to.c_str(), false, !failIfExists)) {
        if (errno == EEXIST && failIfExists) return Fail(QLAYER_ERROR_FILE_EXISTS);
        return FailDestination(errno);
    }
    return TRUE;
}
