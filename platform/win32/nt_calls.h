// What the Windows layer's files share: the ntdll calls that open, change and list a file
// inside a directory held by its handle (kernel32 offers none), and a path resolved for
// them (directories.cpp says why and what it costs).
#pragma once

#include <windows.h>
#include <winternl.h>

#include "../confine.h"
#include "wide_path.h"

extern "C" {
// Not in MinGW's winternl.h.
NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID context,
                                    PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, FILE_INFORMATION_CLASS type,
                                    BOOLEAN single, PUNICODE_STRING mask, BOOLEAN restart);
BOOLEAN NTAPI RtlEqualUnicodeString(const UNICODE_STRING* a, const UNICODE_STRING* b, BOOLEAN ignoreCase);
}

namespace qwin {

// The NTSTATUS values the layer tells apart (ntstatus.h does not mix with windows.h).
constexpr NTSTATUS kStatusOplockBreakInProgress = static_cast<NTSTATUS>(0x00000108L);
constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);
constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002L);
constexpr NTSTATUS kStatusInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003L);
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000DL);
constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022L);
constexpr NTSTATUS kStatusObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034L);
constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035L);
constexpr NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043L);
constexpr NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BBL);
constexpr NTSTATUS kStatusNotSameDevice = static_cast<NTSTATUS>(0xC00000D4L);
constexpr NTSTATUS kStatusNotADirectory = static_cast<NTSTATUS>(0xC0000103L);
constexpr NTSTATUS kStatusCannotDelete = static_cast<NTSTATUS>(0xC0000121L);

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A directory is held with what opening inside it, telling which it is and listing it
// need, and every sharing: no handle of ours keeps anyone, the library included, from
// renaming or removing it. Where the right to list is refused, it is held without it
// (kTraverseAccess), as the current directory is, and cannot be listed.
constexpr ACCESS_MASK kTraverseAccess = FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK kHeldAccess = kTraverseAccess | FILE_LIST_DIRECTORY;
// An entry itself, never what a link there leads to.
constexpr ULONG kOwnEntry = FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT;

inline HANDLE AsHandle(SysDir dir) { return reinterpret_cast<HANDLE>(dir); }

// A name as the NT calls take it: units UTF-16 units of text, no terminator counted.
inline UNICODE_STRING Counted(const WCHAR* text, size_t units) {
    UNICODE_STRING string;
    string.Buffer = const_cast<PWSTR>(text);
    string.Length = string.MaximumLength = static_cast<USHORT>(units * sizeof(WCHAR));
    return string;
}

// Opens name inside dir, synchronous, no reparse point followed on the way
// (OBJ_DONT_REPARSE), and never waiting for another program's oplock: a file whose
// oplock must be broken first fails at once as held (STATUS_SHARING_VIOLATION), and is
// tried again as any file held for a moment. An empty name opens dir itself again.
NTSTATUS OpenAt(HANDLE dir, const WCHAR* name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                ULONG attributes, HANDLE* out, ULONG_PTR* information = nullptr);
// The same file as first, opened again through its handle (never by a name) with other
// rights: presented by the system (a placeholder's or a deduplicated file's content, as
// the filter that owns its tag shows it) or, with presented false, as itself. A link
// that appeared meanwhile is refused, and so is anything but the file first opened (its
// file id compared). False, last error set.
bool Reopen(HANDLE first, ACCESS_MASK access, ULONG share, ULONG options, bool presented, HANDLE* out);
// The attribute word and reparse tag of an open file. False, last error set, when unread.
bool TagOf(HANDLE file, FILE_ATTRIBUTE_TAG_INFO* tag);
// Whether it is a link: a reparse point whose tag names another place (files.h).
inline bool IsLink(const FILE_ATTRIBUTE_TAG_INFO& tag) { return FsIsLink(tag.FileAttributes, tag.ReparseTag) != 0; }
// Reads an open file's attributes and tag into *tag. A link, or a file that cannot be read
// so, is closed and refused: false, last error set (ERROR_REPARSE_POINT_ENCOUNTERED).
bool NotALink(HANDLE file, FILE_ATTRIBUTE_TAG_INFO* tag);
// Whether the entry name inside dir, looked at as itself, is a link; its attribute word
// then goes to *attributes (when not null).
bool LinkAt(HANDLE dir, const WCHAR* name, DWORD* attributes);
// A file opened as itself, made the file whose content is read or written: a link is
// refused (ERROR_REPARSE_POINT_ENCOUNTERED), and with single a file other names share
// too (ERROR_ACCESS_DENIED: its content is not this tree's alone); any other reparse
// point (a synced folder's placeholder, a deduplicated file) is opened again through the
// system (Reopen), which presents its content. False, last error set, *file closed.
bool OpenContent(HANDLE* file, ACCESS_MASK access, ULONG share, ULONG options, bool single);
// Whether an open file is no directory and has more than one name (a hard link).
bool Shared(HANDLE file);
// Whether two handles are the same file.
bool SameFile(HANDLE a, HANDLE b);
// Whether two open files are on one volume (false when either cannot say).
bool SameVolume(HANDLE a, HANDLE b);
// The identity of an open file: its volume and 128-bit id. False, last error set.
bool IdentityOf(HANDLE file, SysIdentity* out);
// Whether two names are the same to the system: equal in its upper case, as NTFS compares.
bool SameName(const WCHAR* a, size_t aUnits, const WCHAR* b, size_t bUnits);
// Marks an open file for deletion, its name gone at once where the file system can;
// ignoreReadOnly deletes one that is read-only too (FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE,
// or the bit cleared by the handle first where the system lacks it). The handle needs
// FILE_WRITE_ATTRIBUTES for the second way.
NTSTATUS Dispose(HANDLE file, bool ignoreReadOnly = false);
// Sets the attribute word of an open file, its times left as they are.
NTSTATUS SetAttributes(HANDLE file, ULONG attributes);
// Whether name (WTF-8, length bytes) is the entry a listing still open handed out last:
// such a name is taken as listed, never read again by Win32's path rules
// (system_calls.cpp).
bool Listed(const char* name, size_t length);
// FlushFileBuffers, counted when the system confirms it (SysFlushMade): the copies' and
// the log's one flush routine. False, last error set.
bool Flush(HANDLE file);
// Sets the last error to the status's Win32 code; returns FALSE.
BOOL FailStatus(NTSTATUS status);

// A path as a file call takes it (confine.h): inside an exported call, a directory held and
// one level in it; otherwise the whole path, used as given by kernel32.
class Path {
public:
    // False, last error set, when the path cannot be resolved or spelled in UTF-16.
    bool Set(const char* path);
    bool held() const { return r_.dir != kSysGiven; }
    HANDLE dir() const { return AsHandle(r_.dir); }
    // Held: the level inside dir(), empty for dir() itself; given: the whole path.
    const WCHAR* wide() const { return itself_ ? L"" : wide_.text; }
    // The held directory itself, as the game directory's own path resolves.
    bool itself() const { return itself_; }
    const Resolved& resolved() const { return r_; }
    // Opens the entry inside the held directory: the entry itself, a link never followed.
    NTSTATUS Open(ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options, HANDLE* out,
                  ULONG attributes = FILE_ATTRIBUTE_NORMAL, ULONG_PTR* information = nullptr) const;

private:
    Resolved r_;
    WidePath wide_;
    bool itself_ = false;
};

}  // namespace qwin
