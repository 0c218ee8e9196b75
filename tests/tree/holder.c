/*
 * Another program that holds a file open as a virus scanner or the game itself does:
 * reading and writing shared, deletion not.
 *
 *   quisel-holder FILE WATCH MS HELD RELEASE
 *
 * Opens FILE and sets the named event HELD. Then, once WATCH no longer exists ("-": at
 * once), it keeps the file MS milliseconds more (-1: for good), or until the named event
 * RELEASE is set, and exits, which closes the file. Exit 0, or 1 when FILE cannot be
 * opened or an event is missing.
 */
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 6) return 2;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[4]);
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, argv[5]);
    if (file == INVALID_HANDLE_VALUE || held == NULL || release == NULL) return 1;
    SetEvent(held);
    if (wcscmp(argv[2], L"-") != 0) {
        while (GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) Sleep(1);
    }
    const long ms = wcstol(argv[3], NULL, 10);
    WaitForSingleObject(release, ms < 0 ? INFINITE : (DWORD)ms);
    CloseHandle(file);
    return 0;
}
