/*
 * A launcher's calls through the public header, needing no C runtime: linked by an
 * MSVC-compatible linker against quisel.lib, and compiled as C and as C++ for every
 * target to check the header itself. Run in a game directory whose backuplist.txt names
 * its files, it backs the game up into gameold and moves it back through the wide
 * export, does both again through the ANSI one, then empties gameold (ANSI) and removes
 * it (wide). The exit code has one bit set for each call that did not return 1.
 */
#include <quisel.h>

#ifdef __cplusplus
extern "C" {
#endif

/* UTF-16 text without C11's u"" or a C runtime. */
static const QuiselWideChar kGameOld[] = {'g', 'a', 'm', 'e', 'o', 'l', 'd', 0};
static const QuiselWideChar kHere[] = {'.', 0};
static const QuiselWideChar kList[] = {'g', 'a', 'm', 'e', 'o', 'l', 'd', '\\', 'n', 'e', 'w', 'l', 'i', 's', 't', '.', 't', 'x', 't', 0};

int Consume(void) {
    /* Through the header's types, which must match its declarations. */
    QuiselVersionBackupFn backup = VersionBackup;
    QuiselVersionMoveFn move = VersionMove;
    QuiselClearDirFn clear = ClearDir;
    QuiselVersionMoveWFn moveWide = VersionMoveW;
    QuiselClearDirWFn clearWide = ClearDirW;
    int failed = 0;
    failed |= (backup(0) != 1) << 0;
    failed |= (moveWide(kGameOld, kHere, kList, 0) != 1) << 1;
    failed |= (backup(0) != 1) << 2;
    failed |= (move("gameold", ".", "gameold\\newlist.txt", 0) != 1) << 3;
    failed |= (clear("gameold", 0) != 1) << 4;
    failed |= (clearWide(kGameOld, 1) != 1) << 5;
    return failed;
}

#if defined(_WIN32)
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

void __cdecl Entry(void) { ExitProcess((unsigned int)Consume()); }
#endif

#ifdef __cplusplus
}
#endif
