// Text streams as the Windows C runtime gives them, on glibc's fopencookie so the library
// keeps using plain FILE* calls. The log appends with every LF written as CR LF; a list
// is read with CR LF turned into LF, a lone CR kept and byte 26 ending the file.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

#include "../platform.h"
#include "fault_hook.h"
#include "layer.h"

using qlayer::Fail;
using qlayer::FaultHook;

namespace {

struct Cookie {
    int fd;
    dev_t dev;
    ino_t ino;
    FILE* file = nullptr;
    // An appending stream that wrote since it was last made durable (CommitTextStream).
    std::atomic<bool> unsaved{false};
};

// Streams still open, closed when the library is unloaded (see CloseStreamsAtUnload).
std::mutex g_streamsLock;
Cookie* g_streams[qlayer::kOpenStreamSlots];

void Remember(Cookie* c) {
    std::lock_guard<std::mutex> hold(g_streamsLock);
    for (Cookie*& slot : g_streams) {
        if (slot == nullptr) {
            slot = c;
            return;
        }
    }
}

void Forget(Cookie* c) {
    std::lock_guard<std::mutex> hold(g_streamsLock);
    for (Cookie*& slot : g_streams) {
        if (slot == c) slot = nullptr;
    }
}

// The open stream f's cookie, when it wrote since it was last made durable; it counts as
// made durable from now on.
Cookie* TakeUnsaved(FILE* f) {
    std::lock_guard<std::mutex> hold(g_streamsLock);
    for (Cookie* c : g_streams) {
        if (c != nullptr && c->file == f) return c->unsaved.exchange(false) ? c : nullptr;
    }
    return nullptr;
}

// On Windows the C runtime's shut-down closes every stream still open when the library
// is unloaded, which is how the log is closed. Here the layer plays that part: at
// dlclose, or at exit before stdio's own clean-up.
__attribute__((destructor)) void CloseStreamsAtUnload() {
    FILE* open[qlayer::kOpenStreamSlots] = {};
    {
        std::lock_guard<std::mutex> hold(g_streamsLock);
        for (int i = 0; i < qlayer::kOpenStreamSlots; ++i)
            if (g_streams[i] != nullptr) open[i] = g_streams[i]->file;
    }
    for (FILE* f : open) {
        if (f != nullptr) fclose(f);
    }
}

struct ReadCookie : Cookie {
    size_t pos = 0;
    size_t end = 0;
    bool pendingCr = false;  // a CR whose successor is not read yet
    bool atEnd = false;      // end of file or byte 26 seen
    char raw[qlayer::kListReadChunk];
};

// Room for one full stdio buffer with every byte a LF, so a flush is one write(2).
constexpr size_t kLogOutSize = 2 * BUFSIZ;

struct WriteCookie : Cookie {
    char out[kLogOutSize];
};

ssize_t ReadListBytes(void* cookie, char* buf, size_t size) {
    auto* c = static_cast<ReadCookie*>(cookie);
    size_t out = 0;
    while (out < size) {
        if (c->pos == c->end) {
            // One read(2) per call unless nothing could be handed out yet (a lone pending CR
            // must not look like the end of the file).
            if (c->atEnd || out > 0) break;
            if (FaultHook(FAULT_ReadStream)) {
                errno = EIO;
                return -1;
            }
            ssize_t got;
            do got = read(c->fd, c->raw, sizeof c->raw);
            while (got < 0 && errno == EINTR);
            if (got < 0) {
                Fail(qlayer::CodeForErrno(errno));
                return -1;
            }
            if (got == 0) {
                c->atEnd = true;
                if (c->pendingCr) {
                    c->pendingCr = false;
                    buf[out++] = '\r';
                }
                break;
            }
            c->pos = 0;
            c->end = static_cast<size_t>(got);
        }
        char ch = c->raw[c->pos];
        if (c->pendingCr) {
            c->pendingCr = false;
            if (ch == '\n') {
                ++c->pos;
                buf[out++] = '\n';
            } else {
                buf[out++] = '\r';  // ch is looked at again on the next turn
            }
            continue;
        }
        if (ch == 26) {
            c->atEnd = true;
            c->pos = c->end;
            break;
        }
        ++c->pos;
        if (ch == '\r')
            c->pendingCr = true;
        else
            buf[out++] = ch;
    }
    return static_cast<ssize_t>(out);
}

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        if (FaultHook(FAULT_WriteStream)) return false;
        ssize_t put = write(fd, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
            Fail(qlayer::CodeForErrno(errno));
            return false;
        }
        p += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

// glibc treats a short count as an error and drops the rest of its buffer.
ssize_t WriteLogBytes(void* cookie, const char* buf, size_t size) {
    auto* c = static_cast<WriteCookie*>(cookie);
    size_t used = 0;
    for (size_t i = 0; i < size; ++i) {
        if (used + 2 > sizeof c->out) {
            if (!WriteAll(c->fd, c->out, used)) return 0;
            used = 0;
        }
        if (buf[i] == '\n') c->out[used++] = '\r';
        c->out[used++] = buf[i];
    }
    if (used > 0 && !WriteAll(c->fd, c->out, used)) return 0;
    c->unsaved = true;
    return static_cast<ssize_t>(size);
}

template <typename C>
int CloseStream(void* cookie) {
    auto* c = static_cast<C*>(cookie);
    if (c->file != nullptr) Forget(c);
    qlayer::UnregisterOpenStream(c->dev, c->ino);
    int rc = close(c->fd);
    delete c;
    return rc == 0 ? 0 : EOF;
}

template <typename C>
FILE* Open(const qlayer::NativePath& path, int flags, const char* cookieMode, cookie_io_functions_t io) {
    // A confined call opens no file through a link, the log's own name included, nor one
    // that is no regular file or that another name shares: the log would write into it,
    // a list would put its first line into the log.
    struct stat st;
    const int fd = qlayer::OpenRegular(path, flags, 0666, true, &st);
    if (fd < 0) return nullptr;
    C* c = new (std::nothrow) C;
    if (c == nullptr) {
        close(fd);
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    c->fd = fd;
    c->dev = st.st_dev;
    c->ino = st.st_ino;
    if (!qlayer::RegisterOpenStream(path.name(), st)) {
        delete c;
        close(fd);
        Fail(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    FILE* f = fopencookie(c, cookieMode, io);
    if (f == nullptr) {
        CloseStream<C>(c);
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    c->file = f;
    Remember(c);
    return f;
}

}  // namespace

FILE* OpenTextStream(const char* path, const char* mode) {
    qlayer::ForgetRecentEntry();  // the open may create a file
    if (FaultHook(FAULT_OpenTextStream)) return nullptr;
    qlayer::NativePath p;
    if (!p.Set(path)) return nullptr;
    if (mode != nullptr && (strcmp(mode, "r") == 0 || strcmp(mode, "rt") == 0)) {
        cookie_io_functions_t io{ReadListBytes, nullptr, nullptr, CloseStream<ReadCookie>};
        return Open<ReadCookie>(p, O_RDONLY, "r", io);
    }
    if (mode != nullptr && (strcmp(mode, "a") == 0 || strcmp(mode, "at") == 0)) {
        cookie_io_functions_t io{nullptr, WriteLogBytes, nullptr, CloseStream<WriteCookie>};
        return Open<WriteCookie>(p, O_WRONLY | O_APPEND | O_CREAT, "w", io);
    }
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
}

void CommitTextStream(FILE* stream) {
    if (stream == nullptr || fflush(stream) != 0) return;
    Cookie* c = TakeUnsaved(stream);
    if (c == nullptr || FaultHook(FAULT_WriteStream)) return;
    qlayer::Sync(c->fd);
}
