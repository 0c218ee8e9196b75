// Load-time entry of quisel.dll. It succeeds for every notification and does no
// work, with one exception: the DLL uses the process's shared C runtime
// (msvcrt.dll), whose streams outlive any one module, so the log is closed here when
// the library is unloaded by FreeLibrary, as a runtime linked into the module would
// do. At process exit the runtime closes it.
#include <windows.h>

#include "frame/quisel.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == NULL && LogStream != NULL) {
        fclose(LogStream);
        LogStream = NULL;
    }
    return TRUE;
}
