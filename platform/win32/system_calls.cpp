// The library's file calls on Windows. Each path is turned from the library's form
// (WTF-8) into UTF-16 at the call, and every listed name back as it is, never through the
// code page: a name the code page cannot spell is reached as any other.
//
// Inside an exported call each path is resolved below the call's bases (confine.h) into a
// directory held and one level in it, and the call acts there with ntdll's calls relative
// to that handle, on the entry itself, never through a link (directories.cpp says why).
// Outside a call, and for a path outside every base, it is kernel32's own function on the
// path as given. Either way the codes are kernel32's for the same situations.
//
// Durability. NTFS journals its metadata (names, sizes, deletions) in one log per volume,
// written in order, so the renames of one volume reach the disk in the order they were
// made; a file's data does not follow its metadata. FlushFileBuffers writes the file's
// data and metadata, the log with them, and has the disk flush its cache. So every copy
// the library makes (CopyOpen, and MoveAcrossVolumes before it deletes the source) is
// flushed before the call returns or the source goes: a copy made beside its destination
// before its rename to that name, and again after it when its source is on another
// volume (SameVolume: the volume of FileIdInformation), and a move across volumes by two
// given paths is MoveFileExW with MOVEFILE_WRITE_THROUGH, which flushes the copy before it
// deletes the source. A rename within a volume pays nothing. CopyFileW of two paths
// outside every base is left unflushed: the library's own copies are all below a base,
// and flushing that copy would take a write handle, which its read-only bit can refuse.
#include <stddef.h>
#include <string.h>
#include <wchar.h>

#include "../system_calls.h"
#include "nt_calls.h"

using namespace qwin;

namespace {

// The codes kernel32 gives where NTSTATUS says less.
BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

// Lengths of the code page's characters, for cutting text between them.
size_t CharacterBytes(const char* p) { return IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0' ? 2 : 1; }

// A listed name in the library's form: one longer than any path, which no listing of a
// Windows file system gives, becomes a byte that no call takes, never a shorter name.
void PutName(const WCHAR* name, size_t units, FsEntry* entry) {
    if (units >= kPathUnits || !EncodeWtf8(reinterpret_cast<const uint16_t*>(name), units, entry->name,
                                           sizeof entry->name)) {
        entry->name[0] = '\xFF';
        entry->name[1] = '\0';
    }
}

void Copy(const WIN32_FIND_DATAW& found, FsEntry* entry) {
    entry->attributes = found.dwFileAttributes;
    entry->reparseTag = found.dwReserved0;
    PutName(found.cFileName, wcsnlen(found.cFileName, MAX_PATH), entry);
}

// ---------------------------------------------------------------------------------
// Listings. A walk lists the directory it stands in, one per level it is down, each from
// the directory's own handle held (confine.h), in batches that each listing keeps.

constexpr int kListings = 140;      // a walk is at most one level per component of a path
constexpr ULONG kListBytes = 2048;  // a few entries at the least (a name holds 255 units)

struct Listing {
    bool used;
    bool given;     // FindFirstFileW's handle; else a directory's handle
    bool borrowed;  // the handle of the directory held, pinned while listed (pin)
    int pin;
    HANDLE handle;
    ULONG at;       // the next entry in data
    ULONG end;      // the bytes of data filled
    size_t nameBytes;       // the entry handed out last (Listed)
    char name[kPathBytes];
    alignas(8) BYTE data[kListBytes];
};

Listing g_listings[kListings];

Listing* TakeListing() {
    for (Listing& l : g_listings) {
        if (!l.used) {
            l.used = true;
            l.borrowed = false;
            l.pin = -1;
            l.at = l.end = 0;
            l.nameBytes = 0;
            return &l;
        }
    }
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
}

Listing* ListingOf(HANDLE find) {
    for (Listing& l : g_listings) {
        if (static_cast<HANDLE>(&l) == find && l.used) return &l;
    }
    return nullptr;
}

// Whether an open listing reads from this handle: its scan goes on from where it
// stopped, which a second listing on the same handle would move.
bool Borrowed(HANDLE handle) {
    for (const Listing& l : g_listings) {
        if (l.used && l.borrowed && l.handle == handle) return true;
    }
    return false;
}

void Remember(Listing* l, const FsEntry& entry) {
    l->nameBytes = strlen(entry.name);
    memcpy(l->name, entry.name, l->nameBytes + 1);
}

// The next entry of a listing read from a held directory, a batch read when the last is
// used up. FALSE with ERROR_NO_MORE_FILES at the end. The first batch restarts the scan,
// since a handle held keeps where an earlier listing of it stopped.
BOOL NextListed(Listing* l, FsEntry* entry, UNICODE_STRING* mask, bool first) {
    if (l->at >= l->end) {
        IO_STATUS_BLOCK io;
        io.Information = 0;
        const NTSTATUS status = NtQueryDirectoryFile(l->handle, NULL, NULL, NULL, &io, l->data, kListBytes,
                                                     FileFullDirectoryInformation, FALSE, mask, first);
        if (status == kStatusNoMoreFiles || (status == 0 && io.Information == 0))
            return Fail(first ? ERROR_FILE_NOT_FOUND : ERROR_NO_MORE_FILES);
        if (status != 0) return FailStatus(status);
        l->at = 0;
        l->end = static_cast<ULONG>(io.Information);
    }
    const auto* e = reinterpret_cast<const FILE_FULL_DIR_INFORMATION*>(l->data + l->at);
    const ULONG nameAt = offsetof(FILE_FULL_DIR_INFORMATION, FileName);
    const ULONG room = l->end - l->at;
    if (room < nameAt || e->FileNameLength > room - nameAt) {
        l->at = l->end;
        return Fail(ERROR_NO_MORE_FILES);
    }
    entry->attributes = e->FileAttributes;
    // FindFirstFileW's dwReserved0: a reparse point's tag is listed in EaSize.
    entry->reparseTag = e->EaSize;
    PutName(e->FileName, e->FileNameLength / sizeof(WCHAR), entry);
    Remember(l, *entry);
    const ULONG next = e->NextEntryOffset;
    l->at = next != 0 && next < room ? l->at + next : l->end;
    return TRUE;
}

// Sets the attribute word of the entry name inside dir, itself and never through a link,
// as SetFileAttributesW does: its times left as they are, 0 taken as FILE_ATTRIBUTE_NORMAL.
// A file that other names share keeps its attributes: they are theirs too (a read-only
// file outside the tree stays read-only), and its deletion removes this name only.
NTSTATUS SetAttributesAt(HANDLE dir, const WCHAR* name, DWORD attributes) {
    HANDLE entry;
    NTSTATUS status = OpenAt(dir, name, FILE_WRITE_ATTRIBUTES, kShareAll, FILE_OPEN, kOwnEntry, 0, &entry);
    if (status != 0) return status;
    if (!Shared(entry)) status = SetAttributes(entry, attributes);
    NtClose(entry);
    return status;
}

// ---------------------------------------------------------------------------------
// Copies.

// One buffer for the library's copies, made one at a time.
BYTE g_copyBuffer[64 * 1024];

// The attributes a file is created with, as CopyFileW gives the copy the source's.
ULONG CreatedAttributes(ULONG source) {
    const ULONG settable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                           FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const ULONG kept = source & settable;
    return kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
}

// Writes the content of in to out. FALSE, last error set, when a read or a write fails.
BOOL CopyContent(HANDLE in, HANDLE out) {
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in, g_copyBuffer, sizeof g_copyBuffer, &got, NULL)) return FALSE;
        if (got == 0) return TRUE;
        for (DWORD done = 0; done < got;) {
            DWORD put = 0;
            if (!WriteFile(out, g_copyBuffer + done, got - done, &put, NULL)) return FALSE;
            if (put == 0) return Fail(ERROR_WRITE_FAULT);
            done += put;
        }
    }
}

// What a copy reads: the source's content, for reading and sharing as CopyFileW opens it.
constexpr ACCESS_MASK kSourceAccess = GENERIC_READ | SYNCHRONIZE;
constexpr ULONG kSourceShare = FILE_SHARE_READ | FILE_SHARE_DELETE;
constexpr ULONG kSourceOptions = FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY;

// The attributes and times of an open source. FALSE, last error set, with *file closed.
BOOL ReadBasic(HANDLE* file, FILE_BASIC_INFORMATION* info) {
    IO_STATUS_BLOCK io;
    const NTSTATUS status = NtQueryInformationFile(*file, &io, info, sizeof *info, FileBasicInformation);
    if (status == 0) return TRUE;
    NtClose(*file);
    return FailStatus(status);
}

// The source of a copy, opened for reading: held, inside its directory as itself, never
// through a link nor a file other names share (OpenContent); given, by its path.
// INVALID_HANDLE_VALUE, last error set.
HANDLE OpenSource(const Path& from, FILE_BASIC_INFORMATION* info) {
    HANDLE in;
    if (from.held()) {
        const NTSTATUS status = from.Open(kSourceAccess, kSourceShare, FILE_OPEN, kSourceOptions, &in);
        if (status != 0) {
            FailStatus(status);
            return INVALID_HANDLE_VALUE;
        }
        if (!OpenContent(&in, kSourceAccess, kSourceShare, kSourceOptions, true)) return INVALID_HANDLE_VALUE;
    } else {
        in = CreateFileW(from.wide(), kSourceAccess, kSourceShare, NULL, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                         NULL);
        if (in == INVALID_HANDLE_VALUE) return in;
    }
    return ReadBasic(&in, info) ? in : INVALID_HANDLE_VALUE;
}

// What is at a copy's destination before anything is made: nothing, or a file that may
// be replaced, as CopyFileW judges it. A link there is refused, never written through (a
// rename over it would replace the link; refused all the same), and so are a directory,
// a read-only or hidden file (5, as CopyFileW gives), the source itself (32, as CopyFileW
// meets its own open source) and a file held without delete sharing (32): the name is
// what goes, by a rename. FALSE, last error set.
BOOL MayReplace(HANDLE in, const Path& to, bool replace) {
    HANDLE old;
    const ACCESS_MASK look = replace ? DELETE | FILE_READ_ATTRIBUTES : FILE_READ_ATTRIBUTES;
    const NTSTATUS status = to.Open(look, kShareAll, FILE_OPEN, 0, &old);
    if (status == kStatusObjectNameNotFound) return TRUE;
    if (status != 0) return FailStatus(status);
    FILE_ATTRIBUTE_TAG_INFO tag;
    DWORD code = ERROR_SUCCESS;
    if (!TagOf(old, &tag))
        code = GetLastError();
    else if (!replace)
        code = ERROR_ALREADY_EXISTS;
    else if (IsLink(tag))
        code = ERROR_REPARSE_POINT_ENCOUNTERED;
    else if (SameFile(in, old))
        code = ERROR_SHARING_VIOLATION;
    else if (tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN))
        code = ERROR_ACCESS_DENIED;
    NtClose(old);
    return code == ERROR_SUCCESS ? TRUE : Fail(code);
}

// Gives the open copy the source's attributes and times: its last write time as CopyFileW
// does, and for a move its creation and last access times too.
NTSTATUS KeepBasic(HANDLE out, const FILE_BASIC_INFORMATION& source, bool allTimes) {
    FILE_BASIC_INFORMATION basic;
    memset(&basic, 0, sizeof basic);  // 0: left as they are
    basic.LastWriteTime = source.LastWriteTime;
    if (allTimes) {
        basic.CreationTime = source.CreationTime;
        basic.LastAccessTime = source.LastAccessTime;
    }
    basic.FileAttributes = CreatedAttributes(source.FileAttributes);
    IO_STATUS_BLOCK io;
    return NtSetInformationFile(out, &io, &basic, sizeof basic, FileBasicInformation);
}

// Renames an open file to the destination, replacing what is there only when asked.
NTSTATUS Rename(HANDLE source, const Path& to, bool replace);

NTSTATUS SetDisposition(HANDLE file, BOOLEAN gone) {
    FILE_DISPOSITION_INFORMATION disposition;
    disposition.DoDeleteFile = gone;
    IO_STATUS_BLOCK io;
    return NtSetInformationFile(file, &io, &disposition, sizeof disposition, FileDispositionInformation);
}

// ".quisel-<process>-<n>.tmp", the name the POSIX layer gives a copy it cannot leave
// unnamed.
void TempName(WCHAR* out, unsigned long process, unsigned n) {
    static const WCHAR kHead[] = L".quisel-";
    size_t at = 0;
    for (const WCHAR* c = kHead; *c != L'\0'; ++c) out[at++] = *c;
    const unsigned long numbers[2] = {process, n};
    for (int i = 0; i < 2; ++i) {
        WCHAR digits[12];
        size_t count = 0;
        unsigned long v = numbers[i];
        do {
            digits[count++] = static_cast<WCHAR>(L'0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (count > 0) out[at++] = digits[--count];
        out[at++] = i == 0 ? L'-' : L'.';
    }
    for (const WCHAR* c = L"tmp"; *c != L'\0'; ++c) out[at++] = *c;
    out[at] = L'\0';
}

// A copy of the open source made a new file beside the destination, under a name of its
// own, and only then renamed to the destination's name: over an existing file when
// replace (that name goes to the copy; a file other names share keeps its content for
// them), never over one otherwise (183). Nothing is ever written into an existing file.
// While it is written the new file is marked for deletion, so a copy cut short, by a
// failure or a kill, goes with its handle; only between that mark's removal and the
// rename can a kill leave it behind. Held destinations only.
// With placed, the copy's handle is handed back open once it is in place.
BOOL PlaceCopy(HANDLE in, const FILE_BASIC_INFORMATION& info, const Path& to, bool replace, bool allTimes,
               HANDLE* placed = nullptr) {
    if (!MayReplace(in, to, replace)) return FALSE;
    static unsigned counter;
    HANDLE out = INVALID_HANDLE_VALUE;
    NTSTATUS status = kStatusObjectNameCollision;
    for (int attempt = 0; attempt < 32 && status == kStatusObjectNameCollision; ++attempt) {
        WCHAR temp[40];
        TempName(temp, GetCurrentProcessId(), counter++);
        status = OpenAt(to.dir(), temp, GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                        FILE_SHARE_READ, FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY,
                        FILE_ATTRIBUTE_NORMAL, &out);
    }
    if (status != 0) return FailStatus(status);
    SetDisposition(out, TRUE);
    BOOL ok = CopyContent(in, out);
    DWORD code = ok ? ERROR_SUCCESS : GetLastError();
    if (ok) {
        bool named = false;
        status = SetDisposition(out, FALSE);
        if (status == 0) status = KeepBasic(out, info, allTimes);
        if (status != 0)
            code = RtlNtStatusToDosError(status);
        else if (!Flush(out))  // its data durable before a name leads to it
            code = GetLastError();
        else if ((status = Rename(out, to, replace)) != 0)
            code = RtlNtStatusToDosError(status);
        // On another volume than its source, its name durable too before the call goes on
        // to delete or replace the source: no volume keeps the order of another's renames.
        else if (!SameVolume(in, out) && !(named = true, Flush(out)))
            code = GetLastError();
        if (code != ERROR_SUCCESS) {
            ok = FALSE;
            // A copy that replaced a file stays in its place; any other goes.
            if (!named || !replace) {
                SetAttributes(out, FILE_ATTRIBUTE_NORMAL);  // a read-only copy can be deleted
                Dispose(out);
            }
        }
    }
    if (ok && placed != nullptr) {
        *placed = out;
        return TRUE;
    }
    NtClose(out);
    return ok ? TRUE : Fail(code);
}

// The destination of a copy given by its path (outside every base), as CopyFileW makes it;
// with kept, its handle is handed back open.
BOOL CopyGiven(HANDLE in, const FILE_BASIC_INFORMATION& info, const Path& to, bool replace, bool allTimes,
               HANDLE* kept = nullptr) {
    const HANDLE out = CreateFileW(to.wide(), GENERIC_WRITE | DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   NULL, replace ? CREATE_ALWAYS : CREATE_NEW,
                                   CreatedAttributes(info.FileAttributes) | FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (out == INVALID_HANDLE_VALUE) {
        if (!replace && GetLastError() == ERROR_FILE_EXISTS) Fail(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (!CopyContent(in, out)) {
        const DWORD code = GetLastError();
        Dispose(out);
        CloseHandle(out);
        return Fail(code);
    }
    KeepBasic(out, info, allTimes);
    // Durable, data and name, before the call can delete or replace the other copy.
    if (!Flush(out)) {
        const DWORD code = GetLastError();
        Dispose(out);
        CloseHandle(out);
        return Fail(code);
    }
    if (kept != nullptr)
        *kept = out;
    else
        CloseHandle(out);
    return TRUE;
}

// Copies the open source to the destination; a destination left unfinished is removed.
BOOL CopyOpen(HANDLE in, const FILE_BASIC_INFORMATION& info, const Path& to, bool replace, bool allTimes) {
    if (!to.held()) return CopyGiven(in, info, to, replace, allTimes);
    if (to.itself()) return Fail(replace ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS);  // the game directory
    return PlaceCopy(in, info, to, replace, allTimes);
}

// ---------------------------------------------------------------------------------
// Moves.

// FILE_RENAME_INFORMATION with room for a destination's name.
struct RenameBuffer {
    FILE_RENAME_INFORMATION info;
    WCHAR room[kResolvedBytes + 8];
};

NTSTATUS Rename(HANDLE source, const Path& to, bool replace) {
    RenameBuffer buffer;
    memset(&buffer.info, 0, sizeof buffer.info);
    buffer.info.ReplaceIfExists = replace ? TRUE : FALSE;
    const ULONG room = sizeof buffer.room;
    if (to.held()) {
        // One level inside the destination's directory held.
        const size_t bytes = wcslen(to.wide()) * sizeof(WCHAR);
        if (bytes > room) return kStatusInvalidParameter;
        buffer.info.RootDirectory = to.dir();
        buffer.info.FileNameLength = static_cast<ULONG>(bytes);
        memcpy(buffer.info.FileName, to.wide(), bytes);
    } else {
        UNICODE_STRING nt;
        if (!RtlDosPathNameToNtPathName_U(to.wide(), &nt, NULL, NULL)) return kStatusInvalidParameter;
        const bool fits = nt.Length <= room;
        if (fits) {
            buffer.info.FileNameLength = nt.Length;
            memcpy(buffer.info.FileName, nt.Buffer, nt.Length);
        }
        RtlFreeUnicodeString(&nt);
        if (!fits) return kStatusInvalidParameter;
    }
    IO_STATUS_BLOCK io;
    // The system takes no less than the whole structure, whose one character a name of
    // one character does not pass (STATUS_INVALID_PARAMETER otherwise).
    const ULONG length = static_cast<ULONG>(sizeof buffer.info + buffer.info.FileNameLength);
    return NtSetInformationFile(source, &io, &buffer.info, length, FileRenameInformation);
}

// A file moved to another volume, as MoveFileW does it: copied (content, attributes and
// times) beside the destination and put in place, and only then the source deleted. A
// move that fails leaves the source whole and no copy behind.
BOOL MoveAcrossVolumes(HANDLE source, const Path& to) {
    // The source itself again, for reading, through its handle: never through a link,
    // which is moved only within its volume.
    HANDLE in;
    if (!Reopen(source, kSourceAccess, kSourceShare, kSourceOptions, false, &in)) return FALSE;
    if (!OpenContent(&in, kSourceAccess, kSourceShare, kSourceOptions, false)) {
        return GetLastError() == ERROR_REPARSE_POINT_ENCOUNTERED ? Fail(ERROR_NOT_SAME_DEVICE) : FALSE;
    }
    FILE_BASIC_INFORMATION info;
    if (!ReadBasic(&in, &info)) return FALSE;
    // A destination outside every base is made by its path.
    HANDLE out;
    const BOOL placed =
        to.held() ? PlaceCopy(in, info, to, false, true, &out) : CopyGiven(in, info, to, false, true, &out);
    NtClose(in);
    if (!placed) return FALSE;
    // A read-only file moves as any other; only its deletion needs the bit off.
    const NTSTATUS status = Dispose(source, true);
    if (status != 0) Dispose(out, true);  // the source stays whole; its copy must not outlive the failed move
    NtClose(out);
    return status == 0 ? TRUE : FailStatus(status);
}

}  // namespace

bool qwin::Listed(const char* name, size_t length) {
    for (const Listing& l : g_listings) {
        if (l.used && l.nameBytes == length && memcmp(l.name, name, length) == 0) return true;
    }
    return false;
}

DWORD FsGetCurrentDirectory(char* buffer) {
    if (ConfineActive()) {
        // The directory the call entered, by the path it was entered by.
        const char* text;
        size_t length;
        if (!ConfineCurrentText(&text, &length)) return 0;
        const size_t units = text != nullptr ? PathUnits(text, length) : length;
        if (text == nullptr || units >= kPathUnits || length >= kPathBytes) {
            buffer[0] = '\0';
            return static_cast<DWORD>(units >= kPathUnits ? units : static_cast<size_t>(kPathUnits));
        }
        memcpy(buffer, text, length + 1);
        return static_cast<DWORD>(units);
    }
    WCHAR wide[kPathUnits];
    const DWORD length = GetCurrentDirectoryW(kPathUnits, wide);
    if (length == 0 || length >= kPathUnits) return length;
    EncodeWtf8(reinterpret_cast<const uint16_t*>(wide), length, buffer, kPathBytes);
    return length;
}

BOOL FsSetCurrentDirectory(const char* path) {
    Resolved directory;
    if (!ConfineResolveDirectory(path, &directory)) return FALSE;
    if (directory.dir != kSysGiven) return ConfineEnter(directory);
    WidePath wide;
    return wide.Set(directory.name) && SetCurrentDirectoryW(wide.text);
}

HANDLE FsFindFirstFile(const char* pattern, FsEntry* entry) {
    Path p;
    if (!p.Set(pattern)) return INVALID_HANDLE_VALUE;
    Listing* l = TakeListing();
    if (l == nullptr) return INVALID_HANDLE_VALUE;
    if (!p.held()) {
        WIN32_FIND_DATAW found;
        l->given = true;
        l->handle = FindFirstFileW(p.wide(), &found);
        if (l->handle == INVALID_HANDLE_VALUE) {
            l->used = false;
            return INVALID_HANDLE_VALUE;
        }
        Copy(found, entry);
        Remember(l, *entry);
        return static_cast<HANDLE>(l);
    }
    // Every name of a directory is read from its own handle held, unless another listing
    // is reading from that handle now (its scan position is the handle's) or a mask is
    // asked for (the first one a handle is queried with stays its mask): then from a
    // second handle of the same directory, opened through the first.
    l->given = false;
    const WCHAR* name = p.wide();
    // "*.*" and "*" are every name, as FindFirstFileW reads them.
    const bool all = p.itself() || wcscmp(name, L"*.*") == 0 || wcscmp(name, L"*") == 0;
    if (all && !Borrowed(p.dir())) {
        l->handle = p.dir();
        l->borrowed = true;
        l->pin = ConfinePin(p.resolved());
    } else if (!Reopen(p.dir(), FILE_LIST_DIRECTORY, kShareAll, FILE_DIRECTORY_FILE, false, &l->handle)) {
        l->used = false;
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING mask = Counted(name, wcslen(name));
    if (!NextListed(l, entry, all ? nullptr : &mask, true)) {
        const DWORD code = GetLastError();
        FsFindClose(static_cast<HANDLE>(l));
        Fail(code);
        return INVALID_HANDLE_VALUE;
    }
    return static_cast<HANDLE>(l);
}

BOOL FsFindNextFile(HANDLE find, FsEntry* entry) {
    Listing* l = ListingOf(find);
    if (l == nullptr) return Fail(ERROR_INVALID_HANDLE);
    // A directory held is given up when the call ends: so is a listing of its handle.
    if (l->borrowed && !ConfinePinned(l->pin)) return Fail(ERROR_INVALID_HANDLE);
    if (!l->given) return NextListed(l, entry, nullptr, false);
    WIN32_FIND_DATAW found;
    if (!FindNextFileW(l->handle, &found)) return FALSE;
    Copy(found, entry);
    Remember(l, *entry);
    return TRUE;
}

BOOL FsFindClose(HANDLE find) {
    Listing* l = ListingOf(find);
    if (l == nullptr) return Fail(ERROR_INVALID_HANDLE);
    BOOL closed = TRUE;
    if (l->borrowed)
        ConfineUnpin(l->pin);
    else
        closed = l->given ? FindClose(l->handle) : NtClose(l->handle) == 0;
    l->used = false;
    return closed;
}

BOOL FsCreateDirectory(const char* path) {
    Path p;
    if (!p.Set(path)) return FALSE;
    if (!p.held()) return CreateDirectoryW(p.wide(), NULL);
    if (p.itself()) return Fail(ERROR_ALREADY_EXISTS);
    HANDLE dir;
    const NTSTATUS status = p.Open(FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                                   FILE_DIRECTORY_FILE, &dir);
    if (status != 0) return FailStatus(status);
    NtClose(dir);
    return TRUE;
}

DWORD FsGetFileAttributes(const char* path) {
    Path p;
    if (!p.Set(path)) return INVALID_FILE_ATTRIBUTES;
    if (!p.held()) return GetFileAttributesW(p.wide());
    // The entry's own attributes, a link's included, as GetFileAttributesW gives them.
    HANDLE entry;
    const NTSTATUS status = p.Open(FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0, &entry);
    if (status != 0) {
        FailStatus(status);
        return INVALID_FILE_ATTRIBUTES;
    }
    FILE_ATTRIBUTE_TAG_INFO tag;
    const bool read = TagOf(entry, &tag);
    NtClose(entry);
    return read ? tag.FileAttributes : INVALID_FILE_ATTRIBUTES;
}

DWORD FsLinkAttributes(const char* path) {
    Path p;
    if (!p.Set(path) || p.itself()) return 0;
    if (!p.held()) {
        FILE_ATTRIBUTE_TAG_INFO tag;
        const HANDLE entry = CreateFileW(p.wide(), FILE_READ_ATTRIBUTES, kShareAll, NULL, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        if (entry == INVALID_HANDLE_VALUE) return 0;
        const bool link = TagOf(entry, &tag) && IsLink(tag);
        CloseHandle(entry);
        if (link) return tag.FileAttributes;
        if (wcspbrk(p.wide(), L"*?") != nullptr) return 0;
        WIN32_FIND_DATAW found;
        const HANDLE find = FindFirstFileW(p.wide(), &found);
        if (find == INVALID_HANDLE_VALUE) return 0;
        FindClose(find);
        return FsIsLink(found.dwFileAttributes, found.dwReserved0) ? found.dwFileAttributes : 0;
    }
    DWORD attributes;
    if (LinkAt(p.dir(), p.wide(), &attributes)) return attributes;
    // What the directory lists for the name too: Wine opens a Unix symbolic link as its
    // target, and only its listing tells a link. Windows lists what the handle says.
    const WCHAR* name = p.wide();
    if (wcspbrk(name, L"*?<>\"") != nullptr) return 0;
    // A handle of its own: the mask would stay the held handle's, and its scan position
    // is a walk's.
    HANDLE dir;
    if (!Reopen(p.dir(), FILE_LIST_DIRECTORY, kShareAll, FILE_DIRECTORY_FILE, false, &dir)) return 0;
    UNICODE_STRING mask = Counted(name, wcslen(name));
    alignas(8) BYTE data[sizeof(FILE_FULL_DIR_INFORMATION) + kPathUnits * sizeof(WCHAR)];
    IO_STATUS_BLOCK io;
    const NTSTATUS status = NtQueryDirectoryFile(dir, NULL, NULL, NULL, &io, data, sizeof data,
                                                 FileFullDirectoryInformation, TRUE, &mask, TRUE);
    NtClose(dir);
    if (status != 0) return 0;
    const auto* e = reinterpret_cast<const FILE_FULL_DIR_INFORMATION*>(data);
    const bool same = SameName(e->FileName, e->FileNameLength / sizeof(WCHAR), name, wcslen(name));
    return same && FsIsLink(e->FileAttributes, e->EaSize) ? e->FileAttributes : 0;
}

BOOL SysRemoveDirectory(const char* path) {
    Path p;
    if (!p.Set(path)) return FALSE;
    // No handle of ours keeps it, nor a directory held at its old place afterwards.
    ConfineRelease(p.resolved(), nullptr);
    if (!p.held()) return RemoveDirectoryW(p.wide());
    HANDLE dir;
    NTSTATUS status = p.Open(DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &dir);
    if (status != 0) return FailStatus(status);
    // A link to a directory goes as the link. Any other reparse point is presented by the
    // system through this handle, as RemoveDirectoryW opens it again, so that a synced
    // folder's placeholder is judged empty or not by what it holds: the same directory and
    // no other, never one a link set on it meanwhile leads to (Reopen).
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (TagOf(dir, &tag) && (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !IsLink(tag)) {
        HANDLE again;
        const bool reopened = Reopen(dir, DELETE, kShareAll, FILE_DIRECTORY_FILE, true, &again);
        const DWORD code = GetLastError();
        NtClose(dir);
        if (!reopened) return Fail(code);
        dir = again;
    }
    // A read-only directory (every folder customised with a desktop.ini) goes as another:
    // the bit asks Explorer to look for the folder's desktop.ini, and protects nothing.
    status = Dispose(dir, true);
    NtClose(dir);
    return status == 0 ? TRUE : FailStatus(status);
}

BOOL SysSetFileAttributes(const char* path, DWORD attributes) {
    Path p;
    if (!p.Set(path)) return FALSE;
    if (!p.held()) return SetFileAttributesW(p.wide(), attributes);
    const NTSTATUS status = SetAttributesAt(p.dir(), p.wide(), attributes);
    return status == 0 ? TRUE : FailStatus(status);
}

BOOL SysDeleteFile(const char* path) {
    Path p;
    if (!p.Set(path)) return FALSE;
    if (!p.held()) return DeleteFileW(p.wide());
    if (p.itself()) return Fail(ERROR_ACCESS_DENIED);  // a directory
    // A directory, a link to one included, is refused with 5; a link to a file goes as the
    // link; a read-only file is refused with 5, one held without delete sharing with 32.
    // A read-only file that other names share loses this name only, read-only as it was
    // for them (its attribute reset changed nothing).
    HANDLE file;
    NTSTATUS status = p.Open(DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &file);
    if (status != 0) return FailStatus(status);
    status = Dispose(file);
    if (status == kStatusCannotDelete && Shared(file)) status = Dispose(file, true);
    NtClose(file);
    return status == 0 ? TRUE : FailStatus(status);
}

BOOL SysMoveFile(const char* existing, const char* target) {
    Path from, to;
    if (!from.Set(existing)) return FALSE;
    // MoveFileW opens the source before it looks for the destination: what is wrong with
    // the source (missing, held open) is told first.
    const bool toResolved = to.Set(target);
    const DWORD toCode = toResolved ? ERROR_SUCCESS : GetLastError();
    if (!from.held() && (!toResolved || !to.held())) {
        // A rename within a volume as it is; across volumes a copy flushed before the source
        // is deleted (MoveFileW alone does not flush it).
        if (toResolved) {
            if (MoveFileExW(from.wide(), to.wide(), 0)) return TRUE;
            if (GetLastError() != ERROR_NOT_SAME_DEVICE) return FALSE;
            return MoveFileExW(from.wide(), to.wide(), MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH);
        }
        if (GetFileAttributesW(from.wide()) == INVALID_FILE_ATTRIBUTES) return FALSE;
        return Fail(toCode);
    }
    // The source as itself, a link as the link.
    HANDLE source;
    if (from.held()) {
        const NTSTATUS status = from.Open(DELETE | FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0, &source);
        if (status != 0) return FailStatus(status);
    } else {
        source = CreateFileW(from.wide(), DELETE | FILE_READ_ATTRIBUTES, kShareAll, NULL, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        if (source == INVALID_HANDLE_VALUE) return FALSE;
    }
    if (!toResolved) {
        CloseHandle(source);
        return Fail(toCode);
    }
    if (to.itself()) {
        CloseHandle(source);
        return Fail(ERROR_ALREADY_EXISTS);  // the game directory
    }
    // No directory held at or below the source's old place outlives the move.
    ConfineRelease(from.resolved(), &to.resolved());
    NTSTATUS status = Rename(source, to, false);
    BOOL moved = status == 0;
    if (status == kStatusNotSameDevice) {
        FILE_ATTRIBUTE_TAG_INFO tag;
        if (!TagOf(source, &tag))
            moved = FALSE;
        else if (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            moved = Fail(ERROR_NOT_SAME_DEVICE);
        else
            moved = MoveAcrossVolumes(source, to);
        status = 0;
    }
    const DWORD code = GetLastError();
    CloseHandle(source);
    if (status != 0) return FailStatus(status);
    SetLastError(code);
    return moved;
}

BOOL SysCopyFile(const char* existing, const char* target, BOOL failIfExists) {
    Path from, to;
    if (!from.Set(existing)) return FALSE;
    const bool toResolved = to.Set(target);
    const DWORD toCode = toResolved ? ERROR_SUCCESS : GetLastError();
    if (!from.held() && toResolved && !to.held()) return CopyFileW(from.wide(), to.wide(), failIfExists);
    // A missing source is told first.
    FILE_BASIC_INFORMATION info;
    const HANDLE in = OpenSource(from, &info);
    if (in == INVALID_HANDLE_VALUE) return FALSE;
    if (!toResolved) {
        CloseHandle(in);
        return Fail(toCode);
    }
    if (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        CloseHandle(in);
        return Fail(ERROR_ACCESS_DENIED);
    }
    const BOOL copied = CopyOpen(in, info, to, !failIfExists, false);
    const DWORD code = GetLastError();
    CloseHandle(in);
    if (!copied && failIfExists && code == ERROR_ALREADY_EXISTS) return Fail(ERROR_FILE_EXISTS);
    SetLastError(code);
    return copied;
}

void SysPause(DWORD ms) { Sleep(ms); }

int FromCodePage(const char* text, char* out, size_t size) {
    if (size == 0) return 0;
    // No character of a code page takes fewer bytes in UTF-8 than in the code page, so
    // text longer than size - 1 bytes cannot fit: only what could is converted.
    size_t length = 0;
    int whole = 1;
    while (text[length] != '\0') {
        const size_t step = CharacterBytes(text + length);
        if (length + step > size - 1 || length + step >= kArgumentBytes) {
            whole = 0;
            break;
        }
        length += step;
    }
    WCHAR wide[kArgumentBytes];
    int count = length == 0 ? 0
                            : MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, static_cast<int>(length), wide,
                                                  kArgumentBytes - 1);
    if (count > 0 || length == 0) {
        return EncodeWtf8(reinterpret_cast<const uint16_t*>(wide), static_cast<size_t>(count), out, size) && whole;
    }
    // Some byte is no character of the code page: character by character, each such one
    // as a byte that is no WTF-8.
    size_t at = 0;
    out[0] = '\0';
    for (size_t i = 0; i < length;) {
        const size_t step = CharacterBytes(text + i);
        WCHAR one[2];
        const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text + i, static_cast<int>(step), one, 2);
        i += step;
        if (units > 0) {
            if (!EncodeWtf8(reinterpret_cast<const uint16_t*>(one), static_cast<size_t>(units), out + at, size - at))
                return 0;
            at += strlen(out + at);
        } else {
            if (at + 1 >= size) return 0;
            out[at++] = '\xFF';
            out[at] = '\0';
        }
    }
    return whole;
}

size_t LogText(const char* text, char* out, size_t size) {
    if (size == 0) return 0;
    // Every unit gives at least one byte, so size - 1 of them are all that can show.
    const size_t kUnits = 1024;
    const UINT codePage = GetACP();
    WCHAR wide[kUnits];
    const size_t units = DecodeWtf8ForDisplay(text, reinterpret_cast<uint16_t*>(wide), size < kUnits ? size : kUnits,
                                              codePage == CP_UTF8);
    char bytes[4 * kUnits];
    int length = 0;
    if (units > 0) {
        // Never the best-fit look-alike ("a" for "ä"), which could name another file.
        const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
        length = WideCharToMultiByte(codePage, flags, wide, static_cast<int>(units), bytes, sizeof bytes,
                                     codePage == CP_UTF8 ? NULL : "?", NULL);
    }
    size_t written = length > 0 ? static_cast<size_t>(length) : 0;
    if (written > size - 1) written = size - 1;
    memcpy(out, bytes, written);
    out[written] = '\0';
    return written;
}
