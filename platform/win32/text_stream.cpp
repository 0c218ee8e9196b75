// On Windows the C runtime's own text-mode streams are the reference behaviour; the path
// reaches them in UTF-16, so any name can be opened. Inside an exported call the file is
// opened inside the directory held for it, never through a link (directories.cpp), and
// handed to the runtime as a text-mode descriptor with the sharing fopen gives it.
#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <wchar.h>

#include "../platform.h"
#include "../system_calls.h"
#include "nt_calls.h"

using namespace qwin;

namespace {

FILE* Refused(DWORD code) {
    SetLastError(code);
    return NULL;
}

// The held file of a stream: "r" reads an existing file; "at" appends, the file made when
// missing. Shared for reading and writing, never for deletion, as fopen shares. A link is
// refused, never followed, and so is a file that other names share (OpenContent): a list
// read through another name, a log written into a file kept elsewhere.
FILE* OpenHeld(const Path& p, bool append, const char* mode) {
    if (p.itself()) return Refused(ERROR_ACCESS_DENIED);  // a directory, as fopen finds it
    // Telling a link takes the right to read attributes (MS-FSA: FileAttributeTagInformation
    // is refused to a handle with neither it nor FILE_READ_DATA), which writing lacks.
    const ACCESS_MASK access = append ? FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES : FILE_GENERIC_READ;
    const ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE file;
    NTSTATUS status = p.Open(access, share, append ? FILE_OPEN_IF : FILE_OPEN, FILE_NON_DIRECTORY_FILE, &file);
    if (status != 0) return Refused(RtlNtStatusToDosError(status));
    if (!OpenContent(&file, access, share, FILE_NON_DIRECTORY_FILE, true)) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_TEXT | (append ? _O_APPEND : _O_RDONLY));
    if (fd == -1) {
        NtClose(file);
        return Refused(ERROR_TOO_MANY_OPEN_FILES);
    }
    FILE* stream = _fdopen(fd, mode);
    if (stream == NULL) {
        _close(fd);
        return Refused(ERROR_NOT_ENOUGH_MEMORY);
    }
    return stream;
}

}  // namespace

FILE* OpenTextStream(const char* path, const char* mode) {
    Path p;
    if (!p.Set(path)) return NULL;
    if (p.held()) {
        if (mode != NULL && (strcmp(mode, "r") == 0 || strcmp(mode, "rt") == 0)) return OpenHeld(p, false, mode);
        if (mode != NULL && (strcmp(mode, "a") == 0 || strcmp(mode, "at") == 0)) return OpenHeld(p, true, mode);
        return Refused(ERROR_INVALID_PARAMETER);
    }
    wchar_t wideMode[8];
    size_t i = 0;
    for (; mode[i] != '\0' && i + 1 < sizeof wideMode / sizeof wideMode[0]; ++i) wideMode[i] = mode[i];
    wideMode[i] = L'\0';
    FILE* stream = _wfopen(p.wide(), wideMode);
    // Inside a call a stream is this call's own file, by its path outside every base too.
    if (stream != NULL && ConfineActive() && Shared(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))))) {
        fclose(stream);
        return Refused(ERROR_ACCESS_DENIED);
    }
    return stream;
}

void CommitTextStream(FILE* stream) {
    // The stream and the end it had when it was last committed: a call that wrote no
    // record asks nothing of the disk. The pointer is only compared, never followed.
    static FILE* committed = NULL;
    static __int64 committedEnd = -1;
    if (stream == NULL || fflush(stream) != 0) return;
    const int fd = _fileno(stream);
    const __int64 end = _telli64(fd);
    if (stream == committed && end == committedEnd) return;
    if (!Flush(reinterpret_cast<HANDLE>(_get_osfhandle(fd)))) return;
    committed = stream;
    committedEnd = end;
}
