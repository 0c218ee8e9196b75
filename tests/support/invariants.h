// The invariants every call of the library must keep, checked from outside: a snapshot
// of directory trees before and after a call, and a check that no file was lost,
// duplicated, corrupted or carried to a place the call may not touch.
//
// Native only, and free of GoogleTest, so the fuzz targets, the fault sweep and the
// kill test share it. Every check returns its problems as text, one per element; an
// empty list means the invariant holds.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace quisel::inv {

// One entry of a snapshot. Links are never followed: their "bytes" are their target.
struct Entry {
    enum Kind { File, Directory, Link } kind = File;
    std::string bytes;
    bool operator==(const Entry& other) const { return kind == other.kind && bytes == other.bytes; }
};

// Everything below a directory (the directory itself excluded), keyed by absolute
// path with '/' separators.
using Snapshot = std::map<std::string, Entry>;

Snapshot Take(const std::string& root);

// A path as the POSIX layer reaches it: backslashes as slashes, made absolute against
// base, with repeated separators, "." components and a trailing separator removed.
// ".." components are resolved textually.
std::string Normalize(const std::string& path, const std::string& base);

// Whether path is dir itself or lies below it (both normalized).
bool IsWithin(const std::string& path, const std::string& dir);

// What a call may do to the files it was given.
struct Allowed {
    // Files below `from` may move to the same relative place below `to` (one mapping
    // per move; a file may move more than once when a list names it again).
    std::vector<std::pair<std::string, std::string>> moves;
    // Directories whose content a clearing may delete; the directory itself may go.
    std::vector<std::string> cleared;
    // A file copied by design, source -> the copy's place (the backup's list copies,
    // the version marker whose source could not be deleted after its copy).
    std::vector<std::pair<std::string, std::string>> copies;
    // The call failed: a file at a place a move may take over may be gone, deleted to
    // make room for a move that then failed (the move with repairs replaces a
    // destination by deleting it first).
    bool failedReplace = false;
    // The call was killed: a file may be whole at both places, and a temporary file of
    // the layer may stay beside its destination while the original is whole...
    bool interrupted = false;
    // ... unless the layer builds its copies in unnamed files there (UnnamedFilesOffered):
    // then no temporary file may stay at all.
    bool tempsMayStay = true;
};

// Conservation: every file of `before` is in `after` exactly once, byte for byte, at
// its own place or at a place a move allows; nothing new appears but copies and
// directories on the way to a destination; only cleared directories lose content.
// Files named "quisel.log" are the activity log and are not looked at.
std::vector<std::string> CheckConservation(const Snapshot& before, const Snapshot& after, const Allowed& allowed);

// Whether the log text holds a record that names a failure (a failed call, a refused
// argument or entry, a failed list read).
bool HasFailureRecord(const std::string& log);

// Whether name is a temporary file of the POSIX layer (".quisel-<pid>-<n>.tmp").
bool IsLayerTemp(const std::string& name);
// Whether the layer builds its copies into dir in unnamed files, named only when whole:
// the file system offers them and /proc can name them.
bool UnnamedFilesOffered(const std::string& dir);

// Small file helpers that throw std::runtime_error on failure.
void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);  // "" when missing
bool PathExists(const std::string& path);
void MakeDirs(const std::string& path);
void RemoveAll(const std::string& path);  // read-only entries too; a missing path is fine
// A fresh directory below parent ("/tmp" or "/dev/shm"), named after tag.
std::string MakeTempDir(const std::string& parent, const std::string& tag);
// "/dev/shm" where it is a writable directory (a file system in memory: creating
// thousands of files there is quick), else "/tmp".
std::string ScratchParent();
// The current directory.
std::string CurrentDir();

// Joins problem lists into one text for a failure message.
std::string Describe(const std::vector<std::string>& problems, size_t limit = 20);

}  // namespace quisel::inv
