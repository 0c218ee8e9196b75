// What an entry is, beyond its type: the root of a mount, which counts as a link (another
// file system's tree, or another place of this one, put below a base), and a file whose
// content the layer may read or write (a regular one, reached without blocking).
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "layer.h"

using qlayer::Fail;

namespace {

constexpr unsigned kWanted = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_INO | STATX_SIZE | STATX_ATIME |
                             STATX_MTIME | STATX_MNT_ID;

void ToStat(const struct statx& x, struct stat* st) {
    *st = {};
    st->st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
    st->st_ino = x.stx_ino;
    st->st_mode = x.stx_mode;
    st->st_nlink = x.stx_nlink;
    st->st_size = static_cast<off_t>(x.stx_size);
    st->st_atim = {static_cast<time_t>(x.stx_atime.tv_sec), static_cast<long>(x.stx_atime.tv_nsec)};
    st->st_mtim = {static_cast<time_t>(x.stx_mtime.tv_sec), static_cast<long>(x.stx_mtime.tv_nsec)};
}

// Whether x, taken at name in dirFd, is the root of a mount. Kernels before 5.8 tell no
// such attribute: there a device other than its directory's tells it (a bind mount of
// the same file system is then not seen).
bool MountRoot(const struct statx& x, int dirFd, const char* name) {
    if (x.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) return (x.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    struct stat parent;
    const bool itself = name[0] == '\0';
    if ((itself ? fstatat(dirFd, "..", &parent, 0) : fstat(dirFd, &parent)) != 0) return false;
    return parent.st_dev != makedev(x.stx_dev_major, x.stx_dev_minor);
}

}  // namespace

namespace qlayer {

bool IsMountRoot(int dirFd, const char* name) {
    struct statx x;
    const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
    if (statx(dirFd, name, flags, STATX_TYPE | STATX_MNT_ID, &x) != 0) return false;
    return MountRoot(x, dirFd, name);
}

int OpenRegular(const NativePath& p, int flags, mode_t mode, bool unshared, struct stat* st) {
    // O_NONBLOCK: a FIFO, a device or a file under another program's lease answers at
    // once instead of holding the call for good (or for the lease's break time).
    const int noFollow = p.held() ? O_NOFOLLOW : 0;
    const int fd = openat(p.dir(), p.name(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | noFollow, mode);
    if (fd < 0) {
        const int err = errno;
        // A FIFO without a reader, a device without its driver: no file to write.
        Fail(err == ENXIO || err == ENODEV ? ERROR_ACCESS_DENIED
             : err == EWOULDBLOCK          ? ERROR_SHARING_VIOLATION
                                           : p.Code(err));
        return -1;
    }
    struct statx x;
    DWORD refused = ERROR_SUCCESS;
    if (statx(fd, "", AT_EMPTY_PATH, kWanted, &x) != 0) {
        refused = CodeForErrno(errno);
    } else if (!S_ISREG(x.stx_mode)) {
        // A directory, as the runtime's fopen finds one; a FIFO, socket or device has no
        // content of a file's.
        refused = ERROR_ACCESS_DENIED;
    } else if (p.held() && ((unshared && x.stx_nlink > 1) || MountRoot(x, fd, ""))) {
        // Below a base, a second name may be another user's link to a file outside, and a
        // mount root is a file of elsewhere put here.
        refused = ERROR_ACCESS_DENIED;
    }
    if (refused != ERROR_SUCCESS) {
        close(fd);
        Fail(refused);
        return -1;
    }
    ToStat(x, st);
    return fd;
}

}  // namespace qlayer
