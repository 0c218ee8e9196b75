#include "invariants.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>

namespace quisel::inv {
namespace {

[[noreturn]] void Throw(const std::string& what, const std::string& path) {
    throw std::runtime_error(what + " '" + path + "': " + std::strerror(errno));
}

void TakeInto(const std::string& dir, Snapshot* snapshot) {
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr) Throw("cannot list", dir);
    std::vector<std::string> names;
    while (dirent* entry = readdir(stream)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(stream);
    for (const std::string& name : names) {
        const std::string path = dir == "/" ? "/" + name : dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) Throw("cannot stat", path);
        Entry entry;
        if (S_ISDIR(st.st_mode)) {
            entry.kind = Entry::Directory;
            (*snapshot)[path] = entry;
            TakeInto(path, snapshot);
        } else if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            ssize_t n = readlink(path.c_str(), target, sizeof target);
            if (n < 0) Throw("cannot read link", path);
            entry.kind = Entry::Link;
            entry.bytes.assign(target, static_cast<size_t>(n));
            (*snapshot)[path] = entry;
        } else {
            entry.bytes = ReadBytes(path);
            (*snapshot)[path] = entry;
        }
    }
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsLog(const std::string& path) { return BaseName(path) == "quisel.log"; }

// Every place a file may end at through the moves: its own, and what the mappings
// make of it, repeatedly (a list may name a moved file again), up to a number of
// steps no test comes near; a nested destination would otherwise go on for ever.
std::set<std::string> FindPlaces(const std::string& path, const Allowed& allowed) {
    std::set<std::string> places{path};
    std::vector<std::pair<std::string, int>> work{{path, 0}};
    while (!work.empty()) {
        auto [at, steps] = work.back();
        work.pop_back();
        if (steps >= 12) continue;
        for (const auto& move : allowed.moves) {
            if (at == move.first || !IsWithin(at, move.first)) continue;
            std::string there = move.second + at.substr(move.first.size());
            if (places.insert(there).second) work.push_back({there, steps + 1});
        }
    }
    return places;
}

// The same, remembered per path for one check: trees of thousands of files ask often.
struct Places {
    const Allowed& allowed;
    std::map<std::string, std::set<std::string>> known;
    const std::set<std::string>& Of(const std::string& path) {
        auto found = known.find(path);
        if (found == known.end()) found = known.emplace(path, FindPlaces(path, allowed)).first;
        return found->second;
    }
};

}  // namespace

Snapshot Take(const std::string& root) {
    Snapshot snapshot;
    TakeInto(root, &snapshot);
    return snapshot;
}

std::string Normalize(const std::string& path, const std::string& base) {
    std::string text;
    for (char c : path) text += c == '\\' ? '/' : c;
    if (text.empty() || text[0] != '/') text = base + "/" + text;
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= text.size()) {
        size_t next = text.find('/', at);
        if (next == std::string::npos) next = text.size();
        std::string part = text.substr(at, next - at);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = next + 1;
    }
    std::string result;
    for (const std::string& part : parts) result += "/" + part;
    return result.empty() ? "/" : result;
}

bool IsWithin(const std::string& path, const std::string& dir) {
    if (dir == "/") return true;
    return path == dir || (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/');
}

std::vector<std::string> CheckConservation(const Snapshot& before, const Snapshot& after, const Allowed& allowed) {
    std::vector<std::string> problems;
    Places placesOf{allowed, {}};
    auto PlacesOf = [&placesOf](const std::string& path, const Allowed&) -> const std::set<std::string>& {
        return placesOf.Of(path);
    };
    std::map<std::string, std::vector<std::string>> beforeByBytes, afterByBytes;
    for (const auto& [path, entry] : before) {
        if (entry.kind != Entry::Directory && !IsLog(path)) beforeByBytes[entry.bytes].push_back(path);
    }
    for (const auto& [path, entry] : after) {
        if (entry.kind != Entry::Directory && !IsLog(path) && !IsLayerTemp(BaseName(path)))
            afterByBytes[entry.bytes].push_back(path);
    }
    auto cleared = [&](const std::string& path) {
        for (const std::string& dir : allowed.cleared) {
            if (IsWithin(path, dir)) return true;
        }
        return false;
    };
    auto copyPlaces = [&](const std::string& path) {
        std::set<std::string> places;
        for (const auto& copy : allowed.copies) {
            if (copy.first == path) places.insert(copy.second);
        }
        return places;
    };
    // Places that a moved or copied file may take over, with the files that may: an
    // existing file there is replaced by design once one of them has left its place.
    std::map<std::string, std::vector<std::string>> moveTargets;
    for (const auto& [path, entry] : before) {
        if (entry.kind == Entry::Directory || IsLog(path)) continue;
        for (const std::string& place : PlacesOf(path, allowed)) {
            if (place != path) moveTargets[place].push_back(path);
        }
        for (const std::string& place : copyPlaces(path)) moveTargets[place].push_back(path);
    }
    auto replaced = [&](const std::string& path) {
        auto targets = moveTargets.find(path);
        if (targets == moveTargets.end()) return false;
        for (const std::string& source : targets->second) {
            auto now = after.find(source);
            if (now == after.end() || !(now->second == before.at(source))) return true;
            if (copyPlaces(source).count(path)) return true;
        }
        return false;
    };

    // Each file that was there: found once, whole, where it may be.
    for (const auto& [path, entry] : before) {
        if (entry.kind == Entry::Directory || IsLog(path)) continue;
        const std::vector<std::string>& sameBefore = beforeByBytes[entry.bytes];
        auto found = afterByBytes.find(entry.bytes);
        std::vector<std::string> places = found == afterByBytes.end() ? std::vector<std::string>{} : found->second;
        const std::set<std::string>& allowedPlaces = PlacesOf(path, allowed);
        const std::set<std::string> copies = copyPlaces(path);
        if (sameBefore.size() > 1) {
            // Files with equal bytes cannot be told apart: each place must suit one of them.
            continue;
        }
        if (places.empty()) {
            if (cleared(path) || replaced(path)) continue;
            if (allowed.failedReplace && moveTargets.count(path)) continue;
            problems.push_back("lost: " + path);
            continue;
        }
        // Places a move may take it to, places only a copy may be at, and places both.
        size_t movePlaces = 0, copyAndMovePlaces = 0;
        for (const std::string& place : places) {
            const bool move = allowedPlaces.count(place) != 0, copy = copies.count(place) != 0;
            if (move && copy) {
                ++copyAndMovePlaces;
            } else if (move) {
                ++movePlaces;
            } else if (!copy) {
                problems.push_back("carried off: " + path + " is at " + place);
            }
        }
        if (movePlaces > 1 && !allowed.interrupted) {
            std::string where;
            for (const std::string& place : places) where += " " + place;
            problems.push_back("duplicated: " + path + " is at" + where);
        }
        if (movePlaces == 0 && copyAndMovePlaces == 0) problems.push_back("only copies left of " + path);
    }

    // Each file there now: the bytes of a file that was there, at a place it may take.
    for (const auto& [path, entry] : after) {
        if (entry.kind == Entry::Directory || IsLog(path)) continue;
        if (IsLayerTemp(BaseName(path))) {
            if (!allowed.interrupted || !allowed.tempsMayStay) {
                problems.push_back("temporary file left: " + path);
                continue;
            }
            // Cut short: acceptable only as a partial copy of a file that is still whole.
            bool explained = false;
            for (const auto& [bytes, paths] : afterByBytes) {
                if (bytes.compare(0, entry.bytes.size(), entry.bytes) == 0 && beforeByBytes.count(bytes)) {
                    explained = true;
                    break;
                }
            }
            if (!explained) problems.push_back("temporary file without a whole original: " + path);
            continue;
        }
        auto was = before.find(path);
        if (was != before.end() && was->second == entry) continue;
        auto sources = beforeByBytes.find(entry.bytes);
        if (sources == beforeByBytes.end()) {
            problems.push_back((was != before.end() ? "changed: " : "new file: ") + path);
            continue;
        }
        bool reachable = false;
        for (const std::string& source : sources->second) {
            if (PlacesOf(source, allowed).count(path) || copyPlaces(source).count(path)) reachable = true;
        }
        if (!reachable) problems.push_back("arrived where nothing may move: " + path + " (from " + sources->second[0] + ")");
    }

    // Directories: only cleared ones go; new ones only on the way to a destination.
    for (const auto& [path, entry] : before) {
        if (entry.kind != Entry::Directory || cleared(path)) continue;
        // A directory that is not walked (one with more attributes than "directory")
        // moves whole, as a file does.
        bool kept = false;
        for (const std::string& place : PlacesOf(path, allowed)) {
            auto now = after.find(place);
            if (now != after.end() && now->second.kind == Entry::Directory) kept = true;
        }
        if (!kept) problems.push_back("directory gone: " + path);
    }
    for (const auto& [path, entry] : after) {
        if (entry.kind != Entry::Directory || before.count(path)) continue;
        bool onTheWay = false;
        for (const auto& move : allowed.moves) {
            if (IsWithin(path, move.second) || IsWithin(move.second, path)) onTheWay = true;
        }
        for (const auto& copy : allowed.copies) {
            if (IsWithin(copy.second, path)) onTheWay = true;
        }
        if (!onTheWay) problems.push_back("new directory: " + path);
    }
    return problems;
}

bool HasFailureRecord(const std::string& log) {
    // "fopen(" stands for itself: its record may be cut before "FAILED" by a list path
    // too long for a record.
    static const char* const kMarks[] = {"FAILED",         "paremeter error", "filename length too big",
                                         "filename out of root", "read list file", "list is null", "fopen("};
    for (const char* mark : kMarks) {
        if (log.find(mark) != std::string::npos) return true;
    }
    return false;
}

bool IsLayerTemp(const std::string& name) {
    return name.size() > 12 && name.compare(0, 8, ".quisel-") == 0 && name.compare(name.size() - 4, 4, ".tmp") == 0;
}

bool UnnamedFilesOffered(const std::string& dir) {
    if (access("/proc/self/fd", X_OK) != 0) return false;
    const int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    close(fd);
    return true;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Throw("cannot create", path);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            Throw("cannot write", path);
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
}

std::string ReadBytes(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return "";
        Throw("cannot open", path);
    }
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            Throw("cannot read", path);
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return bytes;
}

bool PathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void MakeDirs(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;  // mkdir of what exists is slow on overlays
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        std::string prefix = path.substr(0, at);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) Throw("cannot create directory", prefix);
    }
}

void RemoveAll(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0755);
        DIR* stream = opendir(path.c_str());
        if (stream != nullptr) {
            std::vector<std::string> names;
            while (dirent* entry = readdir(stream)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") names.push_back(name);
            }
            closedir(stream);
            for (const std::string& name : names) RemoveAll(path + "/" + name);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

std::string MakeTempDir(const std::string& parent, const std::string& tag) {
    std::string pattern = parent + "/" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) Throw("cannot create temporary directory", pattern);
    return buffer.data();
}

std::string ScratchParent() {
    struct stat st;
    if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
    return "/tmp";
}

std::string CurrentDir() {
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr) return "";
    return buffer;
}

std::string Describe(const std::vector<std::string>& problems, size_t limit) {
    std::string text;
    for (size_t i = 0; i < problems.size() && i < limit; ++i) text += "\n  " + problems[i];
    if (problems.size() > limit) text += "\n  ... " + std::to_string(problems.size() - limit) + " more";
    return text;
}

}  // namespace quisel::inv
