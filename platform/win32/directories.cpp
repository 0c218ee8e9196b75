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
// place, which takes only FILE_WRITE_DATA or FILE_WRITE_ATTRIBUTES (MS-FSA 2.1.5.10.37,
// FSCTL_SET_REPARSE_POINT) and so is governed by no share mode, and the next path-based
// call through it is led out. Pins would also keep the library itself, and anyone else,
// from removing or moving those directories. So directories are held with every sharing
// and no right to their content (nt_calls.h: kHeldAccess).
//
// The rules these calls keep, and what each rests on:
// - Once checked, an object is never reached by a name again. The same reason applies to
//   any file or directory: its tag can be set between the check and a second open by its
//   name, and the second open would follow it. Where a second handle is needed (other
//   rights; a placeholder's or deduplicated file's content, which only the filter owning
//   its tag presents), it is opened through the first (an empty name relative to its
//   handle) with OBJ_DONT_REPARSE, and its file id (FileIdInformation: the volume and the
//   128-bit id, which names one file on a volume) compared with the first's (Reopen).
// - Every open below a base carries OBJ_DONT_REPARSE: the object manager then fails with
//   STATUS_REPARSE_POINT_ENCOUNTERED rather than reparse (a link), while a filter that
//   owns a tag still presents its file, as Go's os.Root opens. A system older than the
//   flag (it came with Windows 10) refuses it with STATUS_INVALID_PARAMETER; opens are
//   then made without it, once known: every open is one level, as itself
//   (FILE_OPEN_REPARSE_POINT), its tag checked, and Reopen compares ids, so nothing is
//   followed there either. Wine 8 accepts it, and FILE_COMPLETE_IF_OPLOCKED.
// - A directory held carries FILE_LIST_DIRECTORY and is listed from its own handle. A
//   handle keeps its scan position, and the mask its first query gave ("captured on the
//   very first call", NtQueryDirectoryFile), so a second listing of a directory being
//   listed, and any query by a mask (FsLinkAttributes), read from a second handle (Reopen).
// - A file other names share (NumberOfLinks of FileStandardInformation above 1) is not
//   this tree's alone: attributes belong to the file, not the name (MS-FSA: File.
//   FileAttributes), and so does its content. The log and a list are not opened through
//   such a name, nor is a copy's source (ERROR_ACCESS_DENIED); its attribute reset changes
//   nothing; its deletion removes the name only, the read-only bit ignored
//   (FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE, MS-FSA 2.1.5.15.3) or, where the system
//   lacks it (Wine 8 has no FileDispositionInformationEx at all; Windows before 10 1809),
//   cleared by the handle and set again once the name is gone, so that a process killed in
//   between leaves that file writable. A copy is made a new file beside its destination
//   and renamed over the name (FileRenameInformation, ReplaceIfExists): no existing file
//   is ever written into, and the other names of a file replaced keep its content.
// - A read-only directory (every folder customised with a desktop.ini) cannot be deleted
//   by disposition (STATUS_CANNOT_DELETE, MS-FSA 2.1.5.15.3) unless the read-only bit is
//   ignored: removed with the flag, or the bit cleared by the handle first.
// - An oplock another program holds on a file makes an open wait until the holder lets it
//   go, for as long as it likes: on Windows what a FIFO is natively. Every open carries
//   FILE_COMPLETE_IF_OPLOCKED, which completes at once with STATUS_OPLOCK_BREAK_IN_PROGRESS
//   instead; that handle is closed and the file counts as held (ERROR_SHARING_VIOLATION),
//   tried again within the call's few seconds like any file held for a moment (files.cpp).
//   What it does not cover: an operation on a handle already open (a rename, a deletion,
//   a write) that breaks an oplock is still made to wait by the system, which completes
//   only creates so (OPLOCK_FLAG_COMPLETE_IF_OPLOCKED is for IRP_MJ_CREATE).
// - A listed name goes to the system as it was listed. NT knows no DOS device names and no
//   trailing-dot or trailing-space rules (they are RtlDosPathNameToNtPathName's), so a
//   listed "CON", "COM1.txt", "x." or "..." reached relative to its directory's handle is
//   that entry; read again by Win32's rules it would be a device, the sibling "x" or the
//   directory itself. The resolution takes a name a listing still open handed out as it
//   is (SysFullPath, SysPlainName), and keeps Win32's rules for what the caller wrote; a
//   path below a base that those rules make a device leaves every base and names no file
//   of any directory: refused with ERROR_INVALID_NAME (123, what a name that cannot be a
//   file's gets, as the walks give a listed name with path syntax), never used as given.
// - The process's current directory is not changed inside a call: every call acts inside
//   a directory held and the resolution keeps its own current level, so nothing needs it
//   (a path relative to a drive's top, "\x", takes the drive of that level). Entering by
//   SetCurrentDirectoryW followed the path again and refused a directory of 259
//   characters (MAX_PATH - 2, as it documents). The caller's current directory is the
//   process's throughout.
// - What the confinement releases before a move or a removal is found by identity
//   (SysIdentityAt, SysIdentityOf), not by spelling: a case-sensitive folder may hold "A"
//   and "a", and a short name spells a level another way.
//
// What it costs. Each directory level is opened once per call and its tag read (two
// system calls), where a path-based call opened nothing of its own; the resolver keeps
// what it opened, so a walk opens each directory once, not once per file. A file call
// costs what kernel32's own does: a move one open and one rename, a deletion one open
// and one disposition; an attribute query is an open, a query and a close (kernel32
// needs one call, but Wine 8 ignores the root of NtQueryAttributesFile). Entering a
// directory costs nothing more; a listing is read from the held handle in small batches.
// kernel32's file functions are made again here for what the library relies on (error
// codes, a copy's content, attributes and last write time; a move across volumes as a
// copy and a deletion), not in full (no alternate streams or security are copied). The
// DLL imports ntdll.dll. Under Wine 8, FILE_OPEN_REPARSE_POINT follows a Unix symbolic
// link, so there a link is seen only by a listing (its tag 0, which files.h counts as a
// link; FsLinkAttributes).
#include <string.h>
#include <wchar.h>

#include "../system_calls.h"
#include "nt_calls.h"

const SysDir kSysGiven = 0;
const SysDir kSysNone = -1;  // INVALID_HANDLE_VALUE
const char kSysSeparator = '\\';

namespace qwin {

namespace {
constexpr ULONG kDontReparse = 0x00001000;  // OBJ_DONT_REPARSE (Windows 10 and later)
// Set once the system has refused OBJ_DONT_REPARSE as a parameter it does not know.
bool g_noDontReparse;
}  // namespace

NTSTATUS OpenAt(HANDLE dir, const WCHAR* name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                ULONG attributes, HANDLE* out, ULONG_PTR* information) {
    UNICODE_STRING string = Counted(name, wcslen(name));
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &string, OBJ_CASE_INSENSITIVE | (g_noDontReparse ? 0 : kDontReparse), dir,
                               NULL);
    IO_STATUS_BLOCK io;
    io.Information = 0;
    options |= FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED;
    NTSTATUS status = NtCreateFile(out, access | SYNCHRONIZE, &object, &io, NULL, attributes, share, disposition,
                                   options, NULL, 0);
    if (status == kStatusInvalidParameter && !g_noDontReparse) {
        // A system older than the flag refuses it; if the open then passes, it was the
        // flag. Every open is one level inside a directory held, its last level opened as
        // itself and checked, so nothing is followed without it either (Reopen compares
        // the file ids where a second open must let the system present a file).
        object.Attributes &= ~kDontReparse;
        status = NtCreateFile(out, access | SYNCHRONIZE, &object, &io, NULL, attributes, share, disposition, options,
                              NULL, 0);
        if (status != kStatusInvalidParameter) g_noDontReparse = true;
    }
    if (status == kStatusOplockBreakInProgress) {
        // Another program holds an oplock on the file and has not let it go yet: the file
        // is held, as by a handle without sharing, and never waited for here.
        NtClose(*out);
        status = kStatusSharingViolation;
    }
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

bool Reopen(HANDLE first, ACCESS_MASK access, ULONG share, ULONG options, bool presented, HANDLE* out) {
    // Without FILE_OPEN_REPARSE_POINT the filter that owns a tag presents the file, and
    // OBJ_DONT_REPARSE refuses a reparse that no filter takes: a link.
    const ULONG how = presented ? FILE_OPEN_FOR_BACKUP_INTENT : kOwnEntry;
    const NTSTATUS status = OpenAt(first, L"", access | FILE_READ_ATTRIBUTES, share, FILE_OPEN, options | how, 0, out);
    if (status != 0) return FailStatus(status) != FALSE;
    if (SameFile(first, *out)) return true;
    NtClose(*out);
    SetLastError(ERROR_REPARSE_POINT_ENCOUNTERED);
    return false;
}

bool Shared(HANDLE file) {
    FILE_STANDARD_INFORMATION standard;
    IO_STATUS_BLOCK io;
    return NtQueryInformationFile(file, &io, &standard, sizeof standard, FileStandardInformation) == 0 &&
           !standard.Directory && standard.NumberOfLinks > 1;
}

bool OpenContent(HANDLE* file, ACCESS_MASK access, ULONG share, ULONG options, bool single) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (!NotALink(*file, &tag)) return false;
    if (single && Shared(*file)) {
        NtClose(*file);
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
    HANDLE content;
    const bool reopened = Reopen(*file, access, share, options, true, &content);
    const DWORD code = GetLastError();
    NtClose(*file);
    if (!reopened) {
        SetLastError(code);
        return false;
    }
    *file = content;
    return true;
}

bool IdentityOf(HANDLE file, SysIdentity* out) {
    // FileIdInformation (Windows 8 and later): the volume and the whole 128-bit id (ReFS
    // ids do not fit the 64 bits of the older query), in one call.
    struct FileId {
        ULONGLONG volume;
        BYTE id[16];
    } x;
    const FILE_INFORMATION_CLASS kFileIdInformation = static_cast<FILE_INFORMATION_CLASS>(59);
    IO_STATUS_BLOCK io;
    if (NtQueryInformationFile(file, &io, &x, sizeof x, kFileIdInformation) == 0) {
        out->volume = x.volume;
        memcpy(out->id, x.id, sizeof out->id);
        return true;
    }
    BY_HANDLE_FILE_INFORMATION u;
    if (!GetFileInformationByHandle(file, &u)) return false;
    out->volume = u.dwVolumeSerialNumber;
    out->id[0] = (static_cast<uint64_t>(u.nFileIndexHigh) << 32) | u.nFileIndexLow;
    out->id[1] = 0;
    return true;
}

bool SameFile(HANDLE a, HANDLE b) {
    SysIdentity x, y;
    return IdentityOf(a, &x) && IdentityOf(b, &y) && SameIdentity(x, y);
}

bool SameVolume(HANDLE a, HANDLE b) {
    SysIdentity x, y;
    return IdentityOf(a, &x) && IdentityOf(b, &y) && x.volume == y.volume;
}

bool SameName(const WCHAR* a, size_t aUnits, const WCHAR* b, size_t bUnits) {
    if (aUnits > 0x7FFF || bUnits > 0x7FFF) return false;
    const UNICODE_STRING x = Counted(a, aUnits), y = Counted(b, bUnits);
    return RtlEqualUnicodeString(&x, &y, TRUE) != FALSE;
}

namespace {
// FileDispositionInformationEx and its flags (Windows 10 1709 and later; the last 1809).
constexpr FILE_INFORMATION_CLASS kDispositionEx = static_cast<FILE_INFORMATION_CLASS>(64);
constexpr ULONG kDispositionDelete = 0x1;
constexpr ULONG kDispositionPosix = 0x2;
constexpr ULONG kDispositionIgnoreReadOnly = 0x10;
// Set once the system has said it has no such class at all (Wine 8 has none).
bool g_noDispositionEx;

// The attributes an attribute word may be set to.
constexpr ULONG kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                            FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

NTSTATUS DisposeOnce(HANDLE file, bool ignoreReadOnly) {
    IO_STATUS_BLOCK io;
    if (!g_noDispositionEx) {
        // As DeleteFileW does where it can: the name goes now, not when the last handle
        // another program holds with delete sharing closes, so the directory above empties.
        ULONG flags = kDispositionDelete | kDispositionPosix | (ignoreReadOnly ? kDispositionIgnoreReadOnly : 0);
        NTSTATUS status = NtSetInformationFile(file, &io, &flags, sizeof flags, kDispositionEx);
        if (status == kStatusInvalidParameter && ignoreReadOnly) {
            // The class without that flag (before 1809): the bit is cleared below instead.
            flags &= ~kDispositionIgnoreReadOnly;
            status = NtSetInformationFile(file, &io, &flags, sizeof flags, kDispositionEx);
        }
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
}  // namespace

NTSTATUS SetAttributes(HANDLE file, ULONG attributes) {
    FILE_BASIC_INFORMATION info;
    memset(&info, 0, sizeof info);  // times 0: left as they are
    attributes &= kSettable;
    info.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;  // 0 would change nothing
    IO_STATUS_BLOCK io;
    return NtSetInformationFile(file, &io, &info, sizeof info, FileBasicInformation);
}

NTSTATUS Dispose(HANDLE file, bool ignoreReadOnly) {
    NTSTATUS status = DisposeOnce(file, ignoreReadOnly);
    if (status != kStatusCannotDelete || !ignoreReadOnly) return status;
    // No flag to ignore the bit here: it is cleared by the handle, and given back once
    // the name is gone (the other names of the file keep it) or when the deletion fails
    // all the same. A process killed in between leaves the file without it.
    FILE_BASIC_INFORMATION info;
    IO_STATUS_BLOCK io;
    if (NtQueryInformationFile(file, &io, &info, sizeof info, FileBasicInformation) != 0 ||
        (info.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0)
        return status;
    // By this handle, or by a second one of the same file opened through it for the right
    // to set attributes (a file marked for deletion cannot be opened again after).
    HANDLE writer = file;
    HANDLE own = NULL;
    NTSTATUS cleared = SetAttributes(file, info.FileAttributes & ~FILE_ATTRIBUTE_READONLY);
    if (cleared == kStatusAccessDenied && Reopen(file, FILE_WRITE_ATTRIBUTES, kShareAll, 0, false, &own)) {
        writer = own;
        cleared = SetAttributes(own, info.FileAttributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (cleared == 0) {
        status = DisposeOnce(file, false);
        if (status != 0 || (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            SetAttributes(writer, info.FileAttributes);
    }
    if (own != NULL) NtClose(own);
    return status;
}

bool Flush(HANDLE file) {
    if (!FlushFileBuffers(file)) return false;
    SysFlushMade();
    return true;
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

namespace {
// A directory taken as given, links on its way followed, held with the right to list it
// where that is granted.
HANDLE HoldGiven(const WCHAR* path) {
    HANDLE dir = CreateFileW(path, kHeldAccess, kShareAll, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (dir == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        dir = CreateFileW(path, kTraverseAccess, kShareAll, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    return dir;
}
}  // namespace

SysDir SysHoldCurrentDirectory(char* text, size_t size, size_t* length) {
    WideFull wide;
    const DWORD units = GetCurrentDirectoryW(kResolvedBytes, wide.text);
    if (units == 0) return Refused(GetLastError());
    // The game directory is taken as given, links on its way followed.
    const HANDLE dir = HoldGiven(L".");
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
    const HANDLE dir = HoldGiven(wide.text);
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
    const ULONG options = FILE_DIRECTORY_FILE | kOwnEntry;
    NTSTATUS status = OpenAt(AsHandle(parent), wide.text, kHeldAccess, kShareAll, FILE_OPEN, options, 0, &dir);
    if (status == kStatusAccessDenied)
        status = OpenAt(AsHandle(parent), wide.text, kTraverseAccess, kShareAll, FILE_OPEN, options, 0, &dir);
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

BOOL SysEnterDirectory(SysDir, const char*) {
    // Inside a call nothing is named against the process's current directory: every call
    // acts inside a directory held, and the resolution keeps its own current level. So
    // the process's stays the caller's, and no directory is entered by its path (which
    // SetCurrentDirectoryW would follow, and refuses at 259 characters).
    return TRUE;
}

namespace {
// The bytes of a full path (WTF-8, the system's separators) that name its top, without
// the separator that follows: "C:" of "C:\x", "\\server\share" of "\\server\share\x";
// 0 for anything else (a device path included).
size_t TopBytes(const char* full) {
    if (full[0] != '\0' && full[1] == ':') return 2;
    if (full[0] != '\\' || full[1] != '\\' || full[2] == '?' || full[2] == '.') return 0;
    size_t at = 2;
    for (int level = 0; level < 2; ++level) {
        if (level > 0) ++at;
        while (full[at] != '\0' && full[at] != '\\') ++at;
    }
    return at;
}

bool IsDeviceText(const WCHAR* full) {
    return full[0] == L'\\' && full[1] == L'\\' && (full[2] == L'.' || full[2] == L'?') && full[3] == L'\\';
}

bool Dots(const char* name, size_t length) {
    return name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.'));
}

// Whether a component reaches Win32's calls as it is written (no ".", "..", trailing dot
// or space, drive or device name).
bool Win32Plain(const char* name, size_t length) {
    if (length == 0 || Dots(name, length)) return false;
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
    return units >= 4 && units < sizeof full / sizeof full[0] && !IsDeviceText(full);
}

// A name a listing handed out, which Win32's rules would read as another: it is taken as
// it was listed.
bool TakenAsListed(const char* name, size_t length) {
    return length > 0 && !Dots(name, length) && !Win32Plain(name, length) && Listed(name, length);
}

// The full path of text by GetFullPathNameW into out (WTF-8, size bytes), without a
// trailing separator but at the top of a drive or share. A path that becomes a device
// ("con", "nul.txt" in any folder) though it was not written as one names no file of any
// folder: refused with ERROR_INVALID_NAME, never used as a device.
size_t Win32Full(const char* text, char* out, size_t size) {
    WideFull wide;
    if (!wide.Set(text)) return 0;
    WCHAR full[kResolvedBytes];
    DWORD units = GetFullPathNameW(wide.text, kResolvedBytes, full, NULL);
    if (units == 0) return 0;
    if (units >= kResolvedBytes) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (IsDeviceText(full) && !(text[0] == '\\' && text[1] == '\\')) {
        SetLastError(ERROR_INVALID_NAME);
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

bool Append(char* out, size_t size, size_t* length, const char* text, size_t bytes) {
    if (*length + bytes >= size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    memcpy(out + *length, text, bytes);
    *length += bytes;
    out[*length] = '\0';
    return true;
}
}  // namespace

size_t SysFullPath(const char* path, const char* current, char* out, size_t size) {
    // A relative path, or one relative on the current directory's own drive ("c:x") or
    // to its top ("\x"), is taken behind the current directory's text: never the
    // process's, which a call does not change.
    char joined[2 * kResolvedBytes + 2];
    const size_t pathBytes = strlen(path);
    const size_t currentBytes = strlen(current);
    if (pathBytes >= kResolvedBytes || currentBytes >= kResolvedBytes) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    const bool drive = path[0] != '\0' && path[1] == ':';
    const char* rest = nullptr;
    size_t keep = currentBytes;  // of the current directory's text
    if (path[0] == '\\' && path[1] != '\\') {
        keep = TopBytes(current);
        if (keep != 0) rest = path + 1;
    } else if (path[0] != '\\' && (!drive || path[2] != '\\')) {
        if (!drive)
            rest = path;
        else if (currentBytes >= 2 && current[1] == ':' && Upper(current[0]) == Upper(path[0]))
            rest = path + 2;
    }
    if (rest != nullptr) {
        memcpy(joined, current, keep);
        size_t at = keep;
        if (at == 0 || joined[at - 1] != '\\') joined[at++] = '\\';
        memcpy(joined + at, rest, strlen(rest) + 1);
    } else {
        memcpy(joined, path, pathBytes + 1);
    }
    // A level that a listing handed out goes to the system as it was listed, and so does
    // every level after it: Win32's rules (devices, trailing dots and spaces) apply only
    // before it, to what the caller wrote.
    size_t cut = 0;
    for (size_t at = TopBytes(joined); joined[at] != '\0' && cut == 0;) {
        if (joined[at] == '\\') ++at;
        size_t end = at;
        while (joined[end] != '\0' && joined[end] != '\\') ++end;
        if (TakenAsListed(joined + at, end - at)) cut = at;
        at = end;
    }
    if (cut == 0) return Win32Full(joined, out, size);
    const char saved = joined[cut];
    joined[cut] = '\0';  // the way to it, its separator kept (a top stays a top)
    size_t length = Win32Full(joined, out, size);
    joined[cut] = saved;
    if (length == 0) return 0;
    for (size_t at = cut; joined[at] != '\0';) {
        if (joined[at] == '\\') ++at;
        size_t end = at;
        while (joined[end] != '\0' && joined[end] != '\\') ++end;
        const size_t bytes = end - at;
        if (bytes > 0) {
            // After a listed level the path is the library's own: one that Win32 would
            // read otherwise and no listing handed out is no path it makes.
            if (!Win32Plain(joined + at, bytes) && !TakenAsListed(joined + at, bytes)) {
                SetLastError(ERROR_INVALID_NAME);
                return 0;
            }
            if ((length == 0 || out[length - 1] != '\\') && !Append(out, size, &length, "\\", 1)) return 0;
            if (!Append(out, size, &length, joined + at, bytes)) return 0;
        }
        at = end;
    }
    return length;
}

bool SysIsAbsolute(const char* path) {
    return (path[0] != '\0' && path[1] == ':' && path[2] == '\\') || (path[0] == '\\' && path[1] == '\\');
}

bool SysPlainName(const char* name, size_t length) {
    return Win32Plain(name, length) || TakenAsListed(name, length);
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

bool SysIdentityAt(SysDir dir, const char* name, SysIdentity* out) {
    WidePath wide;
    if (!wide.Set(name)) return false;
    HANDLE entry;
    if (OpenAt(AsHandle(dir), wide.text, FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, kOwnEntry, 0, &entry) != 0)
        return false;
    const bool read = IdentityOf(entry, out);
    NtClose(entry);
    return read;
}

bool SysIdentityOf(SysDir dir, SysIdentity* out) { return IdentityOf(AsHandle(dir), out); }
