// The thread's last error, the errno mapping, and the codes of a failed call on a path.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include "layer.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;

// Whether the directory that would hold the path's last component exists. A bare name
// lives in the current directory, which is taken to exist without asking.
bool ParentIsDirectory(const char* path) {
    size_t end = strlen(path);
    while (end > 1 && path[end - 1] == '/') --end;  // "a/b/" names b
    size_t slash = end;
    while (slash > 0 && path[slash - 1] != '/') --slash;
    if (slash == 0) return true;
    if (slash == 1) return true;  // the root
    char parent[PATH_MAX];
    size_t len = slash - 1;
    if (len >= sizeof parent) return false;
    memcpy(parent, path, len);
    parent[len] = '\0';
    struct stat st;
    return stat(parent, &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

namespace qlayer {

BOOL Fail(DWORD code) {
    t_lastError = code;
    return FALSE;
}

DWORD CodeForErrno(int err) {
    switch (err) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EBUSY:
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
    }
}

DWORD CodeForPathErrno(int err, const char* path) {
    if (err == ENOENT) return ParentIsDirectory(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    if (err == ENOTDIR) return ParentIsDirectory(path) ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND;
    return CodeForErrno(err);
}

bool NativePath::InCurrentDirectory() const {
    if (held()) return ConfineInCurrentDirectory(r_);
    return strchr(r_.name, '/') == nullptr && strcmp(r_.name, ".") != 0 && strcmp(r_.name, "..") != 0;
}

DWORD NativePath::Code(int err) const {
    if (!held()) return CodeForPathErrno(err, r_.name);
    // The directory that holds the name is there: it is held.
    switch (err) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_DIRECTORY;
    case ELOOP: return ERROR_REPARSE_POINT_ENCOUNTERED;
    default: return CodeForErrno(err);
    }
}

}  // namespace qlayer
