#include "test_support.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <climits>
#include <cstdlib>
#endif

namespace quisel::test {
namespace {

#if defined(_WIN32)
const char kSeparator = '\\';
std::string SystemError() { return "error " + std::to_string(GetLastError()); }
#else
const char kSeparator = '/';
std::string SystemError() { return std::strerror(errno); }
#endif

[[noreturn]] void Throw(const std::string& what, const std::string& path) {
    throw std::runtime_error(what + " '" + path + "': " + SystemError());
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Two digits at s[at], within [low, high].
bool TwoDigits(const std::string& s, size_t at, int low, int high) {
    if (!IsDigit(s[at]) || !IsDigit(s[at + 1])) return false;
    int value = (s[at] - '0') * 10 + (s[at + 1] - '0');
    return value >= low && value <= high;
}

// "[MM/DD/YY/HH:MM:SS] " by its shape: digits, separators and the closing "] ".
bool StampShaped(const std::string& s, size_t at) {
    static const char kShape[] = "[00/00/00/00:00:00] ";
    if (s.size() - at < 20) return false;
    for (size_t i = 0; i < 20; ++i) {
        if (kShape[i] == '0' ? !IsDigit(s[at + i]) : s[at + i] != kShape[i]) return false;
    }
    return true;
}

bool StampInRange(const std::string& s, size_t at) {
    return TwoDigits(s, at + 1, 1, 12) && TwoDigits(s, at + 4, 1, 31) && TwoDigits(s, at + 10, 0, 23) &&
           TwoDigits(s, at + 13, 0, 59) && TwoDigits(s, at + 16, 0, 60);
}

void ListInto(const std::string& dir, const std::string& prefix, Tree* tree) {
#if defined(_WIN32)
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(JoinPath(dir, "*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) Throw("cannot list", dir);
    do {
        std::string name = data.cFileName;
        if (name == "." || name == "..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            (*tree)[prefix + name + "/"] = "";
            ListInto(JoinPath(dir, name), prefix + name + "/", tree);
        } else {
            (*tree)[prefix + name] = ReadFile(JoinPath(dir, name));
        }
    } while (FindNextFileA(find, &data));
    FindClose(find);
#else
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr) Throw("cannot list", dir);
    std::vector<std::string> names;
    while (dirent* entry = readdir(stream)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(stream);
    for (const std::string& name : names) {
        std::string path = JoinPath(dir, name);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) Throw("cannot stat", path);
        if (S_ISLNK(st.st_mode)) {
            std::vector<char> target(PATH_MAX + 1);
            ssize_t n = readlink(path.c_str(), target.data(), PATH_MAX);
            if (n < 0) Throw("cannot read link", path);
            (*tree)[prefix + name + "@"] = std::string(target.data(), static_cast<size_t>(n));
        } else if (S_ISDIR(st.st_mode)) {
            (*tree)[prefix + name + "/"] = "";
            ListInto(path, prefix + name + "/", tree);
        } else if (S_ISFIFO(st.st_mode)) {
            (*tree)[prefix + name + "|"] = "";  // never opened: that would wait for a writer
        } else {
            (*tree)[prefix + name] = ReadFile(path);
        }
    }
#endif
}

} // namespace

std::string JoinPath(const std::string& base, const std::string& relative) {
    std::string joined = base;
    if (!joined.empty() && joined.back() != '/' && joined.back() != kSeparator) joined += kSeparator;
    for (char c : relative) joined += c == '/' ? kSeparator : c;
    return joined;
}

TempDir::TempDir(const std::string& tag) {
#if defined(_WIN32)
    char base[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof base, base);
    if (n == 0 || n > MAX_PATH) throw std::runtime_error("cannot find the temporary folder");
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string candidate = JoinPath(base, tag + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                                                   std::to_string(GetTickCount()) + "-" + std::to_string(++counter));
        if (CreateDirectoryA(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) Throw("cannot create", candidate);
    }
    throw std::runtime_error("cannot create a temporary directory");
#else
    std::string pattern = "/tmp/" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) Throw("cannot create", pattern);
    path_ = buffer.data();
#endif
}

TempDir::~TempDir() {
    try {
        RemoveTree(path_);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "warning: %s\n", e.what());
    }
}

std::string TempDir::operator/(const std::string& relative) const { return JoinPath(path_, relative); }

void WriteFile(const std::string& path, const std::string& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) Throw("cannot create", path);
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = std::fclose(file) == 0 && ok;
    if (!ok) Throw("cannot write", path);
}

std::string ReadFile(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) Throw("cannot open", path);
    std::string bytes;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) Throw("cannot read", path);
    return bytes;
}

bool Exists(const std::string& path) {
#if defined(_WIN32)
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
#endif
}

std::string Backslashed(const std::string& relative) {
    std::string out = relative;
    for (char& c : out) c = c == '/' ? '\\' : c;
    return out;
}

std::string CurrentDirectory() {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::current_path(error);
    return error ? std::string() : path.string();
}

bool IsDirectory(const std::string& path) {
#if defined(_WIN32)
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

void MakeDirectories(const std::string& path) {
    if (IsDirectory(path)) return;
    size_t cut = path.find_last_of(std::string("/") + kSeparator);
    if (cut != std::string::npos && cut > 0) {
        std::string parent = path.substr(0, cut);
        // Stop at a drive root ("C:") rather than trying to create it.
        if (!(parent.size() == 2 && parent[1] == ':')) MakeDirectories(parent);
    }
#if defined(_WIN32)
    if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        Throw("cannot create", path);
#else
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) Throw("cannot create", path);
#endif
}

void RemoveTree(const std::string& path) {
#if defined(_WIN32)
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesA(path.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA(JoinPath(path, "*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::string name = data.cFileName;
                if (name != "." && name != "..") RemoveTree(JoinPath(path, name));
            } while (FindNextFileA(find, &data));
            FindClose(find);
        }
        if (!RemoveDirectoryA(path.c_str())) Throw("cannot remove", path);
    } else if (!DeleteFileA(path.c_str())) {
        Throw("cannot remove", path);
    }
#else
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        // A test may have taken the write or search permission away.
        chmod(path.c_str(), st.st_mode | S_IRWXU);
        DIR* stream = opendir(path.c_str());
        if (stream == nullptr) Throw("cannot list", path);
        std::vector<std::string> names;
        while (dirent* entry = readdir(stream)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(stream);
        for (const std::string& name : names) RemoveTree(JoinPath(path, name));
        if (rmdir(path.c_str()) != 0) Throw("cannot remove", path);
    } else if (unlink(path.c_str()) != 0) {
        Throw("cannot remove", path);
    }
#endif
}

void MakeTree(const std::string& root, const Tree& tree) {
    MakeDirectories(root);
    for (const auto& [relative, bytes] : tree) {
        if (!relative.empty() && relative.back() == '/') {
            MakeDirectories(JoinPath(root, relative.substr(0, relative.size() - 1)));
            continue;
        }
        size_t slash = relative.rfind('/');
        if (slash != std::string::npos) MakeDirectories(JoinPath(root, relative.substr(0, slash)));
        WriteFile(JoinPath(root, relative), bytes);
    }
}

Tree ListTree(const std::string& root) {
    Tree tree;
    ListInto(root, "", &tree);
    return tree;
}

std::string DescribeTree(const Tree& tree) {
    std::string text;
    for (const auto& [relative, bytes] : tree) {
        text += "  " + relative;
        if (relative.back() != '/') text += " = \"" + Printable(bytes) + "\"";
        text += "\n";
    }
    return text.empty() ? "  (empty)\n" : text;
}

bool MaskLog(const std::string& log, std::string* masked, std::string* problem) {
    masked->clear();
    auto fail = [&](const std::string& what, size_t at) {
        if (problem != nullptr) {
            *problem = what + " at byte " + std::to_string(at) + ": \"" + Printable(log.substr(at, 40)) + "\"";
        }
        return false;
    };
    if (log.empty()) return true;
    if (!StampShaped(log, 0)) return fail("the log does not start with a time stamp \"[MM/DD/YY/HH:MM:SS] \"", 0);
    // A record need not end with a line end, so the next one can start mid-line: every
    // stamp-shaped run of bytes is a record's start.
    size_t copied = 0;
    for (size_t at = log.find('['); at != std::string::npos; at = log.find('[', at + 1)) {
        if (!StampShaped(log, at)) continue;
        if (!StampInRange(log, at)) return fail("time stamp out of range", at);
        masked->append(log, copied, at - copied);
        *masked += "[..] ";
        copied = at + 20;
        at += 19;
    }
    masked->append(log, copied, std::string::npos);
    return true;
}

std::string MaskedLog(const std::vector<std::string>& messages) {
    std::string log;
    for (const std::string& message : messages) {
        log += "[..] ";
        for (char c : message) {
            if (c == '\n') log += '\r';
            log += c;
        }
    }
    return log;
}

::testing::AssertionResult LogMatches(const std::string& rawLog, const std::string& expectedMasked) {
    std::string masked, problem;
    if (!MaskLog(rawLog, &masked, &problem)) return ::testing::AssertionFailure() << problem;
    if (masked == expectedMasked) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "log differs\n  actual:   \"" << Printable(masked)
                                         << "\"\n  expected: \"" << Printable(expectedMasked) << "\"";
}

std::string Printable(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c == '\\') {
            text += "\\\\";
        } else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            text += hex;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

} // namespace quisel::test
