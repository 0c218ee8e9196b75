// The forced tree move: every file of a tree to the same relative place in another.
#pragma once

// Moves every file below fromDir (full path) to the same relative place below toDir,
// creating missing directories and replacing existing files. Six names stay at
// every level: ".", "..", "backuplist.txt", "newlist.txt", "quisel.dll", "ver.bin".
// Stops at the first failure; nothing moved is moved back. Reads WorkDir, which must
// hold the working directory with its trailing backslash.
int ForceMove(const char* fromDir, const char* toDir);
