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

// Whether the entry names a file below its roots: not empty, not absolute (no leading
// "\" or "/", no drive letter), no component that Windows reads as the parent ("..",
// "...", ".. "), and a last component that is not the directory itself (".", "   ").
int ListEntryStaysInside(const char* entry);
