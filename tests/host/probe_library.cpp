// A stand-in for the library that records every call, so that the host program's own
// behaviour (what it calls, in which order, with which arguments, from which directory,
// and when it unloads) can be checked apart from what the real library does.
//
// Each export appends "<current directory>|<name>|<arguments...>" to the file named by
// QUISEL_PROBE_LOG and returns its int argument, so a test chooses every result. Unloading
// appends "unload" (under Windows only when the library is freed, "exit" at process end).
// The directory and the wide exports' paths are recorded in UTF-8, the ANSI exports'
// paths as the bytes they were given.
#include <cstdio>
#include <cstdlib>
#include <string>

// The header's declarations, so the stand-in's exports cannot drift from the real ones.
#define QUISEL_BUILDING_LIBRARY
#include <quisel.h>

#include "wtf8.h"

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

// UTF-16 as UTF-8 (an unpaired surrogate in its own 3-byte form), by the library's codec.
std::string Utf8(const QuiselWideChar* text) {
    size_t count = 0;
    while (text[count] != 0) ++count;
    std::string utf8(3 * count + 1, '\0');
    EncodeWtf8(reinterpret_cast<const uint16_t*>(text), count, &utf8[0], utf8.size());
    utf8.resize(utf8.find('\0'));
    return utf8;
}

std::string CurrentDirectory() {
#if defined(_WIN32)
    wchar_t buffer[1024];
    DWORD n = GetCurrentDirectoryW(sizeof buffer / sizeof buffer[0], buffer);
    return n > 0 && n < sizeof buffer / sizeof buffer[0] ? Utf8(buffer) : "?";
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

PROBE_EXPORT int PROBE_CDECL ClearDirW(const QuiselWideChar* dir, int removeDir) {
    Record(CurrentDirectory() + "|ClearDirW|" + Utf8(dir) + "|" + std::to_string(removeDir));
    return removeDir;
}

#if !defined(QUISEL_PROBE_PARTIAL)
PROBE_EXPORT int PROBE_CDECL VersionMove(const char* fromDir, const char* toDir, const char* listPath, int force) {
    Record(CurrentDirectory() + "|VersionMove|" + fromDir + "|" + toDir + "|" + listPath + "|" + std::to_string(force));
    return force;
}

PROBE_EXPORT int PROBE_CDECL VersionMoveW(const QuiselWideChar* fromDir, const QuiselWideChar* toDir,
                                          const QuiselWideChar* listPath, int force) {
    Record(CurrentDirectory() + "|VersionMoveW|" + Utf8(fromDir) + "|" + Utf8(toDir) + "|" + Utf8(listPath) + "|" +
           std::to_string(force));
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
