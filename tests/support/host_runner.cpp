#include "host_runner.h"

#include <iconv.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef QUISEL_SOURCE_DIR
#error "QUISEL_SOURCE_DIR must be defined by the build"
#endif
#ifndef QUISEL_DEFAULT_BUILD_DIR
#error "QUISEL_DEFAULT_BUILD_DIR must be defined by the build"
#endif

namespace quisel::test {
namespace {

std::string FromEnvironment(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

std::string Parent(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : trimmed.substr(0, slash);
}

void SetCloseOnExec(int fd) { fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC); }

} // namespace

const char* BuildName(Build build) {
    switch (build) {
    case Build::Native: return "Native";
    case Build::Win32: return "Win32";
    case Build::Win64: return "Win64";
    }
    return "?";
}

bool IsWindows(Build build) { return build != Build::Native; }

const char* WineArch(Build build) { return build == Build::Win64 ? "win64" : "win32"; }

std::vector<Build> TestedWindowsBuilds() {
    const char* skipWine = std::getenv("QUISEL_SKIP_WINE");
    if (skipWine != nullptr && skipWine[0] != '\0' && std::string(skipWine) != "0") return {};
    return {Build::Win32, Build::Win64};
}

std::vector<Build> TestedBuilds() {
    std::vector<Build> builds{Build::Native};
    for (Build build : TestedWindowsBuilds()) builds.push_back(build);
    return builds;
}

std::string BuildParamName(const ::testing::TestParamInfo<Build>& info) { return BuildName(info.param); }

std::string SourceDir() { return QUISEL_SOURCE_DIR; }

std::string BuildDir(Build build) {
    const std::string native = FromEnvironment("QUISEL_BUILD_DIR", QUISEL_DEFAULT_BUILD_DIR);
    switch (build) {
    case Build::Native: return native;
    case Build::Win32: return FromEnvironment("QUISEL_WIN32_BUILD_DIR", Parent(native) + "/win32");
    case Build::Win64: return FromEnvironment("QUISEL_WIN64_BUILD_DIR", Parent(native) + "/win64");
    }
    return native;
}

std::string HostProgram(Build build) {
    return BuildDir(build) + (IsWindows(build) ? "/quisel-run.exe" : "/quisel-run");
}

std::string LibraryFile(Build build) {
    return BuildDir(build) + (IsWindows(build) ? "/quisel.dll" : "/libquisel.so");
}

Availability CheckAvailable(Build build, std::string* why) {
    struct stat st;
    for (const std::string& file : {HostProgram(build), LibraryFile(build)}) {
        if (stat(file.c_str(), &st) != 0) {
            *why = std::string(BuildName(build)) + " build is missing " + file +
                   " (build it, or set QUISEL_SKIP_WINE=1 to leave the Windows builds out)";
            return Availability::Broken;
        }
    }
    if (!IsWindows(build)) return Availability::Runs;
    // The probe's answer does not change while a test program runs: ask once per build.
    static RunResult answers[2];
    static bool asked[2] = {false, false};
    const int slot = build == Build::Win64 ? 1 : 0;
    if (!asked[slot]) {
        answers[slot] = RunProgram({SourceDir() + "/scripts/wine-run", "--probe", WineArch(build)}, "/",
                                   std::chrono::seconds(60));
        asked[slot] = true;
    }
    const RunResult& answer = answers[slot];
    if (answer.exitCode == 0) return Availability::Runs;
    *why = answer.err.empty() ? "wine-run --probe: " + answer.Describe() : answer.err;
    while (!why->empty() && why->back() == '\n') why->pop_back();
    return answer.exitCode == 77 ? Availability::Skip : Availability::Broken;
}

std::string LibraryPath(Build build, const std::string& linuxAbsolutePath) {
    if (!IsWindows(build)) return linuxAbsolutePath;
    std::string path = "Z:";
    for (char c : linuxAbsolutePath) path += c == '/' ? '\\' : c;
    return path;
}

std::string RunResult::Describe() const {
    std::string text = timedOut ? "timed out" : "exit " + std::to_string(exitCode);
    text += "\n  stdout: \"" + Printable(out) + "\"\n  stderr: \"" + Printable(err) + "\"";
    return text;
}

RunResult RunProgram(const std::vector<std::string>& argv, const std::string& workDir,
                     std::chrono::seconds timeout, const Environment& environment) {
    if (argv.empty()) throw std::invalid_argument("RunProgram: empty argv");
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0) throw std::runtime_error("pipe failed");
    if (pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
    SetCloseOnExec(outPipe[0]);
    SetCloseOnExec(errPipe[0]);

    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        // Its own process group, so a timeout takes down Wine's helpers too.
        setpgid(0, 0);
        int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0) dup2(devNull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
        if (chdir(workDir.c_str()) != 0) {
            dprintf(2, "RunProgram: cannot change to %s: %s\n", workDir.c_str(), std::strerror(errno));
            _exit(127);
        }
        execv(args[0], args.data());
        dprintf(2, "RunProgram: cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    setpgid(child, child);
    close(outPipe[1]);
    close(errPipe[1]);

    RunResult result;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    // After the program has ended, a helper it left behind could still hold the pipes;
    // read what is there for a short while, then stop waiting for the end of the output.
    const auto graceAfterExit = std::chrono::seconds(5);
    Clock::time_point exitedAt{};
    bool exited = false;
    int status = 0;
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int openCount = 2;
    while (true) {
        if (!exited) {
            pid_t done = waitpid(child, &status, WNOHANG);
            if (done == child) {
                exited = true;
                exitedAt = Clock::now();
            }
        }
        auto now = Clock::now();
        if (exited && (openCount == 0 || now - exitedAt > graceAfterExit)) break;
        if (!exited && now > deadline) {
            kill(-child, SIGKILL);
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            result.timedOut = true;
            exited = true;
            break;
        }
        if (openCount == 0) {
            // Output is closed but the program still runs: wait for it without spinning.
            usleep(10000);
            continue;
        }
        int ready = poll(fds, 2, 50);
        if (ready < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --openCount;
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    if (!result.timedOut) {
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return result;
}

RunResult RunHost(Build build, const std::vector<std::string>& args, const std::string& workDir,
                  std::chrono::seconds timeout, const Environment& environment) {
    return RunHostAt(build, HostProgram(build), args, workDir, timeout, environment);
}

RunResult RunHostAt(Build build, const std::string& program, const std::vector<std::string>& args,
                    const std::string& workDir, std::chrono::seconds timeout, const Environment& environment) {
    std::vector<std::string> argv;
    Environment env = environment;
    if (IsWindows(build)) {
        argv = {SourceDir() + "/scripts/wine-run", "--arch", WineArch(build)};
        env.insert(env.begin(), {"WINEPREFIX", BuildDir(build) + "/wineprefix"});
    }
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, workDir, timeout, env);
}

} // namespace quisel::test

namespace quisel::test {

std::string ConvertText(const std::string& text, const char* from, const char* to) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error(std::string("no iconv from ") + from + " to " + to);
    std::string out(text.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* at = out.data();
    size_t outLeft = out.size();
    const size_t done = iconv(cd, &in, &inLeft, &at, &outLeft);
    iconv_close(cd);
    if (done == static_cast<size_t>(-1)) throw std::runtime_error("iconv cannot convert \"" + Printable(text) + "\"");
    out.resize(out.size() - outLeft);
    return out;
}

std::string InCodePageLog(const std::string& utf8, const char* codePage) {
    std::string shown;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char b = static_cast<unsigned char>(utf8[i]);
        const std::string c = utf8.substr(i, b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1);
        try {
            shown += ConvertText(c, "UTF-8", codePage);
        } catch (const std::runtime_error&) {
            shown += "?";
        }
        i += c.size();
    }
    return shown;
}

}  // namespace quisel::test
