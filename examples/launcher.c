/*
 * launcher.c: what a game's launcher does with quisel, as README's "Writing a launcher"
 * tells. Before an update it backs up the game's current version into GAMEDIR/gameold;
 * when the update has to be undone, it moves that version back.
 *
 *   launcher GAMEDIR             back up: VersionBackup(0)
 *   launcher --restore GAMEDIR   restore: VersionMove(GAMEDIR/gameold, GAMEDIR, GAMEDIR/gameold/newlist.txt, 1)
 *
 * Exit status 0 when the call returned 1, 1 when it failed or was refused, 2 for a usage
 * error. What the library did is in GAMEDIR/quisel.log.
 *
 * It keeps two marks of its own beside the snapshot, so that it restores only what a backup
 * moved, and after a crash knows what to do:
 *   gameold.ok       gameold holds the whole version: its backup returned 1
 *   gameold.pending  a backup began and has not returned 1: gameold may hold part of the
 *                    version; the next backup is refused until a restore brings it back
 * and, inside gameold while a backup runs, gameold/~launcher.unchanged. The backup empties
 * the earlier snapshot only once it has checked the version, in name order, so this file
 * goes last; the new snapshot's list copy newlist.txt comes before any file is moved. So
 * while the mark is there, nothing has moved; once it is gone the earlier snapshot is gone,
 * and files may have moved only when newlist.txt is there again.
 *
 * Build it against the package (PKG is the unpacked or installed tree):
 *   CMake       cmake -S PKG/share/doc/quisel/examples -B build -DCMAKE_PREFIX_PATH=PKG
 *               (PKG/examples in a Windows zip)
 *   pkg-config  cc launcher.c $(pkg-config --cflags --libs quisel)
 *   MinGW       gcc launcher.c -IPKG/include -LPKG/lib -lquisel
 *   MSVC        cl launcher.c /IPKG\include PKG\lib\quisel.lib
 */
#if defined(_WIN32)
#include <direct.h>
#define SEPARATOR "\\"
#define ChangeDirectory _chdir
#define CurrentDirectory _getcwd
#define MakeDirectory(path) _mkdir(path)
#else
#define _POSIX_C_SOURCE 200809L
#include <sys/stat.h>
#include <unistd.h>
#define SEPARATOR "/"
#define ChangeDirectory chdir
#define CurrentDirectory getcwd
#define MakeDirectory(path) mkdir(path, 0777)
#endif

#include <stdio.h>
#include <string.h>

#include <quisel.h>

enum { kPathSize = 260 };

static char game[kPathSize], snapshot[kPathSize], list[kPathSize];
static char ok[kPathSize], pending[kPathSize], unchanged[kPathSize];

static int Exists(const char *path) {
    FILE *file = fopen(path, "rb");
    if (file == NULL)
        return 0;
    fclose(file);
    return 1;
}

/* A mark is an empty file; it must be on disk before the step it guards. */
static int Mark(const char *path) {
    FILE *file = fopen(path, "wb");
    return file != NULL && fclose(file) == 0;
}

static int Paths(void) {
    return snprintf(snapshot, sizeof snapshot, "%s" SEPARATOR "gameold", game) < (int)sizeof snapshot &&
           snprintf(list, sizeof list, "%s" SEPARATOR "newlist.txt", snapshot) < (int)sizeof list &&
           snprintf(ok, sizeof ok, "%s.ok", snapshot) < (int)sizeof ok &&
           snprintf(pending, sizeof pending, "%s.pending", snapshot) < (int)sizeof pending &&
           snprintf(unchanged, sizeof unchanged, "%s" SEPARATOR "~launcher.unchanged", snapshot) <
               (int)sizeof unchanged;
}

/* What a backup that did not return 1 left behind, told by the marks. */
static void Settle(void) {
    if (!Exists(pending))
        return;
    if (Exists(unchanged)) {
        /* Cut short before it moved anything: the game is whole, but the earlier snapshot
           may have been emptied in part, so it is no longer one to restore. */
        remove(unchanged);
        remove(ok);
        remove(pending);
        return;
    }
    /* The earlier snapshot is gone. Without the new one's list copy nothing has moved;
       with it, pending stays: only a restore makes the game whole again. */
    remove(ok);
    if (!Exists(list))
        remove(pending);
}

static int Backup(void) {
    int result;
    Settle();
    if (Exists(pending)) {
        fprintf(stderr, "launcher: an earlier backup stopped after it had moved files into %s: "
                        "restore them first (launcher --restore)\n", snapshot);
        return 0;
    }
    MakeDirectory(snapshot); /* there already, but for the first backup */
    if (!Mark(unchanged) || !Mark(pending)) {
        fprintf(stderr, "launcher: cannot write its marks beside %s\n", snapshot);
        remove(unchanged);
        return 0;
    }
    result = VersionBackup(0);
    if (result == 1) {
        /* The snapshot is new and whole: it is what a restore brings back. */
        if (Mark(ok))
            remove(pending);
        return Exists(ok);
    }
    /* A call that returns has finished emptying the earlier snapshot if it began to, so a
       mark still there means the check refused (a repeated backup, a file missing from the
       game): the game, the earlier snapshot and its ok are as they were. */
    if (Exists(unchanged)) {
        remove(unchanged);
        remove(pending);
    }
    Settle();
    return 0;
}

static int Restore(void) {
    int result;
    Settle();
    if (!Exists(ok) && !Exists(pending)) {
        fprintf(stderr, "launcher: %s was not made by a backup that returned 1: nothing to restore\n", snapshot);
        return 0;
    }
    /* The snapshot's newlist.txt names what the backup moved; force 1 falls back to moving
       the whole snapshot should one of those files be missing (a backup that stopped
       half-way), carrying in whatever else gameold holds. */
    result = VersionMove(snapshot, game, list, 1);
    if (result == 1) {
        remove(ok);
        remove(pending);
    }
    /* On 0 the marks stay: fix what the log names and restore again; what moved stays moved. */
    return result;
}

int main(int argc, char **argv) {
    int restore = argc == 3 && strcmp(argv[1], "--restore") == 0;
    int result;

    if (argc != 2 + restore) {
        fprintf(stderr, "usage: launcher [--restore] GAMEDIR\n");
        return 2;
    }
    /* The library works in the current directory: it must be the game directory. */
    if (ChangeDirectory(argv[argc - 1]) != 0 || CurrentDirectory(game, sizeof game) == NULL) {
        fprintf(stderr, "launcher: cannot enter the game directory %s\n", argv[argc - 1]);
        return 2;
    }
    if (!Paths()) {
        fprintf(stderr, "launcher: the game directory's path is too long\n");
        return 2;
    }
    result = restore ? Restore() : Backup();
    printf("%s %s; the steps are in %s" SEPARATOR "quisel.log\n", restore ? "restore" : "backup",
           result == 1 ? "succeeded" : "FAILED", game);
    return result == 1 ? 0 : 1;
}
