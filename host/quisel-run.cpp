// quisel-run: loads the quisel library the way the game's launcher does and calls its
// exports from the command line, in order, within one load of the library.
//
// The library is loaded at run time only (dlopen / LoadLibraryW), never linked, so the
// same host drives whichever library file it is pointed at.
//
// On Windows the command line is read as UTF-16 (wmain), so directories and library
// paths of any name are reachable; the ANSI exports get their paths in the process's
// code page, the wide ones (--wide) exactly as given. Natively the command line is
// UTF-8 and --wide converts the paths to UTF-16.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <fcntl.h>
#include <io.h>
// Arguments reach the library exactly as given: never let the C runtime expand wildcards
// (the wide start-up code reads this too).
extern "C" int _dowildcard;
int _dowildcard = 0;
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

// Only for the exports' types: the library is loaded, not linked.
#include <quisel.h>
#if !defined(_WIN32)
#include "wtf8.h"
#endif

#ifndef QUISEL_VERSION
#error "QUISEL_VERSION must be defined by the build"
#endif

namespace {

// A code unit of the command line as the program receives it.
#if defined(_WIN32)
using ArgChar = wchar_t;
#else
using ArgChar = char;
#endif
using WideString = std::basic_string<QuiselWideChar>;

const char kProgram[] = "quisel-run";

const char kUsage[] =
    "Usage: quisel-run [OPTIONS] CALL...\n"
    "\n"
    "Options, before the first call:\n"
    "  -C DIR        change to DIR before the first call (the game directory)\n"
    "  --lib PATH    load the library from PATH instead of the one beside the program\n"
    "  --by-ordinal  resolve the exports by ordinal (1 VersionBackup, 2 ClearDir, 3 VersionMove,\n"
    "                4 ClearDirW, 5 VersionMoveW) instead of by name; Windows build only\n"
    "  --wide        clear and move call the wide exports ClearDirW and VersionMoveW with their\n"
    "                path arguments as UTF-16; without it they call the ANSI exports\n"
    "  -h, --help    print the usage and exit 0\n"
    "  --version     print the library version \"" QUISEL_VERSION "\" and exit 0\n"
    "\n"
    "Calls:\n"
    "  backup NEWVERSION          VersionBackup(NEWVERSION)\n"
    "  clear DIR REMOVEDIR        ClearDir(DIR, REMOVEDIR)\n"
    "  move FROM TO LIST FORCE    VersionMove(FROM, TO, LIST, FORCE)\n"
    "  cd DIR                     change the current directory between calls (no library call)\n"
    "\n"
    "Prints one line per library call with the int it returned. Exit status: 0 when every\n"
    "call returned 1, 1 when any call returned something else (every call still runs),\n"
    "2 for a usage error, a library that cannot be loaded or lacks an export, or a failed\n"
    "cd (no later call is made then).\n";

enum ExitCode { kAllSucceeded = 0, kSomeFailed = 1, kHostError = 2 };

enum class CallKind { Backup, Clear, Move, Cd };

struct Call {
    CallKind kind;
    std::vector<const ArgChar*> given; // the path arguments, as given on the command line
    std::vector<std::string> ansi;     // the same for the ANSI exports (clear, move)
    std::vector<WideString> wide;      // the same for the wide exports (clear, move with --wide)
    std::vector<int> ints;             // in argument order
};

struct Options {
    const ArgChar* workDir = nullptr; // -C
    const ArgChar* libPath = nullptr; // --lib
    bool byOrdinal = false;
    bool wide = false;
    bool help = false;
    bool version = false;
    std::vector<Call> calls;
};

// One line on standard error. Returns kHostError so callers can `return Fail(...)`.
int Fail(const std::string& message) {
    std::string line = std::string(kProgram) + ": " + message + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return kHostError;
}

// Whether an argument is exactly the ASCII word: on Windows a character that only looks
// like it (a full-width letter) is not taken for it.
bool Is(const ArgChar* arg, const char* word) {
    for (; *word != '\0'; ++arg, ++word) {
        if (*arg != static_cast<ArgChar>(static_cast<unsigned char>(*word))) return false;
    }
    return *arg == 0;
}

// Decimal, an optional leading minus, nothing else; must fit an int.
bool ParseInt(const ArgChar* text, int* value) {
    const ArgChar* p = text;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    if (*p == 0) return false;
    // Accumulate as a negative number so INT_MIN is representable.
    long long magnitude = 0;
    for (; *p != 0; ++p) {
        if (*p < '0' || *p > '9') return false;
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (!negative && magnitude > INT_MAX) return false;
    *value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}

#if defined(_WIN32)

// UTF-16 to the process's ANSI code page as the C runtime makes its argv: best fit, and
// "?" for what the code page cannot spell.
bool ToAnsi(const wchar_t* text, std::string* ansi) {
    ansi->clear();
    if (*text == L'\0') return true;
    int need = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (need <= 0) return false;
    std::vector<char> buffer(static_cast<size_t>(need));
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, buffer.data(), need, nullptr, nullptr);
    if (n <= 0 || n > need) return false;
    ansi->assign(buffer.data(), static_cast<size_t>(n - 1)); // n counts the terminator
    return true;
}

// For messages, which are written in the code page like everything else of the program.
std::string Shown(const wchar_t* text) {
    std::string ansi;
    return ToAnsi(text, &ansi) ? ansi : std::string("?");
}

// The ANSI exports get what the C runtime's argv would have held; the wide ones the
// command line itself.
bool ForAnsiExport(const wchar_t* arg, std::string* ansi) { return ToAnsi(arg, ansi); }
bool ForWideExport(const wchar_t* arg, WideString* wide) {
    wide->assign(arg);
    return true;
}
const char kNotConvertible[] = "cannot be converted to the ANSI code page";

#else

std::string Shown(const char* text) { return text; }

// Strict UTF-8 to UTF-16, by the library's own reading of its form (wtf8.h), which also
// takes an unpaired surrogate's 3-byte form (ED A0..BF): plain UTF-8 has none.
bool Utf8ToUtf16(const char* text, WideString* wide) {
    for (const char* p = std::strchr(text, '\xED'); p != nullptr; p = std::strchr(p + 1, '\xED')) {
        if (static_cast<unsigned char>(p[1]) >= 0xA0 && static_cast<unsigned char>(p[1]) <= 0xBF) return false;
    }
    wide->assign(std::strlen(text) + 1, u'\0');  // never more units than bytes
    size_t count = 0;
    int tooLong = 0;
    if (!DecodeWtf8(text, reinterpret_cast<uint16_t*>(&(*wide)[0]), wide->size(), &count, &tooLong)) return false;
    wide->resize(count);
    return true;
}

bool ForAnsiExport(const char* arg, std::string* ansi) {
    ansi->assign(arg);
    return true;
}
bool ForWideExport(const char* arg, WideString* wide) { return Utf8ToUtf16(arg, wide); }
const char kNotConvertible[] = "is not valid UTF-8, which --wide needs";

#endif

std::string Quote(const std::string& s) { return "'" + s + "'"; }
std::string Quote(const ArgChar* s) { return Quote(Shown(s)); }

// Checks the whole command line. Returns an empty string on success, else the problem.
std::string ParseCommandLine(int argc, ArgChar** argv, Options* options) {
    int i = 1;
    // Options come first; the first word that is not an option starts the calls.
    for (; i < argc; ++i) {
        const ArgChar* arg = argv[i];
        if (Is(arg, "-h") || Is(arg, "--help")) {
            options->help = true;
            return {};
        }
        if (Is(arg, "--version")) {
            options->version = true;
            return {};
        }
        if (Is(arg, "-C") || Is(arg, "--lib")) {
            const ArgChar** slot = arg[1] == 'C' ? &options->workDir : &options->libPath;
            if (*slot != nullptr) return Shown(arg) + " given more than once";
            if (i + 1 >= argc) return Shown(arg) + " needs an argument";
            *slot = argv[++i];
            continue;
        }
        if (Is(arg, "--by-ordinal")) {
#if defined(_WIN32)
            options->byOrdinal = true;
            continue;
#else
            return "--by-ordinal is supported by the Windows build only";
#endif
        }
        if (Is(arg, "--wide")) {
            options->wide = true;
            continue;
        }
        if (arg[0] == '-') return "unknown option " + Quote(arg) + " (try --help)";
        break;
    }
    if (i >= argc) return "no call given (try --help)";

    struct Shape {
        const char* name;
        CallKind kind;
        const char* signature; // 's' string, 'i' integer, in argument order
        const char* usage;
    };
    static const Shape kShapes[] = {
        {"backup", CallKind::Backup, "i", "backup NEWVERSION"},
        {"clear", CallKind::Clear, "si", "clear DIR REMOVEDIR"},
        {"move", CallKind::Move, "sssi", "move FROM TO LIST FORCE"},
        {"cd", CallKind::Cd, "s", "cd DIR"},
    };
    while (i < argc) {
        const ArgChar* word = argv[i];
        const Shape* shape = nullptr;
        for (const Shape& candidate : kShapes) {
            if (Is(word, candidate.name)) shape = &candidate;
        }
        if (shape == nullptr) {
            if (word[0] == '-') return "option " + Quote(word) + " after the first call";
            return "unknown call " + Quote(word) + " (try --help)";
        }
        ++i;
        Call call{shape->kind, {}, {}, {}, {}};
        for (const char* type = shape->signature; *type != '\0'; ++type) {
            if (i >= argc) return std::string("missing argument: ") + shape->usage;
            if (*type == 's') {
                call.given.push_back(argv[i]);
            } else {
                int value = 0;
                if (!ParseInt(argv[i], &value)) {
                    return std::string(shape->name) + ": " + Quote(argv[i]) +
                           " is not a decimal integer in the range of an int";
                }
                call.ints.push_back(value);
            }
            ++i;
        }
        // The paths in the form the export takes them, now, so that one that cannot be
        // passed is a usage error before anything is loaded. cd keeps its own.
        if (call.kind == CallKind::Clear || call.kind == CallKind::Move) {
            for (size_t k = 0; k < call.given.size(); ++k) {
                bool converted;
                if (options->wide) {
                    call.wide.emplace_back();
                    converted = ForWideExport(call.given[k], &call.wide.back());
                } else {
                    call.ansi.emplace_back();
                    converted = ForAnsiExport(call.given[k], &call.ansi.back());
                }
                if (!converted) {
                    // Named as in the usage; the paths come first in both calls.
                    std::string words = shape->usage;
                    size_t from = 0;
                    for (size_t skip = 0; skip <= k; ++skip) from = words.find(' ', from) + 1;
                    std::string name = words.substr(from, words.find(' ', from) - from);
                    return std::string(shape->name) + ": " + name + " " + kNotConvertible;
                }
            }
        }
        options->calls.push_back(std::move(call));
    }
    return {};
}

#if defined(_WIN32)

std::string ErrorText(DWORD code) { return "error " + std::to_string(code); }

// The directory of this program, with a trailing backslash.
bool ProgramDirectory(std::wstring* dir) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return false;
        if (n < buffer.size()) {
            std::wstring path(buffer.data(), n);
            size_t slash = path.find_last_of(L"\\/");
            if (slash == std::wstring::npos) return false;
            *dir = path.substr(0, slash + 1);
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// A full path, so LoadLibraryW loads exactly that file and never searches for it.
bool FullPath(const wchar_t* path, std::wstring* full) {
    DWORD need = GetFullPathNameW(path, 0, nullptr, nullptr);
    if (need == 0) return false;
    std::vector<wchar_t> buffer(need);
    DWORD n = GetFullPathNameW(path, need, buffer.data(), nullptr);
    if (n == 0 || n >= need) return false;
    full->assign(buffer.data(), n);
    return true;
}

class Library {
public:
    ~Library() { Unload(); }
    std::string Load(const Options& options) {
        std::wstring path;
        if (options.libPath != nullptr) {
            if (!FullPath(options.libPath, &path)) return "cannot resolve library path " + Quote(options.libPath);
        } else {
            std::wstring dir;
            if (!ProgramDirectory(&dir)) return "cannot find the program's own directory";
            path = dir + L"quisel.dll";
        }
        handle_ = LoadLibraryW(path.c_str());
        if (handle_ == nullptr) {
            return "cannot load library " + Quote(path.c_str()) + " (" + ErrorText(GetLastError()) + ")";
        }
        path_ = Shown(path.c_str());
        return {};
    }
    // By name or by ordinal; null when the export is missing.
    void* Resolve(const char* name, int ordinal, bool byOrdinal) {
        FARPROC proc = byOrdinal ? GetProcAddress(handle_, MAKEINTRESOURCEA(static_cast<WORD>(ordinal)))
                                 : GetProcAddress(handle_, name);
        return reinterpret_cast<void*>(proc);
    }
    void Unload() {
        if (handle_ != nullptr) FreeLibrary(handle_);
        handle_ = nullptr;
    }
    const std::string& path() const { return path_; } // for messages

private:
    HMODULE handle_ = nullptr;
    std::string path_;
};

bool ChangeDirectory(const wchar_t* dir, std::string* error) {
    if (SetCurrentDirectoryW(dir)) return true;
    *error = ErrorText(GetLastError());
    return false;
}

#else // POSIX

#if !defined(QUISEL_INSTALL_BINDIR) || !defined(QUISEL_INSTALLED_LIBRARY)
#error "QUISEL_INSTALL_BINDIR and QUISEL_INSTALLED_LIBRARY must be defined by the build"
#endif

// Whether the program folder is an install tree's program folder (bin/), whose library
// is then at QUISEL_INSTALLED_LIBRARY from it.
bool IsInstalledProgramFolder(const std::string& dir) {
    std::string tail = QUISEL_INSTALL_BINDIR;
    if (tail.empty() || tail[0] != '/') tail = "/" + tail;
    tail += "/";
    return dir.size() >= tail.size() && dir.compare(dir.size() - tail.size(), tail.size(), tail) == 0;
}

bool ProgramDirectory(std::string* dir) {
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return false;
        if (static_cast<size_t>(n) < buffer.size()) {
            std::string path(buffer.data(), static_cast<size_t>(n));
            size_t slash = path.rfind('/');
            if (slash == std::string::npos) return false;
            *dir = path.substr(0, slash + 1);
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

class Library {
public:
    ~Library() { Unload(); }
    std::string Load(const Options& options) {
        std::string path;
        if (options.libPath != nullptr) {
            path = options.libPath;
            // A bare name would make dlopen search the library path; PATH is a file path.
            if (path.find('/') == std::string::npos) path = "./" + path;
        } else {
            std::string dir;
            if (!ProgramDirectory(&dir)) return "cannot find the program's own directory";
            path = dir + "libquisel.so";
            if (access(path.c_str(), F_OK) != 0 && IsInstalledProgramFolder(dir)) path = dir + QUISEL_INSTALLED_LIBRARY;
        }
        dlerror();
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) {
            const char* why = dlerror();
            return "cannot load library " + Quote(path) + " (" + (why ? why : "unknown error") + ")";
        }
        path_ = path;
        return {};
    }
    void* Resolve(const char* name, int /*ordinal*/, bool /*byOrdinal*/) {
        dlerror();
        return dlsym(handle_, name);
    }
    void Unload() {
        if (handle_ != nullptr) dlclose(handle_);
        handle_ = nullptr;
    }
    const std::string& path() const { return path_; }

private:
    void* handle_ = nullptr;
    std::string path_;
};

bool ChangeDirectory(const char* dir, std::string* error) {
    if (chdir(dir) == 0) return true;
    *error = std::strerror(errno);
    return false;
}

#endif

int Run(int argc, ArgChar** argv) {
#if defined(_WIN32)
    // Output is byte for byte the same on both builds: "\n", not "\r\n".
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    Options options;
    std::string problem = ParseCommandLine(argc, argv, &options);
    if (!problem.empty()) return Fail(problem);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return std::fflush(stdout) == 0 ? kAllSucceeded : kHostError;
    }
    if (options.version) {
        std::fputs(QUISEL_VERSION "\n", stdout);
        return std::fflush(stdout) == 0 ? kAllSucceeded : kHostError;
    }

    // A relative --lib is taken from where the program was started, so load before -C.
    Library library;
    problem = library.Load(options);
    if (!problem.empty()) return Fail(problem);

    // Every export the run can call must be there before anything is called: the wide
    // twins only with --wide, so that a library without them still serves the rest.
    struct Export {
        const char* name;
        int ordinal;
        void* address;
    };
    Export exports[3] = {{"VersionBackup", 1, nullptr}, {"ClearDir", 2, nullptr}, {"VersionMove", 3, nullptr}};
    if (options.wide) {
        exports[1] = {"ClearDirW", 4, nullptr};
        exports[2] = {"VersionMoveW", 5, nullptr};
    }
    for (Export& e : exports) {
        e.address = library.Resolve(e.name, e.ordinal, options.byOrdinal);
        if (e.address == nullptr) {
            std::string what = options.byOrdinal ? "ordinal " + std::to_string(e.ordinal) + " (" + e.name + ")"
                                                 : std::string(e.name);
            return Fail("library " + Quote(library.path()) + " lacks export " + what);
        }
    }
    auto versionBackup = reinterpret_cast<QuiselVersionBackupFn>(exports[0].address);
    QuiselClearDirFn clearDir = nullptr;
    QuiselVersionMoveFn versionMove = nullptr;
    QuiselClearDirWFn clearDirW = nullptr;
    QuiselVersionMoveWFn versionMoveW = nullptr;
    if (options.wide) {
        clearDirW = reinterpret_cast<QuiselClearDirWFn>(exports[1].address);
        versionMoveW = reinterpret_cast<QuiselVersionMoveWFn>(exports[2].address);
    } else {
        clearDir = reinterpret_cast<QuiselClearDirFn>(exports[1].address);
        versionMove = reinterpret_cast<QuiselVersionMoveFn>(exports[2].address);
    }

    std::string error;
    if (options.workDir != nullptr && !ChangeDirectory(options.workDir, &error)) {
        return Fail("-C: cannot change to " + Quote(options.workDir) + ": " + error);
    }

    bool allSucceeded = true;
    for (const Call& call : options.calls) {
        int result = 0;
        switch (call.kind) {
        case CallKind::Cd:
            if (!ChangeDirectory(call.given[0], &error)) {
                // Later calls would act on the wrong directory: stop here.
                std::fflush(stdout);
                return Fail("cd: cannot change to " + Quote(call.given[0]) + ": " + error);
            }
            continue;
        case CallKind::Backup:
            result = versionBackup(call.ints[0]);
            break;
        case CallKind::Clear:
            result = options.wide ? clearDirW(call.wide[0].c_str(), call.ints[0])
                                  : clearDir(call.ansi[0].c_str(), call.ints[0]);
            break;
        case CallKind::Move:
            result = options.wide ? versionMoveW(call.wide[0].c_str(), call.wide[1].c_str(), call.wide[2].c_str(),
                                                 call.ints[0])
                                  : versionMove(call.ansi[0].c_str(), call.ansi[1].c_str(), call.ansi[2].c_str(),
                                                call.ints[0]);
            break;
        }
        // Anything but 1 is not a success.
        if (result != 1) allSucceeded = false;
        std::printf("%d\n", result);
        std::fflush(stdout); // each result is visible even if a later call brings the process down
    }

    // Unloading closes the library's log, before this program reports back.
    library.Unload();
    if (std::fflush(stdout) != 0) return Fail("cannot write the results to standard output");
    return allSucceeded ? kAllSucceeded : kSomeFailed;
}

} // namespace

#if defined(_WIN32)
// Built with -municode: the C runtime hands over the command line in UTF-16.
extern "C" int wmain(int argc, wchar_t** argv) { return Run(argc, argv); }
#else
int main(int argc, char** argv) { return Run(argc, argv); }
#endif
