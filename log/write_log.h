// The activity log: one timestamped record per step and per failure.
#pragma once

// Appends "[MM/DD/YY/HH:MM:SS] " and the message to the log, in the process's code page
// ("?" for a character it cannot spell). The log is opened at logPath by the first record
// whose open succeeds and stays open for the library's life; an empty logPath writes
// nothing. Failures are never reported.
void WriteLog(const char* logPath, const char* message);

// Formats one message in a buffer that holds every record the log can (a longer one is
// cut, never overrun) and hands it to WriteLog.
void LogF(const char* logPath, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A possibly-null argument as the log shows it.
inline const char* OrNull(const char* text) {
    return text ? text : "(null)";
}
