// The trace behind power_cut.h: the wrapped system calls, and the states built from them.
#include "power_cut.h"

#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <set>

#include "invariants.h"

extern "C" {
int __real_openat(int dir, const char* name, int flags, ...);
int __real_close(int fd);
ssize_t __real_write(int fd, const void* bytes, size_t count);
ssize_t __real_copy_file_range(int in, off64_t* inAt, int out, off64_t* outAt, size_t count, unsigned flags);
int __real_fsync(int fd);
int __real_fdatasync(int fd);
int __real_linkat(int fromDir, const char* from, int toDir, const char* to, int flags);
int __real_renameat(int fromDir, const char* from, int toDir, const char* to);
int __real_renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags);
int __real_unlinkat(int dir, const char* name, int flags);
int __real_mkdirat(int dir, const char* name, mode_t mode);
int __real_symlinkat(const char* target, int dir, const char* name);
}

namespace quisel::power {
namespace {

struct Node {
    enum Kind { File, Dir, Link } kind;
    int inode;  // files only
};
using Tree = std::map<std::string, Node>;

struct Op {
    enum Kind { Create, Link, LinkPath, Rename, Unlink, Mkdir, Rmdir, Symlink, Write, FlushFile, FlushDir } kind;
    int volume = -1;  // name operations and FlushDir
    std::string path, to;
    int inode = -1;     // Create, Link, Write, FlushFile
    std::string bytes;  // FlushFile: what it made durable
};

bool IsName(const Op& op) { return op.kind <= Op::Symlink; }

std::atomic<bool> g_on{false};
std::vector<std::string> g_roots;
std::vector<dev_t> g_volumes;
Tree g_initial, g_live;
std::vector<std::string> g_original;  // the bytes of the inodes there at the start
int g_inodes = 0;
std::vector<Op> g_ops;
struct Fd {
    int inode;  // a file written through it, or -1
    int volume;
    bool dir;
};
std::map<int, Fd> g_fds;
std::function<void(const std::string&)> g_hook;
std::vector<std::string> g_unplaced;  // name operations on no volume the trace could tell

int VolumeIndex(dev_t dev) {
    for (size_t i = 0; i < g_volumes.size(); ++i)
        if (g_volumes[i] == dev) return static_cast<int>(i);
    g_volumes.push_back(dev);
    return static_cast<int>(g_volumes.size() - 1);
}

// The volume of the directory that holds path.
int VolumeOf(const std::string& path) {
    struct stat st;
    const std::string dir = path.substr(0, path.rfind('/'));
    return stat(dir.empty() ? "/" : dir.c_str(), &st) == 0 ? VolumeIndex(st.st_dev) : -1;
}

std::string PathAt(int dir, const char* name) {
    char base[PATH_MAX] = "";
    if (dir == AT_FDCWD) {
        if (getcwd(base, sizeof base) == nullptr) base[0] = '\0';
    } else {
        char self[32];
        snprintf(self, sizeof self, "/proc/self/fd/%d", dir);
        const ssize_t n = readlink(self, base, sizeof base - 1);
        base[n > 0 ? n : 0] = '\0';
    }
    return inv::Normalize(name, base);
}

bool Traced(const std::string& path) {
    for (const std::string& root : g_roots)
        if (inv::IsWithin(path, root)) return true;
    return false;
}

void Apply(const Op& op, Tree* tree) {
    switch (op.kind) {
    case Op::Create:
    case Op::Link: (*tree)[op.path] = {Node::File, op.inode}; break;
    case Op::LinkPath: {
        auto from = tree->find(op.path);
        if (from != tree->end()) (*tree)[op.to] = from->second;
        break;
    }
    case Op::Symlink: (*tree)[op.path] = {Node::Link, -1}; break;
    case Op::Mkdir: (*tree)[op.path] = {Node::Dir, -1}; break;
    case Op::Unlink:
    case Op::Rmdir: tree->erase(op.path); break;
    case Op::Rename: {
        auto from = tree->find(op.path);
        if (from == tree->end()) break;
        // A directory takes what is below it along; what the destination was is replaced.
        Tree moved{{op.to, from->second}};
        for (const std::string& root : {op.path, op.to}) {
            const std::string below = root + "/";
            for (auto it = tree->lower_bound(below); it != tree->end() && it->first.compare(0, below.size(), below) == 0;) {
                if (root == op.path) moved[op.to + it->first.substr(op.path.size())] = it->second;
                it = tree->erase(it);
            }
        }
        tree->erase(op.path);
        tree->erase(op.to);
        tree->insert(moved.begin(), moved.end());
        break;
    }
    default: break;
    }
}

std::string Describe(const Op& op) {
    static const char* const kNames[] = {"create", "link", "link", "rename", "unlink", "mkdir", "rmdir", "symlink",
                                         "write", "fsync", "fsync of a directory of volume"};
    std::string text = kNames[op.kind];
    if (op.kind == Op::FlushDir) return text + " " + std::to_string(op.volume);
    if (!op.path.empty()) text += " " + op.path;
    if (!op.to.empty()) text += " -> " + op.to;
    return text;
}

void Note(Op op) {
    if (IsName(op)) Apply(op, &g_live);
    g_ops.push_back(op);
    if (IsName(op) && g_hook) {
        g_on = false;
        g_hook(Describe(op));
        g_on = true;
    }
}

void Opened(int fd, const std::string& path, int flags, bool existed) {
    struct stat st;
    if (fstat(fd, &st) != 0) return;
    Fd info{-1, VolumeIndex(st.st_dev), S_ISDIR(st.st_mode)};
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        info.inode = g_inodes++;
    } else if (S_ISREG(st.st_mode) && (flags & O_ACCMODE) != O_RDONLY) {
        auto there = g_live.find(path);
        if (existed && there != g_live.end() && there->second.kind == Node::File) {
            info.inode = there->second.inode;
        } else {
            info.inode = g_inodes++;
            if (!existed) Note({Op::Create, info.volume, path, "", info.inode, ""});
        }
    }
    g_fds[fd] = info;
}

const Fd* Tracked(int fd) {
    auto it = g_fds.find(fd);
    return it == g_fds.end() ? nullptr : &it->second;
}

void Written(int fd) {
    const Fd* f = Tracked(fd);
    if (f != nullptr && f->inode >= 0) Note({Op::Write, -1, "", "", f->inode, ""});
}

void Flushed(int fd) {
    const Fd* f = Tracked(fd);
    if (f == nullptr) return;
    if (f->dir) {
        Note({Op::FlushDir, f->volume, "", "", -1, ""});
        return;
    }
    if (f->inode < 0) return;
    // What the flush made durable: the file's bytes now, read through a descriptor of our own.
    Op op{Op::FlushFile, -1, "", "", f->inode, ""};
    char self[32];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    const int in = __real_openat(AT_FDCWD, self, O_RDONLY | O_CLOEXEC);
    char buf[4096];
    for (ssize_t n; in >= 0 && (n = read(in, buf, sizeof buf)) > 0;) op.bytes.append(buf, static_cast<size_t>(n));
    if (in >= 0) __real_close(in);
    Note(op);
}

void Named(Op::Kind kind, int dir, const char* name, int toDir = AT_FDCWD, const char* to = nullptr) {
    Op op{kind, -1, PathAt(dir, name), to != nullptr ? PathAt(toDir, to) : "", -1, ""};
    const std::string& where = to != nullptr ? op.to : op.path;
    if (!Traced(op.path) && !Traced(where)) return;
    op.volume = VolumeOf(where);
    if (op.volume < 0) {
        g_unplaced.push_back(Describe(op));  // no state could be built without it
        return;
    }
    Note(op);
}

bool On() { return g_on.load(std::memory_order_relaxed); }

}  // namespace

void Start(const std::vector<std::string>& roots) {
    g_roots.clear();
    g_volumes.clear();
    g_initial.clear();
    g_original.clear();
    g_ops.clear();
    g_fds.clear();
    g_unplaced.clear();
    for (const std::string& root : roots) {
        g_roots.push_back(inv::Normalize(root, "/"));
        g_initial[g_roots.back()] = {Node::Dir, -1};
        VolumeOf(g_roots.back() + "/x");
        for (const auto& [path, entry] : inv::Take(g_roots.back())) {
            if (entry.kind == inv::Entry::File) {
                g_initial[path] = {Node::File, static_cast<int>(g_original.size())};
                g_original.push_back(entry.bytes);
            } else {
                g_initial[path] = {entry.kind == inv::Entry::Directory ? Node::Dir : Node::Link, -1};
            }
        }
    }
    g_inodes = static_cast<int>(g_original.size());
    g_live = g_initial;
    g_on = true;
}

std::vector<std::string> Stop() {
    g_on = false;
    // The trace must know every name the calls made: what it ended with is what is there.
    std::set<std::string> traced, real;
    for (const auto& [path, node] : g_live)
        if (node.kind != Node::Dir) traced.insert(path);
    for (const std::string& root : g_roots)
        for (const auto& [path, entry] : inv::Take(root))
            if (entry.kind != inv::Entry::Directory) real.insert(path);
    std::vector<std::string> misses;
    for (const std::string& op : g_unplaced) misses.push_back("on no volume: " + op);
    for (const std::string& path : traced)
        if (!real.count(path)) misses.push_back("traced but not there: " + path);
    for (const std::string& path : real)
        if (!traced.count(path)) misses.push_back("there but not traced: " + path);
    return misses;
}

void AfterNameOperation(std::function<void(const std::string&)> hook) { g_hook = std::move(hook); }

Summary CheckEveryState(const std::function<std::vector<std::string>(const Files&)>& check) {
    Summary summary;
    summary.operations = g_ops.size();
    const size_t volumes = g_volumes.size();
    // Each name operation's place among those of its volume.
    std::vector<int> rank(g_ops.size(), -1), made(volumes, 0), kept(volumes, 0);
    for (size_t j = 0; j < g_ops.size(); ++j)
        if (IsName(g_ops[j])) rank[j] = made[g_ops[j].volume]++;
    made.assign(volumes, 0);
    // What each file's data is at the moment of the cut: created empty, unknown once
    // written, what a flush saw once flushed.
    std::vector<std::optional<std::string>> content(static_cast<size_t>(g_inodes), std::string());
    for (size_t i = 0; i < g_original.size(); ++i) content[i] = g_original[i];
    std::set<std::string> seen;
    for (size_t k = 0; k <= g_ops.size(); ++k) {
        if (k > 0) {
            const Op& op = g_ops[k - 1];
            if (IsName(op)) ++made[op.volume];
            if (op.kind == Op::Write) content[op.inode].reset();
            if (op.kind == Op::FlushFile) content[op.inode] = op.bytes;
            if (op.kind == Op::FlushDir) kept[op.volume] = made[op.volume];
            if (op.kind == Op::FlushFile || op.kind == Op::FlushDir) ++summary.flushes;
        }
        // Of each volume, any prefix of its name operations from the last one made durable on.
        std::vector<int> upTo(kept);
        for (;;) {
            Tree tree = g_initial;
            for (size_t j = 0; j < k; ++j)
                if (rank[j] >= 0 && rank[j] < upTo[g_ops[j].volume]) Apply(g_ops[j], &tree);
            Files files;
            for (const auto& [path, node] : tree)
                if (node.kind == Node::File) files[path] = content[node.inode];
            ++summary.states;
            if (k == g_ops.size() && upTo == made)
                for (const auto& [path, bytes] : files)
                    if (!bytes) summary.unflushed.push_back(path);
            for (const std::string& problem : check(files)) {
                if (!seen.insert(problem).second) continue;
                std::string where = k == 0 ? "before the first operation" : "after " + Describe(g_ops[k - 1]);
                for (size_t v = 0; v < volumes; ++v)
                    where += ", volume " + std::to_string(v) + " keeping " + std::to_string(upTo[v]) + " of " +
                             std::to_string(made[v]) + " name operations";
                summary.problems.push_back(problem + " (power cut " + where + ")");
            }
            size_t v = 0;
            for (; v < volumes && upTo[v] == made[v]; ++v) upTo[v] = kept[v];
            if (v == volumes) break;
            ++upTo[v];
        }
    }
    return summary;
}

}  // namespace quisel::power

// The wrapped calls: each does its work, and while a trace records, what it did is noted.
using namespace quisel::power;

extern "C" int __wrap_openat(int dir, const char* name, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    if (!On()) return __real_openat(dir, name, flags, mode);
    const std::string path = PathAt(dir, name);
    struct stat st;
    const bool existed = fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    const int fd = __real_openat(dir, name, flags, mode);
    if (fd >= 0 && Traced(path)) Opened(fd, path, flags, existed);
    return fd;
}

extern "C" int __wrap_close(int fd) {
    if (On()) g_fds.erase(fd);
    return __real_close(fd);
}

extern "C" ssize_t __wrap_write(int fd, const void* bytes, size_t count) {
    const ssize_t n = __real_write(fd, bytes, count);
    if (n > 0 && On()) Written(fd);
    return n;
}

extern "C" ssize_t __wrap_copy_file_range(int in, off64_t* inAt, int out, off64_t* outAt, size_t count,
                                          unsigned flags) {
    const ssize_t n = __real_copy_file_range(in, inAt, out, outAt, count, flags);
    if (n > 0 && On()) Written(out);
    return n;
}

extern "C" int __wrap_fsync(int fd) {
    const int rc = __real_fsync(fd);
    if (rc == 0 && On()) Flushed(fd);
    return rc;
}

extern "C" int __wrap_fdatasync(int fd) {
    const int rc = __real_fdatasync(fd);
    if (rc == 0 && On()) Flushed(fd);
    return rc;
}

extern "C" int __wrap_linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    const int rc = __real_linkat(fromDir, from, toDir, to, flags);
    if (rc != 0 || !On()) return rc;
    int fd = -1;
    if (sscanf(from, "/proc/self/fd/%d", &fd) == 1) {
        // An unnamed file given its name.
        const Fd* f = Tracked(fd);
        const std::string path = PathAt(toDir, to);
        if (f != nullptr && f->inode >= 0 && Traced(path)) Note({Op::Link, f->volume, path, "", f->inode, ""});
    } else {
        Named(Op::LinkPath, fromDir, from, toDir, to);
    }
    return rc;
}

extern "C" int __wrap_renameat(int fromDir, const char* from, int toDir, const char* to) {
    const std::string source = On() ? PathAt(fromDir, from) : "";
    const int rc = __real_renameat(fromDir, from, toDir, to);
    if (rc == 0 && On()) Named(Op::Rename, AT_FDCWD, source.c_str(), toDir, to);
    return rc;
}

extern "C" int __wrap_renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    const std::string source = On() ? PathAt(fromDir, from) : "";
    const int rc = __real_renameat2(fromDir, from, toDir, to, flags);
    if (rc == 0 && On()) Named(Op::Rename, AT_FDCWD, source.c_str(), toDir, to);
    return rc;
}

extern "C" int __wrap_unlinkat(int dir, const char* name, int flags) {
    const std::string path = On() ? PathAt(dir, name) : "";
    const int rc = __real_unlinkat(dir, name, flags);
    if (rc == 0 && On()) Named((flags & AT_REMOVEDIR) != 0 ? Op::Rmdir : Op::Unlink, AT_FDCWD, path.c_str());
    return rc;
}

extern "C" int __wrap_mkdirat(int dir, const char* name, mode_t mode) {
    const int rc = __real_mkdirat(dir, name, mode);
    if (rc == 0 && On()) Named(Op::Mkdir, dir, name);
    return rc;
}

extern "C" int __wrap_symlinkat(const char* target, int dir, const char* name) {
    const int rc = __real_symlinkat(target, dir, name);
    if (rc == 0 && On()) Named(Op::Symlink, dir, name);
    return rc;
}
