// The directories the confinement holds (platform/confine.h), as descriptors opened with
// O_PATH: one needs no permission on the directory itself, serves as the directory of the
// *at calls and of fchdir, and refers to the directory opened wherever it is moved.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "layer.h"

const SysDir kSysGiven = AT_FDCWD;
const SysDir kSysNone = -1;
const char kSysSeparator = '/';

namespace {
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

SysDir Refused(DWORD code) {
    SetLastError(code);
    return kSysNone;
}
}  // namespace

SysDir SysHoldCurrentDirectory(char* text, size_t size, size_t* length) {
    char cwd[PATH_MAX];
    const bool read = getcwd(cwd, sizeof cwd) != nullptr;
    if (!read && errno != ERANGE) return Refused(qlayer::CodeForErrno(errno));
    const int fd = open(".", kDirectoryFlags);
    if (fd < 0) return Refused(qlayer::CodeForErrno(errno));
    if (!read) {
        *length = sizeof cwd;  // longer than any call takes
        return fd;
    }
    *length = strlen(cwd);
    if (*length < size) memcpy(text, cwd, *length + 1);
    qlayer::KnowCurrentDirectory(cwd);
    return fd;
}

SysDir SysHoldGivenDirectory(const char* path) {
    const int fd = open(path, kDirectoryFlags);
    if (fd < 0) return Refused(qlayer::CodeForPathErrno(errno, path));
    return fd;
}

SysDir SysHoldDirectoryAt(SysDir parent, const char* name) {
    // With O_PATH and O_NOFOLLOW a link would be opened as itself; O_DIRECTORY refuses it
    // then, as it refuses a file: a look tells which.
    const int fd = openat(static_cast<int>(parent), name, kDirectoryFlags | O_NOFOLLOW);
    if (fd >= 0) {
        // A mount point leads elsewhere as a link does (a bind mount of a folder outside).
        if (!qlayer::IsMountRoot(fd, "")) return fd;
        close(fd);
        return Refused(ERROR_REPARSE_POINT_ENCOUNTERED);
    }
    const int err = errno;
    struct stat st;
    if ((err == ENOTDIR || err == ELOOP) &&
        fstatat(static_cast<int>(parent), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return Refused(ERROR_REPARSE_POINT_ENCOUNTERED);
    if (err == ENOENT) return Refused(ERROR_FILE_NOT_FOUND);
    if (err == ENOTDIR) return Refused(ERROR_DIRECTORY);
    return Refused(qlayer::CodeForErrno(err));
}

void SysRelease(SysDir dir) {
    if (dir >= 0) close(static_cast<int>(dir));
}

BOOL SysEnterDirectory(SysDir dir, const char* text) {
    if (fchdir(static_cast<int>(dir)) != 0) return qlayer::FailErrno(errno);
    qlayer::KnowCurrentDirectory(text);
    return TRUE;
}

size_t SysFullPath(const char* path, const char* current, char* out, size_t size) {
    // The levels of path, behind the current directory's unless it starts at the root,
    // "." left out and ".." taking the level before back, as Windows reads a path. Below
    // every base no level is a link, so this is where the kernel would arrive too.
    char joined[2 * PATH_MAX];
    const int n = path[0] == '/' ? snprintf(joined, sizeof joined, "%s", path)
                                 : snprintf(joined, sizeof joined, "%s/%s", current, path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof joined) {
        qlayer::Fail(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    size_t length = 0;
    for (const char* p = joined; *p != '\0';) {
        while (*p == '/') ++p;
        const char* end = p;
        while (*end != '\0' && *end != '/') ++end;
        const size_t level = static_cast<size_t>(end - p);
        if (level == 0 || (level == 1 && p[0] == '.')) {
            // nothing to add
        } else if (level == 2 && p[0] == '.' && p[1] == '.') {
            while (length > 0 && out[length - 1] != '/') --length;
            if (length > 0) --length;
        } else {
            if (length + 1 + level >= size) {
                qlayer::Fail(ERROR_FILENAME_EXCED_RANGE);
                return 0;
            }
            out[length++] = '/';
            memcpy(out + length, p, level);
            length += level;
        }
        p = end;
    }
    if (length == 0) out[length++] = '/';
    out[length] = '\0';
    return length;
}

bool SysIsAbsolute(const char* path) { return path[0] == '/'; }

bool SysPlainName(const char* name, size_t length) {
    return !(name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.')));
}

bool SysSameNames(const char* a, const char* b, size_t n) { return memcmp(a, b, n) == 0; }

namespace {
// A file's identity: its device and inode.
bool Identity(const struct stat& st, SysIdentity* out) {
    out->volume = static_cast<uint64_t>(st.st_dev);
    out->id[0] = static_cast<uint64_t>(st.st_ino);
    out->id[1] = 0;
    return true;
}
}  // namespace

bool SysIdentityAt(SysDir dir, const char* name, SysIdentity* out) {
    struct stat st;
    return fstatat(static_cast<int>(dir), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && Identity(st, out);
}

bool SysIdentityOf(SysDir dir, SysIdentity* out) {
    struct stat st;
    return fstat(static_cast<int>(dir), &st) == 0 && Identity(st, out);
}
