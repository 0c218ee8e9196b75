#include "log/write_log.h"

#include <stdarg.h>
#include <string.h>

#include "frame/quisel.h"

namespace {
// "[MM/DD/YY/HH:MM:SS] "
const size_t kPrefixLength = 20;
}  // namespace

void WriteLog(const char* logPath, const char* message) {
    char line[kMessageSize];
    memset(line, 0, sizeof line);
    if (logPath[0] == '\0') return;

    // Date and time are read separately, as the C runtime's _strdate and _strtime do.
    char dateText[16] = {0};
    char timeText[16] = {0};
    _strdate(dateText);
    _strtime(timeText);
    snprintf(line, sizeof line, "[%.8s/%.8s] ", dateText, timeText);

    // The message is copied, not formatted again, so a "%" in it stays as it is; it
    // becomes the code page's bytes on the way. What does not fit the record is cut.
    LogText(message, line + kPrefixLength, sizeof line - kPrefixLength);

    if (LogStream == NULL) {
        LogStream = OpenTextStream(logPath, "at");
        if (LogStream == NULL) return;
    }
    fprintf(LogStream, "%s", line);
    fflush(LogStream);
}

void LogF(const char* logPath, const char* format, ...) {
    // vsnprintf terminates what it writes and nothing reads past that, so the buffer,
    // large enough for any record in UTF-8, is not cleared for every record.
    char message[kMessageBuffer];
    message[0] = '\0';
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    WriteLog(logPath, message);
}
