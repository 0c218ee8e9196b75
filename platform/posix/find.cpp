// Enumeration of the current directory. FindFirstFileA reads the whole directory at once
// into a snapshot that the handle owns, sorted as NTFS lists names, so changes made during
// a walk never disturb it. The Win32 record takes each entry's lstat as it is handed out,
// through the directory's own descriptor. The library's walks need less: whether an entry
// is a directory to enter, a link or a file, which the directory itself tells (d_type);
// only a link (is its target a directory?) and a file system that tells no type are looked
// at. The walks act on an entry right away, and the calls that do (making it writable,
// deleting it) use what the listing learnt instead of asking again.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <type_traits>
#include <vector>

#include "../files.h"
#include "fault_hook.h"
#include "layer.h"

using qlayer::Fail;
using qlayer::FaultHook;

namespace {

constexpr uint32_t kLiveMagic = 0x51464e44;  // tells a live handle from garbage or a closed one
constexpr size_t kDentsSize = 32768;

struct Entry {
    uint32_t nameOffset;
    uint32_t nameLength;
    unsigned char type;  // d_type: what the walks need to know, where the file system tells
    ino_t ino;
};

struct Snapshot {
    uint32_t magic = 0;
    size_t next = 0;
    int dirFd = -1;  // the listed directory, open until the handle closes
    dev_t dirDev = 0;
    ino_t dirIno = 0;
    std::vector<char> names;
    std::vector<Entry> entries;
    std::unique_ptr<char[]> dents{new char[kDentsSize]};
};

// The entry handed out last (see RecentEntry) and what is known of the current directory:
// process-wide, as the current directory is (calls are made one at a time).
struct Recent {
    bool valid = false;
    bool statted = false;
    bool madeNormal = false;  // SetFileAttributesA(FILE_ATTRIBUTE_NORMAL) deferred
    unsigned char type = DT_UNKNOWN;
    dev_t dirDev = 0;
    ino_t dirIno = 0;
    ino_t ino = 0;
    struct stat st;
    char name[NAME_MAX + 1];
};
Recent g_recent;
bool g_cwdKnown = false;
dev_t g_cwdDev;
ino_t g_cwdIno;

// Closed snapshots are kept for reuse, so a walk allocates only while its depth and
// directory sizes grow beyond what it has seen.
std::atomic<Snapshot*> g_spare[8];

Snapshot* TakeSnapshot() {
    for (auto& slot : g_spare)
        if (Snapshot* s = slot.exchange(nullptr, std::memory_order_acquire)) return s;
    try {
        return new Snapshot;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void GiveBack(Snapshot* s) {
    s->magic = 0;
    if (s->dirFd >= 0) close(s->dirFd);
    s->dirFd = -1;
    s->names.clear();
    s->entries.clear();
    for (auto& slot : g_spare) {
        Snapshot* expected = nullptr;
        if (slot.compare_exchange_strong(expected, s, std::memory_order_release)) return;
    }
    delete s;
}

__attribute__((destructor)) void FreeSpares() {
    for (auto& slot : g_spare) delete slot.exchange(nullptr);
}

uint64_t FileTime(const struct timespec& t) {
    // 100 ns units since 1601-01-01.
    constexpr int64_t kEpochDelta = 11644473600LL;
    int64_t ticks = (static_cast<int64_t>(t.tv_sec) + kEpochDelta) * 10000000LL + t.tv_nsec / 100;
    return ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
}

unsigned char Upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c; }

// "." and ".." first, as NTFS lists them; then byte order after ASCII upper-casing, ties
// by the raw bytes.
bool ListsBefore(const char* a, size_t alen, const char* b, size_t blen) {
    auto rank = [](const char* n, size_t len) {
        return (len == 1 && n[0] == '.') ? 0 : (len == 2 && n[0] == '.' && n[1] == '.') ? 1 : 2;
    };
    int ra = rank(a, alen), rb = rank(b, blen);
    if (ra != rb || ra < 2) return ra < rb;
    size_t n = std::min(alen, blen);
    for (size_t i = 0; i < n; ++i) {
        unsigned char ua = Upper(static_cast<unsigned char>(a[i])), ub = Upper(static_cast<unsigned char>(b[i]));
        if (ua != ub) return ua < ub;
    }
    if (alen != blen) return alen < blen;
    return memcmp(a, b, n) < 0;
}

// Reads the current directory's names into s. False with the last error set on failure.
// pathLike: names holding a backslash are kept too (the library's walks refuse them with
// a record that names them).
bool Fill(Snapshot& s, bool pathLike) {
    const int dirFd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return Fail(qlayer::CodeForErrno(errno));
    s.dirFd = dirFd;  // closed by GiveBack
    struct stat dir;
    if (fstat(dirFd, &dir) != 0) return Fail(qlayer::CodeForErrno(errno));
    s.dirDev = dir.st_dev;
    s.dirIno = dir.st_ino;
    // "." is the current directory, so from here on its identity is known.
    g_cwdKnown = true;
    g_cwdDev = dir.st_dev;
    g_cwdIno = dir.st_ino;
    for (;;) {
        ssize_t got = getdents64(dirFd, s.dents.get(), kDentsSize);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return Fail(qlayer::CodeForErrno(errno));
        if (got == 0) break;
        for (ssize_t at = 0; at < got;) {
            const auto* d = reinterpret_cast<const struct dirent64*>(s.dents.get() + at);
            at += d->d_reclen;
            const char* name = d->d_name;
            size_t len = strlen(name);
            // A name holding a backslash would be read back as a path: "..\x" as "../x",
            // outside the tree. The Win32 record never shows one.
            if (!pathLike && memchr(name, '\\', len) != nullptr) continue;
            Entry e;
            e.nameOffset = static_cast<uint32_t>(s.names.size());
            e.nameLength = static_cast<uint32_t>(len);
            e.type = d->d_type;
            e.ino = d->d_ino;
            s.names.insert(s.names.end(), name, name + len + 1);
            s.entries.push_back(e);
        }
    }
    const char* base = s.names.data();
    std::sort(s.entries.begin(), s.entries.end(), [base](const Entry& a, const Entry& b) {
        return ListsBefore(base + a.nameOffset, a.nameLength, base + b.nameOffset, b.nameLength);
    });
    return true;
}

// Records the entry about to be handed out as the recent one; its lstat when st is given.
void Remember(const Snapshot& s, const Entry& e, const struct stat* st) {
    qlayer::ForgetRecentEntry();
    g_recent.valid = e.nameLength <= NAME_MAX;
    if (!g_recent.valid) return;
    g_recent.statted = st != nullptr;
    g_recent.madeNormal = false;
    g_recent.type = e.type;
    g_recent.dirDev = s.dirDev;
    g_recent.dirIno = s.dirIno;
    g_recent.ino = e.ino;
    if (st != nullptr) g_recent.st = *st;
    memcpy(g_recent.name, s.names.data() + e.nameOffset, e.nameLength + 1);
}

// The attribute word of one entry as it is handed out, its lstat taken now and kept as
// the recent entry; *st is filled when there was one to take.
DWORD Describe(const Snapshot& s, const Entry& e, struct stat* st, bool* statted) {
    const char* name = s.names.data() + e.nameOffset;
    *statted = fstatat(s.dirFd, name, st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!*statted) {
        // Gone since the directory was read: still listed, as the snapshot holds it,
        // with what the directory itself told of it.
        qlayer::ForgetRecentEntry();
        return e.type == DT_DIR ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    }
    Remember(s, e, st);
    return qlayer::AttributesOf(s.dirFd, name, *st);
}

// Names are at most 255 bytes on Linux, so they always fit either record.
void CopyName(const Snapshot& s, const Entry& e, char* out, size_t size) {
    const size_t len = std::min<size_t>(e.nameLength, size - 1);
    memcpy(out, s.names.data() + e.nameOffset, len);
    out[len] = '\0';
}

// Hands out one entry as the Win32 record.
void Emit(const Snapshot& s, const Entry& e, WIN32_FIND_DATAA* out) {
    struct stat st;
    bool statted = false;
    out->dwFileAttributes = Describe(s, e, &st, &statted);
    uint64_t size = 0, writeTime = 0, accessTime = 0;
    if (statted) {
        size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
        writeTime = FileTime(st.st_mtim);
        accessTime = FileTime(st.st_atim);
    }
    out->ftCreationTime = FILETIME{static_cast<DWORD>(writeTime), static_cast<DWORD>(writeTime >> 32)};
    out->ftLastAccessTime = FILETIME{static_cast<DWORD>(accessTime), static_cast<DWORD>(accessTime >> 32)};
    out->ftLastWriteTime = out->ftCreationTime;
    out->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    out->nFileSizeLow = static_cast<DWORD>(size);
    // A link to a directory is a reparse point, as Windows lists one, with its tag; so is a
    // mount point.
    out->dwReserved0 = !(out->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? 0
                       : statted && S_ISDIR(st.st_mode)                    ? IO_REPARSE_TAG_MOUNT_POINT
                                                                           : IO_REPARSE_TAG_SYMLINK;
    out->dwReserved1 = 0;
    CopyName(s, e, out->cFileName, sizeof out->cFileName);
    out->cAlternateFileName[0] = '\0';
}

// A directory as the walks take it: the root of a mount is listed as a mount point, a link
// to a directory, which no walk enters.
void ListDirectory(int dirFd, const char* name, FsEntry* out) {
    if (qlayer::IsMountRoot(dirFd, name)) {
        out->attributes = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
        out->reparseTag = IO_REPARSE_TAG_MOUNT_POINT;
        return;
    }
    out->attributes = FILE_ATTRIBUTE_DIRECTORY;
}

// Hands out one entry as the library's walks take it: a directory, a link (to a directory
// or not) or anything else, from the directory's own word where it gives one.
void Emit(const Snapshot& s, const Entry& e, FsEntry* out) {
    const char* name = s.names.data() + e.nameOffset;
    out->reparseTag = 0;
    CopyName(s, e, out->name, sizeof out->name);
    if (e.type == DT_REG) {
        Remember(s, e, nullptr);
        out->attributes = FILE_ATTRIBUTE_ARCHIVE;
        return;
    }
    if (e.type == DT_DIR) {
        Remember(s, e, nullptr);
        ListDirectory(s.dirFd, name, out);
        return;
    }
    struct stat st;
    if (fstatat(s.dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // Gone since the directory was read: still listed, as the snapshot holds it.
        qlayer::ForgetRecentEntry();
        out->attributes = FILE_ATTRIBUTE_ARCHIVE;
        return;
    }
    Remember(s, e, &st);
    if (S_ISLNK(st.st_mode)) {
        out->attributes = qlayer::LinkAttributes(s.dirFd, name);
        out->reparseTag = IO_REPARSE_TAG_SYMLINK;
        return;
    }
    if (S_ISDIR(st.st_mode))
        ListDirectory(s.dirFd, name, out);
    else
        out->attributes = FILE_ATTRIBUTE_ARCHIVE;
}

Snapshot* Live(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    auto* s = static_cast<Snapshot*>(h);
    return s->magic == kLiveMagic ? s : nullptr;
}

}  // namespace

namespace qlayer {

DWORD LinkAttributes(int dirFd, const char* name) {
    struct stat target;
    const bool directory = fstatat(dirFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode);
    return FILE_ATTRIBUTE_REPARSE_POINT | (directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
}

DWORD AttributesOf(int dirFd, const char* name, const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        // The Win32 record shows a link to a file as a plain file.
        const DWORD link = LinkAttributes(dirFd, name);
        return (link & FILE_ATTRIBUTE_DIRECTORY) ? link : FILE_ATTRIBUTE_ARCHIVE;
    }
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    // A mount point, as Windows gives one.
    if (S_ISDIR(st.st_mode) && IsMountRoot(dirFd, name)) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

bool RecentEntry(const char* path, RecentInfo* info) {
    if (!g_recent.valid || strcmp(path, g_recent.name) != 0) return false;
    if (!g_cwdKnown) {
        struct stat cwd;
        if (stat(".", &cwd) != 0) return false;
        g_cwdKnown = true;
        g_cwdDev = cwd.st_dev;
        g_cwdIno = cwd.st_ino;
    }
    if (g_cwdDev != g_recent.dirDev || g_cwdIno != g_recent.dirIno) return false;
    info->statted = g_recent.statted;
    info->madeNormal = g_recent.madeNormal;
    info->type = g_recent.type;
    info->dev = g_recent.dirDev;
    info->ino = g_recent.ino;
    if (g_recent.statted) info->st = g_recent.st;
    return true;
}

void DeferNormalAttributes() { g_recent.madeNormal = true; }

void UpdateRecentEntryMode(mode_t mode) { g_recent.st.st_mode = (g_recent.st.st_mode & S_IFMT) | mode; }

void DropRecentEntry() {
    g_recent.valid = false;
    g_recent.madeNormal = false;
}

void ForgetRecentEntry() {
    if (g_recent.valid && g_recent.madeNormal) {
        // What SetFileAttributesA was asked: the file made writable, never through a link.
        g_recent.madeNormal = false;
        struct stat st;
        if (fstatat(AT_FDCWD, g_recent.name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_nlink == 1 && !(st.st_mode & S_IWUSR))
            fchmodat(AT_FDCWD, g_recent.name, (st.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW);
    }
    g_recent.valid = false;
}

void CurrentDirectoryChanged() {
    ForgetRecentEntry();
    g_cwdKnown = false;
}

}  // namespace qlayer

namespace {

template <typename Out>
HANDLE FindFirst(LPCSTR pattern, Out* data) {
    qlayer::ForgetRecentEntry();
    if (FaultHook(FAULT_FindFirstFileA)) return INVALID_HANDLE_VALUE;
    if (pattern == nullptr || data == nullptr || strcmp(pattern, "*.*") != 0) {
        Fail(ERROR_INVALID_PARAMETER);  // the library only ever lists the current directory
        return INVALID_HANDLE_VALUE;
    }
    Snapshot* s = TakeSnapshot();
    if (s == nullptr) {
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    bool filled;
    try {
        filled = Fill(*s, std::is_same<Out, FsEntry>::value);
    } catch (const std::bad_alloc&) {
        filled = Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (filled && s->entries.empty()) filled = Fail(ERROR_FILE_NOT_FOUND);  // a removed current directory
    if (!filled) {
        GiveBack(s);
        return INVALID_HANDLE_VALUE;
    }
    s->magic = kLiveMagic;
    s->next = 1;
    Emit(*s, s->entries[0], data);
    return s;
}

template <typename Out>
BOOL FindNext(HANDLE handle, Out* data) {
    qlayer::ForgetRecentEntry();
    if (FaultHook(FAULT_FindNextFileA)) return FALSE;
    Snapshot* s = Live(handle);
    if (s == nullptr) return Fail(QLAYER_ERROR_INVALID_HANDLE);
    if (data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    if (s->next >= s->entries.size()) return Fail(ERROR_NO_MORE_FILES);
    Emit(*s, s->entries[s->next++], data);
    return TRUE;
}

}  // namespace

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) { return FindFirst(pattern, data); }
BOOL FindNextFileA(HANDLE handle, WIN32_FIND_DATAA* data) { return FindNext(handle, data); }

namespace qlayer {
HANDLE FindFirstEntry(const char* pattern, FsEntry* entry) { return FindFirst(pattern, entry); }
BOOL FindNextEntry(HANDLE handle, FsEntry* entry) { return FindNext(handle, entry); }
}  // namespace qlayer

BOOL FindClose(HANDLE handle) {
    qlayer::ForgetRecentEntry();
    Snapshot* s = Live(handle);
    if (s == nullptr) return Fail(QLAYER_ERROR_INVALID_HANDLE);
    GiveBack(s);
    return TRUE;
}
