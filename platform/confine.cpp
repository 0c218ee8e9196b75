// The resolution of a call's paths below its bases (confine.h). Directories are held in a
// small table of slots, each with its full path: a path whose directory is held already
// costs a comparison, one that is not opens its levels from the nearest directory held,
// so a walk opens each directory once. The levels of the way down to the current
// directory are pinned: the walk returns to them by their handles. Every level opened
// below another knows its parent, and a level is given up only once nothing is held
// below it, so what is held below a name is known from the name's own level; a count per
// hash of (parent, name) tells at once, for almost every move, that nothing is. That
// answer holds only where every name involved is plain ASCII without '~' (the hash folds
// ASCII case alone, and a short name spells a level another way); otherwise, and for
// any spelling but the very one a level was held by, levels are compared by identity
// (volume and file id, device and inode), never by spelling.
#include "confine.h"

#include <string.h>

namespace {

// A walk enters at most one level per component of a path of 259 characters, with room
// left for the directories of the two paths of a move and their way.
constexpr int kSlots = 168;
constexpr int kDepth = 136;
constexpr int kRoots = 4;
constexpr int kNoSlot = -1;
constexpr unsigned kKeys = 4096;

struct Slot {
    SysDir dir;
    uint32_t used;  // the clock at the last use: the least recent goes first
    int pins;       // levels of the way down, bases, listings: a pinned slot stays
    int parent;     // the slot it was opened in, or kNoSlot
    int children;   // slots opened in it: it stays while it has any
    int unsure;     // of those, the ones named so that their key proves nothing (Unsure)
    unsigned key;   // Key(parent, its name), when it has a parent
    bool unsureName;  // its own name is such a one
    bool known;     // identity read
    SysIdentity identity;
    size_t length;  // 0: free
    char text[kResolvedBytes];
};

// A directory taken as given: the game directory, or a root the call names outside it.
struct Base {
    size_t length;  // 0: none
    int slot;       // held on first use
    char text[kResolvedBytes];
};

struct State {
    bool active;
    uint32_t call;      // counts the calls made: a pin of an earlier one is gone
    bool noCurrent;     // the current directory could not be read, or is too long
    DWORD noCurrentCode;
    size_t gameBytes;   // the bytes its path needs, when too long
    uint32_t clock;
    int hint[2];        // the slots used last, looked at first
    int kept[2];        // the slots the last two resolutions gave (a move's two sides): kept
    Base bases[1 + kRoots];  // [0]: the game directory
    int stack[kDepth];  // the way down to the current directory, the game directory first
    int depth;
    int reach;          // no slot from here on is in use: the scans stop here
    uint8_t keys[kKeys];  // slots held per Key(parent, name)
    Slot slots[kSlots];
} g;

// A hash of a level's name and the slot it lies in, the same for every letter case of an
// ASCII name (Windows names the same level in any).
unsigned Key(int parent, const char* name, size_t length) {
    uint32_t h = 2166136261u ^ static_cast<uint32_t>(parent);
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
        h = (h ^ c) * 16777619u;
    }
    return h % kKeys;
}

// Whether a name's key may differ from the key of another name of the same entry: a
// letter case beyond ASCII (which Key does not fold), a short name ("PROGRA~1"), both
// spell one directory on Windows; natively a case-folding folder does the same.
bool Unsure(const char* name, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(name[i]) >= 0x80 || name[i] == '~') return true;
    return false;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

void Touch(int slot) {
    g.slots[slot].used = ++g.clock;
    if (g.hint[0] == slot) return;
    g.hint[1] = g.hint[0];
    g.hint[0] = slot;
}

// What a resolution hands out stays held until two more have been made.
void Keep(int slot) {
    g.kept[1] = g.kept[0];
    g.kept[0] = slot;
}

void Free(int slot) {
    Slot& s = g.slots[slot];
    if (s.length == 0) return;
    SysRelease(s.dir);
    if (s.parent != kNoSlot) {
        --g.keys[s.key];
        --g.slots[s.parent].children;
        if (s.unsureName) --g.slots[s.parent].unsure;
    }
    s.length = 0;
    s.pins = 0;
}

// Where the name of a level opened in parent starts in its text.
size_t NameAt(int parent) {
    const Slot& p = g.slots[parent];
    return p.length + (IsSeparator(p.text[p.length - 1]) ? 0 : 1);
}

// A slot for a directory just held; the least recently used one is given up when none is
// free, never one that is pinned or that a resolution in progress handed out. kNoSlot
// when every slot is taken (the caller then gives the directory up).
int Store(const char* text, size_t length, SysDir dir, int parent) {
    int chosen = kNoSlot;
    for (int i = 0; i < g.reach; ++i) {
        const Slot& s = g.slots[i];
        if (s.length == 0) {
            chosen = i;
            break;
        }
        if (s.pins > 0 || s.children > 0 || i == g.kept[0] || i == g.kept[1] || i == parent) continue;
        if (chosen == kNoSlot || s.used < g.slots[chosen].used) chosen = i;
    }
    // A slot never used yet before one that is given up.
    if ((chosen == kNoSlot || g.slots[chosen].length != 0) && g.reach < kSlots) chosen = g.reach++;
    if (chosen == kNoSlot) return kNoSlot;
    Free(chosen);
    Slot& s = g.slots[chosen];
    s.dir = dir;
    s.length = length;
    s.pins = 0;
    s.children = 0;
    s.unsure = 0;
    s.unsureName = false;
    s.known = false;
    s.parent = parent;
    memcpy(s.text, text, length);
    s.text[length] = '\0';
    if (parent != kNoSlot) {
        // Its name: what follows the parent's text and a separator.
        const size_t at = NameAt(parent);
        s.key = Key(parent, text + at, length - at);
        s.unsureName = Unsure(text + at, length - at);
        ++g.keys[s.key];
        ++g.slots[parent].children;
        if (s.unsureName) ++g.slots[parent].unsure;
    }
    Touch(chosen);
    return chosen;
}

// Store, or, with every slot taken, the directory given up and the call failed.
int Kept(const char* text, size_t length, SysDir dir, int parent) {
    const int slot = Store(text, length, dir, parent);
    if (slot != kNoSlot) return slot;
    SysRelease(dir);
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return kNoSlot;
}

// The slot holding exactly this directory, or kNoSlot.
int Find(const char* text, size_t length) {
    // The last two first: a walk asks for the same directories over and over.
    for (int r : g.hint) {
        if (r != kNoSlot && g.slots[r].length == length && memcmp(g.slots[r].text, text, length) == 0) return r;
    }
    for (int i = 0; i < g.reach; ++i) {
        if (g.slots[i].length == length && memcmp(g.slots[i].text, text, length) == 0) return i;
    }
    return kNoSlot;
}

// Whether prefix (length bytes) is text itself or a directory above it.
bool Above(const char* prefix, size_t length, const char* text, size_t textLength) {
    if (length > textLength || !SysSameNames(prefix, text, length)) return false;
    return length == textLength || IsSeparator(text[length]) || IsSeparator(prefix[length - 1]);
}

// The base that full (a full path) lies in or is, the longest that fits; null when none:
// the path is then used as given.
Base* BaseOf(const char* full, size_t length) {
    Base* best = nullptr;
    for (Base& b : g.bases) {
        if (b.length == 0 || !Above(b.text, b.length, full, length)) continue;
        if (best == nullptr || b.length > best->length) best = &b;
    }
    return best;
}

// The base's directory, held as given on first use and pinned until the call ends.
int HeldBase(Base& base) {
    if (base.slot != kNoSlot) {
        Touch(base.slot);
        return base.slot;
    }
    const SysDir dir = SysHoldGivenDirectory(base.text);
    if (dir == kSysNone) return kNoSlot;
    const int slot = Kept(base.text, base.length, dir, kNoSlot);
    if (slot == kNoSlot) return kNoSlot;
    g.slots[slot].pins = 1;
    base.slot = slot;
    return slot;
}

// The base as a directory on the way to something below it: a root not there (yet) is a
// level of the way that is missing.
int BaseOnTheWay(Base& base) {
    const int slot = HeldBase(base);
    if (slot != kNoSlot) return slot;
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_DIRECTORY) SetLastError(ERROR_PATH_NOT_FOUND);
    return kNoSlot;
}

// The directory full[0, length) below base, held: from the nearest directory held on the
// way, every further level opened inside the one before, never followed. A level that
// fails is one of the way (ERROR_PATH_NOT_FOUND whatever it is, but a link), unless it is
// the last and lastCodes asks for its own code.
int Hold(const char* full, size_t length, Base& base, bool lastCodes) {
    int from = BaseOnTheWay(base);
    if (from == kNoSlot) return kNoSlot;
    size_t at = base.length;
    for (int i = 0; i < g.reach; ++i) {
        const Slot& s = g.slots[i];
        if (s.length > at && s.length <= length && memcmp(s.text, full, s.length) == 0 &&
            (s.length == length || IsSeparator(full[s.length]))) {
            from = i;
            at = s.length;
        }
    }
    Touch(from);
    while (at < length) {
        if (IsSeparator(full[at])) ++at;
        size_t end = at;
        while (end < length && !IsSeparator(full[end])) ++end;
        char name[kResolvedBytes];
        memcpy(name, full + at, end - at);
        name[end - at] = '\0';
        // The directory it is opened in stays while its child is stored (and after, as a
        // parent does).
        ++g.slots[from].pins;
        const SysDir dir = SysHoldDirectoryAt(g.slots[from].dir, name);
        const int child = dir != kSysNone ? Kept(full, end, dir, from) : kNoSlot;
        --g.slots[from].pins;
        if (child == kNoSlot) {
            const DWORD code = GetLastError();
            const bool last = end == length && lastCodes;
            if (!last && (code == ERROR_FILE_NOT_FOUND || code == ERROR_DIRECTORY)) SetLastError(ERROR_PATH_NOT_FOUND);
            return kNoSlot;
        }
        from = child;
        at = end;
    }
    return from;
}

const Slot& Current() { return g.slots[g.stack[g.depth - 1]]; }

// Copies path into out->text with the system's separators. FALSE, with the code Windows
// gives, for an empty path or one too long for any call.
bool CopyNative(const char* path, Resolved* out, size_t* length) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // Windows resolves an empty path nowhere, unlike a bare name in the current directory.
    if (path[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    const size_t n = strnlen(path, sizeof out->text);
    if (n == sizeof out->text) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    memcpy(out->text, path, n + 1);
    const char other = kSysSeparator == '/' ? '\\' : '/';
    for (char* p = static_cast<char*>(memchr(out->text, other, n)); p != nullptr;
         p = static_cast<char*>(memchr(p + 1, other, n - static_cast<size_t>(p + 1 - out->text))))
        *p = kSysSeparator;
    *length = n;
    return true;
}

void Given(Resolved* out) {
    out->dir = kSysGiven;
    out->slot = kNoSlot;
    out->name = out->text;
}

void Held(Resolved* out, int slot, const char* name) {
    Keep(slot);
    out->dir = g.slots[slot].dir;
    out->slot = slot;
    out->name = name;
}

size_t LastSeparator(const char* text, size_t length) {
    // From the end: only the last level is looked at.
    for (size_t i = length; i > 0; --i) {
        if (text[i - 1] == kSysSeparator) return i - 1;
    }
    return length;  // none
}

// The resolution that takes the full path: whole asks for the path itself as a directory.
BOOL ResolveFull(Resolved* out, bool whole) {
    char full[kResolvedBytes];
    const size_t fullLength = SysFullPath(out->text, Current().text, full, sizeof full);
    if (fullLength == 0) return FALSE;
    Base* base = BaseOf(full, fullLength);
    if (base == nullptr) {
        // Outside every base: the path as given, by its full path (never against a current
        // directory), which a directory to enter must be held as.
        if (!whole) {
            memcpy(out->text, full, fullLength + 1);
            Given(out);
            return TRUE;
        }
        int slot = Find(full, fullLength);
        if (slot == kNoSlot) {
            const SysDir dir = SysHoldGivenDirectory(full);
            if (dir == kSysNone) return FALSE;
            slot = Kept(full, fullLength, dir, kNoSlot);
            if (slot == kNoSlot) return FALSE;
        }
        Touch(slot);
        memcpy(out->text, full, fullLength + 1);
        Held(out, slot, ".");
        return TRUE;
    }
    memcpy(out->text, full, fullLength + 1);
    if (fullLength == base->length) {
        // A root outside the game directory is taken as given, its own name too: a call on
        // it (made, removed, moved) acts on it by its path.
        if (!whole && base != &g.bases[0]) {
            Given(out);
            return TRUE;
        }
        const int slot = HeldBase(*base);
        if (slot == kNoSlot) return FALSE;
        Held(out, slot, ".");
        return TRUE;
    }
    if (whole) {
        const int slot = Hold(out->text, fullLength, *base, true);
        if (slot == kNoSlot) return FALSE;
        Held(out, slot, ".");
        return TRUE;
    }
    const size_t cut = LastSeparator(out->text, fullLength);
    const int slot = cut <= base->length ? BaseOnTheWay(*base) : Hold(out->text, cut, *base, false);
    if (slot == kNoSlot) return FALSE;
    Held(out, slot, out->text + cut + 1);
    return TRUE;
}

// Whether what a resolution ends in may stand where a directory is named: anything but
// a file (ERROR_DIRECTORY, as the system refuses "a.txt\"). A directory, a name still
// to be made and a link (which the call acts on as itself) pass.
bool NamesADirectory(const Resolved& r) {
    if (r.dir != kSysGiven && strcmp(r.name, ".") == 0) return true;
    const SysDir dir = r.dir == kSysGiven ? SysHoldGivenDirectory(r.text) : SysHoldDirectoryAt(r.dir, r.name);
    if (dir != kSysNone) {
        SysRelease(dir);
        return true;
    }
    return GetLastError() != ERROR_DIRECTORY;
}

enum Start { kFailed, kDone, kResolve };

// Copies the path with the system's separators: outside a call it is then used as given.
Start Begin(const char* path, Resolved* out, size_t* length) {
    if (!CopyNative(path, out, length)) return kFailed;
    if (!g.active) {
        Given(out);
        return kDone;
    }
    if (g.noCurrent) {
        SetLastError(g.noCurrentCode);
        return kFailed;
    }
    return kResolve;
}

bool PlainTail(const char* name, size_t length) {
    return length > 0 && SysPlainName(name, length);
}

}  // namespace

bool ConfineActive() { return g.active; }

void ConfineEnd() {
    for (int i = 0; i < g.reach; ++i) Free(i);
    g.reach = 0;
    memset(g.keys, 0, sizeof g.keys);
    for (Base& b : g.bases) {
        b.length = 0;
        b.slot = kNoSlot;
    }
    g.depth = 0;
    g.hint[0] = g.hint[1] = g.kept[0] = g.kept[1] = kNoSlot;
    g.active = false;
}

void ConfineBegin() {
    ConfineEnd();
    ++g.call;
    g.active = true;
    g.noCurrent = false;
    char text[kResolvedBytes];
    size_t length = 0;
    const SysDir dir = SysHoldCurrentDirectory(text, sizeof text, &length);
    if (dir == kSysNone) {
        g.noCurrent = true;
        g.noCurrentCode = GetLastError();
        return;
    }
    if (length == 0 || length >= sizeof text) {
        // Too long for any call: they refuse it, and nothing is resolved below it.
        SysRelease(dir);
        g.noCurrent = true;
        g.noCurrentCode = ERROR_FILENAME_EXCED_RANGE;
        g.gameBytes = length;
        return;
    }
    const int slot = Store(text, length, dir, kNoSlot);
    g.slots[slot].pins = 1;
    g.stack[0] = slot;
    g.depth = 1;
    Base& game = g.bases[0];
    memcpy(game.text, text, length + 1);
    game.length = length;
    game.slot = slot;
}

void ConfineTakeRoot(const char* path, bool ownNameGiven) {
    if (!g.active || g.noCurrent || path == nullptr) return;
    Resolved r;
    size_t length = 0;
    if (!CopyNative(path, &r, &length)) return;
    char full[kResolvedBytes];
    const size_t fullLength = SysFullPath(r.text, Current().text, full, sizeof full);
    if (fullLength == 0) return;  // refused by every call anyway
    // Below the game directory nothing is taken as given, the root itself included.
    const Base& game = g.bases[0];
    if (Above(game.text, game.length, full, fullLength)) return;
    size_t keep = fullLength;
    if (!ownNameGiven) {
        // Its parent is given; its own name is one more level, never followed. The parent
        // of a name at the top of a file system is that top, separator and all.
        const size_t cut = LastSeparator(full, fullLength);
        if (cut < fullLength) {
            char parent[kResolvedBytes];
            memcpy(parent, full, cut);
            parent[cut] = '\0';
            char top[kResolvedBytes];
            const bool plain = SysIsAbsolute(parent) && SysFullPath(parent, Current().text, top, sizeof top) == cut &&
                               memcmp(top, parent, cut) == 0;
            keep = plain ? cut : cut + 1;
        }
    }
    for (int i = 1; i <= kRoots; ++i) {
        Base& b = g.bases[i];
        if (b.length == keep && memcmp(b.text, full, keep) == 0) return;
        if (b.length != 0) continue;
        memcpy(b.text, full, keep);
        b.text[keep] = '\0';
        b.length = keep;
        b.slot = kNoSlot;
        return;
    }
}

BOOL ConfineResolve(const char* path, Resolved* out) {
    if (g.active && !g.noCurrent && path != nullptr) {
        // A bare name, an entry of the current directory, is taken as it is: the walks
        // name every entry so.
        const size_t bare = strcspn(path, "\\/");
        if (path[bare] == '\0' && PlainTail(path, bare)) {
            const int slot = g.stack[g.depth - 1];
            Touch(slot);
            Held(out, slot, path);
            return TRUE;
        }
    }
    size_t length = 0;
    const Start start = Begin(path, out, &length);
    if (start != kResolve) return start == kDone;
    // A path that ends in a separator names a directory, as Win32 and POSIX read it
    // ("a.txt\" names no file): the full path drops that separator, so it is told here.
    if (out->text[length - 1] == kSysSeparator) return ResolveFull(out, false) && NamesADirectory(*out);
    const size_t cut = LastSeparator(out->text, length);
    if (cut == length) {
        // A bare name that is no plain one ("." or ".."): resolved whole, below.
    } else if (SysIsAbsolute(out->text) && PlainTail(out->text + cut + 1, length - cut - 1)) {
        // A directory held already, spelled as it was.
        const int slot = Find(out->text, cut);
        if (slot != kNoSlot) {
            Touch(slot);
            Held(out, slot, out->text + cut + 1);
            return TRUE;
        }
    }
    return ResolveFull(out, false);
}

BOOL ConfineResolveDirectory(const char* path, Resolved* out) {
    size_t length = 0;
    const Start start = Begin(path, out, &length);
    if (start != kResolve) return start == kDone;
    return ResolveFull(out, true);
}

BOOL ConfineEnter(const Resolved& directory) {
    const int slot = directory.slot;
    // Back up the way it came: the level is entered by its own handle.
    for (int i = g.depth - 1; i >= 0; --i) {
        if (g.stack[i] != slot) continue;
        if (!SysEnterDirectory(g.slots[slot].dir, g.slots[slot].text)) return FALSE;
        for (int j = i + 1; j < g.depth; ++j) --g.slots[g.stack[j]].pins;
        g.depth = i + 1;
        return TRUE;
    }
    if (g.depth == kDepth) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    if (!SysEnterDirectory(g.slots[slot].dir, g.slots[slot].text)) return FALSE;
    ++g.slots[slot].pins;
    g.stack[g.depth++] = slot;
    return TRUE;
}

BOOL ConfineCurrentText(const char** text, size_t* length) {
    if (g.noCurrent) {
        if (g.noCurrentCode != ERROR_FILENAME_EXCED_RANGE) {
            SetLastError(g.noCurrentCode);
            return FALSE;
        }
        *text = nullptr;
        *length = g.gameBytes;
        return TRUE;
    }
    const Slot& s = Current();
    *text = s.text;
    *length = s.length;
    return TRUE;
}

bool ConfineInCurrentDirectory(const Resolved& path) {
    return g.active && path.slot != kNoSlot && g.depth > 0 && path.slot == g.stack[g.depth - 1] &&
           strcmp(path.name, ".") != 0;
}

bool ConfineMayBeCurrentDirectory(const Resolved& path) {
    if (path.slot == kNoSlot) return true;
    if (strcmp(path.name, ".") != 0) return !ConfineInCurrentDirectory(path);
    for (int i = 0; i < g.depth; ++i)
        if (g.stack[i] == path.slot) return true;
    return false;
}

namespace {
// Whether slot or a level it lies below is marked, by the levels it was opened in.
bool Below(int slot, const bool* marked) {
    for (int at = slot, levels = 0; at != kNoSlot && levels <= kDepth + kSlots; at = g.slots[at].parent, ++levels) {
        if (marked[at]) return true;
    }
    return false;
}

// Whether two names differ in the letter case of ASCII letters at most, as Key folds them.
bool FoldedEqual(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool IdentityOfSlot(int slot, SysIdentity* out) {
    Slot& s = g.slots[slot];
    if (!s.known) s.known = SysIdentityOf(s.dir, &s.identity);
    if (s.known) *out = s.identity;
    return s.known;
}

// Marks the levels held in holder that are its entry name: the one spelled so, and any
// other spelling of it (another letter case in a folder that folds case, a short name),
// told by identity. Returns whether any is.
bool MarkEntry(int holder, const char* name, bool* marked) {
    const size_t nameLength = strlen(name);
    const bool unsure = Unsure(name, nameLength);
    // Nothing is held below a name unless its own level is. The count per key answers
    // that at once, unless a name on either side may spell the entry another way.
    if (g.keys[Key(holder, name, nameLength)] == 0 && !unsure && g.slots[holder].unsure == 0) return false;
    const size_t at = NameAt(holder);
    bool any = false;
    bool read = false;  // the entry's identity, read once when a spelling needs it
    bool readable = false;
    SysIdentity entry;
    for (int i = 0; i < g.reach; ++i) {
        const Slot& s = g.slots[i];
        if (s.length == 0 || s.parent != holder) continue;
        const size_t length = s.length - at;
        if (length == nameLength && memcmp(s.text + at, name, nameLength) == 0) {
            marked[i] = any = true;  // the very spelling: the same entry
            continue;
        }
        if (!unsure && !s.unsureName && !(length == nameLength && FoldedEqual(s.text + at, name, nameLength)))
            continue;
        if (!read) {
            read = true;
            readable = SysIdentityAt(g.slots[holder].dir, name, &entry);
        }
        SysIdentity held;
        if (readable && IdentityOfSlot(i, &held) && SameIdentity(held, entry)) marked[i] = any = true;
    }
    return any;
}
}  // namespace

void ConfineRelease(const Resolved& path, const Resolved* inUse) {
    if (!g.active || path.slot == kNoSlot) return;
    bool marked[kSlots] = {};
    const bool itself = strcmp(path.name, ".") == 0;
    if (itself) {
        if (g.slots[path.slot].children == 0) return;
        marked[path.slot] = true;
    } else if (!MarkEntry(path.slot, path.name, marked)) {
        return;
    }
    // Deepest first: a level goes once nothing is held below it.
    const int busy = inUse != nullptr ? inUse->slot : kNoSlot;
    for (bool freed = true; freed;) {
        freed = false;
        for (int i = 0; i < g.reach; ++i) {
            const Slot& s = g.slots[i];
            if (s.length == 0 || s.pins > 0 || s.children > 0 || i == busy || (itself && i == path.slot)) continue;
            if (!Below(i, marked)) continue;
            Free(i);
            freed = true;
        }
    }
}

int ConfinePin(const Resolved& directory) {
    if (!g.active || directory.slot == kNoSlot || g.slots[directory.slot].length == 0) return -1;
    ++g.slots[directory.slot].pins;
    return static_cast<int>(g.call % 0x10000u) * kSlots + directory.slot;
}

bool ConfinePinned(int token) {
    return token >= 0 && g.active && static_cast<uint32_t>(token / kSlots) == g.call % 0x10000u;
}

void ConfineUnpin(int token) {
    if (!ConfinePinned(token)) return;
    Slot& s = g.slots[token % kSlots];
    if (s.pins > 0) --s.pins;
}
