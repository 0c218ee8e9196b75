// A stand-in for the library that records every call, so that the host program's own
// behaviour (what it calls, in which order, with which arguments, from which directory,
// and when it unloads) can be checked apart from what the real library does.
//
// Each export appends "<current directory>|<name>|<arguments...>" to the file named by
// QUISEL_PROBE_LOG and returns its int argument, so a test chooses every result. Unloading
// appends "unload" (under Windows only when the library is freed, "exit" at process end).
#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#define PROBE_EXPORT extern "C"
#define PROBE_CDECL __cdecl
#else
#include <unistd.h>
#include <vector>
#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))
#define PROBE_CDECL
#endif

namespace {

std::string CurrentDirectory() {
#if defined(_WIN32)
    char buffer[1024];
    DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : "?";
#else
    std::vector<char> buffer(4096);
    return getcwd(buffer.data(), buffer.size()) ? std::string(buffer.data()) : "?";
#endif
}

void Record(const std::string& line) {
    const char* path = std::getenv("QUISEL_PROBE_LOG");
    if (path == nullptr || *path == '\0') return;
    FILE* file = std::fopen(path, "ab");
    if (file == nullptr) return;
    std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

} // namespace

PROBE_EXPORT int PROBE_CDECL VersionBackup(int newVersion) {
    Record(CurrentDirectory() + "|VersionBackup|" + std::to_string(newVersion));
    return newVersion;
}

PROBE_EXPORT int PROBE_CDECL ClearDir(const char* dir, int removeDir) {
    Record(CurrentDirectory() + "|ClearDir|" + dir + "|" + std::to_string(removeDir));
    return removeDir;
}

#if !defined(QUISEL_PROBE_PARTIAL)
PROBE_EXPORT int PROBE_CDECL VersionMove(const char* fromDir, const char* toDir, const char* listPath, int force) {
    Record(CurrentDirectory() + "|VersionMove|" + fromDir + "|" + toDir + "|" + listPath + "|" + std::to_string(force));
    return force;
}
#endif

#if defined(_WIN32)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH) Record(reserved == nullptr ? "unload" : "exit");
    return TRUE;
}
#else
__attribute__((destructor)) static void Unloaded() { Record("unload"); }
#endif
