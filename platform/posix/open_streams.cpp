// Which files the layer's own streams hold open. A handful at most (the log and one list),
// so a small fixed table searched linearly.
#include <string.h>

#include <mutex>

#include "layer.h"

namespace {
struct Slot {
    dev_t dev;
    ino_t ino;
    bool used;
    bool anyName;  // reachable by names other than the one below: always look
    char name[NAME_MAX + 1];  // the last component the stream was opened by
};

char Folded(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::mutex g_lock;
Slot g_slots[qlayer::kOpenStreamSlots];
int g_used;  // read without the lock only as a hint that the table is empty
}  // namespace

namespace qlayer {

size_t LastComponent(const char* path, const char** begin) {
    size_t end = strlen(path);
    while (end > 0 && path[end - 1] == '/') --end;
    size_t start = end;
    while (start > 0 && path[start - 1] != '/') --start;
    *begin = path + start;
    return end - start;
}

bool PlainAscii(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == 0 || c >= 0x80) return false;
    }
    return true;
}

bool SameFolded(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (Folded(a[i]) != Folded(b[i])) return false;
    return true;
}

bool RegisterOpenStream(const char* path, const struct stat& st) {
    const char* name;
    size_t length = LastComponent(path, &name);
    std::lock_guard<std::mutex> hold(g_lock);
    for (Slot& s : g_slots) {
        if (!s.used) {
            s.dev = st.st_dev;
            s.ino = st.st_ino;
            s.used = true;
            // "." or ".." (a directory) never opens as a stream; anything odd is looked at always.
            s.anyName = st.st_nlink != 1 || length == 0 || length > NAME_MAX || !PlainAscii(name, length);
            if (s.anyName) length = 0;
            memcpy(s.name, name, length);
            s.name[length] = '\0';
            __atomic_store_n(&g_used, g_used + 1, __ATOMIC_RELAXED);
            return true;
        }
    }
    return false;
}

void UnregisterOpenStream(dev_t dev, ino_t ino) {
    std::lock_guard<std::mutex> hold(g_lock);
    for (Slot& s : g_slots) {
        if (s.used && s.dev == dev && s.ino == ino) {
            s.used = false;
            __atomic_store_n(&g_used, g_used - 1, __ATOMIC_RELAXED);
            return;
        }
    }
}

bool AnyOpenStream() { return __atomic_load_n(&g_used, __ATOMIC_RELAXED) != 0; }

bool IsOpenStream(const struct stat& st) {
    if (!AnyOpenStream()) return false;
    std::lock_guard<std::mutex> hold(g_lock);
    for (const Slot& s : g_slots)
        if (s.used && s.dev == st.st_dev && s.ino == st.st_ino) return true;
    return false;
}

}  // namespace qlayer

bool qlayer::MayBeOpenStream(const char* path) {
    if (!AnyOpenStream()) return false;
    const char* name;
    const size_t length = LastComponent(path, &name);
    if (length == 0 || length > NAME_MAX || !PlainAscii(name, length)) return true;
    std::lock_guard<std::mutex> hold(g_lock);
    for (const Slot& s : g_slots) {
        if (!s.used) continue;
        if (s.anyName) return true;
        if (strlen(s.name) == length && SameFolded(s.name, name, length)) return true;
    }
    return false;
}
