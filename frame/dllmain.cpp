// Load-time entry of quisel.dll. It does no work: the C runtime's start-up and
// shut-down run around it, and the shut-down at process detach closes the log.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
