// The directories the confinement holds (platform/confine.h) on Windows, and the ntdll
// calls that act inside them.
//
// Why handle-relative NT calls. Every level of a path below the call's bases is opened
// on its own, inside the handle of the level above (NtCreateFile with RootDirectory,
// FILE_OPEN_REPARSE_POINT), its reparse tag checked, and the handle kept; a file call
// then names one level inside that handle. NtCreateFile relative to a handle looks the
// name up in the directory the handle refers to, wherever that directory has been moved
// meanwhile, and never parses the levels above again, so a link planted or swapped in
// above is never met; FILE_OPEN_REPARSE_POINT keeps the last level itself from being
// followed. The other way, pinning each directory of the way (held without delete
// sharing, so that it cannot be renamed or removed) and calling kernel32 by path, does not
// hold: an empty directory that cannot be renamed can still be turned into a junction in
// place, which takes only FILE_WRITE_ATTRIBUTES and so is governed by no share mode, and
// the next path-based call through it is led out. Pins would also keep the library
// itself, and anyone else, from removing or moving those directories. So directories are
// held with every sharing and no right to their content (nt_calls.h: kHeldAccess).
//
// What it costs. Each directory level is opened once per call and its tag read (two
// system calls), where a path-based call opened nothing of its own; the resolver keeps
// what it opened, so a walk opens each directory once, not once per file. A file call
// costs what kernel32's own does: a move one open and one rename, a deletion one open
// and one disposition; an attribute query is an open, a query and a close (kernel32
// needs one call, but Wine 8 ignores the root of NtQueryAttributesFile). Entering a
// directory is by its path (Windows has no fchdir), then checked against the handle held:
// a few calls more per level entered. A listing is read from the held handle in small
// batches. kernel32's file functions are made again here for what the library relies on
// (error codes, a copy's content, attributes and last write time; a move across volumes
// as a copy and a deletion), not in full (no alternate streams or security are copied).
// The DLL imports ntdll.dll. Under Wine 8, FILE_OPEN_REPARSE_POINT follows a Unix symbolic
// link, so there a link is seen only by a listing (its tag 0, which files.h counts as a
// link; FsLinkAttributes).
#include <string.h>
#include <wchar.h>

#include "nt_calls.h"

const SysDir kSysGiven = 0;
const SysDir kSysNone = -1;  // INVALID_HANDLE_VALUE
const char kSysSeparator = '\\';

namespace qwin {

NTSTATUS OpenAt(HANDLE dir, const WCHAR* name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                ULONG attributes, HANDLE* out, ULONG_PTR* information) {
    UNICODE_STRING string = Counted(name, wcslen(name));
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &string, OBJ_CASE_INSENSITIVE, dir, NULL);
    IO_STATUS_BLOCK io;
    io.Information = 0;
    const NTSTATUS status = NtCreateFile(out, access | SYNCHRONIZE, &object, &io, NULL, attributes, share, disposition,
                                         options | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (information != nullptr) *information = io.Information;
    return status;
}

bool TagOf(HANDLE file, FILE_ATTRIBUTE_TAG_INFO* tag) {
    IO_STATUS_BLOCK io;
    const NTSTATUS status = NtQueryInformationFile(file, &io, tag, sizeof *tag, FileAttributeTagInformation);
    if (status == 0) return true;
    SetLastError(RtlNtStatusToDosError(status));
    return false;
}

bool NotALink(HANDLE file, FILE_ATTRIBUTE_TAG_INFO* tag) {
    const bool read = TagOf(file, tag);
    if (read && !IsLink(*tag)) return true;
    const DWORD code = read ? ERROR_REPARSE_POINT_ENCOUNTERED : GetLastError();
    NtClose(file);
    SetLastError(code);
    return false;
}

bool LinkAt(HANDLE dir, const WCHAR* name, DWORD* attributes) {
    HANDLE entry;
    if (OpenAt(dir, name, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, kOwnEntry, 0, &entry) != 0) return false;
    FILE_ATTRIBUTE_TAG_INFO tag;
    const bool link = TagOf(entry, &tag) && IsLink(tag);
    NtClose(entry);
    if (link && attributes != nullptr) *attributes = tag.FileAttributes;
    return link;
}

bool OpenContent(HANDLE* file, ACCESS_MASK access, ULONG share, ULONG options) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!NotALink(*file, &tag)) return false;
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
    HANDLE content;
    const NTSTATUS status = OpenAt(*file, L"", access, share, FILE_OPEN, options, 0, &content);
    NtClose(*file);
    if (status != 0) return FailStatus(status);
    *file = content;
    return true;
}

bool SameFile(HANDLE a, HANDLE b) {
    // FileIdInformation (Windows 8 and later): the volume and the whole 128-bit id (ReFS
    // ids do not fit the 64 bits of the older query), in one call per handle.
    struct FileId {
        ULONGLONG volume;
        BYTE id[16];
    } x, y;
    const FILE_INFORMATION_CLASS kFileIdInformation = static_cast<FILE_INFORMATION_CLASS>(59);
    IO_STATUS_BLOCK io;
    if (NtQueryInformationFile(a, &io, &x, sizeof x, kFileIdInformation) == 0 &&
        NtQueryInformationFile(b, &io, &y, sizeof y, kFileIdInformation) == 0)
        return x.volume == y.volume && memcmp(x.id, y.id, sizeof x.id) == 0;
    BY_HANDLE_FILE_INFORMATION u, v;
    return GetFileInformationByHandle(a, &u) && GetFileInformationByHandle(b, &v) &&
           u.dwVolumeSerialNumber == v.dwVolumeSerialNumber && u.nFileIndexHigh == v.nFileIndexHigh &&
           u.nFileIndexLow == v.nFileIndexLow;
}

bool SameName(const WCHAR* a, size_t aUnits, const WCHAR* b, size_t bUnits) {
    if (aUnits > 0x7FFF || bUnits > 0x7FFF) return false;
    const UNICODE_STRING x = Counted(a, aUnits), y = Counted(b, bUnits);
    return RtlEqualUnicodeString(&x, &y, TRUE) != FALSE;
}

namespace {
// FileDispositionInformationEx and its flags (Windows 10 1709 and later).
constexpr FILE_INFORMATION_CLASS kDispositionEx = static_cast<FILE_INFORMATION_CLASS>(64);
constexpr ULONG kDispositionDelete = 0x1;
constexpr ULONG kDispositionPosix = 0x2;
// Set once the system has said it has no such class at all.
bool g_noDispositionEx;
}  // namespace

NTSTATUS Dispose(HANDLE file) {
    IO_STATUS_BLOCK io;
    if (!g_noDispositionEx) {
        // As DeleteFileW does where it can: the name goes now, not when the last handle
        // another program holds with delete sharing closes, so the directory above empties.
        ULONG flags = kDispositionDelete | kDispositionPosix;
        const NTSTATUS status = NtSetInformationFile(file, &io, &flags, sizeof flags, kDispositionEx);
        if (status == kStatusNotImplemented || status == kStatusInvalidInfoClass) {
            g_noDispositionEx = true;
        } else if (status != kStatusInvalidParameter && status != kStatusNotSupported) {
            return status;  // a file system without it (FAT) says so per volume
        }
    }
    FILE_DISPOSITION_INFORMATION disposition;
    disposition.DoDeleteFile = TRUE;
    return NtSetInformationFile(file, &io, &disposition, sizeof disposition, FileDispositionInformation);
}

BOOL FailStatus(NTSTATUS status) {
    SetLastError(RtlNtStatusToDosError(status));
    return FALSE;
}

bool Path::Set(const char* path) {
    if (!ConfineResolve(path, &r_)) return false;
    itself_ = held() && strcmp(r_.name, ".") == 0;
    return itself_ || wide_.Set(r_.name);
}

NTSTATUS Path::Open(ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options, HANDLE* out, ULONG attributes,
                    ULONG_PTR* information) const {
    return OpenAt(dir(), wide(), access, share, disposition, options | kOwnEntry, attributes, out, information);
}

}  // namespace qwin

using namespace qwin;

namespace {

SysDir Refused(DWORD code) {
    SetLastError(code);
    return kSysNone;
}

// Full paths, joined and normalised: more than any path a call may give (confine.h).
using WideFull = WideText<kResolvedBytes>;

// The characters of a full path that are its top: "C:\", "\\server\share\"; all of a
// device path ("\\?\", "\\.\"), which is never taken apart.
size_t TopLength(const WCHAR* full, size_t length) {
    if (length >= 3 && full[1] == L':' && full[2] == L'\\') return 3;
    if (length >= 2 && full[0] == L'\\' && full[1] == L'\\') {
        if (length >= 4 && (full[2] == L'?' || full[2] == L'.') && full[3] == L'\\') return length;
        size_t at = 2;
        for (int level = 0; level < 2; ++level) {
            while (at < length && full[at] != L'\\') ++at;
            if (at < length) ++at;
        }
        return at;
    }
    return 0;
}

// Why a directory could not be opened inside parent: a link there (whatever it leads to)
// fails with 4395, as a link met on the way does; anything else with its own code.
DWORD LevelCode(HANDLE parent, const WCHAR* name, NTSTATUS status) {
    if (status == kStatusNotADirectory && LinkAt(parent, name, nullptr)) return ERROR_REPARSE_POINT_ENCOUNTERED;
    return RtlNtStatusToDosError(status);
}

bool IsDirectory(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    return TagOf(file, &tag) && (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether a name may be one of DOS's devices ("con", "nul.txt", "com1"...), which
// GetFullPathName turns into a device path wherever they stand.
bool MayBeDevice(const char* name, size_t length) {
    if (length < 3) return false;
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "COM", "LPT"};
    const char head[3] = {Upper(name[0]), Upper(name[1]), Upper(name[2])};
    for (const char* device : kDevices) {
        if (memcmp(head, device, 3) == 0) return true;
    }
    return false;
}

}  // namespace

SysDir SysHoldCurrentDirectory(char* text, size_t size, size_t* length) {
    WideFull wide;
    const DWORD units = GetCurrentDirectoryW(kResolvedBytes, wide.text);
    if (units == 0) return Refused(GetLastError());
    // The game directory is taken as given, links on its way followed.
    const HANDLE dir = CreateFileW(L".", kHeldAccess, kShareAll, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (dir == INVALID_HANDLE_VALUE) return Refused(GetLastError());
    if (units >= kResolvedBytes ||
        !EncodeWtf8(reinterpret_cast<const uint16_t*>(wide.text), units, text, size)) {
        *length = 3 * static_cast<size_t>(units) > size ? 3 * static_cast<size_t>(units) : size;  // too long
        return reinterpret_cast<SysDir>(dir);
    }
    *length = strlen(text);
    return reinterpret_cast<SysDir>(dir);
}

SysDir SysHoldGivenDirectory(const char* path) {
    WidePath wide;
    if (!wide.Set(path)) return kSysNone;
    const HANDLE dir =
        CreateFileW(wide.text, kHeldAccess, kShareAll, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (dir == INVALID_HANDLE_VALUE) return Refused(GetLastError());
    if (!IsDirectory(dir)) {
        CloseHandle(dir);
        return Refused(ERROR_DIRECTORY);
    }
    return reinterpret_cast<SysDir>(dir);
}

SysDir SysHoldDirectoryAt(SysDir parent, const char* name) {
    // An empty name would open the parent again.
    if (name[0] == '\0') return Refused(ERROR_INVALID_NAME);
    WidePath wide;
    if (!wide.Set(name)) return kSysNone;
    HANDLE dir;
    const NTSTATUS status = OpenAt(AsHandle(parent), wide.text, kHeldAccess, kShareAll, FILE_OPEN,
                                   FILE_DIRECTORY_FILE | kOwnEntry, 0, &dir);
    if (status != 0) return Refused(LevelCode(AsHandle(parent), wide.text, status));
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!NotALink(dir, &tag)) return kSysNone;
    // Any other reparse point (a synced folder's placeholder, a deduplicated folder) is a
    // directory like another.
    return reinterpret_cast<SysDir>(dir);
}

void SysRelease(SysDir dir) {
    if (dir != kSysNone && dir != kSysGiven) NtClose(AsHandle(dir));
}

BOOL SysEnterDirectory(SysDir dir, const char* text) {
    WidePath wide;
    if (!wide.Set(text)) return FALSE;
    WCHAR previous[kPathUnits];
    const DWORD previousUnits = GetCurrentDirectoryW(kPathUnits, previous);
    if (!SetCurrentDirectoryW(wide.text)) return FALSE;
    // SetCurrentDirectoryW went by the path: the directory it reached must be the one held.
    // Its last level is followed, as SetCurrentDirectoryW follows it, so that a base taken
    // as given that is itself a link is entered; a level swapped for a link meanwhile
    // leads elsewhere, or to the very directory held, which is then entered all the same.
    const HANDLE now =
        CreateFileW(wide.text, FILE_READ_ATTRIBUTES, kShareAll, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    const bool same = now != INVALID_HANDLE_VALUE && SameFile(AsHandle(dir), now);
    if (now != INVALID_HANDLE_VALUE) CloseHandle(now);
    if (same) return TRUE;
    if (previousUnits > 0 && previousUnits < kPathUnits) SetCurrentDirectoryW(previous);
    SetLastError(ERROR_REPARSE_POINT_ENCOUNTERED);
    return FALSE;
}

size_t SysFullPath(const char* path, const char* current, char* out, size_t size) {
    WideFull wide;
    if (!wide.Set(path)) return 0;
    const WCHAR* p = wide.text;
    // A relative path, or one relative on the current directory's own drive ("c:x"), is
    // taken behind the current directory's text. The process's current directory is that
    // text too, so this is the full path GetFullPathName alone would give.
    const bool drive = p[0] != L'\0' && p[1] == L':';
    WCHAR joined[2 * kResolvedBytes + 2];
    if (p[0] != L'\\' && (!drive || p[2] != L'\\')) {
        size_t at = 0;
        int tooLong = 0;
        if (!DecodeWtf8(current, reinterpret_cast<uint16_t*>(joined), kResolvedBytes, &at, &tooLong)) {
            SetLastError(tooLong ? ERROR_FILENAME_EXCED_RANGE : ERROR_INVALID_NAME);
            return 0;
        }
        const WCHAR* rest = nullptr;
        if (!drive)
            rest = p;
        else if (at >= 2 && joined[1] == L':' && SameName(joined, 1, p, 1))
            rest = p + 2;
        if (rest != nullptr) {
            // Both parts hold fewer than kResolvedBytes units: joined has room for them.
            if (at == 0 || joined[at - 1] != L'\\') joined[at++] = L'\\';
            memcpy(joined + at, rest, (wide.length - (rest - p) + 1) * sizeof(WCHAR));
            p = joined;
        }
    }
    WCHAR full[kResolvedBytes];
    DWORD units = GetFullPathNameW(p, kResolvedBytes, full, NULL);
    if (units == 0) return 0;
    if (units >= kResolvedBytes) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    // A directory's full path ends in its name, as the current directory's does, but at
    // the top of a drive or share.
    if (units > TopLength(full, units) && full[units - 1] == L'\\') full[--units] = L'\0';
    if (!EncodeWtf8(reinterpret_cast<const uint16_t*>(full), units, out, size)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    return strlen(out);
}

bool SysIsAbsolute(const char* path) {
    return (path[0] != '\0' && path[1] == ':' && path[2] == '\\') || (path[0] == '\\' && path[1] == '\\');
}

bool SysPlainName(const char* name, size_t length) {
    if (length == 0) return false;
    if (name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.'))) return false;
    // GetFullPathName drops a last level's trailing dots and spaces.
    if (name[length - 1] == '.' || name[length - 1] == ' ') return false;
    // "c:x" is a path on drive C.
    if (length >= 2 && name[1] == ':') return false;
    if (!MayBeDevice(name, length)) return true;
    // Whether GetFullPathName makes a device of it, as kernel32 would.
    char copy[kPathBytes];
    if (length >= sizeof copy) return false;
    memcpy(copy, name, length);
    copy[length] = '\0';
    WidePath wide;
    if (!wide.Set(copy)) return true;  // refused by the call itself, with its code
    WCHAR full[kPathUnits + 8];
    const DWORD units = GetFullPathNameW(wide.text, sizeof full / sizeof full[0], full, NULL);
    return units >= 4 && units < sizeof full / sizeof full[0] && wcsncmp(full, L"\\\\.\\", 4) != 0;
}

bool SysSameNames(const char* a, const char* b, size_t n) {
    if (memcmp(a, b, n) == 0) return true;
    bool ascii = true;
    for (size_t i = 0; i < n && ascii; ++i) ascii = ((a[i] | b[i]) & 0x80) == 0;
    if (ascii) {
        for (size_t i = 0; i < n; ++i) {
            if (Upper(a[i]) != Upper(b[i])) return false;
        }
        return true;
    }
    // As NTFS compares names: by their UTF-16, in the system's upper case.
    if (n >= kResolvedBytes) return false;
    char x[kResolvedBytes];
    char y[kResolvedBytes];
    memcpy(x, a, n);
    memcpy(y, b, n);
    x[n] = y[n] = '\0';
    WideFull wx, wy;
    if (!wx.Set(x) || !wy.Set(y)) return false;
    return SameName(wx.text, wx.length, wy.text, wy.length);
}
