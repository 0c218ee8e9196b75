// What the benchmark floors share: the log record, written with one write(2) each, and
// the creation of a destination's missing directories.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace floor_bench {

// The activity log as the library writes it: appended, one record per write, CR LF.
class Log {
public:
    explicit Log(const char* path) : fd_(open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666)) {}
    ~Log() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    // "[MM/DD/YY/HH:MM:SS] MoveFile(from, to) SUCCEED !!!\r\n"
    bool Moved(const char* from, const char* to) {
        time_t now = time(nullptr);
        if (now != second_) {  // the clock is formatted once a second, not per record
            struct tm t;
            localtime_r(&now, &t);
            snprintf(stamp_, sizeof stamp_, "[%02d/%02d/%02d/%02d:%02d:%02d] ", t.tm_mon + 1, t.tm_mday,
                     t.tm_year % 100, t.tm_hour, t.tm_min, t.tm_sec);
            second_ = now;
        }
        char record[1100];
        int n = snprintf(record, sizeof record, "%sMoveFile(%s, %s) SUCCEED !!!\r\n", stamp_, from, to);
        if (n < 0 || static_cast<size_t>(n) >= sizeof record) return false;
        return write(fd_, record, static_cast<size_t>(n)) == n;
    }

private:
    int fd_;
    time_t second_ = -1;
    char stamp_[32] = "";
};

// Creates every missing directory above the last '/' of path, from `from` on.
inline bool MakeParents(const char* path, size_t from) {
    char dir[PATH_MAX];
    size_t len = strlen(path);
    if (len >= sizeof dir) return false;
    for (size_t i = from; i < len; ++i) {
        if (path[i] != '/') continue;
        memcpy(dir, path, i);
        dir[i] = '\0';
        if (mkdir(dir, 0777) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// One rename; when a destination directory is missing, its levels are made and the
// rename tried once more.
inline bool MoveOne(const char* from, const char* to, size_t createFrom) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
    if (errno != ENOENT || !MakeParents(to, createFrom)) return false;
    return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0;
}

}  // namespace floor_bench
