/*
 * A launcher's calls through the public header, needing no C runtime: linked by an
 * MSVC-compatible linker against quisel.lib, and compiled as C and as C++ for every
 * target to check the header itself. Run in a game directory whose backuplist.txt names
 * its files, it backs the game up into gameold, moves it back and removes gameold. The
 * exit code has bit 0, 1 and 2 set for each of the three calls that did not return 1.
 */
#include <quisel.h>

#ifdef __cplusplus
extern "C" {
#endif

int Consume(void) {
    /* Through the header's types, which must match its declarations. */
    QuiselVersionBackupFn backup = VersionBackup;
    QuiselVersionMoveFn move = VersionMove;
    QuiselClearDirFn clear = ClearDir;
    int failed = 0;
    failed |= (backup(0) != 1) << 0;
    failed |= (move("gameold", ".", "gameold\\newlist.txt", 0) != 1) << 1;
    failed |= (clear("gameold", 1) != 1) << 2;
    return failed;
}

#if defined(_WIN32)
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

void __cdecl Entry(void) { ExitProcess((unsigned int)Consume()); }
#endif

#ifdef __cplusplus
}
#endif
