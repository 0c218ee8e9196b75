// Which files the layer's own streams hold open. A handful at most (the log and one list),
// so a small fixed table searched linearly.
#include <mutex>

#include "layer.h"

namespace {
struct Slot {
    dev_t dev;
    ino_t ino;
    bool used;
};
std::mutex g_lock;
Slot g_slots[qlayer::kOpenStreamSlots];
int g_used;  // read without the lock only as a hint that the table is empty
}  // namespace

namespace qlayer {

bool RegisterOpenStream(dev_t dev, ino_t ino) {
    std::lock_guard<std::mutex> hold(g_lock);
    for (Slot& s : g_slots) {
        if (!s.used) {
            s = Slot{dev, ino, true};
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
