// The current directory as something that cannot be removed or moved (see layer.h).
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "layer.h"

namespace {
// The current directory's own name, process-wide as the directory is.
std::mutex g_lock;
bool g_known = false;
bool g_plain = false;  // plain ASCII: a name that is not could be reached by another spelling
size_t g_length = 0;   // 0 for the root, which no name ending a path can reach
char g_name[NAME_MAX + 1];

void KnowLocked(const char* cwd) {
    const char* name;
    const size_t length = qlayer::LastComponent(cwd, &name);
    g_known = length <= NAME_MAX;
    if (!g_known) return;
    memcpy(g_name, name, length);
    g_name[length] = '\0';
    g_length = length;
    g_plain = qlayer::PlainAscii(name, length);
}

bool IsDots(const char* name, size_t length) {
    return name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.'));
}
}  // namespace

namespace qlayer {

bool IsCurrentDirectory(const NativePath& path, const struct stat* st) {
    struct stat own, cwd;
    if (st == nullptr) {
        if (fstatat(path.dir(), path.name(), &own, AT_SYMLINK_NOFOLLOW) != 0) return false;  // the call reports it
        st = &own;
    }
    if (!S_ISDIR(st->st_mode)) return false;
    return stat(".", &cwd) == 0 && cwd.st_dev == st->st_dev && cwd.st_ino == st->st_ino;
}

bool MayBeCurrentDirectory(const NativePath& path) {
    if (path.held() && !ConfineMayBeCurrentDirectory(path.resolved())) return false;
    const char* name;
    const size_t length = LastComponent(path.name(), &name);
    if (length == 0 || IsDots(name, length)) return true;
    if (path.InCurrentDirectory()) return false;
    if (length > NAME_MAX || !PlainAscii(name, length)) return true;
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_known) {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) return true;  // removed or too long: look
        KnowLocked(cwd);
        if (!g_known) return true;
    }
    if (!g_plain) return true;
    return g_length == length && SameFolded(g_name, name, length);
}

void KnowCurrentDirectory(const char* cwd) {
    std::lock_guard<std::mutex> hold(g_lock);
    KnowLocked(cwd);
}

void ForgetCurrentDirectory() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_known = false;
}

}  // namespace qlayer
