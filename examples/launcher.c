/*
 * launcher.c: what a game's launcher does with quisel. Before an update it backs up the
 * game's current version into GAMEDIR/gameold; when the update has to be undone, it
 * moves that version back.
 *
 *   launcher GAMEDIR             VersionBackup(0)
 *   launcher --restore GAMEDIR   VersionMove(GAMEDIR/gameold, GAMEDIR, GAMEDIR/gameold/newlist.txt, 1)
 *
 * Exit status 0 when the call returned 1, 1 when it failed, 2 for a usage error.
 *
 * Build it against the package (PKG is the unpacked or installed tree):
 *   CMake       cmake -S PKG/share/doc/quisel/examples -B build -DCMAKE_PREFIX_PATH=PKG
 *   pkg-config  cc launcher.c $(pkg-config --cflags --libs quisel)
 *   MinGW       gcc launcher.c -IPKG/include -LPKG/lib -lquisel
 *   MSVC        cl launcher.c /IPKG\include PKG\lib\quisel.lib
 */
#if defined(_WIN32)
#include <direct.h>
#define SEPARATOR "\\"
#define ChangeDirectory _chdir
#define CurrentDirectory _getcwd
#else
#define _POSIX_C_SOURCE 200809L
#include <unistd.h>
#define SEPARATOR "/"
#define ChangeDirectory chdir
#define CurrentDirectory getcwd
#endif

#include <stdio.h>
#include <string.h>

#include <quisel.h>

enum { kPathSize = 260 };

int main(int argc, char **argv) {
    char game[kPathSize], snapshot[kPathSize], list[kPathSize];
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
    if (snprintf(snapshot, sizeof snapshot, "%s" SEPARATOR "gameold", game) >= (int)sizeof snapshot ||
        snprintf(list, sizeof list, "%s" SEPARATOR "newlist.txt", snapshot) >= (int)sizeof list) {
        fprintf(stderr, "launcher: the game directory's path is too long\n");
        return 2;
    }

    if (restore) {
        /* The snapshot's newlist.txt names what the backup moved; force 1 falls back to
           moving the whole snapshot should one of those files be missing. */
        result = VersionMove(snapshot, game, list, 1);
    } else {
        result = VersionBackup(0);
    }
    printf("%s %s; the steps are in %s" SEPARATOR "quisel.log\n", restore ? "restore" : "backup",
           result == 1 ? "succeeded" : "FAILED", game);
    return result == 1 ? 0 : 1;
}
