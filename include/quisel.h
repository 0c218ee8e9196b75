/*
 * quisel.h: the quisel library, the support library of a game's version backup and
 * restore. Version 2.0.4.0.
 *
 * Link with quisel.lib (MSVC), -lquisel (MinGW, Linux), or load the library at run time
 * (quisel.dll, libquisel.so.2) and resolve the functions by name, or on Windows by
 * ordinal: 1 VersionBackup, 2 ClearDir, 3 VersionMove, 4 ClearDirW, 5 VersionMoveW.
 *
 * Every function takes the process's current directory, at the time of the call, as the
 * game directory: make it the game directory first. Relative paths are taken against it,
 * and the activity log quisel.log is written there, one time-stamped record per step and
 * per failure; it is the only place that says why a call failed.
 *
 * Each function returns 1 when it did all of its work and 0 when it did not; a 0 can
 * mean that part of the work was done (nothing that was moved is moved back). No other
 * value is returned. A file that another program holds open for a moment (a virus
 * scanner, an indexer) is waited for, a second at most, and a few seconds in all per call.
 *
 * Calls must not overlap: make one call at a time, and do not change the current
 * directory from another thread while a call runs. The functions change it while they
 * work and restore it before they return. The library only reads the paths it is given.
 *
 * Links: below the game directory, and below a root named outside it, no function
 * reaches a file through a link (a symbolic link, a junction, a mount point), whether it
 * was there before the call or put there during it; the step that meets one fails, with
 * code 4395 in its record. The game directory, the folders above it and a root outside
 * it are taken as given. A link that ClearDir meets is removed as the link itself, never
 * what it leads to; every real directory is walked, whatever attributes it carries.
 *
 * Paths are ANSI strings (the process's code page on Windows) for ClearDir and
 * VersionMove, and UTF-16 strings for their twins ClearDirW and VersionMoveW, which reach
 * every name a disk holds, also those the code page cannot spell. Either way a path holds
 * fewer than 260 UTF-16 characters. Inside, the library works with every file name as
 * the system gives it, whichever function was called; the log is written in the code
 * page, with "?" for a character it cannot spell. A move list is read in the code page,
 * or as UTF-8 when it begins with the UTF-8 byte-order mark (EF BB BF).
 */
#ifndef QUISEL_H
#define QUISEL_H

/* Building the library itself, the functions are exported: on Windows by quisel.def,
   which gives them their ordinals, elsewhere by their visibility. */
#if defined(_WIN32)
#define QUISEL_CALL __cdecl
#if defined(QUISEL_BUILDING_LIBRARY)
#define QUISEL_API
#else
#define QUISEL_API __declspec(dllimport)
#endif
#else
#define QUISEL_CALL
#if defined(QUISEL_BUILDING_LIBRARY)
#define QUISEL_API __attribute__((visibility("default")))
#else
#define QUISEL_API
#endif
#endif

/* A UTF-16 code unit: wchar_t on Windows; elsewhere, where wchar_t has 32 bits,
   char16_t (C11's <uchar.h>, a keyword of C++11). */
#if defined(_WIN32)
#if !defined(__cplusplus)
#include <stddef.h> /* wchar_t */
#endif
typedef wchar_t QuiselWideChar;
#elif defined(__cplusplus)
typedef char16_t QuiselWideChar;
#else
#include <uchar.h>
typedef char16_t QuiselWideChar;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Takes a snapshot of the current version of the game. Non-zero newVersion snapshots
 * into "gamenew", zero into "gameold": a directory in the game directory, recreated (an
 * earlier snapshot of that name is removed first). The game's "newlist.txt" and
 * "backuplist.txt" are copied into it with their names exchanged, and every file that
 * the game's "backuplist.txt" names is moved into it under the same relative path,
 * "ver.bin" (when listed) last. Returns 1 when every listed file is in the snapshot.
 * Before it touches anything it makes sure the game directory holds every entry that
 * "backuplist.txt" names; when one is missing (a repeated backup, or one after a backup
 * that was interrupted) it returns 0 and touches nothing, so the earlier snapshot, which
 * may hold the only copies, stays: restore it with VersionMove (below).
 */
QUISEL_API int QUISEL_CALL VersionBackup(int newVersion);

/*
 * Empties the directory dir and every directory below it. Non-zero removeDir also
 * removes the emptied directories, dir included. It goes on past a file it cannot
 * delete, and then returns 0.
 */
QUISEL_API int QUISEL_CALL ClearDir(const char *dir, int removeDir);

/*
 * Moves every file that the move list file listPath names (one path per line, relative
 * to both roots) from the tree fromDir to the same place in the tree toDir, creating
 * missing directories and replacing files already there; a "ver.bin" line moves that
 * file last. The pass stops at the first file it cannot move; what moved stays moved.
 * When the pass fails and force is non-zero, the whole tree of fromDir is moved instead
 * (files named newlist.txt, backuplist.txt and quisel.dll stay), then "ver.bin".
 * Restoring a snapshot, for example:
 *   VersionMove("<game>\\gameold", "<game>", "<game>\\gameold\\newlist.txt", 1)
 * Returns 1 when every file is moved.
 */
QUISEL_API int QUISEL_CALL VersionMove(const char *fromDir, const char *toDir, const char *listPath, int force);

/*
 * ClearDir and VersionMove with UTF-16 paths (wchar_t on Windows): the same work, the
 * same results and the same log. A C# launcher declares them with
 *   [DllImport("quisel", CharSet = CharSet.Unicode, CallingConvention = CallingConvention.Cdecl)]
 *   static extern int ClearDir(string dir, int removeDir);
 * and the runtime finds ClearDirW (and VersionMoveW) by the name it looks for first.
 * VersionBackup needs no twin: it takes the game directory from the current directory.
 */
QUISEL_API int QUISEL_CALL ClearDirW(const QuiselWideChar *dir, int removeDir);
QUISEL_API int QUISEL_CALL VersionMoveW(const QuiselWideChar *fromDir, const QuiselWideChar *toDir,
                                        const QuiselWideChar *listPath, int force);

/* The functions' types, for loading the library at run time. */
typedef int(QUISEL_CALL *QuiselVersionBackupFn)(int newVersion);
typedef int(QUISEL_CALL *QuiselClearDirFn)(const char *dir, int removeDir);
typedef int(QUISEL_CALL *QuiselVersionMoveFn)(const char *fromDir, const char *toDir, const char *listPath,
                                              int force);
typedef int(QUISEL_CALL *QuiselClearDirWFn)(const QuiselWideChar *dir, int removeDir);
typedef int(QUISEL_CALL *QuiselVersionMoveWFn)(const QuiselWideChar *fromDir, const QuiselWideChar *toDir,
                                               const QuiselWideChar *listPath, int force);

#ifdef __cplusplus
}
#endif

#endif /* QUISEL_H */
