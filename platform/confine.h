// Where the paths of an exported call may lead.
//
// The game directory (the current directory when the call begins), the folders above it,
// and a root the caller names outside it are taken as given. Below them every level of a
// path is opened on its own, never through a link, and held until the call ends; a file
// call then acts on the last component inside the directory held, by its handle. So a
// link met on the way, planted before the call or swapped in while it runs, leads
// nowhere: the call fails with ERROR_REPARSE_POINT_ENCOUNTERED. A directory held is the
// one that was checked, wherever it is moved meanwhile, so what a call checked is what it
// uses. The current directory is entered by its handle too, and a walk returns to the
// very directory it came from.
//
// Each platform's file calls resolve their paths here (posix/, win32/) and give the
// primitives declared at the end; the core sees only FsCallBegins, FsTakeRoot and
// FsCallEnds (files.h). Outside an exported call paths are used as given.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "files.h"

// A directory held open: a descriptor on POSIX, a handle on Windows.
typedef intptr_t SysDir;

// What tells one file from another whatever it is named (a letter case, a short name):
// its volume and file id on Windows, its device and inode on POSIX.
struct SysIdentity {
    uint64_t volume;
    uint64_t id[2];
};

inline bool SameIdentity(const SysIdentity& a, const SysIdentity& b) {
    return a.volume == b.volume && a.id[0] == b.id[0] && a.id[1] == b.id[1];
}

enum {
    // A path as a call may give it: a relative one of the longest kind behind the longest
    // current directory, with a separator between.
    kResolvedBytes = 2 * kPathBytes + 2,
};

// A path as a file call takes it: the directory that holds its last component, and that
// component.
struct Resolved {
    SysDir dir;        // kSysGiven: nothing is held, and name is the whole path, used as given
    const char* name;  // the last component, "." for dir itself: in text, or the path itself
    int slot;          // the resolver's own record of dir (-1 when given)
    char text[kResolvedBytes];  // the path with the platform's separators
};

// An exported call begins (files.h: FsCallBegins): the current directory is its game
// directory, held, and the one base so far.
void ConfineBegin();
// A root the call names (files.h: FsTakeRoot): outside the game directory it is one more
// base, taken as given, with its own last level when ownNameGiven, else from its parent.
void ConfineTakeRoot(const char* path, bool ownNameGiven);
// The call ends: nothing stays held, and paths are used as given again.
void ConfineEnd();
// Whether the calls are confined now (between FsCallBegins and FsCallEnds).
bool ConfineActive();
// The directories of path, resolved: its last component as it is named, which may be a
// link (the call then acts on the link itself, never through it). FALSE with the last
// error set: ERROR_PATH_NOT_FOUND for a level that is missing or no directory,
// ERROR_REPARSE_POINT_ENCOUNTERED for a link on the way, ERROR_FILENAME_EXCED_RANGE.
BOOL ConfineResolve(const char* path, Resolved* out);
// The whole path as a directory to enter, its last level never a link: out->dir is the
// directory itself, name ".". A missing last level fails with ERROR_FILE_NOT_FOUND, one
// that is no directory with ERROR_DIRECTORY, a link with ERROR_REPARSE_POINT_ENCOUNTERED.
BOOL ConfineResolveDirectory(const char* path, Resolved* out);
// Makes a directory that ConfineResolveDirectory gave the current one. A level the walk
// already passed on its way down is entered by the handle it was held by.
BOOL ConfineEnter(const Resolved& directory);
// The current directory's full path (*text, *length bytes). FALSE, last error set, when
// it could not be read when the call began; *text null and *length the bytes it needs
// when it is too long for any call.
BOOL ConfineCurrentText(const char** text, size_t* length);
// Whether the resolved path's last component is an entry of the current directory (and
// so never the current directory itself).
bool ConfineInCurrentDirectory(const Resolved& path);
// Whether the resolved path may be the current directory itself: a directory held as
// itself ("."), that is on the way down, is; an entry of the current directory is not;
// anything else may be, as far as the resolution knows.
bool ConfineMayBeCurrentDirectory(const Resolved& path);
// Before the entry at path is removed or moved away: no directory at or below it stays
// held, so that a directory at that place later is resolved anew (and, on Windows, no
// handle of ours keeps it from going), but for the one that inUse (the other path of the
// call, or null) needs.
void ConfineRelease(const Resolved& path, const Resolved* inUse);
// A listing reads from the handle of the directory it lists: that directory stays held
// while the listing is open (ConfinePin), and ConfinePinned tells whether it still is (a
// call that ended gave every directory up). The token is -1 when nothing was pinned.
int ConfinePin(const Resolved& directory);
bool ConfinePinned(int token);
void ConfineUnpin(int token);

// ---------------------------------------------------------------------------------
// What each platform gives the resolution.

// "Nothing held": a path used as given (AT_FDCWD on POSIX, no root handle on Windows).
extern const SysDir kSysGiven;
// No directory at all: a failed open.
extern const SysDir kSysNone;
// The separator the system's paths take ('/' on POSIX, '\\' on Windows); a path's other
// separator becomes it.
extern const char kSysSeparator;

// The current directory, held, and its full path into text (size bytes) when it fits;
// *length is the path's length in bytes either way. kSysNone, last error set, when the
// directory cannot be read.
SysDir SysHoldCurrentDirectory(char* text, size_t size, size_t* length);
// A directory by its full path, every link on the way followed: a base taken as given.
SysDir SysHoldGivenDirectory(const char* path);
// The directory name inside parent, never followed: a link fails with
// ERROR_REPARSE_POINT_ENCOUNTERED, a missing name with ERROR_FILE_NOT_FOUND, anything
// that is no directory with ERROR_DIRECTORY.
SysDir SysHoldDirectoryAt(SysDir parent, const char* name);
void SysRelease(SysDir dir);
// Makes dir, whose full path is text, the directory the calls that follow are made in:
// natively the process's current directory (fchdir); on Windows nothing needs it, since
// every call inside an exported call acts inside a directory held, so the process's
// current directory stays the caller's.
BOOL SysEnterDirectory(SysDir dir, const char* text);
// The full path of path against the current directory's text, with "." and ".." taken
// out and the system's separators, into out (size bytes). Returns its length; 0 when it
// does not fit, or the path has no full form (last error set).
size_t SysFullPath(const char* path, const char* current, char* out, size_t size);
// Whether a path (the system's separators) names the same place whatever the current
// directory: its full paths are then itself unless it holds "." or ".." levels.
bool SysIsAbsolute(const char* path);
// Whether a component is taken by the system exactly as it is written (no "." or "..",
// nothing that the system's own path rules would change).
bool SysPlainName(const char* name, size_t length);
// Whether the first n bytes of a and b name the same directory levels (the same bytes on
// POSIX; on Windows also in another letter case).
bool SysSameNames(const char* a, const char* b, size_t n);
// The identity of the entry name inside dir, never followed (posix/directories.cpp,
// win32/directories.cpp). FALSE when it cannot be read (a missing name).
bool SysIdentityAt(SysDir dir, const char* name, SysIdentity* out);
// The identity of a directory held.
bool SysIdentityOf(SysDir dir, SysIdentity* out);
