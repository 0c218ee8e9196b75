// Reading a move list: one relative file path per line, and the marker line
// "ver.bin" that sends the version marker after every other file.
#pragma once

#include <stddef.h>
#include <stdio.h>

enum ListLineKind { kListEmpty, kListMarker, kListEntry };

// Reads the next piece of the list into line (kListLineSize): at most 269
// characters, up to and including a line feed. Returns 0 at the end of the list or
// on a read error (ferror tells which).
int ReadListLine(FILE* list, char* line);

// Removes one trailing line feed from line and tells what the line is. length
// receives the line's length after that, up to a NUL byte if the line holds one.
ListLineKind ClassifyListLine(char* line, size_t* length);

// The entry's path relative to the roots: the line without one leading ".\".
const char* ListEntryPath(const char* line);

// What is done with each file entry of a list, once its source and destination paths
// are built: 1 to go on with the next, 0 (after writing its record) to end the pass.
typedef int (*ListEntryAction)(const char* sourcePath, const char* destinationPath, const char* logPath);

// The list pass: reads the open list to its end and hands every file entry, joined
// behind the two roots, to action. An entry too long for its paths or reaching outside
// the roots is refused with its record, and so is an entry that action fails: the pass
// stops there and returns 0. A read error is recorded with listPath and returns 0.
// *markerSeen is set when the list names the marker; the marker is the caller's.
int ForEachListEntry(FILE* list, const char* listPath, const char* fromDir, const char* toDir,
                     const char* logPath, ListEntryAction action, int* markerSeen);

// The marker's path behind a root as given: "root\ver.bin", whatever the root ends with.
// Returns 0, path emptied, when it would not fit.
int MarkerPath(char* path, const char* root);

// Whether the entry names a file below its roots: not empty, not absolute (no leading
// "\" or "/", no drive letter), no component that Windows reads as the parent ("..",
// "...", ".. "), and a last component that is not the directory itself (".", "   ").
int ListEntryStaysInside(const char* entry);
