// Generic helpers for the test programs of every build: scratch directories, whole-file
// reads and writes, directory trees as maps, and activity-log comparison.
//
// Paths are the platform's own (a Linux path natively, a Windows path in the Windows
// build); relative paths inside a tree are always written with '/'. The helpers throw
// std::runtime_error when the file system does not do what they ask, which GoogleTest
// reports as a failure of the test that used them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quisel::test {

// A fresh directory, removed with everything in it when the object goes away.
// Natively it lives under /tmp; in the Windows build under the system's temporary folder.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "quisel");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() joined with a relative path ('/'-separated) in the platform's own form.
    std::string operator/(const std::string& relative) const;

private:
    std::string path_;
};

// A relative path written with '/' as the game's launcher writes it, with backslashes.
std::string Backslashed(const std::string& relative);

// Joins a relative path written with '/' onto base, with the platform's separator.
std::string JoinPath(const std::string& base, const std::string& relative);

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);    // any kind of entry, a dangling link included
bool IsDirectory(const std::string& path);
std::string CurrentDirectory();          // the process's, in the platform's own form
void MakeDirectories(const std::string& path); // with every missing parent
void RemoveTree(const std::string& path);      // read-only entries too; a missing path is fine

// A directory tree as relative path -> bytes. A key ending in '/' is a directory (its
// value is ignored and listed as empty); every other key is a regular file. Natively,
// a symbolic link is listed as "path@" -> its target, and never followed, and a FIFO as
// "path|" -> "", never opened.
using Tree = std::map<std::string, std::string>;

// Creates every entry of tree under root (parents as needed); root itself is created too.
void MakeTree(const std::string& root, const Tree& tree);
// Everything under root, root itself excluded.
Tree ListTree(const std::string& root);
// One entry per line, for readable failure messages.
std::string DescribeTree(const Tree& tree);

// Every activity log record starts with a 20-character time stamp "[MM/DD/YY/HH:MM:SS] ".
// A record does not always end with a line end, so the next one may start mid-line.
// MaskLog checks that the log starts with a stamp and that every stamp is in range, and
// replaces each with "[..] ", keeping everything else byte for byte. On a fault it
// returns false and says where in *problem.
bool MaskLog(const std::string& log, std::string* masked, std::string* problem);

// The masked form of a log holding these records: each message is what follows its
// time stamp, written with "\n" where the file has CR LF.
// MaskedLog({"first\n", "from: a\nto: b", "next\n"}) ==
//     "[..] first\r\n[..] from: a\r\nto: b[..] next\r\n"
std::string MaskedLog(const std::vector<std::string>& messages);

// Compares a raw log with the masked form expected, after checking its time stamps.
::testing::AssertionResult LogMatches(const std::string& rawLog, const std::string& expectedMasked);

// Makes control characters visible, for failure messages about logs and outputs.
std::string Printable(const std::string& bytes);

} // namespace quisel::test
