// The one place where a file call is repeated. On Windows another program often holds a
// file for a moment: a virus scanner right after a file is written or renamed, the search
// indexer, a backup or sync client. While its handle lacks delete sharing, moving or
// deleting the file fails with a sharing or lock violation (32, 33), or with access
// denied (5) while its deletion is pending. Such a call is repeated after a short,
// growing delay, about a second at most; then its failure stands and is handled and
// logged as any other. An exported call waits a few seconds in all, so that a file held
// for good (the game still running) costs seconds, not minutes: after that, conflicts
// fail at once. A call that succeeds costs nothing more, and no other code is repeated.
#include "files.h"

#include "confine.h"
#include "system_calls.h"
#include "wtf8.h"

namespace {

const DWORD kDelaysMs[] = {10, 20, 40, 80, 150, 250, 450};
const DWORD kCallBudgetMs = 3000;

// What the exported call under way has waited. Calls are made one at a time.
DWORD g_waitedMs;
unsigned long g_flushes;

bool MayPass(DWORD code) {
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_ACCESS_DENIED;
}

// lasting(code) tells a failure that no waiting can mend, asked only when it may pass.
template <typename Call, typename Lasting>
BOOL Repeated(Call call, Lasting lasting) {
    if (call()) return TRUE;
    for (DWORD delay : kDelaysMs) {
        const DWORD code = GetLastError();
        const bool stands = !MayPass(code) || g_waitedMs + delay > kCallBudgetMs || lasting(code);
        SetLastError(code);
        if (stands) return FALSE;
        SysPause(delay);
        g_waitedMs += delay;
        if (call()) return TRUE;
    }
    return FALSE;
}

template <typename Call>
BOOL Repeated(Call call) {
    return Repeated(call, [](DWORD) { return false; });
}

// A link refused with access denied stays refused: natively a mount point, which only its
// owner may unmount, counts as one.
bool LinkRefused(DWORD code, const char* path) {
    return code == ERROR_ACCESS_DENIED && FsLinkAttributes(path) != 0;
}

}  // namespace

void FsCallBegins(void) {
    g_waitedMs = 0;
    ConfineBegin();
}

void FsTakeRoot(const char* path, int ownNameGiven) { ConfineTakeRoot(path, ownNameGiven != 0); }

void FsCallEnds(void) { ConfineEnd(); }

void SysFlushMade(void) { ++g_flushes; }
unsigned long FsFlushesMade(void) { return g_flushes; }

BOOL FsRemoveDirectory(const char* path) {
    return Repeated([&] { return SysRemoveDirectory(path); }, [&](DWORD code) { return LinkRefused(code, path); });
}

BOOL FsSetFileAttributes(const char* path, DWORD attributes) {
    return Repeated([&] { return SysSetFileAttributes(path, attributes); });
}

BOOL FsDeleteFile(const char* path) {
    // A directory (one a walk does not enter: read-only, a link) is refused with access
    // denied for good; a customised folder carries the read-only bit on Windows.
    return Repeated([&] { return SysDeleteFile(path); },
                    [&](DWORD code) {
                        if (code != ERROR_ACCESS_DENIED) return false;
                        const DWORD attributes = FsGetFileAttributes(path);
                        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                    });
}

BOOL FsMoveFile(const char* from, const char* to) {
    return Repeated([&] { return SysMoveFile(from, to); }, [&](DWORD code) { return LinkRefused(code, from); });
}

BOOL FsCopyFile(const char* from, const char* to, BOOL failIfExists) {
    return Repeated([&] { return SysCopyFile(from, to, failIfExists); });
}

int FromUtf16(const QuiselWideChar* text, char* out, size_t size) {
    size_t count = 0;
    while (text[count] != 0) ++count;
    static_assert(sizeof(QuiselWideChar) == sizeof(uint16_t), "UTF-16 code units");
    return EncodeWtf8(reinterpret_cast<const uint16_t*>(text), count, out, size);
}
