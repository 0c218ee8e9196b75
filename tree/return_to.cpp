#include "tree/return_to.h"

#include "frame/quisel.h"
#include "log/write_log.h"

int ReturnTo(const char* savedDir, const char* logPath) {
    if (FsSetCurrentDirectory(savedDir)) return 1;
    LogF(logPath, "SetCurrentDirectory(%s) FAILED %d\n", savedDir, static_cast<int>(GetLastError()));
    return 0;
}
