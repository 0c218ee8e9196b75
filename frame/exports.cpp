// The exports. Each turns its arguments into the library's form once, at entry (from the
// process's code page, or from UTF-16), and hands them to the work they share.
#include "frame/quisel.h"

namespace {
// An argument in the library's form, in buffer (kArgumentBytes), or null for null. One
// that does not fit is longer than any path, and is refused by every call it reaches.
const char* FromAnsi(const char* text, char* buffer) {
    if (text == NULL) return NULL;
    FromCodePage(text, buffer, kArgumentBytes);
    return buffer;
}

const char* FromWide(const QuiselWideChar* text, char* buffer) {
    if (text == NULL) return NULL;
    FromUtf16(text, buffer, kArgumentBytes);
    return buffer;
}

// Each call's paths are confined between these two (files.h: FsCallBegins). Its records,
// each handed to the system as it was written, are made durable once, at its end: after a
// power cut the log holds every call that returned (platform.h: CommitTextStream).
int Finished(int result) {
    CommitTextStream(LogStream);  // a call that opened no log: nothing
    FsCallEnds();
    return result;
}
}  // namespace

int QUISEL_CALL VersionBackup(int newVersion) {
    FsCallBegins();
    return Finished(BackUpVersion(newVersion));
}

int QUISEL_CALL ClearDir(const char* dir, int removeDir) {
    char path[kArgumentBytes];
    FsCallBegins();
    return Finished(ClearDirectory(FromAnsi(dir, path), removeDir));
}

int QUISEL_CALL ClearDirW(const QuiselWideChar* dir, int removeDir) {
    char path[kArgumentBytes];
    FsCallBegins();
    return Finished(ClearDirectory(FromWide(dir, path), removeDir));
}

int QUISEL_CALL VersionMove(const char* fromDir, const char* toDir, const char* listPath, int force) {
    char from[kArgumentBytes];
    char to[kArgumentBytes];
    char list[kArgumentBytes];
    FsCallBegins();
    return Finished(MoveVersion(FromAnsi(fromDir, from), FromAnsi(toDir, to), FromAnsi(listPath, list), force));
}

int QUISEL_CALL VersionMoveW(const QuiselWideChar* fromDir, const QuiselWideChar* toDir,
                             const QuiselWideChar* listPath, int force) {
    char from[kArgumentBytes];
    char to[kArgumentBytes];
    char list[kArgumentBytes];
    FsCallBegins();
    return Finished(MoveVersion(FromWide(fromDir, from), FromWide(toDir, to), FromWide(listPath, list), force));
}
